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

const char* EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != 0 ? value : nullptr;
}

TEST(PtyLineSteps, WholePathOverPseudoTerminals) {
    const char* root = EnvText("PELLAN_E2E_ROOT");
    const char* firmware = EnvText("PELLAN_E2E_FIRMWARE");
    if (root == nullptr || firmware == nullptr) {
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
    SetField(record.armprgPath, (fw / "armprg.bin").string());
    SetField(record.partitionPath, (fw / "partition.mbn").string());
    SetField(record.dblPath, (fw / "dbl.mbn").string());
    SetField(record.fsblPath, (fw / "fsbl.mbn").string());
    SetField(record.osblPath, (fw / "osbl.mbn").string());
    SetField(record.amssPath, (fw / "amss.mbn").string());
    SetField(record.nandprgPath, (fw / "nandprgcombined.mbn").string());
    SetField(record.efsPath, (fw / "efs.mbn").string());

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
