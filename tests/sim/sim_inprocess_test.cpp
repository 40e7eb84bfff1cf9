// The simulated stick in process, driven by the host's own protocol operations on a virtual clock.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "diag/frame_codec.h"
#include "sim/image_assembly.h"
#include "sim/sim_host.h"
#include "sim/sim_machine.h"
#include "support/temp_dir.h"

namespace pellan::test {
namespace {

using sim::StickMode;

class SimStick : public ::testing::Test {
  protected:
    void Plug(sim::StickOptions options = {}) {
        stick = machine.AddStick(std::move(options));
        ASSERT_TRUE(host.OpenDiag(stick->Options().diagPort));
        ASSERT_TRUE(host.OpenAt(stick->Options().atPort));
    }
    void Wait(uint32_t ms) { clock.SleepMs(ms); }
    std::string Slot(const std::array<uint8_t, 303>& set, size_t offset) {
        return std::string(reinterpret_cast<const char*>(set.data() + offset));
    }
    // Arms the stick and resets it, as the update job does before it waits for the stick.
    void ArmAndReset() {
        ASSERT_TRUE(host.link.SetVendorMode(1));
        ASSERT_TRUE(host.link.SetAutorun(0));
        ASSERT_TRUE(host.at.SendCommand("AT+WCDRUN=E"));
        ASSERT_TRUE(host.at.SendCommand("AT+WCDRUN=8"));
        ASSERT_TRUE(host.link.GoOffline());
        ASSERT_TRUE(host.link.ResetPhone());
    }
    // Brings a stick from normal firmware to a running programmer.
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
        if (!host.link.StreamOpenMultiImage(type, nullptr, 0)) {
            return false;
        }
        for (uint32_t off = 0; off < bytes.size(); off += 1024) {
            const auto n = static_cast<uint32_t>(std::min<size_t>(1024, bytes.size() - off));
            if (!host.link.StreamWrite(bytes.data() + off, off, n)) {
                return false;
            }
        }
        return host.link.StreamClose();
    }

    platform::VirtualClock clock;
    sim::SimMachine machine{clock};
    sim::SimSerialProvider serial{machine};
    sim::SimRegistry registry{machine};
    Host host{serial, clock};
    std::shared_ptr<sim::StickModel> stick;
};

TEST_F(SimStick, NormalFirmwareAnswersTheIdentityQueries) {
    Plug();
    uint32_t esn = 0;
    ASSERT_TRUE(host.link.ReadEsn(esn));
    EXPECT_EQ(esn, stick->Options().esn);

    uint8_t digits[15];
    ASSERT_TRUE(host.link.ReadImei(digits));
    std::string imei;
    for (uint8_t d : digits)
        imei += static_cast<char>('0' + d);
    EXPECT_EQ(imei, "358812045678903");

    std::array<uint8_t, 303> set{};
    ASSERT_TRUE(host.link.ReadVersionSet(set.data()));
    EXPECT_EQ(Slot(set, 1), "HX402A_V1.0.3_B05");
    EXPECT_EQ(Slot(set, 249), "HX402A");

    uint8_t sw[45];
    ASSERT_TRUE(host.link.ReadSwVersion(sw));
    EXPECT_STREQ(reinterpret_cast<char*>(sw), "HX402A_V1.0.3_B05");
    uint8_t build[256];
    ASSERT_TRUE(host.link.ReadExtBuildId(build));
    EXPECT_STREQ(reinterpret_cast<char*>(build), "HX402A_V1.0.3_B05");

    EXPECT_TRUE(host.link.FeatureRequest5C());
    EXPECT_TRUE(host.link.SendSpc());
    EXPECT_TRUE(host.link.QueryModemStatus());
    EXPECT_TRUE(host.link.EnterDiagByAt());
    EXPECT_TRUE(host.link.CheckCommunication());
    const std::vector<std::string> expected = {
        "ReadEsn",          "ReadNvItem", "ReadVersionSet",   "ReadSwVersion", "ReadExtBuildId",
        "FeatureRequest5C", "SendSpc",    "QueryModemStatus", "EnterDiagByAt", "ReadEsn"};
    EXPECT_EQ(stick->CommandNames(), expected);
}

TEST_F(SimStick, ForeignModelAndZeroImeiAreWhatTheHostReads) {
    sim::StickOptions options;
    options.modelText = "OTHER-STICK-7";
    options.imei = "000000000000000";
    Plug(options);
    std::array<uint8_t, 303> set{};
    ASSERT_TRUE(host.link.ReadVersionSet(set.data()));
    EXPECT_EQ(Slot(set, 249), "OTHER-STICK-7");
    uint8_t digits[15];
    ASSERT_TRUE(host.link.ReadImei(digits));
    for (uint8_t d : digits)
        EXPECT_EQ(d, 0);
}

TEST_F(SimStick, NvItemsReadWriteAndRefusals) {
    sim::StickOptions options;
    options.faults.nvWriteStatus[5479] = 7;
    options.faults.nvInactive.insert(3969);
    Plug(options);
    uint8_t data[128] = {};
    uint16_t status = 0;

    ASSERT_TRUE(host.link.ReadNvItem(22, data, status));
    EXPECT_EQ(0, std::memcmp(data, sim::PatternFor(22).data(), 128));

    EXPECT_FALSE(host.link.ReadNvItem(9, data, status));
    EXPECT_EQ(status, 5);
    EXPECT_EQ(host.link.m_lastError, "cannot read #9 NV Item, since Variable was not active");
    EXPECT_FALSE(host.link.ReadNvItem(3969, data, status));
    EXPECT_EQ(status, 5);

    uint8_t written[128];
    for (int i = 0; i < 128; ++i)
        written[i] = static_cast<uint8_t>(0x7E - i);
    ASSERT_TRUE(host.link.WriteNvItem(22, written, status));
    ASSERT_TRUE(host.link.ReadNvItem(22, data, status));
    EXPECT_EQ(0, std::memcmp(data, written, 128));

    EXPECT_FALSE(host.link.WriteNvItem(5479, written, status));
    EXPECT_EQ(status, 7);
    EXPECT_EQ(host.link.m_lastError,
              "Cannot Write #5479 NVItem, Since Parameter is write-protected and thus read only");
    const auto writes = stick->NvWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].id, 22);
    EXPECT_EQ(writes[0].status, 0);
    EXPECT_EQ(writes[1].id, 5479);
    EXPECT_EQ(writes[1].status, 7);
    EXPECT_EQ(0, std::memcmp(stick->NvItem(5479)->data(), sim::PatternFor(5479).data(), 128));
}

