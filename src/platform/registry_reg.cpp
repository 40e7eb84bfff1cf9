#include "platform/registry_reg.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace pellan::platform {
namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kHive = "HKEY_LOCAL_MACHINE";
// A registry export of the stick's keys is a few kilobytes; anything this large is not one.
constexpr std::uintmax_t kMaxFileBytes = 16u * 1024u * 1024u;

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

// True when `prefix` names `path` or one of its parent keys.
bool IsKeyPrefix(const std::string& prefix, const std::string& path) {
    if (prefix.size() > path.size()) {
        return false;
    }
    if (!EqualNoCase(prefix, path.substr(0, prefix.size()))) {
        return false;
    }
    return prefix.size() == path.size() || path[prefix.size()] == '\\';
}

std::string TrimKeyPath(std::string path) {
    while (!path.empty() && path.back() == '\\') {
        path.pop_back();
    }
    return path;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Windows' own registry editor exports UTF-16LE with a byte order mark; accept that beside UTF-8.
std::string DecodeText(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE) {
        std::string out;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            uint32_t unit = static_cast<uint8_t>(bytes[i]) |
                            (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8);
            if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
                const uint32_t low =
                    static_cast<uint8_t>(bytes[i + 2]) |
                    (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 3])) << 8);
                if (low >= 0xDC00 && low < 0xE000) {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    i += 2;
                }
            }
            AppendUtf8(out, unit);
        }
        return out;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return bytes.substr(3);
    }
    return bytes;
}

// Reads a quoted text starting at text[pos] == '"'; leaves pos after the closing quote.
bool ParseQuoted(const std::string& text, size_t& pos, std::string& out) {
    if (pos >= text.size() || text[pos] != '"') {
        return false;
    }
    ++pos;
    out.clear();
    while (pos < text.size()) {
        const char c = text[pos++];
        if (c == '"') {
            return true;
        }
        if (c == '\\') {
            if (pos >= text.size() || (text[pos] != '\\' && text[pos] != '"')) {
                return false;
            }
            out += text[pos++];
        } else {
            out += c;
        }
    }
    return false;  // no closing quote
}

bool ParseDword(const std::string& digits, uint32_t& value) {
    if (digits.empty() || digits.size() > 8) {
        return false;
    }
    value = 0;
    for (const char c : digits) {
        const char l = Lower(c);
        uint32_t d = 0;
        if (l >= '0' && l <= '9') {
            d = static_cast<uint32_t>(l - '0');
        } else if (l >= 'a' && l <= 'f') {
            d = static_cast<uint32_t>(l - 'a' + 10);
        } else {
            return false;
        }
        value = (value << 4) | d;
    }
    return true;
}

bool ParseValueLine(const std::string& line, RegValue& value) {
    size_t pos = 0;
    if (line[0] == '@') {
        value.name.clear();
        pos = 1;
    } else if (!ParseQuoted(line, pos, value.name)) {
        return false;
    }
    if (pos >= line.size() || line[pos] != '=') {
        return false;
    }
    ++pos;
    if (pos < line.size() && line[pos] == '"') {
        value.type = RegValue::Type::String;
        if (!ParseQuoted(line, pos, value.text)) {
            return false;
        }
        return pos == line.size();
    }
    const std::string kDword = "dword:";
    if (line.size() - pos < kDword.size() ||
        !EqualNoCase(line.substr(pos, kDword.size()), kDword)) {
        return false;
    }
    value.type = RegValue::Type::Dword;
    return ParseDword(line.substr(pos + kDword.size()), value.dword);
}

// A key line names a key of HKEY_LOCAL_MACHINE (`path` set, `local` true) or of another hive.
bool ParseKeyLine(const std::string& line, std::string& path, bool& local) {
    if (line.size() < 3 || line.back() != ']' || line[1] == '-') {
        return false;
    }
    const std::string inner = line.substr(1, line.size() - 2);
    if (inner.empty()) {
        return false;
    }
    const std::string hive = kHive;
    local = false;
    if (EqualNoCase(inner, hive)) {
        local = true;
        path.clear();
    } else if (inner.size() > hive.size() && inner[hive.size()] == '\\' &&
               EqualNoCase(inner.substr(0, hive.size()), hive)) {
        local = true;
        path = TrimKeyPath(inner.substr(hive.size() + 1));
    }
    return inner.rfind("HKEY_", 0) == 0 || local;
}

std::string StripLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    return line;
}

RegKeyData* FindOrAddKey(RegFileData& data, const std::string& path) {
    for (auto& key : data.keys) {
        if (EqualNoCase(key.path, path)) {
            return &key;
        }
    }
    data.keys.push_back(RegKeyData{path, {}});
    return &data.keys.back();
}

