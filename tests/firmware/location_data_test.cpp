// What a job is told of the location data record in amss.mbn. The scan itself (alignment, block
// edges, records cut by the file's end) is checked against a plain search by fuzz_location_scan.
#include "firmware/location_data.h"
#include "firmware/firmware_fixture.h"

#include <optional>

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

TEST_F(FirmwareFixture, LocationRecordIsReadOrItsAbsenceAndAnUnopenableFileReported) {
    const fs::path path = dir.Path() / "amss.mbn";
    std::vector<std::string> told;
    const auto read = [&](const std::string& amssPath) {
        std::array<uint8_t, kLocationRecordSize> record{};
        const bool found = ReadLocationData(
            amssPath, [&told](const std::string& text) { told.push_back(text); }, record.data());
        return found ? std::optional(Bytes(record.begin(), record.end())) : std::nullopt;
    };
    const Bytes& amss = resources.BytesOf("amss.mbn");
    WriteBytes(path, amss);
    const auto offset = fwgen::LayoutFor(fwgen::SetSize::Small).locationOffset;
    EXPECT_EQ(read(path.string()),
              Bytes(amss.begin() + offset, amss.begin() + offset + kLocationRecordSize));
    EXPECT_TRUE(told.empty());

    WriteBytes(path, Bytes(4096, 0x30));
    EXPECT_FALSE(read(path.string()));
    fs::remove(path);
    EXPECT_FALSE(read(path.string()));
    fs::create_directory(path);
    EXPECT_FALSE(read(path.string()));
    EXPECT_FALSE(read(""));
    EXPECT_EQ(told,
              (std::vector<std::string>{"Can't find the location data, should be oldVersion!",
                                        "open file fail", "open file fail", "open file fail"}));
}

}  // namespace
}  // namespace pellan::test
