#include "firmware_gen.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace pellan::fwgen {
namespace {

void PutLe16(std::vector<uint8_t>& out, size_t offset, uint16_t value) {
    out.at(offset) = static_cast<uint8_t>(value);
    out.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void PutLe32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        out.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t GetLe32(const std::vector<uint8_t>& in, size_t offset) {
    return static_cast<uint32_t>(in[offset]) | static_cast<uint32_t>(in[offset + 1]) << 8 |
           static_cast<uint32_t>(in[offset + 2]) << 16 |
           static_cast<uint32_t>(in[offset + 3]) << 24;
}

// splitmix64: fast, and every byte value (HDLC flags and escapes included) turns up often, which
// is what the transfer code needs to see.
class ByteStream {
  public:
    explicit ByteStream(uint64_t seed) : m_state(seed) {}

    void Fill(std::vector<uint8_t>& out, size_t from, size_t to) {
        size_t i = from;
        while (i < to) {
            uint64_t word = Next();
            for (int k = 0; k < 8 && i < to; ++k, ++i) {
                out[i] = static_cast<uint8_t>(word);
                word >>= 8;
            }
        }
    }

  private:
    uint64_t Next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    uint64_t m_state;
};

struct PartitionEntry {
    std::string_view name;
    uint32_t imageSize;
    uint16_t padding;
    uint16_t flashIndex;
    std::array<uint8_t, 4> attributes;
};

constexpr std::array<PartitionEntry, 9> kPartitions = {{
    {"0:MIBIB", 6, 4, 0, {0xFF, 0xFF, 0xFF, 0xFE}},
    {"0:SIM_SECURE", 4, 1, 0, {0xFF, 0xFF, 0xFF, 0xFE}},
    {"0:FSBL", 64, 64, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
    {"0:OSBL", 400, 30, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
    {"0:AMSS", 25000, 1000, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
    {"0:NANDPRG", 2000, 100, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
    {"0:FOTA", 1024, 100, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
    {"0:FTL", 8192, 1024, 0, {0xFF, 0x01, 0xFF, 0xFF}},
    {"0:EFS2", 0xFFFFFFFF, 0xFFFF, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
}};

constexpr size_t kPartitionHeaderSize = 16;
constexpr size_t kPartitionEntrySize = 28;
constexpr size_t kPartitionNameSize = 16;

constexpr std::array<uint8_t, 12> kDblPreamble = {0xD1, 0xDC, 0x4B, 0x84, 0x34, 0x10,
                                                  0xD7, 0x73, 0x5A, 0x43, 0x0B, 0x7D};
constexpr size_t kDblHeaderOffset = 0x2000;
constexpr uint32_t kDblCodeOffset = 0x2050;
constexpr uint32_t kDblDestination = 0x20012000;

constexpr std::string_view kFsblText =
    "\r\nDummy file created as the FSBL image is not used on this target: "
    "..\\..\\..\\boot_images\\build\\ms\\bin\\HX402A\\fsbl.mbn\r\n";
static_assert(kFsblText.size() == kFsblSize);

constexpr std::array<uint8_t, 8> kEfsMagic = {0x87, 0x67, 0x85, 0x34, 0x59, 0x77, 0x34, 0x92};

constexpr size_t kElfHeaderSize = 52;
constexpr size_t kProgramHeaderSize = 32;
constexpr size_t kSegmentCount = 19;
constexpr size_t kFirstSegmentOffset = 0x1000;
constexpr uint32_t kFirstSegmentSize = 0x190;
constexpr size_t kLoadSegmentsOffset = 0x2000;
constexpr size_t kSegmentAlign = 0x1000;
constexpr uint32_t kAmssEntry = 0xF0000000;

void PutProgramHeader(std::vector<uint8_t>& out, size_t index, uint32_t type, uint32_t offset,
                      uint32_t address, uint32_t size, uint32_t flags) {
    const size_t at = kElfHeaderSize + index * kProgramHeaderSize;
    PutLe32(out, at + 0, type);
    PutLe32(out, at + 4, offset);
    PutLe32(out, at + 8, address);   // virtual
    PutLe32(out, at + 12, address);  // physical
    PutLe32(out, at + 16, size);     // in the file
    PutLe32(out, at + 20, size);     // in memory
    PutLe32(out, at + 24, flags);
    PutLe32(out, at + 28, static_cast<uint32_t>(kSegmentAlign));
}

void PutElfHeader(std::vector<uint8_t>& out) {
    constexpr std::array<uint8_t, 8> ident = {0x7F, 0x45, 0x4C, 0x46, 0x01, 0x01, 0x01, 0x61};
    std::copy(ident.begin(), ident.end(), out.begin());
    PutLe16(out, 16, 2);   // executable
    PutLe16(out, 18, 40);  // ARM
    PutLe32(out, 20, 1);   // current ELF version
    PutLe32(out, 24, kAmssEntry);
    PutLe32(out, 28, static_cast<uint32_t>(kElfHeaderSize));  // program headers follow
    PutLe32(out, 32, 0);                                      // no section headers
    PutLe32(out, 36, 0x05000002);                             // EABI 5, entry point valid
    PutLe16(out, 40, static_cast<uint16_t>(kElfHeaderSize));
    PutLe16(out, 42, static_cast<uint16_t>(kProgramHeaderSize));
    PutLe16(out, 44, static_cast<uint16_t>(kSegmentCount));
    PutLe16(out, 46, 40);
    PutLe16(out, 48, 0);
    PutLe16(out, 50, 0);
}

}  // namespace

Layout LayoutFor(SetSize size) {
    if (size == SetSize::Shipped) {
        return Layout{441056, 18927616, 14123, 191316, 189084, 0xC823D8};
    }
    // Sizes off the 1024-byte block grid, so that the last short block of each transfer is used.
    return Layout{5000, 0x20000, 8, 4444, 3333, 0x183D8};
}

std::vector<uint8_t> MakePartitionTable() {
    std::vector<uint8_t> out(kPartitionTableSize, 0);
    PutLe32(out, 0, 0xAA7D1B9A);
    PutLe32(out, 4, 0x1F7D48BC);
    PutLe32(out, 8, 3);
    PutLe32(out, 12, static_cast<uint32_t>(kPartitions.size()));
    for (size_t i = 0; i < kPartitions.size(); ++i) {
        const PartitionEntry& entry = kPartitions[i];
        const size_t at = kPartitionHeaderSize + i * kPartitionEntrySize;
        std::copy(entry.name.begin(), entry.name.end(), out.begin() + static_cast<long>(at));
        PutLe32(out, at + kPartitionNameSize, entry.imageSize);
        PutLe16(out, at + kPartitionNameSize + 4, entry.padding);
        PutLe16(out, at + kPartitionNameSize + 6, entry.flashIndex);
        std::copy(entry.attributes.begin(), entry.attributes.end(),
                  out.begin() + static_cast<long>(at + kPartitionNameSize + 8));
    }
    return out;
}

std::vector<uint8_t> MakeDbl() {
    std::vector<uint8_t> out(kDblSize, 0xFF);
    std::copy(kDblPreamble.begin(), kDblPreamble.end(), out.begin());
    std::copy(kDblPreamble.begin(), kDblPreamble.end(), out.begin() + 0x800);
    const uint32_t codeSize = static_cast<uint32_t>(kDblSize - kDblCodeOffset);
    const std::array<uint32_t, 20> header = {0x844BDCD1,
                                             0x73D71034,
                                             0xFFFFFFFF,
                                             0xFFFFFFFF,
                                             0xFFFFFFFF,
                                             kDblCodeOffset,
                                             kDblDestination,
                                             codeSize,
                                             codeSize,
                                             kDblDestination + codeSize,
                                             0,
                                             kDblDestination + codeSize,
                                             0,
                                             0xFFFFFFFF,
                                             0xFFFFFFFF,
                                             0xFFFFFFFF,
                                             0xFFFFFFFF,
                                             0xFFFFFFFF,
                                             0xFFFFFFFF,
                                             0xFFFFFFFF};
    for (size_t i = 0; i < header.size(); ++i) {
        PutLe32(out, kDblHeaderOffset + 4 * i, header[i]);
    }
    ByteStream(0xDB1).Fill(out, kDblCodeOffset, out.size());
    return out;
}

std::vector<uint8_t> MakeFsbl() {
    return std::vector<uint8_t>(kFsblText.begin(), kFsblText.end());
}

std::vector<uint8_t> MakeBootImage(uint32_t imageId, uint32_t source, uint32_t destination,
                                   size_t fileSize, uint32_t seed) {
    if (fileSize < kBootHeaderSize) {
        throw std::invalid_argument("boot image shorter than its header");
    }
    std::vector<uint8_t> out(fileSize, 0);
    const uint32_t imageSize = static_cast<uint32_t>(fileSize - kBootHeaderSize);
    const std::array<uint32_t, 10> header = {imageId,
                                             3,
                                             source,
                                             destination,
                                             imageSize,
                                             imageSize,
                                             destination + imageSize,
                                             0,
                                             destination + imageSize,
                                             0};
    for (size_t i = 0; i < header.size(); ++i) {
        PutLe32(out, 4 * i, header[i]);
    }
    ByteStream(seed).Fill(out, kBootHeaderSize, out.size());
    return out;
}

std::vector<uint8_t> MakeOsbl(size_t fileSize) {
    return MakeBootImage(0x0B, 0, 0x00040000, fileSize, 0x05B1);
}

std::vector<uint8_t> MakeArmprg(size_t fileSize) {
    return MakeBootImage(0x05, 0x00800028, 0x00800028, fileSize, 0xA4A9);
}

std::vector<uint8_t> MakeNandprg(size_t fileSize) {
    return MakeBootImage(0x05, 0x00800028, 0x00800028, fileSize, 0x9A9D);
}

std::vector<uint8_t> MakeAmss(size_t fileSize, uint32_t locationOffset) {
    constexpr size_t loadSegments = kSegmentCount - 1;
    if (fileSize % kSegmentAlign != 0 ||
        fileSize < kLoadSegmentsOffset + loadSegments * kSegmentAlign) {
        throw std::invalid_argument("application image size off the segment grid");
    }
    if (locationOffset % 4 != 0 || locationOffset < kLoadSegmentsOffset ||
        locationOffset + kLocationRecordSize > fileSize) {
        throw std::invalid_argument("location data record outside the loaded segments");
    }
    std::vector<uint8_t> out(fileSize, 0);
    PutElfHeader(out);

    PutProgramHeader(out, 0, 0, static_cast<uint32_t>(kFirstSegmentOffset), 0, kFirstSegmentSize,
                     0);
    ByteStream stream(0xA355);
    stream.Fill(out, kFirstSegmentOffset, kFirstSegmentOffset + kFirstSegmentSize);

    const size_t body = fileSize - kLoadSegmentsOffset;
    const size_t chunk =
        std::max(kSegmentAlign, body / loadSegments / kSegmentAlign * kSegmentAlign);
    for (size_t i = 0; i < loadSegments; ++i) {
        const size_t offset = kLoadSegmentsOffset + i * chunk;
        const size_t size = i + 1 < loadSegments ? chunk : fileSize - offset;
        const uint32_t flags = i == 0 ? 5 : 6;  // code R+X, the rest R+W
        PutProgramHeader(out, i + 1, 1, static_cast<uint32_t>(offset),
                         kAmssEntry + static_cast<uint32_t>(offset - kLoadSegmentsOffset),
                         static_cast<uint32_t>(size), flags);
    }
    stream.Fill(out, kLoadSegmentsOffset, fileSize);

    // The record must be the first 4-aligned marker, or the scan would stop short of it.
    for (size_t p = 0; p < locationOffset; p += 4) {
        if (GetLe32(out, p) == kLocationMarker) {
            out[p] ^= 0x01;
        }
    }
    PutLe32(out, locationOffset, kLocationMarker);
    return out;
}

std::vector<uint8_t> MakeEfs(size_t pages) {
    if (pages == 0) {
        throw std::invalid_argument("EFS image without pages");
    }
    std::vector<uint8_t> out(pages * kEfsPageSize, 0);
    std::copy(kEfsMagic.begin(), kEfsMagic.end(), out.begin());
    ByteStream(0xEF52).Fill(out, kEfsMagic.size(), out.size());
    return out;
}

std::vector<ImageFile> MakeFirmwareSet(SetSize size) {
    const Layout layout = LayoutFor(size);
    std::vector<ImageFile> set;
    set.push_back({161, "amss.mbn", MakeAmss(layout.amssSize, layout.locationOffset)});
    set.push_back({162, "armprg.bin", MakeArmprg(layout.armprgSize)});
    set.push_back({163, "dbl.mbn", MakeDbl()});
    set.push_back({164, "efs.mbn", MakeEfs(layout.efsPages)});
    set.push_back({165, "fsbl.mbn", MakeFsbl()});
    set.push_back({166, "nandprgcombined.mbn", MakeNandprg(layout.nandprgSize)});
    set.push_back({167, "osbl.mbn", MakeOsbl(layout.osblSize)});
    set.push_back({168, "partition.mbn", MakePartitionTable()});
    return set;
}

bool WriteFirmwareSet(const std::vector<ImageFile>& set, const std::filesystem::path& folder,
                      std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        error = "cannot create " + folder.string() + ": " + ec.message();
        return false;
    }
    for (const ImageFile& image : set) {
        const std::filesystem::path path = folder / image.name;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(image.bytes.data()),
                   static_cast<std::streamsize>(image.bytes.size()));
        file.close();
        if (!file) {
            error = "cannot write " + path.string();
            return false;
        }
    }
    return true;
}

}  // namespace pellan::fwgen
