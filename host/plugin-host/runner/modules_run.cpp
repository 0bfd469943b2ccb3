#include "modules_run.h"

#include <thread>

#include "catalog.h"
#include "runner.h"

namespace host {

std::vector<RunReport> runModules(const Options& options,
                                  const std::vector<std::filesystem::path>& modules,
                                  RunProgress* progress) {
    std::vector<RunReport> reports(modules.size());
    const auto runOne = [&](std::size_t i, JobSlots* slots) {
        Options one = options;
        one.module = modules[i];
        // Each module's tests take their turns after the earlier modules'.
        reports[i] = runTests(one, progress, slots, i * (contractTests().size() + 1));
        if (progress != nullptr) {
            progress->moduleDone();
        }
    };
    if (options.inProcess) {
        for (std::size_t i = 0; i < modules.size(); ++i) {
            runOne(i, nullptr);
        }
        return reports;
    }
    JobSlots slots(options.jobs > 0 ? options.jobs : defaultJobs());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < modules.size(); ++i) {
        threads.emplace_back(runOne, i, &slots);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return reports;
}

}  // namespace host
