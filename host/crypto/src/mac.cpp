#include "crypto/mac.h"

namespace crypto {

bool sameBytes(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char differs = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        differs |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return differs == 0;
}

}  // namespace crypto
