#include <openssl/evp.h>

#include "platform/md5.h"

namespace pellan::platform {

std::optional<Md5Digest> Md5(std::span<const std::uint8_t> data) {
    Md5Digest digest{};
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &len, EVP_md5(), nullptr) != 1 ||
        len != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

}  // namespace pellan::platform
