#pragma once

#include <filesystem>
#include <string>

#include "loader/library.h"
#include "process/process.h"

// Every binary of the build lands in one folder, the tests among them.
inline std::filesystem::path builtFile(const std::string& fileName) {
    return process::currentExecutable().parent_path() / fileName;
}

inline std::filesystem::path builtModule(const std::string& name) {
    return builtFile(name + loader::Library::moduleSuffix());
}
