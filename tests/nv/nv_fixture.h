#pragma once

#include <gtest/gtest.h>

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
#include "ui/view_sink.h"

namespace pellan::test {

// Records what the view shows: message boxes, every progress value per line, state pictures.
class RecordingSink final : public ViewSink {
  public:
    void MessageBox(const std::string& text) override;
    void ControlProgress(int controlId, int position) override;
    void LineState(int line, int state) override;

    std::vector<std::string> Boxes() const;
    std::vector<int> Progress(int line) const;
    std::vector<int> States(int line) const;
    void ClearProgress();

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_boxes;
    std::map<int, std::vector<int>> m_progress;
    std::map<int, std::vector<int>> m_states;
};

// A stick that knows only what the NV jobs ask of it, on a scripted port: NV reads and writes,
// mode changes, the ESN and the download check. Every command is logged in order.
class FakeNvStick {
  public:
    struct Write {
        uint16_t id;
        std::array<uint8_t, kNvItemDataSize> data;
    };

    explicit FakeNvStick(FakePort& port);

    // Item contents; an item without contents reads as status 5.
    void SetItem(uint16_t id, const std::array<uint8_t, kNvItemDataSize>& data);
    std::map<uint16_t, std::array<uint8_t, kNvItemDataSize>> Items() const;
    // The next reads of `id` answer these statuses in turn (0 = the contents).
    void ScriptReads(uint16_t id, std::deque<uint16_t> statuses);
    // The next writes of `id` answer these statuses in turn; later writes succeed.
    void ScriptWrites(uint16_t id, std::deque<uint16_t> statuses);
    // Every command goes unanswered.
    void SetSilent(bool silent);
    // Commands of this log name ("GoOffline", "DownloadCheck"...) go unanswered.
    void Ignore(const std::string& name);

    // "ReadNvItem 550", "WriteNvItem 22", "GoOffline", "GoOnline", "ResetPhone", "ReadEsn",
    // "DownloadCheck".
    std::vector<std::string> Log() const;
    size_t Count(const std::string& entry) const;
    std::vector<Write> Writes() const;
    std::vector<uint16_t> Reads() const;
    // The 128-byte block of the last download check.
    std::vector<uint8_t> CheckedBlock() const;

  private:
    Bytes Respond(const Bytes& written);

    mutable std::mutex m_mutex;
    std::map<uint16_t, std::array<uint8_t, kNvItemDataSize>> m_items;
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
std::array<uint8_t, kNvItemDataSize> ItemPattern(uint16_t id);

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

    // Every item of the backup list with its pattern.
    void FillStick();
    std::string NvFolder() const;
    std::string NvmPath() const;
    std::vector<std::string> LogLines() const;  // the line log without stamps

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
