#include "history_window.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "history/history_recorder.h"
#include "nv/nv_archive.h"

namespace pellan::gui {
namespace {

constexpr const char* kContext = "pellan::gui::HistoryWindow";

constexpr const char* kColumns[] = {
    QT_TRANSLATE_NOOP("pellan::gui::HistoryWindow", "Started (UTC)"),
    QT_TRANSLATE_NOOP("pellan::gui::HistoryWindow", "Line"),
    QT_TRANSLATE_NOOP("pellan::gui::HistoryWindow", "Job"),
    QT_TRANSLATE_NOOP("pellan::gui::HistoryWindow", "IMEI"),
    QT_TRANSLATE_NOOP("pellan::gui::HistoryWindow", "ESN"),
    QT_TRANSLATE_NOOP("pellan::gui::HistoryWindow", "Result"),
    QT_TRANSLATE_NOOP("pellan::gui::HistoryWindow", "Code"),
    QT_TRANSLATE_NOOP("pellan::gui::HistoryWindow", "Seconds"),
    QT_TRANSLATE_NOOP("pellan::gui::HistoryWindow", "Rewritten"),
    QT_TRANSLATE_NOOP("pellan::gui::HistoryWindow", "Text"),
};

QString KindName(int kind) {
    switch (kind) {
        case 1:
            return HistoryWindow::tr("Update");
        case 2:
            return HistoryWindow::tr("Repair");
        case 3:
            return HistoryWindow::tr("Backup NV");
        case 4:
            return HistoryWindow::tr("Restore NV");
        default:
            return QString::number(kind);
    }
}

}  // namespace

HistoryWindow::HistoryWindow(std::shared_ptr<history::HistoryRecorder> recorder, QWidget* parent)
    : QDialog(parent), m_recorder(std::move(recorder)) {
    m_imei = new QLineEdit(this);
    m_imei->setMaxLength(15);
    auto* refresh = new QPushButton(this);
    m_captions.Add([this, refresh] {
        setWindowTitle(tr("History"));
        m_imei->setPlaceholderText(tr("IMEI (15 digits; empty: every stick)"));
        refresh->setText(tr("Refresh"));
    });
    auto* filter = new QHBoxLayout;
    auto* imeiCaption = new QLabel(this);
    m_captions.Add([imeiCaption] { imeiCaption->setText(tr("IMEI:")); });
    filter->addWidget(imeiCaption);
    filter->addWidget(m_imei, 1);
    filter->addWidget(refresh);

    m_table = new QTableWidget(0, static_cast<int>(std::size(kColumns)), this);
    m_captions.Add([this] {
        QStringList headers;
        for (const char* column : kColumns) {
            headers << QCoreApplication::translate(kContext, column);
        }
        m_table->setHorizontalHeaderLabels(headers);
    });
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->hide();
    m_status = new QLabel(this);
    m_status->setProperty(kValueProperty, true);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filter);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_status);
    resize(960, 420);

    connect(refresh, &QPushButton::clicked, this, &HistoryWindow::Refresh);
    connect(m_imei, &QLineEdit::returnPressed, this, &HistoryWindow::Refresh);
    Refresh();
}

void HistoryWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) {
        m_captions.Retranslate();
        Refresh();
    }
    QDialog::changeEvent(event);
}

void HistoryWindow::Refresh() {
    m_table->setRowCount(0);
    const std::string imei = m_imei->text().trimmed().toStdString();
    if (!imei.empty() && !ValidImeiText(imei)) {
        m_status->setText(tr("An IMEI has fifteen digits."));
        return;
    }
    std::vector<history::JobRecord> jobs;
    std::string error;
    if (!m_recorder || !m_recorder->Jobs({imei, {}}, jobs, error)) {
        m_status->setText(m_recorder ? tr("History store %1 cannot be used: %2")
                                           .arg(QString::fromStdString(m_recorder->Address()),
                                                QString::fromStdString(error))
                                     : tr("No history store."));
        return;
    }
    m_table->setRowCount(static_cast<int>(jobs.size()));
    for (int row = 0; row < static_cast<int>(jobs.size()); ++row) {
        const history::JobRecord& j = jobs[static_cast<size_t>(row)];
        const QString cells[] = {QString::fromStdString(j.startedAt),
                                 QString::number(j.line),
                                 KindName(j.jobKind),
                                 QString::fromStdString(j.imei),
                                 QString::fromStdString(j.esn),
                                 j.passed ? tr("pass") : tr("fail"),
                                 QString::number(j.resultCode),
                                 QString::number(j.durationMs / 1000),
                                 QString::number(j.blocksRewritten),
                                 QString::fromStdString(j.resultText)};
        for (int c = 0; c < static_cast<int>(std::size(cells)); ++c) {
            m_table->setItem(row, c, new QTableWidgetItem(cells[c]));
        }
    }
    m_table->resizeColumnsToContents();
    m_status->setText(jobs.size() == 1 ? tr("1 job") : tr("%1 jobs").arg(jobs.size()));
}

}  // namespace pellan::gui
