// A polling line over pseudo-terminals against pellan-stick-sim, started by
// tests/e2e/polling_pty.sh, which passes the simulator's device root (and the firmware version it
// plays) and checks the simulator's report afterwards. Skipped when run on its own.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/system_env.h"
#include "support/temp_dir.h"
#include "ui/line_controls.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan {
namespace {

constexpr const char* kReady = "Ready, please press UPDATE to start.";

const char* EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != 0 ? value : nullptr;
}

TEST(PtyPolling, FollowsTheStickAcrossNewPortNumbers) {
    const char* root = EnvText("PELLAN_E2E_ROOT");
    const char* version = EnvText("PELLAN_E2E_VERSION");
    if (root == nullptr || version == nullptr) {
        GTEST_SKIP() << "run by tests/e2e/polling_pty.sh against pellan-stick-sim";
    }
    platform::SystemEnv system(root, /*fast=*/true);
    test::TempDir program;
    test::RecordingSink sink;
    CPellanDoc doc(system.Get(), program.Path());
    CPellanView view(doc, sink);

    // Shown once the pass that found the stick on `port` has stamped its ready line and shown
    // its versions.
    auto waitReadyOn = [&](const std::string& port, size_t readyBefore) {
        return sink.WaitFor(
            [&](const test::RecordingSink& s) {
                return s.TextLocked(ctl::kPortInformation) == port &&
                       s.TextLocked(ctl::kStatusLine) == kReady &&
                       s.CountEntriesLocked(0, kReady) > readyBefore &&
                       s.TextLocked(ctl::kCurrentVersion) == version &&
                       s.EnabledLocked(ctl::kStartButton) == true;
            },
            60000);
    };

    view.StartLinePolling(0);
    ASSERT_TRUE(waitReadyOn("COM5", 0)) << view.LineLog(0);
    EXPECT_EQ(5, doc.LineDiagPort(0));
    EXPECT_EQ(6, doc.LineAtPort(0));
    EXPECT_EQ("COM5", view.LinePortText(0));

    // Each reset makes the stick leave the bus and come back under numbers ten higher.
    for (const int diag : {15, 25}) {
        view.PauseLinePolling(0);
        ASSERT_TRUE(doc.ResetStick(0, false)) << doc.Link(0).m_lastError;
        const size_t readyBefore = sink.CountEntries(0, kReady);
        view.ResumeLinePolling(0);
        ASSERT_TRUE(waitReadyOn("COM" + std::to_string(diag), readyBefore)) << view.LineLog(0);
        EXPECT_EQ(diag, doc.LineDiagPort(0));
        EXPECT_EQ(diag + 1, doc.LineAtPort(0));
        EXPECT_EQ(2, doc.Runtime(0).phoneState.load());
    }
    std::printf("line log:\n%s", view.LineLog(0).c_str());
}

}  // namespace
}  // namespace pellan
