#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// HDLC-style framing shared by the diagnostic, DMSS and streaming protocols: CRC-16/X.25 (RFC 1662)
// appended low byte first, 0x7E/0x7D escaped as 0x7D 0x5E / 0x7D 0x5D, 0x7E flags. Pure functions
// on buffers, used by the phone link and by the simulated stick alike.
namespace pellan::frame {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kEscapeXor = 0x20;
constexpr uint16_t kCrcResidue = 0xF0B8;

// One step of the reflected CRC register (polynomial 0x8408).
uint16_t CrcStep(uint16_t crc, uint8_t byte);
// Runs the register over `len` bytes from `init` without the final complement.
uint16_t CrcRun(uint16_t init, const uint8_t* data, size_t len);
// The frame check sequence of `len` bytes: init 0xFFFF, complemented.
uint16_t Crc16(const uint8_t* data, size_t len);
// Writes the CRC of data[0..len) behind it (low byte first); returns len + 2.
size_t CrcAppend(uint8_t* data, size_t len);
// True when the register over data and its trailing CRC ends at the residue 0xF0B8; false for 0.
bool CrcCheck(const uint8_t* data, size_t len);

// Escapes `len` bytes into `out`, which must hold 2 * len bytes; returns the bytes written.
size_t Stuff(const uint8_t* in, size_t len, uint8_t* out);
// Removes escapes (0x7D drops out, the next byte is XORed with 0x20); `out` may equal `in`.
// Returns the bytes written. A trailing lone 0x7D is dropped.
size_t Unstuff(const uint8_t* in, size_t len, uint8_t* out);

// Convenience for tools and the simulator: body + CRC, stuffed, optional leading flag, closing flag.
std::vector<uint8_t> EncodeFrame(const uint8_t* body, size_t len, bool leadingFlag);
inline std::vector<uint8_t> EncodeFrame(const std::vector<uint8_t>& body, bool leadingFlag) {
    return EncodeFrame(body.data(), body.size(), leadingFlag);
}

}  // namespace pellan::frame
