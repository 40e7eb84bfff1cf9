#include "nv/nv_restore.h"

#include <array>
#include <filesystem>
#include <mutex>

#include "firmware/location_data.h"
#include "nv/nv_identity.h"
#include "nv/nv_texts.h"
#include "nv/nvm_file.h"
#include "nv/nvm_store.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

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
void SendDownloadCheck(CPellanView& view, int line) {
    CPellanDoc& doc = view.Doc();
    std::array<uint8_t, 128> record{};
    {
        std::lock_guard<std::mutex> lock(doc.DocLock());
        ReadLocationData(view, line, record.data());
    }
    CPhoneLink& link = doc.Link(line);
    if (!link.DownloadCheck(record.data(), kDownloadCheckSubsystem)) {
        doc.Clock().SleepMs(100);
        link.DownloadCheck(record.data(), kDownloadCheckSubsystem);
    }
}

template <typename Command>
void SwitchMode(CPellanDoc& doc, Command command) {
    for (int attempt = 0; attempt < kModeSwitchAttempts; ++attempt) {
        if (command()) {
            break;
        }
        doc.Clock().SleepMs(kModeSwitchRetryWaitMs);
    }
    doc.Clock().SleepMs(kModeSwitchSettleMs);
}

void ProgressStep(CPellanView& view, int line, int32_t nvMode, size_t index) {
    const int i = static_cast<int>(index);
    view.SetLineProgress(line, nvMode != NV_MODE_NONE ? 83 + 12 * i / 850 : 3 * i);
}

bool SkippedByMode(const NvItemRecord& record, int32_t nvMode) {
    return nvMode == NV_MODE_RF_NO_IMEI &&
           (record.itemId == kNvImeiItem || record.itemId == kNvSecondIdentityItem);
}

// Writes the records in file order until the walk ends. False at once when one item is refused
// twice (other than "not active" or "read only", which are skipped).
bool WriteItems(CPellanView& view, int line, NvmTable& table) {
    CPellanDoc& doc = view.Doc();
    CPhoneLink& link = doc.Link(line);
    const int32_t nvMode = doc.m_nvMode.load();
    JobAccount& account = view.Account(line);
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
            ProgressStep(view, line, nvMode, i);
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
        ProgressStep(view, line, nvMode, i);
    }
    account.Progress(walk);
    return true;
}

}  // namespace

bool RestoreNvFromFile(CPellanView& view, int line, const std::string& path) {
    CPellanDoc& doc = view.Doc();
    view.Account(line).BeginPhase(JobPhase::NV_RESTORE);
    SendDownloadCheck(view, line);

    NvmTable table{};
    switch (LoadNvmFile(path, table)) {
        case NvmLoad::CANNOT_OPEN:
            return false;
        case NvmLoad::MALFORMED:
            view.MessageBox(FormatText(view.Text(kBadNvmFileEn, kBadNvmFileZh), line + 1));
            return false;
        case NvmLoad::OK:
            break;
    }

    CPhoneLink& link = doc.Link(line);
    SwitchMode(doc, [&link] { return link.GoOffline(); });
    if (!WriteItems(view, line, table)) {
        return false;
    }
    SwitchMode(doc, [&link] { return link.GoOnline(); });
    return true;
}

namespace {

// A line's NVM file may hold another stick's backup (a stick moved to another line, a file
// copied by hand); written into this stick it would give it a second stick's IMEI and
// calibration. Refused unless the user asked for it; a message box is no guard, as front ends
// may answer it at once.
bool SameStick(CPellanView& view, int line) {
    CPellanDoc& doc = view.Doc();
    const std::string path = NvRestoreSource(doc, line);
    const std::optional<std::string> held = ImeiInNvmFile(path);
    uint8_t digits[15] = {};
    if (!held || !doc.Link(line).ReadImei(digits)) {
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
        view.m_allowOtherImei.load() != 0) {
        return true;
    }
    const std::string text = std::string(view.Text("The NV file ", "NV文件")) + path +
                             view.Text(" holds the IMEI ", "中的IMEI为") + *held +
                             view.Text(", the stick has the IMEI ", "，终端的IMEI为") + stick +
                             view.Text("; the restore was refused.", "；已拒绝恢复。");
    if (view.Sink().Confirm(text + view.Text(" Restore it anyway?", " 仍要恢复吗？"))) {
        return true;
    }
    view.FinishLineJob(line, text, 3);
    view.SetLineState(line, 3);
    return false;
}

}  // namespace

void RestoreNvJob(CPellanView& view, int line) {
    CPellanDoc& doc = view.Doc();
    const int32_t nvMode = doc.m_nvMode.load();
    std::string failure;
    switch (nvMode) {
        case NV_MODE_NONE:
            view.ShowLineMessage(line, "仅Restore 内环NV", 1);
            failure = "Restore NV fail!";
            break;
        case NV_MODE_RF_NO_IMEI:
        case NV_MODE_RF_AND_IMEI:
            failure = view.Text("Restore NV fail!", "重载NV区参数失败");
            break;
        case NV_MODE_DEFAULT_FILE:
            view.ShowLineMessage(line, "装载缺省NV区", 1);
            failure = "装载缺省NV区失败";
            break;
        default:
            break;  // no restore in an unknown mode
    }
    if (nvMode != NV_MODE_DEFAULT_FILE && !failure.empty() && !SameStick(view, line)) {
        return;
    }
    if (!failure.empty() && !RestoreNvFromFile(view, line, NvRestoreSource(doc, line))) {
        view.FinishLineJob(line, failure, 5);
        view.SetLineState(line, 3);
        return;
    }
    view.FinishLineJob(line, view.Text("Restore NV success", "恢复NV区成功"), 0);
    view.SetLineState(line, 2);
}

bool CheckRestoreNvStart(CPellanView& view, int line) {
    CPellanDoc& doc = view.Doc();
    if (doc.Runtime(line).phoneState.load() != 2) {
        return false;
    }
    if (GetField(doc.Record(line).nvFolder).empty()) {
        view.MessageBox(FormatText(view.Text(kNoNvFolderEn, kNoNvFolderZh), line + 1));
        return false;
    }
    return true;
}

std::string NvRestoreSource(CPellanDoc& doc, int line) {
    switch (doc.m_nvMode.load()) {
        case NV_MODE_NONE:
        case NV_MODE_RF_NO_IMEI:
        case NV_MODE_RF_AND_IMEI:
            return GetField(doc.Record(line).nvmFilePath);
        case NV_MODE_DEFAULT_FILE:
            return GetField(doc.Record(0).defaultNvFile);
        default:
            return {};
    }
}

bool ChooseDefaultNvFile(CPellanDoc& doc, const std::string& path, std::string& error) {
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_regular_file(path, ec)) {
        error = "The default NV file does not exist: " + path;
        return false;
    }
    if (path.size() >= doc.Record(0).defaultNvFile.size()) {
        error = "The default NV file path is too long: " + path;
        return false;
    }
    for (int line = 0; line < kLineCount; ++line) {
        SetField(doc.Record(line).defaultNvFile, path);
    }
    return true;
}

}  // namespace pellan
