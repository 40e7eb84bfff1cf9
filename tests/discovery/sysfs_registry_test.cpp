#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <tuple>

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

    // Runs the discovery of line 0, then of line 1, in one document over the backend; the ports
    // are what each line uses (0: no stick).
    std::array<std::pair<int, int>, 2> Discover(SysfsRegistry& registry) {
        VirtualClock clock;
        test::FakeSerialProvider serial{clock};
        Env env{&clock, &serial, &registry, {}};
        CPellanDoc doc{env, dir.Path()};
        std::array<std::pair<int, int>, 2> ports{};
        for (int line = 0; line < 2; ++line) {
            if (doc.DiscoverPorts(line)) {
                ports[static_cast<size_t>(line)] = {doc.LineAtPort(line), doc.LineDiagPort(line)};
            }
        }
        EXPECT_EQ(1, doc.Record(0).diagPort) << "the settings' number stays";
        return ports;
    }
    using Ports = std::array<std::pair<int, int>, 2>;
};

// Each line holds the stick in its own USB port (ttyUSB<N> is COM<N+1>); another vendor's device
// is not shown; a stick that shows only its DIAG interface (the boot downloader) is still there.
TEST_F(SysfsFixture, EachLineTakesTheStickOfItsOwnUsbPort) {
    SysfsRegistry registry{config};
    EXPECT_EQ((Ports{{{5, 4}, {0, 0}}}), Discover(registry));
    EXPECT_EQ(nullptr, registry.OpenKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"));
    sysfs.AddDevice("2-3", "05c6", "9000", 2, 9);
    sysfs.AddInterface("2-3", 0, "ttyUSB10");
    sysfs.AddInterface("2-3", 1, "ttyUSB11");
    EXPECT_EQ((Ports{{{5, 4}, {12, 11}}}), Discover(registry));
    sysfs.Remove("1-1:1.1");  // the AT interface went away
    EXPECT_EQ((Ports{{{0, 4}, {12, 11}}}), Discover(registry));
    sysfs.Remove("2-3:1.0");
    sysfs.Remove("2-3:1.1");
    sysfs.Remove("2-3");
    EXPECT_EQ((Ports{{{0, 4}, {0, 0}}}), Discover(registry));
}

TEST_F(SysfsFixture, ConfiguredInterfacesAndProducts) {
    const struct {
        int at, diag, productId;
        std::pair<int, int> ports;
    } rows[] = {
        {2, 0, 0x9000, {100, 4}},  // ttyACM0
        {1, 0, 0x9001, {0, 0}},    // another product
        {1, 0, 0, {5, 4}},         // any product of the vendor
        {1, 3, 0x9000, {0, 0}},    // an interface without a tty
    };
    for (const auto& row : rows) {
        StickUsbConfig changed = config;
        std::tie(changed.atInterface, changed.diagInterface) = std::tuple(row.at, row.diag);
        changed.productId = static_cast<uint16_t>(row.productId);
        SysfsRegistry registry{changed};
        EXPECT_EQ(row.ports, Discover(registry)[0]) << row.at << " " << row.productId;
    }
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
    EXPECT_FALSE(doc.Bindings().Location(0).empty());
    EXPECT_GT(doc.LineDiagPort(0), 0);
}

}  // namespace
}  // namespace pellan::platform
