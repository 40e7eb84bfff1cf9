#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "line/modem_manager.h"
#include "platform/env.h"
#include "platform/named_mutex.h"

namespace pellan {

class LineStation;

// The name under which the connection manager's user interface announces itself.
inline constexpr const char* kConnectionManagerMutex =
    "VLKHX402,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x66";
inline constexpr const char* kConnectionManagerUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{27D28586-BEF1-4E06-8787-3B1FC3A41489}";
inline constexpr const char* kUiRunningText =
    "UI is running，Please close it and re-run this program!";

// The stick's connection-manager application: found through its uninstall entry, its service
// stopped and started by the batch files in its Bin folder. One per station; the flags are the
// station's "found" and "stopped" flags that the update job sets.
class CConnectionManager {
  public:
    explicit CConnectionManager(platform::Env& env)
        : m_env(env), m_modemManager(MakeModemManagerInhibitor(env)) {}

    // Looks up the Bin folder below the uninstall entry's InstallLocation; true when it exists.
    // The update job's stop step begins here whatever is found, so this is also where the
    // system's modem manager is inhibited for the attached sticks.
    bool Find();
    // Runs the stop batch file and waits for it; false (nothing run) without the Bin folder or
    // any of the three batch files.
    bool Stop();
    // Runs the start batch file and waits for it, and ends the modem manager's inhibition.
    // Always true.
    bool Start();
    // Inhibits the sticks attached since the last Find.
    void InhibitNewSticks() {
        if (m_modemManager) {
            m_modemManager->Inhibit();
        }
    }

    // Replaces the modem manager inhibitor of this machine (null: none).
    void SetModemManagerInhibitor(std::unique_ptr<ModemManagerInhibitor> inhibitor) {
        m_modemManager = std::move(inhibitor);
    }

    // The Bin folder as the program forms it from the registry text (backslashes doubled, then
    // "\\\\Bin"); empty until Find succeeded.
    std::string BinFolder() const;
    // Where that folder is on this machine (a Windows path placed under the drive root).
    std::filesystem::path NativeBinFolder() const;

    std::atomic<int32_t> m_found{0};
    std::atomic<int32_t> m_stopped{0};

  private:
    std::filesystem::path ToNative(const std::string& path) const;

    platform::Env& m_env;
    mutable std::mutex m_mutex;
    std::string m_binFolder;
    // Released by its own destructor when the program ends without a Start.
    std::unique_ptr<ModemManagerInhibitor> m_modemManager;
};

// The single-instance test of the form start: takes the connection manager's named mutex.
// `uiRunning` is true when another program holds it; keep the returned object for as long as
// the updater runs.
std::unique_ptr<platform::NamedMutex> TakeConnectionManagerMutex(const platform::Env& env,
                                                                 bool& uiRunning);

// The station's hold on the connection manager, counted over the update jobs of all lines: the
// first job that needs it finds and stops the connection manager (and inhibits the modem
// manager); every later one only inhibits the sticks that came since. The last job to end starts
// it again when that job succeeded (a failed last job leaves it stopped until the program ends,
// as for a single line), so a success never lets it at sticks other lines are still writing.
void EnterStation(LineStation& station);
void LeaveStation(LineStation& station, bool succeeded);

// The station's connection manager operations, as the update job and the window's end call them.
bool FindConnectionManager(LineStation& station);
bool StopConnectionManager(LineStation& station);
bool StartConnectionManager(LineStation& station);

}  // namespace pellan
