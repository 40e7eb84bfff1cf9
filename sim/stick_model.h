#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/image_assembly.h"
#include "sim/nv_store.h"
#include "sim/stick_options.h"

namespace pellan::sim {

enum class StickMode { kNormal, kDownloader, kProgrammer };
enum class PortKind { kDiag, kAt };

const char* ModeName(StickMode mode);

// Bytes the stick sends, readable `delayMs` after the request that caused them.
struct Output {
    std::vector<uint8_t> bytes;
    uint32_t delayMs = 0;
};

// One command as the stick received it.
struct CommandRecord {
    uint64_t seq = 0;
    uint32_t tickMs = 0;
    StickMode mode = StickMode::kNormal;
    PortKind port = PortKind::kDiag;
    std::string name;  // host operation name or the AT command text
    int64_t arg = -1;  // item id, address, mode value, image type... (-1: none)
    bool answered = true;
};

struct NvWriteRecord {
    uint16_t id = 0;
    NvData data{};
    uint16_t status = 0;  // what the stick answered
};

// How a machine numbers the ports of a stick that restarts with new numbers.
enum class PortPolicy {
    // Both numbers move on by the stick's renumberStep (further while another stick holds one).
    kStep,
    // The lowest numbers from COM3 up that no present stick holds, never the stick's own previous
    // ones: a stick that comes back may get numbers that another stick had before its own restart.
    kLowestFree,
};

// The port numbers of one machine: no two present sticks ever hold the same number. A stick holds
// its two numbers while it is on the bus and gives them up when it leaves it. Also hands out the
// order in which interfaces appear. Thread-safe; it never calls a stick, so a stick may call it
// under its own lock.
class PortBook {
  public:
    void SetPolicy(PortPolicy policy);
    // The numbers `owner` gets as it appears at tick `atMs`: the wanted pair when it keeps its
    // numbers and both are free, otherwise new ones by the policy (also when one of the wanted is
    // taken).
    std::pair<int, int> Claim(const void* owner, int diag, int at, bool renumber, int step,
                              uint32_t atMs);
    // `owner` gives its numbers up now / from tick `atMs` on (it leaves the bus then). Sticks
    // update themselves only when they are looked at, so a stick that comes back must still see
    // the numbers of a stick that left before it as free, whichever of the two is looked at first.
    void Release(const void* owner);
    void ReleaseAt(const void* owner, uint32_t atMs);
    uint64_t NextSequence();

  private:
    struct Held {
        std::pair<int, int> ports;
        bool leaving = false;
        uint32_t freeFromMs = 0;
    };
    bool Free(const void* owner, int port, uint32_t atMs) const;

    std::mutex m_mutex;
    PortPolicy m_policy = PortPolicy::kStep;
    std::map<const void*, Held> m_held;
    uint64_t m_sequence = 0;
};

// What the USB bus shows of the stick right now.
struct BusState {
    bool diagPresent = false;
    bool atPresent = false;
    int diagPort = 0;
    int atPort = 0;
    // Changes whenever a port vanishes or appears; a handle opened on an older generation is dead.
    uint64_t diagGeneration = 0;
    uint64_t atGeneration = 0;
    std::string diagInstance;  // device instance paths as the USB drivers enumerate them
    std::string atInstance;
    // "LocationInformation" of both interfaces (empty when the machine shows none).
    std::string location;
    // When each interface appeared, for the order of the drivers' lists: the tick, then the
    // machine-wide sequence for interfaces that appeared at the same tick.
    uint32_t diagAppearedMs = 0;
    uint32_t atAppearedMs = 0;
    uint64_t diagSequence = 0;
    uint64_t atSequence = 0;
};

// One image session of the programmer: from an open multi-image (or the RAM programmer's
// writes) to its close.
struct ImageSession {
    int type = 0;
    bool closed = false;
    ImageAssembly image;
};

// The simulated HX402A stick: normal firmware (DIAG on the diagnostic port, AT commands on the AT
// port), boot downloader (DMSS) and RAM flash programmer (streaming), the restarts between them,
// and a record of everything received. Transports feed it the bytes a port received and deliver
// the outputs it returns; it knows nothing of how bytes travel. Thread-safe.
class StickModel {
  public:
    // `ports` is the machine's book of port numbers; without it the stick numbers itself alone.
    StickModel(platform::Clock& clock, StickOptions options,
               std::shared_ptr<PortBook> ports = nullptr);
    ~StickModel();
    StickModel(const StickModel&) = delete;
    StickModel& operator=(const StickModel&) = delete;

    // Handles bytes the host wrote to a port opened at `generation`; returns the answers.
    // Input to a port that is gone (or of an older generation) is dropped.
    std::vector<Output> Receive(PortKind port, uint64_t generation, const uint8_t* data,
                                size_t len);
    BusState Bus();
    // Whether a handle opened on `generation` of the port still works.
    bool Alive(PortKind port, uint64_t generation);
    // Bumped on every change of the bus state, so publishers know when to look again.
    uint64_t BusEpoch();

    // The user pulls the stick out / plugs it in again; a plug-in restarts the normal firmware
    // (with new port numbers when `renumber`) and ends a stopAnswering fault.
    void Unplug();
    void Plug(bool renumber = false);
    // Whether the stick is plugged in (it may still be off the bus while it restarts).
    bool Plugged();

    StickMode Mode();
    StickOptions Options() const;
    void SetFaults(const FaultPlan& faults);

