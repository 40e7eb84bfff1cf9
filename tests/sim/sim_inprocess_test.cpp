// The simulated stick in process, driven by the host's own protocol operations on a virtual clock.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <nlohmann/json.hpp>

#include "diag/frame_codec.h"
#include "sim/image_assembly.h"
#include "sim/sim_host.h"
#include "sim/sim_machine.h"

namespace pellan::test {
namespace {

using sim::StickMode;
using Names = std::vector<std::string>;

class SimStick : public ::testing::Test {
  protected:
    void Plug(sim::StickOptions options = {}) {
        stick = machine.AddStick(std::move(options));
        ASSERT_TRUE(host.OpenDiag(stick->Options().diagPort));
        ASSERT_TRUE(host.OpenAt(stick->Options().atPort));
    }
    void Wait(uint32_t ms) { clock.SleepMs(ms); }
    // The last instance each driver lists, as "COM<N>@<location>" ("" when the list is empty).
    std::string Last(const char* service) {
        const Names listed = Listed(registry, service);
        return listed.empty() ? "" : listed.back();
    }
    void EnterProgrammer(const std::vector<uint8_t>& armprg) {
        const int port = stick->Bus().diagPort;
        ASSERT_TRUE(host.link.SwitchToDownloader());
        Wait(500);
        EXPECT_FALSE(host.link.DloadNop()) << "the old handle must be dead once the stick left";
        ASSERT_TRUE(host.WaitForDiag(port, 10000, [&] { return host.link.DloadNop(); }));
        ASSERT_EQ(stick->Mode(), StickMode::kDownloader);
        for (uint32_t off = 0; off < armprg.size(); off += 1017) {
            const auto n = static_cast<uint16_t>(std::min<size_t>(1017, armprg.size() - off));
            ASSERT_TRUE(host.link.DloadWrite32(armprg.data() + off, 0x00800000 + off, n));
        }
        ASSERT_TRUE(host.link.DloadGo(0x0080, 0x0000));
        ASSERT_TRUE(host.link.StreamHello());
        ASSERT_TRUE(host.link.StreamNop());
        ASSERT_EQ(stick->Mode(), StickMode::kProgrammer);
    }
    bool WriteImage(uint8_t type, const std::vector<uint8_t>& bytes) {
        bool ok = host.link.StreamOpenMultiImage(type, nullptr, 0);
        for (uint32_t off = 0; ok && off < bytes.size(); off += 1024) {
            const auto n = static_cast<uint32_t>(std::min<size_t>(1024, bytes.size() - off));
            ok = host.link.StreamWrite(bytes.data() + off, off, n);
        }
        return ok && host.link.StreamClose();
    }
    platform::VirtualClock clock;
    sim::SimMachine machine{clock};
    sim::SimSerialProvider serial{machine};
    sim::SimRegistry registry{machine};
    Host host{serial, clock};
    std::shared_ptr<sim::StickModel> stick;
};

// The command-level answers are checked against the simulator in tests/programming and tests/job;
// these are the stick's own rules: arming, restarts and renumbering, its modes, its flash, and a
// station of several sticks.

TEST_F(SimStick, DownloadModeAnswerNeedsEveryArmingStepAndAReset) {
    const struct {
        const char* name;
        bool vendor1, wcdrunE, wcdrun8;
    } rows[] = {{"all", true, true, true},
                {"no vendor mode", false, true, true},
                {"no E", true, false, true},
                {"no 8", true, true, false}};
    int diag = 5;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        sim::StickOptions options;
        options.diagPort = diag;
        options.atPort = diag + 1;
        diag += 2;
        Plug(options);
        EXPECT_FALSE(host.link.SetVendorMode(2)) << "not armed yet";
        EXPECT_TRUE(!row.vendor1 || host.link.SetVendorMode(1));
        EXPECT_TRUE(!row.wcdrunE || host.at.SendCommand("AT+WCDRUN=E"));
        EXPECT_TRUE(!row.wcdrun8 || host.at.SendCommand("AT+WCDRUN=8"));
        EXPECT_FALSE(host.link.SetVendorMode(2)) << "armed but not restarted";
        ASSERT_TRUE(host.link.ResetPhone());
        Wait(5000);
        ASSERT_TRUE(host.OpenDiag(options.diagPort));
        const bool armed = row.vendor1 && row.wcdrunE && row.wcdrun8;
        EXPECT_EQ(host.link.SetVendorMode(2), armed);
        EXPECT_EQ(stick->InDownloadState(), armed);
    }
}

TEST_F(SimStick, RestartsRenumberComeBackLateOrNever) {
    sim::StickOptions options;
    options.renumberOn = sim::RENUMBER_ON_RESET_PHONE;
    options.reenumDelayMs = 30000;
    Plug(options);
    // Armed and reset, as the update job does before it waits for the stick.
    ASSERT_TRUE(host.link.SetVendorMode(1));
    ASSERT_TRUE(host.link.SetAutorun(0));
    ASSERT_TRUE(host.at.SendCommand("AT+WCDRUN=E"));
    ASSERT_TRUE(host.at.SendCommand("AT+WCDRUN=8"));
    ASSERT_TRUE(host.link.GoOffline());
    ASSERT_TRUE(host.link.ResetPhone());
    Wait(200);
    EXPECT_EQ(Last(sim::kDiagService), "") << "the drivers' lists are empty while it restarts";
    EXPECT_FALSE(host.Esn());
    EXPECT_EQ(
        host.link.m_lastError,
        "Cannot Get the ESN Number of the Phone, Since Port Cannot Send desired data to the Phone");
    Wait(25000);
    EXPECT_EQ(Last(sim::kDiagService), "") << "not back before its time";
    Wait(5000);
    EXPECT_EQ(Last(sim::kDiagService), "COM15@Port_#0001.Hub_#0001");
    EXPECT_EQ(Last(sim::kAtService), "COM16@Port_#0001.Hub_#0001");
    ASSERT_TRUE(host.OpenDiag(15));  // the old number going away: tests/e2e/sim_device_root.sh
    EXPECT_TRUE(host.link.SetVendorMode(2));

    // The way back: disarmed and reset, the download answer is refused again.
    ASSERT_TRUE(host.OpenAt(16));
    ASSERT_TRUE(host.link.SetVendorMode(0));
    ASSERT_TRUE(host.link.SetAutorun(1));
    ASSERT_TRUE(host.at.SendCommand("AT+WCDRUN=F"));
    ASSERT_TRUE(host.at.SendCommand("AT+WCDRUN=9"));
    sim::FaultPlan faults;
    faults.neverReturn = true;
    stick->SetFaults(faults);
    ASSERT_TRUE(host.link.ResetPhone());
    Wait(120000);
    EXPECT_EQ(Last(sim::kDiagService), "") << "a stick that never comes back";
    stick->Plug();  // the user pulls the stick out and plugs it in again
    EXPECT_EQ(Last(sim::kDiagService), "COM15@Port_#0001.Hub_#0001") << "a plug-in keeps them";
    ASSERT_TRUE(host.OpenDiag(15));
    EXPECT_FALSE(host.link.SetVendorMode(2));
    EXPECT_EQ(stick->Autorun(), 1);
}

TEST_F(SimStick, NormalToDownloaderToProgrammerAndBack) {
    Plug();
    // Drawn challenges avoid the flag and escape bytes (the host compares the raw reply).
    uint8_t challenge[8] = {};
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(host.link.GetValue8(challenge));
        EXPECT_EQ(std::memchr(challenge, 0x7E, 8), nullptr);
        EXPECT_EQ(std::memchr(challenge, 0x7D, 8), nullptr);
        EXPECT_TRUE(host.link.SetValue16(sim::Md5(challenge, 8).data()));
    }
    // What the stick holds after an update (RAM, partition table, images, their report) is
    // checked by every update in tests/e2e (update_report_check.py); here its modes.
    EnterProgrammer(TestImage(2035, 1));
    EXPECT_EQ(Last(sim::kAtService), "") << "no AT port while the downloader or programmer runs";
    EXPECT_EQ(Last(sim::kDiagService), "COM5@Port_#0001.Hub_#0001");
    EXPECT_FALSE(host.link.DloadNop()) << "the programmer does not speak DMSS";
    ASSERT_TRUE(host.link.StreamSecurityMode());
    ASSERT_TRUE(WriteImage(0x0F, TestImage(35340, 3)));
    ASSERT_TRUE(WriteImage(0x09, TestImage(5000, 4)));

