#include "diag/challenge.h"

#include <algorithm>
#include <span>

#include "platform/md5.h"

namespace pellan {

bool ChallengeDigest(const uint8_t challenge[8], uint8_t digest[16]) {
    const std::optional<platform::Md5Digest> md5 =
        platform::Md5(std::span<const uint8_t>(challenge, 8));
    if (!md5) {
        std::fill_n(digest, 16, 0);
        return false;
    }
    std::copy(md5->begin(), md5->end(), digest);
    return true;
}

}  // namespace pellan
