#include "platform/program_folders.h"

namespace pellan::platform {

namespace {

std::optional<std::filesystem::path> AbsoluteVariable(
    const std::function<std::optional<std::string>(const char*)>& lookup, const char* name) {
    const std::optional<std::string> value = lookup(name);
    if (!value || value->empty() || value->front() != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(*value);
}

}  // namespace

ProgramFolders ChooseProgramFolders(
    const std::filesystem::path& programFolder, bool programFolderWritable,
    const std::function<std::optional<std::string>(const char*)>& lookup,
    const std::filesystem::path& fallbackHome) {
    if (programFolderWritable) {
        return {programFolder, programFolder, programFolder, true};
    }
    const std::filesystem::path home = AbsoluteVariable(lookup, "HOME").value_or(fallbackHome);
    auto base = [&](const char* variable, const std::filesystem::path& underHome) {
        return AbsoluteVariable(lookup, variable).value_or(home / underHome) / "pellan";
    };
    ProgramFolders folders;
    folders.config = base("XDG_CONFIG_HOME", ".config");
    folders.data = base("XDG_DATA_HOME", std::filesystem::path(".local") / "share");
    folders.state = base("XDG_STATE_HOME", std::filesystem::path(".local") / "state");
    folders.besideProgram = false;
    return folders;
}

}  // namespace pellan::platform
