// Eight lines polling and two jobs running at once against the in-process simulator: the
// program's threads (one polling loop per line, a job thread per running line) share the document,
// its lock, the view and the sink. Run under ThreadSanitizer by scripts/tsan.sh; in the ordinary
// build it checks that the jobs finish with their backups while the other lines keep polling.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "firmware/firmware_set.h"
#include "firmware_gen.h"
#include "line/standard_jobs.h"
#include "nv/nv_backup.h"
#include "nv/nvm_file.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/resources.h"
#include "sim/sim_machine.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/view_sink.h"

namespace pellan::test {
namespace {

// Collects what every line shows; called from all the program's threads.
class CountingSink final : public ViewSink {
  public:
    void LineLogAppended(int line, const std::string&) override {
        std::lock_guard lock(m_mutex);
        ++m_logLines[line];
    }
    void LineState(int line, int state) override {
        std::lock_guard lock(m_mutex);
        m_states[line].push_back(state);
    }
    void ControlText(int, const std::string&) override { m_texts.fetch_add(1); }
    void MessageBox(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_boxes += text + "\n";
    }
    std::string Boxes() const {
        std::lock_guard lock(m_mutex);
        return m_boxes;
    }

    std::vector<int> States(int line) const {
        std::lock_guard lock(m_mutex);
        const auto it = m_states.find(line);
        return it == m_states.end() ? std::vector<int>{} : it->second;
    }
    int LogLines(int line) const {
        std::lock_guard lock(m_mutex);
        const auto it = m_logLines.find(line);
        return it == m_logLines.end() ? 0 : it->second;
    }

  private:
    mutable std::mutex m_mutex;
    std::map<int, int> m_logLines;
    std::map<int, std::vector<int>> m_states;
    std::atomic<int> m_texts{0};
    std::string m_boxes;
};

// Waits for what the program's threads do, polling from the test's own thread.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::seconds limit = std::chrono::seconds(120)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(MultiLine, EightLinesPollWhileTwoLinesBackUpTheirSticks) {
    TempDir dir;
    // Real time with the fixed waits shortened: on a virtual clock every sleeping thread moves
    // the shared time, so eight polling loops would run the other threads' reply time-outs out
    // before the stick could answer.
    platform::SystemClock realClock;
    platform::FastClock clock{realClock};
    sim::SimMachine machine{clock};
    sim::SimSerialProvider serial{machine};
    sim::SimRegistry registry{machine};
    platform::Env env;
    env.clock = &clock;
    env.serial = &serial;
    env.registry = &registry;
    env.deviceRoot = dir.Path() / "root";
    std::filesystem::create_directories(env.deviceRoot);
    std::filesystem::create_directories(dir.Path() / "program");
    std::filesystem::create_directories(dir.Path() / "nv");

    sim::StickOptions first;
    first.serial = "0001";
    first.imei = "358812045678903";
    auto stickA = machine.AddStick(first);
    sim::StickOptions second;
    second.serial = "0002";
    second.imei = "358812045678911";
    second.diagPort = 15;
    second.atPort = 16;
    auto stickB = machine.AddStick(second);

    // The firmware set the program carries, as the installed program would have it embedded.
    const std::vector<fwgen::ImageFile> images = fwgen::MakeFirmwareSet(fwgen::SetSize::Small);
    std::vector<platform::ResourceEntry> entries;
    for (const fwgen::ImageFile& image : images) {
        entries.push_back({image.resourceId, image.bytes.data(), image.bytes.size()});
    }
    platform::ResourceTable table;
    table.entries = entries;
    struct Override {
        const platform::ResourceTable* previous;
        ~Override() { platform::SetResourceOverride(previous); }
    } override{platform::SetResourceOverride(&table)};

    CountingSink sink;
    auto doc = std::make_unique<CPellanDoc>(env, dir.Path() / "program");
    auto view = std::make_unique<CPellanView>(*doc, sink);
    InstallStandardJobs(*view);
    std::string error;
    ASSERT_TRUE(ChooseNvFolder(*doc, (dir.Path() / "nv").string(), error)) << error;
    ASSERT_TRUE(InstallFirmwareSet(*view));

    for (int line = 0; line < kLineCount; ++line) {
        view->StartLinePolling(line);
    }
    // Every line finds the stick the drivers name last and queries it.
    ASSERT_TRUE(WaitFor([&] {
        for (int line = 0; line < kLineCount; ++line) {
            if (doc->Runtime(line).phoneState.load() != 2) {
                return false;
            }
        }
        return true;
    })) << "not every line found a stick";

    // Line 0 takes the other stick. Every polling pass takes the ports the drivers name last
    // (the other stick's) again, so line 0's loop stays paused until its job owns the ports.
    view->PauseLinePolling(0);
    doc->Record(0).diagPort = 5;
    doc->Record(0).atPort = 6;
    ASSERT_TRUE(doc->ReopenDiagPort(0, 5, 115200));
    doc->ReopenAtPort(0, 6, 115200);
    ASSERT_TRUE(doc->QueryPhone(0));

    view->PauseLinePolling(1);
    ASSERT_EQ(doc->Record(1).diagPort, 15);
    view->ResumeLinePolling(1);

    doc->Runtime(0).jobKind = JOB_NV_BACKUP;
    doc->Runtime(1).jobKind = JOB_NV_BACKUP;
    ASSERT_TRUE(view->StartLineJob(0)) << sink.Boxes();
    // Six loops share one stick, so a line can briefly show it as not answering; the job starts
    // as a user's press would, once the line shows the stick found.
    ASSERT_TRUE(WaitFor([&] { return view->StartLineJob(1); })) << sink.Boxes();
    view->WaitLineJob(0);
    view->WaitLineJob(1);

    for (int line = 0; line < 2; ++line) {
        const auto file = dir.Path() / "nv" / ("Channel" + std::to_string(line + 1) + ".nvm");
        ASSERT_TRUE(std::filesystem::exists(file)) << "line " << line + 1 << " made no backup";
        EXPECT_EQ(std::filesystem::file_size(file), kNvmFileSize);
        const std::vector<int> states = sink.States(line);
        EXPECT_EQ(std::count(states.begin(), states.end(), 3), 0)
            << "line " << line + 1 << " failed";
    }
    // The lines without a job kept polling while the jobs ran.
    for (int line = 2; line < kLineCount; ++line) {
        EXPECT_TRUE(view->HasLinePolling(line));
        EXPECT_FALSE(view->LinePollingPaused(line));
    }
    EXPECT_GT(stickA->CountOf("ReadNvItem"), 500u);
    EXPECT_GT(stickB->CountOf("ReadNvItem"), 500u);

    ReleaseLineController(*view);
    view.reset();
    doc.reset();
}

}  // namespace
}  // namespace pellan::test
