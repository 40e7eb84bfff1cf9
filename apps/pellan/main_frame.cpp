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
#include <QTranslator>
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
#include "line/station_firmware.h"
#include "nv/nv_backup.h"
#include "phase_text.h"
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
    connect(m_factory, &FactoryView::languageRequested, this, &CMainFrame::SetLanguage);
    setFixedSize(sizeHint());
}

CMainFrame::~CMainFrame() {
    if (m_translator) {
        QCoreApplication::removeTranslator(m_translator.get());
    }
}

void CMainFrame::SetLanguage(UiLanguage language) {
    m_language = language;
    m_view.Doc().m_language = language == UiLanguage::CHINESE ? 0 : 1;
    // The captions are written in English; Chinese is the one translation.
    if (m_translator) {
        QCoreApplication::removeTranslator(m_translator.get());
        m_translator.reset();
    }
    if (language == UiLanguage::CHINESE) {
        m_translator = std::make_unique<QTranslator>();
        if (m_translator->load(QStringLiteral(":/i18n/pellan_zh_CN.qm"))) {
            QCoreApplication::installTranslator(m_translator.get());
        }
    }
}

void CMainFrame::BuildCommands() {
    auto command = [this](const char* source, const QKeySequence& keys, auto slot) {
        auto* action = new QAction(this);
        m_captions.Add([action, source] {
            action->setText(QCoreApplication::translate("pellan::gui::CMainFrame", source));
        });
        action->setShortcut(keys);
        action->setShortcutContext(Qt::ApplicationShortcut);
        connect(action, &QAction::triggered, this, slot);
        addAction(action);
        m_form->addAction(action);
        return action;
    };
    auto separator = [this] {
        auto* line = new QAction(this);
        line->setSeparator(true);
        m_form->addAction(line);
    };
    command(QT_TR_NOOP("Port..."), QKeySequence(Qt::CTRL | Qt::Key_P),
            [this] { OpenPortSettings(); });
    m_factoryAction =
        command(QT_TR_NOOP("Factory view"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F),
                [this](bool on) { ShowFactoryView(on); });
    m_factoryAction->setCheckable(true);
    command(QT_TR_NOOP("History..."), QKeySequence(Qt::CTRL | Qt::Key_H),
            [this] { OpenHistory(); });
    separator();
    // Each language's command names it in its own language, for the reader who needs it.
    command(kChineseVersionText, QKeySequence(), [this] { SetLanguage(UiLanguage::CHINESE); });
    command(kEnglishVersionText, QKeySequence(), [this] { SetLanguage(UiLanguage::ENGLISH); });
    separator();
    command(QT_TR_NOOP("Help Topic"), QKeySequence(Qt::Key_F1), [this] { ShowHelp(); });
    command(QT_TR_NOOP("About..."), QKeySequence(), [this] { ShowAbout(); });
    separator();
    command(QT_TR_NOOP("Exit"), QKeySequence(Qt::ALT | Qt::Key_F4), [this] { close(); });
    m_form->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void CMainFrame::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) {
        m_captions.Retranslate();
        RetranslatePortButtons(m_view, m_controls);
        for (int line = 0; line < kLineCount; ++line) {
            ShowLineActivity(line);
        }
    }
    QMainWindow::changeEvent(event);
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
    connect(&m_sink, &QtViewSink::jobEvent, this, &CMainFrame::OnJobEvent, queued);
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
    if (!ChooseNvFolder(doc.Records(), nvFolder.string(), error)) {
        m_view.MessageBox(error);
    }
    // The history lives beside the NV backups unless its settings file says otherwise.
    SetLineHistory(m_view, history::MakeStationHistory({}, doc.ProgramFolder(), nvFolder));
    // 4 to 6: the frame is already at the form's size and carries the title.
    m_factory->ApplyDefaults();
    RetranslatePortButtons(m_view, m_controls);
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

void CMainFrame::OnJobEvent(int line, const JobEvent& event) {
    if (line < 0 || line >= kLineCount) {
        return;
    }
    const auto index = static_cast<size_t>(line);
    switch (event.kind) {
        case JobEventKind::JOB_BEGIN:
            m_phase[index].reset();
            break;
        case JobEventKind::PHASE_BEGIN:
        case JobEventKind::PHASE_PROGRESS:
            m_phase[index] = event;
            break;
        case JobEventKind::RESULT:
            m_phase[index].reset();
            m_result[index] = event;
            break;
        default:
            return;
    }
    ShowLineActivity(line);
}

void CMainFrame::ShowLineActivity(int line) {
    const auto index = static_cast<size_t>(line);
    const QString phase = m_phase[index] ? PhaseLineText(*m_phase[index]) : QString();
    if (line == 0) {
        m_form->ShowPhase(phase);
    }
    m_factory->ShowLinePhase(line, phase);
    if (m_result[index]) {
        m_factory->ShowLineResult(line, ResultLineText(*m_result[index]), m_result[index]->ok);
    }
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
        m_view.MessageBox(tr("The help document %1 was not found.")
                              .arg(QString::fromStdString(document.string()))
                              .toStdString());
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(Q(document.string())));
}

void CMainFrame::ShowAbout() {
    QDialog about(this);
    about.setWindowTitle(tr("About"));
    about.setObjectName(QStringLiteral("about"));
    auto* row = new QHBoxLayout(&about);
    row->setContentsMargins(18, 16, 18, 12);
    row->setSpacing(16);
    auto* icon = new QLabel(&about);
    icon->setPixmap(ProgramIcon().pixmap(56, 56));
    icon->setAlignment(Qt::AlignTop);
    row->addWidget(icon);
    auto* column = new QVBoxLayout();
    auto* product = new QLabel(tr("HX402A Firmware Updater"), &about);
    product->setStyleSheet(QStringLiteral("font-size: 12pt; font-weight: 600;"));
    column->addWidget(product);
    column->addWidget(new QLabel(QStringLiteral("Quorvel_V1.00.00"), &about));
    column->addWidget(
        new QLabel(tr("Firmware package %1").arg(QString::fromLatin1(kUpdateVersion)), &about));
    column->addSpacing(8);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("OK"));
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
