#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After <windows.h>, which it needs.
#include <dbghelp.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "loader/library.h"
#include "loader/pe_imports.h"

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

// "?getCvar@…" and what it means, for a person reading the refusal.
std::string withMeaning(const std::string& name) {
    if (name.empty() || name[0] != '?') {
        return name;
    }
    char plain[1024];
    if (UnDecorateSymbolName(name.c_str(), plain, sizeof plain, 0) == 0) {
        return name;
    }
    return name + " (" + plain + ")";
}

// Windows refuses to load a module that imports a name none of its DLLs
// exports; wine binds such a name to a stub and loads it anyway. So the
// imports are checked here, against the DLLs the module would get: the one
// beside it, else the system's. A module whose import table cannot be read,
// or that imports from a DLL found in neither place, is refused here too, in
// words that name the fault: the system's ("Module not found", or a crash
// under wine) name nothing.
std::filesystem::path systemFolder() {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::filesystem::path(std::wstring(folder, length < MAX_PATH ? length : 0));
}

void checkImports(const std::wstring& module) {
    // A module loaded again and again (--cycles) is checked once, as long as
    // its file stays the same.
    static std::mutex mutex;
    static std::map<std::wstring, std::pair<std::uintmax_t, std::filesystem::file_time_type>>
        passed;
    std::error_code error;
    const auto key = std::make_pair(std::filesystem::file_size(module, error),
                                    std::filesystem::last_write_time(module, error));
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (const auto found = passed.find(module); found != passed.end() && found->second == key) {
            return;
        }
    }
    std::vector<PeImport> imports;
    try {
        imports = peImports(std::filesystem::path(module));
    } catch (const NotAWindowsModule&) {
        return;  // the loader says so in its own words
    } catch (const UnreadableModule& error) {
        throw LoadError(error.what());
    }
    const std::filesystem::path folder = std::filesystem::path(module).parent_path();
    std::vector<std::string> missing;
    std::string current;
    HMODULE dll = nullptr;
    const auto release = [&dll] {
        if (dll != nullptr) {
            FreeLibrary(dll);
            dll = nullptr;
        }
    };
    for (const PeImport& import : imports) {
        if (import.dll != current) {
            release();
            current = import.dll;
            const std::filesystem::path beside = folder / std::filesystem::path(current);
            dll = std::filesystem::exists(beside)
                      ? LoadLibraryExW(
                            beside.wstring().c_str(), nullptr,
                            LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
                      : LoadLibraryExW(std::filesystem::path(current).wstring().c_str(), nullptr,
                                       LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
        }
        if (dll == nullptr) {
            if (!std::filesystem::exists(folder / std::filesystem::path(current), error) &&
                !std::filesystem::exists(systemFolder() / std::filesystem::path(current), error)) {
                throw LoadError("imports from " + current +
                                ", which is neither beside it nor a system DLL");
            }
            continue;  // there, but it cannot load: the loader says why
        }
        const FARPROC found =
            import.name.empty()
                ? GetProcAddress(dll,
                                 reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(import.ordinal)))
                : GetProcAddress(dll, import.name.c_str());
        if (found == nullptr) {
            missing.push_back(current + "!" +
                              (import.name.empty() ? "#" + std::to_string(import.ordinal)
                                                   : withMeaning(import.name)));
        }
    }
    release();
    if (missing.empty()) {
        const std::lock_guard<std::mutex> lock(mutex);
        passed[module] = key;
        return;
    }
    constexpr std::size_t kNamed = 3;
    std::string text = "imports " + std::to_string(missing.size()) +
                       (missing.size() == 1 ? " name" : " names") +
                       " that its DLLs do not export, so Windows refuses it: " + missing.front();
    for (std::size_t i = 1; i < missing.size() && i < kNamed; ++i) {
        text += ", " + missing[i];
    }
    if (missing.size() > kNamed) {
        text += " and " + std::to_string(missing.size() - kNamed) + " more";
    }
    throw LoadError(text);
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
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        throw LoadError("is a device, not a module");
    }
    checkImports(absolute);
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

namespace {
HMODULE moduleAt(const void* address) noexcept {
    HMODULE found = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(address), &found)) {
        return nullptr;
    }
    return found;
}
}  // namespace

bool Library::contains(const void* address) const noexcept {
    return handle_ != nullptr && moduleAt(address) == static_cast<HMODULE>(handle_);
}

bool Library::inLoadedImage(const void* address) noexcept {
    return moduleAt(address) != nullptr;
}

bool Library::unload() {
    if (handle_ == nullptr) {
        return true;
    }
    close();
    return !isLoaded(path_);
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
