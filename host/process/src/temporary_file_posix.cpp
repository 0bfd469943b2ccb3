#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "process/temporary_file.h"

namespace process {

TemporaryFile::TemporaryFile(const std::filesystem::path& folder) {
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: a name for as long as it
        // takes to open it.
        std::string name = (folder / "plugin-host-XXXXXX").string();
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) {
            ::unlink(name.c_str());
        }
    }
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category());
    }
    descriptor_ = fd;
    path_ = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd);
}

void TemporaryFile::adopt(std::intptr_t descriptor) {
    if (descriptor_ >= 0) {
        ::close(static_cast<int>(descriptor_));
    }
    descriptor_ = descriptor;
}

TemporaryFile::~TemporaryFile() {
    if (descriptor_ >= 0) {
        ::close(static_cast<int>(descriptor_));
    }
}

std::size_t TemporaryFile::read(std::uintmax_t offset, char* buffer, std::size_t size) const {
    for (;;) {
        const ssize_t got =
            ::pread(static_cast<int>(descriptor_), buffer, size, static_cast<off_t>(offset));
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            return 0;
        }
    }
}

}  // namespace process
