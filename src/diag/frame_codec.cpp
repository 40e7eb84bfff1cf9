#include "diag/frame_codec.h"

#include <array>

namespace pellan::frame {
namespace {

// Slicing by eight: kTables[0] is the byte-wise table of the reflected polynomial 0x8408;
// kTables[k] advances a byte's contribution through k more zero bytes, so that eight bytes fold in
// with eight independent lookups instead of a chain of eight. Block frames are CRC'd at every send,
// so this is the codec's hot loop.
using CrcTables = std::array<std::array<uint16_t, 256>, 8>;

constexpr CrcTables MakeTables() {
    CrcTables tables{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408)
                            : static_cast<uint16_t>(crc >> 1);
        }
        tables[0][i] = crc;
    }
    for (size_t k = 1; k < tables.size(); ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            const uint16_t prev = tables[k - 1][i];
            tables[k][i] = static_cast<uint16_t>((prev >> 8) ^ tables[0][prev & 0xFF]);
        }
    }
    return tables;
}

constexpr CrcTables kTables = MakeTables();

}  // namespace

uint16_t CrcStep(uint16_t crc, uint8_t byte) {
    return static_cast<uint16_t>(kTables[0][(crc ^ byte) & 0xFF] ^ (crc >> 8));
}

uint16_t CrcRun(uint16_t init, const uint8_t* data, size_t len) {
    uint16_t crc = init;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        // The register meets the first two bytes of the eight; the rest enter as they are.
        const auto b = [&](size_t k) { return data[i + k]; };
        const uint8_t b0 = static_cast<uint8_t>(b(0) ^ (crc & 0xFF));
        const uint8_t b1 = static_cast<uint8_t>(b(1) ^ (crc >> 8));
        crc = static_cast<uint16_t>(kTables[7][b0] ^ kTables[6][b1] ^ kTables[5][b(2)] ^
                                    kTables[4][b(3)] ^ kTables[3][b(4)] ^ kTables[2][b(5)] ^
                                    kTables[1][b(6)] ^ kTables[0][b(7)]);
    }
    for (; i < len; ++i) {
        crc = CrcStep(crc, data[i]);
    }
    return crc;
}

uint16_t Crc16(const uint8_t* data, size_t len) {
    return static_cast<uint16_t>(~CrcRun(0xFFFF, data, len));
}

size_t CrcAppend(uint8_t* data, size_t len) {
    const uint16_t crc = Crc16(data, len);
    data[len] = static_cast<uint8_t>(crc & 0xFF);
    data[len + 1] = static_cast<uint8_t>(crc >> 8);
    return len + 2;
}

bool CrcCheck(const uint8_t* data, size_t len) {
    return len != 0 && CrcRun(0xFFFF, data, len) == kCrcResidue;
}

size_t Stuff(const uint8_t* in, size_t len, uint8_t* out) {
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (in[i] == kFlag || in[i] == kEscape) {
            out[n++] = kEscape;
            out[n++] = static_cast<uint8_t>(in[i] ^ kEscapeXor);
        } else {
            out[n++] = in[i];
        }
    }
    return n;
}

size_t Unstuff(const uint8_t* in, size_t len, uint8_t* out) {
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (in[i] == kEscape) {
            if (++i == len) {
                break;
            }
            out[n++] = static_cast<uint8_t>(in[i] ^ kEscapeXor);
        } else {
            out[n++] = in[i];
        }
    }
    return n;
}

std::vector<uint8_t> EncodeFrame(const uint8_t* body, size_t len, bool leadingFlag) {
    std::vector<uint8_t> packet(body, body + len);
    packet.resize(len + 2);
    CrcAppend(packet.data(), len);
    std::vector<uint8_t> out;
    out.resize(2 * packet.size() + 2);
    size_t n = 0;
    if (leadingFlag) {
        out[n++] = kFlag;
    }
    n += Stuff(packet.data(), packet.size(), out.data() + n);
    out[n++] = kFlag;
    out.resize(n);
    return out;
}

}  // namespace pellan::frame
