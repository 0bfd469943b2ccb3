#include "loader/library.h"

#include <utility>

namespace loader {

Library::Library(Library&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), path_(std::move(other.path_)) {}

Library& Library::operator=(Library&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
    }
    return *this;
}

Library::~Library() {
    close();
}

}  // namespace loader
