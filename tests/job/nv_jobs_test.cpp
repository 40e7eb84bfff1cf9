// The Backup NV and Restore NV jobs and the NVM file store against the simulated stick: what is
// read and written in which NvMode, the stick's refusals and silences, the texts, and the store
// that never loses the only copy of a backup.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "job/job_bench.h"
#include "nv/nv_backup.h"
#include "nv/nv_restore.h"
#include "nv/nvm_file.h"
#include "nv/nvm_store.h"
#include "support/system_files.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

const std::vector<uint16_t> kAllIds(NvBackupList.begin(), NvBackupList.end());

std::vector<uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// A backup as the backup writes it, every listed item filled with `fill`.
std::vector<uint8_t> BackupFile(uint8_t fill, void (*edit)(NvmTable&) = nullptr) {
    NvmTable table = BuildBackupTable();
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        table[i].data.fill(fill);
    }
    if (edit) {
        edit(table);
    }
    return EncodeNvmFile(table);
}

// Line 0's DIAG port is the simulated stick's, which counts as found.
struct NvBench : JobBench {
    explicit NvBench(sim::FaultPlan faults = {}) {
        sim::StickOptions options;
        options.faults = std::move(faults);
        Plug(options);
        EXPECT_TRUE(doc->Link(0).m_port.Open(options.diagPort, 115200, 8, 1));
        doc->Runtime(0).phoneState = 2;
    }
    fs::path Nvm() const { return fs::path(NvFolder()) / "Channel1.nvm"; }
    bool Restore(int32_t mode, const std::vector<uint8_t>& file) {
        WriteBytes(Nvm(), file);
        doc->m_nvMode = mode;
        return RestoreNvFromFile(view->Context(0), Nvm().string());
    }
    std::vector<uint16_t> WrittenIds() const {
        std::vector<uint16_t> ids;
        for (const sim::NvWriteRecord& w : stick->NvWrites()) {
            ids.push_back(w.id);
        }
        return ids;
    }
    NvmTable Backup() {
        EXPECT_TRUE(BackupNvToFile(view->Context(0), Nvm().string()));
        NvmTable table{};
        EXPECT_EQ(DecodeNvmFile(ReadBytes(Nvm()), table), NvmFileCheck::OK);
        return table;
    }
    size_t Sent(const PacketMatch& match) const {
        const std::vector<Packet> written = serial.Written();
        return static_cast<size_t>(std::count_if(written.begin(), written.end(), match));
    }
};

TEST(NvJobs, BackupHoldsWhatTheStickAnsweredForEachItem) {
    NvBench bench;
    NvmTable table = bench.Backup();  // what it holds: checked end to end by cli_nv.sh
    const std::vector<int> progress = bench.sink.Progress();  // one per record, marker included
    ASSERT_EQ(progress.size(), 531u);
    for (size_t i = 0; i < progress.size(); ++i) {
        ASSERT_EQ(progress[i], 7 + static_cast<int>(13 * i / 850)) << i;
    }
    EXPECT_EQ(bench.stick->CountOf("WriteNvItem"), 0u);

    // An inactive item keeps its status after three reads; silence once is read again.
    sim::FaultPlan faults;
    faults.nvInactive = {4051};
    bench.stick->SetFaults(faults);
    bench.serial.Withhold(NvReadRequest(550), {1});
    table = bench.Backup();
    EXPECT_EQ(table[145].itemId, 4051);
    EXPECT_EQ(table[145].status, 5);
    EXPECT_EQ(bench.Sent(NvReadRequest(4051)), 1u + 3u);
    EXPECT_EQ(table[528].data, *bench.stick->NvItem(550));
    EXPECT_EQ(table[528].status, 0);
    EXPECT_EQ(bench.Sent(NvReadRequest(550)), 1u + 2u);

    // A stick that answers nothing still gives a whole file, every record with status 0xFFFF.
    bench.serial.Withhold(CodeRequest(0x26));
    table = bench.Backup();
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        ASSERT_EQ(table[i].status, 0xFFFF) << i;
        ASSERT_EQ(table[i].data, sim::NvData{}) << i;
    }
}

