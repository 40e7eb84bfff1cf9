#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "factory_view.h"
#include "firmware/firmware_set.h"
#include "form_actions.h"
#include "form_view.h"
#include "history_window.h"
#include "line/connection_manager.h"
#include "line/standard_jobs.h"
#include "main_frame.h"
#include "platform/named_mutex.h"
#include "port_settings_dialog.h"
#include "qt_view_sink.h"
#include "sim/sim_machine.h"
#include "support/resource_set.h"
#include "support/temp_dir.h"
#include "ui/line_controls.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

namespace pellan::gui::test {
namespace {

constexpr int kWaitMs = 60000;

struct Box {
    QString caption, text;
};

// The desktop program in-process: document, view, the standard jobs and the real window on Qt's
// offscreen platform, against simulated sticks on a clock whose fixed waits last a hundredth.
// Message boxes are the real ones; the bench reads and answers them (OK) as a user would, after
// `onBox` has looked at one still open.
class GuiBench {
  public:
    GuiBench() {
        env.clock = &clock;
        env.serial = &serial;
        env.registry = &registry;
        env.deviceRoot = dir.Path() / "root";
        std::filesystem::create_directories(env.deviceRoot);
        std::filesystem::create_directories(dir.Path() / "program");
        doc = std::make_unique<CPellanDoc>(env, dir.Path() / "program");
        view = std::make_unique<CPellanView>(*doc, sink);
        InstallStandardJobs(*view);
        QObject::connect(&m_boxTimer, &QTimer::timeout, [this] { AnswerBoxes(); });
        m_boxTimer.start(15);
    }
    ~GuiBench() {
        sink.Shutdown();
        for (int line = 0; line < kLineCount; ++line) {
            view->WaitLineJob(line);
        }
        frame.reset();
        ReleaseLineController(*view);
        view.reset();
        doc.reset();  // before the resource set goes
    }

    // A stick with the host's --fast timings (restarts a hundredth as long); a second or third
    // stick of a station is told from the first by its serial number and IMEI.
    std::shared_ptr<sim::StickModel> Plug(sim::StickOptions options = {}) {
        options.leaveDelayMs = 40;
        options.reenumDelayMs = 30;
        options.downloaderReenumDelayMs = 15;
        return machine.AddStick(std::move(options));
    }
    // Creates the window and runs its start-up; false when the start-up ended the program.
    bool Start() {
        frame = std::make_unique<CMainFrame>(*view, sink);
        QObject::connect(frame.get(), &CMainFrame::programEnded, [this] { programEnded = true; });
        frame->show();
        return frame->StartUp();
    }
    QString Text(int id) const {  // a label's or a button's
        QWidget* widget = frame->Controls().First(id);
        return widget != nullptr ? widget->property("text").toString() : QString();
    }
    bool Enabled(int id) const {
        QWidget* widget = frame->Controls().First(id);
        return widget != nullptr && widget->isEnabled();
    }
    bool Ready() const {
        return Text(ctl::kPortInformation) == "COM5" && Enabled(ctl::kStartButton) &&
               Text(ctl::kStatusLine) == "Ready, please press UPDATE to start.";
    }
    // Processes events until `done` or `ms` of real time.
    static bool WaitUntil(const std::function<bool()>& done, int ms = kWaitMs) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > ms) {
                return false;
            }
            QTest::qWait(10);
        }
        return true;
    }
    std::filesystem::path WorkingFolder() const { return pellan::WorkingFolder(env.deviceRoot); }

    pellan::test::TempDir dir;
    platform::SystemClock realClock;
    platform::FastClock clock{realClock};
    sim::SimMachine machine{clock};
    sim::SimSerialProvider serial{machine};
    sim::SimRegistry registry{machine};
    platform::Env env;
    QtViewSink sink;
    std::unique_ptr<CPellanDoc> doc;
    std::unique_ptr<CPellanView> view;
    std::unique_ptr<CMainFrame> frame;
    std::vector<Box> boxes;
    std::function<void(const Box&)> onBox;  // runs on the window thread while the box is open
    bool programEnded = false;

  private:
    void AnswerBoxes() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            QPointer<QMessageBox> box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible() || box->property("answered").toBool()) {
                continue;
            }
            box->setProperty("answered", true);
            boxes.push_back({box->windowTitle(), box->text()});
            if (onBox) {
                onBox(boxes.back());
            }
            if (box) {
                box->button(QMessageBox::Ok)->click();
            }
        }
    }

    QTimer m_boxTimer;
    pellan::test::ResourceSet m_resources{pellan::test::SmallSet()};
};

