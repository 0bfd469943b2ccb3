#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "session.h"
#include "test_report.h"

namespace host {

// What an isolated child tells its parent, one line per event, each flushed
// at once so that it survives a crash right after:
//   step CYCLE NAME       a step is about to be taken
//   descriptor JSON       the descriptor, once read
//   report JSON           the test's final report
class ProgressWriter final : public StepObserver {
public:
    explicit ProgressWriter(const std::filesystem::path& path);

    void stepStarted(int cycle, Step step) override;
    void descriptorRead(const DescriptorInfo& descriptor) override;
    void finished(const TestReport& report);
    bool good() const { return out_.good(); }

private:
    std::ofstream out_;
};

// What the parent learns from a child's log.
struct ChildProgress {
    std::optional<TestReport> finalReport;
    std::optional<DescriptorInfo> descriptor;
    int cycle = 0;            // of the last step started
    std::vector<Step> steps;  // started in that cycle, in order
};

// Reads a log as far as it makes sense: a line cut short or garbled by a
// crash is passed over, and what came before it still stands.
ChildProgress readProgress(const std::filesystem::path& path);

}  // namespace host