TEST(NvJobs, BackupJobTextsAndItsFailures) {
    NvBench bench;
    for (int32_t language : {0, 1}) {
        bench.doc->m_language = language;
        BackupNvJob(bench.view->Context(0));
        EXPECT_EQ(bench.LastMessage(), language ? "Backup NV success" : "备份NV区成功");
        EXPECT_EQ(bench.sink.States().back(), 2);
        EXPECT_EQ(bench.sink.Progress().back(), 100);
    }
    EXPECT_EQ(bench.stick->CountOf("ResetPhone"), 0u) << "a backup leaves the stick running";
    EXPECT_TRUE(bench.sink.Boxes().empty());

    // A full disk names the error, keeps the earlier backup (the only copy is never lost) and
    // leaves no .partial file behind.
    const std::vector<uint8_t> earlier(kNvmFileSize, 0x42);
    WriteBytes(bench.Nvm(), earlier);
    {
        WriteRoomLimit room(64 * 1024);  // less than a backup, more than the job's log
        if (room.Available()) {
            BackupNvJob(bench.view->Context(0));
            EXPECT_EQ(bench.LastMessage(), "Cannot write the NV backup file " +
                                               bench.Nvm().string() + ", Since " + NoRoomText());
            EXPECT_EQ(bench.sink.States().back(), 3);
            EXPECT_EQ(ReadBytes(bench.Nvm()), earlier);
            EXPECT_FALSE(fs::exists(bench.Nvm().string() + ".partial"));
        }
    }

    const size_t reads = bench.stick->CountOf("ReadNvItem");
    std::string error;
    ASSERT_TRUE(ChooseNvFolder(bench.doc->Records(), (bench.dir.Path() / "gone").string(), error));
    BackupNvJob(bench.view->Context(0));
    EXPECT_EQ(bench.sink.Boxes(),
              std::vector<std::string>{"Can not create directory:" +
                                       (bench.dir.Path() / "gone" / "").string()});
    EXPECT_EQ(bench.stick->CountOf("ReadNvItem"), reads);
}

TEST(NvJobs, StartChecksAndChosenFolders) {
    NvBench bench;
    CPellanDoc& doc = *bench.doc;
    const std::vector<uint8_t> earlier(kNvmFileSize, 0x42);
    WriteBytes(bench.Nvm(), earlier);
    EXPECT_TRUE(CheckBackupNvStart(bench.view->Context(0)));
    EXPECT_TRUE(CheckRestoreNvStart(bench.view->Context(0)));
    EXPECT_EQ(ReadBytes(bench.Nvm()), earlier) << "the check leaves a backup whole";
    fs::remove(bench.Nvm());
    EXPECT_TRUE(CheckBackupNvStart(bench.view->Context(0)));
    EXPECT_FALSE(fs::exists(bench.Nvm())) << "the check leaves no empty file behind";
    doc.Runtime(0).phoneState = 1;
    EXPECT_FALSE(CheckBackupNvStart(bench.view->Context(0)));
    EXPECT_FALSE(CheckRestoreNvStart(bench.view->Context(0)));
    doc.Runtime(0).phoneState = 2;

    std::string error;
    ASSERT_TRUE(ChooseNvFolder(doc.Records(), (bench.dir.Path() / "gone").string(), error));
    EXPECT_FALSE(CheckBackupNvStart(bench.view->Context(0)));
    SetField(doc.Record(0).nvFolder, "");
    SetField(doc.Record(0).nvmFilePath, "Channel1.nvm");
    EXPECT_FALSE(CheckRestoreNvStart(bench.view->Context(0)));
    doc.m_language = 0;
    EXPECT_FALSE(CheckBackupNvStart(bench.view->Context(0)));
    EXPECT_EQ(bench.sink.Boxes(), (std::vector<std::string>{"Line1 can't create or open NV file!",
                                                            "Line1 No NV directory!",
                                                            "线路1上没有指定好NV区备份的目录名"}));

    // Folders end in the system's separator; every line takes the folder, or none does.
    const std::string nv = (fs::path("/d/nv") / "").string();
    ASSERT_TRUE(ChooseNvFolder(doc.Records(), "/d/nv", error)) << error;
    EXPECT_EQ(GetField(doc.Record(2).nvmFilePath), nv + "Channel3.nvm");
    EXPECT_FALSE(ChooseNvFolder(doc.Records(), "", error));
    // 250 characters with the separator fit the folder field but not the file path behind it.
    EXPECT_FALSE(ChooseNvFolder(doc.Records(), "/" + std::string(248, 'x'), error));
    EXPECT_NE(error.find("too long"), std::string::npos);
    EXPECT_EQ(GetField(doc.Record(7).nvmFilePath), nv + "Channel8.nvm");
    EXPECT_TRUE(ChooseNvFolder(doc.Records(), "/" + std::string(240, 'x'), error));

    // The default NV file must exist and be a file; then every line takes it.
    EXPECT_FALSE(
        ChooseDefaultNvFile(doc.Records(), (bench.dir.Path() / "none.nvm").string(), error));
    EXPECT_FALSE(ChooseDefaultNvFile(doc.Records(), bench.dir.Path().string(), error));
    EXPECT_EQ(GetField(doc.Record(4).defaultNvFile), "");
    const fs::path file = bench.dir.Path() / "factory.nvm";
    WriteBytes(file, BackupFile(1));
    ASSERT_TRUE(ChooseDefaultNvFile(doc.Records(), file.string(), error)) << error;
    EXPECT_EQ(GetField(doc.Record(kLineCount - 1).defaultNvFile), file.string());
}

