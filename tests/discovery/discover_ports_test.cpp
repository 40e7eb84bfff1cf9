#include <gtest/gtest.h>

#include "platform/registry_reg.h"
#include "support/fake_serial.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"

namespace pellan {
namespace {

std::filesystem::path Fixture(const std::string& name) {
    return std::filesystem::path(PELLAN_SOURCE_DIR) / "tests" / "discovery" / "fixtures" / name;
}

struct DiscoveryCase {
    const char* fixture;
    bool found;
    int atPort;  // after the call; the line starts with AT 77 and DIAG 88
    int diagPort;
};

class DiscoverPortsTest : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(DiscoverPortsTest, FromRegistryFile) {
    const DiscoveryCase c = GetParam();
    ASSERT_EQ(std::string(c.fixture) != "no_such_file.reg",
              std::filesystem::exists(Fixture(c.fixture)))
        << c.fixture;
    platform::VirtualClock clock;
    test::FakeSerialProvider serial{clock};
    test::TempDir dir;
    platform::RegFileRegistry registry{Fixture(c.fixture)};
    platform::Env env{&clock, &serial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    const int line = 2;
    doc.Record(line).atPort = 77;
    doc.Record(line).diagPort = 88;
    EXPECT_EQ(c.found, doc.DiscoverPorts(line));
    EXPECT_EQ(c.atPort, doc.Record(line).atPort);
    EXPECT_EQ(c.diagPort, doc.Record(line).diagPort);
    // Other lines are not touched.
    EXPECT_EQ(0, doc.Record(1).atPort);
    EXPECT_EQ(0, doc.Record(1).diagPort);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, DiscoverPortsTest,
    ::testing::Values(DiscoveryCase{"one_stick.reg", true, 3, 12},
                      DiscoveryCase{"two_sticks.reg", true, 21,
                                    20},  // the instances named Count - 1
                      // Without the AT driver nothing is found although the DIAG driver is there.
                      DiscoveryCase{"missing_at_driver.reg", false, 77, 88},
                      // Without the DIAG driver the AT port is stored, but the search still fails.
                      DiscoveryCase{"missing_diag_driver.reg", false, 3, 88},
                      DiscoveryCase{"missing_count.reg", false, 77, 88},
                      DiscoveryCase{"count_as_text.reg", false, 77, 88},
                      DiscoveryCase{"count_zero.reg", false, 77, 88},
                      DiscoveryCase{"missing_instance_value.reg", false, 77, 88},
                      DiscoveryCase{"missing_at_portname.reg", false, 77, 88},
                      DiscoveryCase{"missing_diag_portname.reg", false, 3, 88},
                      DiscoveryCase{"portname_without_number.reg", false, 77, 88},
                      DiscoveryCase{"malformed_dword.reg", false, 77, 88},
                      DiscoveryCase{"no_such_file.reg", false, 77, 88}),
    [](const auto& info) {
        std::string name = info.param.fixture;
        name = name.substr(0, name.find('.'));
        return name;
    });

TEST(DiscoverPorts, PortNamesAndLimits) {
    test::TempDir dir;
    const auto file = dir.Path() / "registry.reg";
    platform::RegFileRegistry registry{file};
    platform::VirtualClock clock;
    test::FakeSerialProvider serial{clock};
    platform::Env env{&clock, &serial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};

    auto publish = [&](const std::string& atName, const std::string& diagName,
                       const std::string& instance) {
        using platform::RegValue;
        std::vector<platform::RegKeyData> keys = {
            {"SYSTEM\\CurrentControlSet\\Services\\VLKusbnmea\\Enum",
             {{"Count", RegValue::Type::Dword, "", 1},
              {"0", RegValue::Type::String, instance + "1", 0}}},
            {"SYSTEM\\CurrentControlSet\\Services\\VLKusbser6k\\Enum",
             {{"Count", RegValue::Type::Dword, "", 1},
              {"0", RegValue::Type::String, instance + "0", 0}}},
            {"SYSTEM\\CurrentControlSet\\Enum\\" + instance + "1\\Device Parameters",
             {{"PortName", RegValue::Type::String, atName, 0}}},
            {"SYSTEM\\CurrentControlSet\\Enum\\" + instance + "0\\Device Parameters",
             {{"PortName", RegValue::Type::String, diagName, 0}}},
        };
        ASSERT_TRUE(platform::WriteRegFile(file, keys));
    };
    struct Case {
        std::string at, diag;
        bool found;
        int atPort, diagPort;
    } cases[] = {
        {"COM3", "COM12", true, 3, 12},  {"COM1", "COM255", true, 1, 255},
        {"com9", "COM10", true, 9, 10},   // only the number after three characters counts
        {"COM0", "COM4", false, -1, -1},  // port 0 means none
        {"COM", "COM4", false, -1, -1},  {"CO", "COM4", false, -1, -1},
        {"COM7x", "COM8", true, 7, 8},  // trailing text after the number is ignored
    };
    for (const auto& c : cases) {
        doc.Record(0).atPort = -1;
        doc.Record(0).diagPort = -1;
        publish(c.at, c.diag, "USB\\VID_05C6&PID_9000\\6&1&");
        EXPECT_EQ(c.found, doc.DiscoverPorts(0)) << c.at;
        EXPECT_EQ(c.atPort, doc.Record(0).atPort) << c.at;
        EXPECT_EQ(c.diagPort, doc.Record(0).diagPort) << c.at;
    }
    // A value longer than the 1024-byte buffer cannot be read.
    publish("COM3", "COM4", std::string(1100, 'x'));
    EXPECT_FALSE(doc.DiscoverPorts(0));
    // Without a registry at all nothing is found.
    platform::Env bare{&clock, &serial, nullptr, {}};
    CPellanDoc bareDoc{bare, dir.Path()};
    EXPECT_FALSE(bareDoc.DiscoverPorts(0));
    EXPECT_FALSE(doc.DiscoverPorts(8));
}

}  // namespace
}  // namespace pellan
