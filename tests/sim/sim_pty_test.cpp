// The simulated stick behind a device root: registry.reg and COM<N> links to pseudo-terminals,
// reached only through the contract's backends (the .reg registry and the POSIX serial ports).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/clock.h"
#include "platform/registry_reg.h"
#include "platform/serial_posix.h"
#include "sim/device_root.h"
#include "sim/sim_host.h"
#include "sim/sim_machine.h"
#include "support/temp_dir.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

class SimDeviceRoot : public ::testing::Test {
  protected:
    void Publish(sim::StickOptions options) {
        options.leaveDelayMs = 30;
        options.reenumDelayMs = 300;
        options.downloaderReenumDelayMs = 200;
        options.replyLatencyMs = 1;
        stick = machine.AddStick(options);
        std::string error;
        ASSERT_TRUE(publisher.Start(error)) << error;
    }
    std::string RegistryText() {
        std::ifstream in(dir.Path() / "registry.reg");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool Node(int port) { return fs::is_symlink(dir.Path() / ("COM" + std::to_string(port))); }

    TempDir dir;
    platform::SystemClock clock;
    sim::SimMachine machine{clock};
    sim::DeviceRootPublisher publisher{machine, dir.Path()};
    std::shared_ptr<sim::StickModel> stick;
    platform::RegFileRegistry registry{dir.Path() / "registry.reg"};
    platform::PosixSerialProvider serial{dir.Path()};
    Host host{serial, clock};
};

TEST_F(SimDeviceRoot, PublishesTheContractLayout) {
    Publish({});
    const std::string text = RegistryText();
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00", 0), 0u);
    EXPECT_NE(
        text.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLKusbser6k\\Enum]"),
        std::string::npos);
    EXPECT_NE(text.find("\"Count\"=dword:00000001"), std::string::npos);
    EXPECT_NE(text.find("\"PortName\"=\"COM5\""), std::string::npos);
    EXPECT_TRUE(Node(5));
    EXPECT_TRUE(Node(6));
    EXPECT_TRUE(fs::exists(fs::read_symlink(dir.Path() / "COM5")));
    const auto ports = Discover(registry);
    ASSERT_TRUE(ports);
    EXPECT_EQ(ports->diag, 5);
    EXPECT_EQ(ports->at, 6);

    publisher.Stop();
    EXPECT_FALSE(Node(5));
    EXPECT_FALSE(Node(6));
    EXPECT_FALSE(Discover(registry));
}

TEST_F(SimDeviceRoot, HostTalksOverPseudoTerminals) {
    Publish({});
    ASSERT_TRUE(host.OpenDiag(5));
    ASSERT_TRUE(host.OpenAt(6));
    uint32_t esn = 0;
    ASSERT_TRUE(host.link.ReadEsn(esn));
    EXPECT_EQ(esn, stick->Options().esn);
    std::array<uint8_t, 303> set{};
    ASSERT_TRUE(host.link.ReadVersionSet(set.data()));
    EXPECT_STREQ(reinterpret_cast<char*>(set.data() + 249), "HX402A");
    EXPECT_TRUE(host.link.EnterDiagByAt());
    std::string version;
    ASSERT_TRUE(host.at.QueryVersion(version));
    EXPECT_EQ(version, "HX402A_V1.0.3_B05");
    uint8_t data[128] = {};
    uint16_t status = 0;
    ASSERT_TRUE(host.link.ReadNvItem(550, data, status));
    EXPECT_EQ(sim::UnpackImei(*stick->NvItem(550)), "358812045678903");
}

