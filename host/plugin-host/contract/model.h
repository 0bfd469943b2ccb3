#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace host {

// What the host may do to a plugin module, one call or one act at a time.
enum class Operation { Load, Unload, GetPlugin, Copy, Release, Fill, OnLoad, OnUnload, DeleteMe };
inline constexpr std::size_t kOperationCount = 9;

// The names --sequence takes and causes show: the host's own operations by
// their names, and what the host does itself in plain words.
const char* toString(Operation operation) noexcept;
std::optional<Operation> operationFromString(const std::string& name) noexcept;
std::string operationNames();  // "load,unload,...", in the order above
// The words of a sequence as written, one per comma-separated operation,
// empty ones too ("getPlugin," is two).
std::vector<std::string> operationWords(const std::string& text);

using Sequence = std::vector<Operation>;
std::string toString(const Sequence& sequence);  // "getPlugin,copy,deleteMe"

// The holder's state table and what follows from it: the module is loaded
// when a sequence starts; each getPlugin on an empty holder makes an object,
// which lives while the holder or a copy the host took holds it, and holds
// the host's handles from when they are filled until it dies.
class Model {
public:
    struct Object {
        int uses = 0;  // the holder's and the host's copies
        bool filled = false;
    };

    // Why the host may not do `operation` now; nothing when it may. The host
    // calls onLoad and onUnload only on an object it has filled, and lets go
    // of every copy it holds before it unloads (releasing one later would run
    // code that is gone).
    std::optional<std::string> illegal(Operation operation) const;
    bool legal(Operation operation) const { return !illegal(operation); }
    // Does `operation` to the model; it must be legal.
    void apply(Operation operation);

    bool loaded() const { return loaded_; }
    std::optional<std::size_t> holder() const { return holder_; }
    const std::vector<Object>& objects() const { return objects_; }
    const std::vector<std::size_t>& copies() const { return copies_; }  // oldest first
    // How many references to each of the host's handles the live objects hold.
    long handleReferences() const;

private:
    bool loaded_ = true;
    std::optional<std::size_t> holder_;
    std::vector<Object> objects_;
    std::vector<std::size_t> copies_;
};

// Whether the host may do each operation of `sequence` in turn.
bool isLegal(const Sequence& sequence);

// The sequence as --sequence gives it, or why it cannot be one: an unknown
// name, or an operation the host may not do where it stands.
struct ParsedSequence {
    Sequence sequence;
    std::string error;
};
ParsedSequence parseSequence(const std::string& text);

}  // namespace host
