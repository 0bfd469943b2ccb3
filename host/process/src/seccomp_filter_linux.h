#pragma once

#include <linux/filter.h>
#include <sys/types.h>

#include <vector>

namespace process {

// What a contained child's seccomp filter refuses: what neither its
// namespaces nor its Landlock domain cover.
struct FilterRules {
    // The child's signals that would leave its test end it instead: one to
    // every process (kill(-1, ...)), and one to `parent`, its fork server.
    pid_t parent = 0;
    // Sockets of every kind reach the network; with a network namespace
    // of its own only socket files and abstract sockets would.
    bool network = false;
    bool networkNamespace = false;
    // Where nothing else keeps its signals, ptrace and process-reading
    // calls to itself: its pid, and they are kept to it; else 0.
    pid_t self = 0;
    // Where it runs as the machine's own root (no user namespace): what
    // changes the machine itself (time, modules, mounts, reboot) is
    // refused.
    bool machine = false;
};

// The filter as a program for the kernel. Throws ProcessError when it
// cannot be made.
std::vector<sock_filter> filterProgram(const FilterRules& rules);

// Puts `program` in force for this thread and every process it starts; no
// process can take it off again. Without the privilege a filter needs, it
// first sets no_new_privs, which no process can take back either. False,
// with errno, when the kernel refuses.
bool installFilter(const std::vector<sock_filter>& program);

}  // namespace process
