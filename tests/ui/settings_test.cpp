#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "platform/paths.h"
#include "support/fake_serial.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"
#include "ui/settings_file.h"

namespace pellan {
namespace {

std::vector<uint8_t> ReadBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct DocFixture : ::testing::Test {
    platform::VirtualClock clock;
    test::FakeSerialProvider serial{clock};
    platform::Env env{&clock, &serial, nullptr, {}};
    test::TempDir dir;
    std::filesystem::path SettingsFile() const { return dir.Path() / "WCDMA_DL_Setting.cfg"; }
};

// The file is eight records of 5932 bytes as older installations wrote them: what is saved is read
// back, a few fields pin the record's layout, and the paths built from it are rebuilt on reading.
TEST_F(DocFixture, SettingsRoundTripInTheStoredLayout) {
    {
        CPellanDoc doc(env, dir.Path());
        for (int line = 0; line < kLineCount; ++line) {
            LineRecord& r = doc.Record(line);
            r.diagPort = line == 5 ? 0 : 20 + line;
            r.atPort = 40 + line;
            r.baud = 115200;
            SetField(r.nvFolder, "/data/nv" + std::to_string(line) + "/");
            SetField(r.amssPath, "/opt/fw/amss.mbn");
            SetField(r.defaultNvFile, "/data/default.nvm");
            SetField(r.osblPath, std::string(300, 'o'));  // cut to the field
        }
        doc.BuildLinePaths();
        ASSERT_TRUE(doc.SaveSettings(SettingsFile()));
    }
    const std::vector<uint8_t> saved = ReadBytes(SettingsFile());
    ASSERT_EQ(kSettingsFileSize, saved.size());
    // Line 2's record: texts end in a zero, numbers are little-endian.
    const struct {
        size_t offset;
        std::string bytes;
    } layout[] = {
        {1792, std::string("/opt/fw/amss.mbn\0", 17)},
        {2820, std::string("/data/nv1/\0", 11)},
        {4116, std::string("\x15\0\0\0\x29\0\0\0\x00\xC2\x01\0", 12)},  // DIAG, AT, baud
        {4128, std::string("/data/default.nvm\0", 18)},
        {5676 + 254, std::string("o\0", 2)},
    };
    for (const auto& field : layout) {
        EXPECT_EQ(0, std::memcmp(saved.data() + 5932 + field.offset, field.bytes.data(),
                                 field.bytes.size()))
            << "at " << field.offset;
    }

    CPellanDoc doc(env, dir.Path());
    EXPECT_TRUE(doc.SettingsMessage().empty());
    for (int line = 0; line < kLineCount; ++line) {
        const LineRecord& r = doc.Record(line);
        EXPECT_EQ(line == 5 ? 0 : 20 + line, r.diagPort);
        EXPECT_EQ(40 + line, r.atPort);
        EXPECT_EQ(std::string(255, 'o'), GetField(r.osblPath));
        EXPECT_EQ(
            "/data/nv" + std::to_string(line) + "/Channel" + std::to_string(line + 1) + ".nvm",
            GetField(r.nvmFilePath));
        EXPECT_EQ((dir.Path() / "armprg.bin").string(), GetField(r.armprgPath));
        // A line without a DIAG port shows no stick to look for.
        EXPECT_EQ(line == 5 ? 0 : 1, doc.Runtime(line).phoneState.load());
        EXPECT_EQ(line == 5 ? "NULL" : "No Phone", doc.FallbackVersion(line));
    }
    ASSERT_TRUE(doc.SaveSettings(dir.Path() / "again.cfg"));
    EXPECT_EQ(saved, ReadBytes(dir.Path() / "again.cfg"));
}

TEST_F(DocFixture, FileOfTheWrongLengthIsNotReadAndTheUserIsTold) {
    for (const size_t length : {size_t{0}, kSettingsFileSize - 1, kSettingsFileSize + 1}) {
        // A file full of port numbers that would show if it were read.
        std::ofstream(SettingsFile(), std::ios::binary) << std::string(length, '\x07');
        CPellanDoc doc(env, dir.Path());
        EXPECT_EQ(1, doc.Record(0).diagPort) << length;
        EXPECT_EQ(0, doc.Record(3).diagPort) << length;
        EXPECT_EQ(115200, doc.Record(7).baud) << length;
        EXPECT_NE(std::string::npos, doc.SettingsMessage().find(std::to_string(length) + " bytes"))
            << doc.SettingsMessage();
        EXPECT_NE(std::string::npos, doc.SettingsMessage().find("47456"));
        test::RecordingSink sink;
        CPellanView view(doc, sink);
        EXPECT_EQ(std::vector<std::string>{doc.SettingsMessage()}, sink.Boxes());
    }
}

// Run by the Windows build as well, where the system would take a pattern.
TEST_F(DocFixture, FolderExistsRules) {
    std::filesystem::create_directories(dir.Path() / "nv");
    std::ofstream(dir.Path() / "file.bin") << "x";
    const std::string base = dir.Path().string();
    const std::pair<std::string, bool> cases[] = {
        {"", false},
        {"Q:\\", true},  // a drive root, without asking the file system
        {"ab\\", false},
        {base + "/nv/", true},
        {base + "/file.bin", true},   // files count as well
        {base + "//file.bin", true},  // doubled separators, as the Bin folder text has them
        {base + "/*.bin", false},     // a pattern names no file
        {base + "/file.?in", false},
        {base + "/missing", false},
    };
    for (const auto& [path, exists] : cases) {
        EXPECT_EQ(exists, platform::FolderExists(path)) << "'" << path << "'";
    }
}

}  // namespace
}  // namespace pellan
