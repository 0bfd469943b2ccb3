#include "test_report.h"

#include <iterator>

namespace host {

namespace {
constexpr const char* kTestStatusNames[] = {"passed", "failed", "crashed", "timed out", "skipped"};
constexpr const char* kOutcomeNames[] = {"passed", "misbehaved", "unusable", "host failure"};
}  // namespace

const char* toString(TestStatus status) noexcept {
    return kTestStatusNames[static_cast<std::size_t>(status)];
}

std::optional<TestStatus> testStatusFromString(const std::string& name) noexcept {
    for (std::size_t i = 0; i < std::size(kTestStatusNames); ++i) {
        if (name == kTestStatusNames[i]) {
            return static_cast<TestStatus>(i);
        }
    }
    return std::nullopt;
}

const char* toString(Outcome outcome) noexcept {
    return kOutcomeNames[static_cast<std::size_t>(outcome)];
}

TestReport TestReport::ended(std::string name, TestStatus status, std::string cause) {
    TestReport report;
    report.name = std::move(name);
    report.status = status;
    report.cause = std::move(cause);
    const bool misbehaved = status != TestStatus::Passed && status != TestStatus::Skipped;
    report.outcome = misbehaved ? Outcome::Misbehaved : Outcome::Passed;
    return report;
}

void TestReport::fail(std::string why) {
    if (status != TestStatus::Passed) {
        return;
    }
    status = TestStatus::Failed;
    outcome = Outcome::Misbehaved;
    cause = std::move(why);
}

}  // namespace host
