#include <gtest/gtest.h>

#include "sim/sim_machine.h"
#include "support/temp_dir.h"
#include "ui/line_controls.h"
#include "ui/line_polling.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan {
namespace {

constexpr const char* kReady = "Ready, please press UPDATE to start.";
constexpr int kWaitMs = 20000;

// The polling loop against the simulated stick in this process, on a clock whose fixed waits last
// a hundredth (a search step takes about 10 ms) while reply time-outs stay real.
struct PollingFixture : ::testing::Test {
    platform::SystemClock realClock;
    platform::FastClock clock{realClock};
    sim::SimMachine machine{clock};
    sim::SimSerialProvider serial{machine};
    sim::SimRegistry registry{machine};
    platform::Env env{&clock, &serial, &registry, {}};
    test::TempDir dir;
    CPellanDoc doc{env, dir.Path()};
    test::RecordingSink sink;
    CPellanView view{doc, sink};

    // Waits until `count` ready lines are in the line's log and the pass that wrote the last one
    // has shown the versions too.
    bool WaitForReadyCount(int line, size_t count) {
        const int message = line == 0 ? ctl::kStatusLine : ctl::kMessageText + line;
        const int version =
            line == 0 ? ctl::kCurrentVersion : VersionControlId(line, VersionText::OuterBoard);
        const size_t versionsBefore = sink.TextHistory(version).size();
        return sink.WaitFor(
            [&](const test::RecordingSink& s) {
                return s.CountEntriesLocked(line, kReady) >= count &&
                       s.TextLocked(message) == kReady &&
                       s.TextHistoryLocked(version).size() > versionsBefore;
            },
            kWaitMs);
    }
};

// Line 0 drives the form's own fields, the other lines their panels; a stick pulled out turns
// the line back to the search, and one plugged in again is found.
TEST_F(PollingFixture, WithAStickTheLineIsReadyAndAPulledOneIsSearchedFor) {
    auto stick = machine.AddStick({});  // firmware "HX402A_V1.0.3_B05"
    view.StartLinePolling(3);
    ASSERT_TRUE(WaitForReadyCount(3, 1));
    EXPECT_EQ("COM5", sink.Text(ctl::kDiagPortText + 3));
    EXPECT_EQ(true, sink.Enabled(ctl::kStartButton + 3));
    EXPECT_FALSE(sink.Text(ctl::kPortInformation)) << "line 4 wrote line 1's field";
    stick->Unplug();
    // Every third missed search shows the searching display.
    ASSERT_TRUE(sink.WaitFor(
        [](const test::RecordingSink& s) {
            return s.TextLocked(ctl::kMessageText + 3) == "Search..." &&
                   s.TextLocked(ctl::kDiagPortText + 3) == "NULL" &&
                   s.TextLocked(VersionControlId(3, VersionText::OuterBoard)) == "No Phone" &&
                   s.EnabledLocked(ctl::kStartButton + 3) == false;
        },
        kWaitMs));
    view.PauseLinePolling(3);
    ASSERT_FALSE(doc.Bindings().Holds(3)) << "three missed searches let the stick go";

    // Line 1 searches in the form's fields and in its factory panel alike.
    view.StartLinePolling(0);
    ASSERT_TRUE(sink.WaitFor(
        [](const test::RecordingSink& s) {
            return s.TextLocked(ctl::kStatusLine) == "Search..." &&
                   s.TextLocked(ctl::kMessageText) == "Search..." &&
                   s.TextLocked(ctl::kDiagPortText) == "NULL";
        },
        kWaitMs));
    stick->Plug();
    ASSERT_TRUE(WaitForReadyCount(0, 1));
    EXPECT_EQ("COM5", sink.Text(ctl::kPortInformation));
    EXPECT_EQ("HX402A_V1.0.3_B05", sink.Text(ctl::kCurrentVersion));
    EXPECT_EQ("HX402A", sink.Text(VersionControlId(0, VersionText::BoardInternal)));
    EXPECT_EQ(true, sink.Enabled(ctl::kStartButton));
    EXPECT_EQ(2, doc.Runtime(0).phoneState.load());
    EXPECT_EQ(6, doc.LineAtPort(0));
    // Each pass stamps a new ready line into the log.
    ASSERT_TRUE(WaitForReadyCount(0, 3));
    EXPECT_NE(std::string::npos, view.LineLog(0).find(std::string("\u2014\u2014") + kReady + "\n"));
}

// The search's pause ends at the first 100 ms slice after a stick came or went (the udev monitor's
// count moved), and a pause or stop request still ends any sleep at once.
TEST(PollControlSleep, EndsEarlyWhenWokenAndAtOnceWhenPausedOrStopped) {
    platform::VirtualClock clock;
    PollControl control(clock);
    int checks = 0;
    EXPECT_TRUE(control.Sleep(1000, [&] { return ++checks == 3; }));
    EXPECT_EQ(clock.TickMs(), 300u);
    EXPECT_TRUE(control.Sleep(1000, [] { return false; }));
    EXPECT_EQ(clock.TickMs(), 1300u) << "the described sleep stays the upper bound";
    control.RequestPause();
    EXPECT_FALSE(control.Sleep(1000));
    control.Resume();
    control.Stop();
    EXPECT_FALSE(control.Sleep(1000));
    EXPECT_EQ(clock.TickMs(), 1300u);
}

}  // namespace
}  // namespace pellan
