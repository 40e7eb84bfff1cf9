#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pellan::platform {

using Md5Digest = std::array<std::uint8_t, 16>;

// The MD5 digest (RFC 1321) of `data`, computed by the system's crypto library (OpenSSL's
// libcrypto on POSIX, CNG on Windows). Nothing only when that library fails.
std::optional<Md5Digest> Md5(std::span<const std::uint8_t> data);

// The digest as 32 lower-case hex digits.
inline std::string DigestHex(const Md5Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

}  // namespace pellan::platform
