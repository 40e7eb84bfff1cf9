// DecodeFrame with the diagnostic reply parser, directly and through each diagnostic command that
// reads fields out of a reply.

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
    // Outputs on the heap at their exact sizes, so that a write past one is reported.
    std::vector<uint8_t> out(303, 0);
    std::vector<uint8_t> nv(128, 0);
    uint16_t status = 0;
    switch (in.choice % 16) {
        case 0:
            DecodeDirect(link, MODE_DIAG, in.reply);
            break;
        case 1: {
            uint32_t esn = 0;
            link.ReadEsn(esn);
            break;
        }
        case 2:
            out.resize(256);
            if (link.ReadExtBuildId(out.data())) {
                PELLAN_FUZZ_CHECK(out[255] == 0);
            }
            break;
        case 3:
            out.resize(45);
            link.ReadSwVersion(out.data());
            break;
        case 4:
            link.ReadVersionSet(out.data());
            break;
        case 5:
            if (!link.ReadNvItem(550, nv.data(), status)) {
                // A refused read hands out no data.
                PELLAN_FUZZ_CHECK(
                    std::all_of(nv.begin(), nv.end(), [](uint8_t b) { return b == 0; }));
            }
            break;
        case 6:
            link.WriteNvItem(550, nv.data(), status);
            break;
        case 7: {
            uint8_t digits[15];
            if (link.ReadImei(digits)) {
                PELLAN_FUZZ_CHECK(
                    std::all_of(digits, digits + 15, [](uint8_t d) { return d < 16; }));
            }
            break;
        }
        case 8:
            link.QueryModemStatus();
            break;
        case 9:
            out.resize(8);
            link.GetValue8(out.data());
            break;
        case 10:
            link.CheckCommunication();
            break;
        case 11:
            link.SwitchToDownloader();
            break;
        case 12:
            link.SendSpc();
            break;
        case 13:
            out.resize(128);
            link.DownloadCheck(out.data(), 1);
            break;
        case 14:
            out.resize(16);
            link.SetValue16(out.data());
            break;
        default:
            link.GoOffline();
            break;
    }
    return 0;
}