// The captions of every window (labels, buttons, group boxes, titles, commands, table headers)
// in the other language: under English those with Chinese characters, under Chinese those with
// Latin letters and none. Values (ports, versions, paths, the line's messages) are not captions.
std::string ForeignCaptions(UiLanguage language) {
    // The program's title names the product; each language button names its language in it.
    const QStringList sameInBoth = {kFormTitle, kEnglishVersionText,
                                    QString::fromUtf8(kChineseVersionText)};
    const QRegularExpression foreign(
        language == UiLanguage::ENGLISH ? "\\p{Han}" : "^\\P{Han}*[A-Za-z]\\P{Han}*$");
    QStringList texts;
    for (QWidget* widget : QApplication::allWidgets()) {
        for (const char* caption : {"windowTitle", "text", "title"}) {
            texts << (widget->property(kValueProperty).toBool()
                          ? QString()
                          : widget->property(caption).toString());
        }
        auto* table = qobject_cast<QTableWidget*>(widget);
        for (int column = 0; table != nullptr && column < table->columnCount(); ++column) {
            texts << table->horizontalHeaderItem(column)->text();
        }
        for (const QAction* action : widget->actions()) {
            texts << action->text();
        }
    }
    texts = texts.filter(foreign);
    texts.removeIf([&](const QString& text) { return sameInBoth.contains(text); });
    return texts.join(" | ").toStdString();
}

