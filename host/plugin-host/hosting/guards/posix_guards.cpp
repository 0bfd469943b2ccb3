// What only a POSIX process has: the C stdio buffers as the C library keeps
// them, the file mode mask, the signal mask and the alternate signal stack;
// and, each in a file of its own, the timers, limits, scheduling, standard
// descriptors, loaded libraries, identity and memory policy.

#include <signal.h>
#include <sys/personality.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "guards/kinds.h"

namespace host::guards {

namespace {

// std::FILE's own buffer, which only glibc lets a program read: a buffer the
// plugin gave a stream stays the stream's after the plugin has gone.
#if defined(__GLIBC__)
class StdioBuffersGuard final : public StateGuard {
public:
    void record() override {
        for (int i = 0; i < 3; ++i) {
            items_[i].record(Buffer::of(*streams()[i]));
        }
    }

    std::vector<Leftover> look(const CodeMap& where, PutBack putBack) override {
        std::vector<Leftover> leftovers;
        for (int i = 0; i < 3; ++i) {
            std::FILE& stream = *streams()[i];
            // An unbuffered stream's one-byte buffer is the stream's own.
            const auto ownBuffer = [&stream](const Buffer& now, const Buffer& before) {
                return now.user && now.base != before.base &&
                       now.base != static_cast<const void*>(stream._shortbuf);
            };
            auto found = items_[i].look(
                Buffer::of(stream), putBack,
                [&](const Buffer& now, const Buffer& before) {
                    return !ownBuffer(now, before) && now.mode == before.mode;
                },
                [&](const Buffer& now) {
                    const std::string what = std::string(kNames[i]) + " writing into a buffer";
                    if (ownBuffer(now, items_[i].host)) {
                        return where.inModule(now.base)
                                   ? Leftover{Leftover::Severity::Failure,
                                              "left " + what +
                                                  " in the module, which is gone after unload"}
                                   : Leftover{Leftover::Severity::Failure,
                                              "left " + what +
                                                  " of its own, which plugin-host cannot know to "
                                                  "be alive"};
                    }
                    return Leftover{Leftover::Severity::Warning,
                                    std::string("changed the buffering of ") + kNames[i]};
                },
                [&](Buffer& host) {
                    // glibc's own buffer went when the plugin's came: the
                    // host's stream gets one of plugin-host's, in the mode it had.
                    std::fflush(&stream);
                    std::setvbuf(&stream, hostBuffers()[i], host.mode, BUFSIZ);
                    host = Buffer::of(stream);
                });
            if (found) {
                leftovers.push_back(std::move(*found));
            }
        }
        return leftovers;
    }

private:
    struct Buffer {
        const void* base = nullptr;
        bool user = false;
        int mode = _IOFBF;
        static Buffer of(const std::FILE& stream) {
            constexpr int kUserBuffer = 0x0001;    // glibc's _IO_USER_BUF
            constexpr int kUnbuffered = 0x0002;    // _IO_UNBUFFERED
            constexpr int kLineBuffered = 0x0200;  // _IO_LINE_BUF
            const int flags = stream._flags;
            return Buffer{stream._IO_buf_base, (flags & kUserBuffer) != 0,
                          (flags & kUnbuffered) != 0     ? _IONBF
                          : (flags & kLineBuffered) != 0 ? _IOLBF
                                                         : _IOFBF};
        }
    };
    static std::FILE* const* streams() {
        static std::FILE* const all[3] = {stdin, stdout, stderr};
        return all;
    }
    // The stream keeps writing into it long after this guard and its test
    // are gone: it lives as long as the process.
    static char (*hostBuffers())[BUFSIZ] {
        static char buffers[3][BUFSIZ];
        return buffers;
    }
    static constexpr const char* kNames[3] = {"stdin", "stdout", "stderr"};
    Watched<Buffer> items_[3];
};
#endif

class FileModeMaskGuard final : public ValueGuard<mode_t> {
    mode_t read() override {
        const mode_t now = ::umask(0);
        ::umask(now);
        return now;
    }
    void write(const mode_t& mask) override { ::umask(mask); }
    Leftover judge(const mode_t& now, const CodeMap&) override {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%03o", static_cast<unsigned>(now));
        return {Leftover::Severity::Warning, std::string("changed the file mode mask to ") + octal};
    }
    bool costly() const override { return true; }
};

// The signal mask of the thread that runs the plugin's steps, which is the
// host's own thread.
// The signals blocked, by number: the bytes of a sigset_t past the
// kernel's part are whatever they were.
class SignalMaskGuard final : public ValueGuard<std::vector<int>> {
    std::vector<int> read() override {
        sigset_t now;
        pthread_sigmask(SIG_SETMASK, nullptr, &now);
        std::vector<int> blocked;
        for (int signal = 1; signal < NSIG; ++signal) {
            if (sigismember(&now, signal) == 1) {
                blocked.push_back(signal);
            }
        }
        return blocked;
    }
    void write(const std::vector<int>& blocked) override {
        sigset_t mask;
        sigemptyset(&mask);
        for (const int signal : blocked) {
            sigaddset(&mask, signal);
        }
        pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    }
    Leftover judge(const std::vector<int>& now, const CodeMap&) override {
        std::vector<std::string> blocked;
        for (const int signal : now) {
            if (std::find(host().begin(), host().end(), signal) == host().end()) {
                const char* name = sigabbrev_np(signal);
                blocked.push_back(name != nullptr
                                      ? std::string("SIG") + name
                                      : "SIGRTMIN+" + std::to_string(signal - SIGRTMIN));
            }
        }
        return {Leftover::Severity::Warning, blocked.empty()
                                                 ? std::string("unblocked signals the host blocks")
                                                 : "left " + joinNames(blocked) + " blocked"};
    }
};

// Signals raised while blocked, delivered the moment the host unblocks
// them: a crash in waiting, taken (as sigtimedwait takes a signal) at once.
class PendingSignalsGuard final : public ValueGuard<std::vector<int>> {
    std::vector<int> read() override {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        std::vector<int> signals;
        for (int signal = 1; signal < NSIG; ++signal) {
            if (sigismember(&pending, signal) == 1) {
                signals.push_back(signal);
            }
        }
        return signals;
    }
    void write(const std::vector<int>& host) override {
        for (const int signal : read()) {
            if (std::find(host.begin(), host.end(), signal) == host.end()) {
                sigset_t one;
                sigemptyset(&one);
                sigaddset(&one, signal);
                const timespec now{0, 0};
                sigtimedwait(&one, nullptr, &now);
            }
        }
    }
    Leftover judge(const std::vector<int>& now, const CodeMap&) override {
        std::vector<std::string> names;
        for (const int signal : now) {
            if (std::find(host().begin(), host().end(), signal) == host().end()) {
                const char* name = sigabbrev_np(signal);
                names.push_back(name != nullptr ? std::string("SIG") + name
                                                : "SIGRTMIN+" + std::to_string(signal - SIGRTMIN));
            }
        }
        return {Leftover::Severity::Failure,
                "left " + joinNames(names) +
                    " pending, which the host receives the moment it unblocks it"};
    }
};

// The execution domain: how the kernel runs the host's code from now on
// (address randomisation, READ_IMPLIES_EXEC, ...).
class PersonalityGuard final : public ValueGuard<unsigned long> {
    unsigned long read() override { return static_cast<unsigned long>(personality(0xffffffff)); }
    void write(const unsigned long& host) override { personality(host); }
    Leftover judge(const unsigned long& now, const CodeMap&) override {
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%lX", now);
        return {Leftover::Severity::Warning, std::string("changed the personality to ") + hex};
    }
    bool costly() const override { return true; }
};

// The alternate signal stack of the thread that runs the steps: a crash
// handler runs on it, so one in the module's memory is a crash in waiting.
struct AlternateStack {
    const void* base = nullptr;
    std::size_t size = 0;
    bool enabled = false;
    bool operator==(const AlternateStack& other) const {
        return base == other.base && size == other.size && enabled == other.enabled;
    }
};

class AlternateStackGuard final : public ValueGuard<AlternateStack> {
    AlternateStack read() override {
        stack_t now{};
        sigaltstack(nullptr, &now);
        return {now.ss_sp, now.ss_size, (now.ss_flags & SS_DISABLE) == 0};
    }
    void write(const AlternateStack& host) override {
        stack_t stack{};
        stack.ss_sp = const_cast<void*>(host.base);
        stack.ss_size = host.size;
        stack.ss_flags = host.enabled ? 0 : SS_DISABLE;
        sigaltstack(&stack, nullptr);
    }
    Leftover judge(const AlternateStack& now, const CodeMap& where) override {
        if (now.enabled && where.inModule(now.base)) {
            return {Leftover::Severity::Failure,
                    "left the alternate signal stack in the module, which is gone after unload"};
        }
        if (now.enabled) {
            return {Leftover::Severity::Failure,
                    "left an alternate signal stack of its own, which plugin-host cannot know "
                    "to be alive"};
        }
        return {Leftover::Severity::Warning, "turned off the alternate signal stack"};
    }
};

}  // namespace

std::vector<std::unique_ptr<StateGuard>> platformGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
#if defined(__GLIBC__)
    guards.push_back(std::make_unique<StdioBuffersGuard>());
#endif
    guards.push_back(std::make_unique<FileModeMaskGuard>());
    // Pending signals before the mask: the host's mask, put back, would
    // deliver them.
    guards.push_back(std::make_unique<PendingSignalsGuard>());
    guards.push_back(std::make_unique<SignalMaskGuard>());
    guards.push_back(std::make_unique<PersonalityGuard>());
    guards.push_back(std::make_unique<AlternateStackGuard>());
    guards.push_back(intervalTimersGuard());
    guards.push_back(posixTimersGuard());
    guards.push_back(librariesGuard());
    guards.push_back(processSettingsGuard());
    if (auto keys = threadKeysGuard()) {
        guards.push_back(std::move(keys));
    }
    guards.push_back(resourceLimitsGuard());
    guards.push_back(terminalGuard());
    for (auto* list :
         {schedulingGuards, standardDescriptorGuards, identityGuards, memoryPolicyGuards}) {
        for (auto& guard : list()) {
            guards.push_back(std::move(guard));
        }
    }
    return guards;
}

}  // namespace host::guards
