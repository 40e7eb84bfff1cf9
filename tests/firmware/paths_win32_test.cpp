// The Windows side of the drive mapping: drives are real, so without a device root a path stays as
// written (its separators made native), and '\\' joins.
#include <gtest/gtest.h>

#include "platform/paths.h"

namespace pellan::test {
namespace {

TEST(WindowsPaths, WithoutADeviceRootThePathIsTheDrivesOwn) {
    EXPECT_EQ(platform::DriveRoot("D:\\sticks"), std::filesystem::path("D:\\sticks"));
    EXPECT_TRUE(platform::DriveRoot({}).empty());
    EXPECT_EQ(platform::MapWindowsPath("C:\\", {}).string(), "C:\\");
    EXPECT_EQ(platform::MapWindowsPath("C:\\Program Files\\\\X\\..\\..\\..\\Bin", {}).string(),
              "C:\\Bin");
    EXPECT_EQ(platform::MapDriveOf("d:\\nv", {}).string(), "d:\\");
    EXPECT_TRUE(platform::MapDriveOf("nv\\x", {}).empty());
    EXPECT_EQ(platform::JoinFolderText("C:\\", "a.mbn"), "C:\\a.mbn");
    EXPECT_EQ(platform::JoinFolderText("C:\\x\\y", "a.mbn"), "C:\\x\\y\\a.mbn");
    EXPECT_EQ(platform::JoinFolderText("", "a.mbn"), "\\a.mbn");
}

}  // namespace
}  // namespace pellan::test
