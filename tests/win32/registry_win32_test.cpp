#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/registry_win32.h"

namespace pellan::test {
namespace {

// Keys written into the machine's own HKEY_LOCAL_MACHINE for one test and removed afterwards.
class RegistryFixture : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const std::string& key : m_created) {
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
        }
    }
    // Creates `key` (below HKEY_LOCAL_MACHINE), sets its values and remembers `top` to remove.
    void Create(const std::string& key, const std::string& top,
                std::initializer_list<std::tuple<const char*, DWORD, std::string>> values) {
        m_created.push_back(top);
        HKEY handle = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &handle, nullptr));
        for (const auto& [name, type, bytes] : values) {
            EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(handle, name, 0, type,
                                                    reinterpret_cast<const BYTE*>(bytes.data()),
                                                    static_cast<DWORD>(bytes.size())))
                << name;
        }
        RegCloseKey(handle);
    }
    static std::string Sz(const std::string& text) {
        return std::string(text.c_str(), text.size() + 1);
    }

    const std::string m_test = "SOFTWARE\\pellan-test-" + std::to_string(GetCurrentProcessId());
    std::vector<std::string> m_created;
};

TEST_F(RegistryFixture, ReadsValuesByTypeAndRefusesTheRest) {
    const std::string dword("\xFF\xA0\x02\x01", 4);
    const std::string fits(1023, 'f');  // 1023 characters and the zero: exactly the buffer
    Create(m_test + "\\Values", m_test,
           {{"Count", REG_DWORD, dword},
            {"PortName", REG_SZ, Sz("COM12")},
            {"Expand", REG_EXPAND_SZ, Sz("%SystemRoot%\\x")},
            {"Empty", REG_SZ, Sz("")},
            {"Unterminated", REG_SZ, "COM7"},  // the reader must stop at the bytes stored
            {"EmbeddedZero", REG_SZ, std::string("ab\0cd", 6)},
            {"Fits", REG_SZ, Sz(fits)},
            {"TooLong", REG_SZ, Sz(std::string(1024, 'l'))},
            {"Binary", REG_BINARY, dword},
            {"Qword", REG_QWORD, dword + dword},
            {"ShortDword", REG_DWORD, dword.substr(0, 2)},
            {"", REG_SZ, Sz("default")}});
    platform::Win32Registry registry;
    const auto key = registry.OpenKey(m_test + "\\Values");
    ASSERT_NE(key, nullptr);
    const struct {
        const char* name;
        std::optional<uint32_t> dword;
        std::optional<std::string> text;
    } rows[] = {
        {"count", 0x0102A0FFu, std::nullopt},  // value names ignore case
        {"PortName", std::nullopt, "COM12"},
        {"Expand", std::nullopt, "%SystemRoot%\\x"},  // read as stored, unexpanded
        {"Empty", std::nullopt, ""},
        {"Unterminated", std::nullopt, "COM7"},
        {"EmbeddedZero", std::nullopt, "ab"},
        {"Fits", std::nullopt, fits},
        {"", std::nullopt, "default"},
        {"Missing", std::nullopt, std::nullopt},
        {"TooLong", std::nullopt, std::nullopt},
        {"Binary", std::nullopt, std::nullopt},
        {"Qword", std::nullopt, std::nullopt},
        {"ShortDword", std::nullopt, std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(key->ReadDword(row.name), row.dword) << row.name;
        EXPECT_EQ(key->ReadString(row.name), row.text) << row.name;
    }
}

TEST_F(RegistryFixture, OpensOnlyExistingKeysWithoutCreatingAnyAndKeepsNoHandle) {
    Create(m_test + "\\Outer\\Inner", m_test, {{"One", REG_DWORD, std::string("\1\0\0\0", 4)}});
    platform::Win32Registry registry;
    EXPECT_NE(registry.OpenKey(m_test + "\\OUTER\\inner"), nullptr) << "paths ignore case";
    EXPECT_EQ(registry.OpenKey(m_test + "\\Outer\\Missing"), nullptr);
    HKEY probe = nullptr;
    EXPECT_NE(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, (m_test + "\\Outer\\Missing").c_str(), 0, KEY_READ,
                            &probe))
        << "a failed open must not have created the key";
    // Polling opens and closes the same keys every second for hours: no handle may leak or
    // be closed twice.
    for (int i = 0; i < 2000; ++i) {
        auto opened = registry.OpenKey(m_test + "\\Outer\\Inner");
        ASSERT_NE(opened, nullptr) << "open " << i;
        ASSERT_EQ(opened->ReadDword("One"), 1u) << "read " << i;
    }
}

}  // namespace
}  // namespace pellan::test
