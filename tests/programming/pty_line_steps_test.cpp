// The line steps and one programming attempt over pseudo-terminals against pellan-stick-sim,
// started by tests/e2e/programming_pty.sh, which passes the device root and the firmware folder
// and checks the simulator's report afterwards. Skipped when run on its own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "download/download_steps.h"
#include "platform/system_env.h"
#include "programming/programming_cycle.h"
#include "programming/sim_line.h"

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
    const int line = 0;

    const std::filesystem::path fw(firmware);
    LineRecord& record = doc.Record(line);
    const auto path = [&fw](const char* name) { return (fw / name).string(); };
    SetField(record.armprgPath, path("armprg.bin"));
    SetField(record.partitionPath, path("partition.mbn"));
    SetField(record.dblPath, path("dbl.mbn"));
    SetField(record.fsblPath, path("fsbl.mbn"));
    SetField(record.osblPath, path("osbl.mbn"));
    SetField(record.amssPath, path("amss.mbn"));
    SetField(record.nandprgPath, path("nandprgcombined.mbn"));
    SetField(record.efsPath, path("efs.mbn"));

    ASSERT_TRUE(doc.DiscoverPorts(line));
    ASSERT_TRUE(doc.ReopenDiagPort(line, record.diagPort, 115200));
    doc.ReopenAtPort(line, record.atPort, 115200);
    ASSERT_TRUE(doc.QueryPhone(line));
    doc.Runtime(line).running = 1;
    CPhoneLink& link = doc.Link(line);

    const auto started = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    ASSERT_TRUE(EnterDownloadMode(view, line)) << link.m_lastError;
    ASSERT_TRUE(UploadArmprg(view, line)) << link.m_lastError;
    ASSERT_TRUE(StartProgrammer(view, line)) << link.m_lastError;
    std::printf("programmer running after %.1f s\n", seconds());

    bool programmed = false;
    for (int attempt = 0; attempt < 10 && !programmed; ++attempt) {
        programmed =
            PrepareProgrammingAttempt(view, line, attempt) && RunProgrammingCycle(view, line);
    }
    std::printf("programming cycle ended after %.1f s\n", seconds());
    for (const std::string& message : sink.Messages(line)) {
        if (message != "Downloading...") {
            std::printf("  %s\n", message.c_str());
        }
    }
    ASSERT_TRUE(programmed) << link.m_lastError;
    const auto progress = sink.Progress(line);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 80);

    ASSERT_TRUE(ResetAndReconnect(view, line));
    std::printf("stick back in normal mode after %.1f s\n", seconds());
}

}  // namespace
}  // namespace pellan
