// The together test: several modules in one process, each fault blamed on
// the module whose step made it.

#include "together.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "catalog.h"
#include "crash_watch.h"
#include "leftovers.h"
#include "loader/unique_symbols.h"
#include "process/process.h"
#include "sequence_run.h"
#include "tagged_sequence.h"
#include "warnings.h"

namespace host {

namespace {

// The steps of one module, told to the observer as that module's.
class ModuleObserver final : public StepObserver {
public:
    ModuleObserver(StepObserver& inner, std::size_t module) : inner_(inner), module_(module) {}
    void stepStarted(int cycle, Step step) override {
        inner_.moduleStarted(module_);
        inner_.stepStarted(cycle, step);
    }
    void descriptorRead(const DescriptorInfo& descriptor) override {
        inner_.descriptorRead(descriptor);
    }
    std::optional<std::string> takenDuring(Step step, bool look) override {
        return inner_.takenDuring(step, look);
    }

private:
    StepObserver& inner_;
    std::size_t module_;
};

// The console variables as the host has them. Each module's session has a
// manager of its own, so that each one's handles are counted apart: before
// each step it is given the values every module has left, and after the
// step what it changed is taken back, in the order the changes were made.
class SharedVariables {
public:
    struct Write {
        std::size_t module;
        std::string name;
        std::string value;
    };

    void into(CVarRegistry& registry) {
        if (!values_) {
            values_ = registry.snapshot();
        }
        for (const auto& [name, value] : *values_) {
            if (CVarRecord* record = registry.find(name)) {
                record->value = value;
            }
        }
    }
    // What `module` changed; into `changes` too, and told, unless null.
    void from(const CVarRegistry& registry, std::size_t module, std::vector<Change>* changes,
              StepObserver& observer) {
        for (const auto& [name, value] : registry.snapshot()) {
            std::string& known = (*values_)[name];
            if (known != value) {
                if (changes != nullptr) {
                    changes->push_back(Change{name, known, value});
                    observer.variableChanged(module, changes->back());
                    writes_.push_back(Write{module, name, value});
                }
                known = value;
            }
        }
    }
    const std::vector<Write>& writes() const { return writes_; }

private:
    std::optional<std::map<std::string, std::string, std::less<>>> values_;
    std::vector<Write> writes_;  // in the first cycle, in order
};

// One module of the run, loaded once.
struct Member;

class Together {
public:
    Together(const Options& options, StepObserver& observer)
        : options_(options), observer_(observer), leftovers_(options) {
        for (std::size_t i = 0; i < options.modules.size(); ++i) {
            Options one = options;
            one.module = options.modules[i];
            one.modules.clear();
            perModule_.push_back(std::move(one));
            names_.push_back(togetherName(options.modules[i]));
            observers_.push_back(std::make_unique<ModuleObserver>(observer, i));
            TestReport report;
            report.name = "together";
            reports_.push_back(std::move(report));
        }
        out_.assign(options.modules.size(), false);
    }

    std::vector<TestReport> run();
    // A tagged sequence instead: every module loaded in turn, then each
    // operation done to its module, held to that module's model; a first
    // failure ends it.
    std::vector<TestReport> runSequence(const TaggedSequence& sequence);
    class Hooks;

private:
    bool load(std::size_t module, int cycle);
    bool unload(std::size_t module);
    void record(std::size_t module, Step step, std::vector<guards::Leftover> leftovers);
    void sharedVariables();
    void sharedObjects();
    std::vector<TestReport> finished();

