// Which stick each line holds, on a device root's registry file written as sticks come and go:
// the real reader, the real document, a fake serial provider that counts every open.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "platform/registry_reg.h"
#include "support/fake_serial.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"

namespace pellan {
namespace {

using platform::RegValue;

struct Plugged {
    std::string location;  // empty: the registry names no location (older device roots)
    int diag;
    int at;  // 0: the stick shows its DIAG interface only
    // "PortName" values other than COM<diag> and COM<at>, and the instance names' stem.
    std::string diagName = "", atName = "", stem = "7&";
};

struct BindingBench : ::testing::Test {
    test::TempDir dir;
    platform::VirtualClock clock;
    test::FakeSerialProvider serial{clock};
    platform::RegFileRegistry registry{dir.Path() / "registry.reg"};
    platform::Env env{&clock, &serial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};

    BindingBench() {
        for (int port = 1; port <= 16; ++port) {
            serial.Port(port);  // every number can be opened: only the binding decides
        }
    }
    // The drivers' lists in the order the sticks appeared, as the contract fixes them.
    void Show(const std::vector<Plugged>& sticks) {
        std::vector<platform::RegKeyData> keys;
        platform::RegKeyData diagEnum{EnumKey("VLKusbser6k"), {}};
        platform::RegKeyData atEnum{EnumKey("VLKusbnmea"), {}};
        for (const Plugged& stick : sticks) {
            for (const auto& [port, list, name] :
                 {std::tuple{stick.diag, &diagEnum, stick.diagName},
                  std::tuple{stick.at, &atEnum, stick.atName}}) {
                if (port == 0) {
                    continue;
                }
                const std::string instance =
                    "USB\\VID_05C6&PID_9000\\" + stick.stem + std::to_string(port);
                list->values.push_back(
                    {std::to_string(list->values.size()), RegValue::Type::String, instance, 0});
                const std::string key = "SYSTEM\\CurrentControlSet\\Enum\\" + instance;
                if (!stick.location.empty()) {
                    keys.push_back(
                        {key,
                         {{"LocationInformation", RegValue::Type::String, stick.location, 0}}});
                }
                keys.push_back({key + "\\Device Parameters",
                                {{"PortName", RegValue::Type::String,
                                  name.empty() ? "COM" + std::to_string(port) : name, 0}}});
            }
        }
        for (auto* list : {&diagEnum, &atEnum}) {
            list->values.push_back(
                {"Count", RegValue::Type::Dword, "", static_cast<uint32_t>(list->values.size())});
            keys.push_back(*list);
        }
        ASSERT_TRUE(platform::WriteRegFile(registry.File(), keys));
    }
    static std::string EnumKey(const std::string& service) {
        return "SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Enum";
    }
    std::string Held(int line) { return doc.Bindings().Location(line); }
};

// Idle lines take the earliest listed location that no other line holds, one stick each.
TEST_F(BindingBench, EachIdleLineTakesTheEarliestFreeStick) {
    Show({{"Port_#0003.Hub_#0001", 9, 10}, {"Port_#0001.Hub_#0001", 5, 6}});
    const struct {
        int line;
        bool found;
        std::string location;
        int diag, at;
    } rows[] = {
        {4, true, "Port_#0003.Hub_#0001", 9, 10},
        {4, true, "Port_#0003.Hub_#0001", 9, 10},  // a line keeps what it holds
        {0, true, "Port_#0001.Hub_#0001", 5, 6},
        {7, false, "", 0, 0},  // both sticks are held
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.found, doc.DiscoverPorts(row.line)) << row.line;
        EXPECT_EQ(row.location, Held(row.line)) << row.line;
        EXPECT_EQ(row.diag, doc.LineDiagPort(row.line)) << row.line;
        EXPECT_EQ(row.at, doc.LineAtPort(row.line)) << row.line;
    }
    // The settings file's numbers stay what they were: the binding carries the ports.
    EXPECT_EQ(1, doc.Record(0).diagPort);
    EXPECT_EQ(0, doc.Record(4).diagPort);
    // A line holding nothing cannot open another line's stick by its number.
    EXPECT_FALSE(doc.ReopenDiagPort(7, 5, 115200));
    EXPECT_EQ(0, serial.Port(5).OpenCount());
    EXPECT_TRUE(doc.ReopenDiagPort(0, 1, 115200));  // the number given does not matter
    EXPECT_EQ(1, serial.Port(5).OpenCount());
}

// Both sticks restart at once and come back renumbered; B first, under A's old numbers. A's line
// never opens them while A is away and follows A to its new numbers.
TEST_F(BindingBench, ALineFollowsItsStickAcrossRenumberedRestarts) {
    const std::string a = "Port_#0001.Hub_#0001", b = "Port_#0002.Hub_#0001";
    Show({{a, 5, 6}, {b, 7, 8}});
    ASSERT_TRUE(doc.DiscoverPorts(0));
    ASSERT_TRUE(doc.DiscoverPorts(1));
    doc.Runtime(0).running = 1;
    doc.Runtime(1).running = 1;
    ASSERT_TRUE(doc.ReopenDiagPort(0, doc.LineDiagPort(0), 115200));

    const struct {
        std::vector<Plugged> shown;
        bool aPresent;
        int aDiag, aAt, bDiag;
    } rows[] = {
        {{}, false, 0, 0, 0},                                     // both off the bus
        {{{b, 5, 6}}, false, 0, 0, 5},                            // B takes A's old numbers
        {{{b, 5, 6}, {a, 11, 0}}, true, 11, 0, 5},                // A back in the boot downloader
        {{{b, 5, 6}, {a, 11, 0}, {a, 13, 14}}, true, 13, 14, 5},  // the last instance counts
    };
    for (const auto& row : rows) {
        Show(row.shown);
        EXPECT_EQ(row.aPresent, doc.DiscoverPorts(0));
        const int opensBefore = serial.Port(5).OpenCount() + serial.Port(6).OpenCount();
        EXPECT_EQ(row.aPresent, doc.ReopenDiagPort(0, 5, 115200));
        EXPECT_EQ(row.aAt != 0, doc.ReopenAtPort(0, 6, 115200));
        EXPECT_EQ(opensBefore, serial.Port(5).OpenCount() + serial.Port(6).OpenCount())
            << "line 0 opened a port of B";
        EXPECT_EQ(row.aDiag, doc.LineDiagPort(0));
        EXPECT_EQ(row.aAt, doc.LineAtPort(0));
        EXPECT_EQ(row.bDiag != 0, doc.ReopenDiagPort(1, 7, 115200));
        EXPECT_EQ(row.bDiag, doc.LineDiagPort(1));
        EXPECT_EQ(a, Held(0));  // a running line never lets go
        EXPECT_EQ(b, Held(1));
    }
}

// An idle line lets its stick go after three missed searches in a row, but not within 60 s after
// its job reset the stick.
TEST_F(BindingBench, ReleaseAfterThreeMissesExceptAfterAReset) {
    const std::string a = "Port_#0001.Hub_#0001";
    const struct {
        bool reset;
        uint32_t waitMs;  // before the misses
        int misses;
        bool held;
    } rows[] = {
        {false, 0, 2, true},    {false, 0, 3, false},    {true, 0, 5, true},
        {true, 59000, 3, true}, {true, 61000, 3, false},
    };
    for (const auto& row : rows) {
        doc.Bindings().Release(0);
        Show({{a, 5, 6}});
        ASSERT_TRUE(doc.DiscoverPorts(0));
        if (row.reset) {
            doc.Bindings().KeepAfterReset(0);
        }
        Show({});
        clock.SleepMs(row.waitMs);
        for (int i = 0; i < row.misses; ++i) {
            EXPECT_FALSE(doc.DiscoverPorts(0));
        }
        EXPECT_EQ(row.held, doc.Bindings().Holds(0))
            << "reset " << row.reset << ", " << row.waitMs << " ms, " << row.misses << " misses";
    }
    // A stick that came back ends the grace: later misses count again.
    doc.Bindings().KeepAfterReset(0);
    Show({{a, 7, 8}});
    ASSERT_TRUE(doc.DiscoverPorts(0));
    Show({});
    for (int i = 0; i < 3; ++i) {
        doc.DiscoverPorts(0);
    }
    EXPECT_FALSE(doc.Bindings().Holds(0));
}

// Without locations the registry is read as described (the last instance of each list, into the
// line's record), but only one line at a time holds that stick.
TEST_F(BindingBench, WithoutLocationsOneLineHoldsTheLastInstances) {
    Show({{"", 5, 6}, {"", 7, 8}});
    EXPECT_TRUE(doc.DiscoverPorts(2));
    EXPECT_EQ(7, doc.Record(2).diagPort);  // the last instances, stored as described
    EXPECT_EQ(8, doc.Record(2).atPort);
    EXPECT_FALSE(doc.DiscoverPorts(0));  // line 3 holds the one stick
    Show({});
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(doc.DiscoverPorts(2));
    }
    Show({{"", 5, 6}});
    EXPECT_TRUE(doc.DiscoverPorts(0));
    EXPECT_TRUE(doc.ReopenDiagPort(0, 5, 115200));  // the record's number
}

