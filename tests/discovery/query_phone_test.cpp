#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <set>

#include "sim/sim_machine.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"

namespace pellan {
namespace {

// A stick whose firmware does not know some diagnostic commands: their requests reach nothing
// and go unanswered, as on a firmware older than the updater expects. Everything else goes to
// the simulated stick unchanged.
class OldFirmwareProvider final : public platform::SerialProvider {
  public:
    OldFirmwareProvider(platform::SerialProvider& inner, std::set<uint8_t> unknown)
        : m_inner(inner), m_unknown(std::move(unknown)) {}

    std::unique_ptr<platform::SerialDevice> Open(int port,
                                                 const platform::LineSettings& settings) override {
        auto device = m_inner.Open(port, settings);
        if (!device) {
            return nullptr;
        }
        return std::make_unique<Device>(std::move(device), m_unknown);
    }

  private:
    class Device final : public platform::SerialDevice {
      public:
        Device(std::unique_ptr<platform::SerialDevice> inner, const std::set<uint8_t>& unknown)
            : m_inner(std::move(inner)), m_unknown(unknown) {}
        size_t Write(const uint8_t* data, size_t len, bool dropInput) override {
            if (len > 0 && m_unknown.count(data[0]) != 0) {
                if (dropInput) {
                    m_inner->Purge();
                }
                return len;
            }
            return m_inner->Write(data, len, dropInput);
        }
        size_t BytesWaiting() override { return m_inner->BytesWaiting(); }
        size_t Read(uint8_t* buf, size_t max) override { return m_inner->Read(buf, max); }
        void Purge() override { m_inner->Purge(); }
        bool WaitForInput(uint32_t ms) override { return m_inner->WaitForInput(ms); }
        bool Gone() override { return m_inner->Gone(); }

      private:
        std::unique_ptr<platform::SerialDevice> m_inner;
        const std::set<uint8_t>& m_unknown;
    };

    platform::SerialProvider& m_inner;
    std::set<uint8_t> m_unknown;
};

struct QueryFixture : ::testing::Test {
    platform::VirtualClock clock;
    sim::SimMachine machine{clock};
    sim::SimSerialProvider simSerial{machine};
    sim::SimRegistry registry{machine};
    test::TempDir dir;
    std::shared_ptr<sim::StickModel> stick;

    void Plug(sim::StickOptions options = {}) { stick = machine.AddStick(std::move(options)); }
};

// The stick's identity through each fallback in turn. "old" texts are what an earlier stick
// left; the three display texts are the version set's or "No Phone".
TEST_F(QueryFixture, VersionSetThenEachFallbackInTurn) {
    using Options = sim::StickOptions;
    const auto garbledSet = [](Options& o) { o.faults.garbageReply = {"ReadVersionSet", 1}; };
    const auto buildIdOnly = [&](Options& o) {
        garbledSet(o);
        o.firmwareVersion = "BUILD_ID_TEXT_7";
        o.faults.corruptReply = {"ReadSwVersion", 1};
    };
    const auto esn = [](uint32_t value) { return [value](Options& o) { o.esn = value; }; };
    const auto silentFrom = [](int esnRead) {
        return [esnRead](Options& o) { o.faults.stopAnswering = {"ReadEsn", esnRead}; };
    };
    const struct {
        const char* name;
        std::function<void(Options&)> setUp;
        bool oldFirmware;  // the stick does not know 0x38, 0x39 and 0x7C
        bool answered;
        std::string fallback;
        bool showsVersionSet;
        std::pair<const char*, size_t> count;  // one command the query must have sent so often
    } rows[] = {
        {"version set", [](Options&) {}, false, true, "old", true, {"ReadSwVersion", 0}},
        {"sw version", garbledSet, false, true, "HX402A_V1.0.3_B05", false, {"ReadExtBuildId", 0}},
        {"extended build id", buildIdOnly, false, true, "BUILD_ID_TEXT_7", false, {"ReadEsn", 1}},
        {"ESN in lower-case hex", esn(0x8034A1B2), true, true, "8034a1b2", false, {"ReadEsn", 2}},
        {"zero ESN answers but writes nothing", esn(0), true, true, "old", false, {"ReadEsn", 2}},
        {"no fallback answers", silentFrom(2), true, false, "No Phone", false, {"ReadEsn", 2}},
        {"silent stick", silentFrom(1), false, false, "No Phone", false, {"ReadVersionSet", 0}},
    };
    const std::array<std::string, 3> versionSet{"HX402A_V1.0.3_B05", "HW_V1.1", "HX402A"};
    for (const auto& row : rows) {
        sim::SimMachine rowMachine{clock};
        sim::SimSerialProvider rowSerial{rowMachine};
        sim::SimRegistry rowRegistry{rowMachine};
        sim::StickOptions options;
        row.setUp(options);
        auto rowStick = rowMachine.AddStick(options);
        OldFirmwareProvider oldFirmware{rowSerial, {0x39, 0x38, 0x7C}};
        platform::Env env{&clock, &rowSerial, &rowRegistry, {}};
        if (row.oldFirmware) {
            env.serial = &oldFirmware;
        }
        CPellanDoc doc{env, dir.Path()};
        SetField(doc.Runtime(0).fallbackVersion, "old");
        doc.Runtime(0).phoneState = 2;
        ASSERT_TRUE(doc.ReopenDiagPort(0, 5, 115200)) << row.name;
        EXPECT_EQ(row.answered, doc.QueryPhone(0)) << row.name;
        EXPECT_EQ(row.answered ? 2 : 1, doc.Runtime(0).phoneState.load()) << row.name;
        EXPECT_EQ(row.fallback, doc.FallbackVersion(0)) << row.name;
        for (int which = 0; which < 3; ++which) {
            EXPECT_EQ(row.showsVersionSet ? versionSet[static_cast<size_t>(which)] : "No Phone",
                      doc.DisplayText(0, which))
                << row.name;
        }
        EXPECT_EQ(row.count.second, rowStick->CountOf(row.count.first)) << row.name;
    }
}

// The AT channel's settings after a reopen; the reset goes to the stick.
TEST_F(QueryFixture, AtPortSettingsAndTheStickReset) {
    Plug();
    platform::Env env{&clock, &simSerial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    ASSERT_TRUE(doc.DiscoverPorts(0));
    ASSERT_TRUE(doc.ReopenAtPort(0, 6, 115200));
    EXPECT_EQ(1000u, doc.At(0).m_timeoutMs);
    EXPECT_EQ(2, doc.At(0).m_attempts);
    ASSERT_TRUE(doc.ReopenDiagPort(0, 5, 115200));
    ASSERT_TRUE(doc.ReopenDiagPort(0, 5, 115200));  // reopening an open port works
    doc.Runtime(0).phoneState = 2;
    EXPECT_TRUE(doc.ResetStick(0, false));
    EXPECT_EQ(1, doc.Runtime(0).phoneState.load());
    EXPECT_EQ(1u, stick->CountOf("ResetPhone"));
}

}  // namespace
}  // namespace pellan
