// The diagnostic, vendor and DMSS commands against the simulated stick, which was
// written from the stick's side of the protocols rather than from this client.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "diag/challenge.h"
#include "diag/phone_link.h"
#include "platform/clock.h"
#include "sim/sim_machine.h"

namespace pellan::test {
namespace {

class SimCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        options.imei = "356938035643809";
        options.esn = 0x8034A1B2;
        stick = machine.AddStick(options);
        ASSERT_TRUE(link.m_port.Open(options.diagPort, 115200, 8, 1));
    }

    static std::string SlotText(const std::array<uint8_t, 303>& rec, size_t at) {
        return std::string(reinterpret_cast<const char*>(rec.data() + at));
    }

    platform::VirtualClock clock;
    sim::SimMachine machine{clock};
    sim::SimSerialProvider serial{machine};
    sim::StickOptions options;
    std::shared_ptr<sim::StickModel> stick;
    CPhoneLink link{serial, clock};
};

TEST_F(SimCommands, Identity) {
    uint32_t esn = 0;
    ASSERT_TRUE(link.ReadEsn(esn)) << link.m_lastError;
    EXPECT_EQ(esn, options.esn);

    std::array<uint8_t, 15> digits{};
    ASSERT_TRUE(link.ReadImei(digits.data())) << link.m_lastError;
    std::string imei;
    for (uint8_t d : digits) {
        imei.push_back(static_cast<char>('0' + d));
    }
    EXPECT_EQ(imei, options.imei);

    std::array<uint8_t, 303> versions{};
    ASSERT_TRUE(link.ReadVersionSet(versions.data())) << link.m_lastError;
    EXPECT_EQ(SlotText(versions, 1), options.firmwareVersion);
    EXPECT_NE(SlotText(versions, 249).find(options.modelText), std::string::npos);

    std::array<uint8_t, 45> sw{};
    ASSERT_TRUE(link.ReadSwVersion(sw.data())) << link.m_lastError;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sw.data())),
              options.firmwareVersion.substr(0, 21));

    std::array<uint8_t, 256> build{};
    ASSERT_TRUE(link.ReadExtBuildId(build.data())) << link.m_lastError;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(build.data())), options.firmwareVersion);

    EXPECT_TRUE(link.CheckCommunication());
}

TEST_F(SimCommands, NvItemsRoundTripAndRefusals) {
    std::array<uint8_t, 128> data{};
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(0x7E - i);
    }
    uint16_t status = 0xFFFF;
    ASSERT_TRUE(link.WriteNvItem(22, data.data(), status)) << link.m_lastError;
    EXPECT_EQ(status, 0);
    std::array<uint8_t, 128> back{};
    ASSERT_TRUE(link.ReadNvItem(22, back.data(), status)) << link.m_lastError;
    EXPECT_EQ(back, data);

    sim::FaultPlan faults;
    faults.nvInactive.insert(22);
    faults.nvWriteStatus[23] = 7;
    stick->SetFaults(faults);
    EXPECT_FALSE(link.ReadNvItem(22, back.data(), status));
    EXPECT_EQ(status, 5);
    EXPECT_EQ(back, (std::array<uint8_t, 128>{}));
    EXPECT_EQ(link.m_lastError, "cannot read #22 NV Item, since Variable was not active");
    EXPECT_FALSE(link.WriteNvItem(23, data.data(), status));
    EXPECT_EQ(status, 7);
    EXPECT_EQ(link.m_lastError,
              "Cannot Write #23 NVItem, Since Parameter is write-protected and thus read only");
}

TEST_F(SimCommands, VendorSwitchesAndTheChallenge) {
    EXPECT_TRUE(link.SetVendorMode(1));
    EXPECT_EQ(stick->VendorMode(), 1);
    EXPECT_TRUE(link.SetAutorun(0));
    EXPECT_EQ(stick->Autorun(), 0);
    EXPECT_FALSE(link.SetVendorMode(2)) << "not restarted into download mode yet";

    std::array<uint8_t, 8> challenge{};
    ASSERT_TRUE(link.GetValue8(challenge.data()));
    const auto expected = stick->Challenge();
    EXPECT_EQ(std::vector<uint8_t>(challenge.begin(), challenge.end()), expected);
    std::array<uint8_t, 16> digest{};
    ASSERT_TRUE(ChallengeDigest(challenge.data(), digest.data()));
    EXPECT_TRUE(link.SetValue16(digest.data()));
    digest[0] ^= 1;
    EXPECT_FALSE(link.SetValue16(digest.data()));

    const std::array<uint8_t, 128> record{};
    EXPECT_TRUE(link.DownloadCheck(record.data(), 0xA3));
    sim::FaultPlan faults;
    faults.downloadCheckStatus = 3;
    stick->SetFaults(faults);
    EXPECT_FALSE(link.DownloadCheck(record.data(), 0xA3));
    EXPECT_EQ(link.m_lastError, "Cannot pass the download check, Since compare ver error");
}

TEST_F(SimCommands, DownloaderProtocolAfterTheSwitch) {
    ASSERT_TRUE(link.FeatureRequest5C()) << link.m_lastError;
    ASSERT_TRUE(link.SendSpc()) << link.m_lastError;
    ASSERT_TRUE(link.SwitchToDownloader()) << link.m_lastError;
    // The stick leaves the bus and comes back as its boot downloader.
    bool answered = false;
    for (int i = 0; i < 200 && !answered; ++i) {
        clock.SleepMs(50);
        link.m_port.Close();
        const auto bus = stick->Bus();
        answered =
            bus.diagPresent && link.m_port.Open(bus.diagPort, 115200, 8, 1) && link.DloadNop();
    }
    ASSERT_TRUE(answered) << link.m_lastError;

    std::array<uint8_t, 212> record{};
    ASSERT_TRUE(link.DloadGetParams(record.data())) << link.m_lastError;
    EXPECT_EQ(record[0], 0x08);
    EXPECT_STREQ(reinterpret_cast<const char*>(&record[18]), "Unknown");

    std::array<uint8_t, 1017> block{};
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 31);
    }
    ASSERT_TRUE(link.DloadWrite32(block.data(), 0x00800000, 1017)) << link.m_lastError;
    ASSERT_TRUE(link.DloadWrite32(block.data(), 0x00800000 + 1017, 100)) << link.m_lastError;
    std::vector<uint8_t> expected(block.begin(), block.end());
    expected.insert(expected.end(), block.begin(), block.begin() + 100);
    EXPECT_TRUE(stick->RamImage().Equals(expected));

    sim::FaultPlan faults;
    faults.nakDloadWrites[0x00900000] = 2;
    stick->SetFaults(faults);
    EXPECT_FALSE(link.DloadWrite32(block.data(), 0x00900000, 16));
    EXPECT_EQ(link.m_lastError,
              "Write a Block of Data to Memory Failed, Since destination address is invalid");
}

}  // namespace
}  // namespace pellan::test
