// Every guard, in process, on state this test program changes itself: what
// it says, and that the host's state is back afterwards.

#include <dlfcn.h>
#include <fcntl.h>
#include <fpu_control.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <linux/capability.h>
#include <pthread.h>
#include <pty.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cfenv>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <locale>
#include <memory_resource>
#include <new>
#include <string>
#include <vector>

#include "guards/guard.h"
#include "guards/module_closure.h"
#include "guards/privilege.h"

namespace {

using host::guards::Leftover;

void handler(int) {}
void terminateHandler() {
    std::abort();
}
void newHandler() {
    throw std::bad_alloc();
}
struct CommaDecimals : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};
// A memory resource whose code is the module's, made on the heap.
struct ForwardingResource : std::pmr::memory_resource {
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        return std::pmr::new_delete_resource()->allocate(bytes, alignment);
    }
    void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override {
        std::pmr::new_delete_resource()->deallocate(block, bytes, alignment);
    }
    bool do_is_equal(const memory_resource& other) const noexcept override {
        return this == &other;
    }
};
std::pmr::memory_resource* const heapResource = new ForwardingResource;

// Stands in for the module: this test program's own code and data are "in
// the module"; with `loaded` false, nothing is loaded at all.
class ThisProgram final : public host::guards::CodeMap {
public:
    explicit ThisProgram(bool loaded = true) : loaded_(loaded) {}
    bool inModule(const void* address) const override {
        Dl_info own{};
        Dl_info found{};
        return dladdr(reinterpret_cast<const void*>(&handler), &own) != 0 &&
               dladdr(address, &found) != 0 && own.dli_fbase == found.dli_fbase;
    }
    bool inLoadedImage(const void* address) const override {
        Dl_info found{};
        return loaded_ && dladdr(address, &found) != 0;
    }

private:
    bool loaded_;
};

// Says what it is told, whatever the address.
class FakeMap final : public host::guards::CodeMap {
public:
    FakeMap(bool inModule, bool loaded) : inModule_(inModule), loaded_(loaded) {}
    bool inModule(const void*) const override { return inModule_; }
    bool inLoadedImage(const void*) const override { return loaded_; }

private:
    bool inModule_;
    bool loaded_;
};

struct Row {
    const char* name;
    void (*leave)();
    bool (*isBack)();  // the host's state as it was before leave()
    Leftover::Severity severity;
    std::string text;
};

// A signal's handler, read without changing it.
void (*handlerOf(int signal))(int) {
    struct sigaction now {};
    sigaction(signal, nullptr, &now);
    return now.sa_handler;
}

std::locale hostLocale;
std::string hostWorkingDirectory;
mode_t hostMask = 0;
int hostStdinBuffering = 0;

int streamSlot() {
    static const int slot = std::ios_base::xalloc();
    return slot;
}
int streamEvents = 0;
void countEvent(std::ios_base::event, std::ios_base&, int) {
    ++streamEvents;
}

// A terminal this program holds, as plugin-host holds the user's: the side
// a user types at, its master kept open so that it stays.
struct HostTerminal {
    int master = -1;
    int terminal = -1;
    std::string name;
};
const HostTerminal& hostTerminal() {
    static const HostTerminal opened = [] {
        HostTerminal pair;
        char name[256] = {};
        if (openpty(&pair.master, &pair.terminal, name, nullptr, nullptr) == 0) {
            fcntl(pair.master, F_SETFD, FD_CLOEXEC);
            fcntl(pair.terminal, F_SETFD, FD_CLOEXEC);
            pair.name = name;
        }
        return pair;
    }();
    return opened;
}
bool terminalEchoes() {
    termios now{};
    tcgetattr(hostTerminal().terminal, &now);
    return (now.c_lflag & (ECHO | ICANON)) == (ECHO | ICANON);
}

std::size_t posixTimers() {
    std::ifstream list("/proc/self/timers");
    std::size_t count = 0;
    for (std::string line; std::getline(list, line);) {
        count += line.rfind("ID: ", 0) == 0 ? 1 : 0;
    }
    return count;
}
void armTimer(int notify) {
    sigevent event{};
    event.sigev_notify = notify;
    event.sigev_signo = SIGUSR2;  // blocked by the host: it never arrives here
    timer_t timer{};
    timer_create(CLOCK_MONOTONIC, &event, &timer);
    const itimerspec inAMinute{{0, 0}, {60, 0}};
    timer_settime(timer, 0, &inAMinute, nullptr);
}

#if !defined(__SANITIZE_ADDRESS__)
long lockedKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmLck:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}
#endif

bool blocked(int signal) {
    sigset_t now;
    pthread_sigmask(SIG_SETMASK, nullptr, &now);
    return sigismember(&now, signal) == 1;
}

