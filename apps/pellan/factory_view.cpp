#include "factory_view.h"

#include <QButtonGroup>
#include <QCheckBox>
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
constexpr JobKindRadio kJobKinds[] = {
    {"Download", JOB_UPDATE},
    {"修复", JOB_REPAIR},
    {"Backup NV", JOB_NV_BACKUP},
    {"Restore NV", JOB_NV_RESTORE},
};

struct NvModeRadio {
    int id;
    const char* text;
    int mode;
};
constexpr NvModeRadio kNvModes[] = {
    {1131, "不备份和恢复", 0},
    {1132, "恢复除IMEI外所有 RF NV", 1},
    {1133, "恢复所有 RF NV和IMEI", 2},
    {1138, "不备份,装载缺省NV文件", 3},
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

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* Small(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setStyleSheet(QStringLiteral("color: #5b6670;"));
    return label;
}

// A label that shows one line of a text of any length, the whole text in its tool tip.
QLabel* OneLine(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}

QLineEdit* PathEdit(QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setReadOnly(true);
    edit->setMinimumWidth(160);
    return edit;
}

}  // namespace

FactoryView::FactoryView(CPellanView& view, FormState& state, ControlMap& controls, QWidget* parent)
    : QWidget(parent, Qt::Window), m_view(view), m_state(state), m_controls(controls) {
    setObjectName(QStringLiteral("factoryView"));
    setWindowTitle(QStringLiteral("%1 — Factory view").arg(QString::fromLatin1(kFormTitle)));
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
    auto* box = new QGroupBox(QStringLiteral("Line %1").arg(line + 1), this);
    box->setObjectName(QStringLiteral("line%1").arg(line + 1));
    box->setMinimumWidth(360);
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
    m_controls.Add(ctl::kDiagPortText + line, port);
    top->addWidget(port);
    top->addStretch(1);
    auto* start = new QPushButton(StartIcon(), QString(), box);
    start->setToolTip(QStringLiteral("Start"));
    start->setObjectName(QStringLiteral("start%1").arg(line + 1));
    m_controls.Add(ctl::kStartButton + line, start);
    auto* stop = new QPushButton(StopIcon(), QStringLiteral(" ！"), box);
    stop->setToolTip(QStringLiteral("Stop"));
    stop->setObjectName(QStringLiteral("stop%1").arg(line + 1));
    stop->setEnabled(false);
    m_controls.Add(ctl::kStopButton + line, stop);
    auto* hide = new QPushButton(QString::fromUtf8(kRestorePortText), box);
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
    m_controls.Add(ctl::kProgressText + line, progress);
    grid->addWidget(bar, 1, 0);
    grid->addWidget(progress, 1, 1);

    // Row 2: message.
    QLabel* message = OneLine(QString(), box);
    message->setObjectName(QStringLiteral("message%1").arg(line + 1));
    message->setMinimumHeight(18);
    m_controls.Add(ctl::kMessageText + line, message);
    grid->addWidget(message, 2, 0, 1, 2);

    // Row 3: job kind.
    auto* kinds = new QHBoxLayout();
    auto* group = new QButtonGroup(box);
    m_jobKinds[static_cast<size_t>(line)] = group;
    for (int i = 0; i < 4; ++i) {
        auto* radio = new QRadioButton(QString::fromUtf8(kJobKinds[i].text), box);
        group->addButton(radio, kJobKinds[i].kind);
        m_controls.Add(1040 + 4 * line + i, radio);
        kinds->addWidget(radio);
    }
    kinds->addStretch(1);
    connect(group, &QButtonGroup::idClicked, this,
            [this, line](int kind) { m_view.Doc().Runtime(line).jobKind = kind; });
    grid->addLayout(kinds, 3, 0, 1, 2);

    // Row 4: the three version texts.
    auto* versions = new QHBoxLayout();
    const std::pair<VersionText, const char*> texts[] = {
        {VersionText::OuterBoard, "Version"},
        {VersionText::Integrate, "Integrate"},
        {VersionText::BoardInternal, "Board"},
    };
    int stretch = 3;  // the outer board text is the version the user knows
    for (const auto& [which, caption] : texts) {
        versions->addWidget(Small(QString::fromLatin1(caption) + QLatin1Char(':'), box));
        QLabel* value = OneLine(QString(), box);
        m_controls.Add(VersionControlId(line, which), value);
        versions->addWidget(value, stretch);
        stretch = 2;
    }
    grid->addLayout(versions, 4, 0, 1, 2);
    grid->setColumnStretch(0, 1);

    connect(start, &QPushButton::clicked, this, [this, line] { m_view.StartLineJob(line); });
    connect(stop, &QPushButton::clicked, this, [this, line] { m_view.StopLine(line); });
    connect(hide, &QPushButton::clicked, this,
            [this, line] { HideOrRestoreDiagPort(m_view, m_state, line); });
    return box;
}