// The described reading of a registry without locations, one row per fault: the line starts with
// AT 77 and DIAG 88, and only what was read is stored. Stored files first; then "PortName" values,
// the decimal number after the first three characters, 0 meaning none, and a value longer than
// the 1024-byte buffer, which cannot be read.
TEST_F(BindingBench, WithoutLocationsEachFaultOfTheRegistry) {
    const auto expect = [&](const std::string& row, bool found, int at, int diag) {
        doc.Bindings().Release(2);
        doc.Record(2).atPort = 77;
        doc.Record(2).diagPort = 88;
        EXPECT_EQ(found, doc.DiscoverPorts(2)) << row;
        EXPECT_EQ(at, doc.Record(2).atPort) << row;
        EXPECT_EQ(diag, doc.Record(2).diagPort) << row;
        EXPECT_EQ(0, doc.Record(1).atPort) << "another line was touched";
    };
    const struct {
        const char* fixture;
        bool found;
        int at, diag;
    } files[] = {
        {"one_stick.reg", true, 3, 12},
        {"two_sticks.reg", true, 21, 20},  // the instances named Count - 1
        // Without the AT driver nothing is found although the DIAG driver is there.
        {"missing_at_driver.reg", false, 77, 88},
        // Without the DIAG driver the AT port is stored, but the search still fails.
        {"missing_diag_driver.reg", false, 3, 88},
        {"missing_count.reg", false, 77, 88},
        {"count_as_text.reg", false, 77, 88},
        {"count_zero.reg", false, 77, 88},
        {"missing_instance_value.reg", false, 77, 88},
        {"missing_at_portname.reg", false, 77, 88},
        {"missing_diag_portname.reg", false, 3, 88},
        {"portname_without_number.reg", false, 77, 88},
        {"malformed_dword.reg", false, 77, 88},
        {"no_such_file.reg", false, 77, 88},
    };
    const auto fixtures = std::filesystem::path(PELLAN_SOURCE_DIR) / "tests/discovery/fixtures";
    for (const auto& row : files) {
        std::filesystem::remove(registry.File());
        if (std::string(row.fixture) != "no_such_file.reg") {
            std::filesystem::copy_file(fixtures / row.fixture, registry.File());
        }
        expect(row.fixture, row.found, row.at, row.diag);
    }
    const struct {
        std::string at, diag;
        bool found;
        int atPort, diagPort;
        std::string stem = "6&1&";
    } names[] = {
        {"COM3", "COM12", true, 3, 12},
        {"com9", "COM10", true, 9, 10},
        {"COM0", "COM4", false, 77, 88},
        {"COM", "COM4", false, 77, 88},
        {"CO", "COM4", false, 77, 88},
        {"COM7x", "COM8", true, 7, 8},
        {"COM3", "COM4", false, 77, 88, std::string(1100, 'x')},
    };
    for (const auto& row : names) {
        Show({{"", 1, 2, row.diag, row.at, row.stem}});
        expect(row.at, row.found, row.atPort, row.diagPort);
    }
    // Without a registry at all nothing is found, nor on a line the station does not have.
    platform::Env bare{&clock, &serial, nullptr, {}};
    EXPECT_FALSE(CPellanDoc(bare, dir.Path()).DiscoverPorts(0));
    Show({{"", 1, 2}});
    EXPECT_FALSE(doc.DiscoverPorts(8));
    EXPECT_TRUE(doc.DiscoverPorts(2));
}

}  // namespace
}  // namespace pellan
