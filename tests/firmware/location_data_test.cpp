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
constexpr size_t kBlock = 1 << 20;  // the scan reads a megabyte at a time

struct ScanRow {
    const char* name;
    size_t size;
    std::vector<size_t> markers;
    bool found;
    size_t copiedFrom;  // the bytes of the image that land at the start of the record
    size_t copied;      // the rest of the record buffer stays as it was
};

class LocationData : public FirmwareFixture, public ::testing::WithParamInterface<ScanRow> {
  protected:
    static constexpr int kLine = 1;

    void SetUp() override {
        FirmwareFixture::SetUp();
        SetField(doc->Record(kLine).amssPath, Path().string());
        record.fill(0xEE);
    }
    fs::path Path() const { return dir.Path() / "amss.mbn"; }
    bool Read(const Bytes& content) {
        WriteBytes(Path(), content);
        return ReadLocationData(*view, kLine, record.data());
    }
    Bytes Record() const { return Bytes(record.begin(), record.end()); }

    std::array<uint8_t, kLocationRecordSize> record{};
};

TEST_P(LocationData, FirstAlignedMarkerIsCopiedAsFarAsTheImageGoes) {
    const ScanRow& row = GetParam();
    Bytes image(row.size);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(0x30 + i % 97);  // never forms the marker
    }
    for (size_t i = 0; i < image.size() && i < 3; ++i) {
        image[i] = kMarker[i];  // a marker cut short by the end of a tiny file
    }
    for (size_t at : row.markers) {
        std::copy(kMarker.begin(), kMarker.end(), image.begin() + static_cast<long>(at));
    }
    EXPECT_EQ(Read(image), row.found);
    Bytes expected(kLocationRecordSize, 0xEE);
    std::copy_n(image.begin() + static_cast<long>(row.copiedFrom), row.copied, expected.begin());
    EXPECT_EQ(Record(), expected);
    std::vector<std::string> status;
    for (const std::string& entry : Entries(kLine)) {
        status.push_back(entry.substr(entry.rfind(kNotFound)));
    }
    EXPECT_EQ(status, row.found ? std::vector<std::string>{} : std::vector<std::string>{kNotFound});
}

INSTANTIATE_TEST_SUITE_P(
    Images, LocationData,
    ::testing::Values(
        ScanRow{"Whole", 4096, {1000}, true, 1000, 128},
        ScanRow{"FirstAlignedWins", 4096, {2001, 2400, 3200}, true, 2400, 128},
        ScanRow{"UnalignedAtTheStart", 4096, {1}, false, 4092, 4},
        ScanRow{"UnalignedAtTheEnd", 4096, {4090}, false, 4092, 4},
        // The last candidate is offset 4096; bytes 4100..4102 are never examined.
        ScanRow{"NoneLeavesTheLastExaminedWord", 4103, {}, false, 4096, 4},
        ScanRow{"InTheLastWord", 4096, {4092}, true, 4092, 4},
        ScanRow{"CutShort", 1000, {960}, true, 960, 40}, ScanRow{"EmptyFile", 0, {}, false, 0, 0},
        ScanRow{"ThreeBytes", 3, {}, false, 0, 0},
        ScanRow{"BeforeABlockBoundary", 3 * kBlock + 100, {kBlock - 4}, true, kBlock - 4, 128},
        ScanRow{"AtABlockBoundary", 3 * kBlock + 100, {kBlock}, true, kBlock, 128},
        ScanRow{"BehindABlockBoundary", 3 * kBlock + 100, {kBlock + 4}, true, kBlock + 4, 128},
        ScanRow{"InTheLastBlock", 3 * kBlock + 100, {3 * kBlock - 4}, true, 3 * kBlock - 4, 104},
        ScanRow{"StraddlingUnaligned", 2 * kBlock, {kBlock - 2}, false, 2 * kBlock - 4, 4}),
    [](const auto& info) { return std::string(info.param.name); });

using LocationDataFile = LocationData;

TEST_F(LocationDataFile, SyntheticImageHasItsRecordAndAMissingFileIsOpenFileFail) {
    const auto layout = fwgen::LayoutFor(fwgen::SetSize::Small);
    const Bytes& amss = resources.BytesOf("amss.mbn");
    ASSERT_TRUE(Read(amss));
    EXPECT_EQ(Record(), Bytes(amss.begin() + layout.locationOffset,
                              amss.begin() + layout.locationOffset + kLocationRecordSize));
    fs::remove(Path());
    record.fill(0);
    EXPECT_FALSE(ReadLocationData(*view, kLine, record.data()));
    fs::create_directory(Path());
    EXPECT_FALSE(ReadLocationData(*view, kLine, record.data()));
    SetField(doc->Record(kLine).amssPath, "");
    EXPECT_FALSE(ReadLocationData(*view, kLine, record.data()));
    ASSERT_EQ(Entries(kLine).size(), 3u);
    for (const std::string& entry : Entries(kLine)) {
        EXPECT_EQ(entry.substr(entry.size() - 14), "open file fail") << entry;
        EXPECT_GT(entry.size(), 14u) << "a stamped status line";
    }
    EXPECT_EQ(Record(), Bytes(kLocationRecordSize, 0));
}

}  // namespace
}  // namespace pellan::test
