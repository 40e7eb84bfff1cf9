#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QTest>

#include "form_actions.h"
#include "gui_bench.h"
#include "ui/line_controls.h"

namespace pellan::gui::test {
namespace {

constexpr int kWaitMs = 60000;

bool Ready(GuiBench& bench) {
    return bench.Text(ctl::kPortInformation) == "COM5" && bench.Enabled(ctl::kStartButton) &&
           bench.Text(ctl::kStatusLine) == "Ready, please press UPDATE to start.";
}

// The status line shows the last message of line 1 without its time stamp.
QString LastMessage(GuiBench& bench, int line) {
    QTest::qWait(20);
    return bench.Text(ctl::kMessageText + line);
}

TEST(PortActions, RestoresAndHidesTheDiagPortThroughTheAtPortIfThereIsOne) {
    GuiBench bench;
    bench.Plug();
    ASSERT_TRUE(bench.Start());
    ASSERT_TRUE(GuiBench::WaitUntil([&] { return Ready(bench); }, kWaitMs));
    ASSERT_EQ(bench.doc->Record(0).atPort, 6);

    HideOrRestoreDiagPort(*bench.view, bench.frame->State(), 0);
    EXPECT_EQ(LastMessage(bench, 0), "恢复DIAG口成功!");
    EXPECT_EQ(bench.Text(PortButtonId(0)), "隐藏端口");
    EXPECT_EQ(bench.view->m_diagPortHidden[0].load(), 1);
    EXPECT_NE(bench.frame->State().VersionText(0).find("HX402A"), std::string::npos)
        << bench.frame->State().VersionText(0);
    EXPECT_TRUE(bench.Enabled(ctl::kStartButton));
    EXPECT_FALSE(bench.view->LinePollingPaused(0)) << "polling was not let go on";

    HideOrRestoreDiagPort(*bench.view, bench.frame->State(), 0);
    EXPECT_EQ(LastMessage(bench, 0), "隐藏DIAG口成功!");
    EXPECT_EQ(bench.Text(PortButtonId(0)), "恢复端口");
    EXPECT_EQ(bench.view->m_diagPortHidden[0].load(), 0);

    // Without an AT port the action only says so.
    ASSERT_EQ(bench.doc->Record(1).atPort, 0);
    HideOrRestoreDiagPort(*bench.view, bench.frame->State(), 1);
    EXPECT_EQ(LastMessage(bench, 1), "Data端口不能为 0 !");
    EXPECT_EQ(bench.view->m_diagPortHidden[1].load(), 0);
    // An AT port that cannot be opened.
    bench.doc->Record(1).atPort = 42;
    HideOrRestoreDiagPort(*bench.view, bench.frame->State(), 1);
    EXPECT_EQ(LastMessage(bench, 1), "Data端口错误!");
}

TEST(PortActions, ReleaseAndConnectAllTwoPresses) {
    GuiBench bench;
    bench.Plug();
    ASSERT_TRUE(bench.Start());
    ASSERT_TRUE(GuiBench::WaitUntil([&] { return Ready(bench); }, kWaitMs));

    ReleaseOrConnectAllPorts(*bench.view);
    QTest::qWait(20);
    EXPECT_EQ(bench.view->m_portsReleased.load(), 1);
    EXPECT_TRUE(bench.view->LinePollingPaused(0));
    EXPECT_FALSE(bench.doc->Link(0).m_port.IsOpen());
    EXPECT_EQ(bench.Text(kReleaseAllButton), "全部连接");
    EXPECT_TRUE(bench.Enabled(kReleaseAllButton));
    EXPECT_TRUE(bench.Enabled(kRestoreAllButton));
    EXPECT_FALSE(bench.Enabled(ctl::kStartButton));
    EXPECT_FALSE(bench.Enabled(ctl::kStartAll));
    EXPECT_TRUE(bench.Enabled(ctl::kStopAll));

    ReleaseOrConnectAllPorts(*bench.view);
    QTest::qWait(20);
    EXPECT_EQ(bench.view->m_portsReleased.load(), 0);
    EXPECT_EQ(bench.Text(kReleaseAllButton), "全部释放");
    EXPECT_FALSE(bench.view->LinePollingPaused(0));
    EXPECT_TRUE(bench.Enabled(ctl::kStartAll));
    EXPECT_FALSE(bench.Enabled(ctl::kStopAll));
    // Polling goes on and offers UPDATE again.
    bench.frame->Controls().SetText(ctl::kStatusLine, "");
    EXPECT_TRUE(GuiBench::WaitUntil([&] { return Ready(bench); }, kWaitMs));
}

TEST(PellanCommands, AboutBoxAndHelpDocument) {
    GuiBench bench;
    ASSERT_TRUE(bench.Start());
    QStringList aboutTexts;
    QTimer::singleShot(50, [&] {
        QWidget* about = QApplication::activeModalWidget();
        ASSERT_NE(about, nullptr);
        aboutTexts << about->windowTitle();
        for (QLabel* label : about->findChildren<QLabel*>()) {
            aboutTexts << label->text();
        }
        qobject_cast<QDialog*>(about)->accept();
    });
    bench.frame->ShowAbout();
    EXPECT_TRUE(aboutTexts.contains("About"));
    EXPECT_TRUE(aboutTexts.contains("Quorvel_V1.00.00"));

    // English texts: the English help document in the program's folder.
    EXPECT_EQ(bench.frame->HelpDocument(), bench.dir.Path() / "program" / "Quorvel_help.doc");
    bench.frame->ShowHelp();
    ASSERT_EQ(bench.boxes.Boxes().size(), 1u);
    EXPECT_TRUE(bench.boxes.Boxes()[0].text.contains("Quorvel_help.doc"));
    bench.doc->m_language = 0;
    EXPECT_EQ(bench.frame->HelpDocument().filename(), "Quorvel_help_Chinese.doc");
}

}  // namespace
}  // namespace pellan::gui::test
