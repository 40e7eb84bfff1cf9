// The stick's USB configuration file. Discovery through udev itself runs against mocked sticks in
// tests/e2e/udev_testbed.sh.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/registry_udev_posix.h"
#include "support/temp_dir.h"

namespace pellan::platform {
namespace {

TEST(StickUsbConfigFile, SettingsAndErrors) {
    StickUsbConfig config;
    std::string error;
    ASSERT_TRUE(ParseStickUsbConfig(
        "# the stick\nusb_id = 12D1:1001  # ids\n\ndiag_interface=2\nat_interface = 0\n"
        "download_products = 9008, 900e\n",
        config, error))
        << error;
    EXPECT_EQ(0x12D1, config.vendorId);
    EXPECT_EQ(0x1001, config.productId);
    EXPECT_EQ(2, config.diagInterface);
    EXPECT_EQ(0, config.atInterface);
    EXPECT_EQ((std::vector<uint16_t>{0x9008, 0x900E}), config.downloadProductIds);

    for (const char* bad :
         {"usb_id = 12d1", "usb_id = x:1", "usb_id = 10000:1", "diag_interface = -1",
          "at_interface = 256", "speed = 3", "diag_interface", "download_products = 9008,x"}) {
        StickUsbConfig c;
        std::string e;
        EXPECT_FALSE(ParseStickUsbConfig(std::string("at_interface = 4\n") + bad, c, e)) << bad;
        EXPECT_NE(std::string::npos, e.find("line 2")) << e;
        EXPECT_EQ(4, c.atInterface);  // settings before the bad line stay
    }

    test::TempDir dir;
    StickUsbConfig fromFile;
    EXPECT_TRUE(LoadStickUsbConfig(dir.Path() / "missing.conf", fromFile, error));
    EXPECT_EQ(0x05C6, fromFile.vendorId);
    std::ofstream(dir.Path() / "stick.conf") << "usb_id = 05c6:9025\n";
    EXPECT_TRUE(LoadStickUsbConfig(dir.Path() / "stick.conf", fromFile, error));
    EXPECT_EQ(0x9025, fromFile.productId);
}

}  // namespace
}  // namespace pellan::platform
