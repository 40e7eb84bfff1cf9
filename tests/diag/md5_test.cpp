#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/md5.h"

namespace pellan::test {
namespace {

std::string Hex(const platform::Md5Digest& digest) {
    std::string text;
    char pair[3];
    for (const uint8_t b : digest) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

std::optional<platform::Md5Digest> Md5Of(const std::string& text) {
    return platform::Md5(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// The test suite of RFC 1321, appendix A.5, plus inputs around the 64-byte block and its
// 56-byte padding limit, where a wrong length encoding or block split would show.
TEST(Md5, KnownDigests) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {[] {
             std::string eighty;
             for (int i = 0; i < 8; ++i) {
                 eighty += "1234567890";
             }
             return eighty;
         }(),
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
        {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
        {std::string(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"},
    };
    for (const auto& c : cases) {
        const auto digest = Md5Of(c.input);
        ASSERT_TRUE(digest.has_value()) << c.input.size() << " bytes";
        EXPECT_EQ(Hex(*digest), c.digest) << c.input.size() << " bytes";
    }
}

TEST(Md5, LargeInputIsHashedWhole) {
    // 1 MiB of a repeating pattern: every byte must count, not only a first slice.
    std::vector<uint8_t> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    const auto digest = platform::Md5(data);
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(Hex(*digest), "d8a469bb35fb5fad7156842ba2242434");
}

}  // namespace
}  // namespace pellan::test