TEST_F(SimStick, AtPortEchoesAndAnswersTheVendorCommands) {
    Plug();
    std::string version;
    ASSERT_TRUE(host.at.QueryVersion(version));
    EXPECT_EQ(version, "HX402A_V1.0.3_B05");
    EXPECT_EQ(host.at.m_reply.rfind("AT+GMR\r\r\n", 0), 0u) << "echo first";
    EXPECT_EQ(host.at.QueryDiagPort(), 6);
    for (const char* cmd : {"AT+WCDRUN=E", "AT+WCDRUN=8", "AT+WCDRUN=F", "AT+WCDRUN=9"}) {
        EXPECT_TRUE(host.at.SendCommand(cmd)) << cmd;
    }
    EXPECT_FALSE(host.at.SendCommand("AT+NOSUCH"));
    EXPECT_FALSE(host.at.SendCommand("AT+WCDRUN=Z"));
    const std::vector<std::string> expected = {"AT+GMR",      "AT+WDIAG?",   "AT+WCDRUN=E",
                                               "AT+WCDRUN=8", "AT+WCDRUN=F", "AT+WCDRUN=9",
                                               "AT+NOSUCH",   "AT+WCDRUN=Z"};
    EXPECT_EQ(stick->AtCommands(), expected);
}

TEST_F(SimStick, HidingTheDiagnosticPortRemovesItFromTheBus) {
    Plug();
    ASSERT_TRUE(host.at.SetDiagPort(1));
    EXPECT_FALSE(Discover(registry).has_value());
    EXPECT_FALSE(PortOfService(registry, "VLKusbser6k").has_value());
    EXPECT_EQ(PortOfService(registry, "VLKusbnmea"), 6);
    uint32_t esn = 0;
    EXPECT_FALSE(host.link.ReadEsn(esn));
    EXPECT_FALSE(host.OpenDiag(5));
    EXPECT_EQ(host.at.QueryDiagPort(), 1);
    ASSERT_TRUE(host.at.SetDiagPort(6));
    ASSERT_TRUE(host.OpenDiag(5));
    EXPECT_TRUE(host.link.ReadEsn(esn));
}

struct ArmingCase {
    const char* name;
    bool vendor1, wcdrunE, wcdrun8;
    bool downloadAnswer;
};

TEST_F(SimStick, DownloadModeAnswerNeedsEveryArmingStepAndAReset) {
    const ArmingCase cases[] = {
        {"all", true, true, true, true},
        {"no vendor mode", false, true, true, false},
        {"no E", true, false, true, false},
        {"no 8", true, true, false, false},
    };
    int diag = 5;
    for (const ArmingCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::StickOptions options;
        options.diagPort = diag;
        options.atPort = diag + 1;
        options.serial = c.name;
        diag += 2;
        machine.AddStick(options);
        auto mine = machine.Sticks().back();
        ASSERT_TRUE(host.OpenDiag(options.diagPort));
        ASSERT_TRUE(host.OpenAt(options.atPort));
        EXPECT_FALSE(host.link.SetVendorMode(2)) << "not armed yet";
        if (c.vendor1) {
            ASSERT_TRUE(host.link.SetVendorMode(1));
        }
        if (c.wcdrunE) {
            ASSERT_TRUE(host.at.SendCommand("AT+WCDRUN=E"));
        }
        if (c.wcdrun8) {
            ASSERT_TRUE(host.at.SendCommand("AT+WCDRUN=8"));
        }
        EXPECT_FALSE(host.link.SetVendorMode(2)) << "armed but not restarted";
        ASSERT_TRUE(host.link.ResetPhone());
        Wait(5000);
        ASSERT_TRUE(host.OpenDiag(options.diagPort));
        EXPECT_EQ(host.link.SetVendorMode(2), c.downloadAnswer);
        EXPECT_EQ(mine->InDownloadState(), c.downloadAnswer);
    }
}

