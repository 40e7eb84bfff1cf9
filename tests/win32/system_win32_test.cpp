#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/program_folders.h"
#include "platform/system_env.h"
#include "platform/win32_command_line.h"
#include "support/temp_dir.h"

namespace pellan::test {
namespace {

std::string UniqueName(const char* what) {
    return std::string("pellan-test-") + what + "-" + std::to_string(GetCurrentProcessId());
}

// The name is taken by our own holder (until it goes), by the connection manager's program's own
// mutex, owned or not, and by another kind of object.
TEST(NamedMutexWin32, TheNameIsTakenByOurHolderAnotherProgramsMutexOrAnotherKindOfObject) {
    const std::string name = UniqueName("mutex");
    bool exists = true;
    auto first = platform::NamedMutex::Create(name, {}, exists);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(exists);
    EXPECT_EQ(platform::NamedMutex::Create(name, {}, exists), nullptr);
    EXPECT_TRUE(exists);
    first.reset();
    EXPECT_NE(platform::NamedMutex::Create(name, {}, exists), nullptr) << "free again";
    const HANDLE foreign = CreateMutexA(nullptr, TRUE, UniqueName("foreign").c_str());
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, UniqueName("event").c_str());
    for (const char* taken : {"foreign", "event"}) {
        exists = false;
        EXPECT_EQ(platform::NamedMutex::Create(UniqueName(taken), {}, exists), nullptr) << taken;
        EXPECT_TRUE(exists) << taken;
    }
    CloseHandle(foreign);
    CloseHandle(event);
}

TEST(CommandLineWin32, QuotedArgumentsComeBackUnchanged) {
    const std::vector<std::string> args = {"plain",           "two words",         "",
                                           "tab\there",       "quote\"inside",     "trailing\\",
                                           "back\\\\\"slash", "\\\\server\\share", "\"quoted\""};
    std::string line = "program.exe";
    for (const std::string& arg : args) {
        line += ' ';
        line += platform::QuoteArgument(arg);
    }
    const std::wstring wide(line.begin(), line.end());
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(wide.c_str(), &count);
    ASSERT_NE(split, nullptr);
    ASSERT_EQ(count, static_cast<int>(args.size()) + 1) << line;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring got = split[i + 1];
        EXPECT_EQ(std::string(got.begin(), got.end()), args[i]) << line;
    }
    LocalFree(split);
}

std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    return text;
}

TEST(ProcessWin32, BatchFilesAndProgramsRunInTheirFolderWithTheirArgumentsAndAreWaitedFor) {
    TempDir dir;
    const std::filesystem::path bin = dir.Path() / "Bin folder";
    std::filesystem::create_directories(bin);
    // The marker is written last, after some work, so that it exists only when the run was
    // waited for to its end.
    std::ofstream(bin / "hubstop.bat") << "@echo off\r\n"
                                          "for /l %%i in (1,1,300) do echo %%i> counter.txt\r\n"
                                          "cd> marker.txt\r\n";
    ASSERT_TRUE(platform::RunBatchFile(bin, "hubstop.bat"));
    ASSERT_TRUE(std::filesystem::exists(bin / "marker.txt"));
    EXPECT_EQ(std::filesystem::path(ReadText(bin / "marker.txt")), bin);
    EXPECT_EQ(ReadText(bin / "counter.txt"), "300");
    // cmd starts, finds nothing to call and ends: nothing to examine, nothing to hang on.
    EXPECT_TRUE(platform::RunBatchFile(bin, "hubstart.bat"));

    char system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    std::ofstream(dir.Path() / "source file.txt") << "done\n";
    // An argument with a space arrives as one: copy finds "source file.txt" in the folder given.
    ASSERT_TRUE(platform::RunAndWait(std::string(system) + "\\cmd.exe",
                                     {"/c", "copy", "source file.txt", "target.txt"}, dir.Path()));
    EXPECT_EQ(ReadText(dir.Path() / "target.txt"), "done");
    EXPECT_FALSE(platform::RunAndWait((dir.Path() / "missing.exe").string(), {}, dir.Path()));
}

TEST(ChildProcessWin32, RunsUntilStoppedAndFindsProgramsOnlyInAbsoluteFolders) {
    char system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    const std::string search = std::string(".;relative;;") + system;
    const std::filesystem::path cmd = platform::FindProgram("cmd", search);
    ASSERT_FALSE(cmd.empty());
    EXPECT_EQ(cmd.filename(), "cmd.exe");
    EXPECT_TRUE(platform::FindProgram("cmd", ".;relative").empty());
    EXPECT_TRUE(platform::FindProgram("..\\cmd", search).empty());
    EXPECT_TRUE(platform::FindProgram("pellan-no-such-program", search).empty());

    // A loop that never ends by itself (step 0).
    auto child = platform::StartChildProcess(cmd, {"/c", "for /l %i in (1,0,2) do rem"});
    ASSERT_NE(child, nullptr);
    EXPECT_TRUE(child->Running());
    platform::VirtualClock clock;
    child->Stop(clock, 100);
    EXPECT_FALSE(child->Running());
    EXPECT_EQ(platform::StartChildProcess("C:\\pellan\\missing.exe", {}), nullptr);
}

TEST(ProgramFoldersWin32, BesideTheProgramWhenWritableElseLocalAppData) {
    EXPECT_TRUE(std::filesystem::exists(platform::ProgramFileFolder() / "test_win32.exe"));
    TempDir dir;
    const platform::ProgramFolders beside = platform::SystemProgramFolders(dir.Path());
    EXPECT_TRUE(beside.besideProgram);
    EXPECT_EQ(beside.data, dir.Path());
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << "the write probe was left behind";

    // Wine has no access rights to deny: a folder that cannot take files is one that is missing.
    const platform::ProgramFolders elsewhere = platform::SystemProgramFolders(dir.Path() / "gone");
    EXPECT_FALSE(elsewhere.besideProgram);
    const char* local = std::getenv("LOCALAPPDATA");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(elsewhere.data, std::filesystem::path(local) / "pellan");
    EXPECT_EQ(elsewhere.config, elsewhere.data);
    EXPECT_TRUE(std::filesystem::is_directory(elsewhere.data));
}

}  // namespace
}  // namespace pellan::test
