#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "diag/line_context.h"
#include "line/stick_binding.h"
#include "platform/env.h"
#include "transport/at_channel.h"

namespace pellan {

// The one document: eight line records with their runtime state and link objects, the
// document-wide values and the document lock.
class CPellanDoc {
  public:
    // Creates the eight lines with defaults, then reads the settings file of `programFolder` when
    // it exists, then BuildLinePaths and the phone states.
    CPellanDoc(platform::Env& env, std::filesystem::path programFolder);
    ~CPellanDoc();
    CPellanDoc(const CPellanDoc&) = delete;
    CPellanDoc& operator=(const CPellanDoc&) = delete;

    platform::Env& Env() { return m_env; }
    platform::Clock& Clock() { return *m_env.clock; }
    const std::filesystem::path& ProgramFolder() const { return m_programFolder; }

    LineRecord& Record(int line) { return m_records.at(static_cast<size_t>(line)); }
    std::array<LineRecord, kLineCount>& Records() { return m_records; }
    LineRuntime& Runtime(int line) { return *m_lines.at(static_cast<size_t>(line)); }
    CPhoneLink& Link(int line) { return *Runtime(line).link; }
    CAtChannel& At(int line) { return *Runtime(line).at; }

    // The document lock: held while a line reads the location data record and, with the
    // Single Switch option, around the commands that make a stick leave and re-enter the bus.
    std::mutex& DocLock() { return m_docLock; }

    std::atomic<int32_t> m_nvMode{NV_MODE_RF_AND_IMEI};
    std::atomic<int32_t> m_language{1};  // 0 selects Chinese texts, anything else English
    // Options that StartLineJob copies into the document.
    std::atomic<int32_t> m_eraseBoot{1};
    std::atomic<int32_t> m_uiConsistent{0};

    // The English text of a message pair unless the language flag is 0.
    const char* Text(const char* english, const char* chinese) const {
        return m_language.load() != 0 ? english : chinese;
    }

    // ---- settings file ----
    // Reads the settings file when it exists; a file of the wrong length is not read over the
    // records (the defaults stay) and `message` says why. True when the records were read.
    bool LoadSettings(const std::filesystem::path& file, std::string& message);
    bool SaveSettings(const std::filesystem::path& file) const;
    std::filesystem::path SettingsPath() const;
    // Why the settings file was not used at creation (empty when it was read or is missing); the
    // view shows it to the user once.
    const std::string& SettingsMessage() const { return m_settingsMessage; }
    void BuildLinePaths();

    // "No Phone" (or any text) into the three display texts and, with `fallbackToo`, the
    // fallback version text of the line.
    void SetLineVersionTexts(int line, const std::string& text, bool fallbackToo);
    std::string DisplayText(int line, int which);  // 0 current, 1 second, 2 identity
    std::string FallbackVersion(int line);

    // ---- ports, discovery, query ----
    // The line's search for its own stick (see StickBindings). With locations in the registry
    // the found numbers stay with the binding and the records keep what the settings file holds;
    // without them they are stored in the line's record, as described.
    bool DiscoverPorts(int line);
    // The DIAG and AT port the line uses now: its stick's when it holds one by location, the
    // record's otherwise.
    int LineDiagPort(int line);
    int LineAtPort(int line);
    StickBindings& Bindings() { return m_bindings; }
    // Every open looks the number up again from the line's binding; `port` is used only when
    // the registry gives no locations (or to bind a line that holds no stick to the one behind
    // that number). Nothing is opened while the line's stick is absent.
    bool ReopenDiagPort(int line, int port, int baud);
    bool ReopenAtPort(int line, int port, int baud);
    bool CloseDiagPort(int line);
    bool CloseAtPort(int line);
    bool RestoreDiagPort(int line);
    bool HideDiagPort(int line);
    bool QueryPhone(int line);
    bool ResetStick(int line, bool dloadMode);

  private:
    void SetDefaults();

    platform::Env& m_env;
    std::filesystem::path m_programFolder;
    std::array<LineRecord, kLineCount> m_records{};
    std::array<std::unique_ptr<LineRuntime>, kLineCount> m_lines;
    std::mutex m_docLock;
    StickBindings m_bindings;
    std::string m_settingsMessage;
};

}  // namespace pellan
