// How the host's memory is kept: locked in RAM (mlock, mlockall), and on
// which NUMA nodes it is placed. Memory locked for good makes every later
// allocation of the host's count against RLIMIT_MEMLOCK, and fail beyond it.

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "guards/kinds.h"
#include "guards/proc_files.h"

namespace host::guards {

namespace {

long lockedKiB() {
    return std::strtol(std::string(statusField("VmLck")).c_str(), nullptr, 10);
}

struct Locks {
    bool locked = false;  // some memory is locked now
    bool future = false;  // mlockall(MCL_FUTURE): every new mapping will be
    bool operator==(const Locks& other) const {
        return locked == other.locked && future == other.future;
    }
};

class MemoryLocksGuard final : public ValueGuard<Locks> {
    Locks read() override {
        Locks now;
        now.locked = lockedKiB() > 0;
        // MCL_FUTURE shows only in what is mapped after it: map a page and
        // see, by the one advice the kernel refuses a locked mapping.
        void* page =
            mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page != MAP_FAILED) {
            now.future = madvise(page, 4096, MADV_DONTNEED) != 0;
            munmap(page, 4096);
        }
        return now;
    }
    void write(const Locks& host) override {
        if (!host.locked && !host.future) {
            munlockall();
        }
    }
    Leftover judge(const Locks& now, const CodeMap&) override {
        return {Leftover::Severity::Warning,
                now.future ? std::string("locked all of plugin-host's future memory in RAM")
                           : std::string("locked memory of plugin-host's in RAM")};
    }
    bool costly() const override { return true; }
};

struct Placement {
    int mode = 0;
    std::array<unsigned long, 16> nodes{};
    bool operator==(const Placement& other) const {
        return mode == other.mode && nodes == other.nodes;
    }
};

constexpr unsigned long kNodeBits = 16 * 8 * sizeof(unsigned long);

class NumaPolicyGuard final : public ValueGuard<Placement> {
    Placement read() override {
        Placement now;
        syscall(SYS_get_mempolicy, &now.mode, now.nodes.data(), kNodeBits, nullptr, 0);
        return now;
    }
    void write(const Placement& host) override {
        syscall(SYS_set_mempolicy, host.mode, host.mode == 0 ? nullptr : host.nodes.data(),
                host.mode == 0 ? 0 : kNodeBits);
    }
    Leftover judge(const Placement& now, const CodeMap&) override {
        return {Leftover::Severity::Warning,
                "changed the NUMA memory policy to mode " + std::to_string(now.mode)};
    }
    bool costly() const override { return true; }
};

}  // namespace

std::vector<std::unique_ptr<StateGuard>> memoryPolicyGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
    guards.push_back(std::make_unique<MemoryLocksGuard>());
    guards.push_back(std::make_unique<NumaPolicyGuard>());
    return guards;
}

}  // namespace host::guards
