#include "programming/app_image.h"

#include <algorithm>
#include <memory>

#include "diag/phone_link.h"
#include "programming/stream_pipeline.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

namespace pellan {
namespace {

constexpr uint8_t kApplicationImage = 0x05;
constexpr int kOpenTries = 3;
constexpr uint32_t kOpenRetryWaitMs = 1500;
constexpr int kProgressStart = 28;
constexpr int kProgressEnd = 60;
// Between these many lost blocks the programmer is given time to settle before the rewrite.
constexpr uint32_t kPauseFromLost = 65;
constexpr uint32_t kPauseToLost = 1023;
constexpr uint32_t kLostPauseMs = 2000;

const PipelineProfile kProfile = {kProgressStart,
                                  32,
                                  20000,
                                  0,
                                  false,
                                  "downloading is stopped by manual!",
                                  "no return value, write fail!"};

}  // namespace

void MatchStreamAcks(CPellanView& view, int line, OutstandingList& outstanding,
                     uint32_t& outstandingCount, LostList& lost, uint32_t& lostCount) {
    const CPhoneLink& link = view.Doc().Link(line);
    for (uint32_t i = 0; i < link.m_ackCount; ++i) {
        const uint32_t acked = link.m_ackList[i];
        uint32_t k = 0;
        while (k < outstandingCount && outstanding[k] != acked) {
            ++k;
        }
        if (k == outstandingCount) {
            continue;  // not (or no longer) outstanding
        }
        for (uint32_t j = 0; j < k; ++j) {
            if (lostCount < kLostSlots) {
                lost[lostCount] = outstanding[j];
            }
            ++lostCount;
        }
        std::copy(outstanding.begin() + k + 1, outstanding.begin() + outstandingCount,
                  outstanding.begin());
        outstandingCount -= k + 1;
    }
}

bool WriteApplicationImage(CPellanView& view, int line) {
    CPellanDoc& doc = view.Doc();
    CPhoneLink& link = doc.Link(line);
    view.Account(line).BeginPhase(JobPhase::APPLICATION);
    bool opened = false;
    for (int attempt = 0; attempt < kOpenTries && !opened; ++attempt) {
        if (attempt > 0) {
            doc.Clock().SleepMs(kOpenRetryWaitMs);
        }
        opened = link.StreamOpenMultiImage(kApplicationImage, nullptr, 0);
    }
    if (!opened) {
        view.ShowLineMessage(line, "OpenMulti mode fail!!", 1);
        return false;
    }
    auto state = std::make_unique<PipelineState>();
    ImageFile file;
    if (!file.Open(GetField(doc.Record(line).amssPath))) {
        view.ShowLineMessage(line, "open amss file fail!", 1);
        return false;
    }
    const int64_t length = file.Length();
    if (length < 0) {
        view.ShowLineMessage(line, "open amss file fail!", 1);
        return false;
    }
    view.Account(line).BeginPhase(JobPhase::APPLICATION, {}, static_cast<uint64_t>(length),
                                  "bytes");
    view.SetLineProgress(line, kProgressStart);
    if (!SendPipelined(view, line, file, length, kProfile, *state)) {
        return false;
    }
    const uint32_t lost = state->lostCount;
    if (lost > kLostSlots) {
        // Without a line of its own the log would not say why the image failed.
        view.ShowLineMessage(line, "too many blocks no response, write fail!", 1);
        return false;
    }
    if (lost >= kPauseFromLost && lost <= kPauseToLost) {
        doc.Clock().SleepMs(kLostPauseMs);
    }
    if (lost > 0 && !RewriteLost(view, line, file, length, *state, nullptr)) {
        return false;
    }
    file.Close();
    if (!link.StreamClose()) {
        view.ShowLineMessage(line, "ClosePacket error", 1);
        return false;
    }
    view.SetLineProgress(line, kProgressEnd);
    return true;
}

}  // namespace pellan