QCheckBox* FactoryView::Option(int id, const QString& text, std::atomic<int32_t>* field) {
    auto* box = new QCheckBox(text, this);
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
    auto* all = new QGroupBox(QStringLiteral("All lines"), panel);
    auto* allGrid = new QGridLayout(all);
    auto button = [&](int id, const QString& text) {
        auto* b = new QPushButton(text, all);
        if (id != 0) {
            m_controls.Add(id, b);
        }
        return b;
    };
    QPushButton* startAll = button(ctl::kStartAll, QStringLiteral("Start All"));
    QPushButton* stopAll = button(ctl::kStopAll, QStringLiteral("全部停止"));
    stopAll->setEnabled(false);
    QPushButton* release = button(kReleaseAllButton, QString::fromUtf8(kReleaseAllText));
    QPushButton* restoreAll = button(kRestoreAllButton, QStringLiteral("恢复全部端口"));
    QPushButton* ports = button(0, QStringLiteral("Port settings…"));
    ports->setObjectName(QStringLiteral("portSettings"));
    startAll->setIcon(StartIcon());
    stopAll->setIcon(StopIcon());
    allGrid->addWidget(startAll, 0, 0);
    allGrid->addWidget(stopAll, 0, 1);
    allGrid->addWidget(release, 1, 0);
    allGrid->addWidget(restoreAll, 1, 1);
    allGrid->addWidget(ports, 2, 0, 1, 2);
    connect(startAll, &QPushButton::clicked, this, [this] { StartAllLines(m_view); });
    connect(stopAll, &QPushButton::clicked, this, [this] { StopAllLines(m_view); });
    connect(release, &QPushButton::clicked, this, [this] { ReleaseOrConnectAllPorts(m_view); });
    connect(restoreAll, &QPushButton::clicked, this, [this] { RestoreAllPorts(m_view, m_state); });
    connect(ports, &QPushButton::clicked, this, &FactoryView::portSettingsRequested);
    column->addWidget(all);

    // NV.
    auto* nv = new QGroupBox(QStringLiteral("NV"), panel);
    auto* nvColumn = new QVBoxLayout(nv);
    m_nvModes = new QButtonGroup(nv);
    for (const NvModeRadio& radio : kNvModes) {
        auto* r = new QRadioButton(QString::fromUtf8(radio.text), nv);
        m_nvModes->addButton(r, radio.mode);
        m_controls.Add(radio.id, r);
        nvColumn->addWidget(r);
    }
    connect(m_nvModes, &QButtonGroup::idClicked, this, &FactoryView::ChooseNvMode);
    auto chooser = [&](QGroupBox* group, QVBoxLayout* layout, int buttonId, const QString& text,
                       int editId) {
        auto* row = new QHBoxLayout();
        auto* b = new QPushButton(text, group);
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
        chooser(nv, nvColumn, kNvFolderButton, QStringLiteral("NV Backup Dir"), kNvFolderEdit);
    QPushButton* defaultNv =
        chooser(nv, nvColumn, kDefaultNvButton, QStringLiteral("缺省NV文件"), kDefaultNvEdit);
    connect(nvFolder, &QPushButton::clicked, this, &FactoryView::ChooseNvFolder);
    connect(defaultNv, &QPushButton::clicked, this, &FactoryView::ChooseDefaultNvFile);
    column->addWidget(nv);

    // Files.
    auto* files = new QGroupBox(QStringLiteral("Files"), panel);
    auto* filesColumn = new QVBoxLayout(files);
    QPushButton* upgrade =
        chooser(files, filesColumn, kUpgradeFileButton, QStringLiteral("选择升级软件"), 0);
    QPushButton* boot =
        chooser(files, filesColumn, kBootFileButton, QStringLiteral("选择Boot文件"), kBootFileEdit);
    auto* swRow = new QHBoxLayout();
    swRow->addWidget(Small(QStringLiteral("SW Directory"), files));
    QLineEdit* sw = PathEdit(files);
    m_controls.Add(kSwFolderEdit, sw);
    swRow->addWidget(sw, 1);
    filesColumn->addLayout(swRow);
    connect(upgrade, &QPushButton::clicked, this, [this] { ChooseRecordFile(0, false); });
    connect(boot, &QPushButton::clicked, this, [this] { ChooseRecordFile(kBootFileEdit, true); });
    column->addWidget(files);

    // Options.
    auto* options = new QGroupBox(QStringLiteral("Options"), panel);
    auto* optionGrid = new QGridLayout(options);
    QCheckBox* boxes[] = {
        Option(kEraseBoot, QStringLiteral("擦Boot区"), &m_view.m_eraseBoot),
        Option(1156, QStringLiteral("手机下载前为锁网版"), nullptr),
        Option(1159, QStringLiteral("保存锁网信息"), nullptr),
        Option(1162, QStringLiteral("UI一致"), &m_view.m_uiConsistent),
        Option(1158, QStringLiteral("使用版本中的armprg"), &m_view.m_useVersionArmprg),
        Option(1163, QStringLiteral("Check Download Mode"), &m_view.m_checkDownloadMode),
        Option(1184, QStringLiteral("Single Switch"), &m_view.m_singleSwitch),
        Option(kUsbHighSpeed, QStringLiteral("采用USB高速下载"), nullptr),
        Option(kSalesOn, QStringLiteral("打开销量统计"), nullptr),
        Option(kSalesOff, QStringLiteral("关闭销量统计"), nullptr),
    };
    for (size_t i = 0; i < std::size(boxes); ++i) {
        optionGrid->addWidget(boxes[i], static_cast<int>(i / 2), static_cast<int>(i % 2));
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
    static const char* const kNames[] = {"Ready", "Running", "Pass", "Fail"};
    QLabel* picture = m_pictures[static_cast<size_t>(line)];
    picture->setPixmap(StatePicture(state, kPictureSize));
    picture->setToolTip(QString::fromLatin1(kNames[state & 3]));
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
        QFileDialog::getExistingDirectory(this, QStringLiteral("Please choose the NV directory"));
    if (folder.isEmpty()) {
        return;
    }
    std::string error;
    if (!pellan::ChooseNvFolder(m_view.Doc(), folder.toStdString(), error)) {
        m_view.MessageBox(error);
        return;
    }
    m_controls.SetText(kNvFolderEdit, Q(GetField(m_view.Doc().Record(0).nvFolder)));
}

void FactoryView::ChooseDefaultNvFile() {
    const QString file = QFileDialog::getOpenFileName(this, QString(), QString(),
                                                      QStringLiteral("NVM Files (*.NVM *.nvm)"));
    if (file.isEmpty()) {
        return;
    }
    std::string error;
    if (!pellan::ChooseDefaultNvFile(m_view.Doc(), file.toStdString(), error)) {
        m_view.MessageBox(error);
        return;
    }
    m_controls.SetText(kDefaultNvEdit, Q(GetField(m_view.Doc().Record(0).defaultNvFile)));
}

void FactoryView::ChooseRecordFile(int editId, bool boot) {
    const QString file = QFileDialog::getOpenFileName(this, QString(), QString(),
                                                      QStringLiteral("Bin Files (*.bin)"));
    if (file.isEmpty()) {
        return;
    }
    const std::string path = file.toStdString();
    CPellanDoc& doc = m_view.Doc();
    if (path.size() >= doc.Record(0).bootFile.size()) {
        m_view.MessageBox(path + " is too long for the settings.");
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