const Row kRows[] = {
    {"signal handler", [] { std::signal(SIGUSR2, handler); },
     [] { return handlerOf(SIGUSR2) == SIG_DFL; }, Leftover::Severity::Failure,
     "left the SIGUSR2 handler pointing into the module, which is gone after unload"},
    // A handler of another library's, never run here.
    {"signal handler elsewhere",
     [] { std::signal(SIGUSR1, reinterpret_cast<void (*)(int)>(&std::abort)); },
     [] { return handlerOf(SIGUSR1) == SIG_DFL; }, Leftover::Severity::Warning,
     "changed the SIGUSR1 handler"},
    {"signal mask alone",
     [] {
         struct sigaction masked {};
         sigaction(SIGUSR1, nullptr, &masked);
         sigaddset(&masked.sa_mask, SIGINT);
         sigaction(SIGUSR1, &masked, nullptr);
     },
     [] {
         struct sigaction now {};
         sigaction(SIGUSR1, nullptr, &now);
         return sigismember(&now.sa_mask, SIGINT) == 0;
     },
     Leftover::Severity::Warning, "left SIGUSR1 to its default action"},
    {"signal flags alone",
     [] {
         struct sigaction restarting {};
         sigaction(SIGUSR1, nullptr, &restarting);
         restarting.sa_flags |= SA_RESTART;
         sigaction(SIGUSR1, &restarting, nullptr);
     },
     [] {
         struct sigaction now {};
         sigaction(SIGUSR1, nullptr, &now);
         return (now.sa_flags & SA_RESTART) == 0;
     },
     Leftover::Severity::Warning, "left SIGUSR1 to its default action"},
    {"signal ignored", [] { std::signal(SIGTERM, SIG_IGN); },
     [] { return handlerOf(SIGTERM) == SIG_DFL; }, Leftover::Severity::Warning,
     "left SIGTERM ignored"},
    {"terminate handler", [] { std::set_terminate(terminateHandler); },
     [] { return std::get_terminate() != terminateHandler; }, Leftover::Severity::Failure,
     "left the terminate handler pointing into the module, which is gone after unload"},
    {"new-handler", [] { std::set_new_handler(newHandler); },
     [] { return std::get_new_handler() == nullptr; }, Leftover::Severity::Failure,
     "left the new-handler pointing into the module, which is gone after unload"},
    {"C++ locale", [] { std::locale::global(std::locale(std::locale(), new CommaDecimals)); },
     [] { return std::locale() == hostLocale; }, Leftover::Severity::Failure,
     "left the global C++ locale with a numpunct<char> facet of its own, which is gone after "
     "unload"},
    {"C locale", [] { std::setlocale(LC_ALL, "C.UTF-8"); },
     [] { return std::string(std::setlocale(LC_ALL, nullptr)) == "C"; },
     Leftover::Severity::Warning, "changed the C locale to \"C.UTF-8\""},
    {"memory resource on the heap", [] { std::pmr::set_default_resource(heapResource); },
     [] { return std::pmr::get_default_resource() == std::pmr::new_delete_resource(); },
     Leftover::Severity::Failure,
     "left the default memory resource pointing into the module, which is gone after unload"},
    {"environment", [] { setenv("GUARDS_TEST_VARIABLE", "1", 1); },
     [] { return std::getenv("GUARDS_TEST_VARIABLE") == nullptr; }, Leftover::Severity::Warning,
     "changed the environment variable GUARDS_TEST_VARIABLE"},
    // The host's own entry, written over where it stands.
    {"environment in place", [] { std::getenv("GUARDS_HOST_VARIABLE")[0] = 'x'; },
     [] { return std::string(std::getenv("GUARDS_HOST_VARIABLE")) == "host"; },
     Leftover::Severity::Warning, "changed the environment variable GUARDS_HOST_VARIABLE"},
    {"environment unset", [] { unsetenv("GUARDS_HOST_VARIABLE"); },
     [] {
         const char* value = std::getenv("GUARDS_HOST_VARIABLE");
         return value != nullptr && std::string(value) == "host";
     },
     Leftover::Severity::Warning, "changed the environment variable GUARDS_HOST_VARIABLE"},
    {"working directory", [] { std::filesystem::current_path("/"); },
     [] { return std::filesystem::current_path() == hostWorkingDirectory; },
     Leftover::Severity::Warning, "changed the working directory to \"/\""},
    {"file mode mask", [] { umask(077); },
     [] {
         const mode_t now = umask(0);
         umask(now);
         return now == hostMask;
     },
     Leftover::Severity::Warning, "changed the file mode mask to 077"},
    {"signal blocked",
     [] {
         sigset_t one;
         sigemptyset(&one);
         sigaddset(&one, SIGUSR1);
         pthread_sigmask(SIG_BLOCK, &one, nullptr);
     },
     [] { return !blocked(SIGUSR1); }, Leftover::Severity::Warning, "left SIGUSR1 blocked"},
    {"signal unblocked",
     [] {
         sigset_t one;
         sigemptyset(&one);
         sigaddset(&one, SIGUSR2);
         pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
     },
     [] { return blocked(SIGUSR2); }, Leftover::Severity::Warning,
     "unblocked signals the host blocks"},
    // The host blocks SIGUSR2: raised, it waits for the host to unblock it.
    {"signal pending", [] { raise(SIGUSR2); },
     [] {
         sigset_t pending;
         sigpending(&pending);
         return sigismember(&pending, SIGUSR2) == 0;
     },
     Leftover::Severity::Failure,
     "left SIGUSR2 pending, which the host receives the moment it unblocks it"},
    {"rounding mode", [] { std::fesetround(FE_UPWARD); },
     [] { return std::fegetround() == FE_TONEAREST; }, Leftover::Severity::Warning,
     "changed the floating-point rounding mode to upward"},
    // A trap is a crash in waiting, in either unit; the rest is a change.
    {"trapping", [] { feenableexcept(FE_DIVBYZERO | FE_OVERFLOW); },
     [] { return fegetexcept() == 0; }, Leftover::Severity::Failure,
     "left floating-point exceptions FE_DIVBYZERO and FE_OVERFLOW trapping, so the host's next "
     "such operation ends it"},
    {"SSE trapping", [] { _mm_setcsr(_mm_getcsr() & ~_MM_MASK_INVALID); },
     [] { return (_mm_getcsr() & _MM_MASK_INVALID) != 0; }, Leftover::Severity::Failure,
     "left floating-point exception FE_INVALID trapping, so the host's next such operation ends "
     "it"},
    {"SSE rounding", [] { _MM_SET_ROUNDING_MODE(_MM_ROUND_TOWARD_ZERO); },
     [] { return _MM_GET_ROUNDING_MODE() == _MM_ROUND_NEAREST; }, Leftover::Severity::Warning,
     "changed the floating-point rounding mode to toward zero"},
    {"flush to zero",
     [] {
         _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON);
         _mm_setcsr(_mm_getcsr() | 0x40);  // and denormal inputs read as zero
     },
     [] { return (_mm_getcsr() & 0x8040) == 0; }, Leftover::Severity::Warning,
     "changed flushing denormal results to zero on and reading denormal inputs as zero on"},
    {"flush to zero alone", [] { _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON); },
     [] { return (_mm_getcsr() & 0x8000) == 0; }, Leftover::Severity::Warning,
     "changed flushing denormal results to zero on"},
    {"x87 precision",
     [] {
         fpu_control_t word = 0;
         _FPU_GETCW(word);
         word = (word & ~_FPU_EXTENDED) | _FPU_DOUBLE;
         _FPU_SETCW(word);
     },
     [] {
         fpu_control_t word = 0;
         _FPU_GETCW(word);
         return (word & _FPU_EXTENDED) == _FPU_EXTENDED;
     },
     Leftover::Severity::Warning, "changed the x87 precision to 53 bits"},
    {"thread name", [] { prctl(PR_SET_NAME, "plugin", 0, 0, 0); },
     [] {
         char name[16] = {};
         prctl(PR_GET_NAME, name, 0, 0, 0);
         return std::string(name) != "plugin";
     },
     Leftover::Severity::Warning, "set the thread name \"plugin\""},
    // Set through a sub-command of its own, unlike the other settings.
    {"memory error policy", [] { prctl(PR_MCE_KILL, PR_MCE_KILL_SET, PR_MCE_KILL_EARLY, 0, 0); },
     [] { return prctl(PR_MCE_KILL_GET, 0, 0, 0, 0) == PR_MCE_KILL_DEFAULT; },
     Leftover::Severity::Warning, "set PR_MCE_KILL 1"},
    {"personality", [] { personality(ADDR_NO_RANDOMIZE); },
     [] { return personality(0xffffffff) == 0; }, Leftover::Severity::Warning,
     "changed the personality to 0x40000"},
    {"stream precision", [] { std::cout.precision(3); }, [] { return std::cout.precision() == 6; },
     Leftover::Severity::Warning, "changed the format of std::cout"},
    // Tied to another of the standard streams, which are the host's own.
    {"stream tie", [] { std::cin.tie(&std::cerr); }, [] { return std::cin.tie() == &std::cout; },
     Leftover::Severity::Warning, "changed the tie of std::cin"},
    {"stream slot", [] { std::cout.iword(streamSlot()) = 7; },
     [] { return std::cout.iword(streamSlot()) == 0; }, Leftover::Severity::Warning,
     "changed the iword/pword slots of std::cout"},
    {"stream pointer slot", [] { std::cout.pword(streamSlot()) = &streamEvents; },
     [] { return std::cout.pword(streamSlot()) == nullptr; }, Leftover::Severity::Warning,
     "changed the iword/pword slots of std::cout"},
    {"dumpable", [] { prctl(PR_SET_DUMPABLE, 0, 0, 0, 0); },
     [] { return prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 1; }, Leftover::Severity::Warning,
     "set PR_SET_DUMPABLE 0"},
    // Imbuing a stream calls its callbacks: none once it is put back.
    {"stream callback", [] { std::cout.register_callback(countEvent, 0); },
     [] {
         const int before = streamEvents;
         std::cout.imbue(std::cout.getloc());
         return streamEvents == before;
     },
     Leftover::Severity::Failure,
     "left an event callback of std::cout pointing into the module, which is gone after "
     "unload"},
    {"POSIX timer", [] { armTimer(SIGEV_SIGNAL); }, [] { return posixTimers() == 0; },
     Leftover::Severity::Failure,
     "left a POSIX timer armed, which fires after the plugin has gone"},
    // Armed, but telling nobody when it expires.
    {"silent POSIX timer", [] { armTimer(SIGEV_NONE); }, [] { return posixTimers() == 0; },
     Leftover::Severity::Warning, "left a POSIX timer behind"},
    {"library", [] { dlopen("libresolv.so.2", RTLD_NOW); },
     [] {
         void* still = dlopen("libresolv.so.2", RTLD_NOW | RTLD_NOLOAD);
         if (still != nullptr) {
             dlclose(still);
         }
         return still == nullptr;
     },
     Leftover::Severity::Warning, "left libresolv.so.2 loaded"},
    {"I/O priority", [] { syscall(SYS_ioprio_set, 1, 0, 2 << 13 | 7); },
     [] { return syscall(SYS_ioprio_get, 1, 0) != (2 << 13 | 7); }, Leftover::Severity::Warning,
     "changed the I/O priority to class best-effort, level 7"},
