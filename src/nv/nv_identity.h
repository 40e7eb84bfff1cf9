#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/md5.h"

namespace pellan {

// The 15 IMEI digits of NV item 550's data as text: packed BCD behind a length byte, the first
// digit alone in the high nibble of byte 1, the others two to a byte, low nibble first.
std::string ImeiOfNvData(const uint8_t* data);

// The IMEI an NVM file holds: item 550's data, when the file is well formed and that item was
// read from the stick (status 0). Nothing otherwise.
std::optional<std::string> ImeiInNvmFile(const std::string& path);

// The MD5 digest of a whole file; nothing when it cannot be read.
std::optional<platform::Md5Digest> FileDigest(const std::string& path);

}  // namespace pellan
