// Seeded random replies of every length for the codes whose parsers copy fields: nothing may be
// read beyond the reply (the sanitizer build watches), and every text handed out ends inside its
// slot.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "diag/link_fixture.h"

namespace pellan::test {
namespace {

class ReplyRobustness : public LinkFixture {
  protected:
    Bytes RandomReply(uint8_t code, size_t len) {
        Bytes body(len);
        for (uint8_t& b : body) {
            b = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
        }
        body[0] = code;
        return body;
    }
    std::mt19937 rng{20261206};
};

TEST_F(ReplyRobustness, VersionSetSlotsAlwaysEndInsideThemselves) {
    for (size_t len = 1; len <= 400; ++len) {
        AnswerWith(RandomReply(0x39, len));
        std::array<uint8_t, 303> out{};
        if (!link.ReadVersionSet(out.data())) {
            continue;  // a reply whose frame outgrew the receive limit
        }
        for (size_t slot = 1; slot < 303; slot += 31) {
            EXPECT_LT(strnlen(reinterpret_cast<const char*>(out.data() + slot), 31), 31u)
                << "length " << len << " slot at " << slot;
        }
    }
}

TEST_F(ReplyRobustness, SoftwareTextsAlwaysEndInsideTheirBuffers) {
    for (size_t len = 1; len <= 400; ++len) {
        AnswerWith(RandomReply(0x38, len));
        std::array<uint8_t, 45> sw{};
        if (link.ReadSwVersion(sw.data())) {
            EXPECT_LE(strnlen(reinterpret_cast<const char*>(sw.data()), 45), 21u) << len;
        }
        AnswerWith(RandomReply(0x7C, len));
        std::array<uint8_t, 256> build{};
        if (link.ReadExtBuildId(build.data())) {
            EXPECT_LT(strnlen(reinterpret_cast<const char*>(build.data()), 256), 256u) << len;
        }
    }
}

TEST_F(ReplyRobustness, OtherRepliesOfAnyLengthAreHandled) {
    for (size_t len = 1; len <= 300; len += 7) {
        uint32_t esn = 0;
        AnswerWith(RandomReply(0x01, len));
        EXPECT_TRUE(link.ReadEsn(esn));
        std::array<uint8_t, 128> nv{};
        uint16_t status = 0;
        AnswerWith(RandomReply(0x26, len));
        const bool read = link.ReadNvItem(1, nv.data(), status);
        EXPECT_TRUE(!read || len >= 133) << "an NV reply without its status cannot pass";
        AnswerWith(RandomReply(0x4B, len));
        link.QueryModemStatus();
        std::array<uint8_t, 212> record{};
        AnswerWith(RandomReply(0x08, len), true);
        if (link.DloadGetParams(record.data())) {
            EXPECT_STREQ(reinterpret_cast<const char*>(&record[18]), "Unknown");
        }
        AnswerWith(RandomReply(0x03, len), true);
        EXPECT_FALSE(link.DloadNop());
        std::array<uint8_t, 8> value{};
        AnswerRaw(RandomReply(0x4B, len));
        link.GetValue8(value.data());
    }
}

}  // namespace
}  // namespace pellan::test
