// DecodeFrame with the streaming reply parser, directly and through each streaming command.

#include "fuzz_link.h"

using namespace pellan;
using namespace pellan::fuzz;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kBlock(1024, 0xA5);

// clang-format off
const LinkCommand kCommands[] = {
    [](CPhoneLink& l, const Bytes& reply) { DecodeDirect(l, MODE_STREAM, reply); },
    [](CPhoneLink& l, const Bytes&) { l.StreamHello(); },
    [](CPhoneLink& l, const Bytes&) { l.StreamSecurityMode(); },
    [](CPhoneLink& l, const Bytes&) { l.StreamPartitionTable(kBlock.data(), 512); },
    [](CPhoneLink& l, const Bytes&) { l.StreamOpenMultiImage(0x0C, kBlock.data(), 64); },
    [](CPhoneLink& l, const Bytes&) { l.StreamClose(); },
    [](CPhoneLink& l, const Bytes&) { l.StreamNop(); },
    [](CPhoneLink& l, const Bytes&) { l.StreamReset(); },
    [](CPhoneLink& l, const Bytes&) { l.StreamWrite(kBlock.data(), 0x400, 1024); },
    [](CPhoneLink& l, const Bytes&) {
        l.StreamWriteNoWait(kBlock.data(), 0x800, 1024);
        l.CollectStreamAcks();
        PELLAN_FUZZ_CHECK(l.m_ackCount <= CPhoneLink::kAckListSize);
    },
};
// clang-format on

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return RunLinkCommand(data, size, kCommands);
}
