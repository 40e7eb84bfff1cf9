#pragma once

// A document, view and simulated sticks on a virtual clock, for the line steps and the image
// programming procedures.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "diag/line_context.h"
#include "download/download_steps.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "sim/sim_machine.h"
#include "support/temp_dir.h"

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

// One machine with simulated sticks and the contexts of its lines, built from their parts without
// a document or a view (what the line steps and image procedures use is all there is); line i
// talks to stick i. The reporter keeps what each line showed.
class SimBench {
  public:
    SimBench() : clock(), waits(clock), machine(clock), serial(machine), registry(machine) {
        env.clock = &waits;
        env.serial = &serial;
        env.registry = &registry;
        for (int line = 0; line < kLineCount; ++line) {
            auto& slot = m_lines[static_cast<size_t>(line)];
            slot = std::make_unique<Line>(*this, line);
        }
    }

    // Plugs in a stick for `line` and opens the line's DIAG and AT ports on it, as polling would
    // have.
    sim::StickModel& AddLine(int line, sim::StickOptions options = {}) {
        options.diagPort = 5 + 2 * line;
        options.atPort = 6 + 2 * line;
        options.serial = "000" + std::to_string(line + 1);
        sticks.push_back(machine.AddStick(options));
        LineRecord& record = Record(line);
        record.diagPort = options.diagPort;
        record.atPort = options.atPort;
        LineContext& context = Context(line);
        context.ports.ReopenDiag(record.diagPort, 115200);
        context.ports.ReopenAt(record.atPort, 115200);
        context.runtime.running = 1;
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

    LineContext& Context(int line) { return m_lines.at(static_cast<size_t>(line))->context; }
    CPhoneLink& Link(int line) { return Context(line).Link(); }
    LineRecord& Record(int line) { return records.at(static_cast<size_t>(line)); }

    // The status texts and progress steps of a line, and the message boxes of all lines.
    std::vector<std::string> Messages(int line) {
        std::lock_guard lock(m_mutex);
        return m_lines.at(static_cast<size_t>(line))->messages;
    }
    std::vector<int> ProgressHistory(int line) {
        std::lock_guard lock(m_mutex);
        return m_lines.at(static_cast<size_t>(line))->progress;
    }
    std::vector<std::string> Boxes() {
        std::lock_guard lock(m_mutex);
        return m_boxes;
    }
    void ClearLines() {
        std::lock_guard lock(m_mutex);
        for (auto& line : m_lines) {
            line->messages.clear();
            line->progress.clear();
        }
    }

    TempDir dir;
    platform::VirtualClock clock;
    WaitRecordingClock waits;
    sim::SimMachine machine;
    sim::SimSerialProvider serial;
    sim::SimRegistry registry;
    platform::Env env;
    std::array<LineRecord, kLineCount> records{};
    std::mutex docLock;
    std::atomic<int32_t> language{1};
    std::atomic<int32_t> nvMode{NV_MODE_RF_AND_IMEI};
    std::atomic<int32_t> singleSwitch{1};
    std::atomic<int32_t> allowOtherImei{0};
    // Called with (line, percent) at every progress step, on the line's thread.
    std::function<void(int, int)> onProgress;
    std::vector<std::shared_ptr<sim::StickModel>> sticks;

  private:
    struct Line final : LineReporter, LinePorts {
        Line(SimBench& bench, int line)
            : bench(bench),
              account(bench.waits),
              context{line,
                      bench.env,
                      bench.waits,
                      runtime,
                      bench.Record(line),
                      bench.Record(0),
                      account,
                      bench.docLock,
                      *this,
                      *this,
                      {bench.language, bench.nvMode, bench.singleSwitch, bench.allowOtherImei}} {
            runtime.link = std::make_unique<CPhoneLink>(bench.serial, bench.waits);
            runtime.at = std::make_unique<CAtChannel>(bench.serial, bench.waits);
        }
        void ShowMessage(const std::string& text, int) override {
            std::lock_guard lock(bench.m_mutex);
            messages.push_back(text);
        }
        void SetProgress(int percent) override {
            {
                std::lock_guard lock(bench.m_mutex);
                progress.push_back(percent);
            }
            if (bench.onProgress) {
                bench.onProgress(context.line, percent);
            }
        }
        void SetState(int) override {}
        void FinishJob(const std::string& text, int) override { ShowMessage(text, 1); }
        void MessageBox(const std::string& text) override {
            std::lock_guard lock(bench.m_mutex);
            bench.m_boxes.push_back(text);
        }
        bool Confirm(const std::string&) override { return false; }
        int DiagPort() override { return context.record.diagPort; }
        int AtPort() override { return context.record.atPort; }
        bool ReopenDiag(int port, int baud) override {
            CSerialPort& serialPort = runtime.link->m_port;
            serialPort.Close();
            return port > 0 && serialPort.Open(port, baud, 8, 1);
        }
        bool ReopenAt(int port, int baud) override {
            CSerialPort& serialPort = runtime.at->m_port;
            serialPort.Close();
            return port > 0 && serialPort.Open(port, baud, 8, 1);
        }
        bool CloseDiag() override {
            runtime.link->m_port.Close();
            return true;
        }
        // The stick answers again (the document's query also reads its versions for the display).
        bool QueryPhone() override { return runtime.link->CheckCommunication(); }
        bool Discover() override { return true; }

        SimBench& bench;
        LineRuntime runtime;
        JobAccount account;
        LineContext context;
        std::vector<std::string> messages;
        std::vector<int> progress;
    };

    std::mutex m_mutex;
    std::array<std::unique_ptr<Line>, kLineCount> m_lines;
    std::vector<std::string> m_boxes;
};

// Line 0 of a bench with its stick, and the files, faults and checks the tests of the line steps
// and of the image programming use.
class SimLineTest : public ::testing::Test {
  protected:
    void SetUp() override { stick = &bench.AddLine(0); }

    // Normal firmware to a loaded (`start`: running) programmer.
    void ReachProgrammer(bool start = true) {
        Use(bench.Record(0).armprgPath, "armprg.bin", 3000);
        ASSERT_TRUE(EnterDownloadMode(bench.Context(0))) << bench.Link(0).m_lastError;
        ASSERT_TRUE(UploadArmprg(bench.Context(0))) << bench.Link(0).m_lastError;
        if (start) {
            ASSERT_TRUE(StartProgrammer(bench.Context(0))) << bench.Link(0).m_lastError;
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
    std::vector<std::string> Messages() { return bench.Messages(0); }
    std::vector<int> Progress() { return bench.ProgressHistory(0); }
    std::vector<uint32_t> Waits() { return bench.waits.Waits(); }

    SimBench bench;
    sim::StickModel* stick = nullptr;
};

}  // namespace pellan::test
