// The search for the location data record in amss.mbn.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "firmware/firmware_fixture.h"
#include "firmware/location_data.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

const Bytes kMarker = {0x2C, 0x1A, 0xBE, 0x6E};
constexpr const char* kNotFound = "Can't find the location data, should be oldVersion!";

// Bytes that never form the marker: a counter pattern without 0x2C.
Bytes Filler(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(0x30 + i % 97);
    }
    return bytes;
}

void Put(Bytes& bytes, size_t at, const Bytes& what) {
    std::copy(what.begin(), what.end(), bytes.begin() + static_cast<long>(at));
}

class LocationData : public FirmwareFixture {
  protected:
    static constexpr int kLine = 1;

    void SetUp() override {
        FirmwareFixture::SetUp();
        path = dir.Path() / "amss.mbn";
        SetField(doc->Record(kLine).amssPath, path.string());
        record.fill(0);
    }

    bool Read(const Bytes& content) {
        WriteBytes(path, content);
        return ReadLocationData(*view, kLine, record.data());
    }

    // The line's status texts without their time stamps.
    std::vector<std::string> Status() const {
        std::vector<std::string> texts;
        for (const std::string& entry : sink.Entries(kLine)) {
            const size_t cut = entry.rfind(kNotFound);
            texts.push_back(cut == std::string::npos ? entry : entry.substr(cut));
        }
        return texts;
    }

    Bytes Record() const { return Bytes(record.begin(), record.end()); }

    fs::path path;
    std::array<uint8_t, kLocationRecordSize> record{};
};

TEST_F(LocationData, RecordIsCopiedWithItsMarker) {
    Bytes image = Filler(4096);
    Put(image, 1000, kMarker);
    ASSERT_TRUE(Read(image));
    EXPECT_EQ(Record(), Bytes(image.begin() + 1000, image.begin() + 1128));
    EXPECT_TRUE(sink.Entries(kLine).empty()) << "success is silent";
}

TEST_F(LocationData, FirstAlignedMarkerWins) {
    Bytes image = Filler(4096);
    Put(image, 2001, kMarker);  // unaligned: not a candidate
    Put(image, 2400, kMarker);
    Put(image, 3200, kMarker);
    image[2404] = 0xAB;
    ASSERT_TRUE(Read(image));
    EXPECT_EQ(Record()[4], 0xAB);
}

TEST_F(LocationData, UnalignedMarkerIsNotFound) {
    for (size_t offset : {1u, 2u, 3u, 1001u, 4090u}) {
        SCOPED_TRACE(offset);
        Bytes image = Filler(4096);
        Put(image, offset, kMarker);
        record.fill(0);
        EXPECT_FALSE(Read(image));
        const Bytes last(image.end() - 4, image.end());
        EXPECT_EQ(Bytes(record.begin(), record.begin() + 4), last);
    }
    EXPECT_EQ(Status(), std::vector<std::string>(5, kNotFound));
}

TEST_F(LocationData, NoMarkerLeavesTheLastExaminedWordAndTheRestUntouched) {
    record.fill(0xEE);
    // 4103 bytes: the last candidate is offset 4096, bytes 4100..4102 are never examined.
    const Bytes image = Filler(4103);
    EXPECT_FALSE(Read(image));
    Bytes expected(kLocationRecordSize, 0xEE);
    Put(expected, 0, Bytes(image.begin() + 4096, image.begin() + 4100));
    EXPECT_EQ(Record(), expected);
    EXPECT_EQ(Status(), std::vector<std::string>{kNotFound});
}

TEST_F(LocationData, MarkerInTheLastFourBytesDeliversOnlyTheMarker) {
    record.fill(0x77);
    Bytes image = Filler(4096);
    Put(image, 4092, kMarker);
    ASSERT_TRUE(Read(image));
    Bytes expected(kLocationRecordSize, 0x77);
    Put(expected, 0, kMarker);
    EXPECT_EQ(Record(), expected);
}

TEST_F(LocationData, ShortRecordKeepsTheRestOfTheBuffer) {
    record.fill(0x55);
    Bytes image = Filler(1000);
    Put(image, 960, kMarker);  // 40 bytes to the end
    ASSERT_TRUE(Read(image));
    Bytes expected(kLocationRecordSize, 0x55);
    Put(expected, 0, Bytes(image.begin() + 960, image.end()));
    EXPECT_EQ(Record(), expected);
}

TEST_F(LocationData, FileShorterThanFourBytesIsNotScanned) {
    for (const Bytes& image : {Bytes{}, Bytes{0x2C}, Bytes{0x2C, 0x1A, 0xBE}}) {
        record.fill(0x99);
        EXPECT_FALSE(Read(image)) << image.size() << " bytes";
        EXPECT_EQ(Record(), Bytes(kLocationRecordSize, 0x99));
    }
    EXPECT_EQ(Status(), std::vector<std::string>(3, kNotFound));
}

TEST_F(LocationData, MissingFileIsOpenFileFail) {
    EXPECT_FALSE(ReadLocationData(*view, kLine, record.data()));
    fs::create_directory(path);
    EXPECT_FALSE(ReadLocationData(*view, kLine, record.data()));
    SetField(doc->Record(kLine).amssPath, "");
    EXPECT_FALSE(ReadLocationData(*view, kLine, record.data()));
    ASSERT_EQ(sink.Entries(kLine).size(), 3u);
    for (const std::string& entry : sink.Entries(kLine)) {
        EXPECT_EQ(entry.substr(entry.size() - 14), "open file fail") << entry;
        EXPECT_GT(entry.size(), 14u) << "a stamped status line";
    }
    EXPECT_EQ(Record(), Bytes(kLocationRecordSize, 0));
}

// Blocks are read a megabyte at a time: a marker on either side of a block boundary, and one
// that straddles it, are found (or not) exactly as by a word-by-word scan.
TEST_F(LocationData, BlockBoundariesChangeNothing) {
    constexpr size_t kBlock = 1 << 20;
    for (size_t offset : {kBlock - 4, kBlock, kBlock + 4, 3 * kBlock - 4}) {
        SCOPED_TRACE(offset);
        Bytes image = Filler(3 * kBlock + 100);
        Put(image, offset, kMarker);
        image[offset + 4] = 0xC3;
        ASSERT_TRUE(Read(image));
        EXPECT_EQ(Record()[4], 0xC3);
    }
    Bytes image = Filler(2 * kBlock);
    Put(image, kBlock - 2, kMarker);  // straddles, unaligned
    EXPECT_FALSE(Read(image));
}

TEST_F(LocationData, SyntheticImageRecordIsFound) {
    const auto layout = fwgen::LayoutFor(fwgen::SetSize::Small);
    const Bytes& amss = resources.BytesOf("amss.mbn");
    ASSERT_TRUE(Read(amss));
    EXPECT_EQ(Record(), Bytes(amss.begin() + layout.locationOffset,
                              amss.begin() + layout.locationOffset + kLocationRecordSize));
}

}  // namespace
}  // namespace pellan::test
