#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

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

void WriteBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

struct DocFixture : ::testing::Test {
    platform::VirtualClock clock;
    test::FakeSerialProvider serial{clock};
    platform::Env env{&clock, &serial, nullptr, {}};
    test::TempDir dir;
    std::filesystem::path SettingsFile() const { return dir.Path() / "WCDMA_DL_Setting.cfg"; }
};

// Where each field of a record lies in the settings file, and how long it is.
struct FieldCase {
    const char* name;
    size_t offset;
    size_t size;
    std::function<void(LineRecord&, const std::string&)> set;
};

std::vector<FieldCase> TextFields() {
    return {
        {"partition", 0, 1792,
         [](LineRecord& r, const std::string& t) { SetField(r.partitionPath, t); }},
        {"amss", 1792, 256, [](LineRecord& r, const std::string& t) { SetField(r.amssPath, t); }},
        {"firmware", 2048, 256,
         [](LineRecord& r, const std::string& t) { SetField(r.firmwareFolder, t); }},
        {"efs", 2304, 516, [](LineRecord& r, const std::string& t) { SetField(r.efsPath, t); }},
        {"nv folder", 2820, 256,
         [](LineRecord& r, const std::string& t) { SetField(r.nvFolder, t); }},
        {"upgrade", 3076, 260,
         [](LineRecord& r, const std::string& t) { SetField(r.upgradeFile, t); }},
        {"boot", 3336, 260, [](LineRecord& r, const std::string& t) { SetField(r.bootFile, t); }},
        {"armprg", 3596, 260,
         [](LineRecord& r, const std::string& t) { SetField(r.armprgPath, t); }},
        {"nvm", 3856, 260, [](LineRecord& r, const std::string& t) { SetField(r.nvmFilePath, t); }},
        {"default nv", 4128, 260,
         [](LineRecord& r, const std::string& t) { SetField(r.defaultNvFile, t); }},
        {"sw folder", 4388, 516,
         [](LineRecord& r, const std::string& t) { SetField(r.swFolder, t); }},
        {"nandprg", 4904, 260,
         [](LineRecord& r, const std::string& t) { SetField(r.nandprgPath, t); }},
        {"dbl", 5164, 256, [](LineRecord& r, const std::string& t) { SetField(r.dblPath, t); }},
        {"fsbl", 5420, 256, [](LineRecord& r, const std::string& t) { SetField(r.fsblPath, t); }},
        {"osbl", 5676, 256, [](LineRecord& r, const std::string& t) { SetField(r.osblPath, t); }},
    };
}

TEST(LineRecordImage, EveryTextFieldLiesAtItsOffset) {
    size_t covered = 12;  // the three numbers
    for (const auto& field : TextFields()) {
        LineRecord record;
        const std::string text = std::string("<") + field.name + ">";
        field.set(record, text);
        std::vector<uint8_t> image(kLineRecordSize, 0xAA);
        EncodeLineRecord(record, image.data());
        EXPECT_EQ(0, std::memcmp(image.data() + field.offset, text.data(), text.size()))
            << field.name;
        EXPECT_EQ(0, image[field.offset + text.size()]) << field.name;
        // Nothing else of the image carries the text.
        size_t nonZero = 0;
        for (const uint8_t b : image) {
            nonZero += b != 0 ? 1 : 0;
        }
        EXPECT_EQ(text.size(), nonZero) << field.name;
        covered += field.size;
        // And it comes back from the image.
        const LineRecord back = DecodeLineRecord(image.data());
        std::vector<uint8_t> again(kLineRecordSize);
        EncodeLineRecord(back, again.data());
        EXPECT_EQ(image, again) << field.name;
    }
    EXPECT_EQ(kLineRecordSize, covered);
}

TEST(LineRecordImage, NumbersAreLittleEndianAtTheirOffsets) {
    LineRecord record;
    record.diagPort = 0x01020304;
    record.atPort = 12;
    record.baud = 115200;
    std::vector<uint8_t> image(kLineRecordSize);
    EncodeLineRecord(record, image.data());
    EXPECT_EQ((std::vector<uint8_t>{4, 3, 2, 1}),
              std::vector<uint8_t>(image.begin() + 4116, image.begin() + 4120));
    EXPECT_EQ((std::vector<uint8_t>{12, 0, 0, 0}),
              std::vector<uint8_t>(image.begin() + 4120, image.begin() + 4124));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0xC2, 0x01, 0x00}),
              std::vector<uint8_t>(image.begin() + 4124, image.begin() + 4128));
    record.diagPort = -2;
    EncodeLineRecord(record, image.data());
    EXPECT_EQ(-2, DecodeLineRecord(image.data()).diagPort);
}

