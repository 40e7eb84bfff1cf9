#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// What the file tests need from the system they run on: the system's own texts for failed file
// operations (the reasons the updater shows) and a way to make writes fail for want of room.
namespace pellan::test {

// The reason given when a file is created in a folder that does not exist.
std::string MissingFolderText();

// The reason given when a write goes past the room that WriteRoomLimit leaves.
std::string NoRoomText();

// While it lives, no file of this process can grow beyond `bytes`: a write past that fails with
// NoRoomText(), as on a disk that has run full. Available() is false where the system cannot do
// this; a test is then skipped, as it cannot be played there.
class WriteRoomLimit {
  public:
    explicit WriteRoomLimit(std::uintmax_t bytes);
    ~WriteRoomLimit();
    WriteRoomLimit(const WriteRoomLimit&) = delete;
    WriteRoomLimit& operator=(const WriteRoomLimit&) = delete;
    bool Available() const { return m_available; }

  private:
    bool m_available = false;
    std::uintmax_t m_saved = 0;
};

}  // namespace pellan::test
