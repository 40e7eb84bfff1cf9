// The settings file: eight fixed records of text fields and numbers. Short inputs are tiled to
// the exact file size as well, so that the record decoder is reached, not only the length check.

#include <cstring>

#include "fuzz_support.h"
#include "ui/settings_file.h"

using namespace pellan;

namespace {

// Every text field decoded ends inside its field.
template <size_t N>
void CheckTerminated(const std::array<char, N>& field) {
    PELLAN_FUZZ_CHECK(std::memchr(field.data(), 0, N) != nullptr);
}

void CheckRecord(const LineRecord& r) {
    const auto check = [](const auto&... fields) { (CheckTerminated(fields), ...); };
    check(r.partitionPath, r.amssPath, r.firmwareFolder, r.efsPath, r.nvFolder, r.upgradeFile,
          r.bootFile, r.armprgPath, r.nvmFilePath, r.defaultNvFile, r.swFolder, r.nandprgPath,
          r.dblPath, r.fsblPath, r.osblPath);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The records of the bytes tiled to the file's size, decoded as the file reader does.
    static std::vector<uint8_t> image;
    fuzz::TileInto(data, size, kSettingsFileSize, image);
    LineRecordSet records{};
    for (size_t i = 0; i < records.size(); ++i) {
        records[i] = DecodeLineRecord(image.data() + i * kLineRecordSize);
        CheckRecord(records[i]);
        // A decoded record encodes to an image that decodes to the same record again.
        std::vector<uint8_t> again(kLineRecordSize, 0);
        EncodeLineRecord(records[i], again.data());
        const LineRecord second = DecodeLineRecord(again.data());
        std::vector<uint8_t> third(kLineRecordSize, 0);
        EncodeLineRecord(second, third.data());
        PELLAN_FUZZ_CHECK(again == third);
    }
    if (!fuzz::TakeFilePath()) {
        return 0;
    }

    static fuzz::ScratchFile file("pellan-fuzz-settings");
    std::uintmax_t length = 0;
    // The file as it is: any length other than the exact one leaves the records untouched.
    LineRecordSet fromFile{};
    file.Write(data, size);
    const SettingsReadResult raw = ReadSettingsFile(file.Path(), fromFile, length);
    PELLAN_FUZZ_CHECK((raw == SettingsReadResult::Read) == (size == kSettingsFileSize));
    if (raw == SettingsReadResult::WrongLength) {
        PELLAN_FUZZ_CHECK(length == size);
    }
    // The tiled image read from disk gives the records decoded above.
    file.Write(image.data(), image.size());
    PELLAN_FUZZ_CHECK(ReadSettingsFile(file.Path(), fromFile, length) == SettingsReadResult::Read);
    for (size_t i = 0; i < records.size(); ++i) {
        std::vector<uint8_t> a(kLineRecordSize, 0);
        std::vector<uint8_t> b(kLineRecordSize, 0);
        EncodeLineRecord(records[i], a.data());
        EncodeLineRecord(fromFile[i], b.data());
        PELLAN_FUZZ_CHECK(a == b);
    }
    return 0;
}
