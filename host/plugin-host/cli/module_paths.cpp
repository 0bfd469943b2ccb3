#include "module_paths.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "process/process.h"

namespace host {

namespace {

bool hasModuleExtension(const std::filesystem::path& file) {
    std::string extension = process::pathToUtf8(file.extension());
#if defined(_WIN32)
    // Windows file names are told apart without case.
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
#endif
    return extension == moduleExtension();
}

// The modules directly in `folder`, in name order: a subfolder's are not the
// folder's, and a file of another kind is no module.
std::vector<std::filesystem::path> modulesIn(const std::filesystem::path& folder,
                                             const std::string& given) {
    std::error_code error;
    std::vector<std::filesystem::path> found;
    std::filesystem::directory_iterator entries(folder, error);
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        std::error_code kind;
        if (hasModuleExtension(entries->path()) && !entries->is_directory(kind)) {
            found.push_back(entries->path());
        }
    }
    if (error) {
        throw BadModulePath(given, "cannot read the folder: " + error.message());
    }
    if (found.empty()) {
        throw BadModulePath(given,
                            std::string("no module (") + moduleExtension() + ") in this folder");
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

const char* moduleExtension() {
#if defined(_WIN32)
    return ".dll";
#else
    return ".so";
#endif
}

ModuleList listModules(const std::vector<std::string>& given) {
    ModuleList list;
    std::vector<std::filesystem::path> seen;  // what each listed module is, links resolved
    const auto add = [&](const std::filesystem::path& module) {
        std::error_code error;
        const std::filesystem::path identity = std::filesystem::weakly_canonical(module, error);
        const std::filesystem::path& key = error ? module : identity;
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            list.notes.push_back(process::pathToUtf8(module) +
                                 ": named more than once; it runs once");
            return;
        }
        seen.push_back(key);
        list.modules.push_back(module);
    };
    for (const auto& text : given) {
        const std::filesystem::path path =
            std::filesystem::absolute(process::pathFromUtf8(text)).lexically_normal();
        std::error_code error;
        const auto status = std::filesystem::status(path, error);
        if (status.type() == std::filesystem::file_type::not_found) {
            throw BadModulePath(text, "no such file or folder");
        }
        if (error) {
            throw BadModulePath(text, error.message());
        }
        if (std::filesystem::is_directory(status)) {
            for (const auto& module : modulesIn(path, text)) {
                add(module);
            }
        } else if (std::filesystem::is_regular_file(status)) {
            add(path);
        } else {
            throw BadModulePath(text, "neither a module nor a folder");
        }
    }
    return list;
}

}  // namespace host
