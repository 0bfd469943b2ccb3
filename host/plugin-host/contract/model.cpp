#include "model.h"

#include <algorithm>
#include <array>

namespace host {

namespace {

constexpr std::array<const char*, kOperationCount> kNames{
    "load", "unload", "getPlugin", "copy", "release", "fill", "onLoad", "onUnload", "deleteMe"};

}  // namespace

const char* toString(Operation operation) noexcept {
    return kNames[static_cast<std::size_t>(operation)];
}

std::optional<Operation> operationFromString(const std::string& name) noexcept {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (name == kNames[i]) {
            return static_cast<Operation>(i);
        }
    }
    return std::nullopt;
}

std::string operationNames() {
    std::string names;
    for (const char* name : kNames) {
        names += (names.empty() ? "" : ",") + std::string(name);
    }
    return names;
}

std::string toString(const Sequence& sequence) {
    std::string text;
    for (const Operation operation : sequence) {
        text += (text.empty() ? "" : ",") + std::string(toString(operation));
    }
    return text;
}

std::optional<std::string> Model::illegal(Operation operation) const {
    switch (operation) {
        case Operation::Load:
            return loaded_ ? std::optional<std::string>("the module is loaded") : std::nullopt;
        case Operation::Release:
            return copies_.empty() ? std::optional<std::string>("the host holds no copy")
                                   : std::nullopt;
        default:
            break;
    }
    if (!loaded_) {
        return "the module is not loaded";
    }
    switch (operation) {
        case Operation::Copy:
        case Operation::Fill:
            return holder_ ? std::nullopt
                           : std::optional<std::string>("the holder holds no object");
        case Operation::OnLoad:
        case Operation::OnUnload:
            if (!holder_) {
                return "the holder holds no object";
            }
            return objects_[*holder_].filled
                       ? std::nullopt
                       : std::optional<std::string>("the object's handles are not filled");
        default:
            return std::nullopt;
    }
}

void Model::apply(Operation operation) {
    switch (operation) {
        case Operation::Load:
            loaded_ = true;
            break;
        case Operation::Unload:
            for (const std::size_t copy : copies_) {
                --objects_[copy].uses;
            }
            copies_.clear();
            [[fallthrough]];
        case Operation::DeleteMe:
            if (holder_) {
                --objects_[*holder_].uses;
                holder_.reset();
            }
            loaded_ = loaded_ && operation != Operation::Unload;
            break;
        case Operation::GetPlugin:
            if (!holder_) {
                holder_ = objects_.size();
                objects_.push_back(Object{1, false});
            }
            break;
        case Operation::Copy:
            copies_.push_back(*holder_);
            ++objects_[*holder_].uses;
            break;
        case Operation::Release:
            --objects_[copies_.back()].uses;
            copies_.pop_back();
            break;
        case Operation::Fill:
            objects_[*holder_].filled = true;
            break;
        case Operation::OnLoad:
        case Operation::OnUnload:
            break;
    }
}

long Model::handleReferences() const {
    return static_cast<long>(std::count_if(objects_.begin(), objects_.end(),
                                           [](const Object& o) { return o.uses > 0 && o.filled; }));
}

bool isLegal(const Sequence& sequence) {
    Model model;
    for (const Operation operation : sequence) {
        if (!model.legal(operation)) {
            return false;
        }
        model.apply(operation);
    }
    return true;
}

std::vector<std::string> operationWords(const std::string& text) {
    std::vector<std::string> words;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        words.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return words;
}

ParsedSequence parseSequence(const std::string& text) {
    ParsedSequence parsed;
    Model model;
    for (const std::string& name : operationWords(text)) {
        const auto operation = operationFromString(name);
        const std::string where = "operation " + std::to_string(parsed.sequence.size() + 1);
        if (!operation) {
            parsed.error = where + " \"" + name + "\" is none of " + operationNames();
            return parsed;
        }
        if (auto why = model.illegal(*operation)) {
            parsed.error = where + ", " + name + ", is not one the host may do there: " + *why;
            return parsed;
        }
        model.apply(*operation);
        parsed.sequence.push_back(*operation);
    }
    return parsed;
}

}  // namespace host
