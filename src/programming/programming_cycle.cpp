#include "programming/programming_cycle.h"

#include <functional>

#include "diag/line_context.h"
#include "diag/phone_link.h"
#include "download/download_steps.h"
#include "programming/app_image.h"
#include "programming/boot_images.h"
#include "programming/efs_image.h"

namespace pellan {
namespace {

constexpr int kBaud = 115200;

class Cycle {
  public:
    explicit Cycle(LineContext& line) : m_line(line) {}

    void Progress(int percent) { m_line.report.SetProgress(percent); }
    void Status() { m_line.report.ShowMessage("Downloading...", 1); }
    void Wait(uint32_t ms) { m_line.clock.SleepMs(ms); }
    CPhoneLink& Link() { return m_line.Link(); }
    void Phase(JobPhase phase, const char* detail = "") {
        m_line.account.BeginPhase(phase, detail);
    }
    void Retry() { m_line.account.Retry(Link().m_lastError); }

    // A failed step is tried once more on a freshly opened DIAG port.
    bool WithReopenRetry(const std::function<bool()>& step) {
        if (step()) {
            return true;
        }
        Retry();
        Wait(1000);
        m_line.ports.CloseDiag();
        m_line.ports.ReopenDiag(m_line.ports.DiagPort(), kBaud);
        Wait(1000);
        return step();
    }

  private:
    LineContext& m_line;
};

}  // namespace

bool PrepareProgrammingAttempt(LineContext& line, int attempt) {
    Cycle cycle(line);
    cycle.Phase(JobPhase::SECURITY_MODE);
    if (attempt > 0) {
        cycle.Wait(2000);
        line.report.ShowMessage(line.Text("download fail, try again,First ClosePacket...",
                                          "下载失败, 再试,首次关闭Packet..."),
                                1);
        cycle.Link().StreamClose();
        cycle.Wait(2000);
        line.report.ShowMessage(
            line.Text("Try to communicate with the armprg.bin again...", "再次与armprg.bin通讯..."),
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

bool RunProgrammingCycle(LineContext& line) {
    Cycle cycle(line);
    cycle.Phase(JobPhase::PARTITION_TABLE);
    cycle.Progress(24);
    cycle.Status();
    if (!cycle.WithReopenRetry([&] { return WritePartitionTable(line); })) {
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
        if (!cycle.WithReopenRetry([&] { return WriteBootImage(line, boot.image); })) {
            return false;
        }
    }

    cycle.Progress(28);
    cycle.Status();
    if (!WriteApplicationImage(line)) {
        cycle.Retry();
        cycle.Progress(28);
        if (!WriteApplicationImage(line)) {
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
        nandWritten = UploadNandProgrammer(line);
    }
    if (!nandWritten) {
        return false;
    }

    cycle.Status();
    if (!WriteEfsImage(line)) {
        cycle.Retry();
        cycle.Progress(61);
        if (!WriteEfsImage(line)) {
            return false;
        }
    }
    return true;
}

}  // namespace pellan
