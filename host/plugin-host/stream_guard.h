#pragma once

#include <streambuf>
#include <string>

namespace host {

// The standard C++ streams as a test found them. A plugin that leaves one
// pointing at a buffer of its own crashes its host once the module is gone,
// at the host's next write or at its exit; check() puts each back and names
// the ones it found changed.
class StreamGuard {
public:
    StreamGuard();
    // Empty when every stream is as it was; else what the plugin left.
    std::string check();

private:
    std::streambuf* saved_[3];
};

}  // namespace host
