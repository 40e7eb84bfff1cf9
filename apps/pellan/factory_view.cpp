#include "factory_view.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "control_map.h"
#include "form_actions.h"
#include "form_view.h"
#include "nv/nv_backup.h"
#include "nv/nv_restore.h"
#include "state_pictures.h"
#include "ui/line_controls.h"
#include "ui/pellan_view.h"

namespace pellan::gui {

namespace {

constexpr int kPictureSize = 22;

struct JobKindRadio {
    const char* text;
    JobKind kind;
};
constexpr const char* kContext = "pellan::gui::FactoryView";

constexpr JobKindRadio kJobKinds[] = {
    {QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "Download"), JOB_UPDATE},
    {QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "Repair"), JOB_REPAIR},
    {QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "Backup NV"), JOB_NV_BACKUP},
    {QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "Restore NV"), JOB_NV_RESTORE},
};

struct NvModeRadio {
    int id;
    const char* text;
    int mode;
};
constexpr NvModeRadio kNvModes[] = {
    {1131, QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "No NV backup or restore"), 0},
    {1132, QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "Restore all RF NV but the IMEI"), 1},
    {1133, QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "Restore all RF NV and the IMEI"), 2},
    {1138, QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "No backup, load the default NV file"), 3},
};

constexpr const char* kStateNames[] = {
    QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "Ready"),
    QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "Running"),
    QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "Pass"),
    QT_TRANSLATE_NOOP("pellan::gui::FactoryView", "Fail"),
};

constexpr int kNvFolderButton = 1121;
constexpr int kNvFolderEdit = 1122;
constexpr int kDefaultNvButton = 1135;
constexpr int kDefaultNvEdit = 1139;
constexpr int kUpgradeFileButton = 1081;
constexpr int kBootFileButton = 1136;
constexpr int kBootFileEdit = 1137;
constexpr int kSwFolderEdit = 1155;
constexpr int kEraseBoot = 1134;
constexpr int kUsbHighSpeed = 1183;
constexpr int kSalesOn = 1180;
constexpr int kSalesOff = 1181;
constexpr int kChineseButton = 1185;
constexpr int kEnglishButton = 1186;

QString Tr(const char* source) {
    return QCoreApplication::translate(kContext, source);
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* Small(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setStyleSheet(QStringLiteral("color: #5b6670;"));
    return label;
}

// A label that shows one line of a text of any length, the whole text in its tool tip.
QLabel* OneLine(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    label->setProperty(kValueProperty, true);
    return label;
}

QLineEdit* PathEdit(QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setReadOnly(true);
    edit->setProperty(kValueProperty, true);
    edit->setMinimumWidth(160);
    return edit;
}

// The caption setter of each kind of widget.
void SetCaption(QLabel* label, const QString& text) {
    label->setText(text);
}
void SetCaption(QAbstractButton* button, const QString& text) {
    button->setText(text);
}
void SetCaption(QGroupBox* box, const QString& text) {
    box->setTitle(text);
}

}  // namespace

template <typename Widget>
Widget* FactoryView::Captioned(Widget* widget, const char* source) {
    m_captions.Add([widget, source] { SetCaption(widget, Tr(source)); });
    return widget;
}

FactoryView::FactoryView(CPellanView& view, FormState& state, ControlMap& controls, QWidget* parent)
    : QWidget(parent, Qt::Window), m_view(view), m_state(state), m_controls(controls) {
    setObjectName(QStringLiteral("factoryView"));
    m_captions.Add(
        [this] { setWindowTitle(tr("%1 — Factory view").arg(QString::fromLatin1(kFormTitle))); });
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(10, 10, 10, 10);
    outer->setSpacing(10);

    auto* lines = new QGridLayout();
    lines->setSpacing(8);
    for (int line = 0; line < kLineCount; ++line) {
        lines->addWidget(BuildLinePanel(line), line / 2, line % 2);
    }
    outer->addLayout(lines, 1);
    outer->addWidget(BuildSidePanel());
}

