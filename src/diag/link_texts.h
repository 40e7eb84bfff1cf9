#pragma once

// Failure sentences that more than one protocol of the phone link forms. Each is kept here once so
// that the diagnostic, DMSS and streaming commands cannot drift apart in their wording. Every
// pattern takes the reason of the failed transaction as its one %s.
namespace pellan::texts {

// ResetPhone (diagnostic) and DloadReset (DMSS).
inline constexpr char kResetFailed[] = "Cannot Reset the Phone, Since %s";
// DloadWrite32 (DMSS) and StreamWrite (streaming).
inline constexpr char kWriteBlockFailed[] = "Write a Block of Data to Memory Failed, Since %s";

}  // namespace pellan::texts