// Refused beside the connection manager's user interface; without a stick, searching.
TEST(PellanWindow, WithoutAStickItSearchesSpeaksEitherLanguageAndClosesTakingTheFirmwareSet) {
    GuiBench bench;
    bool held = false;
    auto other = platform::NamedMutex::Create(kConnectionManagerMutex, bench.env.deviceRoot, held);
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(bench.Start());
    ASSERT_EQ(bench.boxes.size(), 1u);
    EXPECT_EQ(bench.boxes[0].text, QString::fromUtf8(kUiRunningText));
    EXPECT_FALSE(std::filesystem::exists(bench.WorkingFolder()));
    other.reset();
    bench.boxes.clear();
    QSignalSpy texts(&bench.sink, &QtViewSink::controlText);
    ASSERT_TRUE(bench.Start());
    // The polling loop shows the searching display again every third miss.
    const QVariantList searching = {ctl::kStatusLine, QStringLiteral("Search...")};
    ASSERT_TRUE(GuiBench::WaitUntil(
        [&] { return std::count(texts.begin(), texts.end(), searching) >= 3; }));
    QTest::qWait(20);
    EXPECT_EQ(bench.Text(ctl::kStatusLine), "Search...");
    EXPECT_EQ(bench.Text(ctl::kPortInformation), "NULL");
    EXPECT_EQ(bench.Text(ctl::kCurrentVersion), "No Phone");
    EXPECT_FALSE(bench.Enabled(ctl::kStartButton));
    EXPECT_TRUE(bench.boxes.empty());

    // English texts: the English help document in the program's folder.
    EXPECT_EQ(bench.frame->HelpDocument(), bench.dir.Path() / "program" / "Quorvel_help.doc");
    bench.frame->ShowHelp();
    ASSERT_EQ(bench.boxes.size(), 1u);
    EXPECT_TRUE(bench.boxes[0].text.contains("Quorvel_help.doc"));
    // Every window in one language; the language buttons switch captions, the core's texts and
    // the help document.
    PortSettingsDialog ports(
        PortList{}, PortList{}, [](const std::string&) {}, bench.frame.get());
    bench.frame->OpenHistory();
    EXPECT_EQ(ForeignCaptions(UiLanguage::ENGLISH), "");
    for (const auto& [button, language, update, help] :
         {std::tuple("chineseVersion", UiLanguage::CHINESE, "升级", "Quorvel_help_Chinese.doc"),
          std::tuple("englishVersion", UiLanguage::ENGLISH, "UPDATE", "Quorvel_help.doc")}) {
        bench.frame->Factory()->findChild<QPushButton*>(button)->click();
        QTest::qWait(20);
        EXPECT_EQ(ForeignCaptions(language), "") << button;
        EXPECT_EQ(bench.Text(ctl::kStartButton), update);
        EXPECT_EQ(bench.doc->m_language.load(), language == UiLanguage::CHINESE ? 0 : 1);
        EXPECT_EQ(bench.frame->HelpDocument().filename(), help);
    }
    EXPECT_FALSE(QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty())
        << "no font for Chinese texts (fonts-noto-cjk)";

    // The port dialog stays open on a duplicate and applies the choice: line 1 on COM7.
    bool stayedOpen = false;
    bool listsHaveEveryPort = false;
    QTimer::singleShot(50, [&] {
        auto* dialog = qobject_cast<PortSettingsDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        const QComboBox* list = dialog->DiagList(0);
        listsHaveEveryPort = list->count() == 100 && list->itemText(0) == "NULL" &&
                             list->itemText(99) == "COM99" && list->currentIndex() == 1;
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
    ASSERT_EQ(bench.boxes.size(), 2u);
    EXPECT_EQ(bench.boxes[1].text, "线路1的DIAG口和其他线路的DIAG口有重复分配现象!");
    EXPECT_EQ(bench.doc->Record(0).diagPort, 7);
    EXPECT_TRUE(bench.view->HasLinePolling(0));
    QTest::qWait(20);
    EXPECT_EQ(bench.Text(ctl::kPortInformation), "COM7");

    for (const FirmwareFile& file : kFirmwareFiles) {
        EXPECT_TRUE(std::filesystem::is_regular_file(bench.WorkingFolder() / file.name))
            << file.name << " is not in the working folder under the device root";
    }
    EXPECT_TRUE(bench.frame->close());
    EXPECT_TRUE(bench.programEnded);
    EXPECT_FALSE(std::filesystem::exists(bench.WorkingFolder()));
}

// The start-up shows the stick's port and version and offers UPDATE; the update refuses closing
// and the port settings, then ends the program after the success box.
TEST(PellanWindow, StartUpOffersUpdateWhichRefusesClosingThenEndsTheProgramAfterTheSuccessBox) {
    GuiBench bench;
    const auto stick = bench.Plug();  // firmware "HX402A_V1.0.3_B05"
    ASSERT_TRUE(bench.Start());
    // Right after the start-up the form searches, with UPDATE off.
    QTest::qWait(0);
    EXPECT_FALSE(bench.frame->Form()->UpdateButton()->isEnabled());
    ASSERT_TRUE(GuiBench::WaitUntil([&] { return bench.Ready(); }))
        << "status: " << bench.Text(ctl::kStatusLine).toStdString();
    EXPECT_EQ(bench.Text(ctl::kCurrentVersion).toStdString(), bench.doc->DisplayText(0, 0));
    EXPECT_TRUE(bench.Text(ctl::kCurrentVersion).startsWith("HX402A_V1.0.3_B05"));
    EXPECT_EQ(bench.Text(ctl::kProgressText), "0/100");
    EXPECT_TRUE(bench.boxes.empty());

    // The phase line under the bar as each account entry left it.
    QStringList phases;
    QObject::connect(
        &bench.sink, &QtViewSink::jobEvent, bench.frame.get(),
        [&] { phases << bench.frame->Form()->ShownPhase(); }, Qt::QueuedConnection);
    bool endedBeforeAnswer = true;
    bool jobWaitedForAnswer = false;
    bench.onBox = [&](const Box& box) {
        if (box.caption == "Success") {
            endedBeforeAnswer = bench.programEnded;
            // The job thread waits for this box; nothing it would do afterwards may happen now.
            QTest::qWait(150);
            jobWaitedForAnswer = !bench.programEnded && !bench.frame->EndRequested();
        }
    };
    QTest::mouseClick(bench.frame->Form()->UpdateButton(), Qt::LeftButton);
    ASSERT_EQ(bench.doc->Runtime(0).running.load(), 1);
    QTest::qWait(20);  // the view's changes reach the widgets through the event queue
    EXPECT_FALSE(bench.frame->Form()->UpdateButton()->isEnabled());
    EXPECT_FALSE(bench.frame->close());
    EXPECT_TRUE(bench.frame->isVisible());
    bench.frame->OpenPortSettings();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    ASSERT_EQ(bench.boxes.size(), 2u);
    EXPECT_EQ(bench.boxes[0].text, "Still running,not allowed to close the program!");
    EXPECT_EQ(bench.boxes[1].text, "Download is running,can't configure!");

    ASSERT_TRUE(GuiBench::WaitUntil([&] { return bench.programEnded; }, 240000))
        << "status: " << bench.Text(ctl::kStatusLine).toStdString();
    ASSERT_EQ(bench.boxes.size(), 3u) << "boxes other than the result";
    const Box last = bench.boxes.back();
    EXPECT_EQ(last.caption, "Success");
    EXPECT_TRUE(last.text.contains(
        QRegularExpression("^Update success!  It costs \\d+ minutes and \\d+ seconds\\.$")));
    EXPECT_FALSE(endedBeforeAnswer);
    EXPECT_TRUE(jobWaitedForAnswer);
    EXPECT_TRUE(bench.frame->EndRequested());
    EXPECT_FALSE(bench.frame->isVisible());
    EXPECT_EQ(bench.Text(ctl::kStatusLine), last.text);
    EXPECT_EQ(bench.Text(ctl::kProgressText), "100/100");
    EXPECT_EQ(bench.frame->Controls().Find<QProgressBar>(ctl::kProgressBar)->value(), 100);
    EXPECT_TRUE(phases.contains("identity check"));
    EXPECT_GE(phases.indexOf(QRegularExpression("application image, cycle 1 · [\\d.]+ of [\\d.]+ "
                                                "MB · [\\d.]+ MB/s · \\d+:\\d\\d left")),
              0)
        << phases.join('\n').toStdString();
    EXPECT_EQ(bench.frame->Form()->ShownPhase(), "") << "the result ends the phase";
    EXPECT_EQ(bench.frame->Factory()->ShownLineResult(0), "Passed: " + last.text);
    EXPECT_TRUE(stick->UpdateFinished());
    // The job deleted the firmware set; the window's own closing steps did not run again.
    EXPECT_FALSE(std::filesystem::exists(bench.WorkingFolder()));

    // The history window from the menu: the job's row, and none for another stick.
    HistoryWindow* history = bench.frame->OpenHistory();
    ASSERT_EQ(history->Table()->rowCount(), 1) << history->Status()->text().toStdString();
    EXPECT_EQ(history->Table()->item(0, 3)->text(), "358812045678903");
    EXPECT_EQ(history->Table()->item(0, 9)->text(), last.text);
    history->ImeiFilter()->setText("490154203237518");
    history->Refresh();
    EXPECT_EQ(history->Status()->text(), "0 jobs");
}

struct DuplicateRow {
    const char* name;
    PortList diag, data;
    const char* message;  // empty: accepted
};

const DuplicateRow kDuplicateRows[] = {
    {"AllNull", {}, {}, ""},
    {"Distinct", {5, 7, 9}, {6, 8, 10}, ""},
    {"Diag3And8", {0, 0, 4, 0, 0, 0, 0, 4}, {}, "线路3的DIAG口和其他线路的DIAG口有重复分配现象!"},
    {"Data2And5", {}, {0, 12, 0, 0, 12}, "线路2的DIAG口和其他线路的DIAG口有重复分配现象!"},
    {"Diag2IsData6", {0, 9}, {0, 0, 0, 0, 0, 9}, "线路2的Diag口和线路6的DATA口有重复分配现象!"},
    {"Diag1IsData1", {3}, {3}, "线路1的Diag口和线路1的DATA口有重复分配现象!"},
    {"DiagTwiceBeforeCross", {5, 5}, {0, 0, 5}, "线路1的DIAG口和其他线路的DIAG口有重复分配现象!"},
};

TEST(PortAssignment, GivesTheFirstDuplicateOrAccepts) {
    for (const DuplicateRow& row : kDuplicateRows) {
        EXPECT_EQ(CheckPortAssignment(row.diag, row.data), row.message) << row.name;
    }
}

TEST(PellanWindow, PortActionsReleaseAndConnectRestoreAndHideAndANullLinePollsNoMore) {
    GuiBench bench;
    bench.Plug();
    ASSERT_TRUE(bench.Start());
    ASSERT_TRUE(GuiBench::WaitUntil([&] { return bench.Ready(); }));
    ASSERT_EQ(bench.doc->LineAtPort(0), 6);
    // The status line shows the line's last message without its time stamp.
    auto lastMessage = [&](int line) {
        QTest::qWait(20);
        return bench.Text(ctl::kMessageText + line);
    };

    // Release all, then connect all: two presses of one button.
    ReleaseOrConnectAllPorts(*bench.view);
    QTest::qWait(20);
    EXPECT_EQ(bench.view->m_portsReleased.load(), 1);
    EXPECT_TRUE(bench.view->LinePollingPaused(0));
    EXPECT_FALSE(bench.doc->Link(0).m_port.IsOpen());
    EXPECT_EQ(bench.Text(kReleaseAllButton), "Connect all");
    for (const int id : {kReleaseAllButton, kRestoreAllButton, ctl::kStopAll}) {
        EXPECT_TRUE(bench.Enabled(id)) << "control " << id << " while released";
    }
    for (const int id : {ctl::kStartButton, ctl::kStartAll}) {
        EXPECT_FALSE(bench.Enabled(id)) << "control " << id << " while released";
    }
    ReleaseOrConnectAllPorts(*bench.view);
    QTest::qWait(20);
    EXPECT_EQ(bench.view->m_portsReleased.load(), 0);
    EXPECT_EQ(bench.Text(kReleaseAllButton), "Release all");
    EXPECT_FALSE(bench.view->LinePollingPaused(0));
    EXPECT_TRUE(bench.Enabled(ctl::kStartAll));
    EXPECT_FALSE(bench.Enabled(ctl::kStopAll));
    bench.frame->Controls().SetText(ctl::kStatusLine, "");
    EXPECT_TRUE(GuiBench::WaitUntil([&] { return bench.Ready(); })) << "UPDATE offered again";

    // The DIAG port is restored and hidden through the AT port, if there is one.
    HideOrRestoreDiagPort(*bench.view, bench.frame->State(), 0);
    EXPECT_EQ(lastMessage(0), "恢复DIAG口成功!");
    EXPECT_EQ(bench.Text(PortButtonId(0)), "Hide port");
    EXPECT_EQ(bench.view->m_diagPortHidden[0].load(), 1);
    EXPECT_NE(bench.frame->State().VersionText(0).find("HX402A"), std::string::npos);
    EXPECT_TRUE(bench.Enabled(ctl::kStartButton));
    EXPECT_FALSE(bench.view->LinePollingPaused(0)) << "polling was not let go on";
    HideOrRestoreDiagPort(*bench.view, bench.frame->State(), 0);
    EXPECT_EQ(lastMessage(0), "隐藏DIAG口成功!");
    EXPECT_EQ(bench.Text(PortButtonId(0)), "Restore port");
    EXPECT_EQ(bench.view->m_diagPortHidden[0].load(), 0);
    ASSERT_EQ(bench.doc->Record(1).atPort, 0);
    HideOrRestoreDiagPort(*bench.view, bench.frame->State(), 1);
    EXPECT_EQ(lastMessage(1), "Data端口不能为 0 !");
    EXPECT_EQ(bench.view->m_diagPortHidden[1].load(), 0);
    bench.doc->Record(1).atPort = 42;  // one that cannot be opened
    HideOrRestoreDiagPort(*bench.view, bench.frame->State(), 1);
    EXPECT_EQ(lastMessage(1), "Data端口错误!");
    HideOrRestoreDiagPort(*bench.view, bench.frame->State(), 0);
    ASSERT_EQ(lastMessage(0), "恢复DIAG口成功!");  // the stick is back for what follows

    // Every line set to "NULL": no phone shown, and nothing comes back while the stick is there.
    ApplyDiagPorts(*bench.view, PortList{});
    QTest::qWait(50);
    EXPECT_EQ(bench.doc->Record(0).diagPort, 0);
    EXPECT_EQ(bench.Text(ctl::kPortInformation), "NULL");
    EXPECT_EQ(bench.Text(ctl::kCurrentVersion), "No Phone");
    EXPECT_TRUE(bench.view->LinePollingPaused(0));
    QTest::qWait(200);
    EXPECT_EQ(bench.Text(ctl::kPortInformation), "NULL");
}

// Under the Chinese interface: the phase and the last result of each line in Chinese too.
TEST(PellanWindow, FactoryViewStartsTwoLinesAndShowsTheirPhasesAndResults) {
    GuiBench bench;
    // Two sticks: each of the two lines that find one drives its own.
    bench.Plug();
    sim::StickOptions second;
    second.serial = "0002";
    second.imei = "358812045678911";
    bench.Plug(second);
    ASSERT_TRUE(bench.Start());
    bench.frame->SetLanguage(UiLanguage::CHINESE);
    EXPECT_FALSE(bench.frame->Factory()->isVisible()) << "the factory view is off by default";
    bench.frame->ShowFactoryView(true);
    FactoryView* factory = bench.frame->Factory();
    ASSERT_TRUE(factory->isVisible());
    ControlMap& controls = bench.frame->Controls();
    std::vector<int> lines;
    ASSERT_TRUE(GuiBench::WaitUntil([&] {
        lines.clear();
        for (int line = 0; line < kLineCount; ++line) {
            if (bench.doc->Bindings().Holds(line) &&
                bench.doc->Runtime(line).phoneState.load() == 2) {
                lines.push_back(line);
            }
        }
        return lines.size() == 2;
    }));

    // Both lines back their NV up: the radio "Backup NV" of each line panel.
    for (const int line : lines) {
        QTest::mouseClick(controls.Find<QRadioButton>(1040 + 4 * line + 2), Qt::LeftButton);
        EXPECT_EQ(bench.doc->Runtime(line).jobKind, JOB_NV_BACKUP);
    }
    // What the factory view showed at each account entry, read on the window thread: the sink
    // emits from the job threads, where a QSignalSpy would append while the test reads.
    QStringList phases;
    std::set<std::pair<int, int>> states;
    bool stopAllOffered = false;
    QObject window;
    QObject::connect(
        &bench.sink, &QtViewSink::jobEvent, &window,
        [&](int line) {
            phases << factory->ShownLinePhase(line);
            states.emplace(line, factory->ShownLineState(line));
            stopAllOffered = stopAllOffered || bench.Enabled(ctl::kStopAll);
        },
        Qt::QueuedConnection);
    // Start All from the keyboard, after the switch to Chinese: a new caption must not take the
    // button's shortcut away.
    factory->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(factory));
    QTest::keyClick(factory, Qt::Key_Return, Qt::ControlModifier);
    ASSERT_TRUE(GuiBench::WaitUntil([&] {
        return factory->ShownLineState(lines[0]) == 2 && factory->ShownLineState(lines[1]) == 2;
    }));
    EXPECT_GE(phases.indexOf(QRegularExpression("^NV备份 · \\d+ / \\d+ 项$")), 0)
        << phases.join('\n').toStdString();
    for (const int line : lines) {
        EXPECT_EQ(states.count({line, 1}), 1u) << "line " << line + 1 << " never showed running";
        EXPECT_TRUE(factory->ShownLineResult(line).startsWith("成功：")) << line + 1;
        const std::filesystem::path nvm =
            bench.env.deviceRoot / ("Channel" + std::to_string(line + 1) + ".nvm");
        EXPECT_EQ(std::filesystem::file_size(nvm), 850u * 136u) << nvm;
    }
    EXPECT_TRUE(stopAllOffered);
    for (int line = 0; line < kLineCount; ++line) {
        EXPECT_EQ(bench.doc->Runtime(line).running.load(), 0) << "only lines with a stick start";
    }
    EXPECT_TRUE(bench.boxes.empty()) << bench.boxes[0].text.toStdString();
}

// A box from a job thread blocks it until answered (the update test's Success box); without the
// window thread answering, the shutdown lets the job go on.
TEST(QtViewSinkThreads, ShutDownReleasesAJobWaitingForItsBoxAndTheResultBoxSaysSuccess) {
    std::atomic<bool> returned{false};
    QtViewSink closing;
    std::thread waiting([&] {
        closing.MessageBox("never shown");
        returned = true;
    });
    QThread::msleep(50);
    EXPECT_FALSE(returned.load());
    closing.Shutdown();
    waiting.join();
    EXPECT_TRUE(returned.load());
    // The update's result box, in either language, is captioned "Success".
    const std::pair<const char*, const char*> captions[] = {
        {"线路3下载成功！共花了1分1秒", "Success"},
        {"Update success!", "DL_HX402A_PKGV1.00.00"},
        {"source file path error!", "DL_HX402A_PKGV1.00.00"},
    };
    for (const auto& [text, caption] : captions) {
        EXPECT_EQ(QtViewSink::CaptionFor(text), caption) << text;
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
