#include "main_frame.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "factory_view.h"
#include "firmware/firmware_set.h"
#include "form_view.h"
#include "history/history_recorder.h"
#include "history_window.h"
#include "line/connection_manager.h"
#include "line/job_history.h"
#include "line/standard_jobs.h"
#include "nv/nv_backup.h"
#include "platform/named_mutex.h"
#include "port_settings_dialog.h"
#include "qt_view_sink.h"
#include "state_pictures.h"
#include "ui/line_controls.h"
#include "ui/pellan_view.h"

namespace pellan::gui {

namespace {

constexpr int kFormWidth = 760;
constexpr uint32_t kLineStartGapMs = 100;
constexpr int kEndRetryMs = 500;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

CMainFrame::CMainFrame(CPellanView& view, QtViewSink& sink, QWidget* parent)
    : QMainWindow(parent), m_view(view), m_sink(sink) {
    setObjectName(QStringLiteral("mainFrame"));
    // Caption, system menu and minimize box only: no maximize box, no sizing border.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromLatin1(kFormTitle));
    setWindowIcon(ProgramIcon());
    m_form = new FormView(m_controls, this);
    m_form->setFixedWidth(kFormWidth);
    setCentralWidget(m_form);
    m_factory = new FactoryView(m_view, m_state, m_controls, this);
    m_factory->setWindowIcon(ProgramIcon());
    BuildCommands();
    ConnectSink();
    connect(m_form, &FormView::updateClicked, this, [this] {
        if (!m_endRequested) {
            m_view.StartLineJob(0);
        }
    });
    connect(m_factory, &FactoryView::portSettingsRequested, this, &CMainFrame::OpenPortSettings);
    setFixedSize(sizeHint());
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::BuildCommands() {
    auto command = [this](const QString& text, const QKeySequence& keys, auto slot) {
        auto* action = new QAction(text, this);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::ApplicationShortcut);
        connect(action, &QAction::triggered, this, slot);
        addAction(action);
        m_form->addAction(action);
        return action;
    };
    command(QStringLiteral("Port..."), QKeySequence(Qt::CTRL | Qt::Key_P),
            [this] { OpenPortSettings(); });
    m_factoryAction =
        command(QStringLiteral("Factory view"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F),
                [this](bool on) { ShowFactoryView(on); });
    m_factoryAction->setCheckable(true);
    command(QStringLiteral("History..."), QKeySequence(Qt::CTRL | Qt::Key_H),
            [this] { OpenHistory(); });
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    m_form->addAction(separator);
    command(QStringLiteral("Help Topic"), QKeySequence(Qt::Key_F1), [this] { ShowHelp(); });
    command(QStringLiteral("About..."), QKeySequence(), [this] { ShowAbout(); });
    auto* separator2 = new QAction(this);
    separator2->setSeparator(true);
    m_form->addAction(separator2);
    command(QStringLiteral("Exit"), QKeySequence(Qt::ALT | Qt::Key_F4), [this] { close(); });
    m_form->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void CMainFrame::ConnectSink() {
    // Queued even when the view reports from this thread, so that everything is shown in the
    // order it was reported.
    const auto queued = Qt::QueuedConnection;
    connect(
        &m_sink, &QtViewSink::controlText, this,
        [this](int id, const QString& text) { m_controls.SetText(id, text); }, queued);
    connect(
        &m_sink, &QtViewSink::controlEnabled, this,
        [this](int id, bool enabled) { m_controls.SetEnabled(id, enabled); }, queued);
    connect(
        &m_sink, &QtViewSink::controlProgress, this,
        [this](int id, int position) { m_controls.SetProgress(id, position); }, queued);
    connect(
        &m_sink, &QtViewSink::controlProgressRange, this,
        [this](int id, int low, int high) { m_controls.SetProgressRange(id, low, high); }, queued);
    connect(&m_sink, &QtViewSink::lineState, this, &CMainFrame::OnLineState, queued);
    connect(&m_sink, &QtViewSink::programEndRequested, this, &CMainFrame::OnProgramEndRequested,
            queued);
}

HistoryWindow* CMainFrame::OpenHistory() {
    auto* window = new HistoryWindow(LineHistory(m_view), this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return window;
}

bool CMainFrame::StartUp() {
    CPellanDoc& doc = m_view.Doc();
    platform::Env& env = doc.Env();
    // 1
    for (int line = 0; line < kLineCount; ++line) {
        m_state.SetVersionText(line, "No Phone");
    }
    m_view.m_portsReleased = 0;
    // 2: not beside the connection manager's user interface.
    bool uiRunning = false;
    m_uiMutex = TakeConnectionManagerMutex(env, uiRunning);
    if (uiRunning) {
        m_view.MessageBox(kUiRunningText);
        return false;
    }
    // 3: the NV folder starts as the program's folder (or the user's data folder); against a
    // device root it is the root, so that a simulated run leaves nothing beside the program.
    const std::filesystem::path dataFolder =
        m_dataFolder.empty() ? doc.ProgramFolder() : m_dataFolder;
    const std::filesystem::path nvFolder = env.deviceRoot.empty() ? dataFolder : env.deviceRoot;
    std::string error;
    if (!ChooseNvFolder(doc, nvFolder.string(), error)) {
        m_view.MessageBox(error);
    }
    // The history lives beside the NV backups unless its settings file says otherwise.
    SetLineHistory(m_view, history::MakeStationHistory({}, doc.ProgramFolder(), nvFolder));
    // 4 to 6: the frame is already at the form's size and carries the title.
    m_factory->ApplyDefaults();
    for (int line = 0; line < kLineCount; ++line) {
        m_controls.SetText(PortButtonId(line), QString::fromUtf8(kRestorePortText));
    }
    // 7
    for (int line = 0; line < kLineCount; ++line) {
        m_view.ShowLinePort(line);
        m_view.ShowLineVersions(line);
        m_view.EnableLineControls(line, 1);
        m_view.SetLineProgress(line, 0);
        m_view.m_diagPortHidden[static_cast<size_t>(line)] = 0;
    }
    // 8, 9
    if (!InstallFirmwareSet(m_view)) {
        return false;
    }
    m_controls.SetText(1155, Q(GetField(doc.Record(0).firmwareFolder)));
    // 10
    for (int line = 0; line < kLineCount; ++line) {
        if (line > 0) {
            doc.Clock().SleepMs(kLineStartGapMs);
        }
        if (doc.Record(line).atPort != 0) {
            HideOrRestoreDiagPort(m_view, m_state, line);
        }
        if (doc.Record(line).diagPort == 0) {
            m_state.SetVersionText(line, "NULL");
            m_view.ShowLineVersions(line);
        } else {
            m_view.StartLinePolling(line);
        }
    }
    // 11
    ViewSink& sink = m_view.Sink();
    sink.ControlEnabled(ctl::kStartButton, false);
    sink.ControlText(ctl::kStatusLine, "Search...");
    sink.ControlText(ctl::kPortInformation, "NULL");
    sink.ControlText(ctl::kCurrentVersion, "No Phone");
    return true;
}

void CMainFrame::OnLineState(int line, int state) {
    m_factory->ShowLineState(line, state);
}

void CMainFrame::ShowFactoryView(bool show) {
    if (m_factoryAction != nullptr && m_factoryAction->isChecked() != show) {
        m_factoryAction->setChecked(show);
    }
    if (!show) {
        m_factory->hide();
        return;
    }
    m_factory->adjustSize();
    m_factory->show();
    m_factory->raise();
    // The factory view drives a station: every line looks for a stick of its own, whatever
    // port number the settings file gave it.
    for (int line = 0; line < kLineCount; ++line) {
        if (!m_view.HasLinePolling(line)) {
            m_view.StartLinePolling(line);
        }
    }
}

void CMainFrame::OpenPortSettings() {
    if (m_view.AnyLineRunning()) {
        m_view.MessageBox(
            m_view.Text("Download is running,can't configure!", "下载正在进行,不能进行配置!"));
        return;
    }
    CPellanDoc& doc = m_view.Doc();
    PortList diag{};
    PortList data{};
    for (int line = 0; line < kLineCount; ++line) {
        diag[static_cast<size_t>(line)] = doc.Record(line).diagPort;
        data[static_cast<size_t>(line)] = doc.Record(line).atPort;
    }
    PortSettingsDialog dialog(
        diag, data, [this](const std::string& text) { m_view.MessageBox(text); }, this);
    if (dialog.exec() == QDialog::Accepted) {
        ApplyDiagPorts(m_view, dialog.DiagPorts());
    }
}

std::filesystem::path CMainFrame::HelpDocument() const {
    const bool english = m_view.Doc().m_language.load() != 0;
    // The help document ships beside the program, even when the settings live elsewhere.
    const std::filesystem::path folder =
        m_programFolder.empty() ? m_view.Doc().ProgramFolder() : m_programFolder;
    return folder / (english ? "Quorvel_help.doc" : "Quorvel_help_Chinese.doc");
}

void CMainFrame::ShowHelp() {
    const std::filesystem::path document = HelpDocument();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(document, ec)) {
        m_view.MessageBox("The help document " + document.string() + " was not found.");
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(Q(document.string())));
}

void CMainFrame::ShowAbout() {
    QDialog about(this);
    about.setWindowTitle(QStringLiteral("About"));
    about.setObjectName(QStringLiteral("about"));
    auto* row = new QHBoxLayout(&about);
    row->setContentsMargins(18, 16, 18, 12);
    row->setSpacing(16);
    auto* icon = new QLabel(&about);
    icon->setPixmap(ProgramIcon().pixmap(56, 56));
    icon->setAlignment(Qt::AlignTop);
    row->addWidget(icon);
    auto* column = new QVBoxLayout();
    auto* product = new QLabel(QStringLiteral("HX402A Firmware Updater"), &about);
    product->setStyleSheet(QStringLiteral("font-size: 12pt; font-weight: 600;"));
    column->addWidget(product);
    column->addWidget(new QLabel(QStringLiteral("Quorvel_V1.00.00"), &about));
    column->addWidget(new QLabel(
        QStringLiteral("Firmware package %1").arg(QString::fromLatin1(kUpdateVersion)), &about));
    column->addSpacing(8);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
    connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    column->addWidget(buttons);
    row->addLayout(column);
    about.setFixedSize(about.sizeHint());
    about.exec();
}

void CMainFrame::OnProgramEndRequested() {
    m_endRequested = true;
    for (int line = 0; line < kLineCount; ++line) {
        m_controls.SetEnabled(ctl::kStartButton + line, false);
    }
    m_controls.SetEnabled(ctl::kStartAll, false);
    EndWhenOtherLinesAreDone();
}

// The update job waited for the other lines before it asked; a line started since then must
// still not be cut off half-way.
void CMainFrame::EndWhenOtherLinesAreDone() {
    LineController& controller = LineControllerOf(m_view);
    for (int line = 0; line < kLineCount; ++line) {
        if (controller.phase[static_cast<size_t>(line)].load() ==
            static_cast<int>(LineJobPhase::RUNNING)) {
            QTimer::singleShot(kEndRetryMs, this, &CMainFrame::EndWhenOtherLinesAreDone);
            return;
        }
    }
    // The job has deleted the firmware set and restarted the connection manager itself.
    m_ended = true;
    m_factory->close();
    close();
    emit programEnded();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (m_ended) {
        event->accept();
        return;
    }
    if (!m_view.CanClose()) {
        event->ignore();
        return;
    }
    DeleteFirmwareSet(m_view);
    StartConnectionManager(m_view);
    m_ended = true;
    m_factory->close();
    event->accept();
    emit programEnded();
}

}  // namespace pellan::gui
