#include "diag/challenge.h"

#include <openssl/evp.h>

#include <algorithm>

namespace pellan {

bool ChallengeDigest(const uint8_t challenge[8], uint8_t digest[16]) {
    unsigned int len = 0;
    if (EVP_Digest(challenge, 8, digest, &len, EVP_md5(), nullptr) != 1 || len != 16) {
        std::fill_n(digest, 16, 0);
        return false;
    }
    return true;
}

}  // namespace pellan
