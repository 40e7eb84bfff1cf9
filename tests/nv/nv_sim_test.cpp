// Backup and restore against the simulated stick in process: a backup holds what the stick
// carries, and the stick's refusals decide what another stick carries after the restore.
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
constexpr const char* kTargetImei = "490154203237518";

class NvSim : public ::testing::Test {
  protected:
    void SetUp() override {
        env.clock = &clock;
        env.serial = &serial;
        env.registry = &registry;
        fs::create_directories(dir.Path() / "program");
        doc = std::make_unique<CPellanDoc>(env, dir.Path() / "program");
        view = std::make_unique<CPellanView>(*doc, sink);
        std::string error;
        ASSERT_TRUE(ChooseNvFolder(*doc, dir.Path().string(), error)) << error;
        doc->Runtime(kLine).phoneState = 2;
        source = machine.AddStick({});
        UseStick(*source);
        ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));
    }

    // A second stick on other ports, carrying only item 22 and an IMEI of its own.
    std::shared_ptr<sim::StickModel> AddTarget(const sim::FaultPlan& faults = {}) {
        sim::StickOptions options;
        options.diagPort = 15;
        options.atPort = 16;
        options.serial = "0002";
        options.imei = kTargetImei;
        options.nvItems[22] = std::vector<uint8_t>(128, 0x22);
        const sim::NvData imei = sim::PackImei(options.imei);
        options.nvItems[kNvImeiItem] = std::vector<uint8_t>(imei.begin(), imei.end());
        options.faults = faults;
        auto target = machine.AddStick(options);
        UseStick(*target);
        return target;
    }

    void UseStick(const sim::StickModel& stick) {
        CPhoneLink& link = doc->Link(kLine);
        link.m_port.Close();
        ASSERT_TRUE(link.m_port.Open(stick.Options().diagPort, 115200, 8, 1));
    }

    std::string NvmPath() const { return (dir.Path() / "Channel1.nvm").string(); }
    std::string Imei(sim::StickModel& stick) { return sim::UnpackImei(*stick.NvItem(kNvImeiItem)); }

    TempDir dir;
    platform::VirtualClock clock;
    sim::SimMachine machine{clock};
    sim::SimSerialProvider serial{machine};
    sim::SimRegistry registry{machine};
    platform::Env env;
    RecordingSink sink;
    std::unique_ptr<CPellanDoc> doc;
    std::unique_ptr<CPellanView> view;
    std::shared_ptr<sim::StickModel> source;
};

TEST_F(NvSim, BackupHoldsEveryItemTheStickCarriesAndWritesNothing) {
    NvmTable table{};
    ASSERT_EQ(DecodeNvmFile(ReadFileBytes(NvmPath()), table), NvmFileCheck::OK);
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        const auto item = source->NvItem(table[i].itemId);
        ASSERT_TRUE(item.has_value()) << table[i].itemId;
        ASSERT_EQ(table[i].status, 0) << table[i].itemId;
        ASSERT_TRUE(std::equal(item->begin(), item->end(), table[i].data.begin()))
            << table[i].itemId;
    }
    EXPECT_EQ(source->CountOf("ReadNvItem"), kNvBackupListSize);
    EXPECT_EQ(source->CountOf("WriteNvItem"), 0u);
}

TEST_F(NvSim, ModeWithoutImeiKeepsTheTargetsIdentity) {
    auto target = AddTarget();
    doc->m_nvMode = NV_MODE_RF_NO_IMEI;
    ASSERT_TRUE(RestoreNvFromFile(*view, kLine, NvmPath()));
    EXPECT_EQ(Imei(*target), kTargetImei);
    EXPECT_FALSE(target->NvItem(kNvSecondIdentityItem).has_value());
    for (uint16_t id : NvBackupList) {
        if (id != kNvImeiItem && id != kNvSecondIdentityItem) {
            ASSERT_EQ(target->NvItem(id), source->NvItem(id)) << id;
        }
    }
}

TEST_F(NvSim, InactiveItemIsBackedUpWithItsStatusAndNotRestored) {
    sim::StickOptions options;
    options.diagPort = 25;
    options.atPort = 26;
    options.serial = "0003";
    options.faults.nvInactive = {4051, 5066};
    auto inactive = machine.AddStick(options);
    UseStick(*inactive);
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));
    NvmTable table{};
    ASSERT_EQ(DecodeNvmFile(ReadFileBytes(NvmPath()), table), NvmFileCheck::OK);
    EXPECT_EQ(table[145].itemId, 4051);
    EXPECT_EQ(table[145].status, 5);
    // Three records (4051 once, 5066 twice) take three reads each.
    EXPECT_EQ(inactive->CountOf("ReadNvItem"), kNvBackupListSize + 3 * 2);

    auto target = AddTarget();
    ASSERT_TRUE(RestoreNvFromFile(*view, kLine, NvmPath()));
    EXPECT_FALSE(target->NvItem(4051).has_value());
    EXPECT_FALSE(target->NvItem(5066).has_value());
    EXPECT_EQ(target->CountOf("WriteNvItem"), kNvBackupListSize - 3);
}

TEST_F(NvSim, AFailedWriteStopsTheRestoreOfflineAndReadOnlyItemsAreSkipped) {
    sim::FaultPlan failing;
    failing.nvWriteStatus[4051] = 4;
    auto target = AddTarget(failing);
    EXPECT_FALSE(RestoreNvFromFile(*view, kLine, NvmPath()));
    EXPECT_EQ(target->CountOf("WriteNvItem"), 146u + 1) << "items 0..145, 4051 twice, no more";
    EXPECT_EQ(target->CountOf("GoOffline"), 1u);
    EXPECT_EQ(target->CountOf("GoOnline"), 0u);

    sim::FaultPlan refusing;
    refusing.nvWriteStatus[550] = 7;
    refusing.nvWriteStatus[1844] = 5;
    target->SetFaults(refusing);
    EXPECT_TRUE(RestoreNvFromFile(*view, kLine, NvmPath()));
    EXPECT_EQ(target->CountOf("WriteNvItem"), 147u + kNvBackupListSize) << "no retry";
    EXPECT_EQ(Imei(*target), kTargetImei);
    EXPECT_EQ(target->CountOf("GoOnline"), 1u);
}

}  // namespace
}  // namespace pellan::test
