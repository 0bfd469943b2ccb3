#include <sodium.h>

#include <stdexcept>

#include "crypto/mac.h"

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

struct Mac::State {
    unsigned char key[crypto_shorthash_siphashx24_KEYBYTES];
};

Mac::Mac(std::string_view key) : state_(std::make_unique<State>()) {
    static_assert(crypto_shorthash_siphashx24_KEYBYTES == kKeyBytes);
    if (key.size() != kKeyBytes) {
        throw std::invalid_argument("a MAC key is 16 bytes");
    }
    ready();
    key.copy(reinterpret_cast<char*>(state_->key), kKeyBytes);
}

Mac::~Mac() {
    sodium_memzero(state_->key, sizeof state_->key);
}

Tag Mac::tag(std::string_view message) const {
    static_assert(crypto_shorthash_siphashx24_BYTES == kTagBytes);
    Tag tag{};
    crypto_shorthash_siphashx24(tag.data(), reinterpret_cast<const unsigned char*>(message.data()),
                                message.size(), state_->key);
    return tag;
}

}  // namespace crypto
