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

inline constexpr std::size_t kKeyBytes = 16;
inline constexpr std::size_t kTagBytes = 16;
using Tag = std::array<unsigned char, kTagBytes>;

class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// kKeyBytes from the system's random source.
std::string randomKey();

// A 128-bit tag under one key, made ready once for many short messages:
// SipHash-2-4-128 with libsodium, a MAC built for short messages that costs
// tens of nanoseconds where an HMAC-SHA256 costs half a microsecond, which
// counts at several records a cycle; HMAC-SHA256 cut to 128 bits with CNG.
class Mac {
public:
    explicit Mac(std::string_view key);
    Mac(const Mac&) = delete;
    Mac& operator=(const Mac&) = delete;
    ~Mac();

    Tag tag(std::string_view message) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Compares in a time that does not depend on where the two differ, so that
// how long a check takes tells nothing of a tag.
bool sameBytes(std::string_view a, std::string_view b) noexcept;

}  // namespace crypto
