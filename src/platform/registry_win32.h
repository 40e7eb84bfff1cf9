#pragma once

#include <memory>
#include <string>

#include "platform/registry.h"

namespace pellan::platform {

// The machine's own registry on Windows (HKEY_LOCAL_MACHINE), for the Windows build. Its
// implementation belongs in registry_win32.cpp, which only a Windows build compiles; the
// interface is fixed here so that the environment set-up and the tests can already name it.
//
// What the implementation must do, so that discovery behaves as on the original system:
// - OpenKey: RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, 0xF003F (KEY_ALL_ACCESS), &key); nullptr
//   unless it returns ERROR_SUCCESS. The key object owns the handle and closes it with
//   RegCloseKey when destroyed, so a failed read never leaks an open key.
// - ReadDword: RegQueryValueExA into a 1024-byte buffer; a value only when the call succeeds and
//   the type is REG_DWORD (4 bytes, little-endian).
// - ReadString: the same buffer; a value only for REG_SZ or REG_EXPAND_SZ, cut at the first zero
//   and never beyond the bytes returned (registry strings need not be terminated). A value that
//   does not fit the buffer (ERROR_MORE_DATA) cannot be read, as before.
// - No value is ever written.
class Win32Registry final : public Registry {
  public:
    std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override;
};

}  // namespace pellan::platform