// AddressSanitizer makes mlockall do nothing: its shadow memory must not be
// locked.
#if !defined(__SANITIZE_ADDRESS__)
    {"memory locked", [] { mlockall(MCL_FUTURE); },
     [] {
         // A mapping of its own (the allocator may reuse what it has): locked,
         // if locking is on.
         const std::size_t size = 1 << 20;
         void* more =
             mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
         const bool back = lockedKiB() == 0;
         munmap(more, size);
         return back;
     },
     Leftover::Severity::Warning, "locked all of plugin-host's future memory in RAM"},
#endif
    {"NUMA policy",
     [] {
         const unsigned long firstNode = 1;
         syscall(SYS_set_mempolicy, 1, &firstNode, 64);  // MPOL_PREFERRED
     },
     [] {
         int mode = -1;
         syscall(SYS_get_mempolicy, &mode, nullptr, 0, nullptr, 0);
         return mode == 0;
     },
     Leftover::Severity::Warning, "changed the NUMA memory policy to mode 1"},
    {"standard input's status flags", [] { fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK); },
     [] { return (fcntl(0, F_GETFL) & O_NONBLOCK) == 0; }, Leftover::Severity::Warning,
     "set O_NONBLOCK on standard input, whose open file plugin-host shares with its caller"},
    {"terminal settings",
     [] {
         termios quiet{};
         tcgetattr(hostTerminal().terminal, &quiet);
         quiet.c_lflag &= ~(ECHO | ICANON);
         tcsetattr(hostTerminal().terminal, TCSANOW, &quiet);
     },
     terminalEchoes, Leftover::Severity::Warning,
     "changed the settings of the terminal " + hostTerminal().name +
         ": echo off and canonical mode off"},
    // An input flag alone: what the terminal makes of what is typed.
    {"terminal input",
     [] {
         termios still{};
         tcgetattr(hostTerminal().terminal, &still);
         still.c_iflag &= ~IXON;
         tcsetattr(hostTerminal().terminal, TCSANOW, &still);
     },
     [] {
         termios now{};
         tcgetattr(hostTerminal().terminal, &now);
         return (now.c_iflag & IXON) != 0;
     },
     Leftover::Severity::Warning,
     "changed the settings of the terminal " + hostTerminal().name + ": flow control off"},
    {"stdio buffering", [] { std::setvbuf(stdin, nullptr, _IONBF, 0); },
     // glibc's _IO_UNBUFFERED and _IO_LINE_BUF, as the host had them
     [] { return (stdin->_flags & 0x0202) == hostStdinBuffering; }, Leftover::Severity::Warning,
     "changed the buffering of stdin"},
};

