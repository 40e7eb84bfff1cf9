// Making the working folder and writing the set into it.
#include "firmware/firmware_fixture.h"
#include "support/system_files.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

using ExtractionTest = FirmwareFixture;

// The bytes written are compared by the firmware_extract end-to-end script; here: what else is in
// the folder stays, and line one's record names the images.
TEST_F(ExtractionTest, StartUpWritesTheSetBesideOtherFilesAndSetsLineOnesPaths) {
    fs::create_directories(Folder());
    WriteBytes(fs::path(Folder()) / "notes.txt", {1, 2});
    WriteBytes(fs::path(Folder()) / "dbl.mbn", {9, 9, 9});  // an older copy of one image
    ASSERT_TRUE(InstallFirmwareSet(*view));
    EXPECT_TRUE(sink.Boxes().empty());
    EXPECT_EQ(ReadBytes(fs::path(Folder()) / "dbl.mbn"), resources.BytesOf("dbl.mbn"));
    EXPECT_EQ(ReadBytes(fs::path(Folder()) / "notes.txt"), (Bytes{1, 2}));
    const LineRecord& record = doc->Record(0);
    EXPECT_EQ(GetField(record.firmwareFolder), Folder());
    // Compared in the generic form: a Windows build joins with its own separator.
    const std::string folder = fs::path(Folder()).generic_string() + "/";
    EXPECT_EQ(fs::path(GetField(record.amssPath)).generic_string(), folder + "amss.mbn");
    EXPECT_EQ(fs::path(GetField(record.nandprgPath)).generic_string(),
              folder + "nandprgcombined.mbn");
    // Every line of a station writes the same set from its own record.
    for (int line = 1; line < kLineCount; ++line) {
        EXPECT_EQ(GetField(doc->Record(line).firmwareFolder), Folder()) << "line " << line + 1;
        EXPECT_EQ(fs::path(GetField(doc->Record(line).amssPath)).generic_string(),
                  folder + "amss.mbn");
    }
}

TEST_F(ExtractionTest, WhatCannotBeWrittenIsLeftAsItWas) {
    fs::create_directories(Folder());
    const fs::path osbl = fs::path(Folder()) / "osbl.mbn";
    WriteBytes(osbl, {7, 7, 7, 7});
    fs::permissions(osbl, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ASSERT_TRUE(InstallFirmwareSet(*view));  // the start-up goes on without a word
    EXPECT_TRUE(sink.Boxes().empty());
    EXPECT_EQ(ReadBytes(osbl), (Bytes{7, 7, 7, 7}));

    fs::remove(fs::path(Folder()) / "amss.mbn");
    fs::create_directories(fs::path(Folder()) / "amss.mbn" / "inside");
    EXPECT_FALSE(ExtractFirmwareFile(161, Folder(), "amss.mbn"));
    EXPECT_TRUE(fs::is_directory(fs::path(Folder()) / "amss.mbn" / "inside"));
    EXPECT_FALSE(ExtractFirmwareFile(161, (dir.Path() / "nowhere").string(), "amss.mbn"));
    EXPECT_FALSE(fs::exists(dir.Path() / "nowhere"));
    WriteBytes(fs::path(Folder()) / "dbl.mbn", {5});
    EXPECT_FALSE(ExtractFirmwareFile(170, Folder(), "dbl.mbn")) << "no such resource";
    EXPECT_EQ(ReadBytes(fs::path(Folder()) / "dbl.mbn"), Bytes{5});
}

// A write that runs out of room must not cost the good copy: the old file stays whole and no
// partial file is left behind.
TEST_F(ExtractionTest, WriteFailingHalfWayKeepsTheOldFile) {
    fs::create_directories(Folder());
    const fs::path amss = fs::path(Folder()) / "amss.mbn";
    WriteBytes(amss, Bytes(1000, 0x5A));
    bool written = true;
    {
        WriteRoomLimit limit(4096);  // the small amss.mbn is 128 KiB
        if (!limit.Available()) {
            GTEST_SKIP() << "no way to run out of room here";
        }
        written = ExtractFirmwareFile(161, Folder(), "amss.mbn");
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(ReadBytes(amss), Bytes(1000, 0x5A));
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"amss.mbn"});
}

TEST_F(ExtractionTest, AFolderLevelThatCannotBeMadeIsSourcePathError) {
    WriteBytes(DeviceRoot() / "C", {0});  // the drive folder is a plain file
    EXPECT_FALSE(InstallFirmwareSet(*view));
    EXPECT_EQ(GetField(doc->Record(0).firmwareFolder), "") << "nothing set after the failure";
    env.deviceRoot = dir.Path() / "no-such-root";
    EXPECT_FALSE(InstallFirmwareSet(*view));
    EXPECT_FALSE(fs::exists(dir.Path() / "no-such-root")) << "a device root is not made up";
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>(2, "source file path error!"));
    EXPECT_FALSE(EnsureFolder((dir.Path() / "a" / "b").string())) << "only one level at a time";
    EXPECT_FALSE(fs::exists(dir.Path() / "a"));
}

// The configured folder's images in use are checked by the full update end-to-end script.
TEST_F(ExtractionTest, AnIncompleteFirmwareFolderIsRefusedAndTheSetInUseStays) {
    TempDir other;
    std::string error;
    ASSERT_TRUE(
        fwgen::WriteFirmwareSet(fwgen::MakeFirmwareSet(fwgen::SetSize::Small), other.Path(), error))
        << error;
    fs::remove(other.Path() / "efs.mbn");
    const auto* before = platform::SetResourceOverride(nullptr);
    platform::SetResourceOverride(before);
    EXPECT_FALSE(UseFirmwareFolder(other.Path(), error));
    EXPECT_NE(error.find("efs.mbn"), std::string::npos) << error;
    EXPECT_EQ(platform::SetResourceOverride(before), before) << "the set in use stays";
}

}  // namespace
}  // namespace pellan::test
