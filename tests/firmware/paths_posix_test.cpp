// The POSIX side of the drive mapping: a per-user folder stands for the drives, '/' joins.
#include <gtest/gtest.h>

#include "platform/paths.h"

namespace pellan::test {
namespace {

TEST(DriveRoot, DeviceRootWinsThePerUserFolderIsAbsoluteAndRootTakesTheNameDirectly) {
    EXPECT_EQ(platform::DriveRoot("/some/root"), std::filesystem::path("/some/root"));
    EXPECT_TRUE(platform::DriveRoot({}).is_absolute());
    EXPECT_EQ(platform::JoinFolderText("/", "a.mbn"), "/a.mbn");
    EXPECT_EQ(platform::JoinFolderText("/x/y", "a.mbn"), "/x/y/a.mbn");
    EXPECT_EQ(platform::JoinFolderText("", "a.mbn"), "/a.mbn");
}

}  // namespace
}  // namespace pellan::test
