// The standard descriptors' open files, which plugin-host shares with its
// caller (a terminal, a CI runner's pipe): a status flag a plugin sets on
// one stays set for the caller after plugin-host has ended. And the C
// library's stdin, stdout and stderr themselves, which a plugin may point
// at a FILE of its own.

#include <fcntl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "guards/kinds.h"

namespace host::guards {

namespace {

constexpr const char* kDescriptorNames[3] = {"standard input", "standard output", "standard error"};

// The flags F_SETFL can change; -1 for a descriptor that is not open.
struct StatusFlags {
    int flags[3] = {-1, -1, -1};
    bool operator==(const StatusFlags& other) const {
        return flags[0] == other.flags[0] && flags[1] == other.flags[1] &&
               flags[2] == other.flags[2];
    }
};

constexpr int kChangeable = O_APPEND | O_ASYNC | O_DIRECT | O_NOATIME | O_NONBLOCK;

std::vector<std::string> flagNames(int flags) {
    static const std::pair<int, const char*> names[] = {{O_APPEND, "O_APPEND"},
                                                        {O_ASYNC, "O_ASYNC"},
                                                        {O_DIRECT, "O_DIRECT"},
                                                        {O_NOATIME, "O_NOATIME"},
                                                        {O_NONBLOCK, "O_NONBLOCK"}};
    std::vector<std::string> found;
    for (const auto& [flag, name] : names) {
        if ((flags & flag) != 0) {
            found.push_back(name);
        }
    }
    return found;
}

class StatusFlagsGuard final : public ValueGuard<StatusFlags> {
    StatusFlags read() override {
        StatusFlags now;
        for (int fd = 0; fd < 3; ++fd) {
            const int flags = fcntl(fd, F_GETFL);
            now.flags[fd] = flags < 0 ? -1 : flags & kChangeable;
        }
        return now;
    }
    // Only on the descriptor the host had: another file in its place is
    // not the host's to change.
    void write(const StatusFlags& host) override {
        for (int fd = 0; fd < 3; ++fd) {
            const int flags = fcntl(fd, F_GETFL);
            if (host.flags[fd] >= 0 && flags >= 0) {
                fcntl(fd, F_SETFL, (flags & ~kChangeable) | host.flags[fd]);
            }
        }
    }
    Leftover judge(const StatusFlags& now, const CodeMap&) override {
        std::vector<std::string> changes;
        for (int fd = 0; fd < 3; ++fd) {
            const int was = host().flags[fd];
            const int is = now.flags[fd];
            if (was < 0 || is < 0 || was == is) {
                continue;
            }
            const auto set = flagNames(is & ~was);
            const auto cleared = flagNames(was & ~is);
            std::string change;
            if (!set.empty()) {
                change += "set " + joinNames(set);
            }
            if (!cleared.empty()) {
                change += (change.empty() ? "cleared " : " and cleared ") + joinNames(cleared);
            }
            changes.push_back(change + " on " + kDescriptorNames[fd]);
        }
        return {Leftover::Severity::Warning,
                joinNames(changes) + ", whose open file plugin-host shares with its caller"};
    }
    bool costly() const override { return true; }
};

// The variables: a FILE of the plugin's is its own buffer and code.
struct Streams {
    std::FILE* stream[3]{};
    bool operator==(const Streams& other) const {
        return stream[0] == other.stream[0] && stream[1] == other.stream[1] &&
               stream[2] == other.stream[2];
    }
};

class StreamVariablesGuard final : public ValueGuard<Streams> {
    Streams read() override { return Streams{{stdin, stdout, stderr}}; }
    void write(const Streams& host) override {
        stdin = host.stream[0];
        stdout = host.stream[1];
        stderr = host.stream[2];
    }
    Leftover judge(const Streams& now, const CodeMap&) override {
        static constexpr const char* kNames[3] = {"stdin", "stdout", "stderr"};
        std::vector<std::string> changed;
        for (int i = 0; i < 3; ++i) {
            if (now.stream[i] != host().stream[i]) {
                changed.push_back(kNames[i]);
            }
        }
        return {Leftover::Severity::Failure,
                "left " + joinNames(changed) +
                    (changed.size() == 1 ? " pointing" : " each pointing") +
                    " at a FILE of its own, which goes with the module"};
    }
};

}  // namespace

std::vector<std::unique_ptr<StateGuard>> standardDescriptorGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
    guards.push_back(std::make_unique<StatusFlagsGuard>());
    guards.push_back(std::make_unique<StreamVariablesGuard>());
    return guards;
}

}  // namespace host::guards
