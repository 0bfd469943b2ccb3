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
    return descriptor_ >= 0;
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

AppendFile::State AppendFile::state() const {
    std::uint64_t now[2];
    if (descriptor_ < 0 || !identify(static_cast<int>(descriptor_), now)) {
        return State::Closed;
    }
    if (now[0] != identity_[0] || now[1] != identity_[1]) {
        return State::Replaced;
    }
    // The same file, but open for reading only is no longer ours to write.
    const int flags = fcntl(static_cast<int>(descriptor_), F_GETFL);
    return (flags & O_ACCMODE) != O_RDONLY && (flags & O_APPEND) != 0 ? State::Intact
                                                                      : State::Replaced;
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