TEST_F(SimStick, ResetLeavesTheBusAndComesBackRenumbered) {
    sim::StickOptions options;
    options.renumberOn = sim::RENUMBER_ON_RESET_PHONE;
    options.reenumDelayMs = 4000;
    Plug(options);
    const auto before = Discover(registry);
    ASSERT_TRUE(before);
    EXPECT_EQ(before->diag, 5);
    EXPECT_EQ(before->at, 6);
    ArmAndReset();
    Wait(200);
    EXPECT_FALSE(Discover(registry)) << "the drivers' enumeration is gone while the stick restarts";
    uint32_t esn = 0;
    EXPECT_FALSE(host.link.ReadEsn(esn));
    EXPECT_EQ(
        host.link.m_lastError,
        "Cannot Get the ESN Number of the Phone, Since Port Cannot Send desired data to the Phone");
    EXPECT_FALSE(host.OpenDiag(5));
    const auto after = host.WaitForPorts(registry, 10000);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->diag, 15);
    EXPECT_EQ(after->at, 16);
    EXPECT_FALSE(host.OpenDiag(5)) << "the old number is gone";
    ASSERT_TRUE(host.OpenDiag(after->diag));
    EXPECT_TRUE(host.link.SetVendorMode(2));
    EXPECT_EQ(stick->Enumerations(), 2);

    // The way back: disarm and reset; the download answer is refused again.
    ASSERT_TRUE(host.OpenAt(after->at));
    ASSERT_TRUE(host.link.SetVendorMode(0));
    ASSERT_TRUE(host.link.SetAutorun(1));
    ASSERT_TRUE(host.at.SendCommand("AT+WCDRUN=F"));
    ASSERT_TRUE(host.at.SendCommand("AT+WCDRUN=9"));
    ASSERT_TRUE(host.link.ResetPhone());
    Wait(200);
    const auto third = host.WaitForPorts(registry, 10000);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->diag, 25);
    ASSERT_TRUE(host.OpenDiag(third->diag));
    EXPECT_FALSE(host.link.SetVendorMode(2));
    EXPECT_EQ(stick->Autorun(), 1);
}

TEST_F(SimStick, SlowAndMissingReenumeration) {
    sim::StickOptions options;
    options.reenumDelayMs = 30000;
    Plug(options);
    ASSERT_TRUE(host.link.ResetPhone());
    Wait(200);
    EXPECT_FALSE(host.WaitForPorts(registry, 25000));
    EXPECT_TRUE(host.WaitForPorts(registry, 10000));

    sim::FaultPlan faults;
    faults.neverReturn = true;
    stick->SetFaults(faults);
    ASSERT_TRUE(host.OpenDiag(5));
    ASSERT_TRUE(host.link.ResetPhone());
    Wait(200);
    EXPECT_FALSE(host.WaitForPorts(registry, 120000));
    stick->Plug();  // the user pulls the stick out and plugs it in again
    EXPECT_TRUE(Discover(registry));
}

TEST_F(SimStick, ChallengeAnswerIsCheckedAgainstMd5) {
    sim::StickOptions options;
    options.challenge = std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8};
    Plug(options);
    uint8_t challenge[8] = {};
    ASSERT_TRUE(host.link.GetValue8(challenge));
    EXPECT_EQ(std::vector<uint8_t>(challenge, challenge + 8), stick->Challenge());
    const std::vector<uint8_t> digest = sim::Md5(challenge, 8);
    EXPECT_EQ(sim::Md5Hex(challenge, 8), "0ee0646c1c77d8131cc8f4ee65c7673b");
    ASSERT_TRUE(host.link.SetValue16(digest.data()));
    EXPECT_EQ(stick->CountOf("SetValue16"), 1u);
    uint8_t wrong[16] = {};
    EXPECT_FALSE(host.link.SetValue16(wrong));
    EXPECT_EQ(stick->CountOf("SetValue16Wrong"), 1u);
}

TEST_F(SimStick, DrawnChallengesAvoidFlagAndEscapeBytes) {
    Plug();
    for (int i = 0; i < 50; ++i) {
        uint8_t challenge[8] = {};
        ASSERT_TRUE(host.link.GetValue8(challenge));
        for (uint8_t b : challenge) {
            EXPECT_NE(b, 0x7E);
            EXPECT_NE(b, 0x7D);
        }
        const auto digest = sim::Md5(challenge, 8);
        EXPECT_TRUE(host.link.SetValue16(digest.data()));
    }
}

