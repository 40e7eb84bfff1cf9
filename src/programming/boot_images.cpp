#include "programming/boot_images.h"

#include <algorithm>
#include <array>
#include <string>

#include "diag/line_context.h"
#include "diag/phone_link.h"
#include "firmware/image_file.h"

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

std::string BootImagePath(const LineContext& line, BootImage image) {
    const LineRecord& record = line.record;
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

bool WritePartitionTable(LineContext& line) {
    CPhoneLink& link = line.Link();
    // These two lines exist in Chinese only and are shown whatever the interface language.
    ImageFile file;
    if (!file.Open(GetField(line.record.partitionPath))) {
        line.report.ShowMessage("打开文件失败！", 1);
        return false;
    }
    const int64_t length = file.Length();
    // A table that does not fit the command would overrun the buffer and cannot be sent whole.
    if (length <= 0 || length > kPartitionTableMax) {
        line.report.ShowMessage("文件长度不正确", 1);
        return false;
    }
    std::array<uint8_t, kPartitionTableMax> table{};
    if (!file.Read(table.data(), static_cast<size_t>(length))) {
        line.report.ShowMessage("打开文件失败！", 1);
        return false;
    }
    file.Close();
    for (int attempt = 0; attempt < kPartitionTries; ++attempt) {
        if (attempt > 0) {
            line.clock.SleepMs(kRetryWaitMs);
        }
        if (link.StreamPartitionTable(table.data(), static_cast<uint32_t>(length))) {
            return true;
        }
    }
    return false;  // the link keeps "Cannot download partition, Since ..."
}

bool WriteBootImage(LineContext& line, BootImage image) {
    CPhoneLink& link = line.Link();
    const BootImageInfo info = Info(image);
    ImageFile file;
    if (!file.Open(BootImagePath(line, image))) {
        line.report.ShowMessage("open file fail!", 1);
        return false;
    }
    const int64_t length = file.Length();
    if (length <= 0) {
        line.report.ShowMessage("The length of file is not correct", 1);
        return false;
    }
    if (!link.StreamOpenMultiImage(info.type, nullptr, 0)) {
        line.clock.SleepMs(kRetryWaitMs);
        if (!link.StreamOpenMultiImage(info.type, nullptr, 0)) {
            line.report.ShowMessage(info.failure, 1);
            return false;
        }
    }
    std::array<uint8_t, kBlock> buffer{};
    for (int64_t p = 0; p < length;) {
        const auto n = static_cast<uint32_t>(std::min<int64_t>(kBlock, length - p));
        if (!file.Read(buffer.data(), n)) {
            line.report.ShowMessage("open file fail!", 1);
            return false;
        }
        if (!link.StreamWrite(buffer.data(), static_cast<uint32_t>(p), n)) {
            line.report.ShowMessage(link.m_lastError, 1);
            return false;
        }
        p += n;
    }
    file.Close();
    if (!link.StreamClose()) {
        line.report.ShowMessage("ClosePacket error", 1);
        return false;
    }
    return true;
}

}  // namespace pellan
