#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace process {

// A file in a folder for temporary files that a child appends to, by
// path(), and this process reads. It goes with the last process that holds
// it: on Linux it never has a name in the folder (path() reaches it through
// this process's descriptor), on Windows it is deleted when its last handle
// closes. So a parent killed with its children leaves nothing behind, and no
// process but those two can find it by name on Linux.
class TemporaryFile {
public:
    // Throws std::system_error when the folder cannot take it.
    explicit TemporaryFile(const std::filesystem::path& folder);
    // None yet: one that another process makes is adopted().
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    // What another process opens to reach the file while this object lives.
    const std::filesystem::path& path() const { return path_; }
    // Its descriptor (a handle on Windows), for handing to a child.
    std::intptr_t descriptor() const { return descriptor_; }
    // From now on stands for the file open as `descriptor`, which it takes
    // over; the file it stood for goes.
    void adopt(std::intptr_t descriptor);
    // Up to `size` bytes from `offset`: fewer at its end, none past it.
    std::size_t read(std::uintmax_t offset, char* buffer, std::size_t size) const;

private:
    std::filesystem::path path_;
    std::intptr_t descriptor_ = -1;  // a handle on Windows
};

}  // namespace process
