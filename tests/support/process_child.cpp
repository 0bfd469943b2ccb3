// A child for the process layer's tests: it ends the way its arguments say.
//   exit N          exits with N
//   crash           dies of an access violation
//   hang            never ends on its own
//   print N M       writes N bytes to standard output and M to standard error
//   helper FILE     starts `hang` as a process of its own, writes its id to
//                   FILE, and exits
//   echo ARG...     writes each argument to standard output, each ended by
//                   a NUL byte
//   say N TEXT      writes N bytes, TEXT and N bytes more to standard error
//   clock           writes the steady clock's time in nanoseconds
//   spin            keeps a processor busy until it is killed
//   sentinel        says "ready" on standard output and waits for SIGTERM;
//                   exits 3 if SIGWINCH came before it, else 0 (POSIX)
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "process/process.h"

namespace {

int startHelper(const char* self, const char* pidFile) {
#if defined(_WIN32)
    std::string command = std::string("\"") + self + "\" hang";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION helper{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &helper)) {
        return 9;
    }
    CloseHandle(helper.hThread);
    CloseHandle(helper.hProcess);
    const unsigned long pid = helper.dwProcessId;
#else
    const pid_t pid = fork();
    if (pid == 0) {
        execl(self, self, "hang", static_cast<char*>(nullptr));
        _exit(9);
    }
#endif
    std::FILE* out = std::fopen(pidFile, "w");
    if (out == nullptr) {
        return 9;
    }
    std::fprintf(out, "%lu\n", static_cast<unsigned long>(pid));
    std::fclose(out);
    return 0;
}

#if !defined(_WIN32)
volatile std::sig_atomic_t windowChanged = 0;
volatile std::sig_atomic_t terminated = 0;
#endif

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "exit" && argc == 3) {
        return std::atoi(argv[2]);
    }
    if (command == "crash") {
#if defined(_WIN32)
        RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#else
        std::raise(SIGSEGV);
#endif
    }
    if (command == "hang") {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
    if (command == "print" && argc == 4) {
        for (long i = std::atol(argv[2]); i > 0; --i) {
            std::fputc('o', stdout);
        }
        for (long i = std::atol(argv[3]); i > 0; --i) {
            std::fputc('e', stderr);
        }
        return 0;
    }
    if (command == "echo") {
        // As UTF-8, the way plugin-host reads its own command line.
        const std::vector<std::string> all = process::arguments(argc, argv);
        for (std::size_t i = 2; i < all.size(); ++i) {
            std::fwrite(all[i].c_str(), 1, all[i].size() + 1, stdout);
        }
        return 0;
    }
    if (command == "copy-input") {
        const auto input = process::readStandardInput(process::kInputLimit);
        if (!input) {
            return 98;
        }
        std::fwrite(input->data(), 1, input->size(), stdout);
        return 0;
    }
    if (command == "say" && argc == 4) {
        const std::string noise(static_cast<std::size_t>(std::atol(argv[2])), 'e');
        std::fputs(noise.c_str(), stderr);
        std::fputs(argv[3], stderr);
        std::fputs(noise.c_str(), stderr);
        return 0;
    }
    if (command == "clock") {
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        std::printf("%lld", static_cast<long long>(now.count()));
        return 0;
    }
    if (command == "spin") {
        process::endWithParent();
        for (volatile unsigned long turns = 0;; turns = turns + 1) {
        }
    }
#if !defined(_WIN32)
    if (command == "sentinel") {
        std::signal(SIGWINCH, [](int) { windowChanged = 1; });
        std::signal(SIGTERM, [](int) { terminated = 1; });
        std::puts("ready");
        std::fflush(stdout);
        while (terminated == 0) {
            pause();
        }
        return windowChanged != 0 ? 3 : 0;
    }
#endif
    if (command == "helper" && argc == 3) {
        return startHelper(argv[0], argv[2]);
    }
    return 99;
}