QWidget* FactoryView::BuildLinePanel(int line) {
    auto* box = new QGroupBox(this);
    m_captions.Add([box, line] { box->setTitle(tr("Line %1").arg(line + 1)); });
    box->setObjectName(QStringLiteral("line%1").arg(line + 1));
    box->setMinimumWidth(400);
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(8, 6, 8, 6);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(4);

    // Row 0: state, port, start, stop, hide/restore.
    auto* top = new QHBoxLayout();
    auto* picture = new QLabel(box);
    picture->setFixedSize(kPictureSize, kPictureSize);
    m_pictures[static_cast<size_t>(line)] = picture;
    ShowLineState(line, 0);
    m_controls.Add(ctl::kStatePicture + line, picture);
    top->addWidget(picture);
    auto* port = new QLabel(QStringLiteral("NULL"), box);
    port->setMinimumWidth(56);
    port->setStyleSheet(QStringLiteral("font-weight: 600;"));
    port->setProperty(kValueProperty, true);
    m_controls.Add(ctl::kDiagPortText + line, port);
    top->addWidget(port);
    top->addStretch(1);
    auto* start = new QPushButton(StartIcon(), QString(), box);
    m_captions.Add([start] { start->setToolTip(tr("Start")); });
    start->setObjectName(QStringLiteral("start%1").arg(line + 1));
    m_controls.Add(ctl::kStartButton + line, start);
    auto* stop = new QPushButton(StopIcon(), QStringLiteral(" ！"), box);
    m_captions.Add([stop] { stop->setToolTip(tr("Stop")); });
    stop->setObjectName(QStringLiteral("stop%1").arg(line + 1));
    stop->setEnabled(false);
    m_controls.Add(ctl::kStopButton + line, stop);
    auto* hide = new QPushButton(PortButtonText(false), box);
    hide->setObjectName(QStringLiteral("portButton%1").arg(line + 1));
    m_controls.Add(PortButtonId(line), hide);
    top->addWidget(start);
    top->addWidget(stop);
    top->addWidget(hide);
    grid->addLayout(top, 0, 0, 1, 2);

    // Row 1: progress.
    auto* bar = new QProgressBar(box);
    bar->setRange(0, 100);
    bar->setTextVisible(false);
    bar->setFixedHeight(14);
    m_controls.Add(ctl::kProgressBar + line, bar);
    auto* progress = new QLabel(QStringLiteral("0/100"), box);
    progress->setMinimumWidth(48);
    progress->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    progress->setProperty(kValueProperty, true);
    m_controls.Add(ctl::kProgressText + line, progress);
    grid->addWidget(bar, 1, 0);
    grid->addWidget(progress, 1, 1);

    // Row 2: the job's phase; row 3: message.
    QLabel* phase = OneLine(QString(), box);
    phase->setObjectName(QStringLiteral("phase%1").arg(line + 1));
    phase->setStyleSheet(QStringLiteral("color: #4a5560;"));
    m_phases[static_cast<size_t>(line)] = phase;
    grid->addWidget(phase, 2, 0, 1, 2);
    QLabel* message = OneLine(QString(), box);
    message->setObjectName(QStringLiteral("message%1").arg(line + 1));
    message->setMinimumHeight(18);
    m_controls.Add(ctl::kMessageText + line, message);
    grid->addWidget(message, 3, 0, 1, 2);

    // Row 4: job kind.
    auto* kinds = new QHBoxLayout();
    auto* group = new QButtonGroup(box);
    m_jobKinds[static_cast<size_t>(line)] = group;
    for (int i = 0; i < 4; ++i) {
        auto* radio = Captioned(new QRadioButton(box), kJobKinds[i].text);
        group->addButton(radio, kJobKinds[i].kind);
        m_controls.Add(1040 + 4 * line + i, radio);
        kinds->addWidget(radio);
    }
    kinds->addStretch(1);
    connect(group, &QButtonGroup::idClicked, this,
            [this, line](int kind) { m_view.Doc().Runtime(line).jobKind = kind; });
    grid->addLayout(kinds, 4, 0, 1, 2);

    // Rows 5 and 6: the three version texts, the one the user knows on a row of its own.
    const std::pair<VersionText, const char*> texts[] = {
        {VersionText::OuterBoard, QT_TR_NOOP("Version:")},
        {VersionText::Integrate, QT_TR_NOOP("Integrate:")},
        {VersionText::BoardInternal, QT_TR_NOOP("Board:")},
    };
    auto* outer = new QHBoxLayout();
    auto* inner = new QHBoxLayout();
    for (const auto& [which, caption] : texts) {
        QHBoxLayout* row = which == VersionText::OuterBoard ? outer : inner;
        if (row->count() > 0) {
            row->addSpacing(12);
        }
        row->addWidget(Captioned(Small(box), caption));
        QLabel* value = OneLine(QString(), box);
        m_controls.Add(VersionControlId(line, which), value);
        row->addWidget(value, 1);
    }
    grid->addLayout(outer, 5, 0, 1, 2);
    grid->addLayout(inner, 6, 0, 1, 2);

    // Row 7: the last job's result.
    auto* result = new QHBoxLayout();
    result->addWidget(Captioned(Small(box), QT_TR_NOOP("Last result:")));
    QLabel* resultText = OneLine(QString(), box);
    resultText->setObjectName(QStringLiteral("result%1").arg(line + 1));
    m_results[static_cast<size_t>(line)] = resultText;
    result->addWidget(resultText, 1);
    grid->addLayout(result, 7, 0, 1, 2);
    grid->setColumnStretch(0, 1);

    connect(start, &QPushButton::clicked, this, [this, line] { m_view.StartLineJob(line); });
    connect(stop, &QPushButton::clicked, this, [this, line] { m_view.StopLine(line); });
    connect(hide, &QPushButton::clicked, this,
            [this, line] { HideOrRestoreDiagPort(m_view, m_state, line); });
    return box;
}

