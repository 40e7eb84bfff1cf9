// The synthetic images against the documented layouts of the shipped ones.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "firmware/firmware_fixture.h"
#include "firmware_gen.h"

namespace pellan::test {
namespace {

uint32_t Le32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) | static_cast<uint32_t>(b.at(at + 1)) << 8 |
           static_cast<uint32_t>(b.at(at + 2)) << 16 | static_cast<uint32_t>(b.at(at + 3)) << 24;
}

uint16_t Le16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

const std::vector<fwgen::ImageFile>& ShippedSet() {
    static const auto set = fwgen::MakeFirmwareSet(fwgen::SetSize::Shipped);
    return set;
}

const Bytes& Shipped(const std::string& name) {
    for (const auto& image : ShippedSet()) {
        if (image.name == name) {
            return image.bytes;
        }
    }
    throw std::out_of_range(name);
}

TEST(ImageSet, ShippedSetHasTheShippedNamesIdsAndSizes) {
    const std::array<std::tuple<int, const char*, size_t>, 8> expected = {{
        {161, "amss.mbn", 18927616},
        {162, "armprg.bin", 191316},
        {163, "dbl.mbn", 35340},
        {164, "efs.mbn", 28923904},
        {165, "fsbl.mbn", 118},
        {166, "nandprgcombined.mbn", 189084},
        {167, "osbl.mbn", 441056},
        {168, "partition.mbn", 464},
    }};
    const auto& set = ShippedSet();
    ASSERT_EQ(set.size(), expected.size());
    for (size_t i = 0; i < set.size(); ++i) {
        EXPECT_EQ(set[i].resourceId, std::get<0>(expected[i]));
        EXPECT_EQ(set[i].name, std::get<1>(expected[i]));
        EXPECT_EQ(set[i].bytes.size(), std::get<2>(expected[i])) << set[i].name;
    }
}

TEST(ImageSet, ContentsAreDeterministic) {
    const auto again = fwgen::MakeFirmwareSet(fwgen::SetSize::Small);
    const auto& first = SmallSet();
    ASSERT_EQ(again.size(), first.size());
    for (size_t i = 0; i < again.size(); ++i) {
        EXPECT_EQ(again[i].bytes, first[i].bytes) << again[i].name;
    }
    // The images are not copies of one another: each has a stream of its own.
    EXPECT_NE(Bytes(Shipped("armprg.bin").begin() + 40, Shipped("armprg.bin").begin() + 1040),
              Bytes(Shipped("nandprgcombined.mbn").begin() + 40,
                    Shipped("nandprgcombined.mbn").begin() + 1040));
}

TEST(PartitionTable, HeaderAndNineEntriesByteForByte) {
    const Bytes& table = Shipped("partition.mbn");
    ASSERT_EQ(table.size(), 464u);
    const Bytes header = {0x9A, 0x1B, 0x7D, 0xAA, 0xBC, 0x48, 0x7D, 0x1F,
                          0x03, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(table.begin(), table.begin() + 16), header);

    struct Entry {
        const char* name;
        uint32_t size;
        uint16_t padding;
        uint16_t flash;
        std::array<uint8_t, 4> attributes;
    };
    const std::array<Entry, 9> entries = {{
        {"0:MIBIB", 6, 4, 0, {0xFF, 0xFF, 0xFF, 0xFE}},
        {"0:SIM_SECURE", 4, 1, 0, {0xFF, 0xFF, 0xFF, 0xFE}},
        {"0:FSBL", 64, 64, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"0:OSBL", 400, 30, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"0:AMSS", 25000, 1000, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"0:NANDPRG", 2000, 100, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"0:FOTA", 1024, 100, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"0:FTL", 8192, 1024, 0, {0xFF, 0x01, 0xFF, 0xFF}},
        {"0:EFS2", 0xFFFFFFFF, 0xFFFF, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
    }};
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(entries[i].name);
        const size_t at = 16 + 28 * i;
        std::array<char, 16> name{};
        std::strncpy(name.data(), entries[i].name, name.size());
        EXPECT_EQ(0, std::memcmp(table.data() + at, name.data(), name.size()));
        EXPECT_EQ(Le32(table, at + 16), entries[i].size);
        EXPECT_EQ(Le16(table, at + 20), entries[i].padding);
        EXPECT_EQ(Le16(table, at + 22), entries[i].flash);
        EXPECT_EQ(0, std::memcmp(table.data() + at + 24, entries[i].attributes.data(), 4));
    }
    for (size_t at = 16 + 28 * 9; at < table.size(); ++at) {
        ASSERT_EQ(table[at], 0) << "unused slots are all zero, offset " << at;
    }
}