void SetValue(RegKeyData& key, RegValue value) {
    for (auto& existing : key.values) {
        if (EqualNoCase(existing.name, value.name)) {
            existing = std::move(value);
            return;
        }
    }
    key.values.push_back(std::move(value));
}

std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

class RegFileKey final : public RegistryKey {
  public:
    explicit RegFileKey(std::vector<RegValue> values) : m_values(std::move(values)) {}

    std::optional<uint32_t> ReadDword(const std::string& name) const override {
        const RegValue* value = Find(name);
        if (value == nullptr || value->type != RegValue::Type::Dword) {
            return std::nullopt;
        }
        return value->dword;
    }

    std::optional<std::string> ReadString(const std::string& name) const override {
        const RegValue* value = Find(name);
        if (value == nullptr || value->type != RegValue::Type::String) {
            return std::nullopt;
        }
        return value->text;
    }

  private:
    const RegValue* Find(const std::string& name) const {
        for (const auto& value : m_values) {
            if (EqualNoCase(value.name, name)) {
                return &value;
            }
        }
        return nullptr;
    }

    std::vector<RegValue> m_values;
};

}  // namespace

RegFileData ParseRegText(const std::string& bytes) {
    RegFileData data;
    const std::string text = DecodeText(bytes);
    std::istringstream in(text);
    std::string raw;
    bool headerSeen = false;
    bool inLocalKey = false;
    bool keySeen = false;
    RegKeyData* current = nullptr;
    while (std::getline(in, raw)) {
        const std::string line = StripLineEnd(raw);
        if (line.empty()) {
            continue;
        }
        if (!headerSeen) {
            headerSeen = true;
            if (line != kHeader) {
                data.malformed = true;
            }
            continue;
        }
        if (line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            keySeen = true;
            std::string path;
            if (!ParseKeyLine(line, path, inLocalKey)) {
                data.malformed = true;
                inLocalKey = false;
                current = nullptr;
                continue;
            }
            current = inLocalKey ? FindOrAddKey(data, path) : nullptr;
            continue;
        }
        RegValue value;
        if ((line[0] != '"' && line[0] != '@') || !ParseValueLine(line, value)) {
            data.malformed = true;
            continue;
        }
        if (current != nullptr) {
            SetValue(*current, std::move(value));
        } else if (!keySeen) {
            data.malformed = true;  // a value that belongs to no key
        }                           // else a value of another hive: ignored
    }
    if (!headerSeen) {
        data.malformed = !text.empty();
    }
    if (data.malformed) {
        for (auto& key : data.keys) {
            key.values.clear();
        }
    }
    return data;
}

std::string FormatRegText(const std::vector<RegKeyData>& keys) {
    std::string out = kHeader;
    out += "\r\n";
    for (const auto& key : keys) {
        out += "\r\n[";
        out += kHive;
        if (!key.path.empty()) {
            out += '\\';
            out += key.path;
        }
        out += "]\r\n";
        for (const auto& value : key.values) {
            if (value.name.empty()) {
                out += '@';
            } else {
                out += '"' + Escape(value.name) + '"';
            }
            out += '=';
            if (value.type == RegValue::Type::Dword) {
                char digits[16];
                std::snprintf(digits, sizeof digits, "dword:%08x", value.dword);
                out += digits;
            } else {
                out += '"' + Escape(value.text) + '"';
            }
            out += "\r\n";
        }
    }
    return out;
}

bool WriteRegFile(const std::filesystem::path& file, const std::vector<RegKeyData>& keys) {
    std::filesystem::path temp = file;
    temp += ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        const std::string text = FormatRegText(keys);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, file, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

std::unique_ptr<RegistryKey> RegFileRegistry::OpenKey(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(m_file, ec);
    if (ec) {
        return nullptr;  // missing file: an empty registry
    }
    std::string bytes;
    if (size <= kMaxFileBytes) {
        std::ifstream in(m_file, std::ios::binary);
        if (!in) {
            return nullptr;
        }
        try {
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } catch (const std::exception&) {
            return nullptr;  // the stream library reports some read errors (EISDIR) by throwing
        }
    }
    const RegFileData data = size <= kMaxFileBytes ? ParseRegText(bytes) : RegFileData{{}, true};
    const std::string wanted = TrimKeyPath(path);
    std::vector<RegValue> values;
    bool exists = false;
    for (const auto& key : data.keys) {
        if (EqualNoCase(key.path, wanted)) {
            exists = true;
            for (const auto& value : key.values) {
                values.push_back(value);
            }
        } else if (IsKeyPrefix(wanted, key.path) || wanted.empty()) {
            exists = true;  // a parent of a named key
        }
    }
    if (!exists) {
        return nullptr;
    }
    return std::make_unique<RegFileKey>(std::move(values));
}

}  // namespace pellan::platform
