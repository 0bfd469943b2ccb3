#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace process {

// An existing file this process appends records to, through a descriptor (a handle on
// Windows) that no child inherits, and that can tell whether the descriptor
// is still its own: code running in this process may close it, or put
// another file in its place.
class AppendFile {
public:
    explicit AppendFile(const std::filesystem::path& path);
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    ~AppendFile();

    // Open, and every write so far went through whole.
    bool good() const noexcept { return good_; }
    // Appends `text`; false, and not good, when the system took less.
    bool append(const std::string& text);

    enum class State { Intact, Closed, Replaced };
    // Whether the descriptor still refers to the file it opened. Unless
    // `thorough`, by one cheap look: that it is still open as this one
    // opened it (flags and all, and on POSIX with a flag of its own), so
    // that only a file put in its place opened the very same way is seen
    // by the thorough look alone.
    State state(bool thorough = true) const;
    // Opens the file again by its path, after its descriptor was taken.
    bool reopen();

private:
    bool open();

    std::filesystem::path path_;
    std::intptr_t descriptor_ = -1;
    std::uint64_t identity_[2] = {0, 0};  // device and file number, or volume and index
    int flags_ = 0;  // as it was opened: its status flags, or the handle's flags
    bool good_ = false;
};

}  // namespace process
