#include "nv/nv_restore.h"

#include <array>
#include <filesystem>
#include <mutex>

#include "diag/line_context.h"
#include "firmware/location_data.h"
#include "nv/nv_identity.h"
#include "nv/nv_texts.h"
#include "nv/nvm_file.h"
#include "nv/nvm_store.h"

namespace pellan {
namespace {

constexpr uint8_t kDownloadCheckSubsystem = 0xA3;
constexpr int kModeSwitchAttempts = 3;
constexpr uint32_t kModeSwitchRetryWaitMs = 200;
constexpr uint32_t kModeSwitchSettleMs = 1000;
constexpr uint16_t kNvStatusInactive = 5;
constexpr uint16_t kNvStatusReadOnly = 7;

// The stick checks the firmware's location data before it takes NV writes; its verdict does not
// stop the restore.
void SendDownloadCheck(LineContext& line) {
    std::array<uint8_t, 128> record{};
    {
        std::lock_guard<std::mutex> lock(line.docLock);
        ReadLocationData(
            GetField(line.record.amssPath),
            [&line](const std::string& text) { line.report.ShowMessage(text, 1); }, record.data());
    }
    CPhoneLink& link = line.Link();
    if (!link.DownloadCheck(record.data(), kDownloadCheckSubsystem)) {
        line.clock.SleepMs(100);
        link.DownloadCheck(record.data(), kDownloadCheckSubsystem);
    }
}

template <typename Command>
void SwitchMode(LineContext& line, Command command) {
    for (int attempt = 0; attempt < kModeSwitchAttempts; ++attempt) {
        if (command()) {
            break;
        }
        line.clock.SleepMs(kModeSwitchRetryWaitMs);
    }
    line.clock.SleepMs(kModeSwitchSettleMs);
}

void ProgressStep(LineContext& line, int32_t nvMode, size_t index) {
    const int i = static_cast<int>(index);
    line.report.SetProgress(nvMode != NV_MODE_NONE ? 83 + 12 * i / 850 : 3 * i);
}

bool SkippedByMode(const NvItemRecord& record, int32_t nvMode) {
    return nvMode == NV_MODE_RF_NO_IMEI &&
           (record.itemId == kNvImeiItem || record.itemId == kNvSecondIdentityItem);
}

// Writes the records in file order until the walk ends. False at once when one item is refused
// twice (other than "not active" or "read only", which are skipped).
bool WriteItems(LineContext& line, NvmTable& table) {
    CPhoneLink& link = line.Link();
    const int32_t nvMode = line.options.nvMode.load();
    JobAccount& account = line.account;
    const size_t walk = NvWalkLength(table, nvMode);
    account.BeginPhase(JobPhase::NV_RESTORE, {}, walk, "items");
    for (size_t i = 0; i < kNvmRecordCount; ++i) {
        account.Progress(i);
        NvItemRecord& record = table[i];
        if (NvWalkEndsAt(record.itemId, nvMode)) {
            break;
        }
        if (SkippedByMode(record, nvMode)) {
            continue;
        }
        // The backup could not read this item; there is nothing true to write back.
        if (record.status != 0) {
            ProgressStep(line, nvMode, i);
            continue;
        }
        if (!link.WriteNvItem(record.itemId, record.data.data(), record.status)) {
            if (record.status == kNvStatusInactive || record.status == kNvStatusReadOnly) {
                continue;
            }
            account.Retry(link.m_lastError);
            if (!link.WriteNvItem(record.itemId, record.data.data(), record.status)) {
                return false;
            }
        }
        ProgressStep(line, nvMode, i);
    }
    account.Progress(walk);
    return true;
}

}  // namespace

bool RestoreNvFromFile(LineContext& line, const std::string& path) {
    line.account.BeginPhase(JobPhase::NV_RESTORE);
    SendDownloadCheck(line);

    NvmTable table{};
    switch (LoadNvmFile(path, table)) {
        case NvmLoad::CANNOT_OPEN:
            return false;
        case NvmLoad::MALFORMED:
            line.report.MessageBox(
                FormatText(line.Text(kBadNvmFileEn, kBadNvmFileZh), line.line + 1));
            return false;
        case NvmLoad::OK:
            break;
    }

    CPhoneLink& link = line.Link();
    SwitchMode(line, [&link] { return link.GoOffline(); });
    if (!WriteItems(line, table)) {
        return false;
    }
    SwitchMode(line, [&link] { return link.GoOnline(); });
    return true;
}

namespace {

// A line's NVM file may hold another stick's backup (a stick moved to another line, a file
// copied by hand); written into this stick it would give it a second stick's IMEI and
// calibration. Refused unless the user asked for it; a message box is no guard, as front ends
// may answer it at once.
bool SameStick(LineContext& line) {
    const std::string path = NvRestoreSource(line);
    const std::optional<std::string> held = ImeiInNvmFile(path);
    uint8_t digits[15] = {};
    if (!held || !line.Link().ReadImei(digits)) {
        return true;  // nothing to compare: the restore's own checks decide
    }
    std::string stick;
    bool decimal = true;
    for (const uint8_t digit : digits) {
        stick += static_cast<char>('0' + digit);
        decimal = decimal && digit <= 9;
    }
    // A stick whose IMEI item holds no decimal number (its NV corrupt or wiped) reports no IMEI,
    // like one of zeros: the restore is what gives it its own back.
    if (!decimal || stick == std::string(15, '0') || stick == *held ||
        line.options.allowOtherImei.load() != 0) {
        return true;
    }
    const std::string text = std::string(line.Text("The NV file ", "NV文件")) + path +
                             line.Text(" holds the IMEI ", "中的IMEI为") + *held +
                             line.Text(", the stick has the IMEI ", "，终端的IMEI为") + stick +
                             line.Text("; the restore was refused.", "；已拒绝恢复。");
    if (line.report.Confirm(text + line.Text(" Restore it anyway?", " 仍要恢复吗？"))) {
        return true;
    }
    line.report.FinishJob(text, 3);
    line.report.SetState(3);
    return false;
}

}  // namespace

void RestoreNvJob(LineContext& line) {
    const int32_t nvMode = line.options.nvMode.load();
    std::string failure;
    switch (nvMode) {
        case NV_MODE_NONE:
            line.report.ShowMessage("仅Restore 内环NV", 1);
            failure = "Restore NV fail!";
            break;
        case NV_MODE_RF_NO_IMEI:
        case NV_MODE_RF_AND_IMEI:
            failure = line.Text("Restore NV fail!", "重载NV区参数失败");
            break;
        case NV_MODE_DEFAULT_FILE:
            line.report.ShowMessage("装载缺省NV区", 1);
            failure = "装载缺省NV区失败";
            break;
        default:
            break;  // no restore in an unknown mode
    }
    if (nvMode != NV_MODE_DEFAULT_FILE && !failure.empty() && !SameStick(line)) {
        return;
    }
    if (!failure.empty() && !RestoreNvFromFile(line, NvRestoreSource(line))) {
        line.report.FinishJob(failure, 5);
        line.report.SetState(3);
        return;
    }
    line.report.FinishJob(line.Text("Restore NV success", "恢复NV区成功"), 0);
    line.report.SetState(2);
}

bool CheckRestoreNvStart(LineContext& line) {
    if (line.runtime.phoneState.load() != 2) {
        return false;
    }
    if (GetField(line.record.nvFolder).empty()) {
        line.report.MessageBox(FormatText(line.Text(kNoNvFolderEn, kNoNvFolderZh), line.line + 1));
        return false;
    }
    return true;
}

std::string NvRestoreSource(const LineContext& line) {
    switch (line.options.nvMode.load()) {
        case NV_MODE_NONE:
        case NV_MODE_RF_NO_IMEI:
        case NV_MODE_RF_AND_IMEI:
            return GetField(line.record.nvmFilePath);
        case NV_MODE_DEFAULT_FILE:
            return GetField(line.firstRecord.defaultNvFile);
        default:
            return {};
    }
}

bool ChooseDefaultNvFile(std::array<LineRecord, kLineCount>& records, const std::string& path,
                         std::string& error) {
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_regular_file(path, ec)) {
        error = "The default NV file does not exist: " + path;
        return false;
    }
    if (path.size() >= records[0].defaultNvFile.size()) {
        error = "The default NV file path is too long: " + path;
        return false;
    }
    for (LineRecord& record : records) {
        SetField(record.defaultNvFile, path);
    }
    return true;
}

}  // namespace pellan