QCheckBox* FactoryView::Option(int id, const char* source, std::atomic<int32_t>* field) {
    auto* box = Captioned(new QCheckBox(this), source);
    m_controls.Add(id, box);
    if (field != nullptr) {
        box->setChecked(field->load() != 0);
        connect(box, &QCheckBox::toggled, this, [field](bool on) { *field = on ? 1 : 0; });
    }
    return box;
}

QWidget* FactoryView::BuildSidePanel() {
    auto* panel = new QWidget(this);
    panel->setMaximumWidth(330);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);

    // All lines.
    auto* all = Captioned(new QGroupBox(panel), QT_TR_NOOP("All lines"));
    auto* allGrid = new QGridLayout(all);
    auto button = [&](int id, const char* source) {
        auto* b = Captioned(new QPushButton(all), source);
        if (id != 0) {
            m_controls.Add(id, b);
        }
        return b;
    };
    QPushButton* startAll = button(ctl::kStartAll, QT_TR_NOOP("Start All"));
    QPushButton* stopAll = button(ctl::kStopAll, QT_TR_NOOP("Stop all"));
    stopAll->setEnabled(false);
    // Its caption follows the ports' state (RetranslatePortButtons).
    auto* release = new QPushButton(ReleaseAllText(false), all);
    m_controls.Add(kReleaseAllButton, release);
    QPushButton* restoreAll = button(kRestoreAllButton, QT_TR_NOOP("Restore all ports"));
    QPushButton* ports = button(0, QT_TR_NOOP("Port settings…"));
    // The language buttons name their languages in their own (not translated).
    QPushButton* chinese = button(kChineseButton, kChineseVersionText);
    QPushButton* english = button(kEnglishButton, kEnglishVersionText);
    chinese->setObjectName(QStringLiteral("chineseVersion"));
    english->setObjectName(QStringLiteral("englishVersion"));
    ports->setObjectName(QStringLiteral("portSettings"));
    // A station's operator starts the lines from the keyboard too.
    // A button's new caption resets its shortcut to the caption's mnemonic: after the caption.
    m_captions.Add([startAll] {
        startAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return));
        startAll->setToolTip(tr("Start every line with a stick (Ctrl+Return)"));
    });
    startAll->setIcon(StartIcon());
    stopAll->setIcon(StopIcon());
    allGrid->addWidget(startAll, 0, 0);
    allGrid->addWidget(stopAll, 0, 1);
    allGrid->addWidget(release, 1, 0);
    allGrid->addWidget(restoreAll, 1, 1);
    allGrid->addWidget(ports, 2, 0, 1, 2);
    allGrid->addWidget(chinese, 3, 0);
    allGrid->addWidget(english, 3, 1);
    connect(chinese, &QPushButton::clicked, this,
            [this] { emit languageRequested(UiLanguage::CHINESE); });
    connect(english, &QPushButton::clicked, this,
            [this] { emit languageRequested(UiLanguage::ENGLISH); });
    connect(startAll, &QPushButton::clicked, this, [this] { StartAllLines(m_view); });
    connect(stopAll, &QPushButton::clicked, this, [this] { StopAllLines(m_view); });
    connect(release, &QPushButton::clicked, this, [this] { ReleaseOrConnectAllPorts(m_view); });
    connect(restoreAll, &QPushButton::clicked, this, [this] { RestoreAllPorts(m_view, m_state); });
    connect(ports, &QPushButton::clicked, this, &FactoryView::portSettingsRequested);
    column->addWidget(all);

    // NV.
    auto* nv = Captioned(new QGroupBox(panel), QT_TR_NOOP("NV"));
    auto* nvColumn = new QVBoxLayout(nv);
    m_nvModes = new QButtonGroup(nv);
    for (const NvModeRadio& radio : kNvModes) {
        auto* r = Captioned(new QRadioButton(nv), radio.text);
        m_nvModes->addButton(r, radio.mode);
        m_controls.Add(radio.id, r);
        nvColumn->addWidget(r);
    }
    connect(m_nvModes, &QButtonGroup::idClicked, this, &FactoryView::ChooseNvMode);
    auto chooser = [&](QGroupBox* group, QVBoxLayout* layout, int buttonId, const char* source,
                       int editId) {
        auto* row = new QHBoxLayout();
        auto* b = Captioned(new QPushButton(group), source);
        m_controls.Add(buttonId, b);
        row->addWidget(b);
        if (editId != 0) {
            QLineEdit* edit = PathEdit(group);
            m_controls.Add(editId, edit);
            row->addWidget(edit, 1);
        } else {
            row->addStretch(1);
        }
        layout->addLayout(row);
        return b;
    };
    QPushButton* nvFolder =
        chooser(nv, nvColumn, kNvFolderButton, QT_TR_NOOP("NV Backup Dir"), kNvFolderEdit);
    QPushButton* defaultNv =
        chooser(nv, nvColumn, kDefaultNvButton, QT_TR_NOOP("Default NV file"), kDefaultNvEdit);
    connect(nvFolder, &QPushButton::clicked, this, &FactoryView::ChooseNvFolder);
    connect(defaultNv, &QPushButton::clicked, this, &FactoryView::ChooseDefaultNvFile);
    column->addWidget(nv);

    // Files.
    auto* files = Captioned(new QGroupBox(panel), QT_TR_NOOP("Files"));
    auto* filesColumn = new QVBoxLayout(files);
    QPushButton* upgrade =
        chooser(files, filesColumn, kUpgradeFileButton, QT_TR_NOOP("Choose upgrade software"), 0);
    QPushButton* boot =
        chooser(files, filesColumn, kBootFileButton, QT_TR_NOOP("Choose boot file"), kBootFileEdit);
    auto* swRow = new QHBoxLayout();
    swRow->addWidget(Captioned(Small(files), QT_TR_NOOP("SW Directory")));
    QLineEdit* sw = PathEdit(files);
    m_controls.Add(kSwFolderEdit, sw);
    swRow->addWidget(sw, 1);
    filesColumn->addLayout(swRow);
    connect(upgrade, &QPushButton::clicked, this, [this] { ChooseRecordFile(0, false); });
    connect(boot, &QPushButton::clicked, this, [this] { ChooseRecordFile(kBootFileEdit, true); });
    column->addWidget(files);

    // Options.
    auto* options = Captioned(new QGroupBox(panel), QT_TR_NOOP("Options"));
    auto* optionGrid = new QGridLayout(options);
    QCheckBox* boxes[] = {
        Option(kEraseBoot, QT_TR_NOOP("Erase the boot area"), &m_view.m_eraseBoot),
        Option(1156, QT_TR_NOOP("Network-locked before the download"), nullptr),
        Option(1159, QT_TR_NOOP("Keep the network lock data"), nullptr),
        Option(1162, QT_TR_NOOP("Same UI"), &m_view.m_uiConsistent),
        Option(1158, QT_TR_NOOP("Use the armprg of the version"), &m_view.m_useVersionArmprg),
        Option(1163, QT_TR_NOOP("Check Download Mode"), &m_view.m_checkDownloadMode),
        Option(1184, QT_TR_NOOP("Single Switch"), &m_view.m_singleSwitch),
        Option(kUsbHighSpeed, QT_TR_NOOP("USB high-speed download"), nullptr),
        Option(kSalesOn, QT_TR_NOOP("Sales statistics on"), nullptr),
        Option(kSalesOff, QT_TR_NOOP("Sales statistics off"), nullptr),
    };
    // One option a row: the English captions are too long for two columns.
    for (size_t i = 0; i < std::size(boxes); ++i) {
        optionGrid->addWidget(boxes[i], static_cast<int>(i), 0);
    }
    // High-speed download is never selected: the EFS image always goes the ordinary way.
    QCheckBox* highSpeed = boxes[7];
    connect(highSpeed, &QCheckBox::toggled, highSpeed, [highSpeed](bool on) {
        if (on) {
            highSpeed->setChecked(false);
        }
    });
    column->addWidget(options);
    column->addStretch(1);
    return panel;
}

