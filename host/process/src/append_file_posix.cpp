#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "process/append_file.h"

namespace process {

namespace {
bool identify(int fd, std::uint64_t (&identity)[2]) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return false;
    }
    identity[0] = static_cast<std::uint64_t>(info.st_dev);
    identity[1] = static_cast<std::uint64_t>(info.st_ino);
    return true;
}
}  // namespace

AppendFile::AppendFile(const std::filesystem::path& path) : path_(path) {
    good_ = open() && identify(static_cast<int>(descriptor_), identity_);
}

AppendFile::~AppendFile() {
    if (descriptor_ >= 0 && state() == State::Intact) {
        ::close(static_cast<int>(descriptor_));
    }
}

bool AppendFile::open() {
    descriptor_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (descriptor_ < 0) {
        return false;
    }
    // A flag few files are open with, as a mark that one look can see.
    const int fd = static_cast<int>(descriptor_);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NOATIME);
    flags_ = fcntl(fd, F_GETFL);
    return true;
}

bool AppendFile::append(const std::string& text) {
    std::size_t done = 0;
    while (good_ && done < text.size()) {
        const ssize_t wrote =
            ::write(static_cast<int>(descriptor_), text.data() + done, text.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && errno != EINTR) {
            good_ = false;
        }
    }
    return good_;
}

AppendFile::State AppendFile::state(bool thorough) const {
    // Open otherwise, even on the same file (for reading only, say), it is
    // no longer ours to write.
    const int flags = descriptor_ < 0 ? -1 : fcntl(static_cast<int>(descriptor_), F_GETFL);
    if (flags < 0) {
        return State::Closed;
    }
    if (flags != flags_) {
        return State::Replaced;
    }
    std::uint64_t now[2];
    if (thorough && (!identify(static_cast<int>(descriptor_), now) || now[0] != identity_[0] ||
                     now[1] != identity_[1])) {
        return State::Replaced;
    }
    return State::Intact;
}

bool AppendFile::reopen() {
    std::uint64_t identity[2];
    good_ = open() && identify(static_cast<int>(descriptor_), identity) &&
            identity[0] == identity_[0] && identity[1] == identity_[1];
    if (!good_ && descriptor_ >= 0) {
        // Another file under the path now: not ours to keep open.
        ::close(static_cast<int>(descriptor_));
        descriptor_ = -1;
    }
    return good_;
}

}  // namespace process
