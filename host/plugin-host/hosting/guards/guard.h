#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Process-wide state that a plugin can change under its host, or point at
// its own code and data, which go when the module is unloaded. Each kind has
// one guard: it records the host's state before the module loads, and at
// unload says what the plugin left and puts the host's state back.
namespace host::guards {

// Where an address lies, as far as a leftover is concerned.
class CodeMap {
public:
    virtual ~CodeMap() = default;
    // In the module under test, which goes with its unload.
    virtual bool inModule(const void* address) const = 0;
    // In the image of any program or library loaded now.
    virtual bool inLoadedImage(const void* address) const = 0;
    // The module's file, which may still be loaded when the map no longer
    // knows its addresses (a module abandoned to a thread of its own).
    virtual bool isModuleFile(const std::filesystem::path&) const { return false; }
};

// What a plugin left behind. A failure is a crash in waiting (it points into
// the module, or at code no longer loaded); a warning is a change to how the
// host behaves that points nowhere dangerous.
struct Leftover {
    enum class Severity { Failure, Warning } severity;
    std::string text;  // "left the SIGSEGV handler pointing into the module, ..."
    // Cannot be put back (a hard limit lowered): whatever runs after it in
    // this process runs with it.
    bool lasting = false;
};

// What a look puts back of what it finds: nothing (the state stays as the
// plugin left it, as the real host keeps it while other plugins run beside
// it), what is a crash in waiting, or everything.
enum class PutBack { Nothing, Failures, Everything };

class StateGuard {
public:
    virtual ~StateGuard() = default;
    // Takes the host's state as it is now, as the state to put back.
    virtual void record() = 0;
    // What differs from what the last look saw (the recorded state, at the
    // first). Unless PutBack::Nothing, what is a crash in waiting is put back
    // at once, also when an earlier look left it in place; a change stays as
    // the plugin left it, as the real host would keep it into the plugin's
    // next load, unless PutBack::Everything: then all is as recorded again.
    virtual std::vector<Leftover> look(const CodeMap& where, PutBack putBack) = 0;
    // Whether reading the state costs many system calls, so that a long run
    // reads it only now and then (see StateGuards::look).
    virtual bool costly() const { return false; }
};

// One item of state: as the host had it, and as the last look saw it.
template <typename Value>
struct Watched {
    Value host{};
    Value seen{};

    void record(const Value& now) { host = seen = now; }

    // Looks at the item now: judged by `judge` when it differs from both the
    // host's and the last look's, or from the host's alone when a look that
    // put nothing back saw it already; put back through `write` as `putBack`
    // asks. `write` may change what counts as the host's state (a stream
    // given a buffer of plugin-host's own).
    template <typename Same, typename Judge, typename Write>
    std::optional<Leftover> look(const Value& now, PutBack putBack, Same same, Judge judge,
                                 Write write) {
        std::optional<Leftover> found;
        if (same(now, host)) {
            seen = now;
            return found;
        }
        if (!same(now, seen)) {
            found = judge(now);
        } else if (putBack != PutBack::Nothing) {
            // Left in place by an earlier look: a crash in waiting now (its
            // module is going) is said again, and put back.
            if (Leftover again = judge(now); again.severity == Leftover::Severity::Failure) {
                found = std::move(again);
            }
        }
        const bool failure = found && found->severity == Leftover::Severity::Failure;
        if (putBack == PutBack::Everything || (putBack == PutBack::Failures && failure)) {
            write(host);
            seen = host;
        } else {
            seen = now;
        }
        return found;
    }
};

// A guard of one item that can be read and written as a whole.
template <typename Value>
class ValueGuard : public StateGuard {
public:
    void record() final { item_.record(read()); }
    std::vector<Leftover> look(const CodeMap& where, PutBack putBack) final {
        auto found = item_.look(
            read(), putBack, [this](const Value& a, const Value& b) { return same(a, b); },
            [this, &where](const Value& now) { return judge(now, where); },
            [this](Value& host) { write(host); });
        if (!found) {
            return {};
        }
        return {std::move(*found)};
    }

protected:
    virtual Value read() = 0;
    virtual void write(const Value& value) = 0;
    virtual Leftover judge(const Value& now, const CodeMap& where) = 0;
    virtual bool same(const Value& a, const Value& b) { return a == b; }
    const Value& host() const { return item_.host; }

private:
    Watched<Value> item_;
};

// One guard of each kind this platform can see.
std::vector<std::unique_ptr<StateGuard>> allGuards();

// A pointer the plugin changed, judged by where it points: into the module
// or at nothing loaded is a failure, anywhere else a warning. `what` names
// it, e.g. "the terminate handler".
Leftover judgePointer(const void* pointer, const CodeMap& where, const std::string& what);

// Several names in one phrase: "A", "A and B", "A, B and C".
std::string joinNames(const std::vector<std::string>& names);

// Every guard at once, recorded when made.
class StateGuards {
public:
    StateGuards();
    // What the plugin left since the last look; only what is a crash in
    // waiting is put back, or nothing. Unless `everyGuard`, the costly guards
    // are left for a later look.
    std::vector<Leftover> look(const CodeMap& where, bool everyGuard = true,
                               PutBack putBack = PutBack::Failures);
    // The same, and then everything is as the host had it again.
    std::vector<Leftover> putBack(const CodeMap& where);

private:
    std::vector<std::unique_ptr<StateGuard>> guards_;
};

}  // namespace host::guards
