#include "platform/resources.h"

#include <atomic>

namespace pellan::platform {
namespace {

// Both are set before any line thread exists (static initialisation, program start-up, test set-up)
// and only read afterwards; atomics keep a late override well defined all the same.
constinit std::atomic<const ResourceTable*> g_moduleTable{nullptr};
constinit std::atomic<const ResourceTable*> g_override{nullptr};

std::optional<std::span<const std::uint8_t>> FindInTable(const ResourceTable& table, int id) {
    for (const ResourceEntry& entry : table.entries) {
        if (entry.id == id) {
            return std::span<const std::uint8_t>(entry.data, entry.size);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::span<const std::uint8_t>> FindModuleResource(int id) {
    if (const ResourceTable* table = g_override.load()) {
        return FindInTable(*table, id);
    }
    if (const ResourceTable* table = g_moduleTable.load()) {
        if (auto found = FindInTable(*table, id)) {
            return found;
        }
    }
    return FindNativeResource(id);
}

void RegisterModuleResources(const ResourceTable* table) {
    g_moduleTable.store(table);
}

const ResourceTable* SetResourceOverride(const ResourceTable* table) {
    return g_override.exchange(table);
}

}  // namespace pellan::platform
