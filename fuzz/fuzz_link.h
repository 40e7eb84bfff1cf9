#pragma once

// Helpers of the link targets: the first input byte chooses how the rest reaches the link (raw as
// received, or as the body of a correctly framed reply, so that the parsers behind the CRC check
// are reached), and which command or entry point consumes it.

#include <algorithm>
#include <cstring>

#include "diag/frame_codec.h"
#include "diag/phone_link.h"
#include "fuzz_support.h"
#include "platform/clock.h"

namespace pellan::fuzz {

struct LinkInput {
    uint8_t choice = 0;  // what the target does with the reply
    std::vector<uint8_t> reply;
};

// Bit 0: frame the body (CRC and stuffing right); bit 1: with a leading flag; bits 2..7: choice.
inline LinkInput SplitLinkInput(const uint8_t* data, size_t size) {
    LinkInput in;
    if (size == 0) {
        return in;
    }
    const uint8_t sel = data[0];
    in.choice = static_cast<uint8_t>(sel >> 2);
    const uint8_t* body = data + 1;
    const size_t len = size - 1;
    if (sel & 1) {
        in.reply = frame::EncodeFrame(body, len, (sel & 2) != 0);
    } else {
        in.reply.assign(body, body + len);
    }
    return in;
}

// The link's receive path without the serial port: the reply as if ReceiveReply had read it.
inline bool DecodeDirect(CPhoneLink& link, LinkMode mode, const std::vector<uint8_t>& reply) {
    link.ClearBuffers();
    link.m_mode = mode;
    const size_t n = std::min(reply.size(), CPhoneLink::kRecvLimit);
    std::copy_n(reply.begin(), n, link.m_recvBuf.begin());
    link.m_recvLen = static_cast<uint16_t>(n);
    const bool ok = link.DecodeFrame();
    PELLAN_FUZZ_CHECK(link.m_recvLen <= CPhoneLink::kRecvLimit + 1);
    return ok;
}

// A link on a port that answers each write with `reply`.
struct LinkRig {
    explicit LinkRig(std::vector<uint8_t> reply, bool answerOnWrite = true)
        : provider(std::move(reply), answerOnWrite), link(provider, clock) {
        PELLAN_FUZZ_CHECK(link.m_port.Open(1, 115200, 8, 1));
    }
    ScriptedProvider provider;
    platform::VirtualClock clock;
    CPhoneLink link;
};

// What a link target does with one reply; outputs go on the heap at their exact sizes, so that a
// write past one is reported.
using LinkCommand = void (*)(CPhoneLink& link, const std::vector<uint8_t>& reply);

// The input's choice picks one of `commands`, run on a link whose port answers with the reply.
template <size_t N>
int RunLinkCommand(const uint8_t* data, size_t size, const LinkCommand (&commands)[N]) {
    if (size != 0) {
        const LinkInput in = SplitLinkInput(data, size);
        LinkRig rig(in.reply);
        commands[in.choice % N](rig.link, in.reply);
    }
    return 0;
}

}  // namespace pellan::fuzz
