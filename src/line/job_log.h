#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "diag/job_account.h"

namespace pellan {

// One image of the firmware set, as the job log's header names it.
struct ImageDigest {
    std::string name;
    uint64_t size = 0;
    std::string md5;  // hex; empty when the file could not be read
};

// The files of a firmware folder, sorted by name.
std::vector<ImageDigest> FolderImages(const std::string& folder);

// The job's log file, "Line<N>_<yyyymmdd_hhmmss>.log" in the log folder: a header, then every
// entry of the line's account as the job makes it (status lines, phases with their start, duration
// and counts, retries, rewrites, the NV backup, the result). Each entry reaches the file before the
// next is taken, so a crash leaves everything up to it; Close forces the file onto the disk. An
// existing file is never overwritten: a second job in the same second gets "_2", and so on.
class JobLogFile {
  public:
    static std::unique_ptr<JobLogFile> Create(const std::filesystem::path& folder, int line,
                                              std::chrono::system_clock::time_point startedAt);
    ~JobLogFile();
    JobLogFile(const JobLogFile&) = delete;
    JobLogFile& operator=(const JobLogFile&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    void WriteText(const std::string& text);
    void Write(const JobEvent& event);
    void Close();

  private:
    explicit JobLogFile(std::filesystem::path path) : m_path(std::move(path)) {}

    std::filesystem::path m_path;
    std::ofstream m_out;
};

}  // namespace pellan
