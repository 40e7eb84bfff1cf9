#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFontDatabase>
#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <thread>

#include "factory_view.h"
#include "firmware/firmware_set.h"
#include "form_view.h"
#include "gui_bench.h"
#include "line/connection_manager.h"
#include "line/standard_jobs.h"
#include "platform/named_mutex.h"
#include "port_settings_dialog.h"
#include "ui/line_controls.h"

namespace pellan::gui::test {
namespace {

constexpr int kWaitMs = 60000;
constexpr const char* kReady = "Ready, please press UPDATE to start.";

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

bool ReadyShown(GuiBench& bench) {
    return bench.Text(ctl::kPortInformation) == "COM5" && bench.Enabled(ctl::kStartButton) &&
           bench.Text(ctl::kStatusLine) == kReady;
}

std::filesystem::path ScreenshotFolder() {
    return std::filesystem::path(PELLAN_BINARY_DIR) / "screenshots";
}

// ---------------------------------------------------------------- start-up

TEST(PellanWindow, StartUpShowsTheSticksPortAndVersionAndEnablesUpdate) {
    GuiBench bench;
    sim::StickOptions stick = GuiBench::FastStick();
    stick.firmwareVersion = "HX402A_V1.0.3_B05";
    bench.Plug(stick);
    ASSERT_TRUE(bench.Start());

    // Right after the start-up the form searches, with UPDATE off.
    QTest::qWait(0);
    EXPECT_FALSE(bench.frame->Form()->UpdateButton()->isEnabled());

    ASSERT_TRUE(GuiBench::WaitUntil([&] { return ReadyShown(bench); }, kWaitMs))
        << "status: " << bench.Text(ctl::kStatusLine).toStdString();
    EXPECT_EQ(bench.Text(ctl::kCurrentVersion), Q(bench.doc->DisplayText(0, 0)));
    EXPECT_TRUE(bench.Text(ctl::kCurrentVersion).startsWith("HX402A_V1.0.3_B05"))
        << bench.Text(ctl::kCurrentVersion).toStdString();
    EXPECT_EQ(bench.Text(ctl::kProgressText), "0/100");

    // The frame: title, fixed size, no maximize box; the six warnings in RGB(255, 40, 0).
    EXPECT_EQ(bench.frame->windowTitle(), "DL_HX402A_PKGV1.00.00");
    EXPECT_EQ(bench.frame->minimumSize(), bench.frame->maximumSize());
    EXPECT_FALSE(bench.frame->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(bench.frame->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    for (const int id : {1222, 1223, 1224, 1225, 1226, 1227}) {
        auto* warning = bench.frame->Controls().Find<QLabel>(id);
        ASSERT_NE(warning, nullptr) << id;
        warning->ensurePolished();
        EXPECT_EQ(warning->palette().color(QPalette::WindowText), QColor(255, 40, 0)) << id;
        EXPECT_TRUE(warning->isVisible()) << id;
    }
    // The factory view is off by default.
    EXPECT_FALSE(bench.frame->Factory()->isVisible());
    // The eight images are in the working folder under the device root.
    for (const FirmwareFile& file : kFirmwareFiles) {
        EXPECT_TRUE(std::filesystem::is_regular_file(bench.WorkingFolder() / file.name))
            << file.name;
    }
    EXPECT_TRUE(bench.boxes.Boxes().empty());
}

TEST(PellanWindow, SearchesWithoutAStick) {
    GuiBench bench;
    QSignalSpy texts(&bench.sink, &QtViewSink::controlText);
    ASSERT_TRUE(bench.Start());
    // The polling loop shows the searching display again every third miss.
    auto searches = [&] {
        int n = 0;
        for (const QList<QVariant>& call : texts) {
            n += call[0].toInt() == ctl::kStatusLine && call[1].toString() == "Search..." ? 1 : 0;
        }
        return n;
    };
    ASSERT_TRUE(GuiBench::WaitUntil([&] { return searches() >= 3; }, kWaitMs));
    QTest::qWait(20);
    EXPECT_EQ(bench.Text(ctl::kStatusLine), "Search...");
    EXPECT_EQ(bench.Text(ctl::kPortInformation), "NULL");
    EXPECT_EQ(bench.Text(ctl::kCurrentVersion), "No Phone");
    EXPECT_FALSE(bench.Enabled(ctl::kStartButton));
    EXPECT_TRUE(bench.boxes.Boxes().empty());
}

TEST(PellanWindow, RefusesToStartBesideTheConnectionManager) {
    GuiBench bench;
    bool held = false;
    const auto other =
        platform::NamedMutex::Create(kConnectionManagerMutex, bench.env.deviceRoot, held);
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(bench.Start());
    ASSERT_EQ(bench.boxes.Boxes().size(), 1u);
    EXPECT_EQ(bench.boxes.Boxes()[0].text, QString::fromUtf8(kUiRunningText));
    EXPECT_FALSE(std::filesystem::exists(bench.WorkingFolder()));
}

// ---------------------------------------------------------------- the update

TEST(PellanWindow, UpdateRunsToTheSuccessBoxAndThenEndsTheProgram) {
    GuiBench bench;
    const auto stick = bench.Plug();
    ASSERT_TRUE(bench.Start());
    ASSERT_TRUE(GuiBench::WaitUntil([&] { return ReadyShown(bench); }, kWaitMs));

    QSignalSpy progress(&bench.sink, &QtViewSink::controlProgress);
    bool endedBeforeAnswer = true;
    bool jobWaitedForAnswer = false;
    bench.boxes.onBox = [&](const Box& box) {
        if (box.caption != "Success") {
            return;
        }
        endedBeforeAnswer = bench.programEnded;
        // The job thread waits for this box; nothing it would do afterwards may happen now.
        QTest::qWait(150);
        jobWaitedForAnswer = !bench.programEnded && !bench.frame->EndRequested();
    };
    QTest::mouseClick(bench.frame->Form()->UpdateButton(), Qt::LeftButton);
    QTest::qWait(20);  // the view's changes reach the widgets through the event queue
    EXPECT_FALSE(bench.frame->Form()->UpdateButton()->isEnabled());

    ASSERT_TRUE(GuiBench::WaitUntil([&] { return bench.programEnded; }, 240000))
        << "status: " << bench.Text(ctl::kStatusLine).toStdString();
    ASSERT_FALSE(bench.boxes.Boxes().empty());
    const Box last = bench.boxes.Boxes().back();
    EXPECT_EQ(last.caption, "Success");
    EXPECT_TRUE(QRegularExpression("^Update success!  It costs \\d+ minutes and \\d+ seconds\\.$")
                    .match(last.text)
                    .hasMatch())
        << last.text.toStdString();
    EXPECT_EQ(bench.boxes.Boxes().size(), 1u) << "boxes other than the result";
    EXPECT_FALSE(endedBeforeAnswer);
    EXPECT_TRUE(jobWaitedForAnswer);
    EXPECT_TRUE(bench.frame->EndRequested());
    EXPECT_FALSE(bench.frame->isVisible());
    EXPECT_EQ(bench.Text(ctl::kStatusLine), last.text);
    EXPECT_EQ(bench.Text(ctl::kProgressText), "100/100");
    EXPECT_EQ(bench.frame->Controls().Find<QProgressBar>(ctl::kProgressBar)->value(), 100);
    int highest = 0;
    for (const QList<QVariant>& call : progress) {
        if (call[0].toInt() == ctl::kProgressBar) {
            highest = std::max(highest, call[1].toInt());
        }
    }
    EXPECT_EQ(highest, 100);
    EXPECT_TRUE(stick->UpdateFinished());
    // The job deleted the firmware set; the window's own closing steps did not run again.
    EXPECT_FALSE(std::filesystem::exists(bench.WorkingFolder()));
}

TEST(PellanWindow, WhileTheLineRunsTheWindowStaysOpenAndThePortsAsTheyAre) {
    GuiBench bench;
    bench.Plug();
    ASSERT_TRUE(bench.Start());
    ASSERT_TRUE(GuiBench::WaitUntil([&] { return ReadyShown(bench); }, kWaitMs));
    QTest::mouseClick(bench.frame->Form()->UpdateButton(), Qt::LeftButton);
    ASSERT_EQ(bench.doc->Runtime(0).running.load(), 1);

    EXPECT_FALSE(bench.frame->close());
    EXPECT_TRUE(bench.frame->isVisible());
    EXPECT_FALSE(bench.programEnded);
    bench.frame->OpenPortSettings();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    ASSERT_EQ(bench.boxes.Boxes().size(), 2u);
    EXPECT_EQ(bench.boxes.Boxes()[0].text, "Still running,not allowed to close the program!");
    EXPECT_EQ(bench.boxes.Boxes()[1].text, "Download is running,can't configure!");
    EXPECT_TRUE(std::filesystem::exists(bench.WorkingFolder()));

    // Stopped, the line ends its job; then the window closes and takes the firmware set along.
    bench.view->StopLine(0);
    ASSERT_TRUE(
        GuiBench::WaitUntil([&] { return bench.doc->Runtime(0).running.load() == 0; }, kWaitMs));
    bench.view->WaitLineJob(0);
    QTest::qWait(20);
    EXPECT_TRUE(bench.frame->close());
    EXPECT_TRUE(bench.programEnded);
    EXPECT_FALSE(std::filesystem::exists(bench.WorkingFolder()));
}

// ---------------------------------------------------------------- port settings

struct DuplicateRow {
    const char* name;
    PortList diag;
    PortList data;
    const char* message;  // empty: accepted
};

class PortAssignment : public ::testing::TestWithParam<DuplicateRow> {};

TEST_P(PortAssignment, GivesTheFirstDuplicateOrAccepts) {
    const DuplicateRow& row = GetParam();
    EXPECT_EQ(CheckPortAssignment(row.diag, row.data), row.message);
}

const DuplicateRow kDuplicateRows[] = {
    {"AllNull", {}, {}, ""},
    {"Distinct", {5, 7, 9, 0, 0, 0, 0, 0}, {6, 8, 10, 0, 0, 0, 0, 0}, ""},
    {"DiagOfLines1And4",
     {7, 0, 0, 7, 0, 0, 0, 0},
     {},
     "线路1的DIAG口和其他线路的DIAG口有重复分配现象!"},
    {"DiagOfLines3And8",
     {0, 0, 4, 0, 0, 0, 0, 4},
     {},
     "线路3的DIAG口和其他线路的DIAG口有重复分配现象!"},
    {"DataOfLines2And5",
     {},
     {0, 12, 0, 0, 12, 0, 0, 0},
     "线路2的DIAG口和其他线路的DIAG口有重复分配现象!"},
    {"DiagOfLine2IsDataOfLine6",
     {0, 9, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 9, 0, 0},
     "线路2的Diag口和线路6的DATA口有重复分配现象!"},
    {"DiagIsDataOfTheSameLine",
     {3, 0, 0, 0, 0, 0, 0, 0},
     {3, 0, 0, 0, 0, 0, 0, 0},
     "线路1的Diag口和线路1的DATA口有重复分配现象!"},
    {"DiagDuplicateReportedBeforeCross",
     {5, 5, 0, 0, 0, 0, 0, 0},
     {0, 0, 5, 0, 0, 0, 0, 0},
     "线路1的DIAG口和其他线路的DIAG口有重复分配现象!"},
};

INSTANTIATE_TEST_SUITE_P(Rows, PortAssignment, ::testing::ValuesIn(kDuplicateRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PellanWindow, PortDialogKeepsItselfOpenOnDuplicatesAndAppliesTheChoice) {
    GuiBench bench;
    ASSERT_TRUE(bench.Start());
    bool stayedOpen = false;
    bool listsHaveEveryPort = false;
    QTimer::singleShot(50, [&] {
        auto* dialog = qobject_cast<PortSettingsDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        listsHaveEveryPort = dialog->DiagList(0)->count() == 100 &&
                             dialog->DiagList(0)->itemText(0) == "NULL" &&
                             dialog->DiagList(0)->itemText(99) == "COM99" &&
                             dialog->DiagList(0)->currentIndex() == 1;
        dialog->DiagList(0)->setCurrentIndex(7);
        dialog->DiagList(3)->setCurrentIndex(7);
        dialog->accept();
        stayedOpen = dialog->isVisible();
        dialog->DiagList(3)->setCurrentIndex(0);
        dialog->DiagList(1)->setCurrentIndex(0);
        dialog->accept();
    });
    bench.frame->OpenPortSettings();
    EXPECT_TRUE(listsHaveEveryPort);
    EXPECT_TRUE(stayedOpen);
    ASSERT_EQ(bench.boxes.Boxes().size(), 1u);
    EXPECT_EQ(bench.boxes.Boxes()[0].text, "线路1的DIAG口和其他线路的DIAG口有重复分配现象!");
    EXPECT_EQ(bench.doc->Record(0).diagPort, 7);
    EXPECT_TRUE(bench.view->HasLinePolling(0));
    QTest::qWait(20);
    EXPECT_EQ(bench.Text(ctl::kPortInformation), "COM7");
}

TEST(PellanWindow, LineSetToNullShowsNoPhoneAndPollsNoMore) {
    GuiBench bench;
    bench.Plug();
    ASSERT_TRUE(bench.Start());
    ASSERT_TRUE(GuiBench::WaitUntil([&] { return ReadyShown(bench); }, kWaitMs));
    PortList ports{};  // every line "NULL"
    ApplyDiagPorts(*bench.view, ports);
    QTest::qWait(50);
    EXPECT_EQ(bench.doc->Record(0).diagPort, 0);
    EXPECT_EQ(bench.Text(ctl::kPortInformation), "NULL");
    EXPECT_EQ(bench.Text(ctl::kCurrentVersion), "No Phone");
    EXPECT_TRUE(bench.view->LinePollingPaused(0));
    // Nothing comes back while the stick is still there: the loop stays paused.
    QTest::qWait(200);
    EXPECT_EQ(bench.Text(ctl::kPortInformation), "NULL");
}

// ---------------------------------------------------------------- factory view

TEST(PellanWindow, FactoryViewStartsTwoLines) {
    GuiBench bench;
    bench.Plug();
    // Line 2 has a DIAG port as a settings file would give it; discovery then finds the stick.
    bench.doc->Record(1).diagPort = 5;
    ASSERT_TRUE(bench.Start());
    bench.frame->ShowFactoryView(true);
    FactoryView* factory = bench.frame->Factory();
    ASSERT_TRUE(factory->isVisible());
    ControlMap& controls = bench.frame->Controls();
    ASSERT_TRUE(GuiBench::WaitUntil(
        [&] {
            return bench.doc->Runtime(0).phoneState.load() == 2 &&
                   bench.doc->Runtime(1).phoneState.load() == 2;
        },
        kWaitMs));

    // Both lines back their NV up: the radio "Backup NV" of each line panel.
    for (const int line : {0, 1}) {
        auto* radio = qobject_cast<QRadioButton*>(controls.Widgets(1040 + 4 * line + 2).front());
        ASSERT_NE(radio, nullptr);
        QTest::mouseClick(radio, Qt::LeftButton);
        EXPECT_EQ(bench.doc->Runtime(line).jobKind, JOB_NV_BACKUP);
    }
    QSignalSpy states(&bench.sink, &QtViewSink::lineState);
    QSignalSpy enabled(&bench.sink, &QtViewSink::controlEnabled);
    auto* startAll = controls.Find<QPushButton>(ctl::kStartAll);
    ASSERT_NE(startAll, nullptr);
    QTest::mouseClick(startAll, Qt::LeftButton);

    auto passed = [&](int line) {
        for (const QList<QVariant>& call : states) {
            if (call[0].toInt() == line && call[1].toInt() == 2) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(GuiBench::WaitUntil([&] { return passed(0) && passed(1); }, kWaitMs));
    for (const int line : {0, 1}) {
        bool ran = false;
        for (const QList<QVariant>& call : states) {
            ran = ran || (call[0].toInt() == line && call[1].toInt() == 1);
        }
        EXPECT_TRUE(ran) << "line " << line + 1 << " never showed the running state";
        const std::filesystem::path nvm =
            bench.env.deviceRoot / ("Channel" + std::to_string(line + 1) + ".nvm");
        EXPECT_EQ(std::filesystem::file_size(nvm), 850u * 136u) << nvm;
    }
    bool stopAllOffered = false;
    for (const QList<QVariant>& call : enabled) {
        stopAllOffered = stopAllOffered || (call[0].toInt() == ctl::kStopAll && call[1].toBool());
    }
    EXPECT_TRUE(stopAllOffered);
    ASSERT_TRUE(GuiBench::WaitUntil(
        [&] { return factory->ShownLineState(0) == 2 && factory->ShownLineState(1) == 2; },
        kWaitMs));
    EXPECT_EQ(bench.doc->Runtime(0).running.load(), 0);
    EXPECT_EQ(bench.doc->Runtime(1).running.load(), 0);
    EXPECT_TRUE(bench.boxes.Boxes().empty()) << bench.boxes.Boxes()[0].text.toStdString();
}

// ---------------------------------------------------------------- the sink

TEST(QtViewSinkThreads, ABoxFromAJobThreadBlocksOnlyThatThreadUntilAnswered) {
    QtViewSink sink;
    std::atomic<bool> returned{false};
    bool answeredOnWindowThread = false;
    sink.SetBoxPresenter([&](const QString& caption, const QString& text) {
        answeredOnWindowThread = QThread::currentThread() == qApp->thread();
        EXPECT_EQ(caption, "DL_HX402A_PKGV1.00.00");
        EXPECT_EQ(text, "Line1 fail，please reset the modem manually");
        QTest::qWait(100);
        EXPECT_FALSE(returned.load()) << "the job went on before the box was answered";
    });
    std::thread job([&] {
        sink.MessageBox("Line1 fail，please reset the modem manually");
        returned = true;
    });
    EXPECT_TRUE(GuiBench::WaitUntil([&] { return returned.load(); }, 5000));
    job.join();
    EXPECT_TRUE(answeredOnWindowThread);
}

TEST(QtViewSinkThreads, ShutdownReleasesAJobThreadThatWaitsForABox) {
    QtViewSink sink;
    std::atomic<bool> returned{false};
    std::thread job([&] {
        sink.MessageBox("never shown");
        returned = true;
    });
    QThread::msleep(50);
    EXPECT_FALSE(returned.load());
    sink.Shutdown();
    job.join();
    EXPECT_TRUE(returned.load());
}

TEST(QtViewSinkThreads, ControlChangesFromOtherThreadsReachWidgetsOnTheWindowThread) {
    GuiBench bench;
    ASSERT_TRUE(bench.Start());
    bench.view->PauseLinePolling(0);  // its searching display would overwrite the status line
    QTest::qWait(20);
    std::thread job([&] {
        bench.view->SetLineProgress(0, 250);
        bench.view->ShowLineMessage(0, "Downloading...", 1);
    });
    job.join();
    // Nothing has reached the widgets yet: only the window thread changes them.
    EXPECT_NE(bench.Text(ctl::kProgressText), "100/100");
    QTest::qWait(20);
    EXPECT_EQ(bench.Text(ctl::kProgressText), "100/100");
    EXPECT_EQ(bench.frame->Controls().Find<QProgressBar>(ctl::kProgressBar)->value(), 100);
    EXPECT_EQ(bench.Text(ctl::kStatusLine), "Downloading...");
}

TEST(QtViewSinkThreads, CaptionsTheUpdateResultSuccess) {
    EXPECT_EQ(QtViewSink::CaptionFor("Update success!  It costs 10 minutes and 5 seconds."),
              "Success");
    EXPECT_EQ(QtViewSink::CaptionFor("线路3下载成功！共花了1分1秒"), "Success");
    EXPECT_EQ(QtViewSink::CaptionFor("Update success!"), "DL_HX402A_PKGV1.00.00");
    EXPECT_EQ(QtViewSink::CaptionFor("source file path error!"), "DL_HX402A_PKGV1.00.00");
}

// ---------------------------------------------------------------- looks

TEST(PellanWindow, ChineseTextsHaveAFont) {
    EXPECT_FALSE(QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty())
        << "no font for Chinese texts (fonts-noto-cjk)";
}

TEST(PellanWindow, ScreenshotsOfTheFormAndTheFactoryView) {
    GuiBench bench;
    bench.Plug();
    bench.doc->Record(1).diagPort = 5;
    ASSERT_TRUE(bench.Start());
    ASSERT_TRUE(GuiBench::WaitUntil([&] { return ReadyShown(bench); }, kWaitMs));
    bench.frame->ShowFactoryView(true);
    ASSERT_TRUE(
        GuiBench::WaitUntil([&] { return bench.doc->Runtime(1).phoneState.load() == 2; }, kWaitMs));
    QTest::qWait(50);
    std::filesystem::create_directories(ScreenshotFolder());
    const std::pair<QWidget*, const char*> shots[] = {
        {bench.frame.get(), "main-window.png"},
        {bench.frame->Factory(), "factory-view.png"},
    };
    for (const auto& [widget, name] : shots) {
        const QImage image = widget->grab().toImage();
        const std::filesystem::path file = ScreenshotFolder() / name;
        ASSERT_TRUE(image.save(Q(file.string()))) << file;
        const QImage back(Q(file.string()));
        EXPECT_EQ(back.size(), widget->size() * widget->devicePixelRatio()) << name;
    }
}

}  // namespace
}  // namespace pellan::gui::test

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
