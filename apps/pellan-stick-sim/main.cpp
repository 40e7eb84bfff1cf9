// pellan-stick-sim: plays one HX402A stick through a device root until it is stopped.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "sim/device_root.h"
#include "sim/sim_machine.h"

namespace {

using namespace pellan;

const char* kUsage = R"(usage: pellan-stick-sim --root DIR [options]
Publishes a simulated stick in DIR (registry.reg, COM<N> links) and runs until SIGTERM/SIGINT.
  --fast                     restarts take a hundredth of their time (for hosts run with
                             --fast); the ports still stay 40 ms after a reset is acknowledged
  --report FILE              JSON report, written on every bus change, on SIGUSR1 and on exit
  --exit-after-update        exit once the stick is back after the update's final reset
  --imei DIGITS | --imei-zero
  --model TEXT               model identity (ninth version text), default HX402A
  --version TEXT             firmware version text
  --nv-file FILE             NV contents from an NVM file (records with status 0)
  --diag-port N --at-port N  first port numbers (default 5 and 6)
  --renumber                 new port numbers after every ResetPhone
  --renumber-on LIST         reset,downloader,dload-reset,stream-reset
  --latency-ms N --leave-ms N --reenum-ms N --downloader-reenum-ms N
  --nv-write-spacing MS      NV writes closer than MS to the last are answered status 1
  --never-return             the stick never comes back after a restart
  --drop-ack ADDR[,ADDR..]   --drop-ack-fraction F  --seed N  --corrupt-ack ADDR[,..]
  --error-block ADDR[:CODE]  --block-fault-type T   --block-faults-always
  --nak-dload-write ADDR[:REASON]  --nak-times N    --ignore-go
  --nv-write-status ID:STATUS  --nv-write-status-all STATUS  --nv-inactive ID
  --stop-at NAME[:N]  --garbage-at NAME[:N]  --corrupt-at NAME[:N]  --delay-at NAME[:N] --delay-ms MS
  --download-check-status N  --partition-status N  --at-in-download
)";

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "pellan-stick-sim: " << problem << "\n" << kUsage;
    std::exit(2);
}

uint32_t Number(const std::string& text) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || end == nullptr || *end != '\0') {
        Usage("not a number: " + text);
    }
    return static_cast<uint32_t>(v);
}

// "A:B" -> (A, B) with B defaulting.
std::pair<std::string, std::string> Split(const std::string& text, const std::string& fallback) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return {text, fallback};
    }
    return {text.substr(0, colon), text.substr(colon + 1)};
}

sim::Trigger TriggerOf(const std::string& text) {
    auto [name, n] = Split(text, "1");
    return {name, static_cast<int>(Number(n))};
}

void ForEachItem(const std::string& list, const std::function<void(const std::string&)>& f) {
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        const std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty()) {
            f(item);
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
}

bool WriteReport(const std::string& path, sim::StickModel& stick) {
    return path.empty() || sim::WriteFileAtomically(path, stick.ReportJson() + "\n");
}

}  // namespace

