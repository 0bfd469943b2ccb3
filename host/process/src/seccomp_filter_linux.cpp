// A contained child's seccomp filter, made with libseccomp: what a plugin
// could otherwise reach although its namespaces and its Landlock domain shut
// it in.

#include "seccomp_filter_linux.h"

#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "process/process.h"

namespace process {

namespace {

using Context = std::unique_ptr<void, void (*)(scmp_filter_ctx)>;

void add(const Context& filter, std::uint32_t action, int call, unsigned count,
         scmp_arg_cmp first = {}, scmp_arg_cmp second = {}) {
    const int error = count == 0   ? seccomp_rule_add(filter.get(), action, call, 0)
                      : count == 1 ? seccomp_rule_add(filter.get(), action, call, 1, first)
                                   : seccomp_rule_add(filter.get(), action, call, 2, first, second);
    if (error != 0) {
        throw ProcessError(std::string("cannot make the seccomp filter: ") + std::strerror(-error));
    }
}

constexpr std::uint32_t kMinusOne = 0xffffffffu;

// Argument `index` of a call compared with `datum`: what libseccomp's
// SCMP_A<n>_32 macros make, without the C compound literals they are made of.
scmp_arg_cmp argument(unsigned index, scmp_compare op, std::uint32_t datum) {
    scmp_arg_cmp compared{};
    compared.arg = index;
    compared.op = op;
    compared.datum_a = datum;
    return compared;
}

}  // namespace

std::vector<sock_filter> filterProgram(const FilterRules& rules) {
    const Context filter(seccomp_init(SCMP_ACT_ALLOW), seccomp_release);
    if (!filter) {
        throw ProcessError("cannot make the seccomp filter: out of memory");
    }
    const auto refused = SCMP_ACT_ERRNO(EPERM);
    const auto notZero = argument(1, SCMP_CMP_NE, 0);
    // A signal to every process the user may signal ends the child instead:
    // in a CI job that runs as root, that is the whole machine.
    add(filter, SCMP_ACT_KILL_PROCESS, SCMP_SYS(kill), 2, argument(0, SCMP_CMP_EQ, kMinusOne),
        notZero);
    if (rules.self != 0) {
        // Only its own process is the child's to signal, trace or read, and
        // never through a pidfd.
        const auto notSelf = argument(0, SCMP_CMP_NE, static_cast<std::uint32_t>(rules.self));
        for (const int call :
             {SCMP_SYS(kill), SCMP_SYS(tkill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo),
              SCMP_SYS(rt_tgsigqueueinfo), SCMP_SYS(pidfd_open), SCMP_SYS(process_vm_readv),
              SCMP_SYS(process_vm_writev), SCMP_SYS(kcmp)}) {
            add(filter, refused, call, 1, notSelf);
        }
        add(filter, refused, SCMP_SYS(kcmp), 1,
            argument(1, SCMP_CMP_NE, static_cast<std::uint32_t>(rules.self)));
        for (const int call :
             {SCMP_SYS(pidfd_send_signal), SCMP_SYS(pidfd_getfd), SCMP_SYS(process_madvise)}) {
            add(filter, refused, call, 0);
        }
        // PTRACE_TRACEME (0) only: some plugins ask to be traced to keep
        // debuggers away.
        add(filter, refused, SCMP_SYS(ptrace), 1, argument(0, SCMP_CMP_NE, 0));
    } else {
        // Stopping or killing its parent ends the child: the parent is the
        // fork server, which every other test needs. (With the rules above,
        // the kernel refuses it as it refuses any other process.)
        const auto parent = argument(0, SCMP_CMP_EQ, static_cast<std::uint32_t>(rules.parent));
        add(filter, SCMP_ACT_KILL_PROCESS, SCMP_SYS(kill), 2, parent, notZero);
        add(filter, SCMP_ACT_KILL_PROCESS, SCMP_SYS(tkill), 2, parent, notZero);
        add(filter, SCMP_ACT_KILL_PROCESS, SCMP_SYS(tgkill), 2, parent,
            argument(2, SCMP_CMP_NE, 0));
    }
    if (!rules.network) {
        // A network namespace has no route out, but a socket file on the
        // read-only file system still connects (the X server, D-Bus, a
        // container engine). Socket pairs stay the child's own.
        add(filter, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(socket), 1,
            rules.networkNamespace ? argument(0, SCMP_CMP_EQ, AF_UNIX)
                                   : argument(0, SCMP_CMP_NE, AF_NETLINK));
    }
    // Its operations pass by the filter: it could open a socket unseen.
    for (const int call :
         {SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register)}) {
        add(filter, refused, call, 0);
    }
    // The keyrings are the user's, shared across namespaces: its session's
    // keys (a Kerberos ticket, say) are not the plugin's to read.
    for (const int call : {SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key)}) {
        add(filter, refused, call, 0);
    }
    if (rules.machine) {
        // The machine's own root may change the machine: its clock, its
        // kernel, its mounts, its name; not from inside a test.
        for (const int call :
             {SCMP_SYS(reboot),        SCMP_SYS(kexec_load),    SCMP_SYS(kexec_file_load),
              SCMP_SYS(init_module),   SCMP_SYS(finit_module),  SCMP_SYS(delete_module),
              SCMP_SYS(swapon),        SCMP_SYS(swapoff),       SCMP_SYS(settimeofday),
              SCMP_SYS(clock_settime), SCMP_SYS(clock_adjtime), SCMP_SYS(adjtimex),
              SCMP_SYS(sethostname),   SCMP_SYS(setdomainname), SCMP_SYS(acct),
              SCMP_SYS(quotactl),      SCMP_SYS(mount),         SCMP_SYS(umount2),
              SCMP_SYS(mount_setattr), SCMP_SYS(move_mount),    SCMP_SYS(open_tree),
              SCMP_SYS(fsopen),        SCMP_SYS(fsmount),       SCMP_SYS(fspick),
              SCMP_SYS(pivot_root),    SCMP_SYS(iopl),          SCMP_SYS(ioperm),
              SCMP_SYS(syslog),        SCMP_SYS(bpf),           SCMP_SYS(vhangup)}) {
            add(filter, refused, call, 0);
        }
    }

    // Out as a program through a memory file: libseccomp writes to a
    // descriptor only.
    const int memory = memfd_create("seccomp-filter", MFD_CLOEXEC);
    if (memory < 0) {
        throw ProcessError(std::string("cannot make the seccomp filter: ") + std::strerror(errno));
    }
    const int exported = seccomp_export_bpf(filter.get(), memory);
    const off_t size = lseek(memory, 0, SEEK_END);
    std::vector<sock_filter> program(
        exported == 0 && size > 0 ? static_cast<std::size_t>(size) / sizeof(sock_filter) : 0);
    const ssize_t got = pread(memory, program.data(), program.size() * sizeof(sock_filter), 0);
    close(memory);
    if (program.empty() || got != static_cast<ssize_t>(program.size() * sizeof(sock_filter))) {
        throw ProcessError("cannot make the seccomp filter: libseccomp gave no program");
    }
    return program;
}

bool installFilter(const std::vector<sock_filter>& program) {
    sock_fprog described{static_cast<unsigned short>(program.size()),
                         const_cast<sock_filter*>(program.data())};
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &described) == 0) {
        return true;
    }
    if (errno != EACCES) {
        return false;
    }
    // Neither privileged nor in a user namespace of its own.
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &described) == 0;
}

}  // namespace process
