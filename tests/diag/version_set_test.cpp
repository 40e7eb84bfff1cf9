// The version set (0x39): its four layouts chosen by the reply's length as read, the separator
// rule, and the nine slots handed out.
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

// Pads `body` with filler until its frame is exactly `rawLen` bytes long on the wire.
Bytes PadToRawLength(Bytes body, size_t rawLen) {
    for (;;) {
        const size_t raw = frame::EncodeFrame(body, false).size();
        if (raw == rawLen) {
            return body;
        }
        if (raw > rawLen) {
            // The CRC needed escaping: change the last filler byte for a different CRC.
            body.pop_back();
            body.back() = static_cast<uint8_t>(body.back() + 1);
            continue;
        }
        body.push_back('z');
    }
}

std::string Slot(const std::array<uint8_t, 303>& out, size_t i) {
    return std::string(reinterpret_cast<const char*>(out.data() + kSlotAt[i]));
}

class VersionSet : public LinkFixture {
  protected:
    // A reply of `count` 30-character texts, each followed by a zero separator, then T10, T11.
    static Bytes LongReply(size_t count) {
        Bytes body{0x39};
        for (size_t i = 0; i < count; ++i) {
            const std::string t = Text(static_cast<char>('1' + i), 30);
            body.insert(body.end(), t.begin(), t.end());
            body.push_back(0);
        }
        const std::string t10 = Text('X', 12), t11 = Text('Y', 9);
        body.insert(body.end(), t10.begin(), t10.end());
        body.push_back(0);
        body.insert(body.end(), t11.begin(), t11.end());
        return body;
    }

    std::array<uint8_t, 303> Read() {
        std::array<uint8_t, 303> out{};
        EXPECT_TRUE(link.ReadVersionSet(out.data()));
        return out;
    }
};

struct LayoutCase {
    size_t rawLen;
    size_t textsInReply;
    size_t textsTaken;
};

TEST_F(VersionSet, LayoutFollowsTheRawLength) {
    const LayoutCase cases[] = {{291, 9, 9}, {320, 9, 9}, {290, 9, 7},
                                {241, 7, 7}, {240, 7, 4}, {131, 4, 4}};
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.rawLen);
        Bytes body = LongReply(c.textsInReply);
        if (frame::EncodeFrame(body, false).size() > c.rawLen) {
            body.resize(c.rawLen - 4);
        }
        AnswerWith(PadToRawLength(body, c.rawLen));
        const auto out = Read();
        EXPECT_EQ(link.m_rawReplyLen, c.rawLen);
        for (size_t i = 0; i < 9; ++i) {
            const std::string expected = Text(static_cast<char>('1' + i), 30);
            EXPECT_EQ(Slot(out, i), i < c.textsTaken ? expected : "") << "slot " << i + 1;
        }
        EXPECT_EQ(out[0], 0) << "byte 0 of the record is not written";
    }
}

TEST_F(VersionSet, SevenTextLayoutAt290LeavesSlotsEightAndNineEmpty) {
    // First a nine-text reply fills every slot; a following seven-text reply must not leave the
    // older identity text in slot nine.
    AnswerWith(PadToRawLength(LongReply(9), 305));
    EXPECT_EQ(Slot(Read(), 8), Text('9', 30));
    AnswerWith(PadToRawLength(LongReply(7), 290));
    const auto out = Read();
    EXPECT_EQ(Slot(out, 6), Text('7', 30));
    EXPECT_EQ(Slot(out, 7), "");
    EXPECT_EQ(Slot(out, 8), "");
}

