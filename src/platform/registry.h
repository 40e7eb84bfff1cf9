#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace pellan::platform {

// A key opened under HKEY_LOCAL_MACHINE. Values are read as the Windows registry holds them.
class RegistryKey {
  public:
    virtual ~RegistryKey() = default;
    virtual std::optional<uint32_t> ReadDword(const std::string& name) const = 0;
    virtual std::optional<std::string> ReadString(const std::string& name) const = 0;
};

// Read access to HKEY_LOCAL_MACHINE. Backends: the device root's registry.reg file, udev on
// real Linux hardware, the Win32 registry.
class Registry {
  public:
    virtual ~Registry() = default;
    // `path` is below HKEY_LOCAL_MACHINE with backslashes, e.g. "SYSTEM\\CurrentControlSet\\...".
    // Returns nullptr when the key does not exist.
    virtual std::unique_ptr<RegistryKey> OpenKey(const std::string& path) = 0;
    // Grows whenever the devices behind the keys may have changed (a stick plugged in or pulled
    // out), so that a search can stop waiting early; stays 0 where the backend cannot tell.
    virtual uint64_t Changes() const { return 0; }
};

}  // namespace pellan::platform
