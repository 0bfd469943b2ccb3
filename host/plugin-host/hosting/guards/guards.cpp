#include "guards/guard.h"

#include "guards/kinds.h"
#if !defined(_WIN32)
#include "guards/proc_files.h"
#endif

namespace host::guards {

std::vector<std::unique_ptr<StateGuard>> allGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
    // The C++ locale before the C locale: putting a named C++ locale back
    // sets the C locale too, which the C locale's guard then corrects.
    guards.push_back(signalHandlersGuard());
    guards.push_back(terminateHandlerGuard());
    guards.push_back(newHandlerGuard());
    guards.push_back(cppLocaleGuard());
    guards.push_back(cLocaleGuard());
    guards.push_back(cppStreamsGuard());
    guards.push_back(cppStreamFormatGuard());
    if (auto callbacks = streamCallbacksGuard()) {
        guards.push_back(std::move(callbacks));
    }
    guards.push_back(defaultMemoryResourceGuard());
    guards.push_back(fpEnvironmentGuard());
    guards.push_back(environmentGuard());
    guards.push_back(workingDirectoryGuard());
    for (auto& platform : platformGuards()) {
        guards.push_back(std::move(platform));
    }
    return guards;
}

namespace {
// What the guards read of /proc is read once for each look.
void beginLook() {
#if !defined(_WIN32)
    newLook();
#endif
}
}  // namespace

Leftover judgePointer(const void* pointer, const CodeMap& where, const std::string& what) {
    if (pointer != nullptr && where.inModule(pointer)) {
        return {Leftover::Severity::Failure,
                "left " + what + " pointing into the module, which is gone after unload"};
    }
    if (pointer != nullptr && !where.inLoadedImage(pointer)) {
        return {Leftover::Severity::Failure,
                "left " + what + " pointing at code that is no longer loaded"};
    }
    return {Leftover::Severity::Warning, "changed " + what};
}

std::string joinNames(const std::vector<std::string>& names) {
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
        joined += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return joined;
}

StateGuards::StateGuards() : guards_(allGuards()) {
    beginLook();
    for (auto& guard : guards_) {
        guard->record();
    }
}

std::vector<Leftover> StateGuards::look(const CodeMap& where, bool everyGuard, PutBack putBack) {
    beginLook();
    std::vector<Leftover> all;
    for (auto& guard : guards_) {
        if (!everyGuard && guard->costly()) {
            continue;
        }
        for (auto& leftover : guard->look(where, putBack)) {
            all.push_back(std::move(leftover));
        }
    }
    return all;
}

std::vector<Leftover> StateGuards::putBack(const CodeMap& where) {
    beginLook();
    std::vector<Leftover> all;
    for (auto& guard : guards_) {
        for (auto& leftover : guard->look(where, PutBack::Everything)) {
            all.push_back(std::move(leftover));
        }
    }
    return all;
}

}  // namespace host::guards
