#include "line/update_job.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>

#include "diag/challenge.h"
#include "download/download_steps.h"
#include "firmware/firmware_set.h"
#include "firmware/location_data.h"
#include "line/line_station.h"
#include "line/standard_jobs.h"
#include "line/station_firmware.h"
#include "nv/nv_backup.h"
#include "nv/nv_identity.h"
#include "nv/nv_restore.h"
#include "programming/programming_cycle.h"

namespace pellan {

namespace {

constexpr int kBaud = 115200;
constexpr const char* kNoImei = "000000000000000";
constexpr uint16_t kNvItem22 = 22;
constexpr size_t kIdentityOffset = 249;
constexpr size_t kVersionSlotSize = 31;
constexpr int kProgrammingAttempts = 10;

// Step numbers in the comments below follow the job's published sequence, so that a reader can
// hold the code against it line by line.
class UpdateRun {
  public:
    UpdateRun(LineStation& station, int line)
        : m_station(station),
          m_context(station.Context(line)),
          m_line(line),
          m_link(m_context.Link()),
          m_clock(m_context.clock),
          m_controller(LineControllerOf(station)),
          m_account(m_context.account) {}

    // Steps 1 to 73; true when the stick was updated.
    bool Execute();
    const std::string& ResultText() const { return m_resultText; }
    // A job that failed after it stopped the connection manager leaves the station.
    ~UpdateRun() {
        if (m_inStation) {
            LeaveStation(m_station, false);
        }
    }

  private:
    bool CheckIdentity();
    void SwitchForDownload();
    bool WaitForStick();
    bool PrepareNv();
    bool BackupNv();
    void AnswerChallenge();
    bool LoadProgrammer();
    bool ProgramImages();
    bool RestoreAndReturnToNormal();
    void ReturnToNormalMode();
    void Report();

    bool CheckBackupIdentity();
    bool ReadNvItem22();
    bool AskDownloadMode();

    void Progress(int percent) { m_context.report.SetProgress(percent); }
    void Phase(JobPhase phase) { m_account.BeginPhase(phase); }
    void NoteStick(uint32_t esn);
    void Status() { m_context.report.ShowMessage("Downloading...", 1); }
    void Sleep(uint32_t ms) { m_clock.SleepMs(ms); }
    bool ReopenDiag() { return m_context.ports.ReopenDiag(m_context.ports.DiagPort(), kBaud); }
    bool ReopenAt() { return m_context.ports.ReopenAt(m_context.ports.AtPort(), kBaud); }
    const char* Text(const char* english, const char* chinese) const {
        return m_context.Text(english, chinese);
    }
    bool StopRequested() const { return m_context.runtime.running.load() == 0; }
    // Ends the job with a failure: the text, its code, then the fail state.
    bool Fail(const std::string& text, int code) {
        m_context.report.FinishJob(text, code);
        m_context.report.SetState(3);
        return false;
    }
    // Tries `step` up to `attempts` times; `afterFailure` runs after every failed try, which
    // the job's account notes with the link's last failure.
    bool Attempts(int attempts, const std::function<bool()>& step,
                  const std::function<void()>& afterFailure) {
        for (int i = 0; i < attempts; ++i) {
            if (step()) {
                return true;
            }
            m_account.Retry(m_link.m_lastError.empty() ? "no answer" : m_link.m_lastError);
            afterFailure();
        }
        return false;
    }
    bool WithSleep(int attempts, uint32_t ms, const std::function<bool()>& step) {
        return Attempts(attempts, step, [&] { Sleep(ms); });
    }
    bool SendAt(const char* command) {
        return Attempts(
            3, [&] { return m_context.At().SendCommand(command); },
            [&] {
                ReopenAt();
                Sleep(2000);
            });
    }
    // The retry of the programmer steps: once more after 1 s, then once more after reopening.
    bool ThreeTries(const std::function<bool()>& step) {
        if (step()) {
            return true;
        }
        m_account.Retry(m_link.m_lastError);
        Sleep(1000);
        if (step()) {
            return true;
        }
        m_account.Retry(m_link.m_lastError);
        Sleep(1000);
        ReopenDiag();
        Sleep(1000);
        return step();
    }

