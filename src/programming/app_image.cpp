#include "programming/app_image.h"

#include <algorithm>
#include <memory>

#include "diag/line_context.h"
#include "diag/phone_link.h"
#include "programming/stream_pipeline.h"

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

void MatchStreamAcks(LineContext& line, OutstandingList& outstanding, uint32_t& outstandingCount,
                     LostList& lost, uint32_t& lostCount) {
    const CPhoneLink& link = line.Link();
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

bool WriteApplicationImage(LineContext& line) {
    CPhoneLink& link = line.Link();
    line.account.BeginPhase(JobPhase::APPLICATION);
    bool opened = false;
    for (int attempt = 0; attempt < kOpenTries && !opened; ++attempt) {
        if (attempt > 0) {
            line.clock.SleepMs(kOpenRetryWaitMs);
        }
        opened = link.StreamOpenMultiImage(kApplicationImage, nullptr, 0);
    }
    if (!opened) {
        line.report.ShowMessage("OpenMulti mode fail!!", 1);
        return false;
    }
    auto state = std::make_unique<PipelineState>();
    ImageFile file;
    if (!file.Open(GetField(line.record.amssPath))) {
        line.report.ShowMessage("open amss file fail!", 1);
        return false;
    }
    const int64_t length = file.Length();
    if (length < 0) {
        line.report.ShowMessage("open amss file fail!", 1);
        return false;
    }
    line.account.BeginPhase(JobPhase::APPLICATION, {}, static_cast<uint64_t>(length), "bytes");
    line.report.SetProgress(kProgressStart);
    if (!SendPipelined(line, file, length, kProfile, *state)) {
        return false;
    }
    const uint32_t lost = state->lostCount;
    if (lost > kLostSlots) {
        // Without a line of its own the log would not say why the image failed.
        line.report.ShowMessage("too many blocks no response, write fail!", 1);
        return false;
    }
    if (lost >= kPauseFromLost && lost <= kPauseToLost) {
        line.clock.SleepMs(kLostPauseMs);
    }
    if (lost > 0 && !RewriteLost(line, file, length, *state, nullptr)) {
        return false;
    }
    file.Close();
    if (!link.StreamClose()) {
        line.report.ShowMessage("ClosePacket error", 1);
        return false;
    }
    line.report.SetProgress(kProgressEnd);
    return true;
}

}  // namespace pellan
