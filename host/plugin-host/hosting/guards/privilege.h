#pragma once

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "process/containment.h"

namespace host::guards {

// Whether this process holds `capability` in its effective set, over the
// machine: what it may put back depends on that, not on being root, which in
// a container may lack some, and which in a contained child's own user
// namespace reaches nothing the guards look at.
inline bool holdsCapability(int capability) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    return !process::capabilitiesConfined() && syscall(SYS_capget, &header, data) == 0 &&
           (data[capability / 32].effective >> (capability % 32) & 1) != 0;
}

// Whether a nice value raised from `host` to `now` stays raised: anyone
// raises it, but lowering it again takes CAP_SYS_NICE (`mayLower`) or a
// soft RLIMIT_NICE of `limit`, which allows down to 20 - limit.
inline bool niceIsLasting(int now, int host, rlim_t limit, bool mayLower) {
    return now > host && limit != RLIM_INFINITY && 20 - static_cast<long long>(limit) > host &&
           !mayLower;
}

}  // namespace host::guards
