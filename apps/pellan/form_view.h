#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace pellan::gui {

class ControlMap;

inline constexpr const char* kFormTitle = "DL_HX402A_PKGV1.00.00";
inline constexpr const char* kUpdateVersion = "BD_HX402V1.0.2B07";

// The form as the user sees it: the instructions, the six warnings, line 1's versions, port,
// status line and progress, and UPDATE. Its controls are registered under their ids so that the
// view's display operations reach them.
class FormView final : public QWidget {
    Q_OBJECT

  public:
    FormView(ControlMap& controls, QWidget* parent = nullptr);

    QPushButton* UpdateButton() const { return m_update; }

  signals:
    void updateClicked();

  private:
    QPushButton* m_update = nullptr;
};

}  // namespace pellan::gui