TEST(NvJobs, RestoreWritesTheItemsOfTheModeBetweenOfflineAndOnline) {
    std::vector<uint16_t> withMarkerAt3 = kAllIds;
    withMarkerAt3[3] = kNvInnerLoopMarker;
    std::vector<uint16_t> withoutIdentity;
    std::copy_if(kAllIds.begin(), kAllIds.end(), std::back_inserter(withoutIdentity),
                 [](uint16_t id) { return id != kNvImeiItem && id != kNvSecondIdentityItem; });
    const struct {
        int32_t mode;
        bool innerLoopMarkerAt3;
        std::vector<uint16_t> written;  // each takes a progress step, the others none
    } rows[] = {{NV_MODE_NONE, true, {5479, 5065, 3969}},
                {NV_MODE_RF_AND_IMEI, true, withMarkerAt3},
                {NV_MODE_RF_NO_IMEI, false, withoutIdentity},
                {NV_MODE_DEFAULT_FILE, false, kAllIds}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode);
        NvBench bench;
        ASSERT_TRUE(bench.Restore(
            row.mode, row.innerLoopMarkerAt3
                          ? BackupFile(0xD5, [](NvmTable& t) { t[3].itemId = kNvInnerLoopMarker; })
                          : BackupFile(0xD5)));
        EXPECT_EQ(bench.WrittenIds(), row.written);
        for (const sim::NvWriteRecord& w : bench.stick->NvWrites()) {
            ASSERT_TRUE(std::all_of(w.data.begin(), w.data.end(), [](uint8_t b) {
                return b == 0xD5;
            })) << w.id;
        }
        const std::vector<int> progress = bench.sink.Progress();
        ASSERT_EQ(progress.size(), row.written.size());
        for (size_t i = 0; i < progress.size() && row.written.size() == kNvBackupListSize; ++i) {
            ASSERT_EQ(progress[i], 83 + static_cast<int>(12 * i / 850)) << i;
        }
        // One download check (the link may send its frame more than once), offline, online.
        EXPECT_GE(bench.stick->CountOf("DownloadCheck"), 1u);
        EXPECT_LE(bench.stick->CountOf("DownloadCheck"), 3u);
        EXPECT_EQ(bench.stick->CountOf("GoOffline"), 1u);
        EXPECT_EQ(bench.stick->CountOf("GoOnline"), 1u);
    }
}

// Records stored with a failure status are left out but move the bar; a stick that ignores the
// download check and the mode changes gets the items all the same.
TEST(NvJobs, StoredFailuresIgnoredModeChangesAndTheInnerLoopBarTopsOutAtRecord34) {
    NvBench bench;
    bench.serial.Withhold(
        [](const Packet& b) { return b.size() >= 3 && b[0] == 0x4B && b[2] == 5; });
    bench.serial.Withhold(CodeRequest(0x29));
    ASSERT_TRUE(bench.Restore(NV_MODE_NONE, BackupFile(1, [](NvmTable& t) {
                                  t[0].status = kNvStatusNoAnswer;
                                  t[1].status = 5;
                                  t[2].status = 4;
                              })));
    EXPECT_EQ(bench.WrittenIds().size(), kNvBackupListSize - 3);
    const std::vector<int> progress = bench.sink.Progress();
    ASSERT_EQ(progress.size(), kNvBackupListSize);
    for (size_t i = 0; i < progress.size(); ++i) {
        ASSERT_EQ(progress[i], std::min(3 * static_cast<int>(i), 100)) << i;
    }
    // The check is called twice with three frame attempts each; each mode change thrice.
    EXPECT_EQ(bench.stick->CountOf("DownloadCheck"), 6u);
    EXPECT_EQ(bench.stick->CountOf("GoOffline"), 3u);
    EXPECT_EQ(bench.stick->CountOf("GoOnline"), 3u);
}

