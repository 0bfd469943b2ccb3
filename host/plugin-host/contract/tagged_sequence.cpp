#include "tagged_sequence.h"

#include <algorithm>

namespace host {

namespace {

// A module's place as written: 1 to 999999, digits only.
std::optional<std::size_t> place(const std::string& tag) {
    if (tag.empty() || tag.size() > 6 ||
        !std::all_of(tag.begin(), tag.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const std::size_t value = std::stoul(tag);
    return value >= 1 ? std::optional<std::size_t>(value) : std::nullopt;
}

}  // namespace

std::string toString(const TaggedOperation& operation) {
    return std::to_string(operation.module + 1) + ":" + toString(operation.operation);
}

std::string toString(const TaggedSequence& sequence) {
    std::string text;
    for (const auto& operation : sequence) {
        text += (text.empty() ? "" : ",") + toString(operation);
    }
    return text;
}

std::optional<std::string> Models::illegal(const TaggedOperation& operation) const {
    return operation.module < models_.size()
               ? models_[operation.module].illegal(operation.operation)
               : Model().illegal(operation.operation);
}

void Models::apply(const TaggedOperation& operation) {
    if (operation.module >= models_.size()) {
        models_.resize(operation.module + 1);
    }
    models_[operation.module].apply(operation.operation);
}

bool isLegal(const TaggedSequence& sequence) {
    Models models;
    for (const auto& operation : sequence) {
        if (models.illegal(operation)) {
            return false;
        }
        models.apply(operation);
    }
    return true;
}

ParsedTaggedSequence parseTaggedSequence(const std::string& text,
                                         std::optional<std::size_t> modules) {
    ParsedTaggedSequence parsed;
    Models models;
    for (const std::string& word : operationWords(text)) {
        const std::string where = "operation " + std::to_string(parsed.sequence.size() + 1);
        const std::size_t colon = word.find(':');
        const auto tag = colon == std::string::npos ? std::nullopt : place(word.substr(0, colon));
        if (!tag) {
            parsed.error = where + " \"" + word +
                           "\" names no module: with --together each operation is "
                           "MODULE:OPERATION, MODULE the module's place in the run from 1, such "
                           "as 1:getPlugin";
            return parsed;
        }
        if (modules && *tag > *modules) {
            parsed.error = where + " \"" + word + "\" names no module of the run, which holds " +
                           std::to_string(*modules) + " (1 to " + std::to_string(*modules) +
                           " in the order given)";
            return parsed;
        }
        const std::string name = word.substr(colon + 1);
        const auto operation = operationFromString(name);
        if (!operation) {
            parsed.error = where + " \"" + word + "\" is none of " + operationNames();
            return parsed;
        }
        const TaggedOperation tagged{*tag - 1, *operation};
        if (auto why = models.illegal(tagged)) {
            parsed.error = where + ", " + word + ", is not one the host may do there: " + *why;
            return parsed;
        }
        models.apply(tagged);
        parsed.sequence.push_back(tagged);
    }
    return parsed;
}

}  // namespace host
