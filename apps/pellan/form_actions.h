#pragma once

#include <QCoreApplication>
#include <QString>
#include <array>
#include <mutex>
#include <string>

#include "diag/line_record.h"

namespace pellan {
class CPellanView;
}

// The form's actions that need no widgets: the port actions, Start All and stop all, and the
// checks of the port settings dialog. They run on the window thread and report through the view.
namespace pellan::gui {

class ControlMap;

using PortList = std::array<int, kLineCount>;

// Control ids of the port actions.
inline constexpr int kReleaseAllButton = 1109;
inline constexpr int kRestoreAllButton = 1147;

// The captions of the port buttons, which change with what the buttons would do next.
QString PortButtonText(bool diagPortShown);  // "Hide port" once restored, else "Restore port"
QString ReleaseAllText(bool released);       // "Connect all" while released, else "Release all"
// The same captions in the interface's language as it now is.
void RetranslatePortButtons(CPellanView& view, const ControlMap& controls);

// The view's per-line version text that the port restore fills with the stick's AT version.
class FormState {
  public:
    std::string VersionText(int line) const;
    void SetVersionText(int line, const std::string& text);

  private:
    mutable std::mutex m_mutex;
    std::array<std::string, kLineCount> m_versionText{};
};

// Hides or restores the line's DIAG port through its AT port (buttons 1140..1146 and 1148, and
// once per line with an AT port at start-up). The line's polling loop is paused meanwhile, since
// it opens the same AT port itself.
void HideOrRestoreDiagPort(CPellanView& view, FormState& state, int line);
// "恢复全部端口": the same for all eight lines in turn.
void RestoreAllPorts(CPellanView& view, FormState& state);
// "全部释放" / "全部连接": closes every line's DIAG port with its polling paused, or reopens them
// and lets polling go on.
void ReleaseOrConnectAllPorts(CPellanView& view);

// The port settings dialog's check of its sixteen choices (index = port number, 0 = "NULL").
// Empty when accepted, otherwise the message that keeps the dialog open.
std::string CheckPortAssignment(const PortList& diag, const PortList& data);
// After OK: every line whose DIAG port changed gets the new port and a new polling loop (or, for
// "NULL", "No Phone" as its versions and no polling).
void ApplyDiagPorts(CPellanView& view, const PortList& diag);

// "Start All": starts every idle line with a DIAG port, 500 ms apart. Returns how many started.
int StartAllLines(CPellanView& view);
// "全部停止": a stop request to every line.
void StopAllLines(CPellanView& view);

}  // namespace pellan::gui
