#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace loader {

// The module could not be brought into the process at all.
class LoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A dynamic library loaded from an absolute path, never through a search
// path. Closing it on destruction is best effort; unload() reports whether the
// system really let it go.
class Library {
public:
    // `path` is made absolute first. Throws LoadError with the system's reason.
    static Library open(const std::filesystem::path& path);

    Library() = default;
    Library(Library&& other) noexcept;
    Library& operator=(Library&& other) noexcept;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library();

    // The address of an exported symbol, or nullptr when there is none.
    void* symbol(const char* name) const noexcept;

    // Unloads and returns true when the module has left the process.
    bool unload();

    // Leaves the module loaded for good: for a module whose code may still
    // run, such as on a thread of its own.
    void abandon() noexcept { handle_ = nullptr; }

    const std::filesystem::path& path() const noexcept { return path_; }
    // Whether `address` lies in this library's image (code or static data).
    bool contains(const void* address) const noexcept;
    // Whether `address` lies in the image of any library or program mapped
    // now: a code address that does not has lost its module.
    static bool inLoadedImage(const void* address) noexcept;

    // Whether a library of that absolute path is mapped in this process now.
    static bool isLoaded(const std::filesystem::path& path);

    // File name suffix of loadable modules on this platform (".so", ".dll").
    static const char* moduleSuffix() noexcept;

private:
    Library(void* handle, std::filesystem::path path) noexcept
        : handle_(handle), path_(std::move(path)) {}
    void close() noexcept;

    void* handle_ = nullptr;
    std::filesystem::path path_;
};

}  // namespace loader
