#include <gtest/gtest.h>

#include <string>

#include "platform/resources.h"

namespace pellan::test {
namespace {

std::string Text(std::span<const std::uint8_t> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The resource script of this test program (resources_win32.rc) carries the items read here.
TEST(ResourcesWin32, FirmwareItemsComeFromTheResourceSection) {
    const auto item = platform::FindNativeResource(61001);
    ASSERT_TRUE(item.has_value()) << "resources_win32.rc is not linked into the test program";
    EXPECT_EQ(Text(*item), std::string("pellan\x01\x02", 8));

    const auto empty = platform::FindNativeResource(61002);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->size(), 0u);

    const auto chinese = platform::FindNativeResource(61003);
    ASSERT_TRUE(chinese.has_value()) << "an item stored under one language only is found too";
    EXPECT_EQ(Text(*chinese), "zh");

    for (const int missing : {0, -1, 61004, 0x10000 + 61001}) {
        EXPECT_FALSE(platform::FindNativeResource(missing).has_value()) << missing;
    }
}

TEST(ResourcesWin32, OverrideTableComesFirstAndModuleReturnsAfter) {
    const std::uint8_t replacement[] = {'r'};
    const platform::ResourceEntry entries[] = {{61001, replacement, sizeof replacement}};
    const platform::ResourceTable table{entries};
    const platform::ResourceTable* earlier = platform::SetResourceOverride(&table);
    const auto overridden = platform::FindModuleResource(61001);
    const auto hidden = platform::FindModuleResource(61003);
    platform::SetResourceOverride(earlier);
    ASSERT_TRUE(overridden.has_value());
    EXPECT_EQ(Text(*overridden), "r");
    EXPECT_FALSE(hidden.has_value()) << "an override shows only its own table";
    const auto module = platform::FindModuleResource(61001);
    ASSERT_TRUE(module.has_value());
    EXPECT_EQ(module->size(), 8u);
}

}  // namespace
}  // namespace pellan::test
