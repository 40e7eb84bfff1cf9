#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "nv/nvm_file.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "support/fake_serial.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan::test {

using NvData = std::array<uint8_t, kNvItemDataSize>;

// A stick that knows only what the NV jobs ask of it, on a scripted port, where each answer can be
// chosen per attempt (the simulator's faults are fixed per item). Every command is logged in order:
// "ReadNvItem 550", "WriteNvItem 22", "GoOffline", "GoOnline", "ResetPhone", "ReadEsn",
// "DownloadCheck".
class FakeNvStick {
    template <class F>
    auto Locked(F f) const {
        std::lock_guard lock(m_mutex);
        return f();
    }

  public:
    struct Write {
        uint16_t id;
        NvData data;
    };

    explicit FakeNvStick(FakePort& port);

    // An item without contents reads as status 5.
    void SetItem(uint16_t id, const NvData& data) {
        Locked([&] { m_items[id] = data; });
    }
    // The next reads (writes) of `id` answer these statuses in turn (0 = success).
    void ScriptReads(uint16_t id, std::deque<uint16_t> s) {
        Locked([&] { m_readScript[id] = s; });
    }
    void ScriptWrites(uint16_t id, std::deque<uint16_t> s) {
        Locked([&] { m_writeScript[id] = s; });
    }
    void SetSilent(bool silent) {
        Locked([&] { m_silent = silent; });
    }
    // Commands of this log name go unanswered.
    void Ignore(const std::string& name) {
        Locked([&] { m_ignored.insert(name); });
    }

    std::vector<std::string> Log() const {
        return Locked([&] { return m_log; });
    }
    size_t Count(const std::string& entry) const {
        return Locked([&] { return size_t(std::count(m_log.begin(), m_log.end(), entry)); });
    }
    std::vector<Write> Writes() const {
        return Locked([&] { return m_writes; });
    }
    std::vector<uint16_t> WrittenIds() const;
    std::vector<uint16_t> Reads() const {
        return Locked([&] { return m_reads; });
    }
    // The block of the last download check.
    std::vector<uint8_t> CheckedBlock() const {
        return Locked([&] { return m_checkedBlock; });
    }

  private:
    Bytes Respond(const Bytes& written);

    mutable std::mutex m_mutex;
    std::map<uint16_t, NvData> m_items;
    std::map<uint16_t, std::deque<uint16_t>> m_readScript;
    std::map<uint16_t, std::deque<uint16_t>> m_writeScript;
    bool m_silent = false;
    std::set<std::string> m_ignored;
    std::vector<std::string> m_log;
    std::vector<Write> m_writes;
    std::vector<uint16_t> m_reads;
    std::vector<uint8_t> m_checkedBlock;
};

// 128 bytes that differ for every item id.
NvData ItemPattern(uint16_t id);
// A backup as the backup writes it: every listed item with its pattern and status 0.
NvmTable BackupTable();

// A document and view on a virtual clock; line 0's DIAG port is the fake stick's, the line's
// stick counts as found and its NV folder is a fresh temporary folder.
class NvJobFixture : public ::testing::Test {
  protected:
    static constexpr int kLine = 0;
    static constexpr int kPortNumber = 7;

    NvJobFixture();
    void SetUp() override;

    // The location data record in the line's amss.mbn.
    static std::vector<uint8_t> LocationRecord();

    void FillStick();  // every item of the backup list with its pattern
    std::string NvFolder() const;
    std::string NvmPath() const;
    std::vector<std::string> LogLines() const;  // the line log without stamps
    std::vector<int> Progress() const;
    int State() const { return sink.State(kLine).value_or(-1); }

    TempDir dir;
    platform::VirtualClock clock;
    FakeSerialProvider serial{clock};
    platform::Env env;
    FakeNvStick stick{serial.Port(kPortNumber)};
    RecordingSink sink;
    std::unique_ptr<CPellanDoc> doc;
    std::unique_ptr<CPellanView> view;
};

// A line's log, one entry per line, stamps removed.
std::vector<std::string> LogLinesOf(const CPellanView& view, int line);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace pellan::test
