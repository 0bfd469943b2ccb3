#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "model.h"

namespace host {

// One operation of a sequence over the modules of a --together run: the
// module by its place in the run (from 0 here, from 1 as written:
// "1:getPlugin"), and what the host does to it.
struct TaggedOperation {
    std::size_t module = 0;
    Operation operation = Operation::Load;
};
inline bool operator==(const TaggedOperation& a, const TaggedOperation& b) {
    return a.module == b.module && a.operation == b.operation;
}
using TaggedSequence = std::vector<TaggedOperation>;
std::string toString(const TaggedOperation& operation);  // "1:getPlugin"
std::string toString(const TaggedSequence& sequence);    // "1:getPlugin,2:getPlugin,1:unload"

// One model for each module, every module loaded as a sequence starts: the
// modules share a process, not a holder, so each is held to its own.
class Models {
public:
    std::optional<std::string> illegal(const TaggedOperation& operation) const;
    void apply(const TaggedOperation& operation);

private:
    std::vector<Model> models_;  // grows to the highest module named
};

bool isLegal(const TaggedSequence& sequence);

// The tagged sequence as --sequence gives it with --together, or why it
// cannot be one: an operation that names no module of the run's `modules`
// (unknown until the run's folders are listed: nothing checks only the
// form), an unknown name, or one the host may not do where it stands.
struct ParsedTaggedSequence {
    TaggedSequence sequence;
    std::string error;
};
ParsedTaggedSequence parseTaggedSequence(const std::string& text,
                                         std::optional<std::size_t> modules);

}  // namespace host
