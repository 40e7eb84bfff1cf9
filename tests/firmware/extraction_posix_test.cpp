// Extraction when the disk runs out of room, played with the process's file size limit.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "firmware/firmware_fixture.h"
#include "firmware/firmware_set.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

using ExtractionTest = FirmwareFixture;

// A write that runs out of room (here: the process's file size limit) must not cost the good
// copy: the old file stays whole and no partial file is left behind.
TEST_F(ExtractionTest, WriteFailingHalfWayKeepsTheOldFile) {
    fs::create_directories(Folder());
    const fs::path amss = fs::path(Folder()) / "amss.mbn";
    const Bytes old(1000, 0x5A);
    WriteBytes(amss, old);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 4096;  // the small amss.mbn is 128 KiB
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = ExtractFirmwareFile(161, Folder(), "amss.mbn");
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(ReadBytes(amss), old);
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"amss.mbn"});
}

}  // namespace
}  // namespace pellan::test
