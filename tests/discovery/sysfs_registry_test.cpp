#include <gtest/gtest.h>

#include <fstream>

#include "platform/registry_sysfs_posix.h"
#include "platform/stick_drivers.h"
#include "support/fake_serial.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"

namespace pellan::platform {
namespace {

// A copy of the parts of sysfs that the backend reads.
class FakeSysfs {
  public:
    explicit FakeSysfs(const std::filesystem::path& root)
        : m_devices(root / "bus" / "usb" / "devices") {
        std::filesystem::create_directories(m_devices);
    }
    void AddDevice(const std::string& name, const std::string& vid, const std::string& pid, int bus,
                   int dev) {
        const auto folder = m_devices / name;
        std::filesystem::create_directories(folder);
        Attribute(folder / "idVendor", vid);
        Attribute(folder / "idProduct", pid);
        Attribute(folder / "busnum", std::to_string(bus));
        Attribute(folder / "devnum", std::to_string(dev));
    }
    // `tty` "ttyUSB3" sits in the interface folder (usb-serial), "tty/ttyACM0" below it (cdc-acm).
    void AddInterface(const std::string& device, int number, const std::string& tty) {
        char name[32];
        std::snprintf(name, sizeof name, ":1.%d", number);
        const auto folder = m_devices / (device + name);
        std::filesystem::create_directories(folder);
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02x", number);
        Attribute(folder / "bInterfaceNumber", hex);
        if (!tty.empty()) {
            std::filesystem::create_directories(folder / tty);
        }
    }
    void Remove(const std::string& name) { std::filesystem::remove_all(m_devices / name); }

  private:
    static void Attribute(const std::filesystem::path& file, const std::string& text) {
        std::ofstream(file) << text << "\n";
    }
    std::filesystem::path m_devices;
};

struct SysfsFixture : ::testing::Test {
    test::TempDir dir;
    FakeSysfs sysfs{dir.Path()};
    StickUsbConfig config;
    SysfsFixture() {
        config.sysfsRoot = dir.Path();
        config.productId = 0x9000;
        sysfs.AddDevice("1-1", "05c6", "9000", 1, 7);
        sysfs.AddInterface("1-1", 0, "ttyUSB3");
        sysfs.AddInterface("1-1", 1, "ttyUSB4");
        sysfs.AddInterface("1-1", 2, "tty/ttyACM0");
        sysfs.AddInterface("1-1", 3, "");              // a network interface without a tty
        sysfs.AddDevice("3-1", "1234", "9000", 3, 2);  // somebody else's device
        sysfs.AddInterface("3-1", 0, "ttyUSB0");
        sysfs.AddInterface("3-1", 1, "ttyUSB1");
    }

