#include "line/connection_manager.h"

#include <system_error>
#include <vector>

#include "line/standard_jobs.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace pellan {

namespace {

constexpr const char* kStopFile = "hubstop.bat";
constexpr const char* kStop2kFile = "hubstop2k.bat";
constexpr const char* kStartFile = "hubstart.bat";

bool PathExists(const std::filesystem::path& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

}  // namespace

std::filesystem::path CConnectionManager::ToNative(const std::string& path) const {
    if (path.empty()) {
        return {};
    }
    return platform::MapWindowsPath(path, platform::DriveRoot(m_env.deviceRoot));
}

bool CConnectionManager::Find() {
    if (m_modemManager) {
        m_modemManager->Inhibit();
    }
    if (m_env.registry == nullptr) {
        return false;
    }
    std::unique_ptr<platform::RegistryKey> key =
        m_env.registry->OpenKey(kConnectionManagerUninstallKey);
    if (!key) {
        return false;
    }
    const std::string location = key->ReadString("InstallLocation").value_or("");
    // Only a drive path names the installation: a relative one would be looked up from whatever
    // folder the program was started in, outside the device root, and its batch files run there.
    if (platform::MapDriveOf(location, platform::DriveRoot(m_env.deviceRoot)).empty()) {
        return false;
    }
    std::string text;
    for (const char c : location) {
        text += c;
        if (c == '\\') {
            text += '\\';
        }
    }
    text += "\\\\Bin";
    if (!PathExists(ToNative(text))) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_binFolder = text;
    return true;
}

std::string CConnectionManager::BinFolder() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_binFolder;
}

std::filesystem::path CConnectionManager::NativeBinFolder() const {
    return ToNative(BinFolder());
}

bool CConnectionManager::Stop() {
    const std::string bin = BinFolder();
    if (bin.empty()) {
        return false;
    }
    for (const char* file : {kStopFile, kStop2kFile, kStartFile}) {
        if (!PathExists(ToNative(bin + "\\\\" + file))) {
            return false;
        }
    }
    // Whether the batch file could run or what it did is not examined: the update goes on.
    platform::RunBatchFile(ToNative(bin), kStopFile);
    return true;
}

bool CConnectionManager::Start() {
    // Without a Bin folder there is nothing of the connection manager to start; running a start
    // file from whatever folder the program was started in would run a stranger's script.
    const std::filesystem::path bin = NativeBinFolder();
    if (!bin.empty()) {
        platform::RunBatchFile(bin, kStartFile);
    }
    if (m_modemManager) {
        m_modemManager->Release();
    }
    return true;
}

std::unique_ptr<platform::NamedMutex> TakeConnectionManagerMutex(const platform::Env& env,
                                                                 bool& uiRunning) {
    return platform::NamedMutex::Create(kConnectionManagerMutex, env.deviceRoot, uiRunning);
}

void EnterStation(LineStation& station) {
    LineController& controller = LineControllerOf(station);
    CConnectionManager& manager = controller.connectionManager;
    std::lock_guard<std::mutex> lock(controller.stationMutex);
    if (controller.stationJobs++ > 0) {
        manager.InhibitNewSticks();
        return;
    }
    if (manager.Find()) {
        manager.m_found = 1;
        manager.m_stopped = manager.Stop() ? 1 : 0;
    }
}

void LeaveStation(LineStation& station, bool succeeded) {
    LineController& controller = LineControllerOf(station);
    CConnectionManager& manager = controller.connectionManager;
    std::lock_guard<std::mutex> lock(controller.stationMutex);
    if (controller.stationJobs > 0 && --controller.stationJobs == 0 && succeeded &&
        manager.m_stopped.load() != 0) {
        manager.Start();
    }
}

bool FindConnectionManager(LineStation& station) {
    return LineControllerOf(station).connectionManager.Find();
}

bool StopConnectionManager(LineStation& station) {
    return LineControllerOf(station).connectionManager.Stop();
}

bool StartConnectionManager(LineStation& station) {
    return LineControllerOf(station).connectionManager.Start();
}

}  // namespace pellan
