// The NVM file of a backup, as a restore loads it: the byte decoder and the file loader. Short
// inputs are tiled to the exact size too, with and without an end marker.

#include "fuzz_support.h"
#include "nv/nvm_file.h"
#include "nv/nvm_store.h"

using namespace pellan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ScratchFile file("pellan-fuzz-nvm");
    // Kept between inputs: a fresh 115 KB table and image per input would cost more than the
    // decoding itself under the sanitizers.
    static NvmTable table;
    static NvmTable again;
    static std::vector<uint8_t> image;
    table = NvmTable{};

    const std::vector<uint8_t> raw(data, data + size);
    const NvmFileCheck rawCheck = DecodeNvmFile(raw, table);
    PELLAN_FUZZ_CHECK(rawCheck != NvmFileCheck::OK || size == kNvmFileSize);

    fuzz::TileInto(data, size, kNvmFileSize, image);
    const NvmFileCheck check = DecodeNvmFile(image, table);
    if (check == NvmFileCheck::OK) {
        // A decoded table survives an encode and a decode unchanged.
        PELLAN_FUZZ_CHECK(DecodeNvmFile(EncodeNvmFile(table), again) == NvmFileCheck::OK);
        PELLAN_FUZZ_CHECK(again == table);
    }
    if (!fuzz::TakeFilePath()) {
        return 0;
    }
    file.Write(image.data(), image.size());
    static NvmTable loaded;
    loaded = NvmTable{};
    const NvmLoad load = LoadNvmFile(file.Path(), loaded);
    // The loader and the decoder agree, and a well-formed file survives a write and a read.
    PELLAN_FUZZ_CHECK((check == NvmFileCheck::OK) == (load == NvmLoad::OK));
    if (check == NvmFileCheck::OK) {
        PELLAN_FUZZ_CHECK(loaded == table);
    }
    return 0;
}