void FactoryView::ApplyDefaults() {
    if (QAbstractButton* mode = m_nvModes->button(m_view.Doc().m_nvMode.load())) {
        mode->setChecked(true);
    }
    for (int line = 0; line < kLineCount; ++line) {
        const int kind = m_view.Doc().Runtime(line).jobKind;
        if (QAbstractButton* radio = m_jobKinds[static_cast<size_t>(line)]->button(kind)) {
            radio->setChecked(true);
        }
    }
    if (auto* erase = m_controls.Find<QCheckBox>(kEraseBoot)) {
        erase->setChecked(true);
    }
    if (auto* sales = m_controls.Find<QCheckBox>(kSalesOn)) {
        sales->setChecked(true);
        sales->setEnabled(false);
    }
    CPellanDoc& doc = m_view.Doc();
    m_controls.SetText(kNvFolderEdit, Q(GetField(doc.Record(0).nvFolder)));
    m_controls.SetText(kDefaultNvEdit, Q(GetField(doc.Record(0).defaultNvFile)));
    m_controls.SetText(kBootFileEdit, Q(GetField(doc.Record(0).bootFile)));
    m_controls.SetText(kSwFolderEdit, Q(GetField(doc.Record(0).firmwareFolder)));
}

void FactoryView::ShowLineState(int line, int state) {
    if (line < 0 || line >= kLineCount) {
        return;
    }
    m_states[static_cast<size_t>(line)] = state;
    QLabel* picture = m_pictures[static_cast<size_t>(line)];
    picture->setPixmap(StatePicture(state, kPictureSize));
    picture->setToolTip(Tr(kStateNames[state & 3]));
}

