#include "line/job_log.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/file_sync.h"
#include "platform/log_stamp.h"
#include "platform/md5.h"

namespace pellan {
namespace {

namespace fs = std::filesystem;

std::string FileStamp(std::chrono::system_clock::time_point at) {
    const LocalTime local = LocalTimeAt(at);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04d%02d%02d_%02d%02d%02d", local.year, local.month,
                  local.day, local.hour, local.minute, local.second);
    return stamp;
}

std::string ClockNow() {
    const LocalTime local = LocalTimeAt(std::chrono::system_clock::now());
    char text[16];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d", local.hour, local.minute, local.second);
    return text;
}

std::string EventLine(const JobEvent& event) {
    if (event.kind == JobEventKind::STATUS) {
        return event.detail;
    }
    const std::string text = EventText(event);
    return text.empty() ? text : "== " + ClockNow() + " " + text;
}

}  // namespace

std::vector<ImageDigest> FolderImages(const std::string& folder) {
    std::vector<ImageDigest> files;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
        if (!entry.is_regular_file(ec)) {
            continue;
        }
        ImageDigest file;
        file.name = entry.path().filename().string();
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        file.size = bytes.size();
        if (in && !in.bad()) {
            if (const auto digest = platform::Md5(bytes)) {
                file.md5 = platform::DigestHex(*digest);
            }
        }
        files.push_back(file);
    }
    std::sort(files.begin(), files.end(),
              [](const ImageDigest& a, const ImageDigest& b) { return a.name < b.name; });
    return files;
}

std::unique_ptr<JobLogFile> JobLogFile::Create(const fs::path& folder, int line,
                                               std::chrono::system_clock::time_point startedAt) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    const std::string base = "Line" + std::to_string(line + 1) + "_" + FileStamp(startedAt);
    fs::path path = folder / (base + ".log");
    for (int n = 2; fs::exists(path, ec); ++n) {
        path = folder / (base + "_" + std::to_string(n) + ".log");
    }
    std::unique_ptr<JobLogFile> log(new JobLogFile(path));
    log->m_out.open(path, std::ios::binary);
    return log->m_out ? std::move(log) : nullptr;
}

JobLogFile::~JobLogFile() {
    Close();
}

void JobLogFile::WriteText(const std::string& text) {
    if (m_out.is_open()) {
        m_out << text << std::flush;
    }
}

void JobLogFile::Write(const JobEvent& event) {
    const std::string line = EventLine(event);
    if (!line.empty()) {
        WriteText(line + "\n");
    }
}

void JobLogFile::Close() {
    if (!m_out.is_open()) {
        return;
    }
    m_out.close();
    std::string error;
    platform::SyncFile(m_path, error);  // what the file holds is all there is to keep
}

}  // namespace pellan
