// Windows paths under a device root and the resource lookup.
#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/resources.h"

namespace pellan::test {
namespace {

// Expected paths are written with '/'; a Windows build writes its own separator, which the
// generic form turns back into '/' (on POSIX the generic form is the path itself).
TEST(WindowsPathMapping, UnderADeviceRootNothingLeavesTheRoot) {
    const std::pair<const char*, const char*> rows[] = {
        {"C:\\Program Files\\Windows Service\\HX402newversion",
         "/dev-root/C/Program Files/Windows Service/HX402newversion"},
        {"d:\\nv\\", "/dev-root/d/nv"},  // drive letter kept as written
        {"C:", "/dev-root/C"},
        {"E:\\a\\\\b", "/dev-root/E/a/b"},        // doubled separators
        {"Bin\\hubstop.bat", "Bin/hubstop.bat"},  // relative: no root
        {"1:\\x", "1:/x"},                        // not a drive letter
        {"C:\\..\\..\\etc\\passwd", "/dev-root/C/etc/passwd"},
        {"C:\\a\\..\\b\\.\\c", "/dev-root/C/b/c"},
        // a drive-like component further in stays a folder name below the root
        {"C:\\x\\D:\\evil", "/dev-root/C/x/D:/evil"},
    };
    for (const auto& [windows, native] : rows) {
        EXPECT_EQ(platform::MapWindowsPath(windows, "/dev-root").generic_string(), native)
            << windows;
    }
}

TEST(ModuleResources, OverrideServesItsOwnIdsOnly) {
    const uint8_t bytes[] = {1, 2, 3};
    const platform::ResourceEntry entries[] = {{161, bytes, sizeof bytes}, {168, bytes, 0}};
    const platform::ResourceTable table{entries};
    const auto* previous = platform::SetResourceOverride(&table);
    const auto found = platform::FindModuleResource(161);
    const auto empty = platform::FindModuleResource(168);
    const auto missing = platform::FindModuleResource(162);
    EXPECT_EQ(platform::SetResourceOverride(previous), &table);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->data(), bytes);
    EXPECT_EQ(found->size(), 3u);
    ASSERT_TRUE(empty.has_value()) << "an empty resource still exists";
    EXPECT_EQ(empty->size(), 0u);
    EXPECT_FALSE(missing.has_value());
}

}  // namespace
}  // namespace pellan::test
