// A sequence of the host's operations, each held to the model of the
// holder's state table as soon as it returns.

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "checks.h"
#include "crash_watch.h"
#include "model.h"
#include "sequence_run.h"

namespace host {

namespace {

// Where a crash in each operation is recorded: the step it is, or the one
// whose code it may run (a copy only counts, a fill only assigns).
Step stepOf(Operation operation) {
    switch (operation) {
        case Operation::Load:
            return Step::Load;
        case Operation::Unload:
            return Step::Unload;
        case Operation::GetPlugin:
        case Operation::Copy:
            return Step::GetPlugin;
        case Operation::Fill:
        case Operation::OnLoad:
            return Step::OnLoad;
        case Operation::OnUnload:
            return Step::OnUnload;
        case Operation::Release:
            return Step::Release;
        case Operation::DeleteMe:
            return Step::DeleteMe;
    }
    return Step::Load;
}

std::string address(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}

std::string uses(long count) {
    return std::to_string(count) + (count == 1 ? " use" : " uses");
}

}  // namespace

class SequenceRun::State {
public:
    State(const Options& options, TestReport& report, StepObserver& observer, Leftovers& leftovers,
          HooksFor hooksFor)
        : options_(options),
          report_(report),
          observer_(observer),
          leftovers_(leftovers),
          hooksFor_(std::move(hooksFor)) {}

    // Each operation is recorded under its number (the first load under 1,
    // operation p under p + 1), so that the parent can name the one a crash
    // ended; cyclesPassed ends as the number of the operation that failed
    // (0: the first load; size + 1: the end, once all passed).
    void run(const Sequence& sequence) {
        if (options_.inProcess) {
            std::vector<std::string> names;
            for (const Operation operation : sequence) {
                names.emplace_back(toString(operation));
            }
            watchSequence(toString(sequence), names);
        }
        if (!load(1)) {
            report_.cyclesPassed = 0;
            return;
        }
        for (std::size_t index = 0; index < sequence.size(); ++index) {
            const int position = static_cast<int>(index) + 1;
            if (!perform(sequence[index], position + 1)) {
                report_.cyclesPassed = position;
                return;
            }
        }
        const int end = static_cast<int>(sequence.size()) + 1;
        report_.cyclesPassed = end;
        finish(end + 1);
    }

    // What the host still holds goes as the host would let go of it.
    void finish(int number) {
        if (session_) {
            session_->renumber(number);
            session_->step(Step::Release, [this]() -> Finding {
                copies_.clear();
                return std::nullopt;
            });
        }
    }

    Session* session() { return model_.loaded() && session_ ? &*session_ : nullptr; }

    void close() {
        copies_.clear();
        session_.reset();
    }

    bool load(int cycle) {
        copies_.clear();
        session_.reset();
        session_.emplace(options_, 1, report_, observer_, leftovers_);
        if (hooksFor_) {
            hooks_ = hooksFor_(*session_);
            session_->setHooks(hooks_.get());
        }
        session_->renumber(cycle);
        holder_ = nullptr;
        return session_->open();
    }

public:
    bool perform(Operation operation, int cycle) {
        if (operation == Operation::Load) {
            if (!load(cycle)) {
                return false;
            }
            model_.apply(operation);
            return true;
        }
        session_->renumber(cycle);
        const auto before = session_->registry().snapshot();
        if (!call(operation)) {
            return false;
        }
        model_.apply(operation);
        if (Finding broken = heldToTheModel(operation, before)) {
            report_.fail(std::string(toString(operation)) + " broke the model: " + *broken);
            return false;
        }
        return true;
    }

private:
    // The first thing the model expects otherwise after `operation`.
    Finding heldToTheModel(Operation operation,
                           const std::map<std::string, std::string, std::less<>>& before) {
        if (Finding changed = variables(operation, before)) {
            return changed;
        }
        if (model_.loaded()) {
            return holderAndCounts(operation);
        }
        return operation == Operation::Unload ? released() : std::nullopt;
    }

    // The operation itself, as a step: what the plugin throws fails it.
    bool call(Operation operation) {
        switch (operation) {
            case Operation::Unload:
                // The host lets go of its copies first, under this operation's number.
                return session_->step(Step::Release, [this]() -> Finding {
                    copies_.clear();
                    return std::nullopt;
                }) && session_->unload();
            case Operation::GetPlugin: {
                loader::PluginHolder* got =
                    session_->getPlugin([this](loader::PluginHolder& holder) -> Finding {
                        if (holder_ != nullptr && &holder != holder_) {
                            return "getPlugin broke the model: it gave back another address (" +
                                   address(&holder) + ") than before (" + address(holder_) +
                                   "), where the model expects the same for the module's life";
                        }
                        return std::nullopt;
                    });
                holder_ = got != nullptr ? got : holder_;
                return got != nullptr;
            }
            case Operation::DeleteMe:
                return session_->deleteMe(Session::HostCopy::Keep);
            default:
                return session_->step(stepOf(operation), [this, operation]() -> Finding {
                    hostCall(operation);
                    return std::nullopt;
                });
        }
    }

    // What the host does to the object itself.
    void hostCall(Operation operation) {
        switch (operation) {
            case Operation::Copy:
                copies_.push_back(*holder_);
                break;
            case Operation::Release:
                copies_.pop_back();  // the last owner's release runs the destructor
                break;
            case Operation::Fill:
                session_->handOver(*holder_);
                break;
            case Operation::OnLoad:
                (*holder_)->onLoad();
                break;
            case Operation::OnUnload:
                (*holder_)->onUnload();
                break;
            default:
                break;
        }
    }

