#pragma once

#include <memory>
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
};

// What a plugin left behind. A failure is a crash in waiting (it points into
// the module, or at code no longer loaded); a warning is a change to how the
// host behaves that points nowhere dangerous.
struct Leftover {
    enum class Severity { Failure, Warning } severity;
    std::string text;  // "left the SIGSEGV handler pointing into the module, ..."
};

class StateGuard {
public:
    virtual ~StateGuard() = default;
    // Takes the host's state as it is now, as the state to keep.
    virtual void record() = 0;
    // What differs from the recorded state; puts the recorded state back.
    virtual std::vector<Leftover> restore(const CodeMap& where) = 0;
    // Whether reading the state costs many system calls, so that a long run
    // reads it only now and then (see StateGuards::restore).
    virtual bool costly() const { return false; }
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
    // Puts back everything and says what the plugin left; unless `all`,
    // the costly guards are left for a later call.
    std::vector<Leftover> restore(const CodeMap& where, bool all = true);

private:
    std::vector<std::unique_ptr<StateGuard>> guards_;
};

}  // namespace host::guards