class Guards : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        hostLocale = std::locale();
        hostWorkingDirectory = std::filesystem::current_path().string();
        hostMask = umask(022);
        umask(hostMask);
        hostStdinBuffering = stdin->_flags & 0x0202;
        setenv("GUARDS_HOST_VARIABLE", "host", 1);
        // A standard input of its own: the one ctest gives is shared with
        // every test running beside this one, and a row changes its flags.
        const int own = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (own > 0) {
            dup2(own, 0);
            close(own);
        }
        // The host blocks one signal of its own, for a plugin to unblock.
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &one, nullptr);
    }
    void TearDown() override {
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, SIGUSR2);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    }
};

// Said once, at the look that first sees it; a crash in waiting is put back
// at once, a change stays as the real host would keep it until the test's
// end puts everything back.
TEST_P(Guards, NameWhatWasLeftOnceAndPutTheHostsStateBackWhenDue) {
    const Row& row = GetParam();
    host::guards::StateGuards guards;
    EXPECT_TRUE(guards.look(ThisProgram()).empty()) << "nothing left yet";
    row.leave();
    const auto leftovers = guards.look(ThisProgram());
    ASSERT_EQ(leftovers.size(), 1u);
    EXPECT_EQ(leftovers[0].severity, row.severity);
    EXPECT_EQ(leftovers[0].text, row.text);
    EXPECT_EQ(row.isBack(), row.severity == Leftover::Severity::Failure);
    EXPECT_TRUE(guards.look(ThisProgram()).empty()) << "said once";
    EXPECT_TRUE(guards.putBack(ThisProgram()).empty()) << "said once";
    EXPECT_TRUE(row.isBack());
    for (const auto& again : guards.putBack(ThisProgram())) {
        ADD_FAILURE() << "not put back for good: " << again.text;
    }
}

// Beside other plugins nothing is put back as a step ends: it is said once,
// and stays as the plugin left it; the look at its module's unload says a
// crash in waiting again, and puts it back.
TEST_P(Guards, LeftInPlaceUntilItsModuleGoes) {
    using host::guards::PutBack;
    const Row& row = GetParam();
    host::guards::StateGuards guards;
    row.leave();
    const auto leftovers = guards.look(ThisProgram(), true, PutBack::Nothing);
    ASSERT_EQ(leftovers.size(), 1u);
    EXPECT_EQ(leftovers[0].text, row.text);
    EXPECT_FALSE(row.isBack());
    EXPECT_TRUE(guards.look(ThisProgram(), true, PutBack::Nothing).empty()) << "said once";
    const auto atUnload = guards.look(ThisProgram());
    const bool failure = row.severity == Leftover::Severity::Failure;
    ASSERT_EQ(atUnload.size(), failure ? 1u : 0u);
    if (failure) {
        EXPECT_EQ(atUnload[0].text, row.text);
    }
    EXPECT_EQ(row.isBack(), failure);
    guards.putBack(ThisProgram());
    EXPECT_TRUE(row.isBack());
}

INSTANTIATE_TEST_SUITE_P(EachKind, Guards, ::testing::ValuesIn(kRows), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
});

// A whole environment of the host's own, cleared (environ is then null) and
// put back; and a change the plugin takes back itself before the next look
// is no leftover.
TEST(Environment, ClearedIsPutBackAndAChangeTakenBackIsNone) {
    char** const hosts = environ;
    char first[] = "GUARDS_A=1";
    char second[] = "GUARDS_B=2";
    char* own[] = {first, second, nullptr};
    environ = own;
    {
        host::guards::StateGuards guards;
        clearenv();
        ASSERT_EQ(environ, nullptr);
        const auto cleared = guards.look(ThisProgram());
        ASSERT_EQ(cleared.size(), 1u);
        EXPECT_EQ(cleared[0].text, "changed the environment variables GUARDS_A and GUARDS_B");
        EXPECT_TRUE(guards.putBack(ThisProgram()).empty());
        EXPECT_STREQ(std::getenv("GUARDS_A"), "1");
        EXPECT_STREQ(std::getenv("GUARDS_B"), "2");

        setenv("GUARDS_A", "changed", 1);
        EXPECT_EQ(guards.look(ThisProgram()).size(), 1u);
        setenv("GUARDS_A", "1", 1);
        EXPECT_TRUE(guards.look(ThisProgram()).empty());
        // Every entry written over where it stands.
        std::getenv("GUARDS_A")[0] = '9';
        std::getenv("GUARDS_B")[0] = '8';
        const auto inPlace = guards.putBack(ThisProgram());
        ASSERT_EQ(inPlace.size(), 1u);
        EXPECT_EQ(inPlace[0].text, "changed the environment variables GUARDS_A and GUARDS_B");
    }
    environ = hosts;
}