    LineStation& m_station;
    LineContext& m_context;
    const int m_line;
    CPhoneLink& m_link;
    platform::Clock& m_clock;
    LineController& m_controller;
    JobAccount& m_account;

    uint32_t m_startTick = 0;
    std::array<uint8_t, 128> m_nvItem22{};
    bool m_nvItem22Read = false;
    bool m_downloadModeAnswered = false;
    std::string m_nvmPath;
    std::string m_resultText;
    bool m_inStation = false;
    std::optional<platform::Md5Digest> m_backupDigest;
};

bool UpdateRun::Execute() {
    if (!CheckIdentity()) {
        return false;
    }
    Phase(JobPhase::CONNECTION_MANAGER_STOP);
    EnterStation(m_station);  // 6
    m_inStation = true;
    m_startTick = m_clock.TickMs();  // 7
    SwitchForDownload();
    if (!WaitForStick() || !PrepareNv() || !BackupNv()) {
        return false;
    }
    AnswerChallenge();
    if (!LoadProgrammer() || !ProgramImages() || !RestoreAndReturnToNormal()) {
        return false;
    }
    Report();
    return true;
}

// Steps 1 to 5.
bool UpdateRun::CheckIdentity() {
    Phase(JobPhase::IDENTITY_CHECK);
    LineRuntime& runtime = m_context.runtime;
    SetField(runtime.imei, kNoImei);
    bool ok = false;
    for (int pass = 0; pass < 3; ++pass) {
        // Only the third read counts: a stick must still give its IMEI after two reads.
        ReopenDiag();
        Sleep(500);
        ok = CheckImei(m_station, m_line);
        Sleep(100);
    }
    if (!ok) {
        return Fail("IMEI is not exist, not allowed to download!", 5);
    }
    ReadStickVersion(m_station, m_line);
    std::string identity;
    std::array<std::string, 2> markers;
    {
        std::lock_guard<std::mutex> lock(m_controller.mutex);
        std::string& stored = m_controller.stickIdentity[static_cast<size_t>(m_line)];
        if (stored.size() <= 2) {
            stored = GetField(runtime.identity);
        }
        identity = stored;
        markers = m_controller.modelMarkers;
    }
    if (IdentityAccepted(identity, markers)) {
        return true;
    }
    if (m_context.options.language.load() == 0) {
        m_context.report.FinishJob("当前线路的设备不能用此工具!", 5);
    } else {
        m_context.report.FinishJob("Current line device can not use this download tool!", 5);
        m_station.MessageBox("The version is not matching! Please check the software version!");
    }
    runtime.running = 0;
    return false;
}

// Steps 8 to 15: vendor mode, autorun off, the AT switch and the reset into the new mode. None
// of these refuses the stick; the download-mode answer of step 19 decides.
void UpdateRun::SwitchForDownload() {
    Phase(JobPhase::MODE_SWITCH);
    uint32_t esn = 0;
    NoteStick(m_link.ReadEsn(esn) ? esn : CPhoneLink::kNoEsn);
    Progress(1);
    Status();
    WithSleep(3, 3000, [&] { return m_link.SetVendorMode(1); });
    Sleep(1000);
    WithSleep(3, 3000, [&] { return m_link.SetAutorun(0); });
    SendAt("AT+WCDRUN=E");
    Sleep(2000);
    SendAt("AT+WCDRUN=8");
    Sleep(1000);
    Progress(2);
    Status();
    WithSleep(3, 3000, [&] { return m_link.GoOffline(); });
    Sleep(500);
    WithSleep(5, 3000, [&] {
        m_link.GoOffline();
        Sleep(1000);
        return m_link.ResetPhone();
    });
    Sleep(20000);
}

// Steps 16 to 20. The search has no time limit, so a stop request is honoured inside it.
bool UpdateRun::WaitForStick() {
    Phase(JobPhase::WAIT_FOR_STICK);
    Progress(3);
    Status();
    int searches = 0;
    while (true) {
        const bool found = m_context.ports.Discover();
        Sleep(1000);
        ++searches;
        if (searches == 200) {
            Progress(4);
        }
        if (searches == 300) {
            Progress(5);
            m_station.MessageBox(
                "Please pull out the modem, then inserts it again! The downloading operation "
                "will go on!");
            Sleep(2000);
        }
        if (found) {
            break;
        }
        if (StopRequested()) {
            return Fail("Action stop!", 2);
        }
    }
    m_station.ShowLinePort(m_line);
    Status();
    Progress(5);
    Status();
    Status();
    m_downloadModeAnswered = AskDownloadMode();
    Progress(6);
    Status();
    return true;
}

bool UpdateRun::AskDownloadMode() {
    return Attempts(
        3, [&] { return m_link.SetVendorMode(2); },
        [&] {
            ReopenDiag();
            Sleep(1000);
        });
}

bool UpdateRun::ReadNvItem22() {
    return WithSleep(3, 200, [&] {
        std::array<uint8_t, 128> data{};
        uint16_t status = 0;
        if (!m_link.ReadNvItem(kNvItem22, data.data(), status)) {
            return false;
        }
        // Bytes 22..49 are not carried over into the write-back.
        std::fill(data.begin() + 22, data.begin() + 50, 0);
        m_nvItem22 = data;
        m_nvItem22Read = true;
        return true;
    });
}

// Steps 21 to 25.
bool UpdateRun::PrepareNv() {
    const LineRecord& record = m_context.record;
    const std::string header =
        "Current Version : " + CurrentVersionText(m_station, m_line) + "\n" +
        "Download Version : " + GetField(m_context.firstRecord.firmwareFolder) + "\n" +
        "Armprg path : " + GetField(record.armprgPath) + "\n" + "\n";
    m_station.ReplaceLineLog(m_line, header);
    ReadNvItem22();
    if (!m_downloadModeAnswered) {
        m_downloadModeAnswered = AskDownloadMode();
        if (!m_downloadModeAnswered && m_station.CheckDownloadMode()) {
            m_context.report.FinishJob(Text("Current line is not in download mode!",
                                            "当前线路的设备不是处在download模式,不允许下载!"),
                                       5);
            m_context.runtime.running = 0;
            m_context.report.SetState(3);
            return false;
        }
    }
    if (!m_nvItem22Read) {
        ReadNvItem22();
    }
    Sleep(200);
    Status();
    return true;
}

// Steps 26 to 32.
bool UpdateRun::BackupNv() {
    Phase(JobPhase::DOWNLOAD_CHECK);
    std::array<uint8_t, 128> location{};
    {
        std::lock_guard<std::mutex> lock(m_context.docLock);
        ReadLocationData(
            GetField(m_context.record.amssPath),
            [this](const std::string& text) { m_context.report.ShowMessage(text, 1); },
            location.data());
    }
    if (!m_link.DownloadCheck(location.data(), 0xA3)) {
        Sleep(100);
        m_link.DownloadCheck(location.data(), 0xA3);
    }
    Progress(7);
    Status();
    LineRecord& record = m_context.record;
    const std::string nvFolder = GetField(record.nvFolder);
    char path[sizeof(record.nvmFilePath) + 32];
    std::snprintf(path, sizeof(path), "%sChannel%d.nvm", nvFolder.c_str(), m_line + 1);
    m_nvmPath = path;
    SetField(record.nvmFilePath, m_nvmPath);
    if (!CheckNvFolder(m_context, nvFolder)) {
        return Fail("Can't create NV directory!", 5);
    }
    Status();
    if (!BackupNvToFile(m_context, m_nvmPath)) {
        m_context.report.FinishJob(m_link.m_lastError, 5);
        return false;
    }
    ArchiveLineBackup(m_station, m_line, m_nvmPath, false);
    if (m_context.options.nvMode.load() != NV_MODE_DEFAULT_FILE && !CheckBackupIdentity()) {
        return false;
    }
    Status();
    Progress(20);
    Status();
    return true;
}

// The backup is what the restore writes back after the flash is erased: it must be this stick's.
// A backup whose IMEI was not read, or is another stick's, ends the job while the stick still
// holds its own firmware and NV items.
bool UpdateRun::CheckBackupIdentity() {
    const std::string started = GetField(m_context.runtime.imei);
    const std::optional<std::string> held = ImeiInNvmFile(m_nvmPath);
    char text[1024];
    if (!held) {
        std::snprintf(text, sizeof text,
                      Text("The NV backup %s holds no IMEI (item 550 was not read); the stick "
                           "was not changed.",
                           "NV备份%s中没有IMEI(未读到550项)，终端未被改动。"),
                      m_nvmPath.c_str());
        return Fail(text, 5);
    }
    if (*held != started) {
        std::snprintf(text, sizeof text,
                      Text("The NV backup %s holds the IMEI %s, not the stick's IMEI %s; the "
                           "stick was not changed.",
                           "NV备份%s中的IMEI为%s，与终端的IMEI %s不符，终端未被改动。"),
                      m_nvmPath.c_str(), held->c_str(), started.c_str());
        return Fail(text, 5);
    }
    m_backupDigest = FileDigest(m_nvmPath);
    if (m_backupDigest) {
        m_account.BackupFile(m_nvmPath, platform::DigestHex(*m_backupDigest));
    } else {
        std::snprintf(text, sizeof text,
                      Text("The NV backup %s cannot be read back; the stick was not changed.",
                           "无法读回NV备份%s，终端未被改动。"),
                      m_nvmPath.c_str());
        return Fail(text, 5);
    }
    return true;
}

// What the job knows of its stick once its ESN was asked for.
void UpdateRun::NoteStick(uint32_t esn) {
    StickIdentity stick;
    stick.port = "COM" + std::to_string(m_context.ports.DiagPort());
    stick.location = m_station.Bindings().Location(m_line);
    stick.currentVersion = GetField(m_context.runtime.currentVersion);
    stick.secondVersion = GetField(m_context.runtime.secondVersion);
    if (esn != CPhoneLink::kNoEsn) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", esn);
        stick.esn = hex;
    }
    stick.imei = GetField(m_context.runtime.imei);
    m_account.SetStick(stick);
}

// Step 33: the stick's 8-byte challenge is answered with its MD5 digest. A stick that gives no
// challenge is not asked again.
void UpdateRun::AnswerChallenge() {
    Phase(JobPhase::SECURITY_MODE);
    std::array<uint8_t, 32> area{};
    if (!WithSleep(3, 500, [&] { return m_link.GetValue8(area.data()); })) {
        return;
    }
    std::array<uint8_t, 16> digest{};
    ChallengeDigest(area.data(), digest.data());
    m_link.SetValue16(digest.data());
}

// Steps 34 to 40.
bool UpdateRun::LoadProgrammer() {
    Phase(JobPhase::PROGRAMMER);
    Progress(21);
    Status();
    const bool entered = Attempts(
        20, [&] { return EnterDownloadMode(m_context); },
        [&] {
            Sleep(1000);
            ReopenDiag();
            Sleep(1000);
        });
    if (!entered) {
        return Fail("Switch to Download mode fail!", 5);
    }
    if (StopRequested()) {
        return Fail("Action stop!", 2);
    }
    Progress(22);
    Status();
    if (!ThreeTries([&] { return UploadArmprg(m_context); })) {
        return Fail("Download armprg512.bin fail!", 4);
    }
    Sleep(2000);
    Status();
    if (!ThreeTries([&] { return StartProgrammer(m_context); })) {
        return Fail("Skip fail!", 4);
    }
    return true;
}

// Steps 41 to 52.
bool UpdateRun::ProgramImages() {
    for (int attempt = 0; attempt < kProgrammingAttempts; ++attempt) {
        LineJobFacts(m_station, m_line).retries = attempt;
        m_account.SetCycle(attempt + 1);
        if (PrepareProgrammingAttempt(m_context, attempt) && RunProgrammingCycle(m_context)) {
            m_account.SetCycle(0);
            Progress(80);
            Progress(81);
            Status();
            return true;
        }
        m_account.EndPhase(false);
    }
    m_account.SetCycle(0);
    return Fail(Text("Download fail, please check the log file to get fail information!",
                     "下载失败,具体失败信息请看Logs目录下文件!"),
                4);
}

// Steps 53 to 68.
bool UpdateRun::RestoreAndReturnToNormal() {
    Phase(JobPhase::RESET);
    if (!ResetAndReconnect(m_context)) {
        return Fail(Text("Reset modem fail!", "重启终端失败"), 5);
    }
    m_station.ShowLinePort(m_line);
    m_station.ShowLineVersions(m_line);
    Progress(82);
    m_station.ShowLineVersions(m_line);
    // An item 22 that was never read would be written back as zeros over the stick's own.
    if (m_nvItem22Read) {
        WithSleep(3, 200, [&] {
            uint16_t status = 0;
            return m_link.WriteNvItem(kNvItem22, m_nvItem22.data(), status);
        });
    }
    switch (m_context.options.nvMode.load()) {
        case NV_MODE_NONE:
        case NV_MODE_RF_NO_IMEI:
        case NV_MODE_RF_AND_IMEI:
            // Only the file this job wrote goes back into the stick.
            if (FileDigest(m_nvmPath) != m_backupDigest) {
                return Fail(std::string(Text("The NV backup ", "NV备份")) + m_nvmPath +
                                Text(" was changed after it was written; it was not restored.",
                                     "在写入后被改动，未恢复。"),
                            5);
            }
            if (!RestoreNvFromFile(m_context, m_nvmPath)) {
                return Fail(Text("Restore NV fail!", "重载NV区参数失败"), 5);
            }
            break;
        case NV_MODE_DEFAULT_FILE:
            if (!RestoreNvFromFile(m_context, GetField(m_context.firstRecord.defaultNvFile))) {
                return Fail(Text("Restore default NV fail!", "装载缺省NV区失败"), 5);
            }
            break;
        default:
            break;
    }
    Phase(JobPhase::RETURN_TO_NORMAL);
    Progress(95);
    Status();
    // The search has no time limit, so a stop request is honoured inside it.
    while (true) {
        Sleep(1000);
        if (m_context.ports.Discover()) {
            break;
        }
        if (StopRequested()) {
            return Fail("Action stop!", 2);
        }
    }
    for (int pass = 0; pass < 60; ++pass) {
        Sleep(1000);
        WithSleep(3, 2000, [&] { return ReopenAt(); });
        if (ReopenDiag() && m_context.ports.QueryPhone()) {
            break;
        }
    }
    Sleep(2000);
    Progress(96);
    Status();
    ReturnToNormalMode();
    return true;
}

// Steps 61 to 68.
void UpdateRun::ReturnToNormalMode() {
    WithSleep(3, 5000, [&] { return m_link.SetVendorMode(0); });
    WithSleep(3, 5000, [&] { return m_link.SetAutorun(1); });
    SendAt("AT+WCDRUN=F");
    Sleep(2000);
    SendAt("AT+WCDRUN=9");
    Sleep(2000);
    Status();
    Progress(97);
    WithSleep(3, 3000, [&] { return m_link.GoOffline(); });
    WithSleep(3, 3000, [&] { return m_link.ResetPhone(); });
    // The line keeps its stick while it restarts into normal mode.
    m_station.Bindings().KeepAfterReset(m_line);
    Progress(98);
    Sleep(1000);
    Progress(99);
}

// Steps 69 to 73.
void UpdateRun::Report() {
    DeleteFirmwareSet(m_station, m_line);
    m_inStation = false;
    Phase(JobPhase::CONNECTION_MANAGER_START);
    LeaveStation(m_station, true);  // 70
    Sleep(3000);
    const uint32_t elapsed = m_clock.TickMs() - m_startTick;
    m_resultText = UpdateSuccessText(m_context.options.language.load() != 0, m_line, elapsed);
    m_station.ShowLinePort(m_line);
    m_station.ShowLineVersions(m_line);
    LineJobFacts(m_station, m_line).versionAfter = GetField(m_context.runtime.currentVersion);
    Progress(100);
    m_context.report.ShowMessage(m_resultText, 1);
}

// After the success box the program ends, but never under another line's running job: that
// stick would be left half-written. Lines that are themselves only waiting to end do not count.
void WaitForOtherLineJobs(LineController& controller, platform::Clock& clock, int line) {
    while (true) {
        bool othersRunning = false;
        for (int n = 0; n < kLineCount; ++n) {
            if (n != line && controller.phase[static_cast<size_t>(n)].load() ==
                                 static_cast<int>(LineJobPhase::RUNNING)) {
                othersRunning = true;
            }
        }
        if (!othersRunning) {
            return;
        }
        clock.SleepMs(500);
    }
}

}  // namespace

