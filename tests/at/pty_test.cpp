// The AT channel and the diagnostic commands over real pseudo-terminals, published by the
// simulated stick under a device root, in real time.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <random>
#include <string>

#include "diag/challenge.h"
#include "diag/phone_link.h"
#include "platform/clock.h"
#include "platform/serial_posix.h"
#include "sim/device_root.h"
#include "sim/sim_machine.h"
#include "transport/at_channel.h"

namespace pellan::test {
namespace {

class OverPty : public ::testing::Test {
  protected:
    void SetUp() override {
        stick = machine.AddStick(options);
        std::string error;
        if (!publisher.Start(error)) {
            GTEST_SKIP() << "no pseudo-terminals here: " << error;
        }
    }
    void TearDown() override {
        publisher.Stop();
        std::filesystem::remove_all(root);
    }

    platform::SystemClock clock;
    sim::SimMachine machine{clock};
    sim::StickOptions options;
    std::shared_ptr<sim::StickModel> stick;
    std::filesystem::path root =
        std::filesystem::temp_directory_path() /
        ("pellan-at-pty-" +
         std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    sim::DeviceRootPublisher publisher{machine, root};
};

TEST_F(OverPty, AtCommands) {
    platform::PosixSerialProvider serial(root);
    CAtChannel at(serial, clock);
    ASSERT_TRUE(at.m_port.Open(options.atPort, 115200, 8, 1));
    at.SetTimeout(1000);
    at.SetRetries(2);
    std::string version;
    ASSERT_TRUE(at.QueryVersion(version));
    EXPECT_EQ(version, options.firmwareVersion);
    EXPECT_EQ(at.QueryDiagPort(), 6);
    EXPECT_TRUE(at.SendCommand("AT+WCDRUN=8"));
    EXPECT_EQ(stick->AtCommands().back(), "AT+WCDRUN=8");
}

TEST_F(OverPty, DiagnosticCommands) {
    platform::PosixSerialProvider serial(root);
    CPhoneLink link(serial, clock);
    ASSERT_TRUE(link.m_port.Open(options.diagPort, 115200, 8, 1));
    EXPECT_TRUE(link.CheckCommunication()) << link.m_lastError;
    std::array<uint8_t, 303> versions{};
    ASSERT_TRUE(link.ReadVersionSet(versions.data())) << link.m_lastError;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(versions.data() + 1)), options.firmwareVersion);
    std::array<uint8_t, 128> nv{};
    uint16_t status = 0;
    EXPECT_TRUE(link.ReadNvItem(550, nv.data(), status)) << link.m_lastError;
    std::array<uint8_t, 8> challenge{};
    ASSERT_TRUE(link.GetValue8(challenge.data()));
    std::array<uint8_t, 16> digest{};
    ASSERT_TRUE(ChallengeDigest(challenge.data(), digest.data()));
    EXPECT_TRUE(link.SetValue16(digest.data()));
}

}  // namespace
}  // namespace pellan::test
