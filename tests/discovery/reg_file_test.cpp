#include <gtest/gtest.h>

#include <fstream>

#include "platform/registry_reg.h"
#include "support/temp_dir.h"

namespace pellan::platform {
namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\r\n";

struct RegFileFixture : ::testing::Test {
    test::TempDir dir;
    std::filesystem::path file = dir.Path() / "registry.reg";
    RegFileRegistry registry{file};

    void Write(const std::string& text) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << text;
    }
};

// Comments, blank lines, blanks at line ends and either line end are accepted, in UTF-8 with or
// without a byte order mark and in UTF-16LE with one (the format Windows' own editor writes).
TEST_F(RegFileFixture, TextAndDwordValuesInEachEncoding) {
    const std::string text = std::string(kHeader) +
                             "; a comment\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Key]  \r\n"
                             "\"Count\"=dword:0000000c\r\n"
                             "\"Big\"=dword:FFFFFFFF\n"
                             "\"Path\"=\"USB\\\\VID_05C6\\\\6&1\"  \r\n"
                             "\"Quote\"=\"say \\\"hi\\\"\"\r\n"
                             "\"Empty\"=\"\"\r\n"
                             "@=\"default\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (const char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    for (const std::string& encoded : {text, utf16, "\xEF\xBB\xBF" + text}) {
        Write(encoded);
        const auto key = registry.OpenKey("SYSTEM\\Key");
        ASSERT_NE(nullptr, key) << encoded.size();
        EXPECT_EQ(12u, key->ReadDword("Count"));
        EXPECT_EQ(0xFFFFFFFFu, key->ReadDword("Big"));
        EXPECT_EQ("USB\\VID_05C6\\6&1", key->ReadString("Path"));
        EXPECT_EQ("say \"hi\"", key->ReadString("Quote"));
        EXPECT_EQ("", key->ReadString("Empty"));
        EXPECT_EQ("default", key->ReadString(""));
        // A value is read only as the type it has.
        EXPECT_FALSE(key->ReadString("Count"));
        EXPECT_FALSE(key->ReadDword("Path"));
        EXPECT_FALSE(key->ReadString("Missing"));
    }
}

TEST_F(RegFileFixture, NamesCompareWithoutCaseAndParentsExist) {
    Write(std::string(kHeader) +
          "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Drv\\Enum]\n"
          "\"Count\"=dword:00000001\n");
    const auto key = registry.OpenKey("system\\currentcontrolset\\SERVICES\\drv\\enum");
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(1u, key->ReadDword("COUNT"));
    const auto parent = registry.OpenKey("SYSTEM\\CurrentControlSet\\Services\\Drv");
    ASSERT_NE(nullptr, parent);
    EXPECT_FALSE(parent->ReadDword("Count"));
    EXPECT_EQ(nullptr, registry.OpenKey("SYSTEM\\CurrentControlSet\\Services\\Dr"));
    EXPECT_EQ(nullptr, registry.OpenKey("SYSTEM\\CurrentControlSet\\Services\\Drv\\Enum\\0"));
    // Sections of one key merge, a later value wins, other hives are ignored.
    Write(std::string(kHeader) +
          "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n[HKEY_CURRENT_USER\\A]\n\"y\"=\"2\"\n" +
          "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"3\"\n");
    EXPECT_EQ("3", registry.OpenKey("A")->ReadString("x"));
    EXPECT_FALSE(registry.OpenKey("A")->ReadString("y"));
    // A folder in place of the file is an empty registry.
    std::filesystem::remove(file);
    std::filesystem::create_directories(file);
    EXPECT_EQ(nullptr, registry.OpenKey("A"));
}

TEST_F(RegFileFixture, MalformedFilesReadAsEmptyKeys) {
    const std::string key = "[HKEY_LOCAL_MACHINE\\K]\n";
    const std::string good = "\"v\"=\"text\"\n\"n\"=dword:00000001\n";
    const std::string cases[] = {
        "REGEDIT4\n" + key + good,                                      // wrong first line
        std::string(kHeader) + key + good + "\"w\"=dword:0000000g\n",   // not hex
        std::string(kHeader) + key + good + "\"w\"=dword:000000001\n",  // nine digits
        std::string(kHeader) + key + good + "\"w\"=dword:\n",           // no digits
        std::string(kHeader) + key + good + "\"w\"=\"open\n",           // unterminated text
        std::string(kHeader) + key + good + "\"w\"=\"a\\qb\"\n",        // unknown escape
        std::string(kHeader) + key + good + "\"w\"=\"a\" junk\n",       // trailing text
        std::string(kHeader) + key + good + "\"w\"=hex:01,02\n",        // other value type
        std::string(kHeader) + key + good + "garbage line\n",
        std::string(kHeader) + key + good + "[HKEY_LOCAL_MACHINE\\broken\n",
        std::string(kHeader) + key + good + "[-HKEY_LOCAL_MACHINE\\K]\n",
        std::string(kHeader) + "\"v\"=\"before any key\"\n" + key + good,
        std::string(kHeader) + key + good + "\"unterminated name=\"x\"\n",
        std::string(kHeader) + key + good + std::string("\"w\"=\"nul\0in\"\n", 14) + "\"tail\n",
    };
    for (const auto& text : cases) {
        Write(text);
        const auto opened = registry.OpenKey("K");
        ASSERT_NE(nullptr, opened) << text;
        EXPECT_FALSE(opened->ReadString("v")) << text;
        EXPECT_FALSE(opened->ReadDword("n")) << text;
    }
}

}  // namespace
}  // namespace pellan::platform
