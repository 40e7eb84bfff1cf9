// Backup and restore against the simulated stick in process: what one stick's backup holds is
// what another stick carries after the restore.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "nv/nv_backup.h"
#include "nv/nv_fixture.h"
#include "nv/nv_restore.h"
#include "nv/nvm_file.h"
#include "sim/sim_machine.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

constexpr int kLine = 0;

class NvSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env.clock = &clock;
        env.serial = &serial;
        env.registry = &registry;
        fs::create_directories(dir.Path() / "program");
        fs::create_directories(dir.Path() / "nv");
        doc = std::make_unique<CPellanDoc>(env, dir.Path() / "program");
        view = std::make_unique<CPellanView>(*doc, sink);
        std::string error;
        ASSERT_TRUE(ChooseNvFolder(*doc, (dir.Path() / "nv").string(), error)) << error;
        doc->Runtime(kLine).phoneState = 2;
    }

    // A second stick on other ports, carrying only item 22 and an IMEI of its own.
    sim::StickOptions BlankStick() {
        sim::StickOptions options;
        options.diagPort = 15;
        options.atPort = 16;
        options.serial = "0002";
        options.imei = "490154203237518";
        options.nvItems[22] = std::vector<uint8_t>(128, 0x22);
        const sim::NvData imei = sim::PackImei(options.imei);
        options.nvItems[kNvImeiItem] = std::vector<uint8_t>(imei.begin(), imei.end());
        return options;
    }

    void UseStick(const sim::StickModel& stick) {
        CPhoneLink& link = doc->Link(kLine);
        link.m_port.Close();
        ASSERT_TRUE(link.m_port.Open(stick.Options().diagPort, 115200, 8, 1));
    }

    std::string NvmPath() const { return (dir.Path() / "nv" / "Channel1.nvm").string(); }

    size_t CountOf(sim::StickModel& stick, const std::string& name) { return stick.CountOf(name); }

    TempDir dir;
    platform::VirtualClock clock;
    sim::SimMachine machine{clock};
    sim::SimSerialProvider serial{machine};
    sim::SimRegistry registry{machine};
    platform::Env env;
    RecordingSink sink;
    std::unique_ptr<CPellanDoc> doc;
    std::unique_ptr<CPellanView> view;
};

TEST_F(NvSimTest, BackupHoldsEveryItemTheStickCarries) {
    auto source = machine.AddStick({});
    UseStick(*source);
    BackupNvJob(*view, kLine);
    EXPECT_EQ(sink.States(kLine).back(), 2);

    NvmTable table{};
    const std::vector<uint8_t> file = ReadFileBytes(NvmPath());
    ASSERT_EQ(DecodeNvmFile(file, table), NvmFileCheck::OK);
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        const auto item = source->NvItem(table[i].itemId);
        ASSERT_TRUE(item.has_value()) << table[i].itemId;
        ASSERT_EQ(table[i].status, 0) << table[i].itemId;
        ASSERT_TRUE(std::equal(item->begin(), item->end(), table[i].data.begin()))
            << table[i].itemId;
    }
    EXPECT_EQ(CountOf(*source, "ReadNvItem"), kNvBackupListSize);
    EXPECT_EQ(CountOf(*source, "WriteNvItem"), 0u) << "a backup never writes to the stick";
}

TEST_F(NvSimTest, BackupThenRestoreRoundTripsEveryItem) {
    auto source = machine.AddStick({});
    UseStick(*source);
    BackupNvJob(*view, kLine);
    ASSERT_EQ(sink.States(kLine).back(), 2);

    auto target = machine.AddStick(BlankStick());
    UseStick(*target);
    doc->m_nvMode = NV_MODE_RF_AND_IMEI;
    // Another stick's backup goes in only when asked for explicitly.
    RestoreNvJob(*view, kLine);
    EXPECT_EQ(sink.States(kLine).back(), 3);
    EXPECT_EQ(CountOf(*target, "WriteNvItem"), 0u);
    view->m_allowOtherImei = 1;
    RestoreNvJob(*view, kLine);
    EXPECT_EQ(sink.States(kLine).back(), 2);
    EXPECT_EQ(LogLinesOf(*view, kLine).back(), "Restore NV success");

    for (uint16_t id : NvBackupList) {
        ASSERT_EQ(target->NvItem(id), source->NvItem(id)) << id;
    }
    EXPECT_EQ(sim::UnpackImei(*target->NvItem(kNvImeiItem)), "358812045678903");
    EXPECT_EQ(CountOf(*target, "WriteNvItem"), kNvBackupListSize);
    EXPECT_EQ(CountOf(*target, "GoOffline"), 1u);
    EXPECT_EQ(CountOf(*target, "GoOnline"), 1u);
    EXPECT_EQ(CountOf(*target, "ResetPhone"), 1u) << "the restore job resets the stick";
}

