#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// The program's own resources: the firmware images that travel inside the executable, found by
// their numeric id (type "SOURCEMBN"). On POSIX the build links them in with pellan_embed_firmware
// (an assembler .incbin plus a table that registers itself before main); a Windows build keeps them
// in the module's resource section and looks them up there.
namespace pellan::platform {

inline constexpr const char* kFirmwareResourceType = "SOURCEMBN";

struct ResourceEntry {
    int id = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// A set of resources. The entries and the bytes they point at must outlive every lookup made
// while the table is in use.
struct ResourceTable {
    std::span<const ResourceEntry> entries;
};

// The bytes of resource `id`, valid for the rest of the run (or, for an override, as long as the
// override's table lives). Nothing when neither the override nor the module carries the id.
std::optional<std::span<const std::uint8_t>> FindModuleResource(int id);

// Called once, before main, by the table that pellan_embed_firmware links into a program.
// A program without an embedded set has no module resources on POSIX.
void RegisterModuleResources(const ResourceTable* table);

// Puts `table` in front of the module's resources: while it is set, lookups see only this table
// (tests, a firmware folder chosen on the command line). nullptr goes back to the module's own.
// Returns the table that was in use before, so that a caller can restore it.
const ResourceTable* SetResourceOverride(const ResourceTable* table);

// The platform's own lookup behind the tables (the resource section on Windows; nothing on POSIX,
// where the embedded set comes through RegisterModuleResources).
std::optional<std::span<const std::uint8_t>> FindNativeResource(int id);

}  // namespace pellan::platform
