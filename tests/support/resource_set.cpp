#include "support/resource_set.h"

#include <stdexcept>

namespace pellan::test {

ResourceSet::ResourceSet(std::vector<fwgen::ImageFile> images) : m_images(std::move(images)) {
    for (const fwgen::ImageFile& image : m_images) {
        m_entries.push_back({image.resourceId, image.bytes.data(), image.bytes.size()});
    }
    m_table.entries = m_entries;
    m_previous = platform::SetResourceOverride(&m_table);
}

ResourceSet::~ResourceSet() {
    platform::SetResourceOverride(m_previous);
}

const std::vector<uint8_t>& ResourceSet::BytesOf(const std::string& name) const {
    for (const fwgen::ImageFile& image : m_images) {
        if (image.name == name) {
            return image.bytes;
        }
    }
    throw std::out_of_range("no image " + name);
}

const std::vector<fwgen::ImageFile>& SmallSet() {
    static const std::vector<fwgen::ImageFile> set = fwgen::MakeFirmwareSet(fwgen::SetSize::Small);
    return set;
}

}  // namespace pellan::test
