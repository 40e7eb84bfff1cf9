// DecodeFrame with the streaming reply parser, directly and through each streaming command.

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
    std::vector<uint8_t> block(1024, 0xA5);
    switch (in.choice % 10) {
        case 0:
            DecodeDirect(link, MODE_STREAM, in.reply);
            break;
        case 1:
            link.StreamHello();
            break;
        case 2:
            link.StreamSecurityMode();
            break;
        case 3:
            link.StreamPartitionTable(block.data(), 512);
            break;
        case 4:
            link.StreamOpenMultiImage(0x0C, block.data(), 64);
            break;
        case 5:
            link.StreamClose();
            break;
        case 6:
            link.StreamNop();
            break;
        case 7:
            link.StreamReset();
            break;
        case 8:
            link.StreamWrite(block.data(), 0x400, 1024);
            break;
        default:
            link.StreamWriteNoWait(block.data(), 0x800, 1024);
            link.CollectStreamAcks();
            PELLAN_FUZZ_CHECK(link.m_ackCount <= CPhoneLink::kAckListSize);
            break;
    }
    return 0;
}
