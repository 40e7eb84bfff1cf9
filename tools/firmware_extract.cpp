// pellan-firmware-extract: writes the program's embedded firmware set into the working folder,
// the firmware part of the programs' start-up without the rest of them. Prints the folder.
//
//   pellan-firmware-extract [--device-root DIR]
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "firmware/firmware_set.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: pellan-firmware-extract [--device-root DIR]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path deviceRoot;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--device-root") == 0 && i + 1 < argc) {
            deviceRoot = argv[++i];
        } else {
            return Usage();
        }
    }
    if (deviceRoot.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(pellan::WorkingFolderLevels(deviceRoot).front(), ec);
    }
    for (const std::string& level : pellan::WorkingFolderLevels(deviceRoot)) {
        if (!pellan::EnsureFolder(level)) {
            std::fprintf(stderr, "source file path error!\n");
            return 1;
        }
    }
    const std::string folder = pellan::WorkingFolder(deviceRoot);
    int failures = 0;
    for (const pellan::FirmwareFile& file : pellan::kFirmwareFiles) {
        if (!pellan::ExtractFirmwareFile(file.resourceId, folder, file.name)) {
            std::fprintf(stderr, "not written: %s\n", file.name);
            ++failures;
        }
    }
    std::printf("%s\n", folder.c_str());
    return failures == 0 ? 0 : 1;
}