TEST_F(VersionSet, ShortLayoutBelow131) {
    Bytes body{0x39};
    const std::string t1 = Text('1', 22), t2 = Text('2', 22), t3 = Text('3', 25),
                      t4 = Text('4', 25);
    for (const std::string* t : {&t1, &t2, &t3}) {
        body.insert(body.end(), t->begin(), t->end());
    }
    body.push_back('-');  // a version character after T3 is not skipped
    body.insert(body.end(), t4.begin(), t4.end() - 1);
    body.push_back(0);
    const Bytes reply = PadToRawLength(body, 130);
    AnswerWith(reply);
    const auto out = Read();
    EXPECT_EQ(link.m_rawReplyLen, 130);
    EXPECT_EQ(Slot(out, 0), t1);
    EXPECT_EQ(Slot(out, 1), t2);
    EXPECT_EQ(Slot(out, 2), t3);
    EXPECT_EQ(Slot(out, 3), "-" + t4.substr(0, 24));
    for (size_t i = 4; i < 9; ++i) {
        EXPECT_EQ(Slot(out, i), "");
    }
}

TEST_F(VersionSet, ZeroSeparatorIsSkippedDigitStartsTheNextText) {
    Bytes body{0x39};
    const std::string t1 = Text('1', 30), t2 = Text('2', 30);
    body.insert(body.end(), t1.begin(), t1.end());
    body.push_back(0);  // skipped
    body.insert(body.end(), t2.begin(), t2.end());
    body.push_back('7');  // kept: the next text starts with it
    const std::string rest = Text('3', 40);
    body.insert(body.end(), rest.begin(), rest.end());
    const auto out = (AnswerWith(PadToRawLength(body, 200)), Read());
    EXPECT_EQ(Slot(out, 0), t1);
    EXPECT_EQ(Slot(out, 1), t2);
    EXPECT_EQ(Slot(out, 2), "7" + rest.substr(0, 29));
}

TEST_F(VersionSet, BlankAndOtherNonVersionCharactersAreSkipped) {
    for (uint8_t sep : {uint8_t{' '}, uint8_t{'/'}, uint8_t{0xFF}, uint8_t{'\n'}}) {
        Bytes body{0x39};
        const std::string t1 = Text('1', 30), t2 = Text('2', 30);
        body.insert(body.end(), t1.begin(), t1.end());
        body.push_back(sep);
        body.insert(body.end(), t2.begin(), t2.end());
        AnswerWith(PadToRawLength(body, 180));
        EXPECT_EQ(Slot(Read(), 1), t2) << int(sep);
    }
}

TEST_F(VersionSet, VersionCharactersAreKept) {
    for (char sep : {'.', '_', '-', '0', '9', 'a', 'z', 'A', 'Z'}) {
        Bytes body{0x39};
        const std::string t1 = Text('1', 30), t2 = Text('2', 30);
        body.insert(body.end(), t1.begin(), t1.end());
        body.push_back(static_cast<uint8_t>(sep));
        body.insert(body.end(), t2.begin(), t2.end());
        AnswerWith(PadToRawLength(body, 180));
        EXPECT_EQ(Slot(Read(), 1), sep + t2.substr(0, 29)) << sep;
    }
}

TEST_F(VersionSet, ShortReplyGivesZeroFilledTexts) {
    AnswerWith({0x39, 'V', '2'});
    const auto out = Read();
    EXPECT_EQ(Slot(out, 0), "V2");  // the CRC bytes behind it are not part of the text
    for (size_t i = 1; i < 9; ++i) {
        EXPECT_EQ(Slot(out, i), "");
    }
}

TEST_F(VersionSet, EverySlotIsTerminated) {
    AnswerWith(PadToRawLength(LongReply(9), 302));
    const auto out = Read();
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(out[kSlotAt[i] + 30], 0) << "slot " << i + 1;
    }
}

TEST_F(VersionSet, FailureGivesZeros) {
    std::array<uint8_t, 303> out;
    out.fill(0xEE);
    EXPECT_FALSE(link.ReadVersionSet(out.data()));
    EXPECT_EQ(out, (std::array<uint8_t, 303>{}));
    EXPECT_EQ(link.m_lastError,
              Sentence("Cannot get 9 software version from the mobile, Since %s", kNoReply));
}

}  // namespace
}  // namespace pellan::test
