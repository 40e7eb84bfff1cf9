// pellan-mkfirmware: writes the synthetic firmware set (the eight images) into a folder.
#include <cstdio>
#include <cstring>
#include <string>

#include "firmware_gen.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: pellan-mkfirmware [--small] FOLDER\n"
                 "Writes the synthetic firmware set (amss.mbn, armprg.bin, dbl.mbn, efs.mbn,\n"
                 "fsbl.mbn, nandprgcombined.mbn, osbl.mbn, partition.mbn) into FOLDER.\n"
                 "  --small  the same layouts at a few hundred kilobytes, for tests\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    pellan::fwgen::SetSize size = pellan::fwgen::SetSize::Shipped;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--small") == 0) {
            size = pellan::fwgen::SetSize::Small;
        } else if (argv[i][0] == '-' || !folder.empty()) {
            return Usage();
        } else {
            folder = argv[i];
        }
    }
    if (folder.empty()) {
        return Usage();
    }
    std::string error;
    if (!pellan::fwgen::WriteFirmwareSet(pellan::fwgen::MakeFirmwareSet(size), folder, error)) {
        std::fprintf(stderr, "pellan-mkfirmware: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