TEST(LineRecordImage, TextFillingItsFieldIsCutAndBytesBehindATextAreKept) {
    std::vector<uint8_t> image(kLineRecordSize, 0);
    std::memset(image.data() + 1792, 'A', 256);  // the AMSS path with no terminating zero
    std::memcpy(image.data() + 2048, "fw", 2);   // the next field
    std::memcpy(image.data(), "part.mbn", 8);
    image[1000] = 0x5A;  // data of unknown meaning in the partition area
    image[2304 + 400] = 0x33;
    const LineRecord record = DecodeLineRecord(image.data());
    EXPECT_EQ(std::string(255, 'A'), GetField(record.amssPath));
    EXPECT_EQ("fw", GetField(record.firmwareFolder));
    std::vector<uint8_t> again(kLineRecordSize);
    EncodeLineRecord(record, again.data());
    image[1792 + 255] = 0;  // the cut text ends inside its field
    EXPECT_EQ(image, again);
}

TEST_F(DocFixture, MissingFileLeavesTheDefaults) {
    CPellanDoc doc(env, dir.Path());
    EXPECT_TRUE(doc.SettingsMessage().empty());
    EXPECT_EQ(1, doc.Record(0).diagPort);
    EXPECT_EQ(1, doc.Runtime(0).phoneState.load());
    EXPECT_EQ("No Phone", doc.FallbackVersion(0));
    for (int line = 1; line < kLineCount; ++line) {
        EXPECT_EQ(0, doc.Record(line).diagPort);
        EXPECT_EQ(0, doc.Runtime(line).phoneState.load());
        EXPECT_EQ("NULL", doc.FallbackVersion(line));
    }
    for (int line = 0; line < kLineCount; ++line) {
        EXPECT_EQ(115200, doc.Record(line).baud);
        EXPECT_EQ(0, doc.Record(line).atPort);
        EXPECT_EQ(0, doc.Runtime(line).running.load());
        EXPECT_EQ(JOB_UPDATE, doc.Runtime(line).jobKind);
        EXPECT_EQ("000000000000000", GetField(doc.Runtime(line).imei));
        EXPECT_EQ((dir.Path() / "armprg.bin").string(), GetField(doc.Record(line).armprgPath));
    }
    EXPECT_EQ(NV_MODE_RF_AND_IMEI, doc.m_nvMode.load());
    EXPECT_EQ(1, doc.m_language.load());
}

TEST_F(DocFixture, SettingsRoundTrip) {
    {
        CPellanDoc doc(env, dir.Path());
        for (int line = 0; line < kLineCount; ++line) {
            LineRecord& r = doc.Record(line);
            r.diagPort = line == 5 ? 0 : 20 + line;
            r.atPort = 40 + line;
            SetField(r.nvFolder, "/data/nv" + std::to_string(line) + "/");
            SetField(r.firmwareFolder, "/opt/fw");
            SetField(r.defaultNvFile, "/data/default.nvm");
            SetField(r.osblPath, std::string(300, 'o'));  // cut to the field
        }
        doc.BuildLinePaths();
        ASSERT_TRUE(doc.SaveSettings(SettingsFile()));
    }
    const std::vector<uint8_t> saved = ReadBytes(SettingsFile());
    ASSERT_EQ(kSettingsFileSize, saved.size());

    CPellanDoc doc(env, dir.Path());
    EXPECT_TRUE(doc.SettingsMessage().empty());
    for (int line = 0; line < kLineCount; ++line) {
        const LineRecord& r = doc.Record(line);
        EXPECT_EQ(line == 5 ? 0 : 20 + line, r.diagPort);
        EXPECT_EQ(40 + line, r.atPort);
        EXPECT_EQ("/data/nv" + std::to_string(line) + "/", GetField(r.nvFolder));
        EXPECT_EQ("/data/default.nvm", GetField(r.defaultNvFile));
        EXPECT_EQ(std::string(255, 'o'), GetField(r.osblPath));
        // The paths are rebuilt after reading.
        EXPECT_EQ(
            "/data/nv" + std::to_string(line) + "/Channel" + std::to_string(line + 1) + ".nvm",
            GetField(r.nvmFilePath));
        EXPECT_EQ(line == 5 ? 0 : 1, doc.Runtime(line).phoneState.load());
        EXPECT_EQ(line == 5 ? "NULL" : "No Phone", doc.FallbackVersion(line));
    }
    // Line 2's record is the second 5932 bytes of the file.
    EXPECT_EQ(21, saved[kLineRecordSize + 4116]);
    EXPECT_EQ(0, std::memcmp(saved.data() + kLineRecordSize + 2820, "/data/nv1/", 10));

    ASSERT_TRUE(doc.SaveSettings(dir.Path() / "again.cfg"));
    EXPECT_EQ(saved, ReadBytes(dir.Path() / "again.cfg"));
}

