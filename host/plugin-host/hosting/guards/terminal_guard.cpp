// The terminals plugin-host's process holds: its standard streams', kept
// aside or not, and its controlling terminal. Their settings are the user's
// terminal's, shared with the shell that started plugin-host: echo turned
// off by a plugin stays off after plugin-host has ended, and the user's
// shell shows nothing they type.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "guards/kinds.h"
#include "guards/proc_files.h"

namespace host::guards {

namespace {

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

// The settings a user notices, by name; the rest are "other settings".
struct Setting {
    tcflag_t termios::*field;
    tcflag_t flag;
    const char* name;
};
constexpr Setting kSettings[] = {
    {&termios::c_lflag, ECHO, "echo"},
    {&termios::c_lflag, ICANON, "canonical mode"},
    {&termios::c_lflag, ISIG, "signal characters"},
    {&termios::c_lflag, IEXTEN, "extended input processing"},
    {&termios::c_iflag, ICRNL, "carriage-return translation"},
    {&termios::c_iflag, IXON, "flow control"},
    {&termios::c_oflag, OPOST, "output processing"},
};

std::vector<std::string> changesBetween(const termios& was, const termios& is) {
    std::vector<std::string> changes;
    termios rest = is;
    for (const Setting& setting : kSettings) {
        const bool on = (is.*setting.field & setting.flag) != 0;
        if (on != ((was.*setting.field & setting.flag) != 0)) {
            changes.push_back(std::string(setting.name) + (on ? " on" : " off"));
        }
        rest.*setting.field =
            (rest.*setting.field & ~setting.flag) | (was.*setting.field & setting.flag);
    }
    if (!sameSettings(rest, was)) {
        changes.push_back("other settings");
    }
    return changes;
}

// The device of this process's controlling terminal; 0 for none.
dev_t controllingTerminal() {
    const std::string line = procFile("/proc/self/stat");
    // pid (comm) state ppid pgrp session tty_nr ...: the name may hold ") ".
    std::istringstream fields(line.substr(std::min(line.size(), line.rfind(')') + 1)));
    std::string state;
    long skipped = 0;
    long device = 0;
    fields >> state >> skipped >> skipped >> skipped >> device;
    return static_cast<dev_t>(device);
}

// One terminal, reached through a descriptor of the guard's own, which the
// plugin neither closed nor replaced.
struct Terminal {
    int fd = -1;
    dev_t device = 0;
    std::string name;  // "/dev/pts/3"
    Watched<termios> settings;
};

class TerminalGuard final : public StateGuard {
public:
    ~TerminalGuard() override { forget(); }

    void record() override {
        forget();
        const int folder = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        alignas(dirent64) char entries[4096];
        for (long got = 0;
             folder >= 0 && (got = syscall(SYS_getdents64, folder, entries, sizeof entries)) > 0;) {
            for (long at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
                const int fd = std::atoi(entry->d_name);
                if (entry->d_name[0] != '.' && fd != folder) {
                    take(fd);
                }
                at += entry->d_reclen;
            }
        }
        if (folder >= 0) {
            ::close(folder);
        }
        // The controlling terminal, if there is one (a child of plugin-host's
        // has none), unless a descriptor reached it already: /dev/tty is
        // another device number for the same terminal.
        const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        const dev_t controlling = controllingTerminal();
        if (std::none_of(
                terminals_.begin(), terminals_.end(),
                [controlling](const Terminal& known) { return known.device == controlling; })) {
            take(fd);
        }
        ::close(fd);
    }

    std::vector<Leftover> look(const CodeMap&, PutBack putBack) override {
        std::vector<Leftover> found;
        for (Terminal& terminal : terminals_) {
            termios now{};
            if (tcgetattr(terminal.fd, &now) != 0) {
                continue;
            }
            const auto left = terminal.settings.look(
                now, putBack, sameSettings,
                [&terminal](const termios& changed) {
                    return Leftover{Leftover::Severity::Warning,
                                    "changed the settings of the terminal " + terminal.name + ": " +
                                        joinNames(changesBetween(terminal.settings.host, changed))};
                },
                [&terminal](const termios& host) { restore(terminal.fd, host); });
            if (left) {
                found.push_back(*left);
            }
        }
        return found;
    }

    bool costly() const override { return true; }

private:
    // A terminal not yet known, by its device; a pseudo-terminal's master
    // side is no terminal a user types at.
    void take(int fd) {
        struct stat info {};
        int number = 0;
        // Only a character device can be a terminal: the rest is told apart
        // without asking the terminal's driver.
        if (fd < 0 || fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || !isatty(fd) ||
            ioctl(fd, TIOCGPTN, &number) == 0) {
            return;
        }
        for (const Terminal& known : terminals_) {
            if (known.device == info.st_rdev) {
                return;
            }
        }
        Terminal terminal;
        terminal.device = info.st_rdev;
        termios settings{};
        terminal.fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (terminal.fd < 0 || tcgetattr(terminal.fd, &settings) != 0) {
            if (terminal.fd >= 0) {
                ::close(terminal.fd);
            }
            return;
        }
        char name[256] = {};
        terminal.name = ttyname_r(terminal.fd, name, sizeof name) == 0
                            ? name
                            : "on descriptor " + std::to_string(fd);
        terminal.settings.record(settings);
        terminals_.push_back(std::move(terminal));
    }

    // From the background a change would stop plugin-host (SIGTTOU): it is
    // held back while the host's settings go back in.
    static void restore(int fd, const termios& host) {
        sigset_t stop;
        sigset_t was;
        sigemptyset(&stop);
        sigaddset(&stop, SIGTTOU);
        pthread_sigmask(SIG_BLOCK, &stop, &was);
        tcsetattr(fd, TCSANOW, &host);
        pthread_sigmask(SIG_SETMASK, &was, nullptr);
    }

    void forget() {
        for (const Terminal& terminal : terminals_) {
            ::close(terminal.fd);
        }
        terminals_.clear();
    }

    std::vector<Terminal> terminals_;
};

}  // namespace

std::unique_ptr<StateGuard> terminalGuard() {
    return std::make_unique<TerminalGuard>();
}

}  // namespace host::guards
