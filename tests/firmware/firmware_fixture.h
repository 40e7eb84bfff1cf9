#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "firmware/firmware_set.h"
#include "line/station_firmware.h"
#include "platform/env.h"
#include "support/fake_serial.h"
#include "support/resource_set.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan::test {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// Names of the entries of a folder, sorted.
inline std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A document and view on a virtual clock against a device root in a fresh temporary folder, with
// the small synthetic set as the program's resources.
class FirmwareFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.Path() / "program");
        std::filesystem::create_directories(DeviceRoot());
        env.clock = &clock;
        env.serial = &serial;
        env.deviceRoot = DeviceRoot();
        doc = std::make_unique<CPellanDoc>(env, dir.Path() / "program");
        view = std::make_unique<CPellanView>(*doc, sink);
    }
    std::filesystem::path DeviceRoot() const { return dir.Path() / "root"; }
    // The working folder under the device root.
    std::string Folder() const { return WorkingFolder(DeviceRoot()); }

    TempDir dir;
    platform::VirtualClock clock;
    FakeSerialProvider serial{clock};
    platform::Env env;
    ResourceSet resources{SmallSet()};
    RecordingSink sink;
    std::unique_ptr<CPellanDoc> doc;
    std::unique_ptr<CPellanView> view;
};

}  // namespace pellan::test