TEST_F(SimStick, DownloadCheckStatuses) {
    const struct {
        uint32_t status;
        bool ok;
        const char* text;
    } cases[] = {{0, true, ""},
                 {1, false, "Cannot pass the download check, Since public key error"},
                 {2, false, "Cannot pass the download check, Since main ver error"},
                 {3, false, "Cannot pass the download check, Since compare ver error"}};
    Plug();
    uint8_t record[128] = {0x2C, 0x1A, 0xBE, 0x6E};
    for (const auto& c : cases) {
        sim::FaultPlan faults;
        faults.downloadCheckStatus = c.status;
        stick->SetFaults(faults);
        host.link.m_lastError.clear();
        EXPECT_EQ(host.link.DownloadCheck(record, 0xA3), c.ok) << c.status;
        EXPECT_EQ(host.link.m_lastError, c.text);
    }
}

TEST_F(SimStick, NormalToDownloaderToProgrammerAndBack) {
    Plug();
    const auto armprg = TestImage(2035, 1);
    EnterProgrammer(armprg);
    EXPECT_TRUE(stick->RamImage().Equals(armprg));
    EXPECT_FALSE(Discover(registry)) << "no AT port while the downloader or programmer runs";
    EXPECT_EQ(PortOfService(registry, "VLKusbser6k"), 5);

    EXPECT_FALSE(host.link.DloadNop()) << "the programmer does not speak DMSS";

    ASSERT_TRUE(host.link.StreamSecurityMode());
    const auto table = TestImage(464, 2);
    ASSERT_TRUE(host.link.StreamPartitionTable(table.data(), 464));
    EXPECT_EQ(stick->PartitionTable(), table);
    EXPECT_EQ(stick->PartitionOverrideFlag(), 0);

    const auto dbl = TestImage(35340, 3);
    const auto efs = TestImage(5000, 4);
    ASSERT_TRUE(WriteImage(0x0F, dbl));
    ASSERT_TRUE(WriteImage(0x09, efs));
    const auto image = stick->LatestImage(0x0F);
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->closed);
    EXPECT_TRUE(image->image.Equals(dbl));
    EXPECT_TRUE(image->image.Overlaps().empty());
    EXPECT_TRUE(stick->LatestImage(0x09)->image.Equals(efs));

    ASSERT_TRUE(host.link.StreamReset());
    Wait(200);
    ASSERT_TRUE(host.WaitForDiag(5, 10000, [&] {
        uint32_t esn = 0;
        return host.link.ReadEsn(esn);
    }));
    EXPECT_EQ(stick->Mode(), StickMode::kNormal);
    EXPECT_TRUE(Discover(registry));
    EXPECT_FALSE(stick->NvItem(550)) << "a factory file system carries no calibration";

    // The update ends with vendor mode 0 and a reset: the stick has seen a whole update.
    EXPECT_FALSE(stick->UpdateFinished());
    ASSERT_TRUE(host.link.SetVendorMode(0));
    ASSERT_TRUE(host.link.GoOffline());
    ASSERT_TRUE(host.link.ResetPhone());
    EXPECT_TRUE(stick->UpdateFinished());
}

TEST_F(SimStick, DownloaderDetails) {
    Plug();
    ASSERT_TRUE(host.link.SwitchToDownloader());
    Wait(500);
    ASSERT_TRUE(host.WaitForDiag(5, 10000, [&] { return host.link.DloadNop(); }));
    uint8_t params[212] = {};
    ASSERT_TRUE(host.link.DloadGetParams(params));
    EXPECT_EQ(params[0], 0x08);
    EXPECT_EQ(params[9], 4);
    uint32_t size = 0;
    std::memcpy(&size, params + 12, 4);
    EXPECT_EQ(size, 0x200000u);

    uint8_t block[16] = {};
    EXPECT_FALSE(host.link.DloadWrite32(block, 0x00100000, 16));
    EXPECT_EQ(host.link.m_lastError,
              "Write a Block of Data to Memory Failed, Since destination address is invalid");
    EXPECT_FALSE(host.link.DloadGo(0x0080, 0x0000)) << "nothing loaded yet";
    EXPECT_EQ(stick->Mode(), StickMode::kDownloader);

    ASSERT_TRUE(host.link.DloadReset());
    Wait(200);
    ASSERT_TRUE(host.WaitForDiag(5, 10000, [&] {
        uint32_t esn = 0;
        return host.link.ReadEsn(esn);
    }));
    EXPECT_EQ(stick->Mode(), StickMode::kNormal);
}

TEST_F(SimStick, DmssWriteNakAndIgnoredGo) {
    sim::StickOptions options;
    options.faults.nakDloadWrites[0x008003F9] = 7;
    options.faults.nakDloadWriteTimes = 2;
    options.faults.ignoreDloadGo = true;
    Plug(options);
    ASSERT_TRUE(host.link.SwitchToDownloader());
    Wait(500);
    ASSERT_TRUE(host.WaitForDiag(5, 10000, [&] { return host.link.DloadNop(); }));
    const auto armprg = TestImage(2034, 5);
    ASSERT_TRUE(host.link.DloadWrite32(armprg.data(), 0x00800000, 1017));
    // Two NAKs, then the third attempt of the same write goes through.
    ASSERT_TRUE(host.link.DloadWrite32(armprg.data() + 1017, 0x008003F9, 1017));
    EXPECT_EQ(stick->CountOf("DloadWrite32"), 4u);
    EXPECT_TRUE(stick->RamImage().Equals(armprg));

    EXPECT_FALSE(host.link.DloadGo(0x0080, 0x0000));
    EXPECT_EQ(host.link.m_lastError,
              "Cannot begin execution at an address, Since Port Cannot Receive Desired Data from "
              "the Phone");
    ASSERT_TRUE(host.link.DloadGoAlt(0x0080, 0x0000));
    EXPECT_EQ(stick->Mode(), StickMode::kProgrammer);
}