TEST(JudgePointer, IntoTheModuleNoLongerLoadedOrElsewhere) {
    int somewhere = 0;
    const auto judged = [&](bool inModule, bool loaded) {
        return host::guards::judgePointer(&somewhere, FakeMap(inModule, loaded), "the thing");
    };
    EXPECT_EQ(judged(true, true).text,
              "left the thing pointing into the module, which is gone after unload");
    EXPECT_EQ(judged(true, true).severity, Leftover::Severity::Failure);
    EXPECT_EQ(judged(false, false).text,
              "left the thing pointing at code that is no longer loaded");
    EXPECT_EQ(judged(false, false).severity, Leftover::Severity::Failure);
    EXPECT_EQ(judged(false, true).text, "changed the thing");
    EXPECT_EQ(judged(false, true).severity, Leftover::Severity::Warning);
    // A null pointer points at nothing to crash into.
    EXPECT_EQ(host::guards::judgePointer(nullptr, FakeMap(true, false), "x").severity,
              Leftover::Severity::Warning);
}

// What goes with the module: it, what it needs and what that needs, not
// what only another library needs; remembered for looks that no longer see
// the module.
TEST(ModuleClosure, IsTheModuleAndWhatItNeedsInTurn) {
    struct Library {
        std::string name;
        std::vector<std::string> needed;
    };
    const std::vector<Library> added{{"other.so", {"shared.so", "own.so"}},
                                     {"needed.so", {"shared.so"}},
                                     {"module.so", {"needed.so"}},
                                     {"shared.so", {}},
                                     {"own.so", {}}};
    std::vector<std::string> modules;
    const auto isModule = [](const Library& library) { return library.name == "module.so"; };
    host::guards::addModuleClosure(added, isModule, modules);
    std::sort(modules.begin(), modules.end());
    EXPECT_EQ(modules, (std::vector<std::string>{"module.so", "needed.so", "shared.so"}));
    host::guards::addModuleClosure(
        added, [](const Library&) { return false; }, modules);
    EXPECT_EQ(modules.size(), 3u);
}

TEST(JoinNames, OneTwoOrMore) {
    EXPECT_EQ(host::guards::joinNames({"A"}), "A");
    EXPECT_EQ(host::guards::joinNames({"A", "B"}), "A and B");
    EXPECT_EQ(host::guards::joinNames({"A", "B", "C"}), "A, B and C");
}

// The host's own callback stays, in its place behind the plugin's.
TEST(StreamCallbacks, ThePluginsGoTheHostsStay) {
    static int hostEvents = 0;
    std::cerr.register_callback([](std::ios_base::event, std::ios_base&, int) { ++hostEvents; }, 0);
    host::guards::StateGuards guards;
    std::cerr.register_callback(countEvent, 0);
    EXPECT_EQ(guards.look(ThisProgram()).size(), 1u);
    const int before = streamEvents;
    std::cerr.imbue(std::cerr.getloc());
    EXPECT_EQ(streamEvents, before);
    EXPECT_EQ(hostEvents, 1);
}

// A slot of the host's whose pointer alone the plugin changed; and a host's
// callback list the plugin replaced whole (copyfmt disposes of it).
TEST(StreamCallbacks, TheHostsSlotIsPutBackAndAListReplacedWholeIsLeftAlone) {
    static int hostWord = 0;
    std::clog.pword(streamSlot()) = &hostWord;
    std::clog.register_callback([](std::ios_base::event, std::ios_base&, int) {}, 0);
    {
        host::guards::StateGuards guards;
        std::clog.pword(streamSlot()) = &streamEvents;
        const auto left = guards.putBack(FakeMap(false, true));
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].text, "changed the iword/pword slots of std::clog");
        EXPECT_EQ(std::clog.pword(streamSlot()), &hostWord);
    }
    host::guards::StateGuards guards;
    const std::ostream plain(nullptr);
    std::clog.copyfmt(plain);
    const auto left = guards.putBack(FakeMap(false, true));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].text, "registered an event callback on std::clog");
}

// What the C library loads for itself and keeps (a character set converter
// here) is not the plugin's.
TEST(Libraries, TheCLibrarysOwnAreNotThePlugins) {
    host::guards::StateGuards guards;
    const iconv_t converter = iconv_open("UTF-16", "UTF-8");
    ASSERT_NE(converter, reinterpret_cast<iconv_t>(-1));
    iconv_close(converter);
    EXPECT_TRUE(guards.look(ThisProgram()).empty());
    // Nor are libidn2, which it loads for internationalised host names, and
    // a name service module, each with what it needs.
    for (const char* own : {"libidn2.so.0", "libnss_files.so.2"}) {
        if (void* library = dlopen(own, RTLD_NOW)) {
            EXPECT_TRUE(guards.look(ThisProgram()).empty()) << own;
            dlclose(library);
        }
    }
}

