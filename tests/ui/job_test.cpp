#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/registry_reg.h"
#include "support/fake_serial.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan {
namespace {

// Counts key opens: the polling loop's discovery reads the registry once per search step.
class CountingRegistry final : public platform::Registry {
  public:
    explicit CountingRegistry(platform::Registry& inner) : m_inner(inner) {}
    std::unique_ptr<platform::RegistryKey> OpenKey(const std::string& path) override {
        ++m_opens;
        return m_inner.OpenKey(path);
    }
    int Opens() const { return m_opens.load(); }

  private:
    platform::Registry& m_inner;
    std::atomic<int> m_opens{0};
};

struct JobFixture : ::testing::Test {
    platform::SystemClock realClock;
    platform::FastClock clock{realClock};
    test::FakeSerialProvider serial{clock};
    test::TempDir dir;
    platform::RegFileRegistry emptyRegistry{dir.Path() / "registry.reg"};
    CountingRegistry registry{emptyRegistry};
    platform::Env env{&clock, &serial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    test::RecordingSink sink;
    CPellanView view{doc, sink};

    JobFixture() {
        // The armprg of the software folder, which StartLineJob takes by default.
        std::filesystem::create_directories(dir.Path() / "fw");
        std::ofstream(dir.Path() / "fw" / "armprg.bin") << "prg";
        SetField(doc.Record(0).firmwareFolder, (dir.Path() / "fw").string());
    }

    static bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
        for (int i = 0; i < ms; ++i) {
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    }
};

// A job starts only with procedures for its kind, a check that passes, and the armprg and the
// default NV file it will need.
TEST_F(JobFixture, StartIsRefusedWithoutProceduresCheckOrFiles) {
    EXPECT_FALSE(view.StartLineJob(0));
    std::atomic<int> runs{0};
    view.SetJobProcedures(JOB_NV_BACKUP, {[](LineStation& s, int) {
                                              s.MessageBox("no stick");
                                              return false;
                                          },
                                          [&](LineStation&, int) { ++runs; }});
    doc.Runtime(2).jobKind = JOB_NV_BACKUP;
    EXPECT_FALSE(view.StartLineJob(2));
    EXPECT_EQ((std::vector<int>{0}), sink.StateHistory(2));

    view.SetJobProcedures(JOB_UPDATE, {nullptr, [&](LineStation& s, int line) {
                                           ++runs;
                                           s.Context(line).report.FinishJob("done", 1);
                                       }});
    ASSERT_TRUE(view.StartLineJob(0));
    view.WaitLineJob(0);
    EXPECT_EQ((dir.Path() / "fw" / "armprg.bin").string(), GetField(doc.Record(5).armprgPath));
    std::filesystem::remove(dir.Path() / "fw" / "armprg.bin");
    EXPECT_FALSE(view.StartLineJob(0));
    view.m_useVersionArmprg = 0;  // then the program folder's
    ASSERT_TRUE(view.StartLineJob(0));
    view.WaitLineJob(0);
    EXPECT_EQ((dir.Path() / "armprg.bin").string(), GetField(doc.Record(3).armprgPath));

    doc.m_nvMode = NV_MODE_DEFAULT_FILE;
    SetField(doc.Record(0).defaultNvFile, (dir.Path() / "default.nvm").string());
    EXPECT_FALSE(view.StartLineJob(0));
    std::ofstream(dir.Path() / "default.nvm") << "nv";
    EXPECT_TRUE(view.StartLineJob(0));
    view.WaitLineJob(0);
    EXPECT_EQ(3, runs.load());
    EXPECT_EQ(0, doc.Runtime(2).running.load());
    EXPECT_EQ((std::vector<std::string>{"No job procedure is installed for job kind 1.", "no stick",
                                        (dir.Path() / "fw" / "armprg.bin").string() +
                                            " is not exist, please select again",
                                        "Default NV is not exist"}),
              sink.Boxes());
}

TEST_F(JobFixture, JobRunsOnItsOwnThreadWithTheLineMarkedRunning) {
    std::atomic<int> seenLine{-1};
    std::atomic<int> seenRunning{-1};
    std::thread::id jobThread;
    view.m_eraseBoot = 0;
    view.m_uiConsistent = 1;
    view.SetJobProcedures(JOB_UPDATE, {nullptr, [&](LineStation& s, int line) {
                                           seenLine = line;
                                           seenRunning = s.Context(line).runtime.running.load();
                                           jobThread = std::this_thread::get_id();
                                           s.Context(line).report.FinishJob("failed", 3);
                                       }});
    doc.Runtime(4).jobKind = JOB_UPDATE;
    ASSERT_TRUE(view.StartLineJob(4));
    view.WaitLineJob(4);
    EXPECT_EQ(4, seenLine.load());
    EXPECT_EQ(1, seenRunning.load());
    EXPECT_NE(std::this_thread::get_id(), jobThread);
    EXPECT_EQ((std::vector<int>{0, 1, 3}), sink.StateHistory(4));
    EXPECT_EQ(0, doc.Runtime(4).running.load());
    EXPECT_EQ(0, doc.m_eraseBoot.load());
    EXPECT_EQ(1, doc.m_uiConsistent.load());

    // A second start while running is refused, and so is closing; after the end both work.
    std::atomic<bool> release{false};
    view.SetJobProcedures(JOB_UPDATE,
                          {nullptr, [&](LineStation& s, int line) {
                               while (!release) {
                                   std::this_thread::sleep_for(std::chrono::milliseconds(1));
                               }
                               s.Context(line).report.FinishJob("done", 1);
                           }});
    ASSERT_TRUE(view.StartLineJob(4));
    EXPECT_FALSE(view.StartLineJob(4));
    EXPECT_FALSE(view.CanClose());
    release = true;
    view.WaitLineJob(4);
    EXPECT_TRUE(view.CanClose());
}

// The polling loop stands still between passes while the job runs and goes on afterwards.
TEST_F(JobFixture, PollingPausesForTheJobAndResumesAfterIt) {
    view.StartLinePolling(0);
    ASSERT_TRUE(WaitUntil([&] { return registry.Opens() > 3; }));

    std::atomic<bool> release{false};
    std::atomic<bool> pausedAtStart{false};
    std::atomic<int> opensDuringJob{-1};
    view.SetJobProcedures(JOB_UPDATE,
                          {nullptr, [&](LineStation& s, int line) {
                               pausedAtStart = view.LinePollingPaused(line);
                               const int before = registry.Opens();
                               while (!release) {
                                   std::this_thread::sleep_for(std::chrono::milliseconds(1));
                               }
                               opensDuringJob = registry.Opens() - before;
                               s.Context(line).report.FinishJob("failed", 3);
                           }});
    ASSERT_TRUE(view.StartLineJob(0));
    // Long enough for many search steps of a loop that was not paused (one step is ~10 ms).
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    release = true;
    view.WaitLineJob(0);
    EXPECT_TRUE(pausedAtStart.load());
    EXPECT_EQ(0, opensDuringJob.load());
    EXPECT_TRUE(WaitUntil([&] { return !view.LinePollingPaused(0); }));
    const int afterJob = registry.Opens();
    EXPECT_TRUE(WaitUntil([&] { return registry.Opens() > afterJob + 3; }));
    EXPECT_TRUE(view.HasLinePolling(0));
}

TEST(ViewLifetime, DestructionEndsPollingAndWaitsForJobs) {
    platform::SystemClock clock;  // full one-second waits: the end must not wait them out
    test::FakeSerialProvider serial{clock};
    test::TempDir dir;
    platform::RegFileRegistry registry{dir.Path() / "registry.reg"};
    platform::Env env{&clock, &serial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    test::RecordingSink sink;
    std::atomic<bool> jobEnded{false};
    const auto start = std::chrono::steady_clock::now();
    {
        CPellanView view{doc, sink};
        view.m_useVersionArmprg = 0;
        for (int line = 0; line < kLineCount; ++line) {
            view.StartLinePolling(line);
        }
        view.SetJobProcedures(JOB_UPDATE, {nullptr, [&](LineStation& s, int line) {
                                               s.Context(line).report.FinishJob("done", 1);
                                               jobEnded = true;
                                           }});
        ASSERT_TRUE(view.StartLineJob(3));
    }
    EXPECT_TRUE(jobEnded.load());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

}  // namespace
}  // namespace pellan
