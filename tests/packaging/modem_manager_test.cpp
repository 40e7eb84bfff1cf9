#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "line/connection_manager.h"
#include "line/modem_manager.h"
#include "platform/child_process.h"
#include "platform/registry_reg.h"
#include "support/temp_dir.h"

namespace pellan {
namespace {

// A client that runs until it is stopped, or ends by itself when the test says so (the modem
// manager not running makes the real client end at once).
struct FakeChild final : platform::ChildProcess {
    std::shared_ptr<int> stops = std::make_shared<int>(0);
    std::shared_ptr<bool> running = std::make_shared<bool>(true);
    bool Running() override { return *running; }
    void Stop(platform::Clock&, uint32_t) override {
        *stops += *running ? 1 : 0;
        *running = false;
    }
};

TEST(MmcliInhibitor, OneClientPerStickHeldUntilReleasedEndedByItselfOrDestroyed) {
    platform::VirtualClock clock;
    std::vector<std::string> launches;  // the one argument of each
    std::vector<FakeChild> children;    // copies sharing the state of the ones handed out
    bool fail = false;
    const auto launch = [&](const std::vector<std::string>& args) {
        EXPECT_EQ(1u, args.size());
        launches.push_back(args.at(0));
        children.emplace_back();
        return fail ? nullptr : std::make_unique<FakeChild>(children.back());
    };
    std::vector<std::string> sticks;
    auto inhibitor = std::make_unique<CMmcliInhibitor>(
        launch, [&] { return sticks; }, clock);
    inhibitor->Inhibit();
    EXPECT_TRUE(launches.empty()) << "no stick, no client";
    sticks = {"/sys/devices/pci0000:00/usb1/1-2"};
    fail = true;
    inhibitor->Inhibit();
    EXPECT_TRUE(inhibitor->Held().empty()) << "a client that did not start holds nothing";
    inhibitor->Release();
    launches.clear();
    children.clear();
    fail = false;

    // A space stays inside the one argument: no shell ever splits it.
    sticks = {"/sys/devices/pci0000:00/usb1/1-2", "/sys/devices/pci0000:00/usb2/2-1 x"};
    inhibitor->Inhibit();
    inhibitor->Inhibit();  // a stick already held is not inhibited twice
    EXPECT_EQ((std::vector<std::string>{"--inhibit-device=/sys/devices/pci0000:00/usb1/1-2",
                                        "--inhibit-device=/sys/devices/pci0000:00/usb2/2-1 x"}),
              launches);
    EXPECT_EQ(sticks, inhibitor->Held());
    // Another line's job finds a third stick: only that one gets a new client.
    sticks.push_back("/sys/devices/pci0000:00/usb1/1-3");
    inhibitor->Inhibit();
    ASSERT_EQ(3u, launches.size());
    EXPECT_EQ("--inhibit-device=/sys/devices/pci0000:00/usb1/1-3", launches[2]);

    *children[0].running = false;  // refused, or the modem manager was not running
    EXPECT_EQ(2u, inhibitor->Held().size());
    inhibitor->Inhibit();
    EXPECT_EQ(4u, launches.size()) << "a client that ended by itself is tried again";
    inhibitor->Release();
    inhibitor->Release();
    for (size_t i = 1; i < children.size(); ++i) {
        EXPECT_EQ(1, *children[i].stops) << "every client is stopped once";
    }
    EXPECT_TRUE(inhibitor->Held().empty());
    inhibitor->Inhibit();
    EXPECT_EQ(7u, launches.size()) << "after a release the next job inhibits again";
    inhibitor.reset();
    EXPECT_EQ(1, *children.back().stops) << "the destructor ends the inhibition";
}

// The connection manager's stop step inhibits, its start releases: the same places where the
// Windows build stops and starts the connection-manager service.
TEST(ConnectionManagerModemManager, FindInhibitsAndStartReleases) {
    struct Counting final : ModemManagerInhibitor {
        int* counts;
        explicit Counting(int* c) : counts(c) {}
        void Inhibit() override { ++counts[0]; }
        void Release() override { ++counts[1]; }
    };
    test::TempDir dir;
    platform::VirtualClock clock;
    platform::RegFileRegistry registry(dir.Path() / "registry.reg");
    platform::Env env;
    env.clock = &clock;
    env.registry = &registry;
    env.deviceRoot = dir.Path();
    CConnectionManager manager(env);
    int counts[2] = {0, 0};
    manager.SetModemManagerInhibitor(std::make_unique<Counting>(counts));
    // No connection manager installed: Find fails, the modem manager is inhibited all the same.
    EXPECT_FALSE(manager.Find());
    EXPECT_EQ(1, counts[0]);
    EXPECT_EQ(0, counts[1]);
    EXPECT_TRUE(manager.Start());
    EXPECT_EQ(1, counts[1]);
}

// ---- the real client, through a stand-in "mmcli" on PATH ----

std::string ReadFile(const std::filesystem::path& file) {
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    return text.str();
}

// A program is a shell script; PATH is the test's own, so it finds its tools itself.
void WriteFile(const std::filesystem::path& file, const std::string& text, bool program = false) {
    std::ofstream(file) << (program ? "#!/bin/sh\nPATH=/usr/bin:/bin\n" : "") << text;
    if (program) {
        std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    }
}

struct RealClient : ::testing::Test {
    test::TempDir dir;
    std::filesystem::path bin = dir.Path() / "bin";
    std::filesystem::path log = dir.Path() / "client.log";
    platform::SystemClock clock;
    std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";