TEST_F(NvSimTest, ModeWithoutImeiKeepsTheTargetsIdentity) {
    auto source = machine.AddStick({});
    UseStick(*source);
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));

    auto target = machine.AddStick(BlankStick());
    UseStick(*target);
    doc->m_nvMode = NV_MODE_RF_NO_IMEI;
    ASSERT_TRUE(RestoreNvFromFile(*view, kLine, NvmPath()));
    EXPECT_EQ(sim::UnpackImei(*target->NvItem(kNvImeiItem)), "490154203237518");
    EXPECT_FALSE(target->NvItem(kNvSecondIdentityItem).has_value());
    for (uint16_t id : NvBackupList) {
        if (id != kNvImeiItem && id != kNvSecondIdentityItem) {
            ASSERT_EQ(target->NvItem(id), source->NvItem(id)) << id;
        }
    }
}

TEST_F(NvSimTest, InactiveItemIsBackedUpWithItsStatusAndNotRestored) {
    sim::StickOptions options;
    options.faults.nvInactive = {4051, 5066};
    auto source = machine.AddStick(options);
    UseStick(*source);
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));
    NvmTable table{};
    ASSERT_EQ(DecodeNvmFile(ReadFileBytes(NvmPath()), table), NvmFileCheck::OK);
    EXPECT_EQ(table[145].itemId, 4051);
    EXPECT_EQ(table[145].status, 5);
    // Three records (4051 once, 5066 twice) take three reads each.
    EXPECT_EQ(CountOf(*source, "ReadNvItem"), kNvBackupListSize + 3 * 2);

    auto target = machine.AddStick(BlankStick());
    UseStick(*target);
    ASSERT_TRUE(RestoreNvFromFile(*view, kLine, NvmPath()));
    EXPECT_FALSE(target->NvItem(4051).has_value());
    EXPECT_FALSE(target->NvItem(5066).has_value());
    EXPECT_EQ(CountOf(*target, "WriteNvItem"), kNvBackupListSize - 3);
}

TEST_F(NvSimTest, WriteRefusedTwiceLeavesTheStickOffline) {
    auto source = machine.AddStick({});
    UseStick(*source);
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));

    sim::StickOptions options = BlankStick();
    options.faults.nvWriteStatus[4051] = 4;
    auto target = machine.AddStick(options);
    UseStick(*target);
    EXPECT_FALSE(RestoreNvFromFile(*view, kLine, NvmPath()));
    EXPECT_EQ(CountOf(*target, "WriteNvItem"), 146u + 1) << "items 0..145, 4051 twice, no more";
    EXPECT_EQ(CountOf(*target, "GoOnline"), 0u);
    EXPECT_EQ(CountOf(*target, "GoOffline"), 1u);
}

TEST_F(NvSimTest, ReadOnlyItemsAreSkippedWithoutRetry) {
    auto source = machine.AddStick({});
    UseStick(*source);
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));

    sim::StickOptions options = BlankStick();
    options.faults.nvWriteStatus[550] = 7;
    options.faults.nvWriteStatus[1844] = 5;
    auto target = machine.AddStick(options);
    UseStick(*target);
    EXPECT_TRUE(RestoreNvFromFile(*view, kLine, NvmPath()));
    EXPECT_EQ(CountOf(*target, "WriteNvItem"), kNvBackupListSize);
    EXPECT_EQ(sim::UnpackImei(*target->NvItem(kNvImeiItem)), "490154203237518");
    EXPECT_EQ(CountOf(*target, "GoOnline"), 1u);
}

}  // namespace
}  // namespace pellan::test
