#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "line/connection_manager.h"
#include "line/modem_manager.h"
#include "platform/child_process.h"
#include "platform/registry_reg.h"
#include "platform/registry_sysfs_posix.h"
#include "support/temp_dir.h"

namespace pellan {
namespace {

// A child that runs until it is stopped, or "ends by itself" when the test says so (the modem
// manager not running makes the real client end at once).
struct FakeChildState {
    bool running = true;
    int stops = 0;
};

class FakeChild final : public platform::ChildProcess {
  public:
    explicit FakeChild(std::shared_ptr<FakeChildState> state) : m_state(std::move(state)) {}
    bool Running() override { return m_state->running; }
    void Stop(platform::Clock&, uint32_t) override {
        if (m_state->running) {
            ++m_state->stops;
            m_state->running = false;
        }
    }

  private:
    std::shared_ptr<FakeChildState> m_state;
};

struct FakeLauncher {
    std::vector<std::vector<std::string>> launches;
    std::vector<std::shared_ptr<FakeChildState>> children;
    bool fail = false;

    CMmcliInhibitor::Launch Launch() {
        return
            [this](
                const std::vector<std::string>& args) -> std::unique_ptr<platform::ChildProcess> {
                launches.push_back(args);
                if (fail) {
                    return nullptr;
                }
                children.push_back(std::make_shared<FakeChildState>());
                return std::make_unique<FakeChild>(children.back());
            };
    }
};

struct InhibitorFixture : ::testing::Test {
    platform::VirtualClock clock;
    FakeLauncher launcher;
    std::vector<std::string> sticks{"/sys/devices/pci0000:00/usb1/1-2"};
    CMmcliInhibitor inhibitor{launcher.Launch(), [this] { return sticks; }, clock};
};

TEST_F(InhibitorFixture, OneClientPerStickHeldUntilReleasedOrEndedByItself) {
    sticks = {"/sys/devices/pci0000:00/usb1/1-2", "/sys/devices/pci0000:00/usb2/2-1 x"};
    inhibitor.Inhibit();
    inhibitor.Inhibit();  // a stick already held is not inhibited twice
    ASSERT_EQ(2u, launcher.launches.size());
    EXPECT_EQ(std::vector<std::string>{"--inhibit-device=/sys/devices/pci0000:00/usb1/1-2"},
              launcher.launches[0]);
    // A space stays inside the one argument: no shell ever splits it.
    EXPECT_EQ(std::vector<std::string>{"--inhibit-device=/sys/devices/pci0000:00/usb2/2-1 x"},
              launcher.launches[1]);
    EXPECT_EQ(sticks, inhibitor.Held());

    // Another line's job finds a third stick: only that one gets a new client.
    sticks.push_back("/sys/devices/pci0000:00/usb1/1-3");
    inhibitor.Inhibit();
    ASSERT_EQ(3u, launcher.launches.size());
    EXPECT_EQ("--inhibit-device=/sys/devices/pci0000:00/usb1/1-3", launcher.launches[2][0]);

    launcher.children[0]->running = false;  // refused, or the modem manager was not running
    EXPECT_EQ(2u, inhibitor.Held().size());
    inhibitor.Inhibit();
    EXPECT_EQ(4u, launcher.launches.size()) << "a client that ended by itself is tried again";

    inhibitor.Release();
    inhibitor.Release();
    for (size_t i = 1; i < launcher.children.size(); ++i) {
        EXPECT_EQ(1, launcher.children[i]->stops) << "every client is stopped once";
    }
    EXPECT_TRUE(inhibitor.Held().empty());
    inhibitor.Inhibit();
    EXPECT_EQ(7u, launcher.launches.size()) << "after a release the next job inhibits again";
}

TEST_F(InhibitorFixture, NoStickOrNoClientInhibitsNothingAndTheDestructorEndsTheInhibition) {
    sticks.clear();
    inhibitor.Inhibit();
    EXPECT_TRUE(launcher.launches.empty());
    sticks = {"/sys/devices/pci0000:00/usb1/1-2"};
    launcher.fail = true;
    inhibitor.Inhibit();
    EXPECT_EQ(1u, launcher.launches.size());
    EXPECT_TRUE(inhibitor.Held().empty());
    inhibitor.Release();

    FakeLauncher other;
    {
        CMmcliInhibitor scoped(
            other.Launch(), [] { return std::vector<std::string>{"/a"}; }, clock);
        scoped.Inhibit();
    }
    ASSERT_EQ(1u, other.children.size());
    EXPECT_EQ(1, other.children[0]->stops);
}

// The connection manager's stop step inhibits, its start releases: the same places where the
// Windows build stops and starts the connection-manager service.
struct CountingInhibitor final : ModemManagerInhibitor {
    int* inhibits;
    int* releases;
    CountingInhibitor(int* i, int* r) : inhibits(i), releases(r) {}
    void Inhibit() override { ++*inhibits; }
    void Release() override { ++*releases; }
};

TEST(ConnectionManagerModemManager, FindInhibitsAndStartReleases) {
    test::TempDir dir;
    platform::VirtualClock clock;
    platform::RegFileRegistry registry(dir.Path() / "registry.reg");
    platform::Env env;
    env.clock = &clock;
    env.registry = &registry;
    env.deviceRoot = dir.Path();
    CConnectionManager manager(env);
    int inhibits = 0;
    int releases = 0;
    manager.SetModemManagerInhibitor(std::make_unique<CountingInhibitor>(&inhibits, &releases));
    // No connection manager installed: Find fails, the modem manager is inhibited all the same.
    EXPECT_FALSE(manager.Find());
    EXPECT_EQ(1, inhibits);
    EXPECT_EQ(0, releases);
    EXPECT_TRUE(manager.Start());
    EXPECT_EQ(1, releases);
}

// ---- the real client, through a stand-in "mmcli" on PATH and a copy of sysfs ----

class ScopedPath {
  public:
    explicit ScopedPath(const std::string& path) {
        const char* old = std::getenv("PATH");
        m_hadOld = old != nullptr;
        m_old = m_hadOld ? old : "";
        setenv("PATH", path.c_str(), 1);
    }
    ~ScopedPath() {
        if (m_hadOld) {
            setenv("PATH", m_old.c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }

  private:
    bool m_hadOld = false;
    std::string m_old;
};

std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file) << text;
}

struct RealClientFixture : ::testing::Test {
    test::TempDir dir;
    std::filesystem::path bin = dir.Path() / "bin";
    std::filesystem::path log = dir.Path() / "mmcli.log";
    std::filesystem::path sysfs = dir.Path() / "sys";
    platform::SystemClock clock;

