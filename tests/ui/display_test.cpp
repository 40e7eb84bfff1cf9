#include <gtest/gtest.h>

#include "platform/log_stamp.h"
#include "support/fake_serial.h"
#include "support/temp_dir.h"
#include "ui/line_controls.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan {
namespace {

struct DisplayFixture : ::testing::Test {
    platform::VirtualClock clock;
    test::FakeSerialProvider serial{clock};
    platform::Env env{&clock, &serial, nullptr, {}};
    test::TempDir dir;
    CPellanDoc doc{env, dir.Path()};
    test::RecordingSink sink;
    CPellanView view{doc, sink};

    DisplayFixture() {
        view.SetWallClock([] { return LocalTime{2012, 3, 5, 9, 7, 3}; });
    }
};

// The GUI's offscreen tests check on the real window what a person sees of a line (status line,
// port, versions, progress, Start All and Stop All), the CLI's end-to-end scripts the time stamp;
// here what they do not reach.
TEST_F(DisplayFixture, LinesOutsideTheRangeChangeNothing) {
    for (const int line : {8, -1}) {
        view.ShowLineMessage(line, "x", 1);
        view.SetLineProgress(line, 50);
        view.SetLineState(line, 2);
        view.ShowLinePort(line);
        view.ShowLineVersions(line);
        view.EnableLineControls(line, 1);
        view.FinishLineJob(line, "x", 0);
        EXPECT_EQ("", view.LineLog(line));
    }
    EXPECT_TRUE(sink.Entries().empty());
    EXPECT_TRUE(sink.Boxes().empty());
    EXPECT_FALSE(sink.Text(ctl::kStatusLine));
    EXPECT_FALSE(sink.Enabled(ctl::kStopAll));
}

TEST_F(DisplayFixture, ProgressIsClampedAndZeroResetsTheRange) {
    const struct {
        int percent;
        const char* text;
        int position;
        int rangeSets;
    } cases[] = {
        {0, "0/100", 0, 1}, {37, "37/100", 37, 1}, {250, "100/100", 100, 1}, {0, "0/100", 0, 2}};
    for (const auto& c : cases) {
        view.SetLineProgress(6, c.percent);
        EXPECT_EQ(c.text, sink.Text(ctl::kProgressText + 6)) << c.percent;
        EXPECT_EQ(c.position, sink.Progress(ctl::kProgressBar + 6)) << c.percent;
        EXPECT_EQ(c.rangeSets, sink.RangeSets(ctl::kProgressBar + 6)) << c.percent;
    }
}

// The port texts ("COM5", "NULL", line one's own field) are the polling test's and the GUI's.
TEST_F(DisplayFixture, UnknownStatesAreReported) {
    view.SetLineState(2, 3);
    view.SetLineState(2, 4);
    view.SetLineState(2, -1);
    EXPECT_EQ(3, sink.State(2));
    EXPECT_EQ(3, view.LineStateOf(2));
    EXPECT_EQ(std::vector<std::string>(2, "出现不可知的状态类型！"), sink.Boxes());
}

TEST_F(DisplayFixture, ControlsLockWhileAnyLineRuns) {
    auto expectLocked = [&](bool locked) {
        for (const int id : ControlsLockedWhileRunning()) {
            EXPECT_EQ(!locked, sink.Enabled(id)) << id;
        }
        EXPECT_EQ(locked, sink.Enabled(ctl::kStopAll));
    };
    view.EnableLineControls(0, 1);
    expectLocked(false);
    EXPECT_EQ(true, sink.Enabled(ctl::kStartButton));
    EXPECT_EQ(false, sink.Enabled(ctl::kStopButton));

    doc.Runtime(2).running = 1;
    view.EnableLineControls(2, 0);
    expectLocked(true);
    EXPECT_EQ(true, sink.Enabled(ctl::kStartAll));
    EXPECT_EQ(false, sink.Enabled(ctl::kStartButton + 2));
    EXPECT_EQ(true, sink.Enabled(ctl::kStopButton + 2));

    for (int line = 0; line < kLineCount; ++line) {
        doc.Runtime(line).running = 1;
    }
    view.EnableLineControls(7, 0);
    EXPECT_EQ(false, sink.Enabled(ctl::kStartAll));
}

// How a job's result code ends the line: its state, a reset of the stick in the link's mode, and
// the request for a manual reset where the download mode cannot be left by itself.
struct FinishCase {
    int code;
    LinkMode mode;
    int state;
    bool reset;
    const char* box;   // nullptr: none
    int language = 1;  // 0: Chinese
};

class FinishLineJobTest : public DisplayFixture,
                          public ::testing::WithParamInterface<FinishCase> {};

bool WroteReset(const std::vector<test::Bytes>& writes, LinkMode mode) {
    return std::any_of(writes.begin(), writes.end(), [&](const test::Bytes& w) {
        return (mode == MODE_DIAG && w.size() >= 3 && w[0] == 0x29 && w[1] == 2 && w[2] == 0) ||
               (mode == MODE_DLOAD && w.size() >= 2 && w[0] == 0x7E && w[1] == 0x0A) ||
               (mode == MODE_STREAM && w.size() >= 2 && w[0] == 0x7E && w[1] == 0x0B);
    });
}

TEST_P(FinishLineJobTest, CodeTable) {
    const FinishCase c = GetParam();
    test::FakePort& port = serial.Port(7);
    ASSERT_TRUE(doc.ReopenDiagPort(1, 7, 115200));
    doc.Link(1).m_mode = c.mode;
    doc.Runtime(1).running = 1;
    doc.Runtime(1).phoneState = 2;
    doc.m_language = c.language;
    view.SetLineProgress(1, 60);

    view.FinishLineJob(1, "the end", c.code);

    EXPECT_EQ(c.state, sink.State(1));
    EXPECT_EQ(c.reset, WroteReset(port.Writes(), c.mode));
    if (!c.reset) {
        EXPECT_EQ(0u, port.WriteCount());
    }
    EXPECT_EQ(c.reset ? 1 : 2, doc.Runtime(1).phoneState.load());
    EXPECT_EQ(c.box ? std::vector<std::string>{c.box} : std::vector<std::string>{}, sink.Boxes());
    EXPECT_EQ("2012.3.5 9:7:3\u2014\u2014the end\n", view.LineLog(1));
    EXPECT_EQ(0, doc.Runtime(1).running.load());
    EXPECT_EQ(true, sink.Enabled(ctl::kStartButton + 1));
    EXPECT_EQ(false, sink.Enabled(ctl::kStopButton + 1));
    EXPECT_EQ("0/100", sink.Text(ctl::kProgressText + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FinishLineJobTest,
    ::testing::Values(
        FinishCase{0, MODE_DIAG, 2, true, nullptr}, FinishCase{1, MODE_DLOAD, 2, false, nullptr},
        FinishCase{2, MODE_STREAM, 3, true, nullptr}, FinishCase{3, MODE_DIAG, 3, false, nullptr},
        FinishCase{4, MODE_DLOAD, 3, true, nullptr}, FinishCase{5, MODE_DIAG, 3, false, nullptr},
        FinishCase{5, MODE_DLOAD, 3, false, "Line2 fail，please reset the modem manually"},
        FinishCase{5, MODE_DLOAD, 3, false, "线路2任务失败，请手动重启相应手机", 0},
        FinishCase{5, MODE_STREAM, 3, false, nullptr}),
    [](const auto& info) {
        return "Code" + std::to_string(info.param.code) + "Mode" + std::to_string(info.param.mode) +
               (info.param.language == 0 ? "Chinese" : "");
    });

}  // namespace
}  // namespace pellan
