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
    // Whether the descriptor still refers to the file it opened.
    State state() const;
    // Opens the file again by its path, after its descriptor was taken.
    bool reopen();

private:
    bool open();

    std::filesystem::path path_;
    std::intptr_t descriptor_ = -1;
    std::uint64_t identity_[2] = {0, 0};  // device and file number, or volume and index
    bool good_ = false;
};

}  // namespace process
