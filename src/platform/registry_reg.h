#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace pellan::platform {

// The registry of a device root: a text file in the Windows registry export format
// ("Windows Registry Editor Version 5.00", [HKEY_LOCAL_MACHINE\...] key lines, "Name"="text" and
// "Name"=dword:0000000c value lines). Another process (a simulated stick) rewrites the file while
// the program runs, so it is read afresh at every OpenKey; the writer replaces it atomically.
//
// Reading rules:
// - A missing or unreadable file is an empty registry: no key opens.
// - Key paths and value names compare without regard to ASCII case, as in Windows. A key that is
//   named only as part of a longer key path exists, without values. Sections of the same key
//   are merged; a later value of the same name wins.
// - A malformed file (wrong first line, a line that is neither key, value, comment nor blank, a
//   bad escape or dword) keeps its keys but all of them read as empty: every value is missing.
// - Keys of other hives are ignored. UTF-8 (with or without BOM) and UTF-16LE with BOM are read.

struct RegValue {
    enum class Type { String, Dword };
    std::string name;  // "" for the default value (@)
    Type type = Type::String;
    std::string text;
    uint32_t dword = 0;
};

struct RegKeyData {
    std::string path;  // below HKEY_LOCAL_MACHINE, backslash separated, no trailing backslash
    std::vector<RegValue> values;
};

struct RegFileData {
    std::vector<RegKeyData> keys;  // in file order
    bool malformed = false;
};

// Parses the text of a registry export (see the reading rules above). Never throws on content.
RegFileData ParseRegText(const std::string& bytes);

// Formats `keys` as a registry export that ParseRegText reads back unchanged.
std::string FormatRegText(const std::vector<RegKeyData>& keys);

// Writes `keys` to `file` through a temporary file in the same folder and a rename, so that a
// reader never sees half a file. False when the file cannot be written.
bool WriteRegFile(const std::filesystem::path& file, const std::vector<RegKeyData>& keys);

class RegFileRegistry final : public Registry {
  public:
    explicit RegFileRegistry(std::filesystem::path file) : m_file(std::move(file)) {}
    std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override;
    const std::filesystem::path& File() const { return m_file; }

  private:
    std::filesystem::path m_file;
};

}  // namespace pellan::platform
