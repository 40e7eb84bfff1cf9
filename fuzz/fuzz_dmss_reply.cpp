// DecodeFrame with the DMSS reply parser, directly and through each download command.

#include "fuzz_link.h"

using namespace pellan;
using namespace pellan::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    LinkInput in = SplitLinkInput(data, size);
    LinkRig rig(in.reply);
    CPhoneLink& link = rig.link;
    std::vector<uint8_t> block(1024, 0x5A);
    switch (in.choice % 7) {
        case 0:
            DecodeDirect(link, MODE_DLOAD, in.reply);
            break;
        case 1:
            link.DloadWrite32(block.data(), 0x01000000, 1024);
            break;
        case 2:
            link.DloadGo(0x0100, 0x0000);
            break;
        case 3:
            link.DloadGoAlt(0x0100, 0x0000);
            break;
        case 4:
            link.DloadNop();
            break;
        case 5:
            link.DloadReset();
            break;
        default: {
            std::vector<uint8_t> record(212, 0);
            link.DloadGetParams(record.data());
            break;
        }
    }
    return 0;
}
