#include <windows.h>

#include "platform/resources.h"

namespace pellan::platform {

std::optional<std::span<const std::uint8_t>> FindNativeResource(int id) {
    // Resource ids are 16-bit; anything else would be read as a pointer to a name.
    if (id < 1 || id > 0xFFFF) {
        return std::nullopt;
    }
    // The program's own module, any language: the firmware set is stored under one language
    // only, and the lookup must not depend on the user's.
    const HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), kFirmwareResourceType);
    if (found == nullptr) {
        return std::nullopt;
    }
    const HGLOBAL loaded = LoadResource(nullptr, found);
    const DWORD size = SizeofResource(nullptr, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        return std::nullopt;
    }
    // A module's resources stay mapped for as long as the module is loaded: the whole run.
    return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), size);
}

}  // namespace pellan::platform
