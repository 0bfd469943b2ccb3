#include "containment_text.h"

namespace host {

namespace {

constexpr const char* kNamespace = " namespace";

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += i == 0 ? "" : i + 1 == items.size() ? " and " : ", ";
        text += items[i];
    }
    return text;
}

}  // namespace

std::string describeParts(const std::vector<std::string>& parts) {
    // The namespaces said once, together: "the user and pid namespaces".
    std::vector<std::string> kinds;
    std::vector<std::string> items;
    for (const auto& part : parts) {
        const std::size_t at = part.size() - std::string(kNamespace).size();
        if (part.size() > std::string(kNamespace).size() &&
            part.compare(at, std::string::npos, kNamespace) == 0) {
            if (kinds.empty()) {
                items.emplace_back();  // where the namespaces go
            }
            kinds.push_back(part.substr(0, at));
        } else {
            items.push_back(part.rfind("a ", 0) == 0 ? part : "the " + part);
        }
    }
    for (auto& item : items) {
        if (item.empty()) {
            item = "the " + joined(kinds) + (kinds.size() == 1 ? " namespace" : " namespaces");
        }
    }
    return joined(items);
}

std::string containmentNotice(const ContainmentRecord& containment) {
    if (containment.missing.empty()) {
        return {};
    }
    std::string line = "plugin-host: cannot set up " + describeParts(containment.missing);
    if (!containment.why.empty()) {
        line += " (" + containment.why + ")";
    }
    line += containment.inPlace.empty()
                ? "; the tests run uncontained"
                : "; the tests run with " + describeParts(containment.inPlace) + " only";
    return line;
}

}  // namespace host