TEST_F(SimStick, DmssNakWithReasonTwoFailsEveryAttempt) {
    sim::StickOptions options;
    options.faults.nakDloadWrites[0x00800000] = 2;
    Plug(options);
    ASSERT_TRUE(host.link.SwitchToDownloader());
    Wait(500);
    ASSERT_TRUE(host.WaitForDiag(5, 10000, [&] { return host.link.DloadNop(); }));
    uint8_t block[8] = {};
    EXPECT_FALSE(host.link.DloadWrite32(block, 0x00800000, 8));
    EXPECT_EQ(host.link.m_lastError,
              "Write a Block of Data to Memory Failed, Since destination address is invalid");
    EXPECT_EQ(stick->CountOf("DloadWrite32"), 3u);
}

class SimProgrammer : public SimStick {
  protected:
    void Start(sim::FaultPlan faults) {
        Plug();
        EnterProgrammer(TestImage(3000, 9));
        stick->SetFaults(faults);
        ASSERT_TRUE(host.link.StreamOpenMultiImage(0x05, nullptr, 0));
    }
    // Sends blocks 0..count-1 without waiting and collects what came back.
    void SendWindow(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(host.link.StreamWriteNoWait(data.data() + i * 1024, i * 1024u, 1024));
        }
        Wait(50);
    }
    std::vector<uint32_t> Acks() {
        return std::vector<uint32_t>(host.link.m_ackList.begin(),
                                     host.link.m_ackList.begin() + host.link.m_ackCount);
    }
    std::vector<uint8_t> data = TestImage(8 * 1024, 7);
};

TEST_F(SimProgrammer, DroppedAcknowledgementsAreMissingButTheBlocksAreWritten) {
    sim::FaultPlan faults;
    faults.dropAckAddresses = {0x400, 0xC00};
    Start(faults);
    SendWindow(5);
    ASSERT_TRUE(host.link.CollectStreamAcks());
    EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x000, 0x800, 0x1000}));
    // A rewrite of a block whose acknowledgement was lost is acknowledged.
    ASSERT_TRUE(host.link.StreamWrite(data.data() + 0x400, 0x400, 1024));
    EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x400}));
    const auto image = stick->LatestImage(0x05);
    EXPECT_EQ(image->image.Overlaps().size(), 1u);
    EXPECT_EQ(image->image.ConflictingOverlaps(), 0u);
}

TEST_F(SimProgrammer, SeededShareOfAcknowledgementsIsLost) {
    sim::FaultPlan faults;
    faults.dropAckFraction = 0.5;
    faults.seed = 42;
    Start(faults);
    SendWindow(8);
    ASSERT_TRUE(host.link.CollectStreamAcks());
    EXPECT_GT(host.link.m_ackCount, 0);
    EXPECT_LT(host.link.m_ackCount, 8);
    EXPECT_EQ(stick->LatestImage(0x05)->image.Size(), 8u * 1024);
}

TEST_F(SimProgrammer, CorruptAcknowledgementStopsTheScan) {
    sim::FaultPlan faults;
    faults.corruptAckAddresses = {0x400};
    Start(faults);
    SendWindow(3);
    EXPECT_FALSE(host.link.CollectStreamAcks());
    EXPECT_EQ(host.link.m_lastError, "the Received Data is Wrong with CRC Checksum");
    EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x000}));
}

TEST_F(SimProgrammer, ErrorBlockIsRefusedOnceThenAccepted) {
    sim::FaultPlan faults;
    faults.errorBlocks[0x400] = 10;
    Start(faults);
    ASSERT_TRUE(host.link.StreamWrite(data.data(), 0, 1024));
    EXPECT_FALSE(host.link.StreamWrite(data.data() + 0x400, 0x400, 1024));
    EXPECT_EQ(host.link.m_lastError,
              "Write a Block of Data to Memory Failed, Since Write-verify failed");
    ASSERT_TRUE(host.link.StreamWrite(data.data() + 0x800, 0x800, 1024));
    auto image = stick->LatestImage(0x05)->image;
    ASSERT_EQ(image.Gaps().size(), 1u);
    EXPECT_EQ(image.Gaps()[0].begin, 0x400u);
    EXPECT_EQ(image.Gaps()[0].end, 0x800u);
    ASSERT_TRUE(host.link.StreamWrite(data.data() + 0x400, 0x400, 1024));
    EXPECT_TRUE(stick->LatestImage(0x05)->image.Gaps().empty());
}

TEST_F(SimProgrammer, ErrorBlockEveryTimeWhenAsked) {
    sim::FaultPlan faults;
    faults.errorBlocks[0] = 18;
    faults.blockFaultsOnce = false;
    Start(faults);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(host.link.StreamWrite(data.data(), 0, 1024));
        EXPECT_EQ(host.link.m_lastError,
                  "Write a Block of Data to Memory Failed, Since Out of space");
    }
}

