// Runs a program as a container that forbids namespaces runs it: every
// clone or unshare that asks for a namespace, and every setns, fails with
// EPERM, and clone3 is not there (ENOSYS), so that callers fall back to
// clone, as they do under the seccomp profiles of container engines.
//   refuse_namespaces PROGRAM [ARGUMENT...]

#include <sched.h>
#include <seccomp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: refuse_namespaces PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    for (const unsigned long kind : std::initializer_list<unsigned long>{
             CLONE_NEWNS, CLONE_NEWUTS, CLONE_NEWIPC, CLONE_NEWUSER, CLONE_NEWPID, CLONE_NEWNET,
             CLONE_NEWCGROUP, CLONE_NEWTIME}) {
        for (const int call : {SCMP_SYS(clone), SCMP_SYS(unshare)}) {
            seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 1,
                             SCMP_A0_64(SCMP_CMP_MASKED_EQ, kind, kind));
        }
    }
    seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(setns), 0);
    seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    if (seccomp_load(filter) != 0) {
        std::perror("refuse_namespaces: seccomp_load");
        return 2;
    }
    seccomp_release(filter);
    execv(argv[1], argv + 1);
    std::perror("refuse_namespaces: execv");
    return 2;
}
