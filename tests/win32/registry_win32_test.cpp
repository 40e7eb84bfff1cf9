#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/registry_win32.h"
#include "platform/serial_win32.h"
#include "platform/stick_drivers.h"
#include "ui/pellan_doc.h"

namespace pellan::test {
namespace {

using platform::Win32Registry;

// Keys written into the machine's own HKEY_LOCAL_MACHINE for one test and removed afterwards.
class RegistryFixture : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const std::string& key : m_created) {
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
        }
    }

    // Creates `key` (below HKEY_LOCAL_MACHINE) and remembers its top for the clean-up.
    HKEY Create(const std::string& key, const std::string& top) {
        if (m_created.empty() || m_created.back() != top) {
            m_created.push_back(top);
        }
        HKEY handle = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &handle, nullptr))
            << key;
        return handle;
    }

    static void Set(HKEY key, const char* name, DWORD type, const void* data, size_t size) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data),
                                                static_cast<DWORD>(size)))
            << name;
    }
    static void Set(HKEY key, const char* name, const std::string& text, DWORD type = REG_SZ) {
        Set(key, name, type, text.c_str(), text.size() + 1);
    }
    static void Set(HKEY key, const char* name, DWORD value) {
        Set(key, name, REG_DWORD, &value, sizeof value);
    }

    const std::string m_test = "SOFTWARE\\pellan-test-" + std::to_string(GetCurrentProcessId());
    std::vector<std::string> m_created;
};

TEST_F(RegistryFixture, ReadsValuesByTypeAndRefusesTheRest) {
    const std::string path = m_test + "\\Values";
    HKEY key = Create(path, m_test);
    ASSERT_NE(key, nullptr);
    const DWORD count = 0x0102A0FF;
    Set(key, "Count", count);
    Set(key, "PortName", "COM12");
    Set(key, "Expand", "%SystemRoot%\\x", REG_EXPAND_SZ);
    Set(key, "Empty", "");
    // Written without its terminating zero: the reader must stop at the bytes stored.
    Set(key, "Unterminated", REG_SZ, "COM7", 4);
    Set(key, "EmbeddedZero", REG_SZ, "ab\0cd", 6);
    const std::string fits(1023, 'f');  // 1023 characters and the zero: exactly the buffer
    Set(key, "Fits", fits);
    Set(key, "TooLong", std::string(1024, 'l'));
    const unsigned char binary[] = {1, 2, 3, 4};
    Set(key, "Binary", REG_BINARY, binary, sizeof binary);
    const unsigned long long qword = 5;
    Set(key, "Qword", REG_QWORD, &qword, sizeof qword);
    Set(key, "ShortDword", REG_DWORD, &count, 2);
    Set(key, "", "default");
    RegCloseKey(key);

    Win32Registry registry;
    const auto opened = registry.OpenKey(path);
    ASSERT_NE(opened, nullptr);

    EXPECT_EQ(opened->ReadDword("Count"), 0x0102A0FFu);
    EXPECT_EQ(opened->ReadDword("count"), 0x0102A0FFu) << "value names ignore case";
    EXPECT_EQ(opened->ReadString("PortName"), "COM12");
    EXPECT_EQ(opened->ReadString("Expand"), "%SystemRoot%\\x") << "read as stored, unexpanded";
    EXPECT_EQ(opened->ReadString("Empty"), "");
    EXPECT_EQ(opened->ReadString("Unterminated"), "COM7");
    EXPECT_EQ(opened->ReadString("EmbeddedZero"), "ab");
    EXPECT_EQ(opened->ReadString("Fits"), fits);
    EXPECT_EQ(opened->ReadString(""), "default");

    const struct {
        const char* name;
        bool dword;
    } refused[] = {
        {"Missing", true}, {"Missing", false},   {"PortName", true},
        {"Count", false},  {"Binary", false},    {"Binary", true},
        {"Qword", true},   {"ShortDword", true}, {"TooLong", false},
    };
    for (const auto& r : refused) {
        if (r.dword) {
            EXPECT_FALSE(opened->ReadDword(r.name).has_value()) << r.name << " as DWORD";
        } else {
            EXPECT_FALSE(opened->ReadString(r.name).has_value()) << r.name << " as text";
        }
    }
}

TEST_F(RegistryFixture, OpensOnlyExistingKeysWithoutCreatingAnyAndKeepsNoHandle) {
    HKEY key = Create(m_test + "\\Outer\\Inner", m_test);
    Set(key, "One", DWORD{1});
    RegCloseKey(key);
    Win32Registry registry;
    EXPECT_NE(registry.OpenKey(m_test + "\\Outer"), nullptr);
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

// The drivers' enumeration keys in the machine's registry lead discovery to the stick's ports.
TEST_F(RegistryFixture, DiscoveryReadsTheDriversEnumeration) {
    const std::string instanceRoot = platform::kDeviceEnumRoot;
    const struct {
        const char* enumKey;
        const char* instance;
        const char* port;
    } drivers[] = {
        {platform::kAtDriverEnumKey, "PELLANTEST\\AT&MI_01\\1", "COM23"},
        {platform::kDiagDriverEnumKey, "PELLANTEST\\DIAG&MI_00\\1", "COM117"},
    };
    // Nothing of a real stick may be in the way (a machine with the drivers installed).
    for (const auto& driver : drivers) {
        HKEY probe = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, driver.enumKey, 0, KEY_READ, &probe) ==
            ERROR_SUCCESS) {
            RegCloseKey(probe);
            GTEST_SKIP() << "the stick's drivers are installed on this machine";
        }
    }
    for (const auto& driver : drivers) {
        const std::string enumKey = driver.enumKey;
        const std::string service =
            enumKey.substr(0, enumKey.size() - std::string("\\Enum").size());
        HKEY key = Create(enumKey, service);
        Set(key, "Count", DWORD{2});
        Set(key, "0", "USB\\older-instance");
        Set(key, "1", driver.instance);
        RegCloseKey(key);
        const std::string instance = instanceRoot + driver.instance;
        key = Create(instance + platform::kDeviceParameters, instanceRoot + "PELLANTEST");
        Set(key, "PortName", driver.port);
        RegCloseKey(key);
    }

    platform::SystemClock clock;
    Win32Registry registry;
    platform::Win32SerialProvider serial;
    platform::Env env;
    env.clock = &clock;
    env.serial = &serial;
    env.registry = &registry;
    CPellanDoc doc(env, ".");
    ASSERT_TRUE(doc.DiscoverPorts(0));
    EXPECT_EQ(doc.Record(0).atPort, 23);
    EXPECT_EQ(doc.Record(0).diagPort, 117);
}

}  // namespace
}  // namespace pellan::test
