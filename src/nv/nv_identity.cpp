#include "nv/nv_identity.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "nv/nvm_file.h"
#include "nv/nvm_store.h"

namespace pellan {

std::string ImeiOfNvData(const uint8_t* data) {
    std::string text;
    text += static_cast<char>('0' + (data[1] >> 4));
    for (size_t i = 2; i <= 8; ++i) {
        text += static_cast<char>('0' + (data[i] & 0x0F));
        text += static_cast<char>('0' + (data[i] >> 4));
    }
    return text;
}

std::optional<std::string> ImeiInNvmFile(const std::string& path) {
    NvmTable table;
    if (LoadNvmFile(path, table) != NvmLoad::OK) {
        return std::nullopt;
    }
    for (const NvItemRecord& record : table) {
        if (record.itemId == kNvEndMarker) {
            break;
        }
        if (record.itemId == kNvImeiItem) {
            if (record.status != 0) {
                return std::nullopt;
            }
            return ImeiOfNvData(record.data.data());
        }
    }
    return std::nullopt;
}

std::optional<platform::Md5Digest> FileDigest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return platform::Md5(bytes);
}

}  // namespace pellan
