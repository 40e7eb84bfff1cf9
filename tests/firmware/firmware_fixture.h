#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "firmware_gen.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/resources.h"
#include "support/fake_serial.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/view_sink.h"

namespace pellan::test {

using Bytes = std::vector<uint8_t>;

// Serves a firmware set as the program's resources for as long as it lives (the test binaries
// embed none of their own).
class ResourceSet {
  public:
    explicit ResourceSet(std::vector<fwgen::ImageFile> images);
    ~ResourceSet();
    ResourceSet(const ResourceSet&) = delete;
    ResourceSet& operator=(const ResourceSet&) = delete;

    const std::vector<fwgen::ImageFile>& Images() const { return m_images; }
    const Bytes& BytesOf(const std::string& name) const;

  private:
    std::vector<fwgen::ImageFile> m_images;
    std::vector<platform::ResourceEntry> m_entries;
    platform::ResourceTable m_table;
    const platform::ResourceTable* m_previous = nullptr;
};

// The small synthetic set, made once per test program.
const std::vector<fwgen::ImageFile>& SmallSet();

// Message boxes and log entries as the view shows them.
class RecordingSink final : public ViewSink {
  public:
    void MessageBox(const std::string& text) override;
    void LineLogAppended(int line, const std::string& entry) override;

    std::vector<std::string> Boxes() const;
    std::vector<std::string> Entries(int line) const;

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_boxes;
    std::vector<std::pair<int, std::string>> m_entries;
};

// A document and view on a virtual clock against a device root in a fresh temporary folder, with
// the small synthetic set as the program's resources.
class FirmwareFixture : public ::testing::Test {
  protected:
    FirmwareFixture();
    void SetUp() override;

    std::filesystem::path DeviceRoot() const { return dir.Path() / "root"; }
    std::string Folder() const;  // the working folder under the device root

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
