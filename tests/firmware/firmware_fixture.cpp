#include "firmware/firmware_fixture.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "firmware/firmware_set.h"

namespace pellan::test {

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

std::vector<std::string> FirmwareFixture::Entries(int line) const {
    std::vector<std::string> texts;
    for (const RecordingSink::Entry& entry : sink.Entries()) {
        if (entry.line == line) {
            texts.push_back(entry.text);
        }
    }
    return texts;
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