    RealClientFixture() { std::filesystem::create_directories(bin); }

    // A client that logs its arguments, then holds on until SIGINT, which it logs too.
    void InstallClient() {
        const auto script = bin / "mmcli";
        WriteFile(script,
                  "#!/bin/sh\n"
                  "trap 'echo released >> \"" +
                      log.string() +
                      "\"; exit 0' INT\n"
                      "for a in \"$@\"; do echo \"arg:$a\" >> \"" +
                      log.string() +
                      "\"; done\n"
                      "while :; do sleep 0.02; done\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    }

    // The stick as sysfs shows it: bus/usb/devices/1-2 links to the device's real folder.
    std::filesystem::path AddStick(const std::string& vid) {
        const auto real = sysfs / "devices" / "pci0000:00" / "usb1" / "1-2";
        const auto devices = sysfs / "bus" / "usb" / "devices";
        std::filesystem::create_directories(real);
        std::filesystem::create_directories(devices);
        WriteFile(real / "idVendor", vid + "\n");
        WriteFile(real / "idProduct", "9000\n");
        WriteFile(real / "busnum", "1\n");
        WriteFile(real / "devnum", "7\n");
        std::filesystem::create_directory_symlink(real, devices / "1-2");
        for (int number : {0, 1}) {
            const auto folder = devices / ("1-2:1." + std::to_string(number));
            std::filesystem::create_directories(folder / ("ttyUSB" + std::to_string(number)));
            WriteFile(folder / "bInterfaceNumber", "0" + std::to_string(number) + "\n");
        }
        return std::filesystem::canonical(real);
    }

    bool WaitForLog(const std::string& text) {
        for (int i = 0; i < 500; ++i) {
            if (ReadFile(log).find(text) != std::string::npos) {
                return true;
            }
            clock.SleepMs(10);
        }
        return false;
    }
};

TEST_F(RealClientFixture, InhibitsTheStickUntilReleasedAndLeavesOtherVendorsAlone) {
    InstallClient();
    for (const char* vendor : {"1234", "05c6"}) {
        std::filesystem::remove_all(sysfs);
        const std::filesystem::path device = AddStick(vendor);
        platform::StickUsbConfig config;
        config.sysfsRoot = sysfs;
        platform::SysfsRegistry registry(config);
        platform::Env env;
        env.clock = &clock;
        env.registry = &registry;
        ScopedPath path(bin.string());
        std::unique_ptr<ModemManagerInhibitor> inhibitor = MakeModemManagerInhibitor(env);
        ASSERT_NE(nullptr, inhibitor);
        inhibitor->Inhibit();
        if (std::string(vendor) == "1234") {
            inhibitor->Release();
            EXPECT_FALSE(std::filesystem::exists(log));
            continue;
        }
        ASSERT_TRUE(WaitForLog("arg:--inhibit-device=" + device.string() + "\n"));
        EXPECT_EQ(std::string::npos, ReadFile(log).find("released"));
        inhibitor->Release();
        EXPECT_EQ("arg:--inhibit-device=" + device.string() + "\nreleased\n", ReadFile(log));
    }
}

TEST_F(RealClientFixture, NothingWithoutTheClientOrUnderADeviceRoot) {
    platform::StickUsbConfig config;
    config.sysfsRoot = sysfs;
    platform::SysfsRegistry sysfsRegistry(config);
    platform::Env env;
    env.clock = &clock;
    env.registry = &sysfsRegistry;
    {
        ScopedPath path(bin.string());  // no mmcli in it
        EXPECT_EQ(nullptr, MakeModemManagerInhibitor(env));
    }
    InstallClient();
    ScopedPath path(bin.string());
    platform::RegFileRegistry regRegistry(dir.Path() / "registry.reg");
    platform::Env rooted;
    rooted.clock = &clock;
    rooted.registry = &regRegistry;
    rooted.deviceRoot = dir.Path();
    EXPECT_EQ(nullptr, MakeModemManagerInhibitor(rooted));
    // The real system's registry with a device root set still means the device root.
    env.deviceRoot = dir.Path();
    EXPECT_EQ(nullptr, MakeModemManagerInhibitor(env));
}

TEST_F(RealClientFixture, AClientThatIgnoresSigintIsKilledAfterTheGrace) {
    const auto script = bin / "stubborn";
    WriteFile(script, "#!/bin/sh\ntrap '' INT\nwhile :; do sleep 0.02; done\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    std::unique_ptr<platform::ChildProcess> child = platform::StartChildProcess(script, {});
    ASSERT_NE(nullptr, child);
    EXPECT_TRUE(child->Running());
    child->Stop(clock, 100);
    EXPECT_FALSE(child->Running());
}

TEST_F(RealClientFixture, TheClientInheritsNoneOfOurFiles) {
    // A file opened the way the serial ports and the lock file are (no close-on-exec).
    const auto held = dir.Path() / "held-open";
    WriteFile(held, "x");
    std::FILE* file = std::fopen(held.c_str(), "r");
    ASSERT_NE(nullptr, file);
    const auto script = bin / "lister";
    WriteFile(script, "#!/bin/sh\nfor f in /proc/$$/fd/*; do readlink \"$f\"; done > \"" +
                          log.string() + ".tmp\"\nmv \"" + log.string() + ".tmp\" \"" +
                          log.string() + "\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    std::unique_ptr<platform::ChildProcess> child = platform::StartChildProcess(script, {});
    ASSERT_NE(nullptr, child);
    ASSERT_TRUE(WaitForLog("/"));
    child->Stop(clock, 1000);
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
