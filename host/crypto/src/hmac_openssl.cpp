#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "crypto/hmac.h"

namespace crypto {

namespace {
[[noreturn]] void fail(const char* what) {
    char reason[256] = "unknown reason";
    if (const unsigned long code = ERR_get_error(); code != 0) {
        ERR_error_string_n(code, reason, sizeof reason);
    }
    throw CryptoError(std::string(what) + " (" + reason + ")");
}
}  // namespace

std::string randomKey() {
    std::string key(kKeyBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(key.data()), static_cast<int>(key.size())) !=
        1) {
        fail("no random key to be had");
    }
    return key;
}

// The key's state, computed once; each tag starts from a copy of it.
struct Hmac::State {
    EVP_MAC* mac = nullptr;
    EVP_MAC_CTX* keyed = nullptr;
    ~State() {
        EVP_MAC_CTX_free(keyed);
        EVP_MAC_free(mac);
    }
};

Hmac::Hmac(std::string_view key) : state_(std::make_unique<State>()) {
    state_->mac = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
    state_->keyed = state_->mac != nullptr ? EVP_MAC_CTX_new(state_->mac) : nullptr;
    char digest[] = "SHA256";
    const OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
    if (state_->keyed == nullptr ||
        EVP_MAC_init(state_->keyed, reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                     parameters) != 1) {
        fail("cannot make an HMAC-SHA256");
    }
}

Hmac::~Hmac() = default;

Tag Hmac::tag(std::string_view message) const {
    Tag tag{};
    EVP_MAC_CTX* context = EVP_MAC_CTX_dup(state_->keyed);
    std::size_t length = 0;
    const bool made =
        context != nullptr &&
        EVP_MAC_update(context, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) == 1 &&
        EVP_MAC_final(context, tag.data(), &length, tag.size()) == 1 && length == tag.size();
    EVP_MAC_CTX_free(context);
    if (!made) {
        fail("cannot compute an HMAC-SHA256");
    }
    return tag;
}

}  // namespace crypto
