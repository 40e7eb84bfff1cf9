// The version set (0x39): its layouts chosen by the reply's length as read, the separator rule,
// and the nine slots handed out, each ending inside itself.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "diag/link_fixture.h"

namespace pellan::test {
namespace {

constexpr size_t kSlotAt[9] = {1, 32, 63, 94, 125, 156, 187, 218, 249};

std::string Text(char tag, size_t len) {
    std::string t = std::string("T") + tag;
    while (t.size() < len) {
        t.push_back(static_cast<char>('a' + t.size() % 26));
    }
    return t;
}

void Append(Bytes& body, const std::string& text) {
    body.insert(body.end(), text.begin(), text.end());
}

// `count` 30-character texts, each followed by a zero separator, then T10 and T11.
Bytes LongReply(size_t count) {
    Bytes body{0x39};
    for (size_t i = 0; i < count; ++i) {
        Append(body, Text(static_cast<char>('1' + i), 30));
        body.push_back(0);
    }
    Append(body, Text('X', 12));
    body.push_back(0);
    Append(body, Text('Y', 9));
    return body;
}

class VersionSet : public LinkFixture {
  protected:
    std::array<std::string, 9> Read(const Bytes& body) {
        AnswerWith(body);
        std::array<uint8_t, 303> out{};
        EXPECT_TRUE(link.ReadVersionSet(out.data()));
        EXPECT_EQ(out[0], 0) << "byte 0 of the record is not written";
        std::array<std::string, 9> slots;
        for (size_t i = 0; i < 9; ++i) {
            EXPECT_EQ(out[kSlotAt[i] + 30], 0) << "slot " << i + 1 << " is not terminated";
            slots[i] = reinterpret_cast<const char*>(out.data() + kSlotAt[i]);
        }
        return slots;
    }
};

TEST_F(VersionSet, LayoutFollowsTheRawLength) {
    const struct {
        size_t rawLen, textsInReply, textsTaken;
    } cases[] = {{291, 9, 9}, {320, 9, 9}, {290, 9, 7}, {241, 7, 7}, {240, 7, 4}, {131, 4, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rawLen);
        Bytes body = LongReply(c.textsInReply);
        if (frame::EncodeFrame(body, false).size() > c.rawLen) {
            body.resize(c.rawLen - 4);
        }
        const auto slots = Read(PaddedToFrameLength(body, c.rawLen));
        EXPECT_EQ(link.m_rawReplyLen, c.rawLen);
        for (size_t i = 0; i < 9; ++i) {
            EXPECT_EQ(slots[i], i < c.textsTaken ? Text(static_cast<char>('1' + i), 30) : "") << i;
        }
    }
    // A seven-text reply after a nine-text one must not leave the older text in slot nine.
    EXPECT_EQ(Read(PaddedToFrameLength(LongReply(9), 305))[8], Text('9', 30));
    const auto slots = Read(PaddedToFrameLength(LongReply(7), 290));
    EXPECT_EQ(slots[6], Text('7', 30));
    EXPECT_EQ(slots[7] + slots[8], "");
    EXPECT_EQ(Read({0x39, 'V', '2'})[0], "V2")
        << "the CRC bytes behind it are not part of the text";
}

TEST_F(VersionSet, OnlyNonVersionCharactersBetweenTextsAreSkipped) {
    const std::string t1 = Text('1', 30), t2 = Text('2', 30);
    const std::pair<std::string, bool> groups[] = {{std::string("\0\xFF", 2), false},
                                                   {"-9z", true}};
    for (const auto& [separators, kept] : groups) {
        for (const char sep : separators) {
            Bytes body{0x39};
            Append(body, t1 + sep + t2 + Text('3', 40));
            const auto slots = Read(PaddedToFrameLength(body, 200));
            EXPECT_EQ(slots[0], t1);
            EXPECT_EQ(slots[1], kept ? sep + t2.substr(0, 29) : t2) << int(sep);
        }
    }
}

}  // namespace
}  // namespace pellan::test
