#include "programming/boot_images.h"

#include <algorithm>
#include <array>
#include <string>

#include "diag/phone_link.h"
#include "programming/image_file.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

namespace pellan {
namespace {

constexpr uint32_t kBlock = 1024;
constexpr uint32_t kPartitionTableMax = 1024;  // the payload of the partition-table command
constexpr int kPartitionTries = 3;
constexpr uint32_t kRetryWaitMs = 2000;

struct BootImageInfo {
    uint8_t type;
    const char* failure;
};

BootImageInfo Info(BootImage image) {
    switch (image) {
        case BootImage::DBL:
            return {0x0F, "Download DBL file failed!"};
        case BootImage::FSBL:
            return {0x11, "Download FSBL file failed!"};
        case BootImage::OSBL:
            return {0x10, "Download OSBL file failed!"};
    }
    return {0, ""};
}

std::string BootImagePath(CPellanDoc& doc, int line, BootImage image) {
    const LineRecord& record = doc.Record(line);
    switch (image) {
        case BootImage::DBL:
            return GetField(record.dblPath);
        case BootImage::FSBL:
            return GetField(record.fsblPath);
        case BootImage::OSBL:
            return GetField(record.osblPath);
    }
    return {};
}

}  // namespace

bool WritePartitionTable(CPellanView& view, int line) {
    CPellanDoc& doc = view.Doc();
    CPhoneLink& link = doc.Link(line);
    // These two lines exist in Chinese only and are shown whatever the interface language.
    ImageFile file;
    if (!file.Open(GetField(doc.Record(line).partitionPath))) {
        view.ShowLineMessage(line, "打开文件失败！", 1);
        return false;
    }
    const int64_t length = file.Length();
    // A table that does not fit the command would overrun the buffer and cannot be sent whole.
    if (length <= 0 || length > kPartitionTableMax) {
        view.ShowLineMessage(line, "文件长度不正确", 1);
        return false;
    }
    std::array<uint8_t, kPartitionTableMax> table{};
    if (!file.Read(table.data(), static_cast<size_t>(length))) {
        view.ShowLineMessage(line, "打开文件失败！", 1);
        return false;
    }
    file.Close();
    for (int attempt = 0; attempt < kPartitionTries; ++attempt) {
        if (attempt > 0) {
            doc.Clock().SleepMs(kRetryWaitMs);
        }
        if (link.StreamPartitionTable(table.data(), static_cast<uint32_t>(length))) {
            return true;
        }
    }
    return false;  // the link keeps "Cannot download partition, Since ..."
}

bool WriteBootImage(CPellanView& view, int line, BootImage image) {
    CPellanDoc& doc = view.Doc();
    CPhoneLink& link = doc.Link(line);
    const BootImageInfo info = Info(image);
    ImageFile file;
    if (!file.Open(BootImagePath(doc, line, image))) {
        view.ShowLineMessage(line, "open file fail!", 1);
        return false;
    }
    const int64_t length = file.Length();
    if (length <= 0) {
        view.ShowLineMessage(line, "The length of file is not correct", 1);
        return false;
    }
    if (!link.StreamOpenMultiImage(info.type, nullptr, 0)) {
        doc.Clock().SleepMs(kRetryWaitMs);
        if (!link.StreamOpenMultiImage(info.type, nullptr, 0)) {
            view.ShowLineMessage(line, info.failure, 1);
            return false;
        }
    }
    std::array<uint8_t, kBlock> buffer{};
    for (int64_t p = 0; p < length;) {
        const auto n = static_cast<uint32_t>(std::min<int64_t>(kBlock, length - p));
        if (!file.Read(buffer.data(), n)) {
            view.ShowLineMessage(line, "open file fail!", 1);
            return false;
        }
        if (!link.StreamWrite(buffer.data(), static_cast<uint32_t>(p), n)) {
            view.ShowLineMessage(line, link.m_lastError, 1);
            return false;
        }
        p += n;
    }
    file.Close();
    if (!link.StreamClose()) {
        view.ShowLineMessage(line, "ClosePacket error", 1);
        return false;
    }
    return true;
}

}  // namespace pellan
