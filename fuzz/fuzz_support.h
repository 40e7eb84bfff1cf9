#pragma once

// Shared pieces of the fuzz targets: a serial device that answers every write with the fuzzed
// bytes and a scratch file for parsers that read from disk.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/serial.h"

namespace pellan::fuzz {

// A stick that answers every write with the same bytes (a retry sees the same reply again), or,
// with answerOnWrite false, has the bytes queued from the start and never adds more.
class ScriptedDevice final : public platform::SerialDevice {
  public:
    ScriptedDevice(std::vector<uint8_t> reply, bool answerOnWrite)
        : m_reply(std::move(reply)), m_answerOnWrite(answerOnWrite) {
        if (!m_answerOnWrite) {
            m_queue = m_reply;
        }
    }
    size_t Write(const uint8_t*, size_t len, bool dropInput) override {
        if (dropInput) {
            m_queue.clear();
        }
        if (m_answerOnWrite) {
            m_queue.insert(m_queue.end(), m_reply.begin(), m_reply.end());
        }
        return len;
    }
    size_t BytesWaiting() override { return m_queue.size(); }
    size_t Read(uint8_t* buf, size_t max) override {
        const size_t n = std::min(max, m_queue.size());
        std::copy_n(m_queue.begin(), n, buf);
        m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }
    void Purge() override {}
    bool WaitForInput(uint32_t) override { return !m_queue.empty(); }

  private:
    std::vector<uint8_t> m_reply;
    std::vector<uint8_t> m_queue;
    bool m_answerOnWrite;
};

class ScriptedProvider final : public platform::SerialProvider {
  public:
    ScriptedProvider(std::vector<uint8_t> reply, bool answerOnWrite)
        : m_reply(std::move(reply)), m_answerOnWrite(answerOnWrite) {}
    std::unique_ptr<platform::SerialDevice> Open(int, const platform::LineSettings&) override {
        return std::make_unique<ScriptedDevice>(m_reply, m_answerOnWrite);
    }

  private:
    std::vector<uint8_t> m_reply;
    bool m_answerOnWrite;
};

// One scratch file per fuzzing process (on tmpfs when there is one: the file targets write a file
// per input they take to disk), removed when the process ends normally.
class ScratchFile {
  public:
    explicit ScratchFile(const std::string& stem) {
        std::error_code ec;
        std::random_device rd;
        m_path = (std::filesystem::is_directory("/dev/shm", ec)
                      ? std::filesystem::path("/dev/shm")
                      : std::filesystem::temp_directory_path()) /
                 (stem + "-" + std::to_string(rd()) + std::to_string(rd()) + ".bin");
    }
    ~ScratchFile() {
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::filesystem::path& Write(const uint8_t* data, size_t len) {
        std::ofstream(m_path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(len));
        return m_path;
    }
    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

// A fixed-size image whose head is the fuzzed bytes and whose rest repeats them, so that short
// inputs still reach the parsers of files that must have an exact length. TileInto fills a buffer
// the caller keeps between inputs.
inline void TileInto(const uint8_t* data, size_t len, size_t size, std::vector<uint8_t>& image) {
    image.assign(size, 0);
    if (len == 0) {
        return;
    }
    // Doubling copies: a one-byte input fills the image in a few dozen copies, not 100,000.
    const size_t first = std::min(len, size);
    std::copy_n(data, first, image.begin());
    for (size_t filled = first; filled < size;) {
        const size_t n = std::min(filled, size - filled);
        std::copy_n(image.begin(), n, image.begin() + static_cast<std::ptrdiff_t>(filled));
        filled += n;
    }
}

// The file readers are thin wrappers around in-memory decoders that every input reaches; the
// file path itself (open, read, length checks) is taken by one input in `every`, because a file
// write and read per input would cost more than the decoding.
inline bool TakeFilePath(unsigned every = 32) {
    static unsigned count = 0;
    return count++ % every == 0;
}

// Aborts the run (a finding) when a property of the code under test does not hold.
#define PELLAN_FUZZ_CHECK(cond) \
    do {                        \
        if (!(cond)) {          \
            __builtin_trap();   \
        }                       \
    } while (0)

}  // namespace pellan::fuzz