TEST(DblImage, PreambleTwiceErasedGapAndBootHeader) {
    const Bytes& dbl = Shipped("dbl.mbn");
    ASSERT_EQ(dbl.size(), 35340u);
    const Bytes preamble = {0xD1, 0xDC, 0x4B, 0x84, 0x34, 0x10, 0xD7, 0x73, 0x5A, 0x43, 0x0B, 0x7D};
    for (size_t at = 0; at < 0x2000; ++at) {
        const bool inPreamble = at % 0x800 < 12 && at / 0x800 < 2;
        const uint8_t want = inPreamble ? preamble[at % 0x800] : 0xFF;
        ASSERT_EQ(dbl[at], want) << "offset " << at;
    }
    const std::array<uint32_t, 20> header = {
        0x844BDCD1, 0x73D71034, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x00002050, 0x20012000,
        0x000069BC, 0x000069BC, 0x200189BC, 0,          0x200189BC, 0,          0xFFFFFFFF,
        0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    for (size_t word = 0; word < header.size(); ++word) {
        EXPECT_EQ(Le32(dbl, 0x2000 + 4 * word), header[word]) << "word " << word;
    }
    EXPECT_EQ(0x2050u + Le32(dbl, 0x2000 + 4 * 7), dbl.size());
}

TEST(FsblImage, PlaceholderTextOf118Bytes) {
    const Bytes& fsbl = Shipped("fsbl.mbn");
    ASSERT_EQ(fsbl.size(), 118u);
    const std::string text(fsbl.begin(), fsbl.end());
    EXPECT_EQ(text.substr(0, 2), "\r\n");
    EXPECT_EQ(text.substr(116), "\r\n");
    EXPECT_EQ(text.find('\n', 2), 117u) << "one line between the two line ends";
    EXPECT_NE(text.find("fsbl"), std::string::npos);
}

struct BootImageRow {
    const char* name;
    std::array<uint32_t, 10> words;
};

class BootImageHeader : public ::testing::TestWithParam<BootImageRow> {};

TEST_P(BootImageHeader, ShippedWords) {
    const Bytes& image = Shipped(GetParam().name);
    for (size_t word = 0; word < 10; ++word) {
        EXPECT_EQ(Le32(image, 4 * word), GetParam().words[word]) << "word " << word;
    }
    EXPECT_EQ(Le32(image, 16), image.size() - 40) << "image size is the file size minus 40";
}

INSTANTIATE_TEST_SUITE_P(
    Shipped, BootImageHeader,
    ::testing::Values(BootImageRow{"osbl.mbn",
                                   {0x0B, 3, 0, 0x00040000, 0x0006BAB8, 0x0006BAB8, 0x000ABAB8, 0,
                                    0x000ABAB8, 0}},
                      BootImageRow{"armprg.bin",
                                   {0x05, 3, 0x00800028, 0x00800028, 0x0002EB2C, 0x0002EB2C,
                                    0x0082EB54, 0, 0x0082EB54, 0}},
                      BootImageRow{"nandprgcombined.mbn",
                                   {0x05, 3, 0x00800028, 0x00800028, 0x0002E274, 0x0002E274,
                                    0x0082E29C, 0, 0x0082E29C, 0}}),
    [](const auto& info) {
        std::string name = info.param.name;
        return name.substr(0, name.find('.'));
    });

TEST(BootImageHeaderSmall, SizesAndAddressesFollowTheFile) {
    for (const char* name : {"osbl.mbn", "armprg.bin", "nandprgcombined.mbn"}) {
        SCOPED_TRACE(name);
        const Bytes* image = nullptr;
        for (const auto& file : SmallSet()) {
            if (file.name == name) {
                image = &file.bytes;
            }
        }
        ASSERT_NE(image, nullptr);
        const uint32_t size = static_cast<uint32_t>(image->size() - 40);
        EXPECT_EQ(Le32(*image, 4), 3u);
        EXPECT_EQ(Le32(*image, 16), size);
        EXPECT_EQ(Le32(*image, 20), size);
        EXPECT_EQ(Le32(*image, 24), Le32(*image, 12) + size);
        EXPECT_EQ(Le32(*image, 32), Le32(*image, 12) + size);
        EXPECT_NE(image->size() % 1024, 0u) << "ends in a short block";
    }
}

TEST(AmssImage, Elf32ArmExecutableWithNineteenSegments) {
    const Bytes& amss = Shipped("amss.mbn");
    const Bytes ident = {0x7F, 0x45, 0x4C, 0x46, 0x01, 0x01, 0x01, 0x61};
    EXPECT_EQ(Bytes(amss.begin(), amss.begin() + 8), ident);
    EXPECT_EQ(Le16(amss, 16), 2);   // executable
    EXPECT_EQ(Le16(amss, 18), 40);  // ARM
    EXPECT_EQ(Le32(amss, 24), 0xF0000000u);
    EXPECT_EQ(Le32(amss, 28), 52u);
    EXPECT_EQ(Le32(amss, 32), 0u);
    EXPECT_EQ(Le16(amss, 42), 32);
    EXPECT_EQ(Le16(amss, 44), 19);
    EXPECT_EQ(Le16(amss, 48), 0);
    // The first segment: 0x190 bytes at 0x1000; every segment lies inside the file, in order.
    EXPECT_EQ(Le32(amss, 52 + 4), 0x1000u);
    EXPECT_EQ(Le32(amss, 52 + 16), 0x190u);
    uint64_t end = 0;
    for (size_t i = 0; i < 19; ++i) {
        const size_t ph = 52 + 32 * i;
        const uint64_t offset = Le32(amss, ph + 4);
        const uint64_t size = Le32(amss, ph + 16);
        EXPECT_GE(offset, end) << "segment " << i;
        end = offset + size;
        EXPECT_LE(end, amss.size()) << "segment " << i;
    }
    EXPECT_EQ(end, amss.size()) << "the last segment runs to the end of the file";
}

// The record must be the first 4-aligned marker, at the documented offset.
void ExpectSingleRecord(const Bytes& amss, uint32_t offset) {
    const Bytes marker = {0x2C, 0x1A, 0xBE, 0x6E};
    ASSERT_EQ(Bytes(amss.begin() + offset, amss.begin() + offset + 4), marker);
    for (size_t p = 0; p < offset; p += 4) {
        ASSERT_NE(Le32(amss, p), 0x6EBE1A2Cu) << "an earlier marker at " << p;
    }
}

TEST(AmssImage, LocationRecordAt0xC823D8IsTheFirstAlignedMarker) {
    ExpectSingleRecord(Shipped("amss.mbn"), 0xC823D8);
}

TEST(AmssImage, SmallSetRecordIsTheFirstAlignedMarker) {
    const auto layout = fwgen::LayoutFor(fwgen::SetSize::Small);
    for (const auto& file : SmallSet()) {
        if (file.name == "amss.mbn") {
            ExpectSingleRecord(file.bytes, layout.locationOffset);
        }
    }
}

TEST(AmssImage, RejectsARecordOutsideTheImageOrOffTheWordGrid) {
    EXPECT_THROW(fwgen::MakeAmss(0x20000, 0x183D9), std::invalid_argument);
    EXPECT_THROW(fwgen::MakeAmss(0x20000, 0x20000 - 64), std::invalid_argument);
    EXPECT_THROW(fwgen::MakeAmss(0x20001, 0x183D8), std::invalid_argument);
}

TEST(EfsImage, MagicAndWholePages) {
    const Bytes& efs = Shipped("efs.mbn");
    const Bytes magic = {0x87, 0x67, 0x85, 0x34, 0x59, 0x77, 0x34, 0x92};
    EXPECT_EQ(Bytes(efs.begin(), efs.begin() + 8), magic);
    EXPECT_EQ(efs.size() % 2048, 0u);
    EXPECT_EQ(efs.size() / 2048, 14123u);
}

TEST(ImageSet, WritesTheEightFilesIntoAFolder) {
    TempDir dir;
    std::string error;
    ASSERT_TRUE(fwgen::WriteFirmwareSet(SmallSet(), dir.Path() / "set", error)) << error;
    for (const auto& image : SmallSet()) {
        EXPECT_EQ(ReadBytes(dir.Path() / "set" / image.name), image.bytes) << image.name;
    }
    WriteBytes(dir.Path() / "file", {1});
    EXPECT_FALSE(fwgen::WriteFirmwareSet(SmallSet(), dir.Path() / "file" / "set", error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace pellan::test
