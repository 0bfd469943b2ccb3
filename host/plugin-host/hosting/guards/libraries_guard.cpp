// The libraries loaded in the process. A plugin that dlopen()s a library and
// never closes it leaves it in the host, with its static objects, its
// threads-to-be and its claim on memory, for as long as the host runs.

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "guards/kinds.h"
#include "guards/module_closure.h"

namespace host::guards {

namespace {

struct Library {
    std::string path;
    std::string name;  // the file's
    const void* base;
    std::vector<std::string> needed;  // its DT_NEEDED names
    bool operator==(const Library& other) const { return path == other.path; }
};

std::string nameOf(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

std::vector<std::string> neededBy(const dl_phdr_info& info) {
    std::vector<std::string> needed;
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        if (info.dlpi_phdr[i].p_type != PT_DYNAMIC) {
            continue;
        }
        const auto* dynamic =
            reinterpret_cast<const ElfW(Dyn)*>(info.dlpi_addr + info.dlpi_phdr[i].p_vaddr);
        // The string table may come before or after the names in it.
        ElfW(Addr) strings = 0;
        std::vector<ElfW(Xword)> offsets;
        for (const auto* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
            if (entry->d_tag == DT_STRTAB) {
                strings = entry->d_un.d_ptr;
            } else if (entry->d_tag == DT_NEEDED) {
                offsets.push_back(entry->d_un.d_val);
            }
        }
        if (strings == 0) {
            continue;
        }
        // The loader relocates the table's address in place on most targets.
        if (strings < info.dlpi_addr) {
            strings += info.dlpi_addr;
        }
        for (const ElfW(Xword) offset : offsets) {
            needed.emplace_back(reinterpret_cast<const char*>(strings + offset));
        }
    }
    return needed;
}

std::vector<Library> loadedLibraries() {
    std::vector<Library> libraries;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* into) {
            if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
                static_cast<std::vector<Library>*>(into)->push_back(
                    Library{info->dlpi_name, nameOf(info->dlpi_name),
                            reinterpret_cast<const void*>(info->dlpi_addr), neededBy(*info)});
            }
            return 0;
        },
        &libraries);
    std::sort(libraries.begin(), libraries.end(),
              [](const Library& a, const Library& b) { return a.path < b.path; });
    return libraries;
}

// What the C library loads for itself and keeps: character set converters,
// name service modules, the unwinder.
bool theCLibrarysOwn(const std::string& path) {
    const std::string name = nameOf(path);
    return path.find("/gconv/") != std::string::npos || name.rfind("libnss_", 0) == 0 ||
           name.rfind("libgcc_s.", 0) == 0 || name.rfind("libidn2.", 0) == 0;
}

class LibrariesGuard final : public StateGuard {
public:
    void record() override {
        host_ = loadedLibraries();
        seen_.clear();
    }

    std::vector<Leftover> look(const CodeMap& where, PutBack putBack) override {
        std::vector<std::string> names;
        for (const Library& library : leftBehind(loadedLibraries(), host_, where, modules_)) {
            names.push_back(library.name);
        }
        std::vector<Leftover> found;
        if (!names.empty() && names != seen_) {
            found.push_back({Leftover::Severity::Warning, "left " + joinNames(names) + " loaded"});
        }
        seen_ = names;
        if (putBack == PutBack::Everything) {
            closeAll(leftBehind(loadedLibraries(), host_, where, modules_));
            seen_.clear();
        }
        return found;
    }

    bool costly() const override { return true; }

private:
    static void closeAll(const std::vector<Library>& libraries) {
        for (const Library& library : libraries) {
            // As often as the plugin opened it, and once more for this look.
            for (int opened = 0; opened < 64; ++opened) {
                void* handle = dlopen(library.path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
                if (handle == nullptr) {
                    break;
                }
                dlclose(handle);
                dlclose(handle);
            }
        }
    }

    // What is loaded now and was not when the host recorded, other than the
    // module and what it needs, which go with it, or which the unload check
    // holds against the plugin when they stay. `modules` keeps their names,
    // from the looks that still see the module, for those that no longer can.
    static std::vector<Library> leftBehind(const std::vector<Library>& now,
                                           const std::vector<Library>& host, const CodeMap& where,
                                           std::vector<std::string>& modules) {
        std::vector<Library> added;
        for (const Library& library : now) {
            if (std::find(host.begin(), host.end(), library) == host.end()) {
                added.push_back(library);
            }
        }
        // What the C library loads for itself brings what that needs in turn
        // (libidn2 its libunistring): none of it is the plugin's.
        std::vector<std::string> cLibrarys;
        addModuleClosure(
            added, [](const Library& library) { return theCLibrarysOwn(library.path); }, cLibrarys);
        addModuleClosure(
            added,
            [&where](const Library& library) {
                return where.inModule(library.base) || where.isModuleFile(library.path);
            },
            modules);
        const auto goesWithOthers = [&](const Library& library) {
            return std::find(modules.begin(), modules.end(), library.name) != modules.end() ||
                   std::find(cLibrarys.begin(), cLibrarys.end(), library.name) != cLibrarys.end();
        };
        added.erase(std::remove_if(added.begin(), added.end(), goesWithOthers), added.end());
        return added;
    }

    std::vector<Library> host_;
    std::vector<std::string> seen_;
    std::vector<std::string> modules_;
};

}  // namespace

std::unique_ptr<StateGuard> librariesGuard() {
    return std::make_unique<LibrariesGuard>();
}

}  // namespace host::guards
