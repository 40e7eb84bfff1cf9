#include "programming/efs_image.h"

#include <cstdio>
#include <memory>
#include <string>

#include "diag/line_context.h"
#include "diag/phone_link.h"
#include "programming/stream_pipeline.h"

namespace pellan {
namespace {

constexpr uint8_t kEfsImage = 0x09;
constexpr int kOpenTries = 3;
constexpr uint32_t kOpenRetryWaitMs = 2000;
constexpr int kProgressStart = 61;
constexpr int kProgressEnd = 80;

std::string Format(const char* pattern, int a, int b = 0) {
    char text[160];
    std::snprintf(text, sizeof(text), pattern, a, b);
    return text;
}

}  // namespace

bool WriteEfsImage(LineContext& line) {
    CPhoneLink& link = line.Link();
    line.account.BeginPhase(JobPhase::EFS);
    ImageFile file;
    if (!file.Open(GetField(line.record.efsPath))) {
        line.report.ShowMessage(line.Text("Open EFS file failed!", "打开EFS文件失败!"), 1);
        return false;
    }
    const int64_t length = file.Length();
    if (length <= 0) {
        line.report.ShowMessage(line.Text("The length of EFS is wrong.", "EFS文件长度不正确"), 1);
        return false;
    }
    line.account.BeginPhase(JobPhase::EFS, {}, static_cast<uint64_t>(length), "bytes");
    bool opened = false;
    for (int attempt = 0; attempt < kOpenTries && !opened; ++attempt) {
        if (attempt > 0) {
            line.clock.SleepMs(kOpenRetryWaitMs);
        }
        opened = link.StreamOpenMultiImage(kEfsImage, nullptr, 0);
    }
    if (!opened) {
        line.report.ShowMessage(
            line.Text("Enter Download EFS mode failed!", "进入Download EFS模式失败!"), 1);
        return false;
    }
    auto state = std::make_unique<PipelineState>();
    line.report.SetProgress(kProgressStart);
    const PipelineProfile profile = {
        kProgressStart,
        19,
        10000,
        1,
        true,
        line.Text("The download thread stopped!", "下载线程被人为终止!"),
        line.Text("no return value, write fail!", "没有返回，写操作失败!")};
    if (!SendPipelined(line, file, length, profile, *state)) {
        return false;
    }
    const uint32_t lost = state->lostCount;
    if (lost > 0) {
        line.report.ShowMessage(Format(line.Text("%d line download efs have %d block no response",
                                                 "%d路下载efs过程中有%d块未响应的数据块"),
                                       line.line + 1, static_cast<int>(lost)),
                                1);
        if (lost > kLostSlots) {
            line.report.ShowMessage("下载过程中有过多的未响应数据块,下载失败!", 1);
            return false;
        }
        line.report.ShowMessage(line.Text("Re-write data block!", "重写数据块!"), 1);
        const char* addressLine = line.Text("Re-write data block,address%X", "重写数据块,地址%X");
        const auto report = [&](uint32_t address) {
            char text[96];
            std::snprintf(text, sizeof(text), addressLine, address);
            line.report.ShowMessage(text, 1);
        };
        if (!RewriteLost(line, file, length, *state, report)) {
            return false;
        }
    }
    file.Close();
    if (!link.StreamClose()) {
        line.report.ShowMessage(line.Text("ClosePacket error", "ClosePacket出错"), 1);
        return false;
    }
    line.report.SetProgress(kProgressEnd);
    return true;
}

}  // namespace pellan
