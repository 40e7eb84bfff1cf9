// pellan-bench-link: what the host costs and reaches over pseudo-terminals.
//   transfer --root DIR --firmware DIR   one programming attempt against a pellan-stick-sim
//                                        already serving DIR (application and EFS images through
//                                        the windowed stream), with the host thread's CPU time
//   raw --root DIR --firmware DIR        the same block frames written straight into a
//                                        pseudo-terminal pair whose far end only drains them
//   window --root DIR --firmware DIR     the same frames with at most 5 (then 1) outstanding to a
//        [--window N]                    far end that acknowledges each frame at once: the best
//                                        rate a window of N allows on this link, whatever the stick
//   idle --root DIR --seconds N          one line's polling loop against the simulator
//        [--fast 1]                      with the shortened clock of --fast
// Each mode prints "name value unit" lines for scripts/bench.sh.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/frame_codec.h"
#include "diag/phone_link.h"
#include "download/download_steps.h"
#include "host_cpu.h"
#include "platform/serial_posix.h"
#include "platform/system_env.h"
#include "programming/programming_cycle.h"
#include "raw_pty.h"
#include "ui/line_polling.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/view_sink.h"

namespace {

using namespace pellan;
using SteadyClock = std::chrono::steady_clock;

double Since(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

void Figure(const char* name, double value, const char* unit) {
    std::printf("%s %.4f %s\n", name, value, unit);
    std::fflush(stdout);
}

struct Mark {
    SteadyClock::time_point at;
    double threadCpu = 0;  // of the thread that showed the position: the job's
};

// Keeps the first moment each progress position was shown, and the line's messages.
class TimingSink final : public ViewSink {
  public:
    void ControlProgress(int, int position) override {
        const Mark mark{SteadyClock::now(), bench::ThreadCpuSeconds()};
        std::lock_guard lock(m_mutex);
        m_seen.emplace(position, mark);
    }
    void ControlText(int, const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_log.push_back(text);
    }
    void LineLogAppended(int, const std::string& entry) override {
        std::lock_guard lock(m_mutex);
        m_log.push_back(entry);
    }
    bool Seen(int position, Mark& mark) {
        std::lock_guard lock(m_mutex);
        const auto it = m_seen.find(position);
        if (it == m_seen.end()) {
            return false;
        }
        mark = it->second;
        return true;
    }
    std::vector<std::string> Log() {
        std::lock_guard lock(m_mutex);
        return m_log;
    }

  private:
    std::mutex m_mutex;
    std::map<int, Mark> m_seen;
    std::vector<std::string> m_log;
};

const char* kImages[] = {"partition.mbn",       "dbl.mbn", "fsbl.mbn", "osbl.mbn", "amss.mbn",
                         "nandprgcombined.mbn", "efs.mbn"};

std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::filesystem::path WorkFolder(const char* name) {
    auto folder = std::filesystem::temp_directory_path() /
                  (std::string("pellan-bench-") + name + "-" +
                   std::to_string(SteadyClock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder);
    return folder;
}

void Fill(LineRecord& record, const std::filesystem::path& fw) {
    SetField(record.armprgPath, (fw / "armprg.bin").string());
    SetField(record.partitionPath, (fw / "partition.mbn").string());
    SetField(record.dblPath, (fw / "dbl.mbn").string());
    SetField(record.fsblPath, (fw / "fsbl.mbn").string());
    SetField(record.osblPath, (fw / "osbl.mbn").string());
    SetField(record.amssPath, (fw / "amss.mbn").string());
    SetField(record.nandprgPath, (fw / "nandprgcombined.mbn").string());
    SetField(record.efsPath, (fw / "efs.mbn").string());
}

int Transfer(const std::filesystem::path& root, const std::filesystem::path& fw) {
    platform::SystemEnv system(root, /*fast=*/true);
    const auto work = WorkFolder("transfer");
    TimingSink sink;
    int rc = 1;
    {
        CPellanDoc doc(system.Get(), work);
        CPellanView view(doc, sink);
        const int line = 0;
        Fill(doc.Record(line), fw);
        if (!doc.DiscoverPorts(line) ||
            !doc.ReopenDiagPort(line, doc.Record(line).diagPort, 115200)) {
            std::fprintf(stderr, "no stick in %s\n", root.c_str());
            return 1;
        }
        doc.ReopenAtPort(line, doc.Record(line).atPort, 115200);
        doc.Runtime(line).running = 1;
        CPhoneLink& link = doc.Link(line);
        if (!doc.QueryPhone(line) || !EnterDownloadMode(view.Context(line)) ||
            !UploadArmprg(view.Context(line)) || !StartProgrammer(view.Context(line)) ||
            !PrepareProgrammingAttempt(view.Context(line), 0)) {
            std::fprintf(stderr, "the stick did not reach the programmer: %s\n",
                         link.m_lastError.c_str());
            return 1;
        }
        const double cpu0 = bench::ThreadCpuSeconds();
        const double proc0 = bench::ProcessCpuSeconds();
        const auto start = SteadyClock::now();
        const bool ok = RunProgrammingCycle(view.Context(line));
        const double wall = Since(start);
        const double cpu = bench::ThreadCpuSeconds() - cpu0;
        const double proc = bench::ProcessCpuSeconds() - proc0;
        if (!ok) {
            std::fprintf(stderr, "the programming cycle failed: %s\n", link.m_lastError.c_str());
            for (const auto& entry : sink.Log()) {
                std::fprintf(stderr, "  %s\n", entry.c_str());
            }
        } else {
            double bytes = 0;
            for (const char* name : kImages) {
                bytes += static_cast<double>(std::filesystem::file_size(fw / name));
            }
            const double mb = bytes / 1e6;
            const double amss = static_cast<double>(std::filesystem::file_size(fw / "amss.mbn"));
            const double efs = static_cast<double>(std::filesystem::file_size(fw / "efs.mbn"));
            Figure("transfer_bytes", mb, "MB");
            Figure("transfer_seconds", wall, "s");
            Figure("transfer_rate", mb / wall, "MB/s");
            Figure("transfer_host_thread_cpu", cpu, "s");
            Figure("transfer_host_process_cpu", proc, "s");
            Figure("transfer_cpu_per_mb", cpu / mb, "s/MB");
            Figure("transfer_cpu_share", cpu / wall, "core");
            // The windowed images alone: progress 28..60 is the application image, 61..80 the
            // EFS image; the boot images between them go block by block with fixed polls.
            Mark a, b, c, d;
            if (sink.Seen(28, a) && sink.Seen(60, b) && sink.Seen(61, c) && sink.Seen(80, d)) {
                const double appSeconds = std::chrono::duration<double>(b.at - a.at).count();
                const double efsSeconds = std::chrono::duration<double>(d.at - c.at).count();
                const double windowSeconds = appSeconds + efsSeconds;
                const double windowCpu = (b.threadCpu - a.threadCpu) + (d.threadCpu - c.threadCpu);
                const double windowMb = (amss + efs) / 1e6;
                Figure("windowed_bytes", windowMb, "MB");
                Figure("windowed_seconds", windowSeconds, "s");
                Figure("windowed_rate", windowMb / windowSeconds, "MB/s");
                Figure("windowed_amss_rate", amss / 1e6 / appSeconds, "MB/s");
                Figure("windowed_efs_rate", efs / 1e6 / efsSeconds, "MB/s");
                Figure("windowed_host_cpu", windowCpu, "s");
                Figure("windowed_cpu_per_mb", windowCpu / windowMb, "s/MB");
                Figure("windowed_cpu_share", windowCpu / windowSeconds, "core");
            } else {
                std::fprintf(stderr, "the progress marks of the windowed images are missing\n");
                return 1;
            }
            rc = 0;
        }
        ResetAndReconnect(view.Context(line));
    }
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    return rc;
}

// Block frames of the application and EFS images, built once; `payload` gets their data bytes.
std::vector<std::vector<uint8_t>> BlockFrames(CPhoneLink& link, const std::filesystem::path& fw,
                                              double& payload, uint64_t& wire) {
    std::vector<std::vector<uint8_t>> frames;
    payload = 0;
    wire = 0;
    for (const char* name : {"amss.mbn", "efs.mbn"}) {
        const auto bytes = ReadAll(fw / name);
        for (size_t at = 0; at < bytes.size(); at += 1024) {
            const size_t n = std::min<size_t>(1024, bytes.size() - at);
            link.m_mode = MODE_STREAM;
            link.m_request.code = 0x07;
            link.m_request.address = static_cast<uint32_t>(at);
            link.m_request.length = static_cast<uint32_t>(n);
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n,
                        link.m_request.data.begin());
            const uint32_t len = link.BuildFrame();
            frames.emplace_back(link.m_sendBuf.begin(), link.m_sendBuf.begin() + len);
            payload += static_cast<double>(n);
            wire += len;
        }
    }
    return frames;
}

// A pseudo-terminal pair published as COM1 of `root`, its far end, and the host's link on it.
struct PtyBench {
    explicit PtyBench(const std::filesystem::path& root) : provider(root), link(provider, clock) {}
    bool Start(const std::filesystem::path& root, bool answer) {
        constexpr int kPort = 1;
        std::string error;
        if (!sink.Start(root, kPort, error, answer)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        if (!link.m_port.Open(kPort, 115200, 8, 1)) {
            std::fprintf(stderr, "cannot open the pseudo-terminal\n");
            return false;
        }
        return true;
    }
    bench::RawPtySink sink;
    platform::PosixSerialProvider provider;
    platform::SystemClock clock;
    CPhoneLink link;
};

int Raw(const std::filesystem::path& root, const std::filesystem::path& fw) {
    PtyBench pty(root);
    if (!pty.Start(root, /*answer=*/false)) {
        return 1;
    }
    bench::RawPtySink& sink = pty.sink;
    CPhoneLink& link = pty.link;
    // The frames are built before the clock starts: this measures what the link carries.
    double payload = 0;
    uint64_t wire = 0;
    const auto frames = BlockFrames(link, fw, payload, wire);
    const double cpu0 = bench::ThreadCpuSeconds();
    const auto start = SteadyClock::now();
    for (const auto& f : frames) {
        if (link.m_port.WriteKeepRx(f.data(), f.size()) < f.size()) {
            std::fprintf(stderr, "a raw write failed\n");
            return 1;
        }
    }
    while (sink.Received() < wire && Since(start) < 120) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double wall = Since(start);
    const double cpu = bench::ThreadCpuSeconds() - cpu0;
    link.m_port.Close();
    sink.Stop();
    if (sink.Received() < wire) {
        std::fprintf(stderr, "the far end got %llu of %llu bytes\n",
                     static_cast<unsigned long long>(sink.Received()),
                     static_cast<unsigned long long>(wire));
        return 1;
    }
    Figure("raw_bytes", payload / 1e6, "MB");
    Figure("raw_seconds", wall, "s");
    Figure("raw_rate", payload / 1e6 / wall, "MB/s");
    Figure("raw_writer_cpu", cpu, "s");
    return 0;
}

// Sends the frames keeping at most `window` unacknowledged, as the windowed stream does, to a far
// end that answers each one at once; the rate is then bound only by the link's round trip.
int Window(const std::filesystem::path& root, const std::filesystem::path& fw, int window) {
    PtyBench pty(root);
    if (!pty.Start(root, /*answer=*/true)) {
        return 1;
    }
    bench::RawPtySink& sink = pty.sink;
    CPhoneLink& link = pty.link;
    double payload = 0;
    uint64_t wire = 0;
    const auto frames = BlockFrames(link, fw, payload, wire);
    const double cpu0 = bench::ThreadCpuSeconds();
    const auto start = SteadyClock::now();
    size_t sent = 0;
    size_t acked = 0;
    uint64_t flags = 0;
    std::vector<uint8_t> buf(4096);
    while (acked < frames.size() && Since(start) < 120) {
        while (sent < frames.size() && sent - acked < static_cast<size_t>(window)) {
            if (link.m_port.WriteKeepRx(frames[sent].data(), frames[sent].size()) <
                frames[sent].size()) {
                std::fprintf(stderr, "a write failed\n");
                return 1;
            }
            ++sent;
        }
        link.m_port.WaitForInput(10);
        const size_t n = link.m_port.Read(buf.data(), buf.size());
        for (size_t i = 0; i < n; ++i) {
            if (buf[i] == frame::kFlag && ++flags % 2 == 0) {
                ++acked;
            }
        }
    }
    const double wall = Since(start);
    const double cpu = bench::ThreadCpuSeconds() - cpu0;
    link.m_port.Close();
    sink.Stop();
    if (acked < frames.size()) {
        std::fprintf(stderr, "%zu of %zu frames answered\n", acked, frames.size());
        return 1;
    }
    const std::string prefix = "window" + std::to_string(window);
    Figure((prefix + "_rate").c_str(), payload / 1e6 / wall, "MB/s");
    Figure((prefix + "_round_trip").c_str(),
           wall / static_cast<double>(frames.size()) * static_cast<double>(window) * 1e6, "us");
    Figure((prefix + "_cpu_per_mb").c_str(), cpu / (payload / 1e6), "s/MB");
    return 0;
}

int Idle(const std::filesystem::path& root, int seconds, bool fast) {
    platform::SystemEnv system(root, fast);
    const auto work = WorkFolder("idle");
    TimingSink sink;
    {
        CPellanDoc doc(system.Get(), work);
        CPellanView view(doc, sink);
        PollControl control(doc.Clock());
        double threadCpu = 0;
        const double proc0 = bench::ProcessCpuSeconds();
        const auto start = SteadyClock::now();
        std::thread poller([&] {
            const double t0 = bench::ThreadCpuSeconds();
            PollLine(view, 0, control);
            threadCpu = bench::ThreadCpuSeconds() - t0;
        });
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        control.Stop();
        poller.join();
        const double wall = Since(start);
        const double proc = bench::ProcessCpuSeconds() - proc0;
        size_t ready = 0;
        for (const auto& entry : sink.Log()) {
            ready += entry.rfind("Ready", 0) == 0 ? 1 : 0;
        }
        Figure("idle_seconds", wall, "s");
        Figure("idle_ready_messages", static_cast<double>(ready), "");
        Figure("idle_thread_cpu_share", threadCpu / wall, "core");
        Figure("idle_process_cpu_share", proc / wall, "core");
    }
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    return 0;
}

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: pellan-bench-link transfer|raw --root DIR --firmware DIR\n"
                 "       pellan-bench-link window --root DIR --firmware DIR [--window N]\n"
                 "       pellan-bench-link idle --root DIR [--seconds N] [--fast 0|1]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage();
    }
    const std::string mode = argv[1];
    std::filesystem::path root, firmware;
    int seconds = 10;
    int window = 5;
    bool fast = false;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--root") {
            root = argv[i + 1];
        } else if (option == "--firmware") {
            firmware = argv[i + 1];
        } else if (option == "--fast") {
            fast = std::string(argv[i + 1]) == "1";
        } else if (option == "--window") {
            window = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--seconds") {
            seconds = std::max(1, std::atoi(argv[i + 1]));
        } else {
            Usage();
        }
    }
    if (root.empty() || (mode != "idle" && firmware.empty())) {
        Usage();
    }
    if (mode == "transfer") {
        return Transfer(root, firmware);
    }
    if (mode == "raw") {
        return Raw(root, firmware);
    }
    if (mode == "window") {
        return Window(root, firmware, window);
    }
    if (mode == "idle") {
        return Idle(root, seconds, fast);
    }
    Usage();
}
