// The DLLs loaded in the process. A plugin that LoadLibrary()s a DLL and
// never frees it leaves it in the host for as long as the host runs.
// Windows keeps no count of who loaded a DLL how often, and system DLLs
// hold each other: freeing one could pull it from under its users, so
// plugin-host names what was left and leaves it.

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "guards/kinds.h"
#include "guards/module_closure.h"

extern "C" __declspec(dllimport) BOOL WINAPI
    K32EnumProcessModules(HANDLE, HMODULE*, DWORD, LPDWORD);

namespace host::guards {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

struct Library {
    HMODULE handle;
    std::filesystem::path path;
    std::string name;                 // the file's name, in lower case
    std::vector<std::string> needed;  // the DLLs it imports, in lower case
};

// The import directory of a loaded image, as the loader mapped it.
std::vector<std::string> importsOf(HMODULE module) {
    std::vector<std::string> names;
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return names;
    }
    for (const auto* entry =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         entry->Name != 0; ++entry) {
        names.push_back(lower(reinterpret_cast<const char*>(base + entry->Name)));
    }
    return names;
}

std::vector<Library> loadedLibraries() {
    std::vector<HMODULE> handles(256);
    DWORD needed = 0;
    while (K32EnumProcessModules(GetCurrentProcess(), handles.data(),
                                 static_cast<DWORD>(handles.size() * sizeof(HMODULE)), &needed) &&
           needed > handles.size() * sizeof(HMODULE)) {
        handles.resize(needed / sizeof(HMODULE));
    }
    handles.resize(std::min<std::size_t>(handles.size(), needed / sizeof(HMODULE)));
    std::vector<Library> libraries;
    for (HMODULE handle : handles) {
        wchar_t path[MAX_PATH * 2];
        const DWORD length = GetModuleFileNameW(handle, path, MAX_PATH * 2);
        const std::filesystem::path file(std::wstring(path, length));
        libraries.push_back(
            Library{handle, file, lower(file.filename().string()), importsOf(handle)});
    }
    return libraries;
}

class LibrariesGuard final : public StateGuard {
public:
    void record() override {
        host_.clear();
        for (const Library& library : loadedLibraries()) {
            host_.push_back(library.handle);
        }
        seen_.clear();
    }

    std::vector<Leftover> look(const CodeMap& where, PutBack putBack) override {
        std::vector<Library> added;
        for (Library& library : loadedLibraries()) {
            if (std::find(host_.begin(), host_.end(), library.handle) == host_.end()) {
                added.push_back(std::move(library));
            }
        }
        addModuleClosure(
            added,
            [&where](const Library& library) {
                return where.inModule(library.handle) || where.isModuleFile(library.path);
            },
            modules_);
        std::vector<std::string> names;
        for (const Library& library : added) {
            if (std::find(modules_.begin(), modules_.end(), library.name) == modules_.end()) {
                names.push_back(library.name);
            }
        }
        std::sort(names.begin(), names.end());
        std::vector<Leftover> found;
        if (!names.empty() && names != seen_) {
            Leftover leftover{Leftover::Severity::Warning, "left " + joinNames(names) + " loaded"};
            leftover.lasting = true;
            found.push_back(std::move(leftover));
        }
        seen_ = putBack == PutBack::Everything ? std::vector<std::string>{} : names;
        return found;
    }

    bool costly() const override { return true; }

private:
    std::vector<HMODULE> host_;
    std::vector<std::string> seen_;
    std::vector<std::string> modules_;
};

}  // namespace

std::unique_ptr<StateGuard> librariesGuard() {
    return std::make_unique<LibrariesGuard>();
}

}  // namespace host::guards
