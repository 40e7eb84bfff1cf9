#include "download/download_steps.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "diag/line_context.h"
#include "diag/phone_link.h"
#include "firmware/image_file.h"

namespace pellan {
namespace {

constexpr int kBaud = 115200;
constexpr uint32_t kProgrammerAddress = 0x00800000;
constexpr uint16_t kProgrammerSegment = 0x0080;
constexpr uint16_t kProgrammerOffset = 0x0000;
// 1017 data bytes make the DMSS write packet exactly 1024 bytes before CRC and stuffing.
constexpr uint32_t kArmprgChunk = 1017;
constexpr uint32_t kStreamChunk = 1024;
constexpr uint8_t kNandProgrammerImage = 0x14;
constexpr int kReconnectPasses = 60;

enum class Reopen { None, Diag, At };

// What happens before a repeated call: a wait, optionally a port reopen, then another wait.
struct Pause {
    uint32_t waitMs = 0;
    Reopen reopen = Reopen::None;
    uint32_t waitAfterReopenMs = 0;
};

class LineSteps {
  public:
    explicit LineSteps(LineContext& line) : m_line(line) {}

    CPhoneLink& Link() { return m_line.Link(); }
    LineContext& Line() { return m_line; }
    void Wait(uint32_t ms) { m_line.clock.SleepMs(ms); }
    bool ReopenDiag() { return m_line.ports.ReopenDiag(m_line.ports.DiagPort(), kBaud); }
    bool ReopenAt() { return m_line.ports.ReopenAt(m_line.ports.AtPort(), kBaud); }
    void Status(const std::string& text) { m_line.report.ShowMessage(text, 1); }
    void Box(const std::string& text) { m_line.report.MessageBox(text); }

    void Apply(const Pause& pause) {
        if (pause.waitMs > 0) {
            Wait(pause.waitMs);
        }
        if (pause.reopen == Reopen::Diag) {
            ReopenDiag();
        } else if (pause.reopen == Reopen::At) {
            ReopenAt();
        }
        if (pause.waitAfterReopenMs > 0) {
            Wait(pause.waitAfterReopenMs);
        }
    }

    // Calls `command` once, then once more after each pause until it succeeds.
    bool Try(const std::vector<Pause>& pauses, const std::function<bool()>& command) {
        if (command()) {
            return true;
        }
        for (const Pause& pause : pauses) {
            Apply(pause);
            if (command()) {
                return true;
            }
        }
        return false;
    }

    // The document lock around a command that makes a stick leave and re-enter the bus, taken
    // only with the Single Switch option so that parallel lines restart one stick at a time.
    std::unique_lock<std::mutex> SwitchLock() {
        if (m_line.options.singleSwitch.load() != 0) {
            return std::unique_lock<std::mutex>(m_line.docLock);
        }
        return {};
    }

  private:
    LineContext& m_line;
};

std::vector<Pause> Waits(std::initializer_list<uint32_t> waits) {
    std::vector<Pause> pauses;
    for (uint32_t ms : waits) {
        pauses.push_back({ms, Reopen::None, 0});
    }
    return pauses;
}

}  // namespace

bool EnterDownloadMode(LineContext& line) {
    LineSteps steps(line);
    CPhoneLink& link = steps.Link();

    // The feature request only prepares the stick; a stick that ignores it may still switch.
    steps.Try(Waits({300, 3000, 5000}), [&] { return link.FeatureRequest5C(); });

    steps.Wait(500);
    if (!steps.Try(Waits({300, 300}), [&] { return link.SendSpc(); })) {
        return false;
    }

    steps.Wait(100);
    const std::vector<Pause> offlinePauses = {{300}, {5000}, {0, Reopen::Diag, 8000}};
    if (!steps.Try(offlinePauses, [&] { return link.GoOffline(); })) {
        return false;
    }

    steps.Wait(100);
    if (!steps.Try(std::vector<Pause>(100, Pause{500}), [&] { return link.QueryModemStatus(); })) {
        return false;
    }

    steps.Wait(100);
    {
        auto lock = steps.SwitchLock();
        const std::vector<Pause> switchPauses = {{1000}, {0, Reopen::Diag, 2000}};
        // The third switch's outcome is not used: the downloader's nop below tells.
        steps.Try(switchPauses, [&] { return link.SwitchToDownloader(); });
        steps.Wait(500);
    }

    const std::vector<Pause> nopPauses = {
        {2000}, {3000}, {0, Reopen::Diag, 4000}, {5000}, {0, Reopen::Diag, 6000}};
    if (!steps.Try(nopPauses, [&] { return link.DloadNop(); })) {
        return false;
    }

    auto& record = line.runtime.flashInfo;
    for (int attempt = 0; attempt < 3; ++attempt) {
        steps.Wait(300);
        if (link.DloadGetParams(record.data())) {
            return true;
        }
    }
    return false;
}

bool UploadArmprg(LineContext& line) {
    LineSteps steps(line);
    CPhoneLink& link = steps.Link();
    ImageFile file;
    if (!file.Open(GetField(line.record.armprgPath))) {
        char text[256];
        std::snprintf(text, sizeof(text),
                      "线路%d打开FlASH文件armprg.bin失败,请检查当前下载软件目录下是否有该文件",
                      line.line + 1);
        link.m_lastError = text;
        steps.Box(text);
        return false;
    }
    const int64_t length = file.Length();
    if (length < 0) {
        link.m_lastError = "Cannot read armprg.bin";
        return false;
    }
    std::array<uint8_t, kArmprgChunk> chunk{};
    int64_t offset = 0;
    for (;;) {
        const int64_t remaining = length - offset;
        const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(remaining, kArmprgChunk));
        if (!file.Read(chunk.data(), n)) {
            link.m_lastError = "Cannot read armprg.bin";
            return false;
        }
        if (!link.DloadWrite32(chunk.data(), kProgrammerAddress + static_cast<uint32_t>(offset),
                               static_cast<uint16_t>(n))) {
            return false;
        }
        offset += n;
        if (remaining <= kArmprgChunk) {
            return true;
        }
    }
}

