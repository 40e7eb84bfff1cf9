#include <gtest/gtest.h>

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

    // The stick's diagnostic port 5 opened on line 0, then the query.
    bool Query(CPellanDoc& doc) {
        EXPECT_TRUE(doc.ReopenDiagPort(0, 5, 115200));
        return doc.QueryPhone(0);
    }
    void Plug(sim::StickOptions options = {}) { stick = machine.AddStick(std::move(options)); }
};

TEST_F(QueryFixture, VersionSetFillsTheThreeDisplayTexts) {
    sim::StickOptions options;
    options.firmwareVersion = "HX402A_V1.0.3_B05";
    options.modelText = "HX402A";
    Plug(options);
    platform::Env env{&clock, &simSerial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    ASSERT_TRUE(Query(doc));
    EXPECT_EQ(2, doc.Runtime(0).phoneState.load());
    EXPECT_EQ("HX402A_V1.0.3_B05", doc.DisplayText(0, 0));
    EXPECT_EQ("HW_V1.1", doc.DisplayText(0, 1));
    EXPECT_EQ("HX402A", doc.DisplayText(0, 2));
    EXPECT_EQ("No Phone", doc.FallbackVersion(0));  // untouched by a successful version set
    EXPECT_EQ(0u, stick->CountOf("ReadSwVersion"));
}

TEST_F(QueryFixture, SoftwareVersionIsTheFirstFallback) {
    sim::StickOptions options;
    options.faults.garbageReply = {"ReadVersionSet", 1};
    Plug(options);
    platform::Env env{&clock, &simSerial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    ASSERT_TRUE(Query(doc));
    EXPECT_EQ(2, doc.Runtime(0).phoneState.load());
    EXPECT_EQ(options.firmwareVersion, doc.FallbackVersion(0));
    for (int which = 0; which < 3; ++which) {
        EXPECT_EQ("No Phone", doc.DisplayText(0, which));
    }
    EXPECT_EQ(1u, stick->CountOf("ReadSwVersion"));
    EXPECT_EQ(0u, stick->CountOf("ReadExtBuildId"));
}

TEST_F(QueryFixture, ExtendedBuildIdIsTheSecondFallback) {
    sim::StickOptions options;
    options.firmwareVersion = "BUILD_ID_TEXT_7";
    options.faults.garbageReply = {"ReadVersionSet", 1};
    options.faults.corruptReply = {"ReadSwVersion", 1};
    Plug(options);
    platform::Env env{&clock, &simSerial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    ASSERT_TRUE(Query(doc));
    EXPECT_EQ(2, doc.Runtime(0).phoneState.load());
    EXPECT_EQ("BUILD_ID_TEXT_7", doc.FallbackVersion(0));
    EXPECT_EQ(1u, stick->CountOf("ReadExtBuildId"));
    EXPECT_EQ(1u, stick->CountOf("ReadEsn"));  // only the communication check's
}

TEST_F(QueryFixture, EsnInLowerCaseHexIsTheLastFallback) {
    sim::StickOptions options;
    options.esn = 0x8034A1B2;
    Plug(options);
    OldFirmwareProvider oldFirmware{simSerial, {0x39, 0x38, 0x7C}};
    platform::Env env{&clock, &oldFirmware, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    SetField(doc.Runtime(0).fallbackVersion, "stale text of an earlier stick");
    ASSERT_TRUE(Query(doc));
    EXPECT_EQ(2, doc.Runtime(0).phoneState.load());
    EXPECT_EQ("8034a1b2", doc.FallbackVersion(0));
    for (int which = 0; which < 3; ++which) {
        EXPECT_EQ("No Phone", doc.DisplayText(0, which));
    }
    EXPECT_EQ(2u, stick->CountOf("ReadEsn"));
}

TEST_F(QueryFixture, ZeroEsnStillCountsAsAnAnswer) {
    sim::StickOptions options;
    options.esn = 0;
    Plug(options);
    OldFirmwareProvider oldFirmware{simSerial, {0x39, 0x38, 0x7C}};
    platform::Env env{&clock, &oldFirmware, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    ASSERT_TRUE(Query(doc));
    EXPECT_EQ(2, doc.Runtime(0).phoneState.load());
    EXPECT_EQ("No Phone", doc.FallbackVersion(0));  // nothing written for a zero ESN
}

TEST_F(QueryFixture, NoFallbackAnswersMeansNoPhone) {
    sim::StickOptions options;
    options.faults.stopAnswering = {"ReadEsn", 2};  // the communication check still answers
    Plug(options);
    OldFirmwareProvider oldFirmware{simSerial, {0x39, 0x38, 0x7C}};
    platform::Env env{&clock, &oldFirmware, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    SetField(doc.Runtime(0).fallbackVersion, "old");
    doc.Runtime(0).phoneState = 2;
    EXPECT_FALSE(Query(doc));
    EXPECT_EQ(1, doc.Runtime(0).phoneState.load());
    EXPECT_EQ("No Phone", doc.FallbackVersion(0));
    for (int which = 0; which < 3; ++which) {
        EXPECT_EQ("No Phone", doc.DisplayText(0, which));
    }
}

TEST_F(QueryFixture, SilentStickFailsTheCommunicationCheck) {
    sim::StickOptions options;
    options.faults.stopAnswering = {"ReadEsn", 1};
    Plug(options);
    platform::Env env{&clock, &simSerial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    SetField(doc.Runtime(0).currentVersion, "old");
    doc.Runtime(0).phoneState = 2;
    EXPECT_FALSE(Query(doc));
    EXPECT_EQ(1, doc.Runtime(0).phoneState.load());
    EXPECT_EQ("No Phone", doc.FallbackVersion(0));
    EXPECT_EQ("No Phone", doc.DisplayText(0, 0));
    EXPECT_EQ(0u, stick->CountOf("ReadVersionSet"));
}

TEST_F(QueryFixture, PortsReopenAndResetStickSendsTheReset) {
    Plug();
    platform::Env env{&clock, &simSerial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    ASSERT_TRUE(doc.DiscoverPorts(0));
    EXPECT_EQ(5, doc.LineDiagPort(0));
    EXPECT_EQ(6, doc.LineAtPort(0));
    ASSERT_TRUE(doc.ReopenDiagPort(0, 5, 115200));
    ASSERT_TRUE(doc.ReopenDiagPort(0, 5, 115200));  // reopening an open port works
    ASSERT_TRUE(doc.ReopenAtPort(0, 6, 115200));
    EXPECT_EQ(1000u, doc.At(0).m_timeoutMs);
    EXPECT_EQ(2, doc.At(0).m_attempts);
    // Another line opens neither a number of no stick nor one of line 0's stick.
    for (const int port : {9, 6}) {
        EXPECT_FALSE(doc.ReopenAtPort(3, port, 115200));
        EXPECT_FALSE(doc.At(3).m_port.IsOpen());
        EXPECT_FALSE(doc.ReopenDiagPort(3, port - 1, 115200));
        EXPECT_FALSE(doc.Link(3).m_port.IsOpen());
    }
    EXPECT_TRUE(doc.CloseDiagPort(0));
    EXPECT_TRUE(doc.CloseAtPort(0));
    EXPECT_TRUE(doc.CloseAtPort(0));  // closing a closed port is fine

    ASSERT_TRUE(doc.ReopenDiagPort(0, 5, 115200));
    doc.Runtime(0).phoneState = 2;
    EXPECT_TRUE(doc.ResetStick(0, false));
    EXPECT_EQ(1, doc.Runtime(0).phoneState.load());
    EXPECT_EQ(1u, stick->CountOf("ResetPhone"));
}

TEST_F(QueryFixture, RestoreAndHideTheDiagPortThroughTheAtPort) {
    sim::StickOptions options;
    options.wdiag = 6;
    Plug(options);
    platform::Env env{&clock, &simSerial, &registry, {}};
    CPellanDoc doc{env, dir.Path()};
    ASSERT_TRUE(doc.ReopenAtPort(0, 6, 115200));
    EXPECT_TRUE(doc.RestoreDiagPort(0));  // already shown: nothing is set
    EXPECT_EQ(0u, stick->CountOf("AT+WDIAG=6"));
    EXPECT_TRUE(doc.HideDiagPort(0));
    EXPECT_EQ(1u, stick->CountOf("AT+WDIAG=1"));
    ASSERT_TRUE(doc.ReopenAtPort(0, 6, 115200));
    EXPECT_TRUE(doc.RestoreDiagPort(0));
    EXPECT_EQ(1u, stick->CountOf("AT+WDIAG=6"));
}

}  // namespace
}  // namespace pellan
