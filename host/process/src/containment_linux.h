#pragma once

// Containment on Linux, in the three places it happens:
// - the process that asks for children makes the namespaces they all share
//   while the fork server starts (SharedNamespaces): a user namespace for the
//   server, one below it for the children, the network namespace, and the
//   mount namespace with the read-only file system;
// - the server joins them, and makes each child a folder of its own (Jail);
// - the child, just forked, enters the rest before anything of the program
//   runs (Jail::enter): the children's user namespace, its own ipc namespace
//   and a Landlock domain of its own, which keeps its writes to its own
//   folders and its signals and traces to its own processes. The seccomp
//   filter it inherits from the server.
// Where the kernel refuses the namespaces, the child runs with its Landlock
// domain and the seccomp filter, which then also keeps it from what changes
// the machine itself.

#include <linux/filter.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "landlock_linux.h"
#include "process/containment.h"

namespace process {

// ---- the process that asks ------------------------------------------------

// Descriptors of the namespaces every contained child shares, all or none:
// without the children's user namespace a child would be root over the
// others, and without the mount namespace it would reach no file of ours.
struct SharedNamespaces {
    int user = -1;             // the server's
    int children = -1;         // below it, the children's
    int network = -1;          // none with the network allowed
    int mount = -1;            // the read-only file system
    ContainmentReport report;  // what is in place, and what was refused
    SharedNamespaces() = default;
    SharedNamespaces(const SharedNamespaces&) = delete;
    SharedNamespaces& operator=(const SharedNamespaces&) = delete;
    ~SharedNamespaces();
    std::vector<int> descriptors() const;
};

// Makes them, as `containment` asks and as far as the system allows.
void makeSharedNamespaces(const Containment& containment, SharedNamespaces& made);

// What the server is told, with the namespaces' descriptors, before it
// serves: the settings, and the seccomp filter every child inherits from it,
// made here, whose rules name the server (`server`); empty when each child
// is to make its own.
std::string encodeSettings(const Containment& containment, const SharedNamespaces& namespaces);
std::vector<sock_filter> serverFilter(const Containment& containment,
                                      const SharedNamespaces& namespaces, pid_t server);
// And what it answers.
std::string encodeReport(const ContainmentReport& report);
ContainmentReport decodeReport(const std::string& bytes);

// The argument that stands for the path of the file a contained child was
// given: the child learns it only once it is forked, and the argument is
// made that path then.
inline constexpr const char* kSharedFileArgument = "\x01the file it was given";

// ---- the server -------------------------------------------------------------

class Jail {
public:
    // Joins the namespaces in `descriptors` and sets up what every child
    // shares, as `settings` (encodeSettings) asks, with `filter` in force.
    Jail(const std::string& settings, const std::vector<int>& descriptors,
         const std::vector<sock_filter>& filter);
    Jail(const Jail&) = delete;
    Jail& operator=(const Jail&) = delete;
    ~Jail();

    const ContainmentReport& report() const { return report_; }

    // A test's own folder: the one place its child writes, and where the
    // file it was given lies, by name.
    struct Folder {
        std::string path;
        std::string shared;  // empty when it was given none
    };
    // A new test's folder; with `shared`, a new file in it, whose descriptor
    // comes back in `*shared`. Nothing, with `error` saying why, when it
    // cannot be made; without containment, nothing and no error.
    std::optional<Folder> folder(int* shared, std::string& error);
    // Once its child has ended: whatever the test left in its folder goes.
    void remove(const Folder& folder) const;
    // In the child, just forked: enters the rest of the containment, and
    // makes `arguments` name the file it was given where they stand for it;
    // false, with `error`, when it cannot.
    bool enter(const Folder* folder, std::vector<std::string>& arguments, std::string& error) const;

private:
    void join(const std::vector<int>& descriptors);
    void confine(const std::vector<sock_filter>& filter);
    void missing(const char* part, const std::string& why);

    ContainmentReport report_;
    bool contain_ = false;
    bool network_ = false;
    bool networkNamespace_ = false;
    bool ipcNamespace_ = false;
    bool mountNamespace_ = false;
    bool landlock_ = false;   // its file rules
    bool ownFilter_ = false;  // each child makes its own seccomp filter
    int childUserNamespace_ = -1;
    std::string folders_;  // where the tests' folders are made
    std::vector<std::string> writable_;
    std::unique_ptr<WritablePlaces> places_;  // for each child's Landlock domain
};

}  // namespace process
