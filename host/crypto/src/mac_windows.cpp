#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// windows.h first: bcrypt.h relies on its types. wine's bcrypt.h declares
// its functions without the C linkage the Windows SDK's gives them.
extern "C" {
#include <bcrypt.h>
}

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "crypto/mac.h"

// The Windows SDK's test of a CNG status; wine's headers lack it.
#ifndef BCRYPT_SUCCESS
#define BCRYPT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)
#endif

namespace crypto {

namespace {
[[noreturn]] void fail(const char* what, NTSTATUS status) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
    throw CryptoError(std::string(what) + " (status " + code + ")");
}
}  // namespace

std::string randomKey() {
    std::string key(kKeyBytes, '\0');
    const NTSTATUS status =
        BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(key.data()),
                        static_cast<ULONG>(key.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) {
        fail("no random key to be had", status);
    }
    return key;
}

struct Mac::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    std::string key;
    ~State() {
        if (algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, 0);
        }
    }
};

Mac::Mac(std::string_view key) : state_(std::make_unique<State>()) {
    if (key.size() != kKeyBytes) {
        throw std::invalid_argument("a MAC key is 16 bytes");
    }
    state_->key = std::string(key);
    const NTSTATUS status = BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM,
                                                        nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (!BCRYPT_SUCCESS(status)) {
        fail("cannot make an HMAC-SHA256", status);
    }
}

Mac::~Mac() = default;

Tag Mac::tag(std::string_view message) const {
    Tag tag{};
    BCRYPT_HASH_HANDLE hash = nullptr;
    NTSTATUS status = BCryptCreateHash(state_->algorithm, &hash, nullptr, 0,
                                       reinterpret_cast<PUCHAR>(state_->key.data()),
                                       static_cast<ULONG>(state_->key.size()), 0);
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                                static_cast<ULONG>(message.size()), 0);
    }
    // The whole HMAC-SHA256, of which the tag is the first half.
    unsigned char full[32];
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptFinishHash(hash, full, static_cast<ULONG>(sizeof full), 0);
    }
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    if (!BCRYPT_SUCCESS(status)) {
        fail("cannot compute an HMAC-SHA256", status);
    }
    std::copy(full, full + tag.size(), tag.begin());
    return tag;
}

}  // namespace crypto
