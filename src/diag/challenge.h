#pragma once

#include <cstdint>

namespace pellan {

// The answer to the stick's 8-byte challenge (GetValue8): the MD5 digest (RFC 1321) of exactly
// those eight bytes, sent back with SetValue16. False only when the digest library fails, in
// which case `digest` is zeroed.
bool ChallengeDigest(const uint8_t challenge[8], uint8_t digest[16]);

}  // namespace pellan
