#include "firmware/firmware_fixture.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "firmware/firmware_set.h"

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

const Bytes& ResourceSet::BytesOf(const std::string& name) const {
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

void RecordingSink::MessageBox(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_boxes.push_back(text);
}

void RecordingSink::LineLogAppended(int line, const std::string& entry) {
    std::lock_guard lock(m_mutex);
    m_entries.emplace_back(line, entry);
}

std::vector<std::string> RecordingSink::Boxes() const {
    std::lock_guard lock(m_mutex);
    return m_boxes;
}

std::vector<std::string> RecordingSink::Entries(int line) const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& [l, entry] : m_entries) {
        if (l == line) {
            out.push_back(entry);
        }
    }
    return out;
}

FirmwareFixture::FirmwareFixture() {
    env.clock = &clock;
    env.serial = &serial;
}

void FirmwareFixture::SetUp() {
    std::filesystem::create_directories(dir.Path() / "program");
    std::filesystem::create_directories(DeviceRoot());
    env.deviceRoot = DeviceRoot();
    doc = std::make_unique<CPellanDoc>(env, dir.Path() / "program");
    view = std::make_unique<CPellanView>(*doc, sink);
}

std::string FirmwareFixture::Folder() const {
    return WorkingFolder(DeviceRoot());
}

Bytes ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace pellan::test
