#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "firmware_gen.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/resources.h"
#include "support/fake_serial.h"
#include "support/resource_set.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan::test {

using Bytes = std::vector<uint8_t>;

// A document and view on a virtual clock against a device root in a fresh temporary folder, with
// the small synthetic set as the program's resources.
class FirmwareFixture : public ::testing::Test {
  protected:
    FirmwareFixture();
    void SetUp() override;

    std::filesystem::path DeviceRoot() const { return dir.Path() / "root"; }
    std::string Folder() const;                        // the working folder under the device root
    std::vector<std::string> Entries(int line) const;  // the line's log entries

    TempDir dir;
    platform::VirtualClock clock;
    FakeSerialProvider serial{clock};
    platform::Env env;
    ResourceSet resources{SmallSet()};
    RecordingSink sink;
    std::unique_ptr<CPellanDoc> doc;
    std::unique_ptr<CPellanView> view;
};

Bytes ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);
// Names of the entries of a folder, sorted.
std::vector<std::string> FolderEntries(const std::filesystem::path& folder);

}  // namespace pellan::test