// Who the process is and where it stands, and whether it can be put back:
// tried in a child of this test, which may give up what it cannot take
// back. Each check that fails says so on standard error.
bool leftAs(host::guards::StateGuards& guards, const std::string& text, bool lasting) {
    for (const auto& leftover : guards.look(ThisProgram())) {
        if (leftover.text == text) {
            if (leftover.lasting != lasting) {
                std::cerr << text << ": lasting " << leftover.lasting << '\n';
            }
            return leftover.lasting == lasting;
        }
    }
    std::cerr << "not found: " << text << '\n';
    return false;
}

bool identityIsGuarded() {
    // The host's own: one supplementary group, and an ambient capability
    // (inheritable first).
    const gid_t root = 0;
    setgroups(1, &root);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    syscall(SYS_capget, &header, data);
    data[0].inheritable |= 1u << CAP_CHOWN;
    syscall(SYS_capset, &header, data);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_CHOWN, 0, 0);
    host::guards::StateGuards guards;
    bool ok = true;
    setresuid(static_cast<uid_t>(-1), 65534, static_cast<uid_t>(-1));
    ok &= leftAs(guards, "changed the user IDs (real/effective/saved) to 0/65534/0", false);
    guards.putBack(ThisProgram());
    ok &= geteuid() == 0;
    setresgid(static_cast<gid_t>(-1), 65534, static_cast<gid_t>(-1));
    ok &= leftAs(guards, "changed the group IDs to 0/65534/0", false);
    guards.putBack(ThisProgram());
    ok &= getegid() == 0;
    const gid_t nobody = 65534;
    std::vector<gid_t> hostGroups(static_cast<std::size_t>(getgroups(0, nullptr)));
    hostGroups.resize(static_cast<std::size_t>(
        getgroups(static_cast<int>(hostGroups.size()), hostGroups.data())));
    setgroups(1, &nobody);
    ok &= leftAs(guards, "changed the supplementary groups", false);
    guards.putBack(ThisProgram());
    std::vector<gid_t> groups(hostGroups.size() + 1);
    groups.resize(
        static_cast<std::size_t>(getgroups(static_cast<int>(groups.size()), groups.data())));
    ok &= groups == hostGroups;
    setpgid(0, 0);
    ok &= leftAs(guards, "moved plugin-host into process group " + std::to_string(getpid()), false);
    guards.putBack(ThisProgram());
    ok &= getpgrp() != getpid();
    setsid();
    ok &= leftAs(guards, "moved plugin-host into a session of its own", true);
    // Effective alone can be taken back; permitted and bounding cannot.
    const auto drop = [](bool permitted) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        syscall(SYS_capget, &header, data);
        data[0].effective &= ~(1u << CAP_NET_RAW);
        if (permitted) {
            data[0].permitted &= ~(1u << CAP_NET_RAW);
        }
        syscall(SYS_capset, &header, data);
    };
    drop(false);
    ok &= leftAs(guards, "changed the effective capabilities", false);
    guards.putBack(ThisProgram());
    // A hard limit lowered: only CAP_SYS_RESOURCE raises it again, which
    // root lacks in some containers.
    const bool mayRaise = host::guards::holdsCapability(CAP_SYS_RESOURCE);
    rlimit hostCore{};
    getrlimit(RLIMIT_CORE, &hostCore);
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    ok &= leftAs(guards, "changed RLIMIT_CORE to 0 (hard 0)", !mayRaise);
    guards.putBack(ThisProgram());
    rlimit core{};
    getrlimit(RLIMIT_CORE, &core);
    ok &= (core.rlim_max == hostCore.rlim_max) == mayRaise;
    if (!mayRaise) {
        guards = host::guards::StateGuards();  // the limit as it now stands
    }
    // The host's ambient capability, lowered.
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, CAP_CHOWN, 0, 0);
    ok &= leftAs(guards, "changed the ambient capabilities", false);
    guards.putBack(ThisProgram());
    ok &= prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_CHOWN, 0, 0) == 1;
    // Each of the two that cannot be taken back, alone.
    prctl(PR_CAPBSET_DROP, CAP_SYS_BOOT, 0, 0, 0);
    ok &= leftAs(guards, "changed the bounding capabilities", true);
    drop(true);
    ok &= leftAs(guards, "changed the effective, permitted and bounding capabilities", true);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    ok &= leftAs(guards, "set PR_SET_NO_NEW_PRIVS 1 and PR_SET_DUMPABLE 0", true);
    // SCHED_IDLE, which CAP_SYS_NICE leaves again.
    const sched_param plain{};
    sched_setscheduler(0, SCHED_IDLE, &plain);
    ok &= leftAs(guards, "changed the scheduling policy to SCHED_IDLE", false);
    guards.putBack(ThisProgram());
    ok &= sched_getscheduler(0) == SCHED_OTHER;
    // The real-time I/O class given up, which CAP_SYS_NICE or CAP_SYS_ADMIN
    // alone takes back, and nothing else.
    const long hostIo = syscall(SYS_ioprio_get, 1, 0);
    for (const auto& [without, lasting] :
         std::vector<std::pair<std::vector<int>, bool>>{{{CAP_SYS_ADMIN}, false},
                                                        {{CAP_SYS_NICE}, false},
                                                        {{CAP_SYS_ADMIN, CAP_SYS_NICE}, true}}) {
        syscall(SYS_ioprio_set, 1, 0, 1 << 13 | 4);
        host::guards::StateGuards realTime;
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        syscall(SYS_capget, &header, data);
        for (const int capability : without) {
            data[0].effective &= ~(1u << capability);
        }
        syscall(SYS_capset, &header, data);
        syscall(SYS_ioprio_set, 1, 0, 3 << 13);
        ok &= leftAs(realTime, "changed the I/O priority to class idle, level 0", lasting);
        realTime.putBack(ThisProgram());
        ok &= (syscall(SYS_ioprio_get, 1, 0) == (1 << 13 | 4)) != lasting;
    }
    syscall(SYS_ioprio_set, 1, 0, hostIo);
    // Root given up for good: no ID of the host's left to take. (The
    // real-time I/O class it keeps is for the rows after it.)
    syscall(SYS_ioprio_set, 1, 0, 1 << 13 | 4);
    setresuid(1000, 1000, 1000);
    ok &= leftAs(guards, "changed the user IDs (real/effective/saved) to 1000/1000/1000", true);
    // Without privilege: what an ordinary process can and cannot take back.
    host::guards::StateGuards ordinary;
    sched_setscheduler(0, SCHED_BATCH, &plain);
    ok &= leftAs(ordinary, "changed the scheduling policy to SCHED_BATCH", false);
    ordinary.putBack(ThisProgram());
    ok &= sched_getscheduler(0) == SCHED_OTHER;
    syscall(SYS_ioprio_set, 1, 0, 3 << 13);  // the idle class: the real-time one is gone
    ok &= leftAs(ordinary, "changed the I/O priority to class idle, level 0", true);
    sched_setscheduler(0, SCHED_IDLE, &plain);
    ok &= leftAs(ordinary, "changed the scheduling policy to SCHED_IDLE", true);
    // Raised from wherever the test started: nice(1) may have raised it.
    const int started = getpriority(PRIO_PROCESS, 0);
    const int raised = std::min(started + 5, 19);
    if (raised > started && setpriority(PRIO_PROCESS, 0, raised) == 0) {
        ok &= leftAs(ordinary, "changed the nice value to " + std::to_string(raised), true);
    }
    return ok;
}