void FactoryView::ShowLinePhase(int line, const QString& text) {
    if (line >= 0 && line < kLineCount) {
        m_phases[static_cast<size_t>(line)]->setText(text);
        m_phases[static_cast<size_t>(line)]->setToolTip(text);
    }
}

void FactoryView::ShowLineResult(int line, const QString& text, bool passed) {
    if (line < 0 || line >= kLineCount) {
        return;
    }
    QLabel* label = m_results[static_cast<size_t>(line)];
    label->setText(text);
    label->setToolTip(text);
    label->setStyleSheet(passed ? QStringLiteral("color: #1b7f3b; font-weight: 600;")
                                : QStringLiteral("color: #c0341d; font-weight: 600;"));
}

QString FactoryView::ShownLinePhase(int line) const {
    return m_phases.at(static_cast<size_t>(line))->text();
}

QString FactoryView::ShownLineResult(int line) const {
    return m_results.at(static_cast<size_t>(line))->text();
}

void FactoryView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) {
        m_captions.Retranslate();
        for (int line = 0; line < kLineCount; ++line) {
            ShowLineState(line, m_states[static_cast<size_t>(line)]);
        }
    }
    QWidget::changeEvent(event);
}

void FactoryView::ChooseNvMode(int mode) {
    m_view.Doc().m_nvMode = mode;
    auto* on = m_controls.Find<QCheckBox>(kSalesOn);
    auto* off = m_controls.Find<QCheckBox>(kSalesOff);
    if (on == nullptr || off == nullptr) {
        return;
    }
    if (mode == 0 || mode == 1) {
        off->setChecked(true);
        on->setChecked(false);
    } else if (mode == 2) {
        on->setEnabled(true);
        off->setEnabled(true);
    }
}

