#include "nv/nv_backup.h"

#include <filesystem>

#include "diag/line_context.h"
#include "nv/nv_texts.h"
#include "nv/nvm_file.h"
#include "nv/nvm_store.h"
#include "platform/paths.h"

namespace pellan {
namespace {

constexpr int kReadAttempts = 3;
constexpr uint32_t kReadRetryWaitMs = 100;

// Fills the records of `table` from the stick, in order, until the walk ends. Each item gets up
// to three reads; whatever the last one left (data and status 0, or zero data and the failure
// status) is what the record keeps.
void ReadBackupItems(LineContext& line, NvmTable& table) {
    CPhoneLink& link = line.Link();
    const int32_t nvMode = line.options.nvMode.load();
    JobAccount& account = line.account;
    const size_t walk = NvWalkLength(table, nvMode);
    account.BeginPhase(JobPhase::NV_BACKUP, {}, walk, "items");
    for (size_t i = 0; i < kNvmRecordCount; ++i) {
        line.report.SetProgress(7 + static_cast<int>(13 * i / kNvmRecordCount));
        account.Progress(i);
        NvItemRecord& record = table[i];
        if (NvWalkEndsAt(record.itemId, nvMode)) {
            break;
        }
        for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
            if (attempt > 0) {
                account.Retry(link.m_lastError);
                line.clock.SleepMs(kReadRetryWaitMs);
            }
            if (link.ReadNvItem(record.itemId, record.data.data(), record.status)) {
                break;
            }
        }
    }
    account.Progress(walk);
}

}  // namespace

bool BackupNvToFile(LineContext& line, const std::string& path) {
    NvmTable table = BuildBackupTable();
    ReadBackupItems(line, table);

    std::string keptCopy;
    std::string error;
    if (!StoreNvmFile(path, EncodeNvmFile(table), keptCopy, error)) {
        line.Link().m_lastError = FormatText(kNvFileWriteFailed, path.c_str(), error.c_str());
        return false;
    }
    if (!keptCopy.empty()) {
        line.report.ShowMessage(
            FormatText(line.Text(kEarlierBackupKeptEn, kEarlierBackupKeptZh), keptCopy.c_str()), 1);
    }
    return true;
}

void BackupNvJob(LineContext& line) {
    CPhoneLink& link = line.Link();
    uint32_t esn = 0;
    link.ReadEsn(esn);  // its answer is not needed

    const LineRecord& record = line.record;
    if (!CheckNvFolder(line, GetField(record.nvFolder))) {
        line.report.FinishJob(line.Text("Can't create NV directory!", kNvFolderJobFailedZh), 5);
        line.report.SetState(3);
        return;
    }
    line.report.ShowMessage(line.Text("NV directory create success!", "NV区备份目录建立成功"), 1);
    line.report.ShowMessage(line.Text("Backup NV...", "现在开始备份NV区"), 1);
    if (!BackupNvToFile(line, GetField(record.nvmFilePath))) {
        line.report.FinishJob(link.m_lastError, 5);
        return;
    }
    line.report.FinishJob(line.Text("Backup NV success", "备份NV区成功"), 1);
    line.report.SetState(2);
    line.report.SetProgress(100);
}

bool CheckNvFolder(LineContext& line, const std::string& folder) {
    if (platform::FolderExists(folder)) {
        return true;
    }
    line.report.MessageBox(FormatText(
        line.Text("Can not create directory:%s", "不能创建NV备份目录:%s"), folder.c_str()));
    return false;
}

bool CheckBackupNvStart(LineContext& line) {
    if (line.runtime.phoneState.load() != 2) {
        return false;
    }
    const LineRecord& record = line.record;
    if (GetField(record.nvFolder).empty()) {
        line.report.MessageBox(FormatText(line.Text(kNoNvFolderEn, kNoNvFolderZh), line.line + 1));
        return false;
    }
    if (!NvmFileCanBeCreated(GetField(record.nvmFilePath))) {
        line.report.MessageBox(FormatText(line.Text("Line%d can't create or open NV file!",
                                                    "线路%d建立用于存放NV区数据的文件失败！"),
                                          line.line + 1));
        return false;
    }
    return true;
}

std::string NvmFilePath(const std::string& nvFolder, int line) {
    return nvFolder + "Channel" + std::to_string(line + 1) + ".nvm";
}

bool ChooseNvFolder(std::array<LineRecord, kLineCount>& records, const std::string& folder,
                    std::string& error) {
    if (folder.empty()) {
        error = "No NV folder was chosen";
        return false;
    }
    std::string nvFolder = folder;
    const char separator = static_cast<char>(std::filesystem::path::preferred_separator);
    if (nvFolder.back() != separator) {
        nvFolder += separator;
    }
    // A path cut to fit its field would name another file; refuse instead.
    const LineRecord& sample = records[0];
    if (nvFolder.size() >= sample.nvFolder.size() ||
        NvmFilePath(nvFolder, kLineCount - 1).size() >= sample.nvmFilePath.size()) {
        error = "The NV folder path is too long: " + folder;
        return false;
    }
    for (int line = 0; line < kLineCount; ++line) {
        LineRecord& record = records[static_cast<size_t>(line)];
        SetField(record.nvFolder, nvFolder);
        SetField(record.nvmFilePath, NvmFilePath(nvFolder, line));
    }
    return true;
}

}  // namespace pellan
