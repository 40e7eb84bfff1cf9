#include "programming/stream_pipeline.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "diag/line_context.h"
#include "diag/phone_link.h"

namespace pellan {
namespace {

constexpr uint32_t kBlock = 1024;
constexpr uint32_t kWindow = 5;
constexpr int kDrainPasses = 3;
constexpr uint32_t kDrainWaitMs = 150;
constexpr uint32_t kRetryWaitMs = 2000;
// While a full window waits for acknowledgements, the port is waited on for at most this long
// per look: the thread sleeps in the port instead of spinning, yet sees an acknowledgement as
// soon as it arrives, so the window keeps its pace and its time limit.
constexpr uint32_t kWindowWaitMs = 10;

// One look of a full window: waits at most `ms` for the next acknowledgement. A port that cannot
// wait (closed, or the stick gone: a hung-up port answers at once) would turn the window loop into
// a spin until its time limit, and on a clock that only moves when slept it would never reach that
// limit; the rest of the look is slept on the line's clock instead.
void AwaitAck(platform::Clock& clock, CPhoneLink& link, uint32_t ms) {
    if (!link.m_ackPending.empty()) {
        return;  // the last scan already holds acknowledgements to match
    }
    const uint32_t start = clock.TickMs();
    if (link.m_port.WaitForInput(ms)) {
        return;
    }
    const uint32_t spent = clock.TickMs() - start;
    if (spent < ms) {
        clock.SleepMs(ms - spent);
    }
}

void AppendLost(PipelineState& state, uint32_t address) {
    if (state.lostCount < kLostSlots) {
        state.lost[state.lostCount] = address;
    }
    ++state.lostCount;
}

bool SendBlock(LineContext& line, CPhoneLink& link, const PipelineProfile& profile,
               uint32_t address, uint32_t n, PipelineState& state) {
    if (link.StreamWriteNoWait(state.buffer.data(), address, n)) {
        return true;
    }
    if (profile.showFirstSendFailure) {
        line.report.ShowMessage(link.m_lastError, 1);
    }
    line.clock.SleepMs(kRetryWaitMs);
    if (link.StreamWriteNoWait(state.buffer.data(), address, n)) {
        return true;
    }
    line.report.ShowMessage(link.m_lastError, 1);
    return false;
}

void Collect(LineContext& line, CPhoneLink& link, PipelineState& state) {
    // The scan's result is not looked at: an error or a corrupt reply only ends that scan, and
    // the blocks whose acknowledgements it hid end up lost and are written again.
    link.CollectStreamAcks();
    MatchStreamAcks(line, state.outstanding, state.outstandingCount, state.lost, state.lostCount);
}

}  // namespace

bool SendPipelined(LineContext& line, ImageFile& file, int64_t length,
                   const PipelineProfile& profile, PipelineState& state) {
    CPhoneLink& link = line.Link();
    platform::Clock& clock = line.clock;
    const int64_t step = (length / kBlock) / profile.progressDivisor;
    int64_t counter = 0;
    int progress = profile.progressStart;
    int64_t p = 0;
    for (;;) {
        const int64_t remaining = length - p;
        const bool last = remaining <= kBlock;
        const auto n = static_cast<uint32_t>(std::min<int64_t>(kBlock, remaining));
        if (!file.Read(state.buffer.data(), n)) {
            line.report.ShowMessage("read file fail!", 1);
            return false;
        }
        const auto address = static_cast<uint32_t>(p);
        if (!SendBlock(line, link, profile, address, n, state)) {
            return false;
        }
        p += n;
        line.account.Progress(static_cast<uint64_t>(p));
        ++counter;
        if (counter >= step) {
            line.report.SetProgress(++progress);
            counter = 0;
            // A stop request is looked at only here, at a progress step.
            if (line.runtime.running.load() == 0) {
                line.report.ShowMessage(profile.stoppedText, 1);
                return false;
            }
        }
        state.outstanding[state.outstandingCount++] = address;
        const uint32_t sentAt = clock.TickMs();
        while (state.outstandingCount >= kWindow) {
            // The pause before a collection is a bounded wait for input: it ends early when an
            // acknowledgement arrives, and never lasts longer than the pause it stands for.
            AwaitAck(clock, link,
                     profile.collectPauseMs > 0 ? profile.collectPauseMs : kWindowWaitMs);
            Collect(line, link, state);
            if (clock.TickMs() - sentAt >= profile.windowTimeoutMs) {
                line.report.ShowMessage(profile.stalledText, 1);
                return false;
            }
        }
        if (last) {
            break;
        }
    }
    for (int pass = 0; pass < kDrainPasses && state.outstandingCount > 0; ++pass) {
        clock.SleepMs(kDrainWaitMs);
        Collect(line, link, state);
    }
    for (uint32_t i = 0; i < state.outstandingCount; ++i) {
        AppendLost(state, state.outstanding[i]);
    }
    state.outstandingCount = 0;
    return true;
}

bool RewriteLost(LineContext& line, ImageFile& file, int64_t length, PipelineState& state,
                 const std::function<void(uint32_t address)>& beforeBlock) {
    CPhoneLink& link = line.Link();
    const uint32_t count = std::min<uint32_t>(state.lostCount, kLostSlots);
    std::string why = count == 1 ? "no acknowledgement came for the block at"
                                 : "no acknowledgement came for the blocks at";
    for (uint32_t i = 0; i < count; ++i) {
        char address[16];
        std::snprintf(address, sizeof address, "%s 0x%X", i == 0 ? "" : ",", state.lost[i]);
        why += address;
    }
    line.account.Rewrite(count, why);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t address = state.lost[i];
        const auto n = static_cast<uint32_t>(std::min<int64_t>(kBlock, length - address));
        if (!file.Seek(address) || !file.Read(state.buffer.data(), n)) {
            line.report.ShowMessage("read file fail!", 1);
            return false;
        }
        if (beforeBlock) {
            beforeBlock(address);
        }
        ++link.m_blocksRewritten;
        if (link.StreamWrite(state.buffer.data(), address, n)) {
            continue;
        }
        line.clock.SleepMs(kRetryWaitMs);
        if (!link.StreamWrite(state.buffer.data(), address, n)) {
            line.report.ShowMessage(link.m_lastError, 1);
            return false;
        }
    }
    return true;
}

}  // namespace pellan
