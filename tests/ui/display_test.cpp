#include <gtest/gtest.h>

#include "support/fake_serial.h"
#include "support/temp_dir.h"
#include "ui/line_controls.h"
#include "ui/log_stamp.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan {
namespace {

constexpr LocalTime kMarch5 = {2012, 3, 5, 9, 7, 3};

struct DisplayFixture : ::testing::Test {
    platform::VirtualClock clock;
    test::FakeSerialProvider serial{clock};
    platform::Env env{&clock, &serial, nullptr, {}};
    test::TempDir dir;
    CPellanDoc doc{env, dir.Path()};
    test::RecordingSink sink;
    CPellanView view{doc, sink};

    DisplayFixture() {
        view.SetWallClock([] { return kMarch5; });
    }
};

TEST(LogStamp, NumbersWithoutLeadingZerosThenTheSeparator) {
    EXPECT_EQ("2012.3.5 9:7:3\u2014\u2014", FormatLogStamp(kMarch5));
    EXPECT_EQ("2026.12.31 23:59:58\u2014\u2014", FormatLogStamp({2026, 12, 31, 23, 59, 58}));
    EXPECT_EQ("2000.1.1 0:0:0\u2014\u2014", FormatLogStamp({2000, 1, 1, 0, 0, 0}));
    // The separator is two em dashes, six bytes of UTF-8.
    EXPECT_EQ(std::string("\xE2\x80\x94\xE2\x80\x94"), kLogSeparator);
}

TEST_F(DisplayFixture, StampedMessageGoesToTheLogAndBothFieldsOfLineOne) {
    view.ShowLineMessage(0, "Ready, please press UPDATE to start.", 1);
    view.ShowLineMessage(0, "plain", 0);
    EXPECT_EQ("2012.3.5 9:7:3\u2014\u2014Ready, please press UPDATE to start.\nplain\n",
              view.LineLog(0));
    EXPECT_EQ("plain", sink.Text(ctl::kMessageText));
    EXPECT_EQ("plain", sink.Text(ctl::kStatusLine));
    ASSERT_EQ(2u, sink.Entries().size());
    EXPECT_EQ("2012.3.5 9:7:3\u2014\u2014Ready, please press UPDATE to start.",
              sink.Entries()[0].text);
}

TEST_F(DisplayFixture, OtherLinesUseOnlyTheirOwnMessageText) {
    view.ShowLineMessage(3, "line four", 0);
    EXPECT_EQ("line four\n", view.LineLog(3));
    EXPECT_EQ("line four", sink.Text(ctl::kMessageText + 3));
    EXPECT_FALSE(sink.Text(ctl::kStatusLine));
    EXPECT_EQ("", view.LineLog(0));
}

TEST_F(DisplayFixture, LinesOutsideTheRangeChangeNothing) {
    for (const int line : {8, 9, -1, 100}) {
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
    EXPECT_FALSE(sink.Text(ctl::kMessageText + 8));
    EXPECT_FALSE(sink.Enabled(ctl::kStopAll));
    for (int line = 0; line < kLineCount; ++line) {
        EXPECT_EQ("", view.LineLog(line));
        EXPECT_FALSE(sink.State(line));
    }
}

TEST_F(DisplayFixture, ProgressTextIsClampedAndZeroResetsTheRange) {
    struct Case {
        int percent;
        const char* text;
        int position;
        int rangeSets;
    } cases[] = {
        {0, "0/100", 0, 1},       {37, "37/100", 37, 1}, {100, "100/100", 100, 1},
        {250, "100/100", 100, 1}, {0, "0/100", 0, 2},    {1, "1/100", 1, 2},
    };
    for (const auto& c : cases) {
        view.SetLineProgress(0, c.percent);
        EXPECT_EQ(c.text, sink.Text(ctl::kProgressText)) << c.percent;
        EXPECT_EQ(c.position, sink.Progress(ctl::kProgressBar)) << c.percent;
        EXPECT_EQ(c.rangeSets, sink.RangeSets(ctl::kProgressBar)) << c.percent;
    }
    EXPECT_EQ((std::pair<int, int>{0, 100}), sink.Range(ctl::kProgressBar));
    view.SetLineProgress(6, 250);
    EXPECT_EQ("100/100", sink.Text(ctl::kProgressText + 6));
}

TEST_F(DisplayFixture, StatesOutsideTheTableAreReported) {
    for (int state = 0; state <= 3; ++state) {
        view.SetLineState(2, state);
        EXPECT_EQ(state, sink.State(2));
        EXPECT_EQ(state, view.LineStateOf(2));
    }
    view.SetLineState(2, 4);
    view.SetLineState(2, -1);
    EXPECT_EQ(3, view.LineStateOf(2));
    EXPECT_EQ((std::vector<std::string>{"出现不可知的状态类型！", "出现不可知的状态类型！"}),
              sink.Boxes());
}

TEST_F(DisplayFixture, PortTextFollowsTheDiagPortNumber) {
    doc.Record(0).diagPort = 12;
    view.ShowLinePort(0);
    EXPECT_EQ("COM12", sink.Text(ctl::kDiagPortText));
    EXPECT_EQ("COM12", sink.Text(ctl::kPortInformation));
    EXPECT_EQ("COM12", view.LinePortText(0));
    doc.Record(4).diagPort = 0;
    view.ShowLinePort(4);
    EXPECT_EQ("NULL", sink.Text(ctl::kDiagPortText + 4));
    EXPECT_EQ("COM12", sink.Text(ctl::kPortInformation));
}

TEST_F(DisplayFixture, VersionsGoToTheLinesThreeControls) {
    SetField(doc.Runtime(0).currentVersion, "CUR");
    SetField(doc.Runtime(0).secondVersion, "SECOND");
    SetField(doc.Runtime(0).identity, "HX402A");
    view.ShowLineVersions(0);
    EXPECT_EQ("SECOND", sink.Text(1073));
    EXPECT_EQ("HX402A", sink.Text(1166));
    EXPECT_EQ("CUR", sink.Text(1165));
    EXPECT_EQ("CUR", sink.Text(ctl::kCurrentVersion));

    sink.ClearControls();
    doc.SetLineVersionTexts(5, "No Phone", true);
    view.ShowLineVersions(5);
    EXPECT_EQ("No Phone", sink.Text(1176));
    EXPECT_EQ("No Phone", sink.Text(1077));
    EXPECT_FALSE(sink.Text(ctl::kCurrentVersion));
}

TEST_F(DisplayFixture, ControlsLockWhileAnyLineRuns) {
    auto expectLocked = [&](bool locked) {
        for (const int id : ControlsLockedWhileRunning()) {
            EXPECT_EQ(!locked, sink.Enabled(id)) << id;
        }
    };
    view.EnableLineControls(0, 1);
    expectLocked(false);
    EXPECT_EQ(false, sink.Enabled(ctl::kStopAll));
    EXPECT_EQ(true, sink.Enabled(ctl::kStartAll));
    EXPECT_EQ(true, sink.Enabled(ctl::kStartButton));
    EXPECT_EQ(false, sink.Enabled(ctl::kStopButton));

    doc.Runtime(2).running = 1;
    view.EnableLineControls(2, 0);
    expectLocked(true);
    EXPECT_EQ(true, sink.Enabled(ctl::kStopAll));
    EXPECT_EQ(true, sink.Enabled(ctl::kStartAll));
    EXPECT_EQ(false, sink.Enabled(ctl::kStartButton + 2));
    EXPECT_EQ(true, sink.Enabled(ctl::kStopButton + 2));

    for (int line = 0; line < kLineCount; ++line) {
        doc.Runtime(line).running = 1;
    }
    view.EnableLineControls(7, 0);
    EXPECT_EQ(false, sink.Enabled(ctl::kStartAll));

    for (int line = 0; line < kLineCount; ++line) {
        doc.Runtime(line).running = 0;
    }
    view.m_portsReleased = 1;  // released ports count as all lines running
    view.EnableLineControls(1, 1);
    expectLocked(true);
    EXPECT_EQ(true, sink.Enabled(ctl::kStopAll));
    EXPECT_EQ(false, sink.Enabled(ctl::kStartAll));
}

// ---- FinishLineJob ----

struct FinishCase {
    int code;
    LinkMode mode;
    int state;
    bool reset;
    bool box;
};

class FinishLineJobTest : public DisplayFixture,
                          public ::testing::WithParamInterface<FinishCase> {};

bool WroteReset(const std::vector<test::Bytes>& writes, LinkMode mode) {
    for (const auto& w : writes) {
        if (mode == MODE_DIAG && w.size() >= 3 && w[0] == 0x29 && w[1] == 2 && w[2] == 0) {
            return true;
        }
        if (mode == MODE_DLOAD && w.size() >= 2 && w[0] == 0x7E && w[1] == 0x0A) {
            return true;
        }
        if (mode == MODE_STREAM && w.size() >= 2 && w[0] == 0x7E && w[1] == 0x0B) {
            return true;
        }
    }
    return false;
}

TEST_P(FinishLineJobTest, CodeTable) {
    const FinishCase c = GetParam();
    const int line = 1;
    test::FakePort& port = serial.Port(7);
    ASSERT_TRUE(doc.ReopenDiagPort(line, 7, 115200));
    doc.Link(line).m_mode = c.mode;
    doc.Runtime(line).running = 1;
    doc.Runtime(line).phoneState = 2;
    view.SetLineProgress(line, 60);

    view.FinishLineJob(line, "the end", c.code);

    EXPECT_EQ(c.state, sink.State(line));
    EXPECT_EQ(c.reset, WroteReset(port.Writes(), c.mode)) << "code " << c.code;
    if (!c.reset) {
        EXPECT_EQ(0u, port.WriteCount());
    }
    EXPECT_EQ(c.reset ? 1 : 2, doc.Runtime(line).phoneState.load());
    if (c.box) {
        EXPECT_EQ((std::vector<std::string>{"Line2 fail，please reset the modem manually"}),
                  sink.Boxes());
    } else {
        EXPECT_TRUE(sink.Boxes().empty());
    }
    EXPECT_EQ("2012.3.5 9:7:3\u2014\u2014the end\n", view.LineLog(line));
    EXPECT_EQ(0, doc.Runtime(line).running.load());
    EXPECT_EQ(true, sink.Enabled(ctl::kStartButton + line));
    EXPECT_EQ(false, sink.Enabled(ctl::kStopButton + line));
    EXPECT_EQ("0/100", sink.Text(ctl::kProgressText + line));
    EXPECT_EQ(0, sink.Progress(ctl::kProgressBar + line));
}

std::string FinishCaseName(const ::testing::TestParamInfo<FinishCase>& info) {
    static const char* const kModes[] = {"Diag", "Dload", "Stream", "Raw"};
    return "Code" + std::to_string(info.param.code) + kModes[info.param.mode];
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FinishLineJobTest,
    ::testing::Values(
        FinishCase{0, MODE_DIAG, 2, true, false}, FinishCase{0, MODE_DLOAD, 2, true, false},
        FinishCase{1, MODE_DIAG, 2, false, false}, FinishCase{1, MODE_DLOAD, 2, false, false},
        FinishCase{2, MODE_DIAG, 3, true, false}, FinishCase{2, MODE_DLOAD, 3, true, false},
        FinishCase{3, MODE_DIAG, 3, false, false}, FinishCase{3, MODE_DLOAD, 3, false, false},
        FinishCase{4, MODE_DIAG, 3, true, false}, FinishCase{4, MODE_DLOAD, 3, true, false},
        FinishCase{5, MODE_DIAG, 3, false, false}, FinishCase{5, MODE_DLOAD, 3, false, true},
        FinishCase{0, MODE_STREAM, 2, true, false}, FinishCase{2, MODE_STREAM, 3, true, false},
        FinishCase{4, MODE_STREAM, 3, true, false}, FinishCase{5, MODE_STREAM, 3, false, false}),
    FinishCaseName);

TEST_F(DisplayFixture, CodeFiveBoxInChineseAndTheCloseGuard) {
    doc.m_language = 0;
    doc.Link(0).m_mode = MODE_DLOAD;
    view.FinishLineJob(0, "x", 5);
    doc.m_language = 1;
    EXPECT_TRUE(view.CanClose());
    doc.Runtime(6).running = 1;
    EXPECT_FALSE(view.CanClose());
    EXPECT_EQ((std::vector<std::string>{"线路1任务失败，请手动重启相应手机",
                                        "Still running,not allowed to close the program!"}),
              sink.Boxes());
}

}  // namespace
}  // namespace pellan
