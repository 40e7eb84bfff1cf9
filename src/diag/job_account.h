#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace pellan {

// The phases of a line's job, in the order an update runs them. The programming phases (security
// mode to the EFS image) repeat with each programming cycle.
enum class JobPhase : int32_t {
    IDENTITY_CHECK,
    CONNECTION_MANAGER_STOP,
    MODE_SWITCH,
    WAIT_FOR_STICK,
    DOWNLOAD_CHECK,
    NV_BACKUP,
    SECURITY_MODE,
    PROGRAMMER,
    PARTITION_TABLE,
    BOOT_LOADER,
    APPLICATION,
    NAND_PROGRAMMER,
    EFS,
    RESET,
    NV_RESTORE,
    RETURN_TO_NORMAL,
    CONNECTION_MANAGER_START,
};

enum class JobEventKind : int32_t {
    JOB_BEGIN,       // detail: the job's kind ("update", "backup-nv", "restore-nv")
    STICK,           // the stick's identity, as far as the job has read it
    PHASE_BEGIN,     // detail: the boot loader's name, or empty
    PHASE_PROGRESS,  // done of total, elapsed since the phase began
    PHASE_END,       // ok, done of total, elapsed
    RETRY,           // detail: the failure sentence of the try that failed
    REWRITE,         // blocks written again; detail: why
    BACKUP_FILE,     // detail: the NV backup file written; digest: its MD5 in hex
    STATUS,          // detail: a status line as the line log holds it (stamp and text)
    RESULT,          // ok, code, detail: the result text; elapsed since the job began
};

// What the job knows of its stick.
struct StickIdentity {
    std::string port;      // "COM5"
    std::string location;  // the stick's USB port; empty without locations
    std::string currentVersion;
    std::string secondVersion;
    std::string esn;   // eight hex digits; empty when not read
    std::string imei;  // fifteen digits; empty when not read
};

// One entry of a job's account. Fields that do not belong to the kind stay at their defaults.
struct JobEvent {
    JobEventKind kind = JobEventKind::STATUS;
    JobPhase phase = JobPhase::IDENTITY_CHECK;
    int cycle = 0;     // programming cycle 1..10 within the programming phases; 0 elsewhere
    std::string part;  // which of the phase's kind: "DBL", "FSBL", "OSBL" for the boot loaders
    std::string detail;
    uint64_t done = 0;
    uint64_t total = 0;
    const char* unit = "";  // "bytes", "items" or "" when the phase counts nothing
    uint32_t blocks = 0;
    uint32_t elapsedMs = 0;
    bool ok = true;
    int code = -1;
    std::string digest;
    StickIdentity stick;
};

const char* PhaseName(JobPhase phase);  // "NV backup": for people
const char* PhaseKey(JobPhase phase);   // "nv-backup": for tools
const char* EventKindKey(JobEventKind kind);
// "boot loader DBL, cycle 2": the phase of `event` for people.
std::string PhaseLabel(const JobEvent& event);
// One line for people of an event that is not a status line or progress (those give empty):
// "begin: NV backup (530 items)", "end: ... (8.5 s, 2.21 MB/s)", "retry in ...".
std::string EventText(const JobEvent& event);
// "12.5 s", "2 min 3 s".
std::string DurationText(uint32_t ms);
// "18.1 MB" (bytes) or "502 items"; `unit` as in JobEvent.
std::string CountText(uint64_t count, const char* unit);
// "8.1 of 18.9 MB", "12 of 16384 bytes", "20 of 502 items": both figures in the total's unit.
std::string ProgressText(uint64_t done, uint64_t total, const char* unit);
// "2.1 MB/s" for bytes; empty for other units or before any time has passed.
std::string RateText(uint64_t done, uint32_t elapsedMs, const char* unit);

// The account of one line's jobs: the procedures say where they are and what they did, the front
// ends, the job log and the history listen. A phase lasts until the next begins or the job's
// result ends it; progress is passed on at whole percents of the phase's total, so a listener sees
// at most about a hundred progress events per phase. Safe to use from any thread; listeners are
// called in order, one event at a time, and must not call back into the account.
class JobAccount {
  public:
    using Listener = std::function<void(const JobEvent&)>;

    explicit JobAccount(platform::Clock& clock) : m_clock(clock) {}

    int AddListener(Listener listener);
    void RemoveListener(int id);

    void BeginJob(const std::string& kind);
    void SetStick(const StickIdentity& stick);
    StickIdentity Stick() const;
    // The programming cycle the next phases belong to (1..10), 0 after the programming.
    void SetCycle(int cycle);
    // Ends the open phase (as done) and begins `phase`. Begun again while it is open (a second
    // try of the same image), the phase goes on with the new total: its retry says why.
    void BeginPhase(JobPhase phase, const std::string& part = {}, uint64_t total = 0,
                    const char* unit = "");
    void EndPhase(bool ok);
    void Progress(uint64_t done);
    void Retry(const std::string& why);
    void Rewrite(uint32_t blocks, const std::string& why);
    void BackupFile(const std::string& path, const std::string& md5Hex);
    void Status(const std::string& entry);
    // Ends the open phase (failed unless `ok`) and the job.
    void Result(bool ok, int code, const std::string& text);

  private:
    void EndPhaseLocked(bool ok);
    void EmitLocked(JobEvent& event);

    platform::Clock& m_clock;
    mutable std::mutex m_mutex;
    std::vector<std::pair<int, Listener>> m_listeners;
    int m_nextListener = 1;
    bool m_inJob = false;
    bool m_phaseOpen = false;
    JobEvent m_phase;  // the open phase's begin event, its counts kept up to date
    uint32_t m_phaseStart = 0;
    uint32_t m_jobStart = 0;
    int m_cycle = 0;
    uint64_t m_lastReported = 0;
    StickIdentity m_stick;
};

}  // namespace pellan
