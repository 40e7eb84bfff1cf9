#include "sim/stick_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <tuple>

#include "diag/frame_codec.h"

namespace pellan::sim {
namespace {

using Body = std::vector<uint8_t>;

constexpr uint32_t kRamBase = 0x00800000;
constexpr uint32_t kRamSize = 0x00100000;
constexpr size_t kMaxPending = 8192;

void PutLe16(Body& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void PutLe32(Body& b, uint32_t v) {
    PutLe16(b, v & 0xFFFF);
    PutLe16(b, v >> 16);
}
void PutBe16(Body& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
uint32_t Le32(const Body& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint32_t Be32(const Body& b, size_t at) {
    return (static_cast<uint32_t>(b[at]) << 24) | (static_cast<uint32_t>(b[at + 1]) << 16) |
           (static_cast<uint32_t>(b[at + 2]) << 8) | static_cast<uint32_t>(b[at + 3]);
}
uint16_t Be16(const Body& b, size_t at) {
    return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}
// A text in a fixed field, NUL-padded (cut when longer).
void PutText(Body& b, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        b.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
    }
}
std::string Upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}
bool Before(uint32_t now, uint32_t at) {
    return static_cast<int32_t>(now - at) < 0;
}

}  // namespace

const char* ModeName(StickMode mode) {
    switch (mode) {
        case StickMode::kNormal:
            return "normal";
        case StickMode::kDownloader:
            return "downloader";
        case StickMode::kProgrammer:
            return "programmer";
    }
    return "?";
}

// ---------------------------------------------------------------- port numbers

void PortBook::SetPolicy(PortPolicy policy) {
    std::lock_guard lock(m_mutex);
    m_policy = policy;
}

bool PortBook::Free(const void* owner, int port, uint32_t atMs) const {
    if (port <= 0) {
        return false;
    }
    for (const auto& [who, held] : m_held) {
        const bool gone = held.leaving && static_cast<int32_t>(atMs - held.freeFromMs) >= 0;
        if (who != owner && !gone && (held.ports.first == port || held.ports.second == port)) {
            return false;
        }
    }
    return true;
}

std::pair<int, int> PortBook::Claim(const void* owner, int diag, int at, bool renumber, int step,
                                    uint32_t atMs) {
    std::lock_guard lock(m_mutex);
    m_held.erase(owner);
    auto free = [&](int port) { return Free(owner, port, atMs); };
    std::pair<int, int> ports{diag, at};
    if (!renumber && free(diag) && free(at) && diag != at) {
        // keeps its numbers
    } else if (m_policy == PortPolicy::kLowestFree) {
        auto lowest = [&](int other) {
            int n = 3;
            while (!free(n) || n == diag || n == at || n == other) {
                ++n;
            }
            return n;
        };
        ports.first = lowest(0);
        ports.second = lowest(ports.first);
    } else if (renumber) {
        const int by = step > 0 ? step : 1;
        int k = 1;
        while (!free(diag + k * by) || !free(at + k * by)) {
            ++k;
        }
        ports = {diag + k * by, at + k * by};
    } else {
        // The wanted numbers are taken: the next free ones above them.
        auto above = [&](int from, int other) {
            int n = std::max(from, 1);
            while (!free(n) || n == other) {
                ++n;
            }
            return n;
        };
        ports.first = above(diag, 0);
        ports.second = above(at, ports.first);
    }
    m_held[owner] = {ports, false, 0};
    return ports;
}

void PortBook::Release(const void* owner) {
    std::lock_guard lock(m_mutex);
    m_held.erase(owner);
}

void PortBook::ReleaseAt(const void* owner, uint32_t atMs) {
    std::lock_guard lock(m_mutex);
    auto it = m_held.find(owner);
    if (it != m_held.end()) {
        it->second.leaving = true;
        it->second.freeFromMs = atMs;
    }
}

uint64_t PortBook::NextSequence() {
    std::lock_guard lock(m_mutex);
    return ++m_sequence;
}

// ---------------------------------------------------------------- stick

StickModel::StickModel(platform::Clock& clock, StickOptions options,
                       std::shared_ptr<PortBook> ports)
    : m_clock(clock),
      m_options(std::move(options)),
      m_ports(std::move(ports)),
      m_rng(m_options.faults.seed) {
    m_diagPort = m_options.diagPort;
    m_atPort = m_options.atPort;
    m_wdiag = m_options.wdiag;
    m_diagHidden = m_wdiag == 1;
    m_flashPartitionTable = m_options.flashPartitionTable;
    if (m_options.nvItems.empty()) {
        m_nv.FillFactoryDefaults(m_options.imei, m_options.nvSalt);
    } else {
        for (const auto& [id, bytes] : m_options.nvItems) {
            NvData data{};
            std::copy_n(bytes.begin(), std::min(bytes.size(), data.size()), data.begin());
            m_nv.Write(id, data);
        }
    }
    m_nvStartDigest = m_nv.Digest();
    const uint32_t now = m_clock.TickMs();
    if (m_options.appearAfterMs > 0) {
        // Plugged in later: off the bus until then, as if a restart were under way.
        m_present = false;
        m_enumerations = 0;
        m_transition.active = true;
        m_transition.left = true;
        m_transition.returnAt = now + m_options.appearAfterMs;
        return;
    }
    if (m_ports) {
        std::tie(m_diagPort, m_atPort) =
            m_ports->Claim(this, m_diagPort, m_atPort, false, m_options.renumberStep, now);
        m_options.diagPort = m_diagPort;
        m_options.atPort = m_atPort;
    }
    m_diagAppearedMs = m_atAppearedMs = now;
    m_diagSequence = m_atSequence = NextSequence();
}

StickModel::~StickModel() {
    if (m_ports) {
        m_ports->Release(this);
    }
}

StickOptions StickModel::Options() const {
    std::lock_guard lock(m_mutex);
    return m_options;
}

void StickModel::SetFaults(const FaultPlan& faults) {
    std::lock_guard lock(m_mutex);
    m_options.faults = faults;
    m_rng.seed(faults.seed);
}

// ---------------------------------------------------------------- bus

void StickModel::Update() {
    if (!m_transition.active) {
        return;
    }
    const uint32_t now = m_clock.TickMs();
    if (!m_transition.left && !Before(now, m_transition.leaveAt)) {
        m_transition.left = true;
        LeaveBus();
    }
    if (m_transition.left && !m_transition.never && !Before(now, m_transition.returnAt)) {
        m_transition.active = false;
        if (m_plugged) {
            Enumerate(m_transition.next, m_transition.renumber, m_transition.returnAt);
        }
    }
}

void StickModel::ScheduleRestart(StickMode next, uint32_t delayMs, bool renumber) {
    const uint32_t now = m_clock.TickMs();
    m_transition = {};
    m_transition.active = true;
    // The acknowledgement of the restart goes out first; the ports vanish leaveDelayMs after it.
    m_transition.leaveAt = now + m_options.replyLatencyMs + m_extraDelay + m_options.leaveDelayMs;
    m_transition.returnAt = m_transition.leaveAt + delayMs;
    m_transition.never = m_options.faults.neverReturn;
    m_transition.next = next;
    m_transition.renumber = renumber;
    if (m_ports) {
        m_ports->ReleaseAt(this, m_transition.leaveAt);
    }
}

void StickModel::LeaveBus() {
    m_present = false;
    ++m_generation;
    ++m_epoch;
    m_diagIn = {};
    m_atIn = {};
    if (m_ports) {
        m_ports->Release(this);  // another stick may take these numbers now
    }
}

uint64_t StickModel::NextSequence() {
    return m_ports ? m_ports->NextSequence() : ++m_ownSequence;
}

void StickModel::Enumerate(StickMode mode, bool renumber, uint32_t appearedMs) {
    if (m_ports) {
        std::tie(m_diagPort, m_atPort) = m_ports->Claim(this, m_diagPort, m_atPort, renumber,
                                                        m_options.renumberStep, appearedMs);
    } else if (renumber) {
        m_diagPort += m_options.renumberStep;
        m_atPort += m_options.renumberStep;
    }
    // Both interfaces appear together and go to the end of the drivers' lists.
    m_diagAppearedMs = m_atAppearedMs = appearedMs;
    m_diagSequence = m_atSequence = NextSequence();
    m_present = true;
    ++m_generation;
    ++m_epoch;
    ++m_enumerations;
    Boot(mode);
}

void StickModel::Boot(StickMode mode) {
    m_mode = mode;
    m_diagIn = {};
    m_atIn = {};
    m_echo = true;
    m_offline = false;
    m_openSession = -1;
    if (mode == StickMode::kDownloader) {
        m_ram = ImageAssembly();
    }
    if (mode == StickMode::kNormal) {
        m_armVendor = m_armE = m_arm8 = false;
        m_disarmVendor = m_disarmF = m_disarm9 = false;
    }
}

std::string StickModel::InstanceFor(const char* iface, uint64_t generation) const {
    char text[96];
    std::snprintf(text, sizeof text, "USB\\VID_1E2D&PID_0402&%s\\7&%s&%llu&0000", iface,
                  m_options.serial.c_str(), static_cast<unsigned long long>(generation));
    return text;
}

BusState StickModel::Bus() {
    std::lock_guard lock(m_mutex);
    Update();
    BusState bus;
    bus.diagPresent = DiagPresentLocked();
    bus.atPresent = AtPresentLocked();
    bus.diagPort = m_diagPort;
    bus.atPort = m_atPort;
    bus.diagGeneration = DiagGenerationLocked();
    bus.atGeneration = m_generation;
    if (m_options.publishLocation) {
        bus.location = m_options.location;
    }
    bus.diagAppearedMs = m_diagAppearedMs;
    bus.atAppearedMs = m_atAppearedMs;
    bus.diagSequence = m_diagSequence;
    bus.atSequence = m_atSequence;
    if (bus.diagPresent) {
        bus.diagInstance = InstanceFor("MI_00", m_generation);
    }
    if (bus.atPresent) {
        bus.atInstance = InstanceFor("MI_02", m_generation);
    }
    return bus;
}

bool StickModel::DiagPresentLocked() const {
    return m_present && !m_diagHidden;
}

bool StickModel::AtPresentLocked() const {
    return m_present && (m_mode == StickMode::kNormal || m_options.atPortInDownload);
}

uint64_t StickModel::DiagGenerationLocked() const {
    return m_generation * 2 + (m_diagHidden ? 1 : 0);
}

// Asked at every read and wait of a port: what Bus() says, without building the instance texts.
bool StickModel::Alive(PortKind port, uint64_t generation) {
    std::lock_guard lock(m_mutex);
    Update();
    return port == PortKind::kDiag ? DiagPresentLocked() && DiagGenerationLocked() == generation
                                   : AtPresentLocked() && m_generation == generation;
}

uint64_t StickModel::BusEpoch() {
    std::lock_guard lock(m_mutex);
    Update();
    return m_epoch;
}

void StickModel::Unplug() {
    std::lock_guard lock(m_mutex);
    m_plugged = false;
    m_transition = {};
    LeaveBus();
}

void StickModel::Plug(bool renumber) {
    std::lock_guard lock(m_mutex);
    m_plugged = true;
    m_silent = false;
    m_transition = {};
    if (m_present) {
        LeaveBus();  // plugging a present stick again is a pull and a plug
    }
    Enumerate(StickMode::kNormal, renumber, m_clock.TickMs());
}

bool StickModel::Plugged() {
    std::lock_guard lock(m_mutex);
    return m_plugged;
}

StickMode StickModel::Mode() {
    std::lock_guard lock(m_mutex);
    Update();
    return m_mode;
}

// ---------------------------------------------------------------- input

std::vector<Output> StickModel::Receive(PortKind port, uint64_t generation, const uint8_t* data,
                                        size_t len) {
    std::vector<Output> out;
    std::lock_guard lock(m_mutex);
    Update();
    const bool diagOk =
        m_present && !m_diagHidden && generation == m_generation * 2 + (m_diagHidden ? 1 : 0);
    const bool atOk = m_present && generation == m_generation &&
                      (m_mode == StickMode::kNormal || m_options.atPortInDownload);
    // A stick that acknowledged a reset is restarting: it takes nothing in any more.
    if (m_transition.active) {
        return out;
    }
    if (port == PortKind::kDiag && diagOk) {
        FeedDiagPort(data, len, out);
    } else if (port == PortKind::kAt && atOk) {
        FeedAtPort(data, len, out);
    }
    return out;
}

void StickModel::FeedDiagPort(const uint8_t* data, size_t len, std::vector<Output>& out) {
    PortInput& in = m_diagIn;
    for (size_t i = 0; i < len; ++i) {
        const uint8_t b = data[i];
        if (in.atText) {
            if (b == '\r') {
                HandleAtLine(std::string(in.pending.begin(), in.pending.end()), PortKind::kDiag,
                             out);
                in = {};
                continue;
            }
            if (b != frame::kFlag) {
                if (in.pending.size() < 512) {
                    in.pending.push_back(b);
                }
                continue;
            }
            in.atText = false;  // a flag: it was a frame after all
        }
        if (b == frame::kFlag) {
            if (!in.pending.empty()) {
                HandleFrame(in.pending, out);
            }
            in.pending.clear();
            continue;
        }
        if (in.pending.size() >= kMaxPending) {
            in.pending.clear();  // runaway input without flags: drop it like a full FIFO
            ++m_crcErrors;
        }
        in.pending.push_back(b);
        // Text that starts with "AT" is a command line, not a frame (SendSpc's 0x41 is followed by
        // a digit of the code, never by 'T').
        if (m_mode == StickMode::kNormal && in.pending.size() == 2 &&
            std::toupper(in.pending[0]) == 'A' && std::toupper(in.pending[1]) == 'T') {
            in.atText = true;
        }
    }
}

void StickModel::FeedAtPort(const uint8_t* data, size_t len, std::vector<Output>& out) {
    std::string echo;
    for (size_t i = 0; i < len; ++i) {
        const char c = static_cast<char>(data[i]);
        if (m_echo && !m_silent) {
            echo += c;
        }
        if (c == '\r') {
            if (!echo.empty()) {
                ReplyText(out, echo);
                echo.clear();
            }
            HandleAtLine(std::string(m_atIn.pending.begin(), m_atIn.pending.end()), PortKind::kAt,
                         out);
            m_atIn.pending.clear();
        } else if (c != '\n' && m_atIn.pending.size() < 512) {
            m_atIn.pending.push_back(data[i]);
        }
    }
    if (!echo.empty()) {
        ReplyText(out, echo);
    }
}

void StickModel::HandleFrame(const std::vector<uint8_t>& stuffed, std::vector<Output>& out) {
    Body body(stuffed.size());
    body.resize(frame::Unstuff(stuffed.data(), stuffed.size(), body.data()));
    if (body.size() < 3 || !frame::CrcCheck(body.data(), body.size())) {
        ++m_crcErrors;
        if (!Note(PortKind::kDiag, "CrcError", body.empty() ? -1 : body[0])) {
            return;
        }
        if (m_mode == StickMode::kNormal) {
            Body reply{0x13};
            reply.insert(reply.end(), body.begin(),
                         body.begin() + std::min<size_t>(body.size(), 16));
            Reply(out, reply);
        } else if (m_mode == StickMode::kDownloader) {
            Body reply{0x03};
            PutBe16(reply, 1);
            Reply(out, reply);
        }
        // The programmer drops a damaged frame: the host sees a lost block.
        return;
    }
    body.resize(body.size() - 2);
    switch (m_mode) {
        case StickMode::kNormal:
            HandleDiag(body, out);
            break;
        case StickMode::kDownloader:
            HandleDload(body, out);
            break;
        case StickMode::kProgrammer:
            HandleStream(body, out);
            break;
    }
}

// ---------------------------------------------------------------- replies and records

bool StickModel::Hits(const Trigger& trigger, const std::string& name) const {
    if (!trigger.Armed() || trigger.command != name) {
        return false;
    }
    auto it = m_counts.find(name);
    return it != m_counts.end() && it->second == trigger.occurrence;
}

bool StickModel::Note(PortKind port, const std::string& name, int64_t arg) {
    const int count = ++m_counts[name];
    (void)count;
    const FaultPlan& f = m_options.faults;
    const bool pulled = Hits(f.pullOut, name);
    if (Hits(f.stopAnswering, name)) {
        m_silent = true;
    }
    m_garbleNext = Hits(f.garbageReply, name);
    m_corruptNext = Hits(f.corruptReply, name);
    m_extraDelay = Hits(f.delayReply, name) ? f.replyDelayMs : 0;
    CommandRecord rec;
    rec.seq = m_commands.size() + 1;
    rec.tickMs = m_clock.TickMs();
    rec.mode = m_mode;
    rec.port = port;
    rec.name = name;
    rec.arg = arg;
    rec.answered = !m_silent && !pulled;
    m_commands.push_back(rec);
    if (pulled) {
        m_plugged = false;
        m_transition = {};
        LeaveBus();
        return false;
    }
    return !m_silent;
}

void StickModel::Reply(std::vector<Output>& out, const std::vector<uint8_t>& body) {
    const uint32_t delay = m_options.replyLatencyMs + m_extraDelay;
    if (m_garbleNext) {
        Body junk(11);
        for (auto& b : junk) {
            b = static_cast<uint8_t>(m_rng() % 0x7D);  // never a flag or an escape
        }
        out.push_back({junk, delay});
        return;
    }
    const bool leading = m_mode != StickMode::kNormal;
    Body packet = body;
    packet.resize(body.size() + 2);
    frame::CrcAppend(packet.data(), body.size());
    if (m_corruptNext) {
        packet[body.size()] ^= 0x5A;
    }
    Body framed(2 * packet.size() + 2);
    size_t n = 0;
    if (leading) {
        framed[n++] = frame::kFlag;
    }
    n += frame::Stuff(packet.data(), packet.size(), framed.data() + n);
    framed[n++] = frame::kFlag;
    framed.resize(n);
    out.push_back({framed, delay});
}

void StickModel::ReplyText(std::vector<Output>& out, const std::string& text) {
    out.push_back({Body(text.begin(), text.end()), m_options.replyLatencyMs + m_extraDelay});
}

// ---------------------------------------------------------------- AT commands

void StickModel::HandleAtLine(const std::string& line, PortKind port, std::vector<Output>& out) {
    const std::string cmd = Upper(line);
    if (port == PortKind::kDiag) {
        const std::string name = cmd == "AT$QCDMG" ? "EnterDiagByAt" : "DiagAtText";
        if (!Note(port, name, -1)) {
            return;
        }
        // The diagnostic port echoes what it got, then answers.
        ReplyText(out, line + "\r\r\n" + (cmd == "AT$QCDMG" ? "OK" : "ERROR") + "\r\n");
        return;
    }
    if (cmd.empty()) {
        return;
    }
    m_at.push_back(line);
    if (!Note(port, line, -1)) {
        return;
    }
    auto answer = [&](const std::string& text) {
        ReplyText(out, (text.empty() ? "" : "\r\n" + text + "\r\n") + "\r\nOK\r\n");
    };
    int value = 0;
    if (cmd == "AT" || cmd == "ATZ") {
        answer("");
    } else if (cmd == "ATE0" || cmd == "ATE1") {
        m_echo = cmd == "ATE1";
        answer("");
    } else if (cmd == "AT+GMR") {
        answer("+GMR: " + m_options.firmwareVersion + " 2026-01-05");
    } else if (cmd == "ATI") {
        answer(m_options.modelText);
    } else if (cmd == "AT+WDIAG?") {
        answer("+WDIAG: " + std::to_string(m_wdiag));
    } else if (std::sscanf(cmd.c_str(), "AT+WDIAG=%d", &value) == 1) {
        m_wdiag = value;
        const bool hide = value == 1;
        if (hide != m_diagHidden) {
            m_diagHidden = hide;
            ++m_epoch;
            m_diagIn = {};
            if (!hide) {
                m_diagAppearedMs = m_clock.TickMs();  // shown again: listed last
                m_diagSequence = NextSequence();
            }
        }
        answer("");
    } else if (cmd == "AT+WCDRUN=E" || cmd == "AT+WCDRUN=8" || cmd == "AT+WCDRUN=F" ||
               cmd == "AT+WCDRUN=9") {
        const char v = cmd.back();
        m_armE |= v == 'E';
        m_arm8 |= v == '8';
        m_disarmF |= v == 'F';
        m_disarm9 |= v == '9';
        answer("");
    } else {
        ReplyText(out, "\r\nERROR\r\n");
    }
}

// ---------------------------------------------------------------- DIAG

void StickModel::HandleDiag(const std::vector<uint8_t>& body, std::vector<Output>& out) {
    const uint8_t code = body[0];
    auto badLength = [&](const char* name) {
        if (Note(PortKind::kDiag, name, -1)) {
            Body reply{0x15};
            reply.insert(reply.end(), body.begin(), body.end());
            Reply(out, reply);
        }
    };
    switch (code) {
        case 0x01: {
            if (!Note(PortKind::kDiag, "ReadEsn", -1))
                return;
            Body reply{0x01};
            PutLe32(reply, m_options.esn);
            Reply(out, reply);
            return;
        }
        case 0x26:
        case 0x27: {
            const char* name = code == 0x26 ? "ReadNvItem" : "WriteNvItem";
            if (body.size() != 133) {
                badLength(name);
                return;
            }
            const uint16_t id = static_cast<uint16_t>(body[1] | (body[2] << 8));
            if (!Note(PortKind::kDiag, name, id))
                return;
            NvData data{};
            std::copy(body.begin() + 3, body.begin() + 131, data.begin());
            uint16_t status = 0;
            const FaultPlan& f = m_options.faults;
            if (code == 0x26) {
                auto item = m_nv.Read(id);
                if (!item || f.nvInactive.count(id) != 0) {
                    status = 5;
                } else {
                    data = *item;
                }
            } else {
                auto it = f.nvWriteStatus.find(id);
                status = it != f.nvWriteStatus.end() ? it->second : f.nvWriteStatusAll;
                const uint32_t now = m_clock.TickMs();
                if (status == 0 && m_options.nvWriteSpacingMs > 0 && m_lastNvWriteMs &&
                    now - *m_lastNvWriteMs < m_options.nvWriteSpacingMs) {
                    status = 1;
                }
                m_lastNvWriteMs = now;
                if (status == 0) {
                    m_nv.Write(id, data);
                }
                m_nvWrites.push_back({id, data, status});
            }
            Body reply{code};
            PutLe16(reply, id);
            reply.insert(reply.end(), data.begin(), data.end());
            PutLe16(reply, status);
            Reply(out, reply);
            return;
        }
        case 0x29: {
            if (body.size() != 3) {
                badLength("ModeChange");
                return;
            }
            const uint16_t mode = static_cast<uint16_t>(body[1] | (body[2] << 8));
            const char* name = mode == 1   ? "GoOffline"
                               : mode == 2 ? "ResetPhone"
                               : mode == 4 ? "GoOnline"
                                           : "ModeChange";
            if (!Note(PortKind::kDiag, name, mode))
                return;
            Reply(out, body);
            if (mode == 1) {
                m_offline = true;
            } else if (mode == 4) {
                m_offline = false;
            } else if (mode == 2) {
                if (m_armVendor && m_armE && m_arm8) {
                    m_downloadState = true;
                }
                if (m_disarmVendor && m_disarmF && m_disarm9) {
                    m_downloadState = false;
                }
                if (m_flashWritten && m_vendorMode == 0) {
                    m_updateFinished = true;
                }
                ScheduleRestart(StickMode::kNormal, m_options.reenumDelayMs,
                                (m_options.renumberOn & RENUMBER_ON_RESET_PHONE) != 0);
            }
            return;
        }
        case 0x38: {
            if (!Note(PortKind::kDiag, "ReadSwVersion", -1))
                return;
            Body reply{0x38};
            PutText(reply, m_options.firmwareVersion, 21);
            PutText(reply, "Jan 05 2026", 12);
            PutText(reply, "10:21:07", 9);
            Reply(out, reply);
            return;
        }
        case 0x39: {
            if (!Note(PortKind::kDiag, "ReadVersionSet", -1))
                return;
            // Nine texts of 30 bytes, each followed by a zero separator, then two short texts: a
            // reply long enough for the nine-text layout, with the model identity ninth.
            const std::string texts[9] = {m_options.firmwareVersion,
                                          "HW_V1.1",
                                          "BOOT_V2.0.7",
                                          "APPS_V1.0.3",
                                          "MODEM_V1.0.3",
                                          "UI_V1.0",
                                          "DASHBOARD_V2.1",
                                          "NV_V1.0",
                                          m_options.modelText};
            Body reply{0x39};
            for (const std::string& text : texts) {
                PutText(reply, text, 30);
                reply.push_back(0);
            }
            PutText(reply, "Jan 05 2026", 12);
            reply.push_back(0);
            PutText(reply, "10:21:07", 9);
            Reply(out, reply);
            return;
        }
        case 0x3A: {
            if (!Note(PortKind::kDiag, "SwitchToDownloader", -1))
                return;
            Reply(out, body);
            ScheduleRestart(StickMode::kDownloader, m_options.downloaderReenumDelayMs,
                            (m_options.renumberOn & RENUMBER_ON_DOWNLOADER) != 0);
            return;
        }
        case 0x41: {
            if (!Note(PortKind::kDiag, "SendSpc", -1))
                return;
            const bool good =
                body.size() == 7 && std::string(body.begin() + 1, body.end()) == m_options.spc;
            Reply(out, Body{0x41, static_cast<uint8_t>(good ? 1 : 0)});
            return;
        }
        case 0x4B: {
            if (body.size() < 4) {
                badLength("SubsystemCommand");
                return;
            }
            if (body[1] == 0x04 && body[2] == 0x0E && body[3] == 0x00) {
                if (!Note(PortKind::kDiag, "QueryModemStatus", -1))
                    return;
                Reply(out, Body{0x4B, 0x04, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00});
                return;
            }
            HandleVendor(body, out);
            return;
        }
        case 0x5C: {
            if (!Note(PortKind::kDiag, "FeatureRequest5C", -1))
                return;
            Reply(out, body);
            return;
        }
        case 0x7C: {
            if (!Note(PortKind::kDiag, "ReadExtBuildId", -1))
                return;
            Body reply{0x7C, 0x00, 0x00, 0x00};
            PutLe32(reply, 0x000060E1);  // hardware version
            PutLe32(reply, 0x00000402);  // model number
            PutText(reply, m_options.firmwareVersion, 256);
            Reply(out, reply);
            return;
        }
        default: {
            if (!Note(PortKind::kDiag, "DiagUnknown", code))
                return;
            Body reply{0x13};
            reply.insert(reply.end(), body.begin(), body.end());
            Reply(out, reply);
            return;
        }
    }
}

void StickModel::HandleVendor(const std::vector<uint8_t>& body, std::vector<Output>& out) {
    const uint8_t subsys = body[1];
    const uint16_t cmd = static_cast<uint16_t>(body[2] | (body[3] << 8));
    auto status = [&](uint8_t value) {
        Body reply(body.begin(), body.begin() + 4);
        reply.push_back(value);
        Reply(out, reply);
    };
    if (subsys == 0xA1 && cmd == 0 && body.size() == 5) {
        if (!Note(PortKind::kDiag, "SetAutorun", body[4]))
            return;
        m_autorun = body[4];
        status(0);
    } else if (subsys == 0xAA && cmd == 0 && body.size() == 5) {
        const uint8_t v = body[4];
        if (!Note(PortKind::kDiag, "SetVendorMode", v))
            return;
        uint8_t result = 0;
        if (v == 0 || v == 1) {
            m_vendorMode = v;
            m_armVendor |= v == 1;
            m_disarmVendor |= v == 0;
        } else if (v == 2) {
            result = m_downloadState ? 0 : 1;  // only a stick that was armed and restarted
        } else {
            result = 1;
        }
        status(result);
    } else if (subsys == 0xA3 && cmd == 0 && body.size() == 4 + 128) {
        if (!Note(PortKind::kDiag, "GetValue128", -1))
            return;
        status(0);
    } else if (subsys == 0xA3 && cmd == 5 && body.size() == 4 + 128) {
        if (!Note(PortKind::kDiag, "DownloadCheck", -1))
            return;
        Body reply(body.begin(), body.begin() + 4);
        PutLe32(reply, m_options.faults.downloadCheckStatus);
        Reply(out, reply);
    } else if (subsys == 0xA3 && cmd == 6 && body.size() == 4) {
        if (!Note(PortKind::kDiag, "GetValue8", -1))
            return;
        if (m_options.challenge) {
            m_challenge = *m_options.challenge;
            m_challenge.resize(8);
        } else {
            // Drawn without flag and escape bytes: the host compares the raw reply unescaped.
            m_challenge.assign(8, 0);
            for (auto& b : m_challenge) {
                do {
                    b = static_cast<uint8_t>(m_rng());
                } while (b == frame::kFlag || b == frame::kEscape);
            }
        }
        Body reply(body.begin(), body.begin() + 4);
        reply.insert(reply.end(), m_challenge.begin(), m_challenge.end());
        Reply(out, reply);
    } else if (subsys == 0xA3 && cmd == 7 && body.size() == 4 + 16) {
        const std::vector<uint8_t> expected = Md5(m_challenge.data(), m_challenge.size());
        const bool good =
            !m_challenge.empty() && std::equal(expected.begin(), expected.end(), body.begin() + 4);
        if (!Note(PortKind::kDiag, good ? "SetValue16" : "SetValue16Wrong", -1))
            return;
        status(good ? 0 : 1);
    } else {
        if (!Note(PortKind::kDiag, "DiagUnknown", 0x4B))
            return;
        Body reply{0x13};
        reply.insert(reply.end(), body.begin(), body.end());
        Reply(out, reply);
    }
}

// ---------------------------------------------------------------- boot downloader (DMSS)

void StickModel::HandleDload(const std::vector<uint8_t>& body, std::vector<Output>& out) {
    auto ack = [&] { Reply(out, Body{0x02}); };
    auto nak = [&](uint16_t reason) {
        Body reply{0x03};
        PutBe16(reply, reason);
        Reply(out, reply);
    };
    switch (body[0]) {
        case 0x0F: {
            if (body.size() < 7) {
                if (Note(PortKind::kDiag, "DloadWrite32", -1))
                    nak(4);
                return;
            }
            const uint32_t address = Be32(body, 1);
            const uint16_t length = Be16(body, 5);
            if (!Note(PortKind::kDiag, "DloadWrite32", address))
                return;
            if (body.size() < 7u + length) {
                nak(4);
                return;
            }
            if (body.size() > 7u + length) {
                nak(3);
                return;
            }
            if (address < kRamBase || address + length > kRamBase + kRamSize) {
                nak(2);
                return;
            }
            const FaultPlan& f = m_options.faults;
            auto it = f.nakDloadWrites.find(address);
            if (it != f.nakDloadWrites.end() &&
                (f.nakDloadWriteTimes < 0 || m_nakCounts[address] < f.nakDloadWriteTimes)) {
                ++m_nakCounts[address];
                nak(it->second);
                return;
            }
            if (m_ram.Empty()) {
                m_ram.SetBaseAddress(kRamBase);
            }
            m_ram.Write(address, body.data() + 7, length);
            ack();
            return;
        }
        case 0x05:
        case 0x90: {
            const bool alt = body[0] == 0x90;
            if (body.size() != 5) {
                if (Note(PortKind::kDiag, alt ? "DloadGoAlt" : "DloadGo", -1))
                    nak(4);
                return;
            }
            const uint32_t address = (static_cast<uint32_t>(Be16(body, 1)) << 16) | Be16(body, 3);
            if (!Note(PortKind::kDiag, alt ? "DloadGoAlt" : "DloadGo", address))
                return;
            if (!alt && m_options.faults.ignoreDloadGo) {
                return;
            }
            if (address != kRamBase || m_ram.Empty()) {
                nak(2);
                return;
            }
            ack();
            // The programmer takes over the same port at once.
            m_mode = StickMode::kProgrammer;
            m_openSession = -1;
            m_diagIn = {};
            return;
        }
        case 0x06:
            if (Note(PortKind::kDiag, "DloadNop", -1))
                ack();
            return;
        case 0x07: {
            if (!Note(PortKind::kDiag, "DloadGetParams", -1))
                return;
            // version 6, minimum 2, largest write 0x400, model 0x0F, flash size code 4 (2 MB).
            Reply(out, Body{0x08, 0x06, 0x02, 0x00, 0x00, 0x04, 0x00, 0x0F, 0x04, 0x10});
            return;
        }
        case 0x0A:
            if (!Note(PortKind::kDiag, "DloadReset", -1))
                return;
            ack();
            ScheduleRestart(StickMode::kNormal, m_options.reenumDelayMs,
                            (m_options.renumberOn & RENUMBER_ON_DLOAD_RESET) != 0);
            return;
        default:
            if (Note(PortKind::kDiag, "DloadUnknown", body[0]))
                nak(6);
            return;
    }
}

// ---------------------------------------------------------------- RAM programmer (streaming)

void StickModel::HandleStream(const std::vector<uint8_t>& body, std::vector<Output>& out) {
    auto error = [&](uint32_t code) {
        Body reply{0x0D};
        PutLe32(reply, code);
        Reply(out, reply);
    };
    switch (body[0]) {
        case 0x01: {
            static const std::string kHost = "QCOM fast download protocol host";
            if (!Note(PortKind::kDiag, "StreamHello", -1))
                return;
            if (body.size() < 36 || std::string(body.begin() + 1, body.begin() + 33) != kHost) {
                error(5);
                return;
            }
            Body reply{0x02};
            PutText(reply, "QCOM fast download protocol targ", 32);
            reply.push_back(0x02);  // version
            reply.push_back(0x02);  // compatible version
            PutLe32(reply, 1024);   // largest block
            PutLe32(reply, 0);      // flash base
            const std::string flashId = "NAND-2K";
            reply.push_back(static_cast<uint8_t>(flashId.size()));
            PutText(reply, flashId, flashId.size());
            PutLe16(reply, 5);     // window
            PutLe16(reply, 2048);  // blocks
            reply.push_back(body[35]);
            Reply(out, reply);
            return;
        }
        case 0x17:
            if (Note(PortKind::kDiag, "StreamSecurityMode", body.size() > 1 ? body[1] : -1)) {
                Reply(out, Body{0x18});
            }
            return;
        case 0x19: {
            if (body.size() < 2) {
                if (Note(PortKind::kDiag, "StreamPartitionTable", -1))
                    error(4);
                return;
            }
            if (!Note(PortKind::kDiag, "StreamPartitionTable", body[1]))
                return;
            const Body table(body.begin() + 2, body.end());
            m_partitionTable = table;
            m_partitionOverride = body[1];
            int status = m_options.faults.partitionStatus;
            if (status < 0) {
                // A table that differs from the one in flash needs the override.
                status = (!m_flashPartitionTable.empty() && m_flashPartitionTable != table &&
                          body[1] == 0)
                             ? 1
                             : 0;
            }
            if (status == 0) {
                m_flashPartitionTable = table;
            }
            Reply(out, Body{0x1A, static_cast<uint8_t>(status)});
            return;
        }
        case 0x1B: {
            if (body.size() < 2) {
                if (Note(PortKind::kDiag, "StreamOpenMultiImage", -1))
                    error(4);
                return;
            }
            if (!Note(PortKind::kDiag, "StreamOpenMultiImage", body[1]))
                return;
            // Opening while an image is open ends the earlier one, as a close would.
            ImageSession session;
            session.type = body[1];
            m_sessions.push_back(std::move(session));
            m_openSession = static_cast<int>(m_sessions.size()) - 1;
            Reply(out, Body{0x1C, 0x00});
            return;
        }
        case 0x07:
            HandleStreamWrite(body, out);
            return;
        case 0x15: {
            if (!Note(PortKind::kDiag, "StreamClose", -1))
                return;
            if (m_openSession >= 0) {
                ImageSession& s = m_sessions[static_cast<size_t>(m_openSession)];
                s.closed = true;
                if (!s.image.Empty()) {
                    m_flashWritten = true;
                    m_efsWritten |= s.type == 0x09;
                }
            }
            m_openSession = -1;
            Reply(out, Body{0x16});
            return;
        }
        case 0x09: {
            if (!Note(PortKind::kDiag, "StreamNop", body.size() > 1 ? body[1] : -1))
                return;
            Body reply{0x0A};
            reply.insert(reply.end(), body.begin() + 1, body.end());
            Reply(out, reply);
            return;
        }
        case 0x0B:
            if (!Note(PortKind::kDiag, "StreamReset", -1))
                return;
            Reply(out, Body{0x0C});
            if (m_efsWritten && m_options.efsWipesNv) {
                m_nv.Clear();  // a factory file system carries no calibration
            }
            m_efsWritten = false;
            ScheduleRestart(StickMode::kNormal, m_options.reenumDelayMs,
                            (m_options.renumberOn & RENUMBER_ON_STREAM_RESET) != 0);
            return;
        default:
            if (Note(PortKind::kDiag, "StreamUnknown", body[0]))
                error(5);
            return;
    }
}

void StickModel::HandleStreamWrite(const std::vector<uint8_t>& body, std::vector<Output>& out) {
    if (body.size() < 5) {
        if (Note(PortKind::kDiag, "StreamWrite", -1)) {
            Body reply{0x0D};
            PutLe32(reply, 4);
            Reply(out, reply);
        }
        return;
    }
    const uint32_t address = Le32(body, 1);
    if (!Note(PortKind::kDiag, "StreamWrite", address))
        return;
    auto error = [&](uint32_t code) {
        Body reply{0x0D};
        PutLe32(reply, code);
        Reply(out, reply);
    };
    if (m_openSession < 0) {
        error(15);  // command out of sequence: no image is open
        return;
    }
    ImageSession& session = m_sessions[static_cast<size_t>(m_openSession)];
    const FaultPlan& f = m_options.faults;
    const uint64_t key = (static_cast<uint64_t>(session.type) << 32) | address;
    const bool faultable = (f.blockFaultImageType < 0 || f.blockFaultImageType == session.type) &&
                           (!f.blockFaultsOnce || m_firedBlockFaults.count(key) == 0);
    if (faultable) {
        auto it = f.errorBlocks.find(address);
        if (it != f.errorBlocks.end()) {
            m_firedBlockFaults.insert(key);
            error(it->second);
            return;
        }
    }
    session.image.Write(address, body.data() + 5, body.size() - 5);
    if (faultable) {
        const bool drop = f.dropAckAddresses.count(address) != 0 ||
                          (f.dropAckFraction > 0 && std::uniform_real_distribution<double>(
                                                        0.0, 1.0)(m_rng) < f.dropAckFraction);
        if (drop) {
            m_firedBlockFaults.insert(key);
            return;
        }
        if (f.corruptAckAddresses.count(address) != 0) {
            m_firedBlockFaults.insert(key);
            m_corruptNext = true;
        }
    }
    Body reply{0x08};
    PutLe32(reply, address);
    Reply(out, reply);
}

// ---------------------------------------------------------------- queries

std::vector<CommandRecord> StickModel::Commands() {
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::vector<std::string> StickModel::CommandNames() {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> names;
    names.reserve(m_commands.size());
    for (const auto& c : m_commands) {
        names.push_back(c.name);
    }
    return names;
}

size_t StickModel::CountOf(const std::string& name) {
    std::lock_guard lock(m_mutex);
    auto it = m_counts.find(name);
    return it == m_counts.end() ? 0 : static_cast<size_t>(it->second);
}

std::vector<std::string> StickModel::AtCommands() {
    std::lock_guard lock(m_mutex);
    return m_at;
}

std::vector<NvWriteRecord> StickModel::NvWrites() {
    std::lock_guard lock(m_mutex);
    return m_nvWrites;
}

size_t StickModel::CrcErrors() {
    std::lock_guard lock(m_mutex);
    return m_crcErrors;
}

std::optional<NvData> StickModel::NvItem(uint16_t id) {
    std::lock_guard lock(m_mutex);
    return m_nv.Read(id);
}

std::vector<uint8_t> StickModel::PartitionTable() {
    std::lock_guard lock(m_mutex);
    return m_partitionTable;
}

int StickModel::PartitionOverrideFlag() {
    std::lock_guard lock(m_mutex);
    return m_partitionOverride;
}

ImageAssembly StickModel::RamImage() {
    std::lock_guard lock(m_mutex);
    return m_ram;
}

std::optional<ImageSession> StickModel::LatestImage(int type) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_sessions.rbegin(); it != m_sessions.rend(); ++it) {
        if (it->type == type) {
            return *it;
        }
    }
    return std::nullopt;
}

std::vector<ImageSession> StickModel::ImageSessions() {
    std::lock_guard lock(m_mutex);
    return m_sessions;
}

std::vector<uint8_t> StickModel::Challenge() {
    std::lock_guard lock(m_mutex);
    return m_challenge;
}

int StickModel::VendorMode() {
    std::lock_guard lock(m_mutex);
    return m_vendorMode;
}

int StickModel::Autorun() {
    std::lock_guard lock(m_mutex);
    return m_autorun;
}

bool StickModel::InDownloadState() {
    std::lock_guard lock(m_mutex);
    return m_downloadState;
}

bool StickModel::UpdateFinished() {
    std::lock_guard lock(m_mutex);
    Update();
    return m_updateFinished;
}

int StickModel::Enumerations() {
    std::lock_guard lock(m_mutex);
    Update();
    return m_enumerations;
}

}  // namespace pellan::sim
