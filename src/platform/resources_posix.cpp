#include "platform/resources.h"

namespace pellan::platform {

// An ELF executable has no resource section of its own: everything the program carries arrives
// through the table registered by pellan_embed_firmware.
std::optional<std::span<const std::uint8_t>> FindNativeResource(int /*id*/) {
    return std::nullopt;
}

}  // namespace pellan::platform
