#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace pellan {

// A firmware file opened for one operation and closed when the operation returns, whatever path
// it leaves by. Other readers may share it; the programs that write firmware files replace them
// whole, so nothing writes into a file while an image is being sent from it.
class ImageFile {
  public:
    ImageFile() = default;
    ~ImageFile() { Close(); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    bool Open(const std::string& path) {
        Close();
        m_file = std::fopen(path.c_str(), "rb");
        if (m_file != nullptr) {
            // Blocks are read 1 KiB at a time: a larger buffer spares a system call per block.
            std::setvbuf(m_file, nullptr, _IOFBF, 64 * 1024);
        }
        return m_file != nullptr;
    }
    void Close() {
        if (m_file != nullptr) {
            std::fclose(m_file);
            m_file = nullptr;
        }
    }
    // The length in bytes, or -1 when it cannot be taken.
    int64_t Length() {
        if (m_file == nullptr || std::fseek(m_file, 0, SEEK_END) != 0) {
            return -1;
        }
        const long length = std::ftell(m_file);
        std::fseek(m_file, 0, SEEK_SET);
        return length;
    }
    bool Seek(int64_t offset) {
        return m_file != nullptr && std::fseek(m_file, static_cast<long>(offset), SEEK_SET) == 0;
    }
    // Reads exactly `len` bytes; false when the file ended early or failed.
    bool Read(uint8_t* out, size_t len) {
        return m_file != nullptr && std::fread(out, 1, len, m_file) == len;
    }

  private:
    std::FILE* m_file = nullptr;
};

}  // namespace pellan