TEST_F(SimDeviceRoot, RestartRenumbersPortsVisiblyInTheDeviceRoot) {
    sim::StickOptions options;
    options.renumberOn = sim::RENUMBER_ON_RESET_PHONE;
    Publish(options);
    ASSERT_TRUE(host.OpenDiag(5));
    ASSERT_TRUE(host.link.ResetPhone());
    clock.SleepMs(150);
    EXPECT_FALSE(Node(5)) << "the stick left the bus";
    uint32_t esn = 0;
    EXPECT_FALSE(host.link.ReadEsn(esn)) << "a handle on a vanished port is dead";
    const auto ports = host.WaitForPorts(registry, 5000);
    ASSERT_TRUE(ports);
    EXPECT_EQ(ports->diag, 15);
    EXPECT_EQ(ports->at, 16);
    EXPECT_TRUE(Node(15));
    EXPECT_TRUE(Node(16));
    EXPECT_FALSE(Node(5));
    EXPECT_EQ(RegistryText().find("\"COM5\""), std::string::npos);
    ASSERT_TRUE(host.OpenDiag(15));
    EXPECT_TRUE(host.link.ReadEsn(esn));
}

TEST_F(SimDeviceRoot, NormalToDownloaderToProgrammerAndBack) {
    Publish({});
    ASSERT_TRUE(host.OpenDiag(5));
    ASSERT_TRUE(host.link.SwitchToDownloader());
    clock.SleepMs(100);
    ASSERT_TRUE(host.WaitForDiag(5, 5000, [&] { return host.link.DloadNop(); }));
    EXPECT_FALSE(Node(6)) << "the downloader has no AT port";
    const auto armprg = TestImage(4000, 1);
    for (uint32_t off = 0; off < armprg.size(); off += 1017) {
        const auto n = static_cast<uint16_t>(std::min<size_t>(1017, armprg.size() - off));
        ASSERT_TRUE(host.link.DloadWrite32(armprg.data() + off, 0x00800000 + off, n));
    }
    ASSERT_TRUE(host.link.DloadGo(0x0080, 0x0000));
    ASSERT_TRUE(host.link.StreamHello());
    ASSERT_TRUE(host.link.StreamSecurityMode());

    // A windowed transfer: blocks go out without waiting, acknowledgements are harvested later.
    const auto image = TestImage(200 * 1024, 2);
    ASSERT_TRUE(host.link.StreamOpenMultiImage(0x05, nullptr, 0));
    std::vector<uint32_t> acked;
    for (uint32_t off = 0; off < image.size(); off += 1024) {
        ASSERT_TRUE(host.link.StreamWriteNoWait(image.data() + off, off, 1024));
        if ((off / 1024) % 5 == 4) {
            const uint32_t start = clock.TickMs();
            while (acked.size() < off / 1024 + 1 && clock.TickMs() - start < 2000) {
                // An empty queue leaves the previous scan's list in place: collect only input.
                if (host.link.m_port.BytesWaiting() > 0) {
                    ASSERT_TRUE(host.link.CollectStreamAcks());
                    acked.insert(acked.end(), host.link.m_ackList.begin(),
                                 host.link.m_ackList.begin() + host.link.m_ackCount);
                }
                clock.SleepMs(1);
            }
        }
    }
    ASSERT_EQ(acked.size(), 200u);
    for (size_t i = 0; i < acked.size(); ++i) {
        ASSERT_EQ(acked[i], i * 1024);
    }
    ASSERT_TRUE(host.link.StreamClose());
    EXPECT_TRUE(stick->RamImage().Equals(armprg));
    EXPECT_TRUE(stick->LatestImage(0x05)->image.Equals(image));

    ASSERT_TRUE(host.link.StreamReset());
    clock.SleepMs(100);
    ASSERT_TRUE(host.WaitForDiag(5, 5000, [&] {
        uint32_t esn = 0;
        return host.link.ReadEsn(esn);
    }));
    EXPECT_TRUE(Node(6));
    EXPECT_TRUE(Discover(registry));
    const auto report = nlohmann::json::parse(stick->ReportJson());
    EXPECT_EQ(report["commandCounts"]["StreamWrite"], 200);
    EXPECT_EQ(report["enumerations"], 3);
}

}  // namespace
}  // namespace pellan::test
