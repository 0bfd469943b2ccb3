#include <sodium.h>

#include "crypto/hmac.h"

namespace crypto {

namespace {
void ready() {
    static const bool initialised = sodium_init() >= 0;
    if (!initialised) {
        throw CryptoError("libsodium cannot start (no random source?)");
    }
}
}  // namespace

std::string randomKey() {
    ready();
    std::string key(kKeyBytes, '\0');
    randombytes_buf(key.data(), key.size());
    return key;
}

// The key's state, computed once; each tag starts from a copy of it.
struct Hmac::State {
    crypto_auth_hmacsha256_state keyed;
};

Hmac::Hmac(std::string_view key) : state_(std::make_unique<State>()) {
    ready();
    crypto_auth_hmacsha256_init(&state_->keyed, reinterpret_cast<const unsigned char*>(key.data()),
                                key.size());
}

Hmac::~Hmac() {
    sodium_memzero(&state_->keyed, sizeof state_->keyed);
}

Tag Hmac::tag(std::string_view message) const {
    static_assert(crypto_auth_hmacsha256_BYTES == kTagBytes);
    crypto_auth_hmacsha256_state state = state_->keyed;
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(message.data()),
                                  message.size());
    Tag tag{};
    crypto_auth_hmacsha256_final(&state, tag.data());
    return tag;
}

}  // namespace crypto