bool IdentityAccepted(const std::string& identity, const std::array<std::string, 2>& markers) {
    if (markers[0].empty() && markers[1].empty()) {
        return true;
    }
    for (const std::string& marker : markers) {
        if (!marker.empty() && identity.find(marker) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string UpdateSuccessText(bool english, int line, unsigned elapsedMs) {
    const unsigned seconds = elapsedMs / 1000;
    char text[128];
    if (english) {
        std::snprintf(text, sizeof(text), "Update success!  It costs %d minutes and %d seconds.",
                      static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
    } else {
        std::snprintf(text, sizeof(text), "线路%d下载成功！共花了%d分%d秒", line + 1,
                      static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
    }
    return text;
}

void ReadStickVersion(LineStation& station, int line) {
    LineContext& context = station.Context(line);
    context.ports.ReopenDiag(context.ports.DiagPort(), kBaud);
    std::array<uint8_t, 303> record{};
    for (int i = 0; i < 3; ++i) {
        record.fill(0);
        context.Link().ReadVersionSet(record.data());
        context.clock.SleepMs(500);
    }
    const char* slot = reinterpret_cast<const char*>(record.data() + kIdentityOffset);
    const std::string identity(slot, strnlen(slot, kVersionSlotSize));
    LineController& controller = LineControllerOf(station);
    std::lock_guard<std::mutex> lock(controller.mutex);
    controller.stickIdentity[static_cast<size_t>(line)] = identity;
}

bool CheckImei(LineStation& station, int line) {
    LineContext& context = station.Context(line);
    uint8_t digits[15] = {};
    if (!context.Link().ReadImei(digits)) {
        return false;
    }
    std::string text(15, '0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('0' + digits[i]);
    }
    SetField(context.runtime.imei, text);
    return text != kNoImei;
}

void UpdateJob(LineStation& station, int line) {
    LineController& controller = LineControllerOf(station);
    BeginJobHistory(station, line, JOB_UPDATE);
    UpdateRun run(station, line);
    const bool updated = run.Execute();
    LineJobFacts(station, line).imei = GetField(station.Context(line).runtime.imei);
    if (updated) {
        station.Context(line).account.Result(true, 0, run.ResultText());
    }
    RecordJobHistory(station, line, JOB_UPDATE, updated ? run.ResultText() : std::string());
    CloseJobLog(station, line);
    if (!updated) {
        return;
    }
    station.MessageBox(run.ResultText());  // 74
    platform::Clock& clock = station.Context(line).clock;
    clock.SleepMs(1000);  // 75
    controller.phase[static_cast<size_t>(line)] = static_cast<int>(LineJobPhase::ENDING);
    WaitForOtherLineJobs(controller, clock, line);
    station.RequestLineEnd(line);
}

}  // namespace pellan