    const Options& options_;
    StepObserver& observer_;
    Leftovers leftovers_;
    SharedVariables variables_;
    std::vector<Options> perModule_;
    std::vector<std::string> names_;
    std::vector<std::unique_ptr<ModuleObserver>> observers_;
    std::vector<TestReport> reports_;
    std::vector<std::unique_ptr<Member>> loaded_;
    std::vector<bool> out_;  // failed in an earlier cycle: not loaded again
    int cycle_ = 1;
    int at_ = 1;             // what the steps are recorded under: the cycle, or the operation
    bool sequence_ = false;  // a report's cyclesPassed is the operation it failed at
    std::size_t lastUnloaded_ = 0;
};

class Together::Hooks final : public StepHooks {
public:
    Hooks(Together& run, std::size_t module, Session& session)
        : run_(run), module_(module), session_(session) {}
    void before(Step) override { run_.variables_.into(session_.registry()); }
    void after(Step step) override {
        TestReport& report = run_.reports_[module_];
        run_.variables_.from(session_.registry(), module_,
                             run_.cycle_ == 1 ? &report.changes : nullptr, run_.observer_);
        const loader::PluginModule* module = session_.module();
        if (step == Step::Unload && report.step(Step::Unload) == StepStatus::Failed) {
            // What fails it alone, said as it happens: a later crash of
            // another module's cannot lose it.
            run_.observer_.leftBehind(LeftBehind{module_, step, true, report.cause, run_.at_});
        }
        run_.record(module_, step,
                    run_.leftovers_.afterStep(module != nullptr ? &module->library() : nullptr,
                                              run_.perModule_[module_].module));
    }

private:
    Together& run_;
    std::size_t module_;
    Session& session_;
};

struct Member {
    Member(Together& run, const Options& options, int cycle, TestReport& report,
           StepObserver& observer, Leftovers& leftovers, std::size_t module)
        : session(options, cycle, report, observer, leftovers) {
        hooks = std::make_unique<Together::Hooks>(run, module, session);
        session.setHooks(hooks.get());
    }
    Session session;
    std::unique_ptr<StepHooks> hooks;
    loader::PluginHolder* holder = nullptr;
};

void Together::record(std::size_t module, Step step, std::vector<guards::Leftover> leftovers) {
    TestReport& report = reports_[module];
    for (auto& left : leftovers) {
        const bool failure = left.severity == guards::Leftover::Severity::Failure;
        if (failure) {
            observer_.leftBehind(LeftBehind{module, step, true, left.text, at_});
            if (sequence_ && report.status == TestStatus::Passed) {
                report.cyclesPassed = at_ - 1;
            }
            report.fail(left.text);
        } else {
            observer_.leftBehind(
                LeftBehind{module, step, false, addStateChange(report, std::move(left)), at_});
        }
    }
}

bool Together::load(std::size_t i, int cycle) {
    auto member = std::make_unique<Member>(*this, perModule_[i], cycle, reports_[i], *observers_[i],
                                           leftovers_, i);
    Session& session = member->session;
    loaded_[i] = std::move(member);
    if (!session.open()) {
        return false;
    }
    loaded_[i]->holder = session.getPluginAndHandOver();
    return loaded_[i]->holder != nullptr && session.step(Step::OnLoad, [&]() -> Finding {
        session.hostCopy->onLoad();
        return std::nullopt;
    });
}

bool Together::unload(std::size_t i) {
    Session& session = loaded_[i]->session;
    loader::PluginHolder* holder = loaded_[i]->holder;
    const bool unloaded = session.step(Step::OnUnload,
                                       [&]() -> Finding {
                                           session.hostCopy->onUnload();
                                           return std::nullopt;
                                       }) &&
                          session.deleteMe(Session::HostCopy::Release,
                                           [&]() -> Finding { return holderEmptied(*holder); }) &&
                          session.release("deleteMe") && session.unload();
    loaded_[i].reset();
    lastUnloaded_ = i;
    return unloaded;
}

void Together::sharedVariables() {
    // name -> the modules that wrote it, in the order they first did, each
    // with its last value; and whose write came last.
    std::map<std::string, std::vector<std::pair<std::size_t, std::string>>> writers;
    std::map<std::string, std::size_t> lastWriter;
    for (const auto& write : variables_.writes()) {
        auto& list = writers[write.name];
        const auto same = std::find_if(list.begin(), list.end(),
                                       [&](const auto& w) { return w.first == write.module; });
        if (same != list.end()) {
            same->second = write.value;
        } else {
            list.emplace_back(write.module, write.value);
        }
        lastWriter[write.name] = write.module;
    }
    for (const auto& [name, list] : writers) {
        if (list.size() < 2) {
            continue;
        }
        std::vector<std::string> modules;
        std::vector<std::string> values;
        for (const auto& [module, value] : list) {
            modules.push_back(names_[module]);
            values.push_back(names_[module] + " to \"" + value + "\"");
        }
        const std::size_t last = lastWriter[name];
        const auto kept =
            std::find_if(list.begin(), list.end(), [&](const auto& w) { return w.first == last; });
        const std::string text = guards::joinNames(modules) +
                                 " each changed the console variable " + name + ": " +
                                 guards::joinNames(values) + "; the load order left \"" +
                                 kept->second + "\", " + names_[last] + "'s";
        for (const auto& [module, value] : list) {
            reports_[module].warnings.push_back(Warning{kSharedVariable.name, text});
        }
    }
}

void Together::sharedObjects() {
    std::vector<std::vector<std::string>> symbols;
    for (const auto& module : options_.modules) {
        symbols.push_back(loader::uniqueSymbols(module));
    }
    for (std::size_t first = 0; first < symbols.size(); ++first) {
        for (std::size_t other = first + 1; other < symbols.size(); ++other) {
            for (const auto& symbol : symbols[first]) {
                if (std::find(symbols[other].begin(), symbols[other].end(), symbol) ==
                    symbols[other].end()) {
                    continue;
                }
                const Warning warning{
                    kSharedObject.name,
                    names_[first] + " and " + names_[other] + " both define the unique symbol " +
                        symbol + ": the process binds both to one object, " + names_[first] +
                        "'s, which each reads and writes, and keeps both loaded for good"};
                reports_[first].warnings.push_back(warning);
                reports_[other].warnings.push_back(warning);
            }
        }
    }
}

std::vector<TestReport> Together::run() {
    sharedObjects();
    const std::size_t count = options_.modules.size();
    for (cycle_ = 1; cycle_ <= options_.cycles; ++cycle_) {
        at_ = cycle_;
        loaded_.clear();
        loaded_.resize(count);
        std::vector<std::size_t> order;  // as last loaded
        const auto loadOne = [&](std::size_t i) {
            if (!out_[i] && load(i, cycle_)) {
                order.push_back(i);
            } else {
                out_[i] = true;
                loaded_[i].reset();
            }
        };
        for (std::size_t i = 0; i < count; ++i) {
            loadOne(i);
        }
        // The first alone, while the others stay.
        if (!order.empty() && order.front() == 0) {
            order.erase(order.begin());
            if (unload(0)) {
                loadOne(0);
            } else {
                out_[0] = true;
            }
        }
        for (auto i = order.rbegin(); i != order.rend(); ++i) {
            out_[*i] = out_[*i] || !unload(*i);
        }
        for (std::size_t i = 0; i < count; ++i) {
            reports_[i].cyclesPassed += out_[i] ? 0 : 1;
        }
    }
    return finished();
}

std::vector<TestReport> Together::runSequence(const TaggedSequence& sequence) {
    sequence_ = true;
    sharedObjects();
    if (options_.inProcess) {
        std::vector<std::string> names;
        for (const auto& operation : sequence) {
            names.push_back(toString(operation));
        }
        watchSequence(toString(sequence), names);
    }
    const std::size_t count = options_.modules.size();
    std::vector<std::unique_ptr<SequenceRun>> runs;
    for (std::size_t i = 0; i < count; ++i) {
        runs.push_back(std::make_unique<SequenceRun>(
            perModule_[i], reports_[i], *observers_[i], leftovers_,
            [this, i](Session& session) -> std::unique_ptr<StepHooks> {
                return std::make_unique<Hooks>(*this, i, session);
            }));
    }
    std::vector<std::size_t> order;  // as last loaded
    std::optional<std::string> stopped;
    for (std::size_t i = 0; i < count && !stopped; ++i) {
        if (runs[i]->start(at_)) {
            order.push_back(i);
        } else {
            stopped = "the first load of " + names_[i];
        }
    }
    for (std::size_t position = 1; position <= sequence.size() && !stopped; ++position) {
        const TaggedOperation& operation = sequence[position - 1];
        const std::size_t i = operation.module;
        at_ = static_cast<int>(position) + 1;
        if (Session* session = runs[i]->session()) {
            // What the others left, before the model's look at the variables.
            variables_.into(session->registry());
        }
        const bool passing = reports_[i].status == TestStatus::Passed;
        if (!runs[i]->perform(operation.operation, at_)) {
            // Its first failure may have come earlier, as a leftover.
            reports_[i].cyclesPassed =
                passing ? static_cast<int>(position) : reports_[i].cyclesPassed;
            stopped = "operation " + std::to_string(position) + " of " +
                      std::to_string(sequence.size()) + ", " + toString(operation);
        }
        // A module whose unload failed is let go of all the same; one whose
        // load failed was never loaded.
        if (operation.operation == Operation::Unload) {
            order.erase(std::find(order.begin(), order.end(), i));
            lastUnloaded_ = i;
        } else if (operation.operation == Operation::Load && !stopped) {
            order.push_back(i);
        }
    }
    const int end = static_cast<int>(sequence.size()) + 1;
    for (auto& report : reports_) {
        report.cyclesPassed = report.status == TestStatus::Passed ? end : report.cyclesPassed;
    }
    // What the host still holds goes as it would let go of it.
    at_ = end + 1;
    for (auto i = order.rbegin(); i != order.rend(); ++i) {
        runs[*i]->finish(at_);
        runs[*i]->close();
        lastUnloaded_ = *i;
    }
    runs.clear();
    for (auto& report : reports_) {
        // The culprit failed: only the others can still be passing.
        if (stopped && report.status == TestStatus::Passed) {
            report.status = TestStatus::Skipped;
            report.cause =
                "not run to its end: the sequence stopped at " + *stopped + ", which failed";
        }
    }
    return finished();
}

std::vector<TestReport> Together::finished() {
    sharedVariables();
    // Every step has been looked after: what is left now came with the
    // last module's going.
    TestReport& last = reports_[lastUnloaded_];
    if (auto left = leftovers_.atEnd(last)) {
        last.fail(std::move(*left));
    }
    for (auto& report : reports_) {
        report.descriptorsBefore = report.descriptorsAfter = 0;  // whose is not known
        report.peakResidentKiB = process::peakResidentKiB();
    }
    return reports_;
}

}  // namespace

std::string togetherName(const std::filesystem::path& module) {
    return process::pathToUtf8(module.filename());
}

std::vector<TestReport> runTogether(const Options& options, StepObserver& observer) {
    if (options.sequence.empty()) {
        return Together(options, observer).run();
    }
    const auto parsed = parseTaggedSequence(options.sequence, options.modules.size());
    if (!parsed.error.empty()) {
        TestReport refused = TestReport::ended(togetherTest().name, TestStatus::Failed,
                                               "--sequence: " + parsed.error);
        refused.outcome = Outcome::Unusable;
        return std::vector<TestReport>(options.modules.size(), refused);
    }
    return Together(options, observer).runSequence(parsed.sequence);
}

}  // namespace host
