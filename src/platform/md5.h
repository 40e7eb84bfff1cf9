#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace pellan::platform {

using Md5Digest = std::array<std::uint8_t, 16>;

// The MD5 digest (RFC 1321) of `data`, computed by the system's crypto library (OpenSSL's
// libcrypto on POSIX, CNG on Windows). Nothing only when that library fails.
std::optional<Md5Digest> Md5(std::span<const std::uint8_t> data);

}  // namespace pellan::platform
