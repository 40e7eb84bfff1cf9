#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "platform/program_folders.h"
#include "support/temp_dir.h"

namespace pellan::platform {
namespace {

using Environment = std::map<std::string, std::string>;

ProgramFolders Choose(bool writable, const Environment& environment) {
    return ChooseProgramFolders(
        "/opt/pellan", writable,
        [&](const char* name) -> std::optional<std::string> {
            auto found = environment.find(name);
            if (found == environment.end()) {
                return std::nullopt;
            }
            return found->second;
        },
        "/tmp/pellan-1000");
}

TEST(ProgramFolders, BesideAWritableProgramElseTheXdgFolders) {
    struct Case {
        const char* what;
        bool writable;
        Environment environment;
        const char* config;
        const char* data;
        const char* state;
    };
    // clang-format off
    const Case cases[] = {
        {"a writable program folder keeps everything beside the program", true,
         {{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "/home/u/cfg"}},
         "/opt/pellan", "/opt/pellan", "/opt/pellan"},
        {"defaults under HOME", false, {{"HOME", "/home/u"}},
         "/home/u/.config/pellan", "/home/u/.local/share/pellan", "/home/u/.local/state/pellan"},
        {"every variable set", false,
         {{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "/c"}, {"XDG_DATA_HOME", "/d"},
          {"XDG_STATE_HOME", "/s"}},
         "/c/pellan", "/d/pellan", "/s/pellan"},
        {"empty and relative values count as unset", false,
         {{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", ""}, {"XDG_DATA_HOME", "relative/data"},
          {"XDG_STATE_HOME", "/s"}},
         "/home/u/.config/pellan", "/home/u/.local/share/pellan", "/s/pellan"},
        {"no usable HOME", false, {{"HOME", "home/u"}}, "/tmp/pellan-1000/.config/pellan",
         "/tmp/pellan-1000/.local/share/pellan", "/tmp/pellan-1000/.local/state/pellan"},
        {"nothing set at all", false, {}, "/tmp/pellan-1000/.config/pellan",
         "/tmp/pellan-1000/.local/share/pellan", "/tmp/pellan-1000/.local/state/pellan"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const ProgramFolders folders = Choose(c.writable, c.environment);
        EXPECT_EQ(c.writable, folders.besideProgram) << c.what;
        EXPECT_EQ(c.config, folders.config) << c.what;
        EXPECT_EQ(c.data, folders.data) << c.what;
        EXPECT_EQ(c.state, folders.state) << c.what;
    }
}

// Points the XDG variables into a test folder, so that no test touches the user's own.
struct ScopedXdg {
    explicit ScopedXdg(const std::filesystem::path& base) {
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
            const char* old = std::getenv(name);
            m_old.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        }
        setenv("HOME", (base / "home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (base / "config").c_str(), 1);
        setenv("XDG_DATA_HOME", (base / "data").c_str(), 1);
        unsetenv("XDG_STATE_HOME");
    }
    ~ScopedXdg() {
        for (const auto& [name, old] : m_old) {
            old ? setenv(name, old->c_str(), 1) : unsetenv(name);
        }
    }
    std::vector<std::pair<const char*, std::optional<std::string>>> m_old;
};

TEST(ProgramFolders, TheSystemChoiceFollowsTheFoldersRealWritability) {
    test::TempDir dir;
    ScopedXdg xdg(dir.Path());
    const auto program = dir.Path() / "bin";
    std::filesystem::create_directories(program);
    EXPECT_TRUE(SystemProgramFolders(program).besideProgram);

    // A folder this user cannot write; a missing one is unwritable even for root, who may write
    // any folder that exists.
    std::filesystem::permissions(
        program, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    ProgramFolders folders = SystemProgramFolders(program);
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    if (folders.besideProgram) {
        folders = SystemProgramFolders(dir.Path() / "missing");
    }
    ASSERT_FALSE(folders.besideProgram);
    EXPECT_EQ(dir.Path() / "config" / "pellan", folders.config);
    EXPECT_EQ(dir.Path() / "data" / "pellan", folders.data);
    EXPECT_EQ(dir.Path() / "home" / ".local" / "state" / "pellan", folders.state);
    for (const auto& folder : {folders.config, folders.data, folders.state}) {
        EXPECT_TRUE(std::filesystem::is_directory(folder)) << folder;
        // NV backups carry the stick's IMEI: owner only.
        EXPECT_EQ(std::filesystem::perms::owner_all, std::filesystem::status(folder).permissions())
            << folder;
    }
}

}  // namespace
}  // namespace pellan::platform
