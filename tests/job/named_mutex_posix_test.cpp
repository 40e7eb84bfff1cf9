// The named mutex against a lock taken by another process (flock(1) on the lock file).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/named_mutex.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

TEST(NamedMutex, HeldByAnotherProcess) {
    TempDir dir;
    const fs::path lock = dir.Path() / "mutex" / "m";
    fs::create_directories(lock.parent_path());
    // flock(1) holds the lock while a child sleeps; our create must see it taken.
    const fs::path script = dir.Path() / "hold.sh";
    std::ofstream(script) << "exec flock -n '" << lock.string() << "' -c 'touch held; sleep 2'\n";
    std::thread holder([&] { platform::RunAndWait("/bin/sh", {script.string()}, dir.Path()); });
    while (!fs::exists(dir.Path() / "held")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    bool exists = false;
    EXPECT_EQ(platform::NamedMutex::Create("m", dir.Path(), exists), nullptr);
    EXPECT_TRUE(exists);
    holder.join();
    EXPECT_NE(platform::NamedMutex::Create("m", dir.Path(), exists), nullptr);
    EXPECT_FALSE(exists);
}

}  // namespace
}  // namespace pellan::test
