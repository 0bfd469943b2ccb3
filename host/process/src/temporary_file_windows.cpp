#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <sstream>
#include <system_error>

#include "containment_windows.h"
#include "process/temporary_file.h"

namespace process {

namespace {
HANDLE handleOf(std::intptr_t descriptor) {
    return reinterpret_cast<HANDLE>(descriptor);
}
}  // namespace

TemporaryFile::TemporaryFile(const std::filesystem::path& folder) {
    std::random_device entropy;
    std::mt19937_64 generator(
        entropy() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    const std::unique_ptr<LowLabel> label = labelForChildren(false);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wostringstream name;
        name << L"plugin-host-" << std::hex << generator() << L".report";
        const std::filesystem::path path = folder / name.str();
        // Not inheritable; deleted when the last handle to it closes, the
        // child's included, whoever ends first. A child at low integrity
        // writes it only with a label it is made with.
        const HANDLE file =
            CreateFileW(path.wstring().c_str(), GENERIC_READ | DELETE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        label ? label->attributes() : nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            descriptor_ = reinterpret_cast<std::intptr_t>(file);
            path_ = path;
            return;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            throw std::system_error(error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES,
                                    std::generic_category());
        }
    }
    throw std::system_error(EEXIST, std::generic_category());
}

void TemporaryFile::adopt(std::intptr_t descriptor) {
    if (descriptor_ != -1) {
        CloseHandle(handleOf(descriptor_));
    }
    descriptor_ = descriptor;
}

TemporaryFile::~TemporaryFile() {
    if (descriptor_ != -1) {
        CloseHandle(handleOf(descriptor_));
    }
}

std::size_t TemporaryFile::read(std::uintmax_t offset, char* buffer, std::size_t size) const {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(handleOf(descriptor_), buffer, static_cast<DWORD>(size), &got, &at)) {
        return 0;
    }
    return got;
}

}  // namespace process