TEST_F(SimProgrammer, PartitionTableStatusOneSetsTheOverride) {
    sim::FaultPlan faults;
    faults.partitionStatus = 1;
    Start(faults);
    const auto table = TestImage(464, 2);
    ASSERT_TRUE(host.link.StreamPartitionTable(table.data(), 464));
    EXPECT_EQ(host.link.m_partOverride, 1);
    stick->SetFaults({});
    ASSERT_TRUE(host.link.StreamPartitionTable(table.data(), 464));
    EXPECT_EQ(stick->PartitionOverrideFlag(), 1) << "the second table carries the override";
    EXPECT_EQ(host.link.m_partOverride, 0);
}

TEST_F(SimStick, DifferentTableInFlashNeedsTheOverride) {
    sim::StickOptions options;
    options.flashPartitionTable = TestImage(464, 11);
    Plug(options);
    EnterProgrammer(TestImage(100, 1));
    const auto table = TestImage(464, 2);
    ASSERT_TRUE(host.link.StreamPartitionTable(table.data(), 464));
    EXPECT_EQ(host.link.m_partOverride, 1);
    ASSERT_TRUE(host.link.StreamPartitionTable(table.data(), 464));
    EXPECT_EQ(host.link.m_partOverride, 0);
}

TEST_F(SimStick, StopAnsweringUntilPowerCycled) {
    sim::StickOptions options;
    options.faults.stopAnswering = {"ReadEsn", 2};
    Plug(options);
    uint32_t esn = 0;
    EXPECT_TRUE(host.link.ReadEsn(esn));
    EXPECT_FALSE(host.link.ReadEsn(esn));
    EXPECT_EQ(esn, 0xFFFFFFFFu);
    std::array<uint8_t, 303> set{};
    EXPECT_FALSE(host.link.ReadVersionSet(set.data()));
    EXPECT_FALSE(host.at.SendCommand("AT"));
    EXPECT_FALSE(host.link.EnterDiagByAt());
    stick->Unplug();
    EXPECT_FALSE(Discover(registry));
    stick->Plug();
    ASSERT_TRUE(host.OpenDiag(5));
    EXPECT_TRUE(host.link.ReadEsn(esn));
}

TEST_F(SimStick, GarbageCorruptAndLateReplies) {
    sim::StickOptions options;
    options.faults.garbageReply = {"ReadEsn", 1};
    options.faults.corruptReply = {"ReadEsn", 2};
    options.faults.delayReply = {"ReadEsn", 3};
    options.faults.replyDelayMs = 500;
    Plug(options);
    uint32_t esn = 0;
    EXPECT_FALSE(host.link.ReadEsn(esn));  // garbage: not the command's code
    EXPECT_FALSE(host.link.ReadEsn(esn));
    EXPECT_EQ(host.link.m_lastError,
              "Cannot Get the ESN Number of the Phone, Since the Received Data is Wrong with Wrong "
              "CRC Checksum");
    EXPECT_FALSE(host.link.ReadEsn(esn));  // 500 ms late against a 300 ms time-out
    EXPECT_EQ(host.link.m_lastError,
              "Cannot Get the ESN Number of the Phone, Since Port Cannot Receive Desired Data from "
              "the Phone");
    Wait(300);  // the late reply arrives meanwhile; the next write purges it
    EXPECT_TRUE(host.link.ReadEsn(esn));
}

TEST_F(SimStick, DamagedFramesAreCountedAndAnswered) {
    Plug();
    std::vector<uint8_t> frame = frame::EncodeFrame(std::vector<uint8_t>{0x01}, false);
    frame[1] ^= 0x01;  // break the CRC
    ASSERT_EQ(host.link.m_port.Write(frame.data(), frame.size()), frame.size());
    Wait(50);
    uint8_t reply[64];
    const size_t n = host.link.m_port.Read(reply, sizeof reply);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(reply[0], 0x13);
    EXPECT_EQ(stick->CrcErrors(), 1u);
    EXPECT_EQ(stick->CountOf("CrcError"), 1u);
}

TEST_F(SimStick, ReportNamesEveryCommandReceived) {
    Plug();
    uint32_t esn = 0;
    host.link.ReadEsn(esn);
    host.at.SendCommand("AT+WCDRUN=E");
    EnterProgrammer(TestImage(1500, 1));
    ASSERT_TRUE(WriteImage(0x14, TestImage(3000, 2)));
    const auto report = nlohmann::json::parse(stick->ReportJson());
    std::vector<std::string> fromReport;
    for (const auto& entry : report["commands"]) {
        for (int i = 0; i < entry["count"].get<int>(); ++i) {
            fromReport.push_back(entry["name"]);
        }
    }
    EXPECT_EQ(fromReport, stick->CommandNames());
    const std::set<std::string> names(fromReport.begin(), fromReport.end());
    for (const char* name :
         {"ReadEsn", "AT+WCDRUN=E", "SwitchToDownloader", "DloadNop", "DloadWrite32", "DloadGo",
          "StreamHello", "StreamNop", "StreamOpenMultiImage", "StreamWrite", "StreamClose"}) {
        EXPECT_TRUE(names.count(name)) << name;
    }
    EXPECT_EQ(report["commandCounts"]["StreamWrite"], 3);
    EXPECT_EQ(report["mode"], "programmer");
    ASSERT_EQ(report["images"].size(), 1u);
    EXPECT_EQ(report["images"][0]["type"], 0x14);
    EXPECT_EQ(report["images"][0]["size"], 3000);
    EXPECT_TRUE(report["images"][0]["gaps"].empty());
    EXPECT_EQ(report["ram"]["base"], 0x00800000);
    EXPECT_EQ(report["imei"], "358812045678903");
}

