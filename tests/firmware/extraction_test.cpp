// Making the working folder and writing the set into it.
#include <gtest/gtest.h>

#include <filesystem>

#include "firmware/firmware_fixture.h"
#include "firmware/firmware_set.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

using ExtractionTest = FirmwareFixture;

const std::vector<std::string> kAllNames = {"amss.mbn", "armprg.bin",   "dbl.mbn",
                                            "efs.mbn",  "fsbl.mbn",     "nandprgcombined.mbn",
                                            "osbl.mbn", "partition.mbn"};

void ExpectSetInFolder(const ResourceSet& set, const fs::path& folder) {
    EXPECT_EQ(FolderEntries(folder), kAllNames) << "exactly the eight files, no leftovers";
    for (const auto& image : set.Images()) {
        EXPECT_EQ(ReadBytes(folder / image.name), image.bytes) << image.name;
    }
}

TEST_F(ExtractionTest, StartUpMakesTheFolderLevelsAndWritesTheSet) {
    ASSERT_TRUE(InstallFirmwareSet(*view));
    EXPECT_TRUE(sink.Boxes().empty());
    ExpectSetInFolder(resources, Folder());

    const LineRecord& record = doc->Record(0);
    EXPECT_EQ(GetField(record.firmwareFolder), Folder());
    // Compared in the generic form: a Windows build joins with its own separator.
    const std::string folder = fs::path(Folder()).generic_string();
    const auto generic = [](const std::string& path) { return fs::path(path).generic_string(); };
    EXPECT_EQ(generic(GetField(record.partitionPath)), folder + "/partition.mbn");
    EXPECT_EQ(generic(GetField(record.dblPath)), folder + "/dbl.mbn");
    EXPECT_EQ(generic(GetField(record.fsblPath)), folder + "/fsbl.mbn");
    EXPECT_EQ(generic(GetField(record.osblPath)), folder + "/osbl.mbn");
    EXPECT_EQ(generic(GetField(record.amssPath)), folder + "/amss.mbn");
    EXPECT_EQ(generic(GetField(record.efsPath)), folder + "/efs.mbn");
    EXPECT_EQ(generic(GetField(record.armprgPath)), folder + "/armprg.bin");
    EXPECT_EQ(generic(GetField(record.nandprgPath)), folder + "/nandprgcombined.mbn");
    // Every line of a station writes the same set from its own record.
    for (int line = 1; line < kLineCount; ++line) {
        EXPECT_EQ(GetField(doc->Record(line).firmwareFolder), Folder()) << "line " << line + 1;
        EXPECT_EQ(generic(GetField(doc->Record(line).amssPath)), folder + "/amss.mbn");
    }
}

TEST_F(ExtractionTest, SecondStartOverwritesWithIdenticalContent) {
    ASSERT_TRUE(InstallFirmwareSet(*view));
    WriteBytes(fs::path(Folder()) / "dbl.mbn", {9, 9, 9});  // an older copy of one image
    ASSERT_TRUE(InstallFirmwareSet(*view));
    EXPECT_TRUE(sink.Boxes().empty());
    ExpectSetInFolder(resources, Folder());
}

TEST_F(ExtractionTest, ExistingFolderWithOtherFilesIsReused) {
    fs::create_directories(Folder());
    WriteBytes(fs::path(Folder()) / "notes.txt", {1, 2});
    ASSERT_TRUE(InstallFirmwareSet(*view));
    EXPECT_EQ(ReadBytes(fs::path(Folder()) / "notes.txt"), (Bytes{1, 2}));
    EXPECT_EQ(ReadBytes(fs::path(Folder()) / "amss.mbn"), resources.BytesOf("amss.mbn"));
}

