// Any command line (arguments split at NUL bytes): understood, or refused in
// one UsageError; what a child needs of it (the limit is the parent's own)
// survives the trip to the child's arguments and back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"
#include "isolation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    host::CommandLine parsed;
    try {
        parsed = host::parseCommandLine(arguments);
    } catch (const host::UsageError&) {
        return 0;
    }
    const host::Options& options = parsed.options;
    if (parsed.command != host::Command::Run || options.inProcess || options.tests.empty()) {
        return 0;
    }
    const auto child =
        host::parseCommandLine(host::childArguments(options, options.tests.front(), "/r"));
    if (child.options.module != options.module || child.options.presets != options.presets ||
        child.options.cycles != options.cycles ||
        child.options.tests != std::vector<std::string>{options.tests.front()}) {
        __builtin_trap();
    }
    return 0;
}