TEST(ImageAssembly, GapsOverlapsAndComparison) {
    sim::ImageAssembly image;
    const auto bytes = TestImage(4096, 3);
    image.Write(0, bytes.data(), 1024);
    image.Write(2048, bytes.data() + 2048, 2048);
    ASSERT_EQ(image.Gaps().size(), 1u);
    EXPECT_EQ(image.Gaps()[0].begin, 1024u);
    EXPECT_EQ(image.Gaps()[0].end, 2048u);
    EXPECT_FALSE(image.Equals(bytes));
    image.Write(1024, bytes.data() + 1024, 1024);
    EXPECT_TRUE(image.Gaps().empty());
    EXPECT_TRUE(image.Equals(bytes));
    EXPECT_TRUE(image.Overlaps().empty());
    std::vector<uint8_t> other(bytes.begin() + 512, bytes.begin() + 1536);
    other[0] ^= 0xFF;
    image.Write(512, other.data(), other.size());
    ASSERT_EQ(image.Overlaps().size(), 1u);
    EXPECT_EQ(image.Overlaps()[0].address, 512u);
    EXPECT_EQ(image.Overlaps()[0].length, 1024u);
    EXPECT_FALSE(image.Overlaps()[0].identical);
    EXPECT_EQ(image.ConflictingOverlaps(), 1u);
    EXPECT_FALSE(image.Equals(bytes));
    EXPECT_FALSE(image.EqualsFile("/nonexistent/file"));
}

// What a driver's list shows, in list order: "COM<N>@<location>" per instance.
std::vector<std::string> Listed(platform::Registry& registry, const std::string& service) {
    std::vector<std::string> out;
    auto list = registry.OpenKey("SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Enum");
    const uint32_t count = list ? list->ReadDword("Count").value_or(0) : 0;
    for (uint32_t i = 0; i < count; ++i) {
        const std::string instance = list->ReadString(std::to_string(i)).value_or("?");
        const std::string path = "SYSTEM\\CurrentControlSet\\Enum\\" + instance;
        auto params = registry.OpenKey(path + "\\Device Parameters");
        auto where = registry.OpenKey(path);
        out.push_back((params ? params->ReadString("PortName").value_or("-") : "-") + "@" +
                      (where ? where->ReadString("LocationInformation").value_or("-") : "-"));
    }
    return out;
}

