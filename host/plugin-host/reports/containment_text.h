#pragma once

#include <string>
#include <vector>

#include "run_report.h"

namespace host {

// Parts of the containment as a reader says them: "the user, pid and mount
// namespaces and the seccomp filter".
std::string describeParts(const std::vector<std::string>& parts);

// The one line that says what containment the system refused, and what the
// tests run with instead; empty when nothing was refused.
std::string containmentNotice(const ContainmentRecord& containment);

}  // namespace host
