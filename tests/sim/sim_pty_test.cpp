// Simulated sticks behind a device root: registry.reg and COM<N> links to pseudo-terminals,
// reached only through the contract's backends (the .reg registry and the POSIX serial ports).
// tests/e2e/sim_device_root.sh checks the same layout from outside the program.

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/registry_reg.h"
#include "platform/serial_posix.h"
#include "sim/device_root.h"
#include "sim/sim_host.h"
#include "sim/sim_machine.h"
#include "support/temp_dir.h"

namespace pellan::test {
namespace {

using Names = std::vector<std::string>;

// Two sticks restart at once; the taker comes back first, on the numbers the giver had, and in
// the same round of the publisher as the giver's old links go: its new pseudo-terminal must keep
// the COM3 link, the giver's old one is dead, and the giver comes back behind new links of its own.
// The publisher is synchronised by hand at each step, so the rounds are the same at every run.
TEST(SimDeviceRoot, NumbersHandedOnBetweenSticksMoveTheirLinks) {
    TempDir dir;
    platform::SystemClock clock;
    sim::SimMachine machine{clock};
    machine.SetPortPolicy(sim::PortPolicy::kLowestFree);
    std::vector<std::shared_ptr<sim::StickModel>> sticks;
    for (int k = 0; k < 2; ++k) {
        sim::StickOptions o;
        o.diagPort = 5 - 2 * k;
        o.atPort = 6 - 2 * k;
        o.serial = "000" + std::to_string(k + 1);
        o.esn = 0x1000u + static_cast<uint32_t>(k);
        o.renumberOn = sim::RENUMBER_ON_RESET_PHONE;
        o.leaveDelayMs = 30;
        o.reenumDelayMs = k == 0 ? 300 : 2000;
        o.replyLatencyMs = 1;
        sticks.push_back(machine.AddStick(o));
    }
    sim::DeviceRootPublisher publisher{machine, dir.Path()};
    publisher.Sync();
    platform::RegFileRegistry registry{dir.Path() / "registry.reg"};
    platform::PosixSerialProvider serial{dir.Path()};
    Host taker(serial, clock);
    Host giver(serial, clock);
    EXPECT_EQ(Listed(registry, sim::kDiagService),
              (Names{"COM5@Port_#0001.Hub_#0001", "COM3@Port_#0002.Hub_#0001"}));
    ASSERT_TRUE(giver.OpenDiag(3));
    ASSERT_TRUE(taker.OpenDiag(5));
    ASSERT_TRUE(giver.link.ResetPhone());
    ASSERT_TRUE(taker.link.ResetPhone());
    clock.SleepMs(600);
    publisher.Sync();
    EXPECT_EQ(Listed(registry, sim::kDiagService), (Names{"COM3@Port_#0001.Hub_#0001"}));
    ASSERT_TRUE(taker.OpenDiag(3));
    uint32_t esn = 0;
    ASSERT_TRUE(taker.link.ReadEsn(esn));
    EXPECT_EQ(esn, 0x1000u) << "COM3 leads to the taker now";
    EXPECT_FALSE(giver.Esn()) << "the giver's old pseudo-terminal is dead";

    clock.SleepMs(2000);
    publisher.Sync();
    EXPECT_EQ(Listed(registry, sim::kDiagService),
              (Names{"COM3@Port_#0001.Hub_#0001", "COM5@Port_#0002.Hub_#0001"}));
    EXPECT_EQ(Listed(registry, sim::kAtService),
              (Names{"COM4@Port_#0001.Hub_#0001", "COM6@Port_#0002.Hub_#0001"}));
    ASSERT_TRUE(giver.OpenDiag(5));
    ASSERT_TRUE(giver.link.ReadEsn(esn));
    EXPECT_EQ(esn, 0x1001u);
    ASSERT_TRUE(taker.link.ReadEsn(esn)) << "the taker's link survived the giver's return";
    EXPECT_EQ(esn, 0x1000u);
    ASSERT_TRUE(giver.OpenAt(6));
    EXPECT_TRUE(giver.at.SendCommand("AT"));
    // That the links and the registry's entries go with the publisher: sim_device_root.sh.
}

}  // namespace
}  // namespace pellan::test