    // ---- what the stick received ----
    std::vector<CommandRecord> Commands();
    std::vector<std::string> CommandNames();
    size_t CountOf(const std::string& name);
    std::vector<std::string> AtCommands();
    std::vector<NvWriteRecord> NvWrites();
    size_t CrcErrors();
    std::optional<NvData> NvItem(uint16_t id);
    std::vector<uint8_t> PartitionTable();
    int PartitionOverrideFlag();
    // The RAM image written through the downloader (base address 0x00800000).
    ImageAssembly RamImage();
    // The latest session of an image type, and all sessions in order.
    std::optional<ImageSession> LatestImage(int type);
    std::vector<ImageSession> ImageSessions();
    std::vector<uint8_t> Challenge();
    int VendorMode();
    int Autorun();
    bool InDownloadState();
    // The host finished an update: flash written, vendor mode set back to 0, then a reset.
    bool UpdateFinished();
    int Enumerations();
    std::string ReportJson();

  private:
    struct Transition {
        bool active = false;
        bool left = false;
        uint32_t leaveAt = 0;
        uint32_t returnAt = 0;
        bool never = false;
        StickMode next = StickMode::kNormal;
        bool renumber = false;
    };
    struct PortInput {
        std::vector<uint8_t> pending;
        bool atText = false;
    };

    void Update();
    // With m_mutex held: whether each interface is on the bus, and its generation.
    bool DiagPresentLocked() const;
    bool AtPresentLocked() const;
    uint64_t DiagGenerationLocked() const;
    void ScheduleRestart(StickMode next, uint32_t delayMs, bool renumber);
    void Enumerate(StickMode mode, bool renumber, uint32_t appearedMs);
    void LeaveBus();
    uint64_t NextSequence();
    void Boot(StickMode mode);
    std::string InstanceFor(const char* iface, uint64_t generation) const;

    void FeedDiagPort(const uint8_t* data, size_t len, std::vector<Output>& out);
    void FeedAtPort(const uint8_t* data, size_t len, std::vector<Output>& out);
    void HandleFrame(const std::vector<uint8_t>& stuffed, std::vector<Output>& out);
    void HandleAtLine(const std::string& line, PortKind port, std::vector<Output>& out);

    void HandleDiag(const std::vector<uint8_t>& body, std::vector<Output>& out);
    void HandleVendor(const std::vector<uint8_t>& body, std::vector<Output>& out);
    void HandleDload(const std::vector<uint8_t>& body, std::vector<Output>& out);
    void HandleStream(const std::vector<uint8_t>& body, std::vector<Output>& out);
    void HandleStreamWrite(const std::vector<uint8_t>& body, std::vector<Output>& out);

    // Notes a command and applies the reply faults that name it; false when it must go unanswered.
    bool Note(PortKind port, const std::string& name, int64_t arg);
    void Reply(std::vector<Output>& out, const std::vector<uint8_t>& body);
    void ReplyText(std::vector<Output>& out, const std::string& text);
    bool Hits(const Trigger& trigger, const std::string& name) const;

    mutable std::mutex m_mutex;
    platform::Clock& m_clock;
    StickOptions m_options;
    std::shared_ptr<PortBook> m_ports;
    std::mt19937 m_rng;

    // bus
    bool m_plugged = true;
    bool m_present = true;
    StickMode m_mode = StickMode::kNormal;
    Transition m_transition;
    int m_diagPort = 0;
    int m_atPort = 0;
    uint64_t m_generation = 1;
    uint64_t m_epoch = 1;
    int m_enumerations = 1;
    bool m_diagHidden = false;
    uint32_t m_diagAppearedMs = 0;
    uint32_t m_atAppearedMs = 0;
    uint64_t m_diagSequence = 0;
    uint64_t m_atSequence = 0;
    uint64_t m_ownSequence = 0;

    // firmware state
    PortInput m_diagIn;
    PortInput m_atIn;
    bool m_echo = true;
    bool m_offline = false;
    int m_wdiag = 6;
    int m_vendorMode = 0;
    int m_autorun = 1;
    bool m_armVendor = false, m_armE = false, m_arm8 = false;
    bool m_disarmVendor = false, m_disarmF = false, m_disarm9 = false;
    bool m_downloadState = false;
    bool m_flashWritten = false;
    bool m_efsWritten = false;
    bool m_updateFinished = false;
    std::vector<uint8_t> m_challenge;
    NvStore m_nv;
    std::string m_nvStartDigest;
    std::map<uint32_t, int> m_nakCounts;
    std::set<uint64_t> m_firedBlockFaults;
    std::optional<uint32_t> m_lastNvWriteMs;  // arrival of the last NV write, for the spacing

    // programmer state
    bool m_silent = false;
    int m_openSession = -1;  // index into m_sessions, -1 when no image is open
    std::vector<ImageSession> m_sessions;
    ImageAssembly m_ram;
    std::vector<uint8_t> m_partitionTable;
    std::vector<uint8_t> m_flashPartitionTable;
    int m_partitionOverride = -1;

    // the pending reply faults of the command being handled
    bool m_garbleNext = false;
    bool m_corruptNext = false;
    uint32_t m_extraDelay = 0;

    // records
    std::vector<CommandRecord> m_commands;
    std::map<std::string, int> m_counts;
    std::vector<std::string> m_at;
    std::vector<NvWriteRecord> m_nvWrites;
    size_t m_crcErrors = 0;
};

}  // namespace pellan::sim
