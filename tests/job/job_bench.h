#pragma once

// The whole update job in-process: document, view and the standard jobs on a virtual clock, the
// simulated stick behind a serial layer that can withhold the stick's answers to chosen requests.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "firmware_gen.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/resources.h"
#include "sim/sim_machine.h"
#include "support/resource_set.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/view_sink.h"

namespace pellan::test {

using Packet = std::vector<uint8_t>;
using PacketMatch = std::function<bool(const Packet& body)>;

// Request packets (unstuffed, without CRC) of the commands the tests withhold answers to.
PacketMatch RequestStartingWith(Packet prefix, size_t minSize = 0);
inline PacketMatch VendorModeRequest(uint8_t value) {
    return RequestStartingWith({0x4B, 0xAA, 0, 0, value});
}
inline PacketMatch NvReadRequest(uint16_t item) {
    return RequestStartingWith({0x26, uint8_t(item & 0xFF), uint8_t(item >> 8)});
}
inline PacketMatch OpenImageRequest(uint8_t type) {
    return RequestStartingWith({0x1B, type});
}
inline PacketMatch CodeRequest(uint8_t code, size_t minSize = 1) {
    return RequestStartingWith({code}, minSize);
}

// Passes everything to the simulator's ports but swallows the answer to chosen requests, as a
// stick that does not answer them. Also keeps every packet the host wrote.
class WithholdingSerial final : public platform::SerialProvider {
  public:
    WithholdingSerial(platform::SerialProvider& inner, platform::Clock& clock)
        : m_inner(inner), m_clock(clock) {}

    // Withholds the answers to the matching requests; `occurrences` (1-based) picks some of them,
    // empty means all.
    void Withhold(PacketMatch match, std::set<int> occurrences = {});
    std::vector<Packet> Written() const {
        std::lock_guard lock(m_mutex);
        return m_written;
    }
    size_t WrittenCount() const {
        std::lock_guard lock(m_mutex);
        return m_written.size();
    }
    std::unique_ptr<platform::SerialDevice> Open(int portNumber,
                                                 const platform::LineSettings& settings) override;
    // Used by the devices.
    bool ShouldWithhold(const uint8_t* data, size_t len);
    platform::Clock& Clock() { return m_clock; }

  private:
    struct Rule {
        PacketMatch match;
        std::set<int> occurrences;
        int seen = 0;
    };
    platform::SerialProvider& m_inner;
    platform::Clock& m_clock;
    mutable std::mutex m_mutex;
    std::vector<Rule> m_rules;
    std::vector<Packet> m_written;
};

// What the view shows of line 0 (status texts without stamps, progress values, states) and every
// box, with hooks that run on the job's thread (to stop, unplug or fault the stick at a chosen
// moment).
class JobSink final : public ViewSink {
    template <class F>
    auto Locked(F f) const {
        std::lock_guard lock(m_mutex);
        return f();
    }

  public:
    void LineLogAppended(int line, const std::string& entry) override;
    void ControlProgress(int controlId, int position) override;
    void LineState(int line, int state) override;
    void MessageBox(const std::string& text) override;
    void ProgramEndRequested() override {
        Locked([&] { ++m_endRequests; });
    }

    std::vector<std::string> Messages() const {
        return Locked([&] { return m_messages; });
    }
    std::vector<int> Progress() const {
        return Locked([&] { return m_progress; });
    }
    std::vector<int> States() const {
        return Locked([&] { return m_states; });
    }
    std::vector<std::string> Boxes() const {
        return Locked([&] { return m_boxes; });
    }
    int EndRequests() const {
        return Locked([&] { return m_endRequests; });
    }

    std::function<void(int percent)> onProgress;
    std::function<void(const std::string& text)> onMessage;
    std::function<void(const std::string& text)> onBox;

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_messages;
    std::vector<int> m_progress;
    std::vector<int> m_states;
    std::vector<std::string> m_boxes;
    int m_endRequests = 0;
};

class JobBench {
  public:
    JobBench();
    ~JobBench();

    // Plugs in the stick of line 0 (ports 5 and 6 unless the options say otherwise).
    sim::StickModel& Plug(sim::StickOptions options = {});
    // Finds and queries the stick as the polling loop does, starts the update job on line 0 and
    // waits until it has ended. False when StartLineJob refused.
    bool RunUpdate();

    std::string NvFolder() const { return GetField(doc->Record(0).nvFolder); }
    std::string LastMessage() const {
        const std::vector<std::string> messages = sink.Messages();
        return messages.empty() ? std::string() : messages.back();
    }
    // Whether the host reset the stick after the last status line (the job's final text).
    bool ResetAfterLastMessage() const;

    TempDir dir;
    platform::VirtualClock clock;
    sim::SimMachine machine{clock};
    sim::SimSerialProvider simSerial{machine};
    WithholdingSerial serial{simSerial, clock};
    sim::SimRegistry registry{machine};
    platform::Env env;
    JobSink sink;
    std::unique_ptr<CPellanDoc> doc;
    std::unique_ptr<CPellanView> view;
    std::shared_ptr<sim::StickModel> stick;

  private:
    std::atomic<size_t> m_packetsAtLastMessage{0};
    ResourceSet m_resources{SmallSet()};
};

}  // namespace pellan::test
