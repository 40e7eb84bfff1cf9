#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pellan::test {

// A pseudo-terminal pair standing in for a stick's serial port: the program under test opens the
// slave side (through a DIR/COM<N> link, as on a device root) and the test plays the stick on the
// master side.
//
// The pair keeps a slave descriptor of its own open, in raw mode, so that the master does not see
// a hang-up while the program has the port closed and so that nothing is echoed before the
// program configures the port. That descriptor never reads.
class PtyPair {
  public:
    // Opens the pair; throws std::runtime_error when the system has no pseudo-terminals.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    int MasterFd() const { return m_master; }

    // Creates the symbolic link `root`/COM<port> to the slave (the device-root form of port N).
    void LinkAsPort(const std::filesystem::path& root, int port) const;

    // Sends bytes to the program (they become its input). Returns false on a write error.
    bool SendToPort(const std::vector<uint8_t>& bytes);
    // Collects what the program wrote until `count` bytes came or `timeoutMs` passed.
    std::vector<uint8_t> ReceiveFromPort(size_t count, int timeoutMs);
    // Collects what arrives until nothing came for `quietMs`.
    std::vector<uint8_t> ReceiveUntilQuiet(int quietMs);

    // Closes the master side: for the program the stick has vanished (hang-up).
    void CloseMaster();
    // Closes the pair's own slave descriptor, e.g. to let the program be the last user.
    void CloseOwnSlave();

  private:
    int m_master = -1;
    int m_ownSlave = -1;
    std::string m_slavePath;
};

}  // namespace pellan::test
