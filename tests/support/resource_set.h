#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware_gen.h"
#include "platform/resources.h"

namespace pellan::test {

// Serves a firmware set as the program's resources for as long as it lives (the test programs
// embed none of their own).
class ResourceSet {
  public:
    explicit ResourceSet(std::vector<fwgen::ImageFile> images);
    ~ResourceSet();
    ResourceSet(const ResourceSet&) = delete;
    ResourceSet& operator=(const ResourceSet&) = delete;

    const std::vector<fwgen::ImageFile>& Images() const { return m_images; }
    const std::vector<uint8_t>& BytesOf(const std::string& name) const;

  private:
    std::vector<fwgen::ImageFile> m_images;
    std::vector<platform::ResourceEntry> m_entries;
    platform::ResourceTable m_table;
    const platform::ResourceTable* m_previous = nullptr;
};

// The small synthetic set, made once per test program.
const std::vector<fwgen::ImageFile>& SmallSet();

}  // namespace pellan::test
