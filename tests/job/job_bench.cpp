#include "job/job_bench.h"

#include <algorithm>

#include "diag/frame_codec.h"
#include "firmware/firmware_set.h"
#include "line/standard_jobs.h"
#include "line/station_firmware.h"
#include "nv/nv_backup.h"
#include "platform/log_stamp.h"

namespace pellan::test {

namespace {

constexpr int kLine = 0;

// The packets of a write: frames split at their flags, unstuffed, CRC checked and dropped.
std::vector<Packet> PacketsOf(const uint8_t* data, size_t len) {
    std::vector<Packet> packets;
    Packet chunk;
    auto finish = [&] {
        if (chunk.size() >= 3) {
            chunk.resize(frame::Unstuff(chunk.data(), chunk.size(), chunk.data()));
            if (chunk.size() >= 3 && frame::CrcCheck(chunk.data(), chunk.size())) {
                chunk.resize(chunk.size() - 2);
                packets.push_back(chunk);
            }
        }
        chunk.clear();
    };
    for (size_t i = 0; i < len; ++i) {
        if (data[i] == frame::kFlag) {
            finish();
        } else {
            chunk.push_back(data[i]);
        }
    }
    finish();
    return packets;
}

class WithholdingDevice final : public platform::SerialDevice {
  public:
    WithholdingDevice(std::unique_ptr<platform::SerialDevice> inner, WithholdingSerial& owner)
        : m_inner(std::move(inner)), m_owner(owner) {}

    size_t Write(const uint8_t* data, size_t len, bool dropInput) override {
        m_withholding = m_owner.ShouldWithhold(data, len);
        return m_inner->Write(data, len, dropInput);
    }
    size_t BytesWaiting() override {
        Drain();
        return m_inner->BytesWaiting();
    }
    size_t Read(uint8_t* buf, size_t max) override {
        Drain();
        return m_inner->Read(buf, max);
    }
    void Purge() override { m_inner->Purge(); }
    bool WaitForInput(uint32_t ms) override {
        if (m_withholding) {
            m_owner.Clock().SleepMs(ms);
            Drain();
            return false;
        }
        return m_inner->WaitForInput(ms);
    }
    bool Gone() override { return m_inner->Gone(); }

  private:
    // The answer to a withheld request never reaches the host.
    void Drain() {
        if (!m_withholding) {
            return;
        }
        uint8_t sink[256];
        while (m_inner->Read(sink, sizeof(sink)) > 0) {
        }
    }

    std::unique_ptr<platform::SerialDevice> m_inner;
    WithholdingSerial& m_owner;
    bool m_withholding = false;
};

// ResetPhone (0x29 mode 2), DloadReset (0x0A) or the programmer's StreamReset (0x0B).
bool IsResetRequest(const Packet& b) {
    const bool resetPhone = b.size() == 3 && b[0] == 0x29 && b[1] == 0x02 && b[2] == 0x00;
    const bool dloadReset = b.size() == 1 && b[0] == 0x0A;
    const bool streamReset = b.size() == 1 && b[0] == 0x0B;
    return resetPhone || dloadReset || streamReset;
}

}  // namespace

PacketMatch RequestStartingWith(Packet prefix, size_t minSize) {
    return [prefix = std::move(prefix), minSize](const Packet& b) {
        return b.size() >= std::max(minSize, prefix.size()) &&
               std::equal(prefix.begin(), prefix.end(), b.begin());
    };
}

void WithholdingSerial::Withhold(PacketMatch match, std::set<int> occurrences) {
    std::lock_guard lock(m_mutex);
    m_rules.push_back({std::move(match), std::move(occurrences), 0});
}

bool WithholdingSerial::ShouldWithhold(const uint8_t* data, size_t len) {
    std::lock_guard lock(m_mutex);
    bool withhold = false;
    for (const Packet& packet : PacketsOf(data, len)) {
        m_written.push_back(packet);
        for (Rule& rule : m_rules) {
            if (rule.match(packet)) {
                ++rule.seen;
                withhold |= rule.occurrences.empty() || rule.occurrences.count(rule.seen) != 0;
            }
        }
    }
    return withhold;
}

std::unique_ptr<platform::SerialDevice> WithholdingSerial::Open(
    int portNumber, const platform::LineSettings& settings) {
    std::unique_ptr<platform::SerialDevice> inner = m_inner.Open(portNumber, settings);
    if (!inner) {
        return nullptr;
    }
    return std::make_unique<WithholdingDevice>(std::move(inner), *this);
}

// ---- JobSink ----

namespace {

// Keeps the value and runs the hook outside the lock (a hook may stop the line, which shows more).
template <class T, class Hook>
void Keep(std::mutex& mutex, std::vector<T>& into, const T& value, const Hook& hook) {
    {
        std::lock_guard lock(mutex);
        into.push_back(value);
    }
    if (hook) {
        hook(value);
    }
}

}  // namespace

void JobSink::LineLogAppended(int line, const std::string& entry) {
    const std::string separator = kLogSeparator;
    const size_t at = entry.find(separator);
    if (line == kLine) {
        Keep(m_mutex, m_messages,
             at == std::string::npos ? entry : entry.substr(at + separator.size()), onMessage);
    }
}

void JobSink::ControlProgress(int controlId, int position) {
    if (controlId == ctl::kProgressBar + kLine) {
        Keep(m_mutex, m_progress, position, onProgress);
    }
}

void JobSink::LineState(int line, int state) {
    if (line == kLine) {
        Keep(m_mutex, m_states, state, std::function<void(int)>());
    }
}

void JobSink::MessageBox(const std::string& text) {
    Keep(m_mutex, m_boxes, text, onBox);
}

// ---- JobBench ----

JobBench::JobBench() {
    env.clock = &clock;
    env.serial = &serial;
    env.registry = &registry;
    env.deviceRoot = dir.Path() / "root";
    std::filesystem::create_directories(env.deviceRoot);

    std::filesystem::create_directories(dir.Path() / "program");
    std::filesystem::create_directories(dir.Path() / "nv");
    doc = std::make_unique<CPellanDoc>(env, dir.Path() / "program");
    view = std::make_unique<CPellanView>(*doc, sink);
    InstallStandardJobs(*view);
    sink.onMessage = [this](const std::string&) { m_packetsAtLastMessage = serial.WrittenCount(); };
    std::string error;
    ChooseNvFolder(doc->Records(), (dir.Path() / "nv").string(), error);
    InstallFirmwareSet(*view);
}

JobBench::~JobBench() {
    ReleaseLineController(*view);
    view.reset();
    doc.reset();
}

sim::StickModel& JobBench::Plug(sim::StickOptions options) {
    stick = machine.AddStick(std::move(options));
    return *stick;
}

bool JobBench::RunUpdate() {
    doc->DiscoverPorts(kLine);
    doc->ReopenDiagPort(kLine, doc->Record(kLine).diagPort, 115200);
    doc->ReopenAtPort(kLine, doc->Record(kLine).atPort, 115200);
    doc->QueryPhone(kLine);
    doc->Runtime(kLine).jobKind = JOB_UPDATE;
    if (!view->StartLineJob(kLine)) {
        return false;
    }
    view->WaitLineJob(kLine);
    return true;
}

bool JobBench::ResetAfterLastMessage() const {
    const std::vector<Packet> written = serial.Written();
    return std::any_of(written.begin() + static_cast<std::ptrdiff_t>(m_packetsAtLastMessage.load()),
                       written.end(), IsResetRequest);
}

}  // namespace pellan::test
