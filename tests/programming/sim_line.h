#pragma once

// A document, view and simulated sticks on a virtual clock, for the line steps and the image
// programming procedures.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "download/download_steps.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "sim/sim_machine.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan::test {

// The virtual clock, with every fixed wait (100 ms or more) of the code under test noted in
// order; reply polling (10 to 30 ms) is left out so that the list shows the sequences' waits.
class WaitRecordingClock final : public platform::Clock {
  public:
    explicit WaitRecordingClock(platform::VirtualClock& base) : m_base(base) {}
    void SleepMs(uint32_t ms) override {
        if (ms >= 100) {
            std::lock_guard lock(m_mutex);
            m_waits.push_back(ms);
        }
        m_base.SleepMs(ms);
    }
    uint32_t TickMs() override { return m_base.TickMs(); }
    std::vector<uint32_t> Waits() {
        std::lock_guard lock(m_mutex);
        return m_waits;
    }
    void ClearWaits() {
        std::lock_guard lock(m_mutex);
        m_waits.clear();
    }

  private:
    platform::VirtualClock& m_base;
    std::mutex m_mutex;
    std::vector<uint32_t> m_waits;
};

inline std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return bytes;
}

// The arguments of the stick's commands of that name, in order.
inline std::vector<int64_t> ArgsOf(sim::StickModel& stick, const std::string& name) {
    std::vector<int64_t> args;
    for (const auto& c : stick.Commands()) {
        if (c.name == name) {
            args.push_back(c.arg);
        }
    }
    return args;
}

// One machine with simulated sticks, a document and a view; line i talks to stick i.
class SimBench {
  public:
    SimBench() : clock(), waits(clock), machine(clock), serial(machine), registry(machine) {
        env.clock = &waits;
        env.serial = &serial;
        env.registry = &registry;
        doc = std::make_unique<CPellanDoc>(env, dir.Path());
        view = std::make_unique<CPellanView>(*doc, sink);
    }
    ~SimBench() {
        view.reset();  // the view before the document it observes
        doc.reset();
    }

    // Plugs in a stick for `line` and opens the line's DIAG port on it, as polling would have.
    sim::StickModel& AddLine(int line, sim::StickOptions options = {}) {
        options.diagPort = 5 + 2 * line;
        options.atPort = 6 + 2 * line;
        options.serial = "000" + std::to_string(line + 1);
        sticks.push_back(machine.AddStick(options));
        LineRecord& record = doc->Record(line);
        record.diagPort = options.diagPort;
        record.atPort = options.atPort;
        doc->ReopenDiagPort(line, record.diagPort, 115200);
        doc->ReopenAtPort(line, record.atPort, 115200);
        doc->Runtime(line).running = 1;
        return *sticks.back();
    }

    // Writes `bytes` as a file of the test folder and returns its path.
    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::filesystem::path path = dir.Path() / name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    CPhoneLink& Link(int line) { return doc->Link(line); }
    LineRecord& Record(int line) { return doc->Record(line); }

    TempDir dir;
    platform::VirtualClock clock;
    WaitRecordingClock waits;
    sim::SimMachine machine;
    sim::SimSerialProvider serial;
    sim::SimRegistry registry;
    platform::Env env;
    RecordingSink sink;
    std::unique_ptr<CPellanDoc> doc;
    std::unique_ptr<CPellanView> view;
    std::vector<std::shared_ptr<sim::StickModel>> sticks;
};

// Line 0 of a bench with its stick, and the files, faults and checks the tests of the line steps
// and of the image programming use.
class SimLineTest : public ::testing::Test {
  protected:
    void SetUp() override { stick = &bench.AddLine(0); }

    // Normal firmware to a loaded (`start`: running) programmer.
    void ReachProgrammer(bool start = true) {
        Use(bench.Record(0).armprgPath, "armprg.bin", 3000);
        ASSERT_TRUE(EnterDownloadMode(bench.view->Context(0))) << bench.Link(0).m_lastError;
        ASSERT_TRUE(UploadArmprg(bench.view->Context(0))) << bench.Link(0).m_lastError;
        if (start) {
            ASSERT_TRUE(StartProgrammer(bench.view->Context(0))) << bench.Link(0).m_lastError;
            ASSERT_EQ(stick->Mode(), sim::StickMode::kProgrammer);
        }
        bench.waits.ClearWaits();
    }
    template <size_t N>
    std::vector<uint8_t> Use(std::array<char, N>& field, const char* name, size_t size) {
        auto bytes = PatternBytes(size, static_cast<uint32_t>(size) + name[0]);
        SetField(field, bench.WriteFile(name, bytes));
        return bytes;
    }
    template <size_t N>
    void Absent(std::array<char, N>& field) {
        SetField(field, (bench.dir.Path() / "absent").string());
    }
    // New faults, and the list of waits starts afresh.
    void Faults(const sim::FaultPlan& faults) {
        stick->SetFaults(faults);
        bench.waits.ClearWaits();
    }
    // The stick answers nothing from the next `command` on.
    void Silent(const char* command) {
        sim::FaultPlan faults;
        faults.stopAnswering = {command, static_cast<int>(stick->CountOf(command)) + 1};
        Faults(faults);
    }
    void DropAcks(std::set<uint32_t> addresses) {
        sim::FaultPlan faults;
        faults.dropAckAddresses = std::move(addresses);
        Faults(faults);
    }
    // The latest image of `type` is closed, equals `bytes`, and was never rewritten otherwise.
    bool ImageIs(int type, const std::vector<uint8_t>& bytes) {
        const auto session = stick->LatestImage(type);
        return session.has_value() && session->closed && session->image.Equals(bytes) &&
               std::all_of(session->image.Overlaps().begin(), session->image.Overlaps().end(),
                           [](const auto& o) { return o.identical; });
    }
    size_t Writes() { return ArgsOf(*stick, "StreamWrite").size(); }
    std::vector<std::string> Messages() { return bench.sink.Messages(0); }
    std::vector<int> Progress() { return bench.sink.ProgressHistory(0); }
    std::vector<uint32_t> Waits() { return bench.waits.Waits(); }

    SimBench bench;
    sim::StickModel* stick = nullptr;
};

}  // namespace pellan::test