int main(int argc, char** argv) {
    sim::StickOptions options;
    options.replyLatencyMs = 2;
    std::string root;
    std::string report;
    std::string nvFile;
    bool fast = false;
    bool exitAfterUpdate = false;
    sim::FaultPlan& f = options.faults;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--root")
            root = value();
        else if (arg == "--fast")
            fast = true;
        else if (arg == "--report")
            report = value();
        else if (arg == "--exit-after-update")
            exitAfterUpdate = true;
        else if (arg == "--imei")
            options.imei = value();
        else if (arg == "--imei-zero")
            options.imei = "000000000000000";
        else if (arg == "--model")
            options.modelText = value();
        else if (arg == "--version")
            options.firmwareVersion = value();
        else if (arg == "--nv-file")
            nvFile = value();
        else if (arg == "--diag-port")
            options.diagPort = static_cast<int>(Number(value()));
        else if (arg == "--at-port")
            options.atPort = static_cast<int>(Number(value()));
        else if (arg == "--renumber")
            options.renumberOn |= sim::RENUMBER_ON_RESET_PHONE;
        else if (arg == "--renumber-on") {
            ForEachItem(value(), [&](const std::string& what) {
                if (what == "reset")
                    options.renumberOn |= sim::RENUMBER_ON_RESET_PHONE;
                else if (what == "downloader")
                    options.renumberOn |= sim::RENUMBER_ON_DOWNLOADER;
                else if (what == "dload-reset")
                    options.renumberOn |= sim::RENUMBER_ON_DLOAD_RESET;
                else if (what == "stream-reset")
                    options.renumberOn |= sim::RENUMBER_ON_STREAM_RESET;
                else
                    Usage("unknown restart kind: " + what);
            });
        } else if (arg == "--latency-ms")
            options.replyLatencyMs = Number(value());
        else if (arg == "--nv-write-spacing")
            options.nvWriteSpacingMs = Number(value());
        else if (arg == "--leave-ms")
            options.leaveDelayMs = Number(value());
        else if (arg == "--reenum-ms")
            options.reenumDelayMs = Number(value());
        else if (arg == "--downloader-reenum-ms")
            options.downloaderReenumDelayMs = Number(value());
        else if (arg == "--never-return")
            f.neverReturn = true;
        else if (arg == "--drop-ack")
            ForEachItem(value(),
                        [&](const std::string& a) { f.dropAckAddresses.insert(Number(a)); });
        else if (arg == "--drop-ack-fraction")
            f.dropAckFraction = std::atof(value().c_str());
        else if (arg == "--seed")
            f.seed = Number(value());
        else if (arg == "--corrupt-ack")
            ForEachItem(value(),
                        [&](const std::string& a) { f.corruptAckAddresses.insert(Number(a)); });
        else if (arg == "--error-block") {
            auto [a, code] = Split(value(), "7");
            f.errorBlocks[Number(a)] = Number(code);
        } else if (arg == "--block-fault-type")
            f.blockFaultImageType = static_cast<int>(Number(value()));
        else if (arg == "--block-faults-always")
            f.blockFaultsOnce = false;
        else if (arg == "--nak-dload-write") {
            auto [a, reason] = Split(value(), "7");
            f.nakDloadWrites[Number(a)] = static_cast<uint16_t>(Number(reason));
        } else if (arg == "--nak-times")
            f.nakDloadWriteTimes = static_cast<int>(Number(value()));
        else if (arg == "--ignore-go")
            f.ignoreDloadGo = true;
        else if (arg == "--nv-write-status") {
            auto [id, status] = Split(value(), "4");
            f.nvWriteStatus[static_cast<uint16_t>(Number(id))] =
                static_cast<uint16_t>(Number(status));
        } else if (arg == "--nv-write-status-all")
            f.nvWriteStatusAll = static_cast<uint16_t>(Number(value()));
        else if (arg == "--nv-inactive")
            f.nvInactive.insert(static_cast<uint16_t>(Number(value())));
        else if (arg == "--stop-at")
            f.stopAnswering = TriggerOf(value());
        else if (arg == "--garbage-at")
            f.garbageReply = TriggerOf(value());
        else if (arg == "--corrupt-at")
            f.corruptReply = TriggerOf(value());
        else if (arg == "--delay-at")
            f.delayReply = TriggerOf(value());
        else if (arg == "--delay-ms")
            f.replyDelayMs = Number(value());
        else if (arg == "--download-check-status")
            f.downloadCheckStatus = Number(value());
        else if (arg == "--partition-status")
            f.partitionStatus = static_cast<int>(Number(value()));
        else if (arg == "--at-in-download")
            options.atPortInDownload = true;
        else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else
            Usage("unknown option " + arg);
    }
    if (root.empty()) {
        Usage("--root DIR is required");
    }
    if (options.imei.size() != 15 ||
        options.imei.find_first_not_of("0123456789") != std::string::npos) {
        Usage("--imei needs fifteen digits");
    }
    if (!nvFile.empty()) {
        sim::NvStore store;
        std::string error;
        if (!store.LoadNvmFile(nvFile, error)) {
            Usage(error);
        }
        for (const auto& [id, data] : store.Items()) {
            options.nvItems[id] = std::vector<uint8_t>(data.begin(), data.end());
        }
    }
    if (fast) {
        // Like the host's --fast: restarts are fixed waits, replies are not.
        auto shorten = [](uint32_t& ms) { ms = ms >= 100 ? ms / 100 : ms; };
        // The ports must outlive the host's read of a restart's acknowledgement.
        options.leaveDelayMs = std::max<uint32_t>(options.leaveDelayMs / 100, 40);
        shorten(options.reenumDelayMs);
        shorten(options.downloaderReenumDelayMs);
    }

    platform::SystemClock clock;
    sim::SimMachine machine(clock);
    auto stick = machine.AddStick(options);
    sim::DeviceRootPublisher publisher(machine, root);
    std::string error;
    if (!publisher.Start(error)) {
        std::cerr << "pellan-stick-sim: " << error << "\n";
        return 1;
    }
    std::atomic<int> stop{0};
    std::atomic<int> reportNow{0};
    sim::InstallSignalFlags(&stop, &reportNow);
    std::cout << "pellan-stick-sim: stick on COM" << options.diagPort << " (DIAG) and COM"
              << options.atPort << " (AT) in " << root << std::endl;

    uint64_t epoch = 0;
    int backSince = 0;
    while (stop.load() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint64_t now = stick->BusEpoch();
        if (reportNow.exchange(0) != 0 || now != epoch) {
            epoch = now;
            WriteReport(report, *stick);
        }
        if (exitAfterUpdate && stick->UpdateFinished() && stick->Bus().diagPresent) {
            // Give the host a moment with the restarted stick before the ports go away.
            if (++backSince >= 25) {
                break;
            }
        }
    }
    WriteReport(report, *stick);
    publisher.Stop();
    return 0;
}
