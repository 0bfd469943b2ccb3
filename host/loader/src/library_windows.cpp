#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <string>
#include <vector>

#include "loader/library.h"

namespace loader {

namespace {

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

std::string systemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length != 0 ? std::wstring(buffer, length) : std::wstring();
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.')) {
        text.pop_back();
    }
    std::string message = toUtf8(text);
    // Inserts are not filled in ("%1 is not a valid Win32 application"); the
    // caller names the module already.
    for (auto insert = message.find("%1"); insert != std::string::npos;
         insert = message.find("%1")) {
        message.replace(insert, 2, "the module");
    }
    if (message.empty()) {
        message = "system error " + std::to_string(code);
    }
    return message;
}

// A fully qualified path, so that the loader never searches for the module.
std::wstring fullPath(const std::filesystem::path& path) {
    const std::wstring given = path.wstring();
    DWORD size = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        throw LoadError(systemMessage(GetLastError()));
    }
    std::wstring result(size, L'\0');
    size = GetFullPathNameW(given.c_str(), size, result.data(), nullptr);
    result.resize(size);
    return result;
}

}  // namespace

Library Library::open(const std::filesystem::path& path) {
    const std::wstring absolute = fullPath(path);
    DWORD attributes = GetFileAttributesW(absolute.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        throw LoadError(systemMessage(GetLastError()));
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw LoadError("is a directory, not a module");
    }
    // The module's own folder and the system folders only: the module's
    // imports (pluginsdk.dll) sit beside it, and nothing on PATH may stand in.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE handle =
        LoadLibraryExW(absolute.c_str(), nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    const DWORD error = GetLastError();
    SetErrorMode(previousMode);
    if (handle == nullptr) {
        throw LoadError(systemMessage(error));
    }
    return Library(reinterpret_cast<void*>(handle), std::filesystem::path(absolute));
}

void* Library::symbol(const char* name) const noexcept {
    if (handle_ == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void Library::close() noexcept {
    if (handle_ != nullptr) {
        FreeLibrary(static_cast<HMODULE>(handle_));
        handle_ = nullptr;
    }
}

bool Library::isLoaded(const std::filesystem::path& path) {
    HMODULE handle = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.wstring().c_str(),
                              &handle) != 0;
}

const char* Library::moduleSuffix() noexcept {
    return ".dll";
}

}  // namespace loader