TEST_F(DocFixture, FileOfTheWrongLengthIsNotReadAndTheUserIsTold) {
    for (const size_t length : {size_t{0}, size_t{1}, kSettingsFileSize - 1, kSettingsFileSize + 1,
                                kLineRecordSize, 2 * kSettingsFileSize}) {
        // A file full of port numbers that would show if it were read.
        std::vector<uint8_t> bytes(length, 0x07);
        WriteBytes(SettingsFile(), bytes);
        CPellanDoc doc(env, dir.Path());
        EXPECT_EQ(1, doc.Record(0).diagPort) << length;
        EXPECT_EQ(0, doc.Record(3).diagPort) << length;
        EXPECT_EQ(115200, doc.Record(7).baud) << length;
        EXPECT_EQ("", GetField(doc.Record(0).nvFolder)) << length;
        EXPECT_NE(std::string::npos, doc.SettingsMessage().find(std::to_string(length) + " bytes"))
            << doc.SettingsMessage();
        EXPECT_NE(std::string::npos, doc.SettingsMessage().find("47456"));

        test::RecordingSink sink;
        CPellanView view(doc, sink);
        ASSERT_EQ(1u, sink.Boxes().size());
        EXPECT_EQ(doc.SettingsMessage(), sink.Boxes()[0]);
    }
}

TEST_F(DocFixture, ExactLengthFileIsReadOverTheDefaults) {
    std::vector<uint8_t> bytes(kSettingsFileSize, 0);
    bytes[4116] = 0;                        // line 1 without a DIAG port
    bytes[2 * kLineRecordSize + 4116] = 9;  // line 3 on COM9
    WriteBytes(SettingsFile(), bytes);
    CPellanDoc doc(env, dir.Path());
    EXPECT_EQ(0, doc.Record(0).diagPort);
    EXPECT_EQ(9, doc.Record(2).diagPort);
    EXPECT_EQ(0, doc.Record(2).baud);  // taken from the file, as it stands there
    EXPECT_EQ(0, doc.Runtime(0).phoneState.load());
    EXPECT_EQ(1, doc.Runtime(2).phoneState.load());
    test::RecordingSink sink;
    CPellanView view(doc, sink);
    EXPECT_TRUE(sink.Boxes().empty());
}

TEST_F(DocFixture, BuildLinePathsJoinsTheNvFolderAndLineNumber) {
    CPellanDoc doc(env, dir.Path());
    SetField(doc.Record(2).nvFolder, "/d/nv/");
    SetField(doc.Record(7).nvFolder, "D:\\nv\\");
    doc.BuildLinePaths();
    EXPECT_EQ("/d/nv/Channel3.nvm", GetField(doc.Record(2).nvmFilePath));
    EXPECT_EQ("D:\\nv\\Channel8.nvm", GetField(doc.Record(7).nvmFilePath));
    EXPECT_EQ("Channel1.nvm", GetField(doc.Record(0).nvmFilePath));
    EXPECT_EQ((dir.Path() / "armprg.bin").string(), GetField(doc.Record(4).armprgPath));
}

TEST_F(DocFixture, FolderExistsRules) {
    std::filesystem::create_directories(dir.Path() / "nv");
    WriteBytes(dir.Path() / "file.bin", {1});
    const std::string base = dir.Path().string();
    struct Case {
        std::string path;
        bool exists;
    } cases[] = {
        {"", false},
        {"C:\\", true},  // a drive root, without asking the file system
        {"Q:\\", true},
        {"C:/", true},
        {"ab\\", false},
        {base, true},
        {base + "/", true},
        {base + "/nv/", true},
        {base + "/nv", true},
        {base + "/file.bin", true},  // files count as well
        {base + "/missing/", false},
        {base + "/missing", false},
        {"/", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.exists, CPellanDoc::FolderExists(c.path)) << "'" << c.path << "'";
    }
}

}  // namespace
}  // namespace pellan
