// The scan of piled-up streaming acknowledgements (CollectStreamAcks -> ScanStreamReplies): the
// bytes arrive in several reads, so acknowledgements held back from one scan meet the next.

#include "fuzz_link.h"

using namespace pellan;
using namespace pellan::fuzz;

namespace {

// With bit 0 of the first byte set, the rest is a list of [length][body] chunks, each sent as a
// correctly framed reply; otherwise the rest arrives as it is.
std::vector<uint8_t> Replies(const uint8_t* data, size_t size) {
    if ((data[0] & 1) == 0) {
        return {data + 1, data + size};
    }
    std::vector<uint8_t> out;
    size_t at = 1;
    while (at < size) {
        const size_t len = std::min<size_t>(data[at] % 16, size - at - 1);
        const auto frame = frame::EncodeFrame(data + at + 1, len, true);
        out.insert(out.end(), frame.begin(), frame.end());
        at += 1 + len;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::vector<uint8_t> replies = Replies(data, size);
    // Each acknowledgement needs a closing flag of its own.
    const size_t frames = static_cast<size_t>(std::count(replies.begin(), replies.end(), 0x7E));
    LinkRig rig(replies, false);
    CPhoneLink& link = rig.link;
    link.m_mode = MODE_STREAM;
    // Every acknowledgement scanned is handed out once: the count handed out never exceeds the
    // frames that arrived, and none is dropped while the list is full.
    size_t handedOut = 0;
    for (int round = 0; round < 64; ++round) {
        const bool fresh = link.m_port.BytesWaiting() > 0 || !link.m_ackPending.empty();
        if (!fresh) {
            break;
        }
        if (!link.CollectStreamAcks()) {
            break;
        }
        PELLAN_FUZZ_CHECK(link.m_ackCount <= CPhoneLink::kAckListSize);
        PELLAN_FUZZ_CHECK(link.m_ackPending.empty() || link.m_ackCount == CPhoneLink::kAckListSize);
        handedOut += link.m_ackCount;
    }
    PELLAN_FUZZ_CHECK(handedOut <= frames);
    return 0;
}
