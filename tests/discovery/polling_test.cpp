#include <gtest/gtest.h>

#include <thread>

#include "sim/sim_machine.h"
#include "support/temp_dir.h"
#include "ui/line_controls.h"
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

    static sim::StickOptions QuickStick() {
        sim::StickOptions options;
        options.leaveDelayMs = 100;  // the reset's answer must be read before the ports go
        options.reenumDelayMs = 300;
        return options;
    }
    bool WaitForText(int id, const std::string& text) {
        return sink.WaitFor([&](const test::RecordingSink& s) { return s.TextLocked(id) == text; },
                            kWaitMs);
    }
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

TEST_F(PollingFixture, WithoutAStickTheFormShowsTheSearch) {
    view.StartLinePolling(0);
    ASSERT_TRUE(sink.WaitFor(
        [](const test::RecordingSink& s) {
            return s.TextLocked(ctl::kStatusLine) == "Search..." &&
                   s.TextLocked(ctl::kPortInformation) == "NULL" &&
                   s.TextLocked(ctl::kCurrentVersion) == "No Phone" &&
                   s.EnabledLocked(ctl::kStartButton) == false;
        },
        kWaitMs));
    EXPECT_EQ(0u, sink.CountEntries(0, kReady));
    EXPECT_EQ("", view.LineLog(0));
}

// Line 0 drives the form's own fields, the other lines their panels; a stick pulled out turns
// the line back to the search, and one plugged in again is found.
TEST_F(PollingFixture, WithAStickTheLineIsReadyAndAPulledOneIsSearchedFor) {
    sim::StickOptions options = QuickStick();
    options.firmwareVersion = "HX402A_V1.0.3_B05";
    auto stick = machine.AddStick(options);
    view.StartLinePolling(3);
    ASSERT_TRUE(WaitForReadyCount(3, 1));
    EXPECT_EQ("COM5", sink.Text(ctl::kDiagPortText + 3));
    EXPECT_EQ(true, sink.Enabled(ctl::kStartButton + 3));
    EXPECT_FALSE(sink.Text(ctl::kPortInformation)) << "line 4 wrote line 1's field";
    stick->Unplug();
    ASSERT_TRUE(sink.WaitFor(
        [](const test::RecordingSink& s) { return s.TextLocked(ctl::kDiagPortText + 3) == "NULL"; },
        kWaitMs));
    view.PauseLinePolling(3);
    ASSERT_FALSE(doc.Bindings().Holds(3)) << "three missed searches let the stick go";

    stick->Plug();
    view.StartLinePolling(0);
    ASSERT_TRUE(WaitForReadyCount(0, 1));
    EXPECT_EQ(kReady, sink.Text(ctl::kStatusLine));
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

// While the job runs the loop sends the stick nothing; afterwards it goes on with new passes.
TEST_F(PollingFixture, PauseAndResumeWithAJob) {
    auto stick = machine.AddStick(QuickStick());
    view.StartLinePolling(0);
    ASSERT_TRUE(WaitForReadyCount(0, 2));

    std::atomic<size_t> commandsAtStart{0};
    std::atomic<size_t> commandsAfterWait{0};
    std::atomic<bool> jobQueried{false};
    view.SetJobProcedures(JOB_UPDATE,
                          {nullptr, [&](CPellanView& v, int line) {
                               commandsAtStart = stick->Commands().size();
                               std::this_thread::sleep_for(std::chrono::milliseconds(300));
                               commandsAfterWait = stick->Commands().size();
                               CPellanDoc& d = v.Doc();
                               d.ReopenDiagPort(line, d.Record(line).diagPort, 115200);
                               jobQueried = d.QueryPhone(line);
                               v.FinishLineJob(line, "Update fail", 3);
                           }});
    view.m_useVersionArmprg = 0;
    ASSERT_TRUE(view.StartLineJob(0));
    view.WaitLineJob(0);
    EXPECT_EQ(commandsAtStart.load(), commandsAfterWait.load());
    EXPECT_TRUE(jobQueried.load());
    EXPECT_EQ((std::vector<int>{0, 1, 3}), sink.StateHistory(0));

    const size_t readyAfterJob = sink.CountEntries(0, kReady);
    ASSERT_TRUE(WaitForReadyCount(0, readyAfterJob + 1));
    EXPECT_EQ(true, sink.Enabled(ctl::kStartButton));
}

}  // namespace
}  // namespace pellan
