#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "diag/job_account.h"
#include "diag/line_record.h"
#include "diag/phone_link.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "transport/at_channel.h"

namespace pellan {

enum NvModeValue : int32_t {
    NV_MODE_NONE = 0,  // see the NV restore for the meaning of each mode
    NV_MODE_RF_NO_IMEI = 1,
    NV_MODE_RF_AND_IMEI = 2,   // the default
    NV_MODE_DEFAULT_FILE = 3,  // restore from the default NV file
};

enum JobKind : int32_t { JOB_UPDATE = 1, JOB_REPAIR = 2, JOB_NV_BACKUP = 3, JOB_NV_RESTORE = 4 };

// The runtime state of one line (not stored). Running flag and phone state are read and written
// by several threads and are atomic; the other fields belong to whichever of the line's polling
// loop or job runs (never both at once).
struct LineRuntime {
    std::atomic<int32_t> running{0};
    std::atomic<int32_t> phoneState{0};  // 0 no DIAG port, 1 no stick answered, 2 stick answered
    int32_t jobKind = JOB_UPDATE;
    std::array<char, 16> imei{};  // 15 digits and a zero
    std::array<uint8_t, 303> versionSet{};
    std::array<char, 256> currentVersion{};
    std::array<char, 256> secondVersion{};
    std::array<char, 256> identity{};
    std::array<char, 512> fallbackVersion{};
    std::array<uint8_t, 45> swVersion{};
    std::array<uint8_t, 212> flashInfo{};
    std::unique_ptr<CPhoneLink> link;
    std::unique_ptr<CAtChannel> at;
};

// What a line's procedures show: the line's status display and the station's dialogs.
class LineReporter {
  public:
    virtual ~LineReporter() = default;
    virtual void ShowMessage(const std::string& text, int stamped) = 0;
    virtual void SetProgress(int percent) = 0;
    virtual void SetState(int state) = 0;
    // Ends the job with its result text and code.
    virtual void FinishJob(const std::string& text, int code) = 0;
    virtual void MessageBox(const std::string& text) = 0;
    // A yes/no question to the person at the station; true for yes.
    virtual bool Confirm(const std::string& question) = 0;
};

// The line's two ports. Every open looks the number up again from the line's binding to its
// stick (see the document); nothing is opened while the stick is absent.
class LinePorts {
  public:
    virtual ~LinePorts() = default;
    // The DIAG and AT port numbers the line uses now.
    virtual int DiagPort() = 0;
    virtual int AtPort() = 0;
    virtual bool ReopenDiag(int port, int baud) = 0;
    virtual bool ReopenAt(int port, int baud) = 0;
    virtual bool CloseDiag() = 0;
    // Asks the stick behind the DIAG port who it is (the phone state follows).
    virtual bool QueryPhone() = 0;
    // Searches the line's own stick again (after a mode switch or a reset).
    virtual bool Discover() = 0;
};

// The options of the station that a line's procedures read.
struct LineOptions {
    const std::atomic<int32_t>& language;  // 0 selects Chinese texts
    const std::atomic<int32_t>& nvMode;
    const std::atomic<int32_t>& singleSwitch;
    const std::atomic<int32_t>& allowOtherImei;
};

// Everything one line's procedures use: its stick's link and AT channel, the clock, its records,
// its reporter and ports, the lock shared by the lines, and its job's account.
struct LineContext {
    int line;
    platform::Env& env;
    platform::Clock& clock;
    LineRuntime& runtime;
    LineRecord& record;
    // Line 1's record, which holds the files of the whole station (the default NV file).
    LineRecord& firstRecord;
    JobAccount& account;
    // Held while a line reads the location data record and, with the Single Switch option,
    // around the commands that make a stick leave and re-enter the bus.
    std::mutex& docLock;
    LineReporter& report;
    LinePorts& ports;
    LineOptions options;

    CPhoneLink& Link() const { return *runtime.link; }
    CAtChannel& At() const { return *runtime.at; }
    // The stop button clears the running flag; a job polls it.
    bool StopRequested() const { return runtime.running.load() == 0; }
    // The English text of a message pair unless the language flag is 0.
    const char* Text(const char* english, const char* chinese) const {
        return options.language.load() != 0 ? english : chinese;
    }
};

}  // namespace pellan
