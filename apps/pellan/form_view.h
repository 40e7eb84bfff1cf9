#pragma once

#include <QWidget>

#include "captions.h"

class QLabel;
class QPushButton;

namespace pellan::gui {

class ControlMap;

inline constexpr const char* kFormTitle = "DL_HX402A_PKGV1.00.00";
inline constexpr const char* kUpdateVersion = "BD_HX402V1.0.2B07";

// The form as the user sees it: the instructions, the six warnings, line 1's versions, port,
// status line, progress with the job's phase under it, and UPDATE. Its controls are registered
// under their ids so that the view's display operations reach them.
class FormView final : public QWidget {
    Q_OBJECT

  public:
    FormView(ControlMap& controls, QWidget* parent = nullptr);

    QPushButton* UpdateButton() const { return m_update; }
    // The phase of line 1's job and its counts; empty between jobs.
    void ShowPhase(const QString& text);
    QString ShownPhase() const;

  signals:
    void updateClicked();

  protected:
    void changeEvent(QEvent* event) override;

  private:
    QLabel* Text(const char* source, QWidget* parent);
    QLabel* Caption(const char* source);

    Captions m_captions;
    QPushButton* m_update = nullptr;
    QLabel* m_phase = nullptr;
};

}  // namespace pellan::gui