    // Runs the document's discovery over the backend.
    bool Discover(SysfsRegistry& registry, int& at, int& diag) {
        VirtualClock clock;
        test::FakeSerialProvider serial{clock};
        Env env{&clock, &serial, &registry, {}};
        CPellanDoc doc{env, dir.Path()};
        const bool found = doc.DiscoverPorts(0);
        at = doc.Record(0).atPort;
        diag = doc.Record(0).diagPort;
        return found;
    }
};

TEST_F(SysfsFixture, PresentsTheStickAsTheTwoDriverEnumerations) {
    SysfsRegistry registry{config};
    const auto diagEnum = registry.OpenKey(kDiagDriverEnumKey);
    ASSERT_NE(nullptr, diagEnum);
    EXPECT_EQ(1u, diagEnum->ReadDword("Count"));
    EXPECT_EQ("USB\\VID_05C6&PID_9000&MI_00\\1-1", diagEnum->ReadString("0"));
    const auto atEnum = registry.OpenKey(kAtDriverEnumKey);
    EXPECT_EQ("USB\\VID_05C6&PID_9000&MI_01\\1-1", atEnum->ReadString("0"));
    const auto params = registry.OpenKey(std::string(kDeviceEnumRoot) +
                                         "usb\\vid_05c6&pid_9000&mi_00\\1-1" + kDeviceParameters);
    ASSERT_NE(nullptr, params);
    EXPECT_EQ("COM4", params->ReadString("PortName"));  // ttyUSB3 is COM4
    EXPECT_EQ(nullptr, registry.OpenKey(std::string(kDeviceEnumRoot) +
                                        "USB\\VID_1234&PID_9000&MI_00\\3-1" + kDeviceParameters));
    EXPECT_EQ(nullptr, registry.OpenKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"));

    int at = 0, diag = 0;
    ASSERT_TRUE(Discover(registry, at, diag));
    EXPECT_EQ(5, at);
    EXPECT_EQ(4, diag);
}

TEST_F(SysfsFixture, NewestStickIsTheLastInstanceAndRemovalIsSeenAtOnce) {
    sysfs.AddDevice("2-3", "05c6", "9000", 2, 9);
    sysfs.AddInterface("2-3", 0, "ttyUSB10");
    sysfs.AddInterface("2-3", 1, "ttyUSB11");
    SysfsRegistry registry{config};
    EXPECT_EQ(2u, registry.OpenKey(kAtDriverEnumKey)->ReadDword("Count"));
    int at = 0, diag = 0;
    ASSERT_TRUE(Discover(registry, at, diag));
    EXPECT_EQ(12, at);
    EXPECT_EQ(11, diag);

    sysfs.Remove("2-3:1.0");
    sysfs.Remove("2-3:1.1");
    sysfs.Remove("2-3");
    ASSERT_TRUE(Discover(registry, at, diag));
    EXPECT_EQ(5, at);
    EXPECT_EQ(4, diag);

    sysfs.Remove("1-1:1.1");  // the AT interface went away
    EXPECT_FALSE(Discover(registry, at, diag));
}

TEST_F(SysfsFixture, ConfiguredInterfacesAndProducts) {
    StickUsbConfig acm = config;
    acm.atInterface = 2;
    SysfsRegistry acmRegistry{acm};
    int at = 0, diag = 0;
    ASSERT_TRUE(Discover(acmRegistry, at, diag));
    EXPECT_EQ(100, at);  // ttyACM0
    EXPECT_EQ(4, diag);

    StickUsbConfig other = config;
    other.productId = 0x9001;
    SysfsRegistry otherRegistry{other};
    EXPECT_FALSE(Discover(otherRegistry, at, diag));
    EXPECT_EQ(0u, otherRegistry.OpenKey(kDiagDriverEnumKey)->ReadDword("Count"));

    StickUsbConfig anyProduct = config;
    anyProduct.productId = 0;
    SysfsRegistry anyRegistry{anyProduct};
    EXPECT_TRUE(Discover(anyRegistry, at, diag));

    StickUsbConfig noTty = config;
    noTty.diagInterface = 3;
    SysfsRegistry noTtyRegistry{noTty};
    EXPECT_FALSE(Discover(noTtyRegistry, at, diag));
}

TEST(StickUsbConfigFile, SettingsAndErrors) {
    StickUsbConfig config;
    std::string error;
    ASSERT_TRUE(ParseStickUsbConfig(
        "# the stick\nusb_id = 12D1:1001  # ids\n\ndiag_interface=2\nat_interface = 0\n"
        "sysfs_root = /tmp/sys\n",
        config, error))
        << error;
    EXPECT_EQ(0x12D1, config.vendorId);
    EXPECT_EQ(0x1001, config.productId);
    EXPECT_EQ(2, config.diagInterface);
    EXPECT_EQ(0, config.atInterface);
    EXPECT_EQ("/tmp/sys", config.sysfsRoot);

    for (const char* bad :
         {"usb_id = 12d1", "usb_id = x:1", "usb_id = 10000:1", "diag_interface = -1",
          "at_interface = 256", "speed = 3", "diag_interface", "sysfs_root ="}) {
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

// On a machine with the stick plugged in, the real sysfs names its two ports.
TEST(SysfsRealHardware, FindsAPluggedStick) {
    SysfsRegistry registry;
    const auto diagEnum = registry.OpenKey(kDiagDriverEnumKey);
    ASSERT_NE(nullptr, diagEnum);
    if (diagEnum->ReadDword("Count").value_or(0) == 0) {
        GTEST_SKIP() << "no stick attached";
    }
    VirtualClock clock;
    test::FakeSerialProvider serial{clock};
    test::TempDir dir;
    Env env{&clock, &serial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    EXPECT_TRUE(doc.DiscoverPorts(0));
    EXPECT_GT(doc.Record(0).diagPort, 0);
    EXPECT_GT(doc.Record(0).atPort, 0);
}

}  // namespace
}  // namespace pellan::platform
