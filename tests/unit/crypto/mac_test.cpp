#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "crypto/mac.h"

namespace {

std::string hex(const crypto::Tag& tag) {
    std::string text;
    for (const unsigned char byte : tag) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string counting(std::size_t bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes; ++i) {
        text += static_cast<char>(i);
    }
    return text;
}

// The published answers, key 00 01 .. 0f: the reference SipHash-2-4-128
// vectors on Linux, and HMAC-SHA256 (cut to its first 16 bytes) on Windows.
TEST(Mac, GivesThePublishedAnswersForItsAlgorithm) {
    struct Row {
        std::size_t messageBytes;
        const char* tag;
    };
#if defined(_WIN32)
    const Row rows[] = {{0, "07eff8b326b7798c9ccfcbdbe579489a"},
                        {15, "27b73409c53b6dd44348275098a62116"}};
#else
    const Row rows[] = {{0, "a3817f04ba25a8e66df67214c7550293"},
                        {15, "5493e99933b0a8117e08ec0f97cfc3d9"}};
#endif
    const crypto::Mac mac(counting(crypto::kKeyBytes));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.messageBytes);
        EXPECT_EQ(hex(mac.tag(counting(row.messageBytes))), row.tag);
    }
}

TEST(Mac, TakesOnlyAWholeKeyAndGivesFreshRandomKeys) {
    EXPECT_THROW(crypto::Mac(std::string(crypto::kKeyBytes - 1, 'k')), std::invalid_argument);
    EXPECT_THROW(crypto::Mac(std::string(crypto::kKeyBytes + 1, 'k')), std::invalid_argument);
    const std::string first = crypto::randomKey();
    EXPECT_EQ(first.size(), crypto::kKeyBytes);
    EXPECT_NE(first, crypto::randomKey());
}

TEST(Mac, SameBytesIsEqualityOfWholeStrings) {
    EXPECT_TRUE(crypto::sameBytes("", ""));
    EXPECT_TRUE(crypto::sameBytes("tag", "tag"));
    EXPECT_FALSE(crypto::sameBytes("tag", "tae"));
    EXPECT_FALSE(crypto::sameBytes("tag", "ta"));
    EXPECT_FALSE(crypto::sameBytes("Tag", "tag"));
}

}  // namespace
