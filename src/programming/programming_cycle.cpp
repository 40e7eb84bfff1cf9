#include "programming/programming_cycle.h"

#include <functional>

#include "diag/phone_link.h"
#include "download/download_steps.h"
#include "programming/app_image.h"
#include "programming/boot_images.h"
#include "programming/efs_image.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

namespace pellan {
namespace {

constexpr int kBaud = 115200;

class Cycle {
  public:
    Cycle(CPellanView& view, int line)
        : m_view(view), m_doc(view.Doc()), m_line(line), m_clock(view.Doc().Clock()) {}

    void Progress(int percent) { m_view.SetLineProgress(m_line, percent); }
    void Status() { m_view.ShowLineMessage(m_line, "Downloading...", 1); }
    void Wait(uint32_t ms) { m_clock.SleepMs(ms); }
    CPhoneLink& Link() { return m_doc.Link(m_line); }
    void Phase(JobPhase phase, const char* detail = "") {
        m_view.Account(m_line).BeginPhase(phase, detail);
    }
    void Retry() { m_view.Account(m_line).Retry(Link().m_lastError); }

    // A failed step is tried once more on a freshly opened DIAG port.
    bool WithReopenRetry(const std::function<bool()>& step) {
        if (step()) {
            return true;
        }
        Retry();
        Wait(1000);
        m_doc.CloseDiagPort(m_line);
        m_doc.ReopenDiagPort(m_line, m_doc.LineDiagPort(m_line), kBaud);
        Wait(1000);
        return step();
    }

    CPellanView& m_view;
    CPellanDoc& m_doc;
    int m_line;
    platform::Clock& m_clock;
};

}  // namespace

bool PrepareProgrammingAttempt(CPellanView& view, int line, int attempt) {
    Cycle cycle(view, line);
    cycle.Phase(JobPhase::SECURITY_MODE);
    if (attempt > 0) {
        cycle.Wait(2000);
        view.ShowLineMessage(line,
                             view.Text("download fail, try again,First ClosePacket...",
                                       "下载失败, 再试,首次关闭Packet..."),
                             1);
        cycle.Link().StreamClose();
        cycle.Wait(2000);
        view.ShowLineMessage(
            line,
            view.Text("Try to communicate with the armprg.bin again...", "再次与armprg.bin通讯..."),
            1);
        if (!cycle.Link().StreamNop()) {
            cycle.Wait(500);
            if (!cycle.Link().StreamNop()) {
                cycle.Wait(5000);
                return false;
            }
        }
    }
    cycle.Progress(23);
    cycle.Wait(2000);
    return cycle.WithReopenRetry([&] { return cycle.Link().StreamSecurityMode(); });
}

bool RunProgrammingCycle(CPellanView& view, int line) {
    Cycle cycle(view, line);
    cycle.Phase(JobPhase::PARTITION_TABLE);
    cycle.Progress(24);
    cycle.Status();
    if (!cycle.WithReopenRetry([&] { return WritePartitionTable(view, line); })) {
        return false;
    }
    cycle.Wait(2000);
    const struct {
        int progress;
        BootImage image;
        const char* name;
    } boots[] = {
        {25, BootImage::DBL, "DBL"}, {26, BootImage::FSBL, "FSBL"}, {27, BootImage::OSBL, "OSBL"}};
    for (const auto& boot : boots) {
        cycle.Phase(JobPhase::BOOT_LOADER, boot.name);
        cycle.Progress(boot.progress);
        cycle.Status();
        if (!cycle.WithReopenRetry([&] { return WriteBootImage(view, line, boot.image); })) {
            return false;
        }
    }

    cycle.Progress(28);
    cycle.Status();
    if (!WriteApplicationImage(view, line)) {
        cycle.Retry();
        cycle.Progress(28);
        if (!WriteApplicationImage(view, line)) {
            return false;
        }
    }

    cycle.Wait(2000);
    cycle.Phase(JobPhase::NAND_PROGRAMMER);
    bool nandWritten = false;
    for (int attempt = 0; attempt < 3 && !nandWritten; ++attempt) {
        if (attempt > 0) {
            cycle.Retry();
            cycle.Wait(2000);
        }
        nandWritten = UploadNandProgrammer(view, line);
    }
    if (!nandWritten) {
        return false;
    }

    cycle.Status();
    if (!WriteEfsImage(view, line)) {
        cycle.Retry();
        cycle.Progress(61);
        if (!WriteEfsImage(view, line)) {
            return false;
        }
    }
    return true;
}

}  // namespace pellan
