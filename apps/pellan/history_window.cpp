#include "history_window.h"

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

const char* const kColumns[] = {"Started (UTC)", "Line", "Job",     "IMEI",      "ESN",
                                "Result",        "Code", "Seconds", "Rewritten", "Text"};

QString KindName(int kind) {
    switch (kind) {
        case 1:
            return QStringLiteral("Update");
        case 2:
            return QStringLiteral("Repair");
        case 3:
            return QStringLiteral("Backup NV");
        case 4:
            return QStringLiteral("Restore NV");
        default:
            return QString::number(kind);
    }
}

}  // namespace

HistoryWindow::HistoryWindow(std::shared_ptr<history::HistoryRecorder> recorder, QWidget* parent)
    : QDialog(parent), m_recorder(std::move(recorder)) {
    setWindowTitle(QStringLiteral("History"));
    m_imei = new QLineEdit(this);
    m_imei->setPlaceholderText(QStringLiteral("IMEI (15 digits; empty: every stick)"));
    m_imei->setMaxLength(15);
    auto* refresh = new QPushButton(QStringLiteral("Refresh"), this);
    auto* filter = new QHBoxLayout;
    filter->addWidget(new QLabel(QStringLiteral("IMEI:"), this));
    filter->addWidget(m_imei, 1);
    filter->addWidget(refresh);

    m_table = new QTableWidget(0, static_cast<int>(std::size(kColumns)), this);
    QStringList headers;
    for (const char* column : kColumns) {
        headers << QString::fromUtf8(column);
    }
    m_table->setHorizontalHeaderLabels(headers);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->hide();
    m_status = new QLabel(this);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filter);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_status);
    resize(960, 420);

    connect(refresh, &QPushButton::clicked, this, &HistoryWindow::Refresh);
    connect(m_imei, &QLineEdit::returnPressed, this, &HistoryWindow::Refresh);
    Refresh();
}

void HistoryWindow::Refresh() {
    m_table->setRowCount(0);
    const std::string imei = m_imei->text().trimmed().toStdString();
    if (!imei.empty() && !ValidImeiText(imei)) {
        m_status->setText(QStringLiteral("An IMEI has fifteen digits."));
        return;
    }
    std::vector<history::JobRecord> jobs;
    std::string error;
    if (!m_recorder || !m_recorder->Jobs({imei, {}}, jobs, error)) {
        m_status->setText(m_recorder
                              ? QString::fromStdString("History store " + m_recorder->Address() +
                                                       " cannot be used: " + error)
                              : QStringLiteral("No history store."));
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
                                 j.passed ? QStringLiteral("pass") : QStringLiteral("fail"),
                                 QString::number(j.resultCode),
                                 QString::number(j.durationMs / 1000),
                                 QString::number(j.blocksRewritten),
                                 QString::fromStdString(j.resultText)};
        for (int c = 0; c < static_cast<int>(std::size(cells)); ++c) {
            m_table->setItem(row, c, new QTableWidgetItem(cells[c]));
        }
    }
    m_table->resizeColumnsToContents();
    m_status->setText(QString::number(jobs.size()) +
                      (jobs.size() == 1 ? QStringLiteral(" job") : QStringLiteral(" jobs")));
}

}  // namespace pellan::gui