// A host whose three user IDs differ, and a plugin without root that keeps
// two of them: the third is out of its reach; the idle I/O class is not.
bool aUserIdOutOfReachIsLasting() {
    setresuid(1000, 2000, 3000);
    host::guards::StateGuards guards;
    setresuid(static_cast<uid_t>(-1), 1000, static_cast<uid_t>(-1));
    bool ok = leftAs(guards, "changed the user IDs (real/effective/saved) to 1000/1000/3000", true);
    // The idle I/O class is left by anyone.
    syscall(SYS_ioprio_set, 1, 0, 3 << 13);
    ok &= leftAs(guards, "changed the I/O priority to class idle, level 0", false);
    guards.putBack(ThisProgram());
    return ok && syscall(SYS_ioprio_get, 1, 0) >> 13 != 3;
}

// The I/O class "none", which takes its priority from the nice value, named.
TEST(IoPriority, TheClassNoneIsNamedAndPutBack) {
    const long bestEffort = 2 << 13 | 4;
    ASSERT_EQ(syscall(SYS_ioprio_set, 1, 0, bestEffort), 0);
    {
        host::guards::StateGuards guards;
        syscall(SYS_ioprio_set, 1, 0, 0);
        const auto left = guards.putBack(FakeMap(false, true));
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].text, "changed the I/O priority to class none, level 0");
        EXPECT_EQ(syscall(SYS_ioprio_get, 1, 0), bestEffort);
    }
    syscall(SYS_ioprio_set, 1, 0, 0);
}

// A raised nice value is taken back with CAP_SYS_NICE, or within a soft
// RLIMIT_NICE that reaches the host's value (the limits a container may not
// let a test set).
TEST(NiceValue, ARaiseStaysUnlessTheLimitOrAPrivilegeReachesBack) {
    struct Row {
        int now, host;
        rlim_t limit;
        bool mayLower, lasting;
    };
    for (const Row& row : std::vector<Row>{{5, 0, 0, false, true},
                                           {5, 0, 0, true, false},
                                           {0, 5, 0, false, false},
                                           {10, 5, RLIM_INFINITY, false, false},
                                           {10, 5, 15, false, false},
                                           {10, 5, 14, false, true}}) {
        EXPECT_EQ(host::guards::niceIsLasting(row.now, row.host, row.limit, row.mayLower),
                  row.lasting)
            << row.now << " from " << row.host << ", limit " << row.limit;
    }
}

TEST(Identity, IsSeenAndWhatCannotBeTakenBackSaysSo) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only a privileged process can change who it is and take it back";
    }
    EXPECT_EXIT(_exit(identityIsGuarded() ? 0 : 1), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(_exit(aUserIdOutOfReachIsLasting() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

// A NUMA policy of the host's own, changed in its mode alone and put back.
TEST(NumaPolicy, AModeOfItsOwnIsPutBackWithItsNodes) {
    const unsigned long firstNode = 1;
    ASSERT_EQ(syscall(SYS_set_mempolicy, 1, &firstNode, 64), 0);  // MPOL_PREFERRED
    {
        host::guards::StateGuards guards;
        syscall(SYS_set_mempolicy, 2, &firstNode, 64);  // MPOL_BIND, the same node
        const auto left = guards.putBack(ThisProgram());
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].text, "changed the NUMA memory policy to mode 2");
        int mode = -1;
        unsigned long nodes = 0;
        syscall(SYS_get_mempolicy, &mode, &nodes, 64, nullptr, 0);
        EXPECT_EQ(mode, 1);
        EXPECT_EQ(nodes, firstNode);
    }
    syscall(SYS_set_mempolicy, 0, nullptr, 0);
}

// A host that flushes denormals has it back after a plugin that did not.
TEST(FpControl, AHostsOwnFlushToZeroIsPutBack) {
    const unsigned host = _mm_getcsr();
    _mm_setcsr(host | 0x8000);
    {
        host::guards::StateGuards guards;
        _mm_setcsr(_mm_getcsr() & ~0x8000u);
        const auto left = guards.putBack(FakeMap(false, true));
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].text, "changed flushing denormal results to zero off");
        EXPECT_EQ(_mm_getcsr() & 0x8000u, 0x8000u);
    }
    _mm_setcsr(host);
}

