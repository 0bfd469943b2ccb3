#include "stream_guard.h"

#include <iostream>

namespace host {

namespace {
std::ostream* const kStreams[3] = {&std::cout, &std::cerr, &std::clog};
constexpr const char* kNames[3] = {"std::cout", "std::cerr", "std::clog"};
}  // namespace

StreamGuard::StreamGuard() {
    for (int i = 0; i < 3; ++i) {
        saved_[i] = kStreams[i]->rdbuf();
    }
}

std::string StreamGuard::check() {
    std::string changed;
    for (int i = 0; i < 3; ++i) {
        if (kStreams[i]->rdbuf() != saved_[i]) {
            kStreams[i]->rdbuf(saved_[i]);
            changed += std::string(changed.empty() ? "" : " and ") + kNames[i];
        }
    }
    if (changed.empty()) {
        return changed;
    }
    return "left " + changed + " pointing at a buffer of its own, which goes with the module";
}

}  // namespace host
