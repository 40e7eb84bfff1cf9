#pragma once

#include <QDialog>
#include <memory>

#include "captions.h"

class QLineEdit;
class QTableWidget;
class QLabel;

namespace pellan::history {
class HistoryRecorder;
}

namespace pellan::gui {

// The station's history: the recorded jobs, newest first, filtered by IMEI.
class HistoryWindow final : public QDialog {
    Q_OBJECT

  public:
    HistoryWindow(std::shared_ptr<history::HistoryRecorder> recorder, QWidget* parent = nullptr);

    QLineEdit* ImeiFilter() const { return m_imei; }
    QTableWidget* Table() const { return m_table; }
    QLabel* Status() const { return m_status; }

  public slots:
    // Reads the jobs again with the filter as it stands.
    void Refresh();

  protected:
    void changeEvent(QEvent* event) override;

  private:
    Captions m_captions;
    std::shared_ptr<history::HistoryRecorder> m_recorder;
    QLineEdit* m_imei = nullptr;
    QTableWidget* m_table = nullptr;
    QLabel* m_status = nullptr;
};

}  // namespace pellan::gui
