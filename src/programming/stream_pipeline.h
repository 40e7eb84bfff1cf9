#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "firmware/image_file.h"
#include "programming/app_image.h"

namespace pellan {

struct LineContext;

// What differs between the pipelined images (application and EFS) while their blocks go out.
struct PipelineProfile {
    int progressStart = 0;
    uint32_t progressDivisor = 1;  // S = (L / 1024) / divisor blocks per progress step
    uint32_t windowTimeoutMs = 0;  // a full window that frees no place for this long fails
    uint32_t collectPauseMs = 0;   // the longest pause before each collection of a full window
    bool showFirstSendFailure = false;
    const char* stoppedText = "";
    const char* stalledText = "";
};

// The storage of one pipelined transfer: fixed, taken once per image, never per block.
struct PipelineState {
    OutstandingList outstanding{};
    uint32_t outstandingCount = 0;
    LostList lost{};
    uint32_t lostCount = 0;
    std::array<uint8_t, 1024> buffer{};
};

// Sends every block of `file` without waiting, keeping at most five outstanding, then drains the
// acknowledgements (three passes of 150 ms) and moves what is still outstanding to the lost list.
// False after a status line of its own (send failure, user stop, stalled window).
bool SendPipelined(LineContext& line, ImageFile& file, int64_t length,
                   const PipelineProfile& profile, PipelineState& state);

// Writes every lost block again with a waiting stream write (one retry after 2000 ms).
// `beforeBlock` runs before each block's first write. False after showing the link's error.
bool RewriteLost(LineContext& line, ImageFile& file, int64_t length, PipelineState& state,
                 const std::function<void(uint32_t address)>& beforeBlock);

}  // namespace pellan