TEST(NvJobs, RefusedAndUnansweredWrites) {
    const PacketMatch write22 = [](const Packet& b) {
        return b.size() >= 3 && b[0] == 0x27 && b[1] == 22 && b[2] == 0;
    };
    const struct {
        const char* name;
        uint16_t status;           // the stick's answer to every write of item 22 (0: accepted)
        std::set<int> unanswered;  // writes of item 22 the stick does not answer
        size_t attempts;           // writes of item 22
        bool result;
    } rows[] = {{"ReadOnly", 7, {}, 1, true},
                {"NoAnswerOnceThenWritten", 0, {1}, 2, true},
                {"FailedTwice", 4, {}, 2, false},
                {"NoAnswerTwice", 0, {1, 2}, 2, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        sim::FaultPlan faults;
        faults.nvWriteStatus[22] = row.status;
        NvBench bench(faults);
        if (!row.unanswered.empty()) {
            bench.serial.Withhold(write22, row.unanswered);
        }
        // Item 22 is the last of the list; moved to the front, a refusal keeps the rest unwritten.
        EXPECT_EQ(bench.Restore(NV_MODE_RF_AND_IMEI,
                                BackupFile(1, [](NvmTable& t) { std::swap(t[0], t[529]); })),
                  row.result);
        const std::vector<uint16_t> ids = bench.WrittenIds();
        EXPECT_EQ(static_cast<size_t>(std::count(ids.begin(), ids.end(), 22)), row.attempts);
        if (row.result) {
            EXPECT_EQ(ids.size(), kNvBackupListSize - 1 + row.attempts);
            EXPECT_EQ(bench.stick->CountOf("GoOnline"), 1u);
            // A skipped item takes no progress step.
            EXPECT_EQ(bench.sink.Progress().size(), kNvBackupListSize - (row.status ? 1 : 0));
        } else {
            EXPECT_EQ(ids.size(), row.attempts) << "nothing after the refused item is written";
            EXPECT_EQ(bench.stick->CountOf("GoOnline"), 0u) << "the stick stays offline";
            EXPECT_TRUE(bench.sink.Progress().empty());
        }
    }
}

TEST(NvJobs, ABadFileIsRefusedBeforeTheStickChangesAndStaysAsItWas) {
    constexpr const char* kSizeBox =
        "Line 1 failed: NVM file for backup NV doesn't exist or destroyed";
    const struct {
        const char* name;
        long size;  // -1: no file
        int32_t language;
        const char* box;  // nullptr: none
    } rows[] = {
        {"NoEndMarker", 115600, 1, kSizeBox},
        {"ShortInChinese", 10, 0, "在线路1上被选择用来还原NV区的NVM文件不存在或文件尺寸不对"},
        {"MissingSaysNothing", -1, 1, nullptr}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        NvBench bench;
        // The end marker 9999 becomes item 0: only the size tells the other rows apart.
        std::vector<uint8_t> bytes = BackupFile(1, [](NvmTable& t) { t[530].itemId = 0; });
        bytes.resize(static_cast<size_t>(std::max(row.size, 0L)), 0);
        if (row.size >= 0) {
            WriteBytes(bench.Nvm(), bytes);
        }
        bench.doc->m_language = row.language;
        bench.doc->m_nvMode = NV_MODE_RF_AND_IMEI;
        EXPECT_FALSE(RestoreNvFromFile(bench.view->Context(0), bench.Nvm().string()));
        EXPECT_EQ(bench.sink.Boxes(),
                  row.box ? std::vector<std::string>{row.box} : std::vector<std::string>{});
        EXPECT_EQ(bench.stick->CountOf("WriteNvItem"), 0u);
        EXPECT_EQ(bench.stick->CountOf("GoOffline"), 0u);
        if (row.size >= 0) {
            EXPECT_EQ(ReadBytes(bench.Nvm()), bytes);
        }
    }
}

TEST(NvJobs, RestoreJobTexts) {
    NvBench bench;
    WriteBytes(bench.Nvm(), BackupFile(1));
    bench.doc->m_nvMode = NV_MODE_RF_AND_IMEI;
    bench.view->m_allowOtherImei = 1;  // the file is made up, not this stick's backup
    RestoreNvJob(bench.view->Context(0));
    EXPECT_EQ(bench.LastMessage(), "Restore NV success");
    EXPECT_EQ(bench.sink.States().back(), 2);
    EXPECT_EQ(bench.stick->CountOf("ResetPhone"), 1u);
    bench.doc->m_nvMode = 7;  // an unknown mode restores nothing
    RestoreNvJob(bench.view->Context(0));
    EXPECT_EQ(bench.WrittenIds().size(), kNvBackupListSize);
    EXPECT_EQ(bench.LastMessage(), "Restore NV success");

    const struct {
        int32_t mode;
        int32_t language;
        const char* before;  // the line before the failure, or nullptr
        const char* failure;
    } rows[] = {{0, 1, "仅Restore 内环NV", "Restore NV fail!"},
                {1, 1, nullptr, "Restore NV fail!"},
                {2, 0, nullptr, "重载NV区参数失败"},
                {3, 1, "装载缺省NV区", "装载缺省NV区失败"}};
    // Neither the line's NVM file nor a default NV file exists.
    fs::remove(bench.Nvm());
    SetField(bench.doc->Record(0).defaultNvFile, (bench.dir.Path() / "default.nvm").string());
    for (const auto& row : rows) {
        bench.doc->m_language = row.language;
        bench.doc->m_nvMode = row.mode;
        const size_t before = bench.sink.Messages().size();
        RestoreNvJob(bench.view->Context(0));
        std::vector<std::string> expected;
        if (row.before != nullptr) {
            expected.push_back(row.before);
        }
        expected.push_back(row.failure);
        const std::vector<std::string> messages = bench.sink.Messages();
        EXPECT_EQ(
            std::vector<std::string>(messages.begin() + static_cast<long>(before), messages.end()),
            expected);
        EXPECT_EQ(bench.sink.States().back(), 3);
    }
    EXPECT_EQ(bench.stick->CountOf("ResetPhone"), 1u) << "a failed restore resets nothing";
}

// The store never loses the only copy of a backup.
TEST(NvmStore, KeptCopiesLinksAndFoldersInTheWay) {
    TempDir dir;
    const fs::path target = dir.Path() / "Channel1.nvm";
    std::string kept;
    std::string error;
    auto store = [&](uint8_t fill) { return StoreNvmFile(target, BackupFile(fill), kept, error); };
    ASSERT_TRUE(store(1)) << error;
    ASSERT_TRUE(store(2)) << error;
    const std::string first = kept;
    // A third within the same second gets a name of its own: no copy is ever overwritten.
    ASSERT_TRUE(store(3)) << error;
    EXPECT_NE(kept, first);
    EXPECT_EQ(ReadBytes(first), BackupFile(1));
    EXPECT_EQ(ReadBytes(kept), BackupFile(2));
    EXPECT_EQ(ReadBytes(target), BackupFile(3));

    // A folder with something in it at the temporary name cannot be cleared away.
    fs::create_directories(dir.Path() / "Channel1.nvm.partial" / "inside");
    EXPECT_FALSE(store(8));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ReadBytes(target), BackupFile(3));
    fs::remove_all(dir.Path() / "Channel1.nvm.partial");

    // A link planted at the temporary name (an NV folder others can write) is replaced like any
    // leftover, not written through.
    const fs::path victim = dir.Path() / "victim.txt";
    WriteBytes(victim, {'k'});
    std::error_code ec;
    fs::create_symlink(victim, dir.Path() / "Channel1.nvm.partial", ec);
    if (!ec) {
        ASSERT_TRUE(store(8)) << error;
        EXPECT_EQ(ReadBytes(victim), std::vector<uint8_t>{'k'});
        EXPECT_EQ(ReadBytes(target), BackupFile(8));
        EXPECT_FALSE(fs::is_symlink(target));
        EXPECT_FALSE(fs::exists(dir.Path() / "Channel1.nvm.partial"));
    }

    const fs::path missing = dir.Path() / "gone" / "Channel1.nvm";
    EXPECT_FALSE(StoreNvmFile(missing, BackupFile(1), kept, error));
    EXPECT_EQ(error, MissingFolderText());
    EXPECT_FALSE(fs::exists(dir.Path() / "gone"));
    EXPECT_FALSE(NvmFileCanBeCreated(missing));

    // A folder in place of the backup is neither touched nor replaced.
    const fs::path folder = dir.Path() / "Channel2.nvm";
    fs::create_directories(folder / "inside");
    EXPECT_FALSE(StoreNvmFile(folder, BackupFile(1), kept, error));
    EXPECT_NE(error.find(folder.string()), std::string::npos) << error;
    EXPECT_TRUE(fs::is_directory(folder / "inside"));
}

}  // namespace
}  // namespace pellan::test