void FactoryView::ChooseNvFolder() {
    const QString folder =
        QFileDialog::getExistingDirectory(this, tr("Please choose the NV directory"));
    if (folder.isEmpty()) {
        return;
    }
    std::string error;
    if (!pellan::ChooseNvFolder(m_view.Doc().Records(), folder.toStdString(), error)) {
        m_view.MessageBox(error);
        return;
    }
    m_controls.SetText(kNvFolderEdit, Q(GetField(m_view.Doc().Record(0).nvFolder)));
}

void FactoryView::ChooseDefaultNvFile() {
    const QString file =
        QFileDialog::getOpenFileName(this, QString(), QString(), tr("NVM Files (*.NVM *.nvm)"));
    if (file.isEmpty()) {
        return;
    }
    std::string error;
    if (!pellan::ChooseDefaultNvFile(m_view.Doc().Records(), file.toStdString(), error)) {
        m_view.MessageBox(error);
        return;
    }
    m_controls.SetText(kDefaultNvEdit, Q(GetField(m_view.Doc().Record(0).defaultNvFile)));
}

void FactoryView::ChooseRecordFile(int editId, bool boot) {
    const QString file =
        QFileDialog::getOpenFileName(this, QString(), QString(), tr("Bin Files (*.bin)"));
    if (file.isEmpty()) {
        return;
    }
    const std::string path = file.toStdString();
    CPellanDoc& doc = m_view.Doc();
    if (path.size() >= doc.Record(0).bootFile.size()) {
        m_view.MessageBox(tr("%1 is too long for the settings.").arg(file).toStdString());
        return;
    }
    for (int line = 0; line < kLineCount; ++line) {
        SetField(boot ? doc.Record(line).bootFile : doc.Record(line).upgradeFile, path);
    }
    if (editId != 0) {
        m_controls.SetText(editId, file);
    }
}

}  // namespace pellan::gui
