#include "modules_run.h"

#include <exception>
#include <thread>

#include "catalog.h"
#include "runner.h"
#include "together_run.h"

namespace host {

std::vector<RunReport> runModules(const Options& options,
                                  const std::vector<std::filesystem::path>& modules,
                                  RunProgress* progress) {
    std::vector<RunReport> reports(modules.size());
    if (options.together && (options.explore > 0 || !options.sequence.empty())) {
        // Sequences over all the modules instead of each one's own tests.
        addTogether(options, modules, reports, progress);
        for (std::size_t i = 0; progress != nullptr && i < modules.size(); ++i) {
            progress->moduleDone();
        }
        return reports;
    }
    const auto runOne = [&](std::size_t i, JobSlots* slots, RunEnd* end) {
        Options one = options;
        one.module = modules[i];
        // Each module's tests take their turns after the earlier modules'.
        reports[i] = runTests(one, progress, slots, i * (contractTests().size() + 1), end);
        if (progress != nullptr) {
            progress->moduleDone();
        }
    };
    // --explore's children carry no mark to tell whose a stray process is,
    // and one child at a time is all its sequences use: one module after
    // another, each alone.
    if (options.inProcess || options.explore > 0) {
        for (std::size_t i = 0; i < modules.size(); ++i) {
            runOne(i, nullptr, nullptr);
        }
        if (options.together) {
            addTogether(options, modules, reports, progress);
        }
        return reports;
    }
    JobSlots slots(options.jobs > 0 ? options.jobs : defaultJobs());
    RunEnd end(modules.size());
    std::vector<std::thread> threads;
    // What goes wrong in plugin-host itself, said once every module is done.
    std::vector<std::exception_ptr> errors(modules.size());
    for (std::size_t i = 0; i < modules.size(); ++i) {
        threads.emplace_back([&, i] {
            try {
                runOne(i, &slots, &end);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
    if (options.together) {
        addTogether(options, modules, reports, progress);
    }
    return reports;
}

}  // namespace host