// Three sticks on one machine, the way a station sees them: each in its own USB port through
// every restart, the restarted one listed last, and numbers handed on from one stick to another.
TEST_F(SimStick, StationOfSticksKeepsLocationsAndHandsNumbersOn) {
    machine.SetPortPolicy(sim::PortPolicy::kLowestFree);
    std::vector<std::shared_ptr<sim::StickModel>> sticks;
    for (int k = 0; k < 3; ++k) {
        sim::StickOptions o;
        o.diagPort = 3 + 2 * k;
        o.atPort = 4 + 2 * k;
        o.serial = "000" + std::to_string(k + 1);
        o.imei = "35881204567890" + std::to_string(k);
        o.renumberOn = sim::RENUMBER_ON_RESET_PHONE | sim::RENUMBER_ON_DOWNLOADER;
        o.reenumDelayMs = k == 1 ? 1000 : 3000;  // the second stick comes back first
        sticks.push_back(machine.AddStick(o));
    }
    sim::StickOptions sameUsbPort;
    sameUsbPort.location = "Port_#0002.Hub_#0001";
    EXPECT_EQ(machine.AddStick(sameUsbPort), nullptr) << "two sticks cannot share a USB port";
    const std::vector<std::string> atFirst = {
        "COM3@Port_#0001.Hub_#0001", "COM5@Port_#0002.Hub_#0001", "COM7@Port_#0003.Hub_#0001"};
    EXPECT_EQ(Listed(registry, sim::kDiagService), atFirst);
    EXPECT_EQ(Listed(registry, sim::kAtService),
              (std::vector<std::string>{"COM4@Port_#0001.Hub_#0001", "COM6@Port_#0002.Hub_#0001",
                                        "COM8@Port_#0003.Hub_#0001"}));

    // The first stick resets, then the second: the second comes back first, on the first's
    // old numbers, and an old handle on COM3 stays dead while a new open of COM3 reaches it.
    ASSERT_TRUE(host.OpenDiag(3));
    ASSERT_TRUE(host.link.ResetPhone());
    Host second(serial, clock);
    ASSERT_TRUE(second.OpenDiag(5));
    ASSERT_TRUE(second.link.ResetPhone());
    Wait(1500);
    EXPECT_EQ(Listed(registry, sim::kDiagService),
              (std::vector<std::string>{"COM7@Port_#0003.Hub_#0001", "COM3@Port_#0002.Hub_#0001"}));
    uint32_t esn = 0;
    EXPECT_FALSE(host.link.ReadEsn(esn)) << "a handle of the first stick never reaches the second";
    Wait(2000);
    EXPECT_EQ(Listed(registry, sim::kDiagService),
              (std::vector<std::string>{"COM7@Port_#0003.Hub_#0001", "COM3@Port_#0002.Hub_#0001",
                                        "COM5@Port_#0001.Hub_#0001"}));
    ASSERT_TRUE(host.OpenDiag(3));
    std::array<uint8_t, 128> imei{};
    uint16_t status = 1;
    ASSERT_TRUE(host.link.ReadNvItem(550, imei.data(), status));
    EXPECT_EQ(sim::UnpackImei(*sticks[1]->NvItem(550)), "358812045678901");
    EXPECT_EQ(0, std::memcmp(imei.data(), sticks[1]->NvItem(550)->data(), imei.size()))
        << "COM3 now belongs to the second stick";

    // In the boot downloader a stick shows its DIAG interface only, in the same USB port.
    ASSERT_TRUE(host.OpenDiag(5));
    ASSERT_TRUE(host.link.SwitchToDownloader());
    Wait(2000);
    EXPECT_EQ(Listed(registry, sim::kDiagService).back(), "COM9@Port_#0001.Hub_#0001");
    EXPECT_EQ(Listed(registry, sim::kAtService),
              (std::vector<std::string>{"COM8@Port_#0003.Hub_#0001", "COM4@Port_#0002.Hub_#0001"}))
        << "no AT interface while the first stick is in the downloader";

    // A stick pulled out on a command, and one that is plugged in late.
    sim::FaultPlan pull;
    pull.pullOut = {"ReadEsn", 1};
    sticks[2]->SetFaults(pull);
    ASSERT_TRUE(host.OpenDiag(7));
    EXPECT_FALSE(host.link.ReadEsn(esn));
    EXPECT_FALSE(sticks[2]->Bus().diagPresent);
    Wait(5000);
    EXPECT_FALSE(sticks[2]->Bus().diagPresent) << "a pulled stick stays out";
    sim::StickOptions late;
    late.appearAfterMs = 2000;
    late.diagPort = 7;
    late.atPort = 8;
    late.publishLocation = false;
    auto fourth = machine.AddStick(late);
    EXPECT_EQ(Listed(registry, sim::kAtService).size(), 1u);
    Wait(2000);
    EXPECT_EQ(Listed(registry, sim::kAtService).back(), "COM8@-")
        << "numbers the pulled stick held are free again; no location when none is shown";
}

TEST(NvStore, LoadsTheGoodRecordsOfAnNvmFile) {
    TempDir dir;
    std::vector<uint8_t> file(850 * 136, 0);
    auto put = [&](size_t index, uint16_t id, uint8_t fill, uint16_t status) {
        uint8_t* rec = file.data() + index * 136;
        rec[0] = static_cast<uint8_t>(id);
        rec[1] = static_cast<uint8_t>(id >> 8);
        std::memset(rec + 4, fill, 128);
        rec[132] = static_cast<uint8_t>(status);
        rec[133] = static_cast<uint8_t>(status >> 8);
    };
    put(0, 5479, 0xAB, 0);
    put(1, 5065, 0xCD, 5);  // a failed read is not an item
    put(2, 9999, 0, 0);     // end marker
    put(3, 22, 0xEF, 0);    // behind the end: ignored
    const auto path = dir.Path() / "Channel1.nvm";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    sim::NvStore store;
    std::string error;
    ASSERT_TRUE(store.LoadNvmFile(path.string(), error)) << error;
    EXPECT_EQ(store.Size(), 1u);
    EXPECT_EQ((*store.Read(5479))[0], 0xAB);

    std::ofstream(dir.Path() / "short.nvm") << "not an NVM file";
    EXPECT_FALSE(store.LoadNvmFile((dir.Path() / "short.nvm").string(), error));
    EXPECT_NE(error.find("115600"), std::string::npos);
}

TEST(NvStore, ImeiPackingRoundTripsAndMatchesTheNibbleOrder) {
    const sim::NvData data = sim::PackImei("123456789012345");
    EXPECT_EQ(data[0], 0x08);
    EXPECT_EQ(data[1], 0x1A);
    EXPECT_EQ(data[2], 0x32);  // digit 2 low, digit 3 high
    EXPECT_EQ(data[8], 0x54);
    EXPECT_EQ(sim::UnpackImei(data), "123456789012345");
    EXPECT_EQ(sim::CalibrationItemIds().size(), 530u);
    EXPECT_EQ(sim::CalibrationItemIds().front(), 5479);
    EXPECT_EQ(sim::CalibrationItemIds().back(), 22);
}

}  // namespace
}  // namespace pellan::test
