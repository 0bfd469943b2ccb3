// What only a POSIX process has: the C stdio buffers as the C library keeps
// them, the file mode mask and the signal mask.

#include <signal.h>
#include <sys/stat.h>

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
            saved_[i] = Buffer::of(*streams()[i]);
        }
    }

    std::vector<Leftover> restore(const CodeMap& where) override {
        std::vector<Leftover> leftovers;
        for (int i = 0; i < 3; ++i) {
            std::FILE& stream = *streams()[i];
            const Buffer now = Buffer::of(stream);
            // An unbuffered stream's one-byte buffer is the stream's own.
            const bool ownBuffer = now.user && now.base != saved_[i].base &&
                                   now.base != static_cast<const void*>(stream._shortbuf);
            if (!ownBuffer && now.mode == saved_[i].mode) {
                continue;
            }
            if (ownBuffer) {
                const std::string what = std::string(kNames[i]) + " writing into a buffer";
                leftovers.push_back(
                    where.inModule(now.base)
                        ? Leftover{Leftover::Severity::Failure,
                                   "left " + what + " in the module, which is gone after unload"}
                        : Leftover{Leftover::Severity::Failure,
                                   "left " + what +
                                       " of its own, which plugin-host cannot "
                                       "know to be alive"});
            } else {
                leftovers.push_back({Leftover::Severity::Warning,
                                     std::string("changed the buffering of ") + kNames[i]});
            }
            // glibc's own buffer went when the plugin's came: the host's
            // stream gets one of plugin-host's, in the mode it had.
            std::fflush(&stream);
            std::setvbuf(&stream, hostBuffers()[i], saved_[i].mode, BUFSIZ);
            saved_[i] = Buffer::of(stream);
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
    Buffer saved_[3];
};
#endif

class FileModeMaskGuard final : public StateGuard {
public:
    void record() override {
        saved_ = ::umask(0);
        ::umask(saved_);
    }
    std::vector<Leftover> restore(const CodeMap&) override {
        const mode_t now = ::umask(saved_);
        if (now == saved_) {
            return {};
        }
        char octal[8];
        std::snprintf(octal, sizeof octal, "%03o", static_cast<unsigned>(now));
        return {
            {Leftover::Severity::Warning, std::string("changed the file mode mask to ") + octal}};
    }

private:
    mode_t saved_ = 0;
};

// The signal mask of the thread that runs the plugin's steps, which is the
// host's own thread.
class SignalMaskGuard final : public StateGuard {
public:
    void record() override { pthread_sigmask(SIG_SETMASK, nullptr, &saved_); }
    std::vector<Leftover> restore(const CodeMap&) override {
        sigset_t now;
        pthread_sigmask(SIG_SETMASK, nullptr, &now);
        std::vector<std::string> blocked;
        bool changed = false;
        for (int signal = 1; signal < NSIG; ++signal) {
            const int was = sigismember(&saved_, signal);
            const int is = sigismember(&now, signal);
            changed = changed || was != is;
            if (is == 1 && was == 0) {
                const char* name = sigabbrev_np(signal);
                blocked.push_back(name != nullptr
                                      ? std::string("SIG") + name
                                      : "SIGRTMIN+" + std::to_string(signal - SIGRTMIN));
            }
        }
        if (!changed) {
            return {};
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
        return {{Leftover::Severity::Warning, blocked.empty()
                                                  ? std::string("unblocked signals the host blocks")
                                                  : "left " + joinNames(blocked) + " blocked"}};
    }

private:
    sigset_t saved_{};
};

}  // namespace

std::vector<std::unique_ptr<StateGuard>> platformGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
#if defined(__GLIBC__)
    guards.push_back(std::make_unique<StdioBuffersGuard>());
#endif
    guards.push_back(std::make_unique<FileModeMaskGuard>());
    guards.push_back(std::make_unique<SignalMaskGuard>());
    return guards;
}

}  // namespace host::guards
