#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pellan {

struct LineContext;

// Blocks sent but not yet acknowledged, oldest first; the window uses at most 5 of the slots.
constexpr size_t kOutstandingSlots = 64;
// Blocks whose acknowledgement is taken as missing, in the order they were found missing.
constexpr size_t kLostSlots = 6000;
using OutstandingList = std::array<uint32_t, kOutstandingSlots>;
using LostList = std::array<uint32_t, kLostSlots>;

// Writes the line's amss.mbn as image type 0x05 in a pipelined stream (window of 5, acks matched
// as they come, missing blocks written again at the end); progress moves from 28 to 60.
bool WriteApplicationImage(LineContext& line);

// Moves the blocks that the link's latest acknowledgements confirm out of the outstanding list.
// An acknowledgement for the entry at position k takes the k older entries as lost (appended to
// the lost list in order) and removes all k + 1. Acknowledgements for blocks not outstanding are
// ignored. lostCount counts every lost block; only the first kLostSlots addresses are stored,
// since a transfer that loses more than that fails without rewriting any.
void MatchStreamAcks(LineContext& line, OutstandingList& outstanding, uint32_t& outstandingCount,
                     LostList& lost, uint32_t& lostCount);

}  // namespace pellan