bool StartProgrammer(LineContext& line) {
    LineSteps steps(line);
    CPhoneLink& link = steps.Link();
    const std::vector<Pause> reopenPauses = {{0, Reopen::Diag, 2000}, {0, Reopen::Diag, 2000}};
    {
        auto lock = steps.SwitchLock();
        const bool started = steps.Try(
            reopenPauses, [&] { return link.DloadGo(kProgrammerSegment, kProgrammerOffset); });
        if (!started) {
            // Some downloaders answer only the second form of go; the last outcome is not used,
            // the programmer's hello below tells whether it runs.
            steps.Try(reopenPauses,
                      [&] { return link.DloadGoAlt(kProgrammerSegment, kProgrammerOffset); });
        }
        steps.Wait(1000);
    }
    const std::vector<Pause> helloPauses = {{2000}, {0, Reopen::Diag, 2000}};
    if (!steps.Try(helloPauses, [&] { return link.StreamHello(); })) {
        return false;
    }
    return steps.Try(helloPauses, [&] { return link.StreamNop(); });
}

bool UploadNandProgrammer(LineContext& line) {
    LineSteps steps(line);
    CPhoneLink& link = steps.Link();
    if (!steps.Try(Waits({2000, 2000, 2000}),
                   [&] { return link.StreamOpenMultiImage(kNandProgrammerImage, nullptr, 0); })) {
        steps.Status("Enter nandprg failed...");
        return false;
    }
    ImageFile file;
    if (!file.Open(GetField(line.record.nandprgPath))) {
        steps.Status("Open file fail");
        return false;
    }
    const int64_t length = file.Length();
    if (length < 0) {
        steps.Status("Open file fail");
        return false;
    }
    const std::vector<Pause> writePauses = {
        {2000}, {0, Reopen::At, 2000}, {2000, Reopen::At, 2000}};
    std::array<uint8_t, kStreamChunk> chunk{};
    int64_t offset = 0;
    for (;;) {
        const int64_t remaining = length - offset;
        const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(remaining, kStreamChunk));
        if (!file.Read(chunk.data(), n)) {
            steps.Status("Open file fail");
            return false;
        }
        const auto address = static_cast<uint32_t>(offset);
        if (!steps.Try(writePauses, [&] { return link.StreamWrite(chunk.data(), address, n); })) {
            steps.Status(link.m_lastError);
            return false;
        }
        offset += n;
        if (remaining <= kStreamChunk) {
            break;
        }
    }
    file.Close();
    if (!link.StreamClose()) {
        steps.Status("ClosePacket failed...");
        return false;
    }
    return true;
}

bool ResetAndReconnect(LineContext& line) {
    LineSteps steps(line);
    {
        auto lock = steps.SwitchLock();
        // The programmer may restart before it answers; the stick's return below tells.
        steps.Link().StreamReset();
    }
    for (int pass = 0; pass < kReconnectPasses; ++pass) {
        steps.Wait(1000);
        if (steps.ReopenDiag() && line.ports.QueryPhone()) {
            return true;
        }
    }
    return false;
}

}  // namespace pellan
