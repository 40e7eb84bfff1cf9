#include "nv/nv_backup.h"

#include <filesystem>

#include "nv/nv_texts.h"
#include "nv/nvm_file.h"
#include "nv/nvm_store.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

namespace pellan {
namespace {

constexpr int kReadAttempts = 3;
constexpr uint32_t kReadRetryWaitMs = 100;

// Fills the records of `table` from the stick, in order, until the walk ends. Each item gets up
// to three reads; whatever the last one left (data and status 0, or zero data and the failure
// status) is what the record keeps.
void ReadBackupItems(CPellanView& view, int line, NvmTable& table) {
    CPellanDoc& doc = view.Doc();
    CPhoneLink& link = doc.Link(line);
    const int32_t nvMode = doc.m_nvMode.load();
    JobAccount& account = view.Account(line);
    const size_t walk = NvWalkLength(table, nvMode);
    account.BeginPhase(JobPhase::NV_BACKUP, {}, walk, "items");
    for (size_t i = 0; i < kNvmRecordCount; ++i) {
        view.SetLineProgress(line, 7 + static_cast<int>(13 * i / kNvmRecordCount));
        account.Progress(i);
        NvItemRecord& record = table[i];
        if (NvWalkEndsAt(record.itemId, nvMode)) {
            break;
        }
        for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
            if (attempt > 0) {
                account.Retry(link.m_lastError);
                doc.Clock().SleepMs(kReadRetryWaitMs);
            }
            if (link.ReadNvItem(record.itemId, record.data.data(), record.status)) {
                break;
            }
        }
    }
    account.Progress(walk);
}

}  // namespace

bool BackupNvToFile(CPellanView& view, int line, const std::string& path) {
    NvmTable table = BuildBackupTable();
    ReadBackupItems(view, line, table);

    std::string keptCopy;
    std::string error;
    if (!StoreNvmFile(path, EncodeNvmFile(table), keptCopy, error)) {
        view.Doc().Link(line).m_lastError =
            FormatText(kNvFileWriteFailed, path.c_str(), error.c_str());
        return false;
    }
    if (!keptCopy.empty()) {
        view.ShowLineMessage(
            line,
            FormatText(view.Text(kEarlierBackupKeptEn, kEarlierBackupKeptZh), keptCopy.c_str()), 1);
    }
    return true;
}

void BackupNvJob(CPellanView& view, int line) {
    CPellanDoc& doc = view.Doc();
    CPhoneLink& link = doc.Link(line);
    uint32_t esn = 0;
    link.ReadEsn(esn);  // its answer is not needed

    const LineRecord& record = doc.Record(line);
    if (!CheckNvFolder(view, GetField(record.nvFolder))) {
        view.FinishLineJob(line, view.Text("Can't create NV directory!", kNvFolderJobFailedZh), 5);
        view.SetLineState(line, 3);
        return;
    }
    view.ShowLineMessage(line, view.Text("NV directory create success!", "NV区备份目录建立成功"),
                         1);
    view.ShowLineMessage(line, view.Text("Backup NV...", "现在开始备份NV区"), 1);
    if (!BackupNvToFile(view, line, GetField(record.nvmFilePath))) {
        view.FinishLineJob(line, link.m_lastError, 5);
        return;
    }
    view.FinishLineJob(line, view.Text("Backup NV success", "备份NV区成功"), 1);
    view.SetLineState(line, 2);
    view.SetLineProgress(line, 100);
}

bool CheckNvFolder(CPellanView& view, const std::string& folder) {
    if (CPellanDoc::FolderExists(folder)) {
        return true;
    }
    view.MessageBox(FormatText(view.Text("Can not create directory:%s", "不能创建NV备份目录:%s"),
                               folder.c_str()));
    return false;
}

bool CheckBackupNvStart(CPellanView& view, int line) {
    CPellanDoc& doc = view.Doc();
    if (doc.Runtime(line).phoneState.load() != 2) {
        return false;
    }
    const LineRecord& record = doc.Record(line);
    if (GetField(record.nvFolder).empty()) {
        view.MessageBox(FormatText(view.Text(kNoNvFolderEn, kNoNvFolderZh), line + 1));
        return false;
    }
    if (!NvmFileCanBeCreated(GetField(record.nvmFilePath))) {
        view.MessageBox(FormatText(view.Text("Line%d can't create or open NV file!",
                                             "线路%d建立用于存放NV区数据的文件失败！"),
                                   line + 1));
        return false;
    }
    return true;
}

std::string NvmFilePath(const std::string& nvFolder, int line) {
    return nvFolder + "Channel" + std::to_string(line + 1) + ".nvm";
}

bool ChooseNvFolder(CPellanDoc& doc, const std::string& folder, std::string& error) {
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
    const LineRecord& sample = doc.Record(0);
    if (nvFolder.size() >= sample.nvFolder.size() ||
        NvmFilePath(nvFolder, kLineCount - 1).size() >= sample.nvmFilePath.size()) {
        error = "The NV folder path is too long: " + folder;
        return false;
    }
    for (int line = 0; line < kLineCount; ++line) {
        LineRecord& record = doc.Record(line);
        SetField(record.nvFolder, nvFolder);
        SetField(record.nvmFilePath, NvmFilePath(nvFolder, line));
    }
    return true;
}

}  // namespace pellan