    const auto report = nlohmann::json::parse(stick->ReportJson());
    Names fromReport;
    for (const auto& entry : report["commands"]) {
        fromReport.insert(fromReport.end(), entry["count"].get<size_t>(), entry["name"]);
    }
    EXPECT_EQ(fromReport, stick->CommandNames()) << "runs are folded, nothing is lost";
    EXPECT_EQ(report["commandCounts"]["StreamWrite"], 40);

    ASSERT_TRUE(host.link.StreamReset());
    Wait(200);
    ASSERT_TRUE(host.WaitForDiag(5, 10000, [&] { return host.Esn(); }));
    EXPECT_EQ(stick->Mode(), StickMode::kNormal);
    EXPECT_FALSE(stick->NvItem(550)) << "a factory file system carries no calibration";
}

TEST_F(SimStick, ProgrammerKeepsThePartitionTableInFlash) {
    sim::StickOptions options;
    options.flashPartitionTable = TestImage(464, 11);
    Plug(options);
    EnterProgrammer(TestImage(3000, 9));
    // A table that differs from the one in flash needs the override, then goes through with it.
    const auto table = TestImage(464, 2);
    ASSERT_TRUE(host.link.StreamPartitionTable(table.data(), 464));
    EXPECT_EQ(host.link.m_partOverride, 1);
    ASSERT_TRUE(host.link.StreamPartitionTable(table.data(), 464));
    EXPECT_EQ(stick->PartitionOverrideFlag(), 1) << "the second table carries the override";
    EXPECT_EQ(host.link.m_partOverride, 0);
    ASSERT_TRUE(host.link.StreamPartitionTable(table.data(), 464));
    EXPECT_EQ(host.link.m_partOverride, 0) << "the table in flash is this one now";
}

