// Who the host is and where it stands: its user and group IDs, its
// supplementary groups and capabilities, its process group and session, its
// root directory and its namespaces. A plugin that changes them leaves the
// host with other rights, outside its job control or in another view of the
// system; what takes a right the plugin gave up cannot be put back.

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "guards/kinds.h"
#include "guards/proc_files.h"

namespace host::guards {

namespace {

struct Ids {
    std::array<uid_t, 3> user{};
    std::array<gid_t, 3> group{};
    std::vector<gid_t> groups;
    bool operator==(const Ids& other) const {
        return user == other.user && group == other.group && groups == other.groups;
    }
};

std::string idsText(const unsigned (&ids)[3]) {
    return std::to_string(ids[0]) + "/" + std::to_string(ids[1]) + "/" + std::to_string(ids[2]);
}

class CredentialsGuard final : public ValueGuard<Ids> {
    Ids read() override {
        Ids now;
        getresuid(&now.user[0], &now.user[1], &now.user[2]);
        getresgid(&now.group[0], &now.group[1], &now.group[2]);
        const int count = getgroups(0, nullptr);
        now.groups.resize(static_cast<std::size_t>(std::max(count, 0)));
        if (count > 0) {
            now.groups.resize(static_cast<std::size_t>(getgroups(count, now.groups.data())));
        }
        std::sort(now.groups.begin(), now.groups.end());
        return now;
    }
    // The user IDs first: taking back a user ID of 0 takes back the
    // capabilities that setting the others needs.
    void write(const Ids& host) override {
        setresuid(host.user[0], host.user[1], host.user[2]);
        setgroups(host.groups.size(), host.groups.data());
        setresgid(host.group[0], host.group[1], host.group[2]);
    }
    Leftover judge(const Ids& now, const CodeMap&) override {
        std::vector<std::string> changed;
        if (now.user != host().user) {
            const unsigned ids[3] = {now.user[0], now.user[1], now.user[2]};
            changed.push_back("the user IDs (real/effective/saved) to " + idsText(ids));
        }
        if (now.group != host().group) {
            const unsigned ids[3] = {now.group[0], now.group[1], now.group[2]};
            changed.push_back("the group IDs to " + idsText(ids));
        }
        if (now.groups != host().groups) {
            changed.push_back("the supplementary groups");
        }
        Leftover leftover{Leftover::Severity::Warning, "changed " + joinNames(changed)};
        // Without root, a process may only take one of its own three IDs.
        const auto own = [&now](uid_t id) {
            return std::find(now.user.begin(), now.user.end(), id) != now.user.end();
        };
        leftover.lasting = now.user[1] != 0 &&
                           !(own(host().user[0]) && own(host().user[1]) && own(host().user[2]));
        return leftover;
    }
    bool costly() const override { return true; }
};

// The three capability sets of capget(2), the bounding set and the ambient
// set, one bit per capability.
struct Capabilities {
    std::array<std::uint64_t, 5> sets{};  // effective, permitted, inheritable, bounding, ambient
    bool operator==(const Capabilities& other) const { return sets == other.sets; }
};

constexpr int kLastCapability = 63;

class CapabilitiesGuard final : public ValueGuard<Capabilities> {
    // All five sets from one read of /proc, rather than a call per
    // capability for the bounding and ambient sets.
    Capabilities read() override {
        static constexpr const char* kFields[] = {"CapEff", "CapPrm", "CapInh", "CapBnd", "CapAmb"};
        Capabilities now;
        for (std::size_t i = 0; i < now.sets.size(); ++i) {
            now.sets[i] = std::strtoull(std::string(statusField(kFields[i])).c_str(), nullptr, 16);
        }
        return now;
    }
    void write(const Capabilities& host) override {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        for (int half = 0; half < 2; ++half) {
            data[half].effective = static_cast<std::uint32_t>(host.sets[0] >> (32 * half));
            data[half].permitted = static_cast<std::uint32_t>(host.sets[1] >> (32 * half));
            data[half].inheritable = static_cast<std::uint32_t>(host.sets[2] >> (32 * half));
        }
        syscall(SYS_capset, &header, data);
        for (int capability = 0; capability <= kLastCapability; ++capability) {
            const bool ambient = (host.sets[4] >> capability & 1) != 0;
            prctl(PR_CAP_AMBIENT, ambient ? PR_CAP_AMBIENT_RAISE : PR_CAP_AMBIENT_LOWER, capability,
                  0, 0);
        }
    }
    Leftover judge(const Capabilities& now, const CodeMap&) override {
        static constexpr const char* kSets[] = {"effective", "permitted", "inheritable", "bounding",
                                                "ambient"};
        std::vector<std::string> changed;
        for (std::size_t i = 0; i < now.sets.size(); ++i) {
            if (now.sets[i] != host().sets[i]) {
                changed.push_back(kSets[i]);
            }
        }
        Leftover leftover{Leftover::Severity::Warning,
                          "changed the " + joinNames(changed) + " capabilities"};
        // A capability dropped from the permitted or the bounding set is
        // gone for good.
        leftover.lasting =
            (host().sets[1] & ~now.sets[1]) != 0 || (host().sets[3] & ~now.sets[3]) != 0;
        return leftover;
    }
    bool costly() const override { return true; }
};

struct Group {
    pid_t group = 0;
    pid_t session = 0;
    bool operator==(const Group& other) const {
        return group == other.group && session == other.session;
    }
};

// The host's job control: a terminal's Ctrl+C goes to its process group.
class ProcessGroupGuard final : public ValueGuard<Group> {
    Group read() override { return {getpgrp(), getsid(0)}; }
    void write(const Group& host) override { setpgid(0, host.group); }
    Leftover judge(const Group& now, const CodeMap&) override {
        if (now.session != host().session) {
            Leftover leftover{Leftover::Severity::Warning,
                              "moved plugin-host into a session of its own"};
            // No process leaves a session it leads.
            leftover.lasting = true;
            return leftover;
        }
        return {Leftover::Severity::Warning,
                "moved plugin-host into process group " + std::to_string(now.group)};
    }
    bool costly() const override { return true; }
};

// readlink(2) alone: these links are short, and read on every look.
std::string linkTarget(int folder, const char* link) {
    char target[256];
    const ssize_t length = readlinkat(folder, link, target, sizeof target);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// The root directory, the namespaces and the control group, as /proc names
// them; none can be put back without a handle on the host's (a descriptor
// kept open for it) or rights over the control groups.
struct View {
    std::string root;
    std::vector<std::string> namespaces;
    std::string cgroup;
    bool operator==(const View& other) const {
        return root == other.root && namespaces == other.namespaces && cgroup == other.cgroup;
    }
};

constexpr const char* kNamespaces[] = {
    "cgroup", "ipc", "mnt", "net", "pid_for_children", "time_for_children", "user", "uts"};

class ViewGuard final : public ValueGuard<View> {
    View read() override {
        View now;
        now.root = linkTarget(AT_FDCWD, "/proc/self/root");
        now.cgroup = procFile("/proc/self/cgroup");
        // Each link beside the others: the folder's path walked once.
        const int folder = open("/proc/self/ns", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (const char* name : kNamespaces) {
            now.namespaces.push_back(folder < 0 ? std::string() : linkTarget(folder, name));
        }
        if (folder >= 0) {
            close(folder);
        }
        return now;
    }
    void write(const View&) override {}
    Leftover judge(const View& now, const CodeMap&) override {
        std::vector<std::string> changed;
        for (std::size_t i = 0; i < now.namespaces.size(); ++i) {
            if (now.namespaces[i] != host().namespaces[i]) {
                changed.push_back(kNamespaces[i]);
            }
        }
        std::string text;
        if (!changed.empty()) {
            text = std::string("moved plugin-host into ") +
                   (changed.size() == 1 ? "a new " : "new ") + joinNames(changed) +
                   (changed.size() == 1 ? " namespace" : " namespaces");
        } else if (now.root != host().root) {
            text = "changed the root directory to \"" + now.root + "\"";
        } else {
            text = "moved plugin-host into another control group";
        }
        Leftover leftover{Leftover::Severity::Warning, std::move(text)};
        leftover.lasting = true;
        return leftover;
    }
    bool costly() const override { return true; }
};

}  // namespace

std::vector<std::unique_ptr<StateGuard>> identityGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
    guards.push_back(std::make_unique<CredentialsGuard>());
    guards.push_back(std::make_unique<CapabilitiesGuard>());
    guards.push_back(std::make_unique<ProcessGroupGuard>());
    guards.push_back(std::make_unique<ViewGuard>());
    return guards;
}

}  // namespace host::guards
