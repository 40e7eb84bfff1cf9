#include "form_actions.h"

#include <cstdio>

#include "control_map.h"
#include "ui/line_controls.h"
#include "ui/pellan_view.h"

namespace pellan::gui {

namespace {

constexpr int kBaud = 115200;
constexpr uint32_t kRestoreSettleMs = 4500;  // the stick re-enumerates its ports meanwhile

bool ValidLine(int line) {
    return line >= 0 && line < kLineCount;
}

std::string Format(const char* pattern, int a, int b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// Pauses a line's polling loop for the duration of a port action.
class PollingPause {
  public:
    PollingPause(CPellanView& view, int line) : m_view(view), m_line(line) {
        m_view.PauseLinePolling(m_line);
    }
    ~PollingPause() { m_view.ResumeLinePolling(m_line); }
    PollingPause(const PollingPause&) = delete;
    PollingPause& operator=(const PollingPause&) = delete;

  private:
    CPellanView& m_view;
    int m_line;
};

}  // namespace

std::string FormState::VersionText(int line) const {
    std::lock_guard lock(m_mutex);
    return ValidLine(line) ? m_versionText[static_cast<size_t>(line)] : std::string();
}

void FormState::SetVersionText(int line, const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (ValidLine(line)) {
        m_versionText[static_cast<size_t>(line)] = text;
    }
}

QString PortButtonText(bool diagPortShown) {
    return diagPortShown ? QCoreApplication::translate("pellan::gui::FormActions", "Hide port")
                         : QCoreApplication::translate("pellan::gui::FormActions", "Restore port");
}

QString ReleaseAllText(bool released) {
    return released ? QCoreApplication::translate("pellan::gui::FormActions", "Connect all")
                    : QCoreApplication::translate("pellan::gui::FormActions", "Release all");
}

void RetranslatePortButtons(CPellanView& view, const ControlMap& controls) {
    for (int line = 0; line < kLineCount; ++line) {
        controls.SetText(PortButtonId(line),
                         PortButtonText(view.m_diagPortHidden[static_cast<size_t>(line)] == 1));
    }
    controls.SetText(kReleaseAllButton, ReleaseAllText(view.m_portsReleased.load() != 0));
}

void HideOrRestoreDiagPort(CPellanView& view, FormState& state, int line) {
    if (!ValidLine(line)) {
        return;
    }
    CPellanDoc& doc = view.Doc();
    const int atPort = doc.LineAtPort(line);
    if (atPort == 0) {
        view.ShowLineMessage(line, "Data端口不能为 0 !", 1);
        return;
    }
    PollingPause pause(view, line);
    if (!doc.ReopenAtPort(line, atPort, kBaud)) {
        view.ShowLineMessage(line, "Data端口错误!", 1);
        return;
    }
    const int startButton = ctl::kStartButton + line;
    view.Sink().ControlEnabled(startButton, false);
    doc.Clock().SleepMs(kRestoreSettleMs);

    std::atomic<int32_t>& hidden = view.m_diagPortHidden[static_cast<size_t>(line)];
    std::string text;
    if (hidden.load() == 0) {
        if (doc.RestoreDiagPort(line)) {
            text = "恢复DIAG口成功!";
            hidden = 1;
            std::string version;
            state.SetVersionText(line, doc.At(line).QueryVersion(version) ? version : "No Phone");
        } else {
            state.SetVersionText(line, "No Phone");
            text = "恢复DIAG口失败!";
        }
    } else if (doc.HideDiagPort(line)) {
        text = "隐藏DIAG口成功!";
        hidden = 0;
        // The stick leaves the DIAG list on purpose and stays on its USB port: the line keeps it
        // as after a reset, so that its AT port is still the one to restore the DIAG port through.
        doc.Bindings().KeepAfterReset(line);
    } else {
        text = "隐藏DIAG口失败!";
    }
    view.ShowLineMessage(line, text, 1);
    view.Sink().ControlEnabled(startButton, true);
    view.Sink().ControlText(PortButtonId(line), PortButtonText(hidden.load() == 1).toStdString());
    doc.CloseAtPort(line);
}

void RestoreAllPorts(CPellanView& view, FormState& state) {
    for (int line = 0; line < kLineCount; ++line) {
        HideOrRestoreDiagPort(view, state, line);
    }
}

void ReleaseOrConnectAllPorts(CPellanView& view) {
    CPellanDoc& doc = view.Doc();
    if (view.m_portsReleased.load() == 0) {
        view.m_portsReleased = 1;
        for (int line = 0; line < kLineCount; ++line) {
            view.PauseLinePolling(line);
            doc.CloseDiagPort(line);
            view.Sink().ControlText(kReleaseAllButton, ReleaseAllText(true).toStdString());
            view.EnableLineControls(line, 0);
        }
    } else {
        view.m_portsReleased = 0;
        for (int line = 0; line < kLineCount; ++line) {
            // The port is reopened before the loop goes on, so that the two never use it at once.
            const int port = doc.LineDiagPort(line);
            if (port != 0) {
                doc.ReopenDiagPort(line, port, kBaud);
            }
            view.ResumeLinePolling(line);
            view.Sink().ControlText(kReleaseAllButton, ReleaseAllText(false).toStdString());
            view.EnableLineControls(line, 1);
        }
    }
    view.Sink().ControlEnabled(kRestoreAllButton, true);
    view.Sink().ControlEnabled(kReleaseAllButton, true);
}

std::string CheckPortAssignment(const PortList& diag, const PortList& data) {
    for (const PortList* ports : {&diag, &data}) {
        for (int i = 0; i < kLineCount - 1; ++i) {
            const int port = (*ports)[static_cast<size_t>(i)];
            if (port == 0) {
                continue;
            }
            for (int j = i + 1; j < kLineCount; ++j) {
                if ((*ports)[static_cast<size_t>(j)] == port) {
                    return Format("线路%d的DIAG口和其他线路的DIAG口有重复分配现象!", i + 1);
                }
            }
        }
    }
    for (int i = 0; i < kLineCount; ++i) {
        const int port = diag[static_cast<size_t>(i)];
        if (port == 0) {
            continue;
        }
        for (int j = 0; j < kLineCount; ++j) {
            if (data[static_cast<size_t>(j)] == port) {
                return Format("线路%d的Diag口和线路%d的DATA口有重复分配现象!", i + 1, j + 1);
            }
        }
    }
    return {};
}

void ApplyDiagPorts(CPellanView& view, const PortList& diag) {
    CPellanDoc& doc = view.Doc();
    for (int line = 0; line < kLineCount; ++line) {
        const int port = diag[static_cast<size_t>(line)];
        LineRecord& record = doc.Record(line);
        if (port == record.diagPort) {
            continue;
        }
        doc.Runtime(line).phoneState = 1;
        view.PauseLinePolling(line);
        doc.CloseDiagPort(line);
        // The line searches afresh: the stick it held may not be the one behind the new number.
        doc.Bindings().Release(line);
        view.ShowLineMessage(line, "", 1);
        std::atomic_ref<int32_t>(record.diagPort).store(port);
        view.ShowLinePort(line);
        view.ShowLineMessage(line, "", 1);
        if (port != 0) {
            view.StartLinePolling(line);
            doc.Clock().SleepMs(100);
        } else {
            doc.SetLineVersionTexts(line, "No Phone", true);
            view.ShowLineVersions(line);
        }
    }
}

int StartAllLines(CPellanView& view) {
    CPellanDoc& doc = view.Doc();
    int started = 0;
    for (int line = 0; line < kLineCount; ++line) {
        // A line that holds a stick, not one whose stored port number is set: that number
        // may belong to another line's stick.
        if (doc.Bindings().Holds(line) && doc.Runtime(line).running.load() == 0) {
            if (view.StartLineJob(line)) {
                ++started;
            }
            doc.Clock().SleepMs(500);
        }
    }
    return started;
}

void StopAllLines(CPellanView& view) {
    for (int line = 0; line < kLineCount; ++line) {
        view.StopLine(line);
    }
}

}  // namespace pellan::gui
