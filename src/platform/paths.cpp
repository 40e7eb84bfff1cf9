#include "platform/paths.h"

#include <string>
#include <system_error>
#include <vector>

namespace pellan::platform {
namespace {

bool HasDriveLetter(std::string_view path) {
    if (path.size() < 2 || path[1] != ':') {
        return false;
    }
    const char c = path[0];
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "." and ".." are resolved the way Windows does on a drive (".." never climbs above the drive's
// root), so a path taken from the registry or the settings file cannot leave the device root.
void AppendComponents(std::filesystem::path& out, std::string_view rest) {
    std::vector<std::string> parts;
    while (!rest.empty()) {
        const size_t cut = rest.find_first_of("\\/");
        const std::string_view part = rest.substr(0, cut);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.emplace_back(part);
        }
        if (cut == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(cut + 1);
    }
    // One relative path, appended once: a component taken alone could read as a root of its
    // own on Windows ("D:" is a drive there) and replace what stands before it.
    std::string joined;
    for (const std::string& part : parts) {
        if (!joined.empty()) {
            joined += static_cast<char>(std::filesystem::path::preferred_separator);
        }
        joined += part;
    }
    if (!joined.empty()) {
        out /= joined;
    }
}

}  // namespace

std::filesystem::path MapDriveOf(std::string_view windowsPath, const std::filesystem::path& root) {
    if (!HasDriveLetter(windowsPath)) {
        return {};
    }
    if (root.empty()) {
        return std::filesystem::path(std::string(windowsPath.substr(0, 2)) + "\\");
    }
    return root / std::string(1, windowsPath[0]);
}

std::filesystem::path MapWindowsPath(std::string_view windowsPath,
                                     const std::filesystem::path& root) {
    std::filesystem::path out;
    if (HasDriveLetter(windowsPath)) {
        out = MapDriveOf(windowsPath, root);
        windowsPath.remove_prefix(2);
    }
    AppendComponents(out, windowsPath);
    return out;
}

std::string JoinFolderText(const std::string& folder, const std::string& name) {
    const char sep = FolderSeparator();
    const bool driveRoot = folder.size() == 3 && folder[1] == ':' && folder[2] == sep;
    const bool posixRoot = folder.size() == 1 && folder[0] == sep;
    if (driveRoot || posixRoot) {
        return folder + name;
    }
    return folder + sep + name;
}

bool FolderExists(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::string tested = path;
    const char last = tested.back();
    if (last == '\\' || last == '/') {
        if (tested.size() == 3 && tested[1] == ':') {
            return true;  // a drive root
        }
        if (tested.size() > 3) {
            tested.pop_back();
        }
    }
    std::error_code ec;
    return std::filesystem::exists(tested, ec);
}

}  // namespace pellan::platform