TEST_F(SimStick, DamagedFramesAndSilenceUntilPowerCycled) {
    sim::StickOptions options;
    options.faults.stopAnswering = {"ReadEsn", 2};
    Plug(options);
    std::vector<uint8_t> frame = frame::EncodeFrame(std::vector<uint8_t>{0x01}, false);
    frame[1] ^= 0x01;  // break the CRC
    ASSERT_EQ(host.link.m_port.Write(frame.data(), frame.size()), frame.size());
    Wait(50);
    uint8_t reply[64];
    ASSERT_GT(host.link.m_port.Read(reply, sizeof reply), 0u);
    EXPECT_EQ(reply[0], 0x13) << "a damaged request is answered as a bad command";
    EXPECT_EQ(stick->CrcErrors(), 1u);
    EXPECT_TRUE(host.Esn());
    EXPECT_FALSE(host.Esn()) << "silent from the second ReadEsn on";
    std::array<uint8_t, 303> versionSet{};
    EXPECT_FALSE(host.link.ReadVersionSet(versionSet.data()));
    EXPECT_FALSE(host.at.SendCommand("AT"));
    stick->Unplug();
    stick->Plug();
    ASSERT_TRUE(host.OpenDiag(5));
    EXPECT_TRUE(host.Esn()) << "a power cycle ends the silence";
}

// Three sticks on one machine, the way a station sees them: each in its own USB port through
// every restart, the restarted one listed last.
TEST_F(SimStick, StationOfSticksKeepsTheirLocations) {
    machine.SetPortPolicy(sim::PortPolicy::kLowestFree);
    std::vector<std::shared_ptr<sim::StickModel>> sticks;
    for (int k = 0; k < 3; ++k) {
        sim::StickOptions o;
        o.diagPort = 3 + 2 * k;
        o.atPort = 4 + 2 * k;
        o.serial = "000" + std::to_string(k + 1);
        o.renumberOn = sim::RENUMBER_ON_DOWNLOADER;
        o.reenumDelayMs = 1000;
        sticks.push_back(machine.AddStick(o));
    }
    sim::StickOptions sameUsbPort;
    sameUsbPort.location = "Port_#0002.Hub_#0001";
    EXPECT_EQ(machine.AddStick(sameUsbPort), nullptr) << "two sticks cannot share a USB port";
    EXPECT_EQ(Listed(registry, sim::kDiagService),
              (Names{"COM3@Port_#0001.Hub_#0001", "COM5@Port_#0002.Hub_#0001",
                     "COM7@Port_#0003.Hub_#0001"}));

    // Numbers handed on between restarting sticks: sim_pty_test, through a device root. In the
    // boot downloader a stick shows its DIAG interface only, in the same USB port, on new numbers.
    ASSERT_TRUE(host.OpenDiag(5));
    ASSERT_TRUE(host.link.SwitchToDownloader());
    Wait(2000);
    EXPECT_EQ(Last(sim::kDiagService), "COM9@Port_#0002.Hub_#0001");
    EXPECT_EQ(Listed(registry, sim::kAtService),
              (Names{"COM4@Port_#0001.Hub_#0001", "COM8@Port_#0003.Hub_#0001"}));

    // A stick pulled out on a command stays out; one plugged in late takes the freed numbers.
    sim::FaultPlan pull;
    pull.pullOut = {"ReadEsn", 1};
    sticks[2]->SetFaults(pull);
    ASSERT_TRUE(host.OpenDiag(7));
    EXPECT_FALSE(host.Esn());
    Wait(5000);
    EXPECT_FALSE(sticks[2]->Bus().diagPresent);
    sim::StickOptions late;
    late.appearAfterMs = 2000;
    late.diagPort = 7;
    late.atPort = 8;
    late.publishLocation = false;
    machine.AddStick(late);
    EXPECT_EQ(Listed(registry, sim::kAtService), (Names{"COM4@Port_#0001.Hub_#0001"}));
    Wait(2000);
    EXPECT_EQ(Last(sim::kAtService), "COM8@-") << "no location where the machine shows none";
}

}  // namespace
}  // namespace pellan::test
