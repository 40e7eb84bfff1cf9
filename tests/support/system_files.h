#pragma once

#include <filesystem>
#include <string>

// What the file tests need from the system they run on: the system's own texts for failed file
// operations (the reasons the updater shows) and a way to make writes fail for want of room.
namespace pellan::test {

// The reason given when a file is created in a folder that does not exist.
std::string MissingFolderText();

// The reason given when a write finds the disk full.
std::string DiskFullText();

// Makes `path` a file that takes no byte (every write fails with DiskFullText()). False where the
// system has no such device; the test is then skipped, as it cannot be played there.
bool PlaceAlwaysFullFile(const std::filesystem::path& path);

}  // namespace pellan::test
