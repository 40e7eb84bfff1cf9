#include "programming/efs_image.h"

#include <cstdio>
#include <memory>
#include <string>

#include "diag/phone_link.h"
#include "programming/stream_pipeline.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

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

bool WriteEfsImage(CPellanView& view, int line) {
    CPellanDoc& doc = view.Doc();
    CPhoneLink& link = doc.Link(line);
    view.Account(line).BeginPhase(JobPhase::EFS);
    ImageFile file;
    if (!file.Open(GetField(doc.Record(line).efsPath))) {
        view.ShowLineMessage(line, view.Text("Open EFS file failed!", "打开EFS文件失败!"), 1);
        return false;
    }
    const int64_t length = file.Length();
    if (length <= 0) {
        view.ShowLineMessage(line, view.Text("The length of EFS is wrong.", "EFS文件长度不正确"),
                             1);
        return false;
    }
    view.Account(line).BeginPhase(JobPhase::EFS, {}, static_cast<uint64_t>(length), "bytes");
    bool opened = false;
    for (int attempt = 0; attempt < kOpenTries && !opened; ++attempt) {
        if (attempt > 0) {
            doc.Clock().SleepMs(kOpenRetryWaitMs);
        }
        opened = link.StreamOpenMultiImage(kEfsImage, nullptr, 0);
    }
    if (!opened) {
        view.ShowLineMessage(
            line, view.Text("Enter Download EFS mode failed!", "进入Download EFS模式失败!"), 1);
        return false;
    }
    auto state = std::make_unique<PipelineState>();
    view.SetLineProgress(line, kProgressStart);
    const PipelineProfile profile = {
        kProgressStart,
        19,
        10000,
        1,
        true,
        view.Text("The download thread stopped!", "下载线程被人为终止!"),
        view.Text("no return value, write fail!", "没有返回，写操作失败!")};
    if (!SendPipelined(view, line, file, length, profile, *state)) {
        return false;
    }
    const uint32_t lost = state->lostCount;
    if (lost > 0) {
        view.ShowLineMessage(line,
                             Format(view.Text("%d line download efs have %d block no response",
                                              "%d路下载efs过程中有%d块未响应的数据块"),
                                    line + 1, static_cast<int>(lost)),
                             1);
        if (lost > kLostSlots) {
            view.ShowLineMessage(line, "下载过程中有过多的未响应数据块,下载失败!", 1);
            return false;
        }
        view.ShowLineMessage(line, view.Text("Re-write data block!", "重写数据块!"), 1);
        const char* addressLine = view.Text("Re-write data block,address%X", "重写数据块,地址%X");
        const auto report = [&](uint32_t address) {
            char text[96];
            std::snprintf(text, sizeof(text), addressLine, address);
            view.ShowLineMessage(line, text, 1);
        };
        if (!RewriteLost(view, line, file, length, *state, report)) {
            return false;
        }
    }
    file.Close();
    if (!link.StreamClose()) {
        view.ShowLineMessage(line, view.Text("ClosePacket error", "ClosePacket出错"), 1);
        return false;
    }
    view.SetLineProgress(line, kProgressEnd);
    return true;
}

}  // namespace pellan
