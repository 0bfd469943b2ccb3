#include "completion.h"

#include "catalog.h"
#include "command_line.h"
#include "model.h"

namespace host {

namespace {

bool startsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

}  // namespace

std::vector<std::string> completions(const std::string& previous, const std::string& current) {
    std::vector<std::string> found;
    const auto offer = [&](const std::string& candidate) {
        if (startsWith(candidate, current)) {
            found.push_back(candidate);
        }
    };
    if (previous == "--test" || previous == "--skip") {
        for (const auto& test : contractTests()) {
            offer(test.name);
        }
    } else if (previous == "--sequence") {
        // Each operation after the ones already written, after its module's
        // number too when it has one (--together's 2:getPlugin).
        const std::size_t comma = current.rfind(',');
        std::string written = comma == std::string::npos ? "" : current.substr(0, comma + 1);
        const std::size_t colon = current.find(':', written.size());
        written = colon == std::string::npos ? written : current.substr(0, colon + 1);
        for (std::size_t i = 0; i < kOperationCount; ++i) {
            offer(written + toString(static_cast<Operation>(i)));
        }
    } else if (startsWith(current, "-")) {
        for (const auto& option : optionsHelp()) {
            for (const auto& name : option.names) {
                if (startsWith(name, "--")) {
                    offer(name);
                }
            }
        }
    }
    return found;
}

}  // namespace host
