// DecodeFrame with the diagnostic reply parser, directly and through each diagnostic command that
// reads fields out of a reply.

#include "fuzz_link.h"

using namespace pellan;
using namespace pellan::fuzz;
using Bytes = std::vector<uint8_t>;

namespace {

bool AllZero(const Bytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// clang-format off
const LinkCommand kCommands[] = {
    [](CPhoneLink& l, const Bytes& reply) { DecodeDirect(l, MODE_DIAG, reply); },
    [](CPhoneLink& l, const Bytes&) { uint32_t esn = 0; l.ReadEsn(esn); },
    [](CPhoneLink& l, const Bytes&) {
        Bytes o(256);
        PELLAN_FUZZ_CHECK(!l.ReadExtBuildId(o.data()) || o[255] == 0);
    },
    [](CPhoneLink& l, const Bytes&) { Bytes o(45); l.ReadSwVersion(o.data()); },
    [](CPhoneLink& l, const Bytes&) { Bytes o(303); l.ReadVersionSet(o.data()); },
    [](CPhoneLink& l, const Bytes&) {
        Bytes nv(128);
        uint16_t status = 0;
        PELLAN_FUZZ_CHECK(l.ReadNvItem(550, nv.data(), status) || AllZero(nv));  // refused: no data
    },
    [](CPhoneLink& l, const Bytes&) {
        Bytes nv(128);
        uint16_t status = 0;
        l.WriteNvItem(550, nv.data(), status);
    },
    [](CPhoneLink& l, const Bytes&) {
        Bytes digits(15);
        const auto digit = [](uint8_t d) { return d < 16; };
        const bool read = l.ReadImei(digits.data());
        PELLAN_FUZZ_CHECK(!read || std::all_of(digits.begin(), digits.end(), digit));
    },
    [](CPhoneLink& l, const Bytes&) { l.QueryModemStatus(); },
    [](CPhoneLink& l, const Bytes&) { Bytes o(8); l.GetValue8(o.data()); },
    [](CPhoneLink& l, const Bytes&) { l.CheckCommunication(); },
    [](CPhoneLink& l, const Bytes&) { l.SwitchToDownloader(); },
    [](CPhoneLink& l, const Bytes&) { l.SendSpc(); },
    [](CPhoneLink& l, const Bytes&) { Bytes o(128); l.DownloadCheck(o.data(), 1); },
    [](CPhoneLink& l, const Bytes&) { Bytes o(16); l.SetValue16(o.data()); },
    [](CPhoneLink& l, const Bytes&) { l.GoOffline(); },
};
// clang-format on

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return RunLinkCommand(data, size, kCommands);
}
