// The line steps and one programming attempt over pseudo-terminals against pellan-stick-sim,
// started by tests/e2e/programming_pty.sh, which passes the device root and the firmware folder
// and checks the simulator's report afterwards. Skipped when run on its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "download/download_steps.h"
#include "platform/system_env.h"
#include "programming/programming_cycle.h"
#include "programming/sim_line.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan {
namespace {

TEST(PtyLineSteps, WholePathOverPseudoTerminals) {
    const char* root = std::getenv("PELLAN_E2E_ROOT");
    const char* firmware = std::getenv("PELLAN_E2E_FIRMWARE");
    if (root == nullptr || firmware == nullptr || !*root || !*firmware) {
        GTEST_SKIP() << "run by tests/e2e/programming_pty.sh against pellan-stick-sim";
    }
    platform::SystemEnv system(root, /*fast=*/true);
    test::TempDir program;
    test::RecordingSink sink;
    CPellanDoc doc(system.Get(), program.Path());
    CPellanView view(doc, sink);
    LineRecord& record = doc.Record(0);
    const auto set = [&](auto& field, const char* name) {
        SetField(field, (std::filesystem::path(firmware) / name).string());
    };
    set(record.armprgPath, "armprg.bin");
    set(record.partitionPath, "partition.mbn");
    set(record.dblPath, "dbl.mbn");
    set(record.fsblPath, "fsbl.mbn");
    set(record.osblPath, "osbl.mbn");
    set(record.amssPath, "amss.mbn");
    set(record.nandprgPath, "nandprgcombined.mbn");
    set(record.efsPath, "efs.mbn");
    ASSERT_TRUE(doc.DiscoverPorts(0));
    ASSERT_TRUE(doc.ReopenDiagPort(0, record.diagPort, 115200));
    doc.ReopenAtPort(0, record.atPort, 115200);
    ASSERT_TRUE(doc.QueryPhone(0));
    doc.Runtime(0).running = 1;
    const std::string& error = doc.Link(0).m_lastError;
    ASSERT_TRUE(EnterDownloadMode(view.Context(0))) << error;
    ASSERT_TRUE(UploadArmprg(view.Context(0))) << error;
    ASSERT_TRUE(StartProgrammer(view.Context(0))) << error;
    bool programmed = false;
    for (int attempt = 0; attempt < 10 && !programmed; ++attempt) {
        programmed = PrepareProgrammingAttempt(view.Context(0), attempt) &&
                     RunProgrammingCycle(view.Context(0));
    }
    for (const std::string& message : sink.Messages(0)) {
        if (message != "Downloading...") {
            std::printf("  %s\n", message.c_str());
        }
    }
    ASSERT_TRUE(programmed) << error;
    ASSERT_FALSE(sink.ProgressHistory(0).empty());
    EXPECT_EQ(sink.ProgressHistory(0).back(), 80);
    ASSERT_TRUE(ResetAndReconnect(view.Context(0)));
    std::printf("stick back in normal mode after the programming cycle\n");
}

}  // namespace
}  // namespace pellan
