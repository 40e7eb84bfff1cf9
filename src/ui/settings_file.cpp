#include "ui/settings_file.h"

#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

namespace pellan {
namespace {

// Visits the fields of a record with their offsets in the record's image. `Record` is LineRecord
// or const LineRecord; the visitor has overloads for text fields and for 32-bit numbers.
template <class Record, class Visitor>
void VisitFields(Record& r, Visitor&& visit) {
    visit(0, r.partitionPath);
    visit(1792, r.amssPath);
    visit(2048, r.firmwareFolder);
    visit(2304, r.efsPath);
    visit(2820, r.nvFolder);
    visit(3076, r.upgradeFile);
    visit(3336, r.bootFile);
    visit(3596, r.armprgPath);
    visit(3856, r.nvmFilePath);
    visit(4116, r.diagPort);
    visit(4120, r.atPort);
    visit(4124, r.baud);
    visit(4128, r.defaultNvFile);
    visit(4388, r.swFolder);
    visit(4904, r.nandprgPath);
    visit(5164, r.dblPath);
    visit(5420, r.fsblPath);
    visit(5676, r.osblPath);
}

struct Encoder {
    uint8_t* out;
    template <size_t N>
    void operator()(size_t offset, const std::array<char, N>& field) const {
        std::memcpy(out + offset, field.data(), N);
    }
    void operator()(size_t offset, int32_t value) const {
        const auto u = static_cast<uint32_t>(value);
        for (size_t i = 0; i < 4; ++i) {
            out[offset + i] = static_cast<uint8_t>(u >> (8 * i));
        }
    }
};

struct Decoder {
    const uint8_t* in;
    template <size_t N>
    void operator()(size_t offset, std::array<char, N>& field) const {
        std::memcpy(field.data(), in + offset, N);
        if (std::memchr(field.data(), 0, N) == nullptr) {
            field[N - 1] = 0;
        }
    }
    void operator()(size_t offset, int32_t& value) const {
        uint32_t u = 0;
        for (size_t i = 0; i < 4; ++i) {
            u |= static_cast<uint32_t>(in[offset + i]) << (8 * i);
        }
        value = static_cast<int32_t>(u);
    }
};

}  // namespace

void EncodeLineRecord(const LineRecord& record, uint8_t* out) {
    std::memset(out, 0, kLineRecordSize);
    VisitFields(record, Encoder{out});
}

LineRecord DecodeLineRecord(const uint8_t* image) {
    LineRecord record;
    VisitFields(record, Decoder{image});
    return record;
}

SettingsReadResult ReadSettingsFile(const std::filesystem::path& file, LineRecordSet& records,
                                    std::uintmax_t& length) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
        return ec ? SettingsReadResult::Unreadable : SettingsReadResult::Missing;
    }
    length = std::filesystem::file_size(file, ec);
    if (ec) {
        return SettingsReadResult::Unreadable;
    }
    if (length != kSettingsFileSize) {
        return SettingsReadResult::WrongLength;
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> image(kSettingsFileSize + 1);
    in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    // One byte more than expected is asked for: a file that grew since its size was taken shows.
    if (static_cast<size_t>(in.gcount()) != kSettingsFileSize) {
        length = static_cast<std::uintmax_t>(in.gcount());
        return in.gcount() > 0 ? SettingsReadResult::WrongLength : SettingsReadResult::Unreadable;
    }
    for (size_t line = 0; line < records.size(); ++line) {
        records[line] = DecodeLineRecord(image.data() + line * kLineRecordSize);
    }
    return SettingsReadResult::Read;
}

bool WriteSettingsFile(const std::filesystem::path& file, const LineRecordSet& records) {
    std::vector<uint8_t> image(kSettingsFileSize);
    for (size_t line = 0; line < records.size(); ++line) {
        EncodeLineRecord(records[line], image.data() + line * kLineRecordSize);
    }
    std::filesystem::path temp = file;
    temp += ".tmp";
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.close();
    std::error_code ec;
    if (!out) {
        std::filesystem::remove(temp, ec);
        return false;
    }
    std::filesystem::rename(temp, file, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

}  // namespace pellan
