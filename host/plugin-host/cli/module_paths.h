#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

// The modules a run checks, as the command line names them: each folder
// stands for the modules directly in it, in name order; a module named twice
// runs once.
struct ModuleList {
    std::vector<std::filesystem::path> modules;  // absolute, in the order given
    std::vector<std::string> notes;              // one line each, without "plugin-host: "
};

// A path on the command line that names no module and no folder of them:
// nothing runs. `path` is as given, `cause` says why.
class BadModulePath : public std::runtime_error {
public:
    BadModulePath(std::string path, const std::string& cause)
        : std::runtime_error(cause), path_(std::move(path)) {}
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

// The file name ending a module has on this system: ".so", or ".dll".
const char* moduleExtension();

// Expands `given` (UTF-8 paths, as typed) into the modules to run. Throws
// BadModulePath for a path that is missing, a folder with no module in it,
// or anything else that is neither a file nor a folder (a device, a pipe).
// A file is a module whatever its name: whether it loads is its verdict.
ModuleList listModules(const std::vector<std::string>& given);

}  // namespace host
