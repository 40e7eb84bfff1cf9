// What a job is told of the location data record in amss.mbn. The scan itself (alignment, block
// edges, records cut by the file's end) is checked against a plain search by fuzz_location_scan.
#include "firmware/location_data.h"
#include "firmware/firmware_fixture.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

TEST_F(FirmwareFixture, LocationRecordIsReadOrItsAbsenceAndAnUnopenableFileReported) {
    constexpr int kLine = 1;
    const fs::path path = dir.Path() / "amss.mbn";
    SetField(doc->Record(kLine).amssPath, path.string());
    std::array<uint8_t, kLocationRecordSize> record{};
    const Bytes& amss = resources.BytesOf("amss.mbn");
    WriteBytes(path, amss);
    ASSERT_TRUE(ReadLocationData(*view, kLine, record.data()));
    const auto offset = fwgen::LayoutFor(fwgen::SetSize::Small).locationOffset;
    EXPECT_EQ(Bytes(record.begin(), record.end()),
              Bytes(amss.begin() + offset, amss.begin() + offset + kLocationRecordSize));
    EXPECT_TRUE(sink.Entries().empty());

    WriteBytes(path, Bytes(4096, 0x30));
    EXPECT_FALSE(ReadLocationData(*view, kLine, record.data()));
    fs::remove(path);
    EXPECT_FALSE(ReadLocationData(*view, kLine, record.data()));
    fs::create_directory(path);
    EXPECT_FALSE(ReadLocationData(*view, kLine, record.data()));
    SetField(doc->Record(kLine).amssPath, "");
    EXPECT_FALSE(ReadLocationData(*view, kLine, record.data()));
    const char* const expected[] = {"Can't find the location data, should be oldVersion!",
                                    "open file fail", "open file fail", "open file fail"};
    const auto entries = sink.Entries();
    ASSERT_EQ(entries.size(), 4u);
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string text = expected[i];
        EXPECT_EQ(entries[i].line, kLine);
        ASSERT_GT(entries[i].text.size(), text.size()) << "a stamped status line";
        EXPECT_EQ(entries[i].text.substr(entries[i].text.size() - text.size()), text);
    }
}

}  // namespace
}  // namespace pellan::test
