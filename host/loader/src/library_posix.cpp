#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "loader/library.h"

namespace loader {

namespace {

// The loader's reason, without the path it puts in front: the caller names
// the module already.
std::string lastError(const std::string& path) {
    const char* message = dlerror();
    std::string text = message != nullptr ? message : "unknown dynamic loader error";
    const std::string prefix = path + ": ";
    if (text.rfind(prefix, 0) == 0) {
        text.erase(0, prefix.size());
    }
    // A C++ name is read as the declaration it stands for, too.
    const std::string undefined = "undefined symbol: ";
    if (text.rfind(undefined, 0) == 0) {
        // The loader may add ", version V" after the name.
        const std::string name = text.substr(undefined.size(), text.find(',') - undefined.size());
        int status = 0;
        const std::unique_ptr<char, void (*)(void*)> readable(
            abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), std::free);
        if (status == 0 && readable != nullptr) {
            text += std::string(" (") + readable.get() + ")";
        }
    }
    return text;
}

}  // namespace

Library Library::open(const std::filesystem::path& path) {
    const std::filesystem::path absolute = std::filesystem::absolute(path);
    struct stat info {};
    if (::stat(absolute.c_str(), &info) != 0) {
        throw LoadError(std::strerror(errno));
    }
    // Only a regular file is opened at all: a FIFO would block the load for
    // ever, and a device or socket is nothing a host loads.
    if (S_ISDIR(info.st_mode)) {
        throw LoadError("is a directory, not a module");
    }
    if (S_ISFIFO(info.st_mode)) {
        throw LoadError("is a FIFO, not a module");
    }
    if (S_ISSOCK(info.st_mode)) {
        throw LoadError("is a socket, not a module");
    }
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
        throw LoadError("is a device, not a module");
    }
    if (!S_ISREG(info.st_mode)) {
        throw LoadError("is not a regular file, not a module");
    }
    // The path holds a slash, so dlopen never consults a search path. Binding
    // everything now turns a missing import into a load error here rather
    // than a crash later; local scope keeps one module's symbols from
    // satisfying another's.
    void* handle = ::dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw LoadError(lastError(absolute.string()));
    }
    return Library(handle, absolute);
}

void* Library::symbol(const char* name) const noexcept {
    if (handle_ == nullptr) {
        return nullptr;
    }
    return ::dlsym(handle_, name);
}

void Library::close() noexcept {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
        handle_ = nullptr;
    }
}

bool Library::contains(const void* address) const noexcept {
    link_map* map = nullptr;
    if (handle_ == nullptr || ::dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return false;
    }
    // The dynamic section lies inside the image, so it names the image's base.
    Dl_info own{};
    Dl_info found{};
    return ::dladdr(map->l_ld, &own) != 0 && ::dladdr(address, &found) != 0 &&
           own.dli_fbase == found.dli_fbase;
}

bool Library::inLoadedImage(const void* address) noexcept {
    Dl_info found{};
    return ::dladdr(address, &found) != 0;
}

bool Library::unload() {
    if (handle_ == nullptr) {
        return true;
    }
    // The dynamic section lies inside the image: once no loaded object
    // covers it, the image has gone, and nothing had to open the file again
    // to tell, as dlopen(RTLD_NOLOAD) does. A live handle always has it.
    link_map* map = nullptr;
    const bool mapped = ::dlinfo(handle_, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr;
    const void* image = mapped ? map->l_ld : nullptr;
    close();
    return mapped && !inLoadedImage(image);
}

bool Library::isLoaded(const std::filesystem::path& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    ::dlclose(handle);
    return true;
}

const char* Library::moduleSuffix() noexcept {
    return ".so";
}

}  // namespace loader
