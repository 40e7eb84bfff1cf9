// Windows paths under a device root, folder joins and the resource lookup.
#include <gtest/gtest.h>

#include "firmware/firmware_fixture.h"
#include "firmware/firmware_set.h"
#include "platform/paths.h"
#include "platform/resources.h"

namespace pellan::test {
namespace {

struct MappingRow {
    const char* windows;
    const char* native;
};

class WindowsPathMapping : public ::testing::TestWithParam<MappingRow> {};

// Expected paths are written with '/'; a Windows build writes its own separator, which the
// generic form turns back into '/' (on POSIX the generic form is the path itself).
TEST_P(WindowsPathMapping, UnderADeviceRoot) {
    EXPECT_EQ(platform::MapWindowsPath(GetParam().windows, "/dev-root").generic_string(),
              GetParam().native);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WindowsPathMapping,
    ::testing::Values(MappingRow{"C:\\Program Files\\Windows Service\\HX402newversion",
                                 "/dev-root/C/Program Files/Windows Service/HX402newversion"},
                      MappingRow{"C:\\Program Files", "/dev-root/C/Program Files"},
                      MappingRow{"d:\\nv\\", "/dev-root/d/nv"},  // drive letter kept as written
                      MappingRow{"C:\\", "/dev-root/C"},  // the drive root is the drive's folder
                      MappingRow{"C:", "/dev-root/C"},
                      MappingRow{"E:\\a\\\\b", "/dev-root/E/a/b"},        // doubled separators
                      MappingRow{"Bin\\hubstop.bat", "Bin/hubstop.bat"},  // relative: no root
                      MappingRow{"1:\\x", "1:/x"},                        // not a drive letter
                      MappingRow{"C:\\..\\..\\etc\\passwd", "/dev-root/C/etc/passwd"},
                      MappingRow{"C:\\a\\..\\b\\.\\c", "/dev-root/C/b/c"},
                      MappingRow{"C:\\a\\..\\..\\..", "/dev-root/C"},
                      // a drive-like component further in stays a folder name below the root
                      MappingRow{"C:\\x\\D:\\evil", "/dev-root/C/x/D:/evil"}));

TEST(WorkingFolder, LevelsUnderADeviceRootStartWithTheDriveFolder) {
    const std::vector<std::string> expected = {
        "/r/C", "/r/C/Program Files", "/r/C/Program Files/Windows Service",
        "/r/C/Program Files/Windows Service/HX402newversion"};
    std::vector<std::string> levels;
    for (const std::string& level : WorkingFolderLevels("/r")) {
        levels.push_back(std::filesystem::path(level).generic_string());
    }
    EXPECT_EQ(levels, expected);
    EXPECT_EQ(std::filesystem::path(WorkingFolder("/r")).generic_string(), expected.back());
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

TEST(ModuleResources, ATestProgramCarriesNoEmbeddedSet) {
    const auto* previous = platform::SetResourceOverride(nullptr);
    for (const FirmwareFile& file : kFirmwareFiles) {
        EXPECT_FALSE(platform::FindModuleResource(file.resourceId).has_value()) << file.name;
    }
    platform::SetResourceOverride(previous);
}

}  // namespace
}  // namespace pellan::test
