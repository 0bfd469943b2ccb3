#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "process/append_file.h"

namespace process {

namespace {
bool identify(HANDLE file, std::uint64_t (&identity)[2]) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        return false;
    }
    identity[0] = info.dwVolumeSerialNumber;
    identity[1] = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}
HANDLE handleOf(std::intptr_t descriptor) {
    return reinterpret_cast<HANDLE>(descriptor);
}
}  // namespace

AppendFile::AppendFile(const std::filesystem::path& path) : path_(path) {
    good_ = open() && identify(handleOf(descriptor_), identity_);
}

AppendFile::~AppendFile() {
    if (descriptor_ != -1 && state() == State::Intact) {
        CloseHandle(handleOf(descriptor_));
    }
}

bool AppendFile::open() {
    // Not inheritable, readable by the parent while this one writes, and
    // never made again once whoever made it has let it go.
    const HANDLE file = CreateFileW(path_.wstring().c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    descriptor_ = file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(file);
    DWORD flags = 0;
    if (descriptor_ != -1 && GetHandleInformation(file, &flags)) {
        flags_ = static_cast<int>(flags);
    }
    return descriptor_ != -1;
}

bool AppendFile::append(const std::string& text) {
    std::size_t done = 0;
    while (good_ && done < text.size()) {
        DWORD wrote = 0;
        if (!WriteFile(handleOf(descriptor_), text.data() + done,
                       static_cast<DWORD>(text.size() - done), &wrote, nullptr) ||
            wrote == 0) {
            good_ = false;
        }
        done += wrote;
    }
    return good_;
}

AppendFile::State AppendFile::state(bool thorough) const {
    DWORD flags = 0;
    if (descriptor_ == -1 || !GetHandleInformation(handleOf(descriptor_), &flags)) {
        return State::Closed;
    }
    if (static_cast<int>(flags) != flags_) {
        return State::Replaced;
    }
    // A handle closed and its number given to another file is seen only by
    // the file's identity, which costs a round trip to the system.
    if (!thorough) {
        return State::Intact;
    }
    std::uint64_t now[2];
    if (!identify(handleOf(descriptor_), now)) {
        return State::Closed;
    }
    return now[0] == identity_[0] && now[1] == identity_[1] ? State::Intact : State::Replaced;
}

bool AppendFile::reopen() {
    std::uint64_t identity[2];
    good_ = open() && identify(handleOf(descriptor_), identity) && identity[0] == identity_[0] &&
            identity[1] == identity_[1];
    if (!good_ && descriptor_ != -1) {
        // Another file under the path now: not ours to keep open.
        CloseHandle(handleOf(descriptor_));
        descriptor_ = -1;
    }
    return good_;
}

}  // namespace process
