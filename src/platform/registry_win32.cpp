#include "platform/registry_win32.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace pellan::platform {
namespace {

// Every value is read into a buffer of this size; a longer value cannot be read at all.
constexpr DWORD kValueBufferBytes = 1024;
// The discovery keys have always been opened with full access; keys a user may only read then
// stay closed to a program that lacks the rights, as before.
constexpr REGSAM kKeyAccess = KEY_ALL_ACCESS;

class Win32RegistryKey final : public RegistryKey {
  public:
    explicit Win32RegistryKey(HKEY key) : m_key(key) {}
    ~Win32RegistryKey() override { RegCloseKey(m_key); }
    Win32RegistryKey(const Win32RegistryKey&) = delete;
    Win32RegistryKey& operator=(const Win32RegistryKey&) = delete;

    std::optional<uint32_t> ReadDword(const std::string& name) const override {
        std::array<BYTE, kValueBufferBytes> buffer{};
        DWORD type = 0;
        DWORD size = 0;
        if (!Query(name, buffer, type, size) || type != REG_DWORD || size != sizeof(uint32_t)) {
            return std::nullopt;
        }
        // REG_DWORD is little-endian, as is every machine this program runs on.
        uint32_t value = 0;
        std::memcpy(&value, buffer.data(), sizeof value);
        return value;
    }

    std::optional<std::string> ReadString(const std::string& name) const override {
        std::array<BYTE, kValueBufferBytes> buffer{};
        DWORD type = 0;
        DWORD size = 0;
        if (!Query(name, buffer, type, size) || (type != REG_SZ && type != REG_EXPAND_SZ)) {
            return std::nullopt;
        }
        // A registry string need not carry its terminating zero: never look past `size`.
        const char* text = reinterpret_cast<const char*>(buffer.data());
        const size_t length = std::find(text, text + size, '\0') - text;
        return std::string(text, length);
    }

  private:
    bool Query(const std::string& name, std::array<BYTE, kValueBufferBytes>& buffer, DWORD& type,
               DWORD& size) const {
        size = static_cast<DWORD>(buffer.size());
        // ERROR_MORE_DATA (a value larger than the buffer) is a failure like any other.
        return RegQueryValueExA(m_key, name.c_str(), nullptr, &type, buffer.data(), &size) ==
                   ERROR_SUCCESS &&
               size <= buffer.size();
    }

    HKEY m_key;
};

}  // namespace

std::unique_ptr<RegistryKey> Win32Registry::OpenKey(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, kKeyAccess, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return std::make_unique<Win32RegistryKey>(key);
}

}  // namespace pellan::platform