    RealClient() {
        std::filesystem::create_directories(bin);
        setenv("PATH", bin.c_str(), 1);
    }
    ~RealClient() override { setenv("PATH", oldPath.c_str(), 1); }

    // A client that logs its arguments, then holds on until SIGINT, which it logs too.
    void InstallClient() {
        const std::string to = " >> \"" + log.string() + "\"";
        WriteFile(bin / "mmcli",
                  "trap 'echo released" + to + "; exit 0' INT\nfor a in \"$@\"; do " +
                      "echo \"arg:$a\"" + to + "; done\nwhile :; do sleep 0.02; done\n",
                  true);
    }

    bool WaitForLog(const std::string& text) {
        for (int i = 0; i < 500 && ReadFile(log).find(text) == std::string::npos; ++i) {
            clock.SleepMs(10);
        }
        return ReadFile(log).find(text) != std::string::npos;
    }
};

// The inhibition of a stick that udev shows runs against mocked sticks and a stand-in "mmcli" in
// tests/e2e/udev_testbed.sh; under a device root there is no modem manager to keep away.
TEST_F(RealClient, NoInhibitionUnderADeviceRoot) {
    InstallClient();
    platform::RegFileRegistry regRegistry(dir.Path() / "registry.reg");
    platform::Env rooted;
    rooted.clock = &clock;
    rooted.registry = &regRegistry;
    rooted.deviceRoot = dir.Path();
    EXPECT_EQ(nullptr, MakeModemManagerInhibitor(rooted));
}

TEST_F(RealClient, AClientInheritsNoneOfOurFilesAndIsKilledIfItIgnoresSigint) {
    // A file opened the way the serial ports and the lock file are (no close-on-exec).
    const auto held = dir.Path() / "held-open";
    WriteFile(held, "x");
    std::FILE* file = std::fopen(held.c_str(), "r");
    ASSERT_NE(nullptr, file);
    WriteFile(bin / "stubborn",
              "trap '' INT\nfor f in /proc/$$/fd/*; do readlink \"$f\"; done > \"" + log.string() +
                  ".tmp\"\nmv \"" + log.string() + ".tmp\" \"" + log.string() +
                  "\"\nwhile :; do sleep 0.02; done\n",
              true);
    std::unique_ptr<platform::ChildProcess> child =
        platform::StartChildProcess(bin / "stubborn", {});
    ASSERT_NE(nullptr, child);
    ASSERT_TRUE(WaitForLog("/"));
    EXPECT_TRUE(child->Running());
    child->Stop(clock, 100);
    EXPECT_FALSE(child->Running());
    child->Stop(clock, 100);  // an ended program: nothing left to do
    EXPECT_FALSE(child->Running());
    std::fclose(file);
    const std::string open = ReadFile(log);
    EXPECT_NE(std::string::npos, open.find("/dev/null")) << open;
    EXPECT_EQ(std::string::npos, open.find(held.string())) << open;
}

TEST(FindProgram, OnlyExecutableFilesInAbsoluteFolders) {
    test::TempDir dir;
    const auto a = dir.Path() / "a";
    const auto b = dir.Path() / "b";
    std::filesystem::create_directories(a);
    std::filesystem::create_directories(b / "mmcli");  // a folder of that name does not count
    WriteFile(a / "mmcli", "#!/bin/sh\n");
    std::filesystem::permissions(a / "mmcli", std::filesystem::perms::owner_read);
    const std::string search = "relative::" + b.string() + ":" + a.string();
    EXPECT_EQ(std::filesystem::path(), platform::FindProgram("mmcli", search));
    std::filesystem::permissions(a / "mmcli", std::filesystem::perms::owner_all);
    EXPECT_EQ(a / "mmcli", platform::FindProgram("mmcli", search));
    EXPECT_EQ(std::filesystem::path(), platform::FindProgram("../a/mmcli", search));
    EXPECT_EQ(std::filesystem::path(), platform::FindProgram("mmcli", ""));
}

}  // namespace
}  // namespace pellan
