// DecodeFrame with the DMSS reply parser, directly and through each download command.

#include "fuzz_link.h"

using namespace pellan;
using namespace pellan::fuzz;
using Bytes = std::vector<uint8_t>;

namespace {

// clang-format off
const LinkCommand kCommands[] = {
    [](CPhoneLink& l, const Bytes& reply) { DecodeDirect(l, MODE_DLOAD, reply); },
    [](CPhoneLink& l, const Bytes&) {
        const Bytes block(1024, 0x5A);
        l.DloadWrite32(block.data(), 0x01000000, 1024);
    },
    [](CPhoneLink& l, const Bytes&) { l.DloadGo(0x0100, 0x0000); },
    [](CPhoneLink& l, const Bytes&) { l.DloadGoAlt(0x0100, 0x0000); },
    [](CPhoneLink& l, const Bytes&) { l.DloadNop(); },
    [](CPhoneLink& l, const Bytes&) { l.DloadReset(); },
    [](CPhoneLink& l, const Bytes&) { Bytes record(212); l.DloadGetParams(record.data()); },
};
// clang-format on

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return RunLinkCommand(data, size, kCommands);
}