// Of the exceptions trapped after the plugin, only those the host did not
// trap are named; one the host trapped and the plugin stopped trapping is
// said too.
TEST(FpTraps, OnlyTheOnesTheHostDidNotTrapAreNamed) {
    feenableexcept(FE_INVALID);
    for (const auto& [change, text] : std::vector<std::pair<void (*)(), std::string>>{
             {[] { feenableexcept(FE_DIVBYZERO); },
              "left floating-point exception FE_DIVBYZERO trapping, so the host's next such "
              "operation ends it"},
             {[] { fedisableexcept(FE_INVALID); },
              "changed floating-point exceptions not to trap"}}) {
        host::guards::StateGuards guards;
        change();
        const auto left = guards.putBack(FakeMap(false, true));
        ASSERT_EQ(left.size(), 1u) << text;
        EXPECT_EQ(left[0].text, text);
        EXPECT_EQ(fegetexcept(), FE_INVALID) << text;
    }
    fedisableexcept(FE_ALL_EXCEPT);
}

// The host's own alternate stack, shrunk where it stands, is the host's no
// longer: a crash in waiting, put back at once.
TEST(AlternateStack, TheHostsOwnResizedIsPutBackAtOnce) {
    static char stack[64 * 1024];
    stack_t own{};
    own.ss_sp = stack;
    own.ss_size = sizeof stack;
    ASSERT_EQ(sigaltstack(&own, nullptr), 0);
    {
        host::guards::StateGuards guards;
        stack_t smaller = own;
        smaller.ss_size = sizeof stack / 2;
        sigaltstack(&smaller, nullptr);
        const auto left = guards.look(FakeMap(false, true));
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].text,
                  "left an alternate signal stack of its own, which plugin-host cannot know to be "
                  "alive");
        stack_t now{};
        sigaltstack(nullptr, &now);
        EXPECT_EQ(now.ss_size, sizeof stack);
    }
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
}

// A flag the host's standard output had, cleared, and set again.
TEST(StandardDescriptors, AFlagOfTheHostsClearedIsSetAgain) {
    const int saved = dup(1);
    char path[] = "/tmp/guards-stdout-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    fcntl(file, F_SETFL, O_APPEND);
    dup2(file, 1);
    std::string text;
    bool appendsAgain = false;
    {
        host::guards::StateGuards guards;
        fcntl(1, F_SETFL, 0);
        const auto left = guards.putBack(ThisProgram());
        text = left.empty() ? "" : left[0].text;
        appendsAgain = (fcntl(1, F_GETFL) & O_APPEND) != 0;
    }
    dup2(saved, 1);
    close(saved);
    close(file);
    EXPECT_EQ(text,
              "cleared O_APPEND on standard output, whose open file plugin-host shares with its "
              "caller");
    EXPECT_TRUE(appendsAgain);
}

void forgetValue(void*) {}

// A key is the host's only in its own slot, with its own use of the slot:
// the plugin's key in the next slot is not the host's it deleted, nor is a
// key of its own that reuses the host's slot. A key without a destructor
// calls into nothing, wherever the map says code lies.
TEST(ThreadKeys, AreTheHostsOnlyInTheirOwnSlotAndUse) {
    pthread_key_t kept{};
    ASSERT_EQ(pthread_key_create(&kept, nullptr), 0);
    pthread_key_t hostKey{};
    ASSERT_EQ(pthread_key_create(&hostKey, nullptr), 0);
    {
        host::guards::StateGuards guards;
        pthread_key_t plugins{};
        pthread_key_create(&plugins, nullptr);
        pthread_key_delete(hostKey);
        const auto left = guards.putBack(FakeMap(true, true));
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].text, "left 1 thread-specific data key allocated");
        EXPECT_EQ(left[0].severity, Leftover::Severity::Warning);
        // Only the plugin's key went.
        EXPECT_EQ(pthread_setspecific(kept, &kept), 0);
        EXPECT_NE(pthread_setspecific(plugins, &kept), 0);
    }
    // Deleted and made again in its own slot, whatever its destructor: a key
    // of the plugin's all the same.
    for (const auto& [destructor, text] : std::vector<std::pair<void (*)(void*), std::string>>{
             {forgetValue,
              "left a thread-specific data key whose destructor is in the module, which is gone "
              "after unload"},
             {nullptr, "left 1 thread-specific data key allocated"}}) {
        pthread_key_t own{};
        ASSERT_EQ(pthread_key_create(&own, nullptr), 0);
        host::guards::StateGuards guards;
        pthread_key_delete(own);
        pthread_key_t reused{};
        pthread_key_create(&reused, destructor);
        ASSERT_EQ(reused, own);
        const auto left = guards.putBack(ThisProgram());
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].text, text);
    }
}

// Only the costly guards wait for a call that asks for every guard; the
// others are read at every look.
TEST(StateGuards, LeaveTheCostlyKindsForACallThatAsksForAll) {
    host::guards::StateGuards guards;
    std::signal(SIGUSR2, handler);
    std::fesetround(FE_UPWARD);
    const auto cheap = guards.look(ThisProgram(), false);
    ASSERT_EQ(cheap.size(), 1u);
    EXPECT_EQ(cheap[0].text, "changed the floating-point rounding mode to upward");
    EXPECT_EQ(guards.look(ThisProgram(), true).size(), 1u);
    EXPECT_EQ(handlerOf(SIGUSR2), SIG_DFL);
    guards.putBack(ThisProgram());
}

}  // namespace
