#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// Message authentication from well-kept cryptography (libsodium on Linux,
// the system's CNG on Windows): what lets one process tell the bytes
// another holding the same key wrote from bytes anyone could write.
namespace crypto {

inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kTagBytes = 32;
using Tag = std::array<unsigned char, kTagBytes>;

class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// kKeyBytes from the system's random source.
std::string randomKey();

// HMAC-SHA256 under one key, made ready once for many short messages.
class Hmac {
public:
    explicit Hmac(std::string_view key);
    Hmac(const Hmac&) = delete;
    Hmac& operator=(const Hmac&) = delete;
    ~Hmac();

    Tag tag(std::string_view message) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Compares in a time that does not depend on where the two differ, so that
// how long a check takes tells nothing of a tag.
bool sameBytes(std::string_view a, std::string_view b) noexcept;

}  // namespace crypto