TEST_F(ExtractionTest, ReadOnlyFileIsSkippedSilentlyAndKept) {
    fs::create_directories(Folder());
    const fs::path osbl = fs::path(Folder()) / "osbl.mbn";
    WriteBytes(osbl, {7, 7, 7, 7});
    fs::permissions(osbl, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    EXPECT_FALSE(ExtractFirmwareFile(167, Folder(), "osbl.mbn"));
    EXPECT_EQ(ReadBytes(osbl), (Bytes{7, 7, 7, 7}));

    ASSERT_TRUE(InstallFirmwareSet(*view));  // the start-up goes on without a word
    EXPECT_TRUE(sink.Boxes().empty());
    EXPECT_EQ(ReadBytes(osbl), (Bytes{7, 7, 7, 7}));
    EXPECT_EQ(ReadBytes(fs::path(Folder()) / "dbl.mbn"), resources.BytesOf("dbl.mbn"));
}

TEST_F(ExtractionTest, FolderOfTheFileNameIsLeftAlone) {
    fs::create_directories(fs::path(Folder()) / "amss.mbn" / "inside");
    EXPECT_FALSE(ExtractFirmwareFile(161, Folder(), "amss.mbn"));
    EXPECT_TRUE(fs::is_directory(fs::path(Folder()) / "amss.mbn" / "inside"));
}

TEST_F(ExtractionTest, MissingFolderOrResourceWritesNothing) {
    EXPECT_FALSE(ExtractFirmwareFile(161, (dir.Path() / "nowhere").string(), "amss.mbn"));
    EXPECT_FALSE(fs::exists(dir.Path() / "nowhere"));

    fs::create_directories(Folder());
    WriteBytes(fs::path(Folder()) / "amss.mbn", {5});
    EXPECT_FALSE(ExtractFirmwareFile(170, Folder(), "amss.mbn"));
    EXPECT_EQ(ReadBytes(fs::path(Folder()) / "amss.mbn"), Bytes{5});
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"amss.mbn"});
}

TEST_F(ExtractionTest, UnmakeableLevelShowsSourcePathError) {
    // The device root's drive folder is a plain file: no level below it can be made.
    WriteBytes(DeviceRoot() / "C", {0});
    EXPECT_FALSE(InstallFirmwareSet(*view));
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>{"source file path error!"});
    EXPECT_EQ(GetField(doc->Record(0).firmwareFolder), "") << "nothing set after the failure";
}

TEST_F(ExtractionTest, MissingDeviceRootIsNotMadeUp) {
    env.deviceRoot = dir.Path() / "no-such-root";
    EXPECT_FALSE(InstallFirmwareSet(*view));
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>{"source file path error!"});
    EXPECT_FALSE(fs::exists(dir.Path() / "no-such-root"));
}

TEST_F(ExtractionTest, EnsureFolderMakesOneLevel) {
    const fs::path one = dir.Path() / "one";
    EXPECT_TRUE(EnsureFolder(one.string()));
    EXPECT_TRUE(fs::is_directory(one));
    EXPECT_TRUE(EnsureFolder(one.string())) << "an existing folder is fine";
    EXPECT_FALSE(EnsureFolder((dir.Path() / "a" / "b").string())) << "only one level at a time";
    EXPECT_FALSE(fs::exists(dir.Path() / "a"));
}

TEST_F(ExtractionTest, FirmwareFolderReplacesTheEmbeddedImages) {
    TempDir other;
    auto images = fwgen::MakeFirmwareSet(fwgen::SetSize::Small);
    images[0].bytes.assign(64 * 1024, 0x11);  // a different amss.mbn
    std::string error;
    ASSERT_TRUE(fwgen::WriteFirmwareSet(images, other.Path(), error)) << error;

    const auto* before = platform::SetResourceOverride(nullptr);
    platform::SetResourceOverride(before);
    ASSERT_TRUE(UseFirmwareFolder(other.Path(), error)) << error;
    ASSERT_TRUE(InstallFirmwareSet(*view));
    platform::SetResourceOverride(before);  // back to this test's set for the tests after it

    for (const auto& image : images) {
        EXPECT_EQ(ReadBytes(fs::path(Folder()) / image.name), image.bytes) << image.name;
    }
}

TEST_F(ExtractionTest, FirmwareFolderLackingAnImageIsRefused) {
    TempDir other;
    std::string error;
    ASSERT_TRUE(fwgen::WriteFirmwareSet(SmallSet(), other.Path(), error)) << error;
    fs::remove(other.Path() / "efs.mbn");
    const auto* before = platform::SetResourceOverride(nullptr);
    platform::SetResourceOverride(before);
    EXPECT_FALSE(UseFirmwareFolder(other.Path(), error));
    EXPECT_NE(error.find("efs.mbn"), std::string::npos) << error;
    EXPECT_EQ(platform::SetResourceOverride(before), before) << "the set in use stays";
}

}  // namespace
}  // namespace pellan::test