    // Only onLoad and onUnload are the plugin's to change console variables in.
    Finding variables(Operation operation,
                      const std::map<std::string, std::string, std::less<>>& before) {
        if (operation == Operation::OnLoad || operation == Operation::OnUnload) {
            return std::nullopt;
        }
        for (const auto& [name, value] : session_->registry().snapshot()) {
            const auto was = before.find(name);
            const std::string old = was != before.end() ? was->second : "(none)";
            if (old != value) {
                return "it changed the console variable " + name + " from \"" + old + "\" to \"" +
                       value +
                       "\", where the model expects only onLoad and "
                       "onUnload to change one";
            }
        }
        return std::nullopt;
    }

    Finding holderAndCounts(Operation operation) {
        const auto& objects = model_.objects();
        if (operation == Operation::GetPlugin && identities_.size() < objects.size()) {
            if (auto fresh = freshObject()) {
                return fresh;
            }
        }
        if (holder_ != nullptr) {
            const HolderWords words = wordsOf(*holder_);
            if (!model_.holder()) {
                if (words.object != nullptr || words.controlBlock != nullptr) {
                    return std::string(
                        "the holder still holds an object, where the model "
                        "expects it empty");
                }
            } else {
                const HolderWords& known = identities_[*model_.holder()];
                if (words.object != known.object) {
                    return std::string(
                        "the holder holds another object than before, where the "
                        "model expects the same one");
                }
                if (words.controlBlock != known.controlBlock) {
                    return std::string(
                        "the holder holds its object with another control block "
                        "than before, where the model expects the same one");
                }
                const long held = holder_->use_count();
                const long expected = objects[*model_.holder()].uses;
                if (held != expected) {
                    return "the holder's object has " + uses(held) + ", where the model expects " +
                           uses(expected);
                }
            }
        }
        for (std::size_t i = 0; i < copies_.size(); ++i) {
            const long held = copies_[i].use_count();
            const long expected = objects[model_.copies()[i]].uses;
            if (held != expected) {
                return "the object of the host's copy " + std::to_string(i + 1) + " has " +
                       uses(held) + ", where the model expects " + uses(expected);
            }
        }
        return handles();
    }

    // An object getPlugin has just made: none that lives is it, and it
    // holds nothing the host has not given it yet.
    Finding freshObject() {
        const HolderWords words = wordsOf(*holder_);
        const auto& objects = model_.objects();
        for (std::size_t id = 0; id < identities_.size(); ++id) {
            if (objects[id].uses > 0 && identities_[id].object == words.object) {
                return std::string(
                    "on an empty holder it gave back an object that still "
                    "lives, where the model expects a new one");
            }
        }
        identities_.push_back(words);
        if ((*holder_)->consoleVariables || (*holder_)->hostContext) {
            return std::string(
                "on an empty holder it gave back an object that holds handles, "
                "where the model expects a new one with both empty");
        }
        return std::nullopt;
    }

    // Each live object the host filled holds one reference to each handle.
    Finding handles() const {
        const long expected = model_.handleReferences();
        for (const auto& [held, what] :
             {std::pair{session_->managerReferences(), "the console-variable manager"},
              std::pair{session_->contextReferences(), "the host context"}}) {
            if (held != expected) {
                return std::to_string(held) + (held == 1 ? " reference to " : " references to ") +
                       what + (held == 1 ? " is" : " are") + " held, where the model expects " +
                       std::to_string(expected) + " (one for each live object the host filled)";
            }
        }
        return std::nullopt;
    }

    Finding released() {
        if (auto kept = handles()) {
            return kept;
        }
        const auto live = session_->registry().liveHandles();
        if (live != 0) {
            return "the plugin kept " + std::to_string(live) + " console-variable handle" +
                   (live == 1 ? "" : "s") +
                   ", where the model expects every one released at unload";
        }
        return std::nullopt;
    }

    const Options& options_;
    TestReport& report_;
    StepObserver& observer_;
    Leftovers& leftovers_;
    HooksFor hooksFor_;
    Model model_;
    std::unique_ptr<StepHooks> hooks_;  // outlives the session it is given to
    std::optional<Session> session_;
    loader::PluginHolder* holder_ = nullptr;    // where getPlugin said, in this load
    std::vector<HolderWords> identities_;       // each object's, as getPlugin first gave it
    std::vector<loader::PluginHolder> copies_;  // the host's, oldest first; before the session goes
};

SequenceRun::SequenceRun(const Options& options, TestReport& report, StepObserver& observer,
                         Leftovers& leftovers, HooksFor hooksFor)
    : state_(std::make_unique<State>(options, report, observer, leftovers, std::move(hooksFor))) {}

SequenceRun::~SequenceRun() = default;

void SequenceRun::run(const Sequence& sequence) {
    state_->run(sequence);
}

bool SequenceRun::start(int number) {
    return state_->load(number);
}

bool SequenceRun::perform(Operation operation, int number) {
    return state_->perform(operation, number);
}

void SequenceRun::finish(int number) {
    state_->finish(number);
}

Session* SequenceRun::session() {
    return state_->session();
}

void SequenceRun::close() {
    state_->close();
}

namespace contract {

void sequence(const Options& options, TestReport& report, StepObserver& observer,
              Leftovers& leftovers) {
    const ParsedSequence parsed = parseSequence(options.sequence);
    if (!parsed.error.empty()) {
        report.fail("--sequence: " + parsed.error);
        report.outcome = Outcome::Unusable;
        return;
    }
    SequenceRun(options, report, observer, leftovers).run(parsed.sequence);
}

}  // namespace contract

}  // namespace host
