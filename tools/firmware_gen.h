#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Builds the synthetic firmware set: eight images with the layouts of the shipped ones (partition
// table, DBL with its NAND preamble, the FSBL placeholder, boot image headers, an ELF32 ARM
// application image with its location data record, an EFS2 factory image) filled with
// deterministic pseudo-random bytes. The stick accepts none of them; the simulator does.
namespace pellan::fwgen {

enum class SetSize {
    Shipped,  // the sizes of the shipped images (about 48 MB in all)
    Small,    // the same layouts at a few hundred kilobytes, for tests
};

struct Layout {
    size_t osblSize;
    size_t amssSize;
    size_t efsPages;
    size_t armprgSize;
    size_t nandprgSize;
    uint32_t locationOffset;  // where the location data record starts in amss.mbn
};

Layout LayoutFor(SetSize size);

constexpr size_t kPartitionTableSize = 464;
constexpr size_t kDblSize = 35340;
constexpr size_t kFsblSize = 118;
constexpr size_t kEfsPageSize = 2048;
constexpr size_t kBootHeaderSize = 40;
constexpr size_t kLocationRecordSize = 128;
constexpr uint32_t kLocationMarker = 0x6EBE1A2C;

struct ImageFile {
    int resourceId;
    std::string name;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> MakePartitionTable();
std::vector<uint8_t> MakeDbl();
std::vector<uint8_t> MakeFsbl();
// A 40-byte boot image header (image id, version 3, source, destination, sizes, signature and
// certificate chain addresses right behind the image, both of size 0) and a body of `fileSize`
// - 40.
std::vector<uint8_t> MakeBootImage(uint32_t imageId, uint32_t source, uint32_t destination,
                                   size_t fileSize, uint32_t seed);
std::vector<uint8_t> MakeOsbl(size_t fileSize);
std::vector<uint8_t> MakeArmprg(size_t fileSize);
std::vector<uint8_t> MakeNandprg(size_t fileSize);
// `fileSize` must be a multiple of 4096 and at least 0x2000 + 18 * 4096 bytes; the record must lie
// inside the file on a 4-byte boundary. No earlier 4-aligned word equals the marker.
std::vector<uint8_t> MakeAmss(size_t fileSize, uint32_t locationOffset);
std::vector<uint8_t> MakeEfs(size_t pages);

// The eight images in resource id order (161..168).
std::vector<ImageFile> MakeFirmwareSet(SetSize size);

// Writes the images into `folder` (created when missing). On failure `error` says what failed.
bool WriteFirmwareSet(const std::vector<ImageFile>& set, const std::filesystem::path& folder,
                      std::string& error);

}  // namespace pellan::fwgen
