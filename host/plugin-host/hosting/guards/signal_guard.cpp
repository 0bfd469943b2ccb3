// Signal handlers: the handler a crash, an interrupt or a broken pipe runs.

#include <csignal>
#include <cstring>
#include <map>
#include <string>

#include "guards/kinds.h"

namespace host::guards {

namespace {

#if defined(_WIN32)
// The C runtime's signals, all that signal() takes there.
constexpr int kSignals[] = {SIGINT, SIGILL, SIGFPE, SIGSEGV, SIGTERM, SIGBREAK, SIGABRT};

std::string signalName(int signal) {
    static const std::map<int, const char*> names{
        {SIGINT, "SIGINT"},   {SIGILL, "SIGILL"},     {SIGFPE, "SIGFPE"},  {SIGSEGV, "SIGSEGV"},
        {SIGTERM, "SIGTERM"}, {SIGBREAK, "SIGBREAK"}, {SIGABRT, "SIGABRT"}};
    return names.at(signal);
}

using Disposition = void (*)(int);

bool read(int signal, Disposition& out) {
    // signal() has no query: set the default and put the old one straight back.
    out = std::signal(signal, SIG_DFL);
    if (out == SIG_ERR) {
        return false;
    }
    std::signal(signal, out);
    return true;
}
void write(int signal, const Disposition& disposition) {
    std::signal(signal, disposition);
}
bool same(const Disposition& a, const Disposition& b) {
    return a == b;
}
const void* handlerOf(const Disposition& disposition) {
    return reinterpret_cast<const void*>(disposition);
}
bool isDefault(const Disposition& d) {
    return d == SIG_DFL;
}
bool isIgnored(const Disposition& d) {
    return d == SIG_IGN;
}
#else
std::string signalName(int signal) {
    if (const char* abbreviation = sigabbrev_np(signal)) {
        return std::string("SIG") + abbreviation;
    }
    return "SIGRTMIN+" + std::to_string(signal - SIGRTMIN);
}

using Disposition = struct sigaction;

bool read(int signal, Disposition& out) {
    return sigaction(signal, nullptr, &out) == 0;
}
void write(int signal, const Disposition& disposition) {
    sigaction(signal, &disposition, nullptr);
}
const void* handlerOf(const Disposition& d) {
    return (d.sa_flags & SA_SIGINFO) != 0 ? reinterpret_cast<const void*>(d.sa_sigaction)
                                          : reinterpret_cast<const void*>(d.sa_handler);
}
// The C library marks every disposition it installs with its own return
// trampoline; a default one read from the kernel may not have the mark yet.
constexpr int kRestorer = 0x04000000;  // SA_RESTORER

bool same(const Disposition& a, const Disposition& b) {
    if (handlerOf(a) != handlerOf(b) || (a.sa_flags | kRestorer) != (b.sa_flags | kRestorer)) {
        return false;
    }
    // The kernel's part of the set only (signal n is bit n - 1): the C
    // library fills no more, so the bytes past it are whatever they were.
    constexpr std::size_t kKernelBytes = (NSIG - 1 + 7) / 8;
    static_assert(kKernelBytes <= sizeof(sigset_t));
    return std::memcmp(&a.sa_mask, &b.sa_mask, kKernelBytes) == 0;
}
bool isDefault(const Disposition& d) {
    return (d.sa_flags & SA_SIGINFO) == 0 && d.sa_handler == SIG_DFL;
}
bool isIgnored(const Disposition& d) {
    return (d.sa_flags & SA_SIGINFO) == 0 && d.sa_handler == SIG_IGN;
}
#endif

class SignalHandlersGuard final : public StateGuard {
public:
    void record() override {
        items_.clear();
#if defined(_WIN32)
        for (const int signal : kSignals) {
#else
        for (int signal = 1; signal < NSIG; ++signal) {
#endif
            Disposition disposition{};
            if (read(signal, disposition)) {
                items_[signal].record(disposition);
            }
        }
    }

    std::vector<Leftover> look(const CodeMap& where, PutBack putBack) override {
        // Signals grouped by what was left on them, so one line names them all.
        std::map<std::string, std::vector<std::string>> failures;
        std::map<std::string, std::vector<std::string>> warnings;
        for (auto& [signal, item] : items_) {
            Disposition now{};
            if (!read(signal, now)) {
                continue;
            }
            const auto found = item.look(
                now, putBack, same,
                [&where](const Disposition& left) {
                    // The text is a pattern here, for the grouping below.
                    if (isIgnored(left)) {
                        return Leftover{Leftover::Severity::Warning, "left %s ignored"};
                    }
                    if (isDefault(left)) {
                        return Leftover{Leftover::Severity::Warning,
                                        "left %s to its default action"};
                    }
                    if (where.inModule(handlerOf(left))) {
                        return Leftover{
                            Leftover::Severity::Failure,
                            "left %s pointing into the module, which is gone after unload"};
                    }
                    if (!where.inLoadedImage(handlerOf(left))) {
                        return Leftover{Leftover::Severity::Failure,
                                        "left %s pointing at code that is no longer loaded"};
                    }
                    return Leftover{Leftover::Severity::Warning, "changed %s"};
                },
                [signal = signal](Disposition& host) { write(signal, host); });
            if (found) {
                auto& group = found->severity == Leftover::Severity::Failure ? failures : warnings;
                group[found->text].push_back(signalName(signal));
            }
        }
        std::vector<Leftover> leftovers;
        const auto add = [&leftovers](Leftover::Severity severity, const auto& grouped,
                                      bool handlers) {
            for (const auto& [pattern, names] : grouped) {
                std::string subject = joinNames(names);
                if (handlers) {
                    subject = "the " + subject + (names.size() == 1 ? " handler" : " handlers");
                }
                std::string text = pattern;
                text.replace(text.find("%s"), 2, subject);
                leftovers.push_back(Leftover{severity, text});
            }
        };
        add(Leftover::Severity::Failure, failures, true);
        for (auto& [pattern, names] : warnings) {
            // "changed the SIGUSR1 handler"; "left SIGPIPE ignored".
            add(Leftover::Severity::Warning,
                std::map<std::string, std::vector<std::string>>{{pattern, names}},
                pattern.rfind("changed", 0) == 0);
        }
        return leftovers;
    }

    // A system call per signal.
    bool costly() const override {
        return true;
    }

private:
    std::map<int, Watched<Disposition>> items_;
};

}  // namespace

std::unique_ptr<StateGuard> signalHandlersGuard() {
    return std::make_unique<SignalHandlersGuard>();
}

}  // namespace host::guards
