// pellan-stick-sim: plays one HX402A stick, or a station of up to eight, through a device root
// until it is stopped.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "sim/device_root.h"
#include "sim/sim_machine.h"

namespace {

using namespace pellan;

const char* kUsage = R"(usage: pellan-stick-sim --root DIR [options]
Publishes simulated sticks in DIR (registry.reg, COM<N> links) and runs until SIGTERM/SIGINT.
  --fast                     restarts take a hundredth of their time (for hosts run with
                             --fast); the time until a restarted stick leaves the bus
                             (--leave-ms) stays as it is
  --report FILE              JSON report, written on every bus change, on SIGUSR1 and on exit;
                             with several sticks {"sticks": [one section per stick, in order]}
  --exit-after-update        exit once every stick that is plugged in is back after the
                             update's final reset
  --sticks N                 N sticks (1..8) in DIR, each in its own USB port
                             ("Port_#000K.Hub_#0001"), with its own ports (stick K starts on
                             COM<3+2K> and COM<4+2K>), IMEI, ESN, NV calibration and section of
                             the report; every stick option below applies to all of them
  --stick K:NAME[=VALUE]     a stick option for stick K alone, e.g. --stick 2:imei-zero,
                             --stick 3:drop-ack=0x400, --stick 1:appear-after-ms=5000
  --port-policy step|lowest-free  how a restart renumbers: step adds the renumber step (default);
                             lowest-free takes the lowest numbers from COM3 that no present stick
                             holds, so a stick may get the numbers another stick had before its
                             own restart
stick options:
  --imei DIGITS | --imei-zero  --esn N  --location TEXT  --no-location
  --model TEXT               model identity (ninth version text), default HX402A
  --version TEXT             firmware version text
  --nv-file FILE             NV contents from an NVM file (records with status 0)
  --nv-salt N                calibration patterns of its own (stick K: K-1)
  --diag-port N --at-port N  first port numbers (default 5 and 6)
  --renumber                 new port numbers after every ResetPhone
  --renumber-on LIST         reset,downloader,dload-reset,stream-reset
  --latency-ms N --leave-ms N --reenum-ms N --downloader-reenum-ms N
  --nv-write-spacing MS      NV writes closer than MS to the last are answered status 1
  --appear-after-ms MS       the stick is plugged in MS after the start
  --pull-after-ms MS         the stick is pulled out MS after the start (and stays out)
  --pull-at NAME[:N]         the stick is pulled out when it receives that command
  --never-return             the stick never comes back after a restart
  --drop-ack ADDR[,ADDR..]   --drop-ack-fraction F  --seed N  --corrupt-ack ADDR[,..]
  --error-block ADDR[:CODE]  --block-fault-type T   --block-faults-always
  --nak-dload-write ADDR[:REASON]  --nak-times N    --ignore-go
  --nv-write-status ID:STATUS  --nv-write-status-all STATUS  --nv-inactive ID
  --stop-at NAME[:N]  --garbage-at NAME[:N]  --corrupt-at NAME[:N]  --delay-at NAME[:N] --delay-ms MS
  --download-check-status N  --partition-status N  --at-in-download
)";

constexpr int kMaxSticks = 8;

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

// One stick of the run: its model options and what the program does to it.
struct StickPlan {
    sim::StickOptions options;
    std::string nvFile;
    uint32_t pullAfterMs = 0;
};

// A fifteen-digit IMEI with its Luhn check digit, different for every stick number.
std::string ImeiForStick(int k) {
    if (k == 1) {
        return sim::StickOptions{}.imei;
    }
    char body[32];
    std::snprintf(body, sizeof body, "35881204567%03d", 900 + k);
    int sum = 0;
    for (int i = 0; i < 14; ++i) {
        int d = body[13 - i] - '0';
        if (i % 2 == 0) {
            d *= 2;
            d = d > 9 ? d - 9 : d;
        }
        sum += d;
    }
    return std::string(body) + static_cast<char>('0' + (10 - sum % 10) % 10);
}

// The defaults that tell stick K (1-based) apart from the others; stick 1 keeps the defaults of a
// single stick.
StickPlan PlanForStick(int k) {
    StickPlan plan;
    sim::StickOptions& o = plan.options;
    o.replyLatencyMs = 2;
    o.diagPort = 3 + 2 * k;
    o.atPort = 4 + 2 * k;
    char serial[16];
    std::snprintf(serial, sizeof serial, "%04d", k);
    o.serial = serial;
    o.imei = ImeiForStick(k);
    o.esn = sim::StickOptions{}.esn + static_cast<uint32_t>(k - 1) * 0x101u;
    o.nvSalt = static_cast<uint32_t>(k - 1);
    return plan;
}

// Applies the stick option `name` (without its dashes) to `plan`; `value` yields its value.
// False when there is no such stick option.
bool ApplyStickOption(const std::string& name, const std::function<std::string()>& value,
                      StickPlan& plan) {
    sim::StickOptions& options = plan.options;
    sim::FaultPlan& f = options.faults;
    if (name == "imei")
        options.imei = value();
    else if (name == "imei-zero")
        options.imei = "000000000000000";
    else if (name == "esn")
        options.esn = Number(value());
    else if (name == "location")
        options.location = value();
    else if (name == "no-location")
        options.publishLocation = false;
    else if (name == "model")
        options.modelText = value();
    else if (name == "version")
        options.firmwareVersion = value();
    else if (name == "nv-file")
        plan.nvFile = value();
    else if (name == "nv-salt")
        options.nvSalt = Number(value());
    else if (name == "diag-port")
        options.diagPort = static_cast<int>(Number(value()));
    else if (name == "at-port")
        options.atPort = static_cast<int>(Number(value()));
    else if (name == "renumber")
        options.renumberOn |= sim::RENUMBER_ON_RESET_PHONE;
    else if (name == "renumber-on") {
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
    } else if (name == "latency-ms")
        options.replyLatencyMs = Number(value());
    else if (name == "nv-write-spacing")
        options.nvWriteSpacingMs = Number(value());
    else if (name == "leave-ms")
        options.leaveDelayMs = Number(value());
    else if (name == "reenum-ms")
        options.reenumDelayMs = Number(value());
    else if (name == "downloader-reenum-ms")
        options.downloaderReenumDelayMs = Number(value());
    else if (name == "appear-after-ms")
        options.appearAfterMs = Number(value());
    else if (name == "pull-after-ms")
        plan.pullAfterMs = Number(value());
    else if (name == "pull-at")
        f.pullOut = TriggerOf(value());
    else if (name == "never-return")
        f.neverReturn = true;
    else if (name == "drop-ack")
        ForEachItem(value(), [&](const std::string& a) { f.dropAckAddresses.insert(Number(a)); });
    else if (name == "drop-ack-fraction")
        f.dropAckFraction = std::atof(value().c_str());
    else if (name == "seed")
        f.seed = Number(value());
    else if (name == "corrupt-ack")
        ForEachItem(value(),
                    [&](const std::string& a) { f.corruptAckAddresses.insert(Number(a)); });
    else if (name == "error-block") {
        auto [a, code] = Split(value(), "7");
        f.errorBlocks[Number(a)] = Number(code);
    } else if (name == "block-fault-type")
        f.blockFaultImageType = static_cast<int>(Number(value()));
    else if (name == "block-faults-always")
        f.blockFaultsOnce = false;
    else if (name == "nak-dload-write") {
        auto [a, reason] = Split(value(), "7");
        f.nakDloadWrites[Number(a)] = static_cast<uint16_t>(Number(reason));
    } else if (name == "nak-times")
        f.nakDloadWriteTimes = static_cast<int>(Number(value()));
    else if (name == "ignore-go")
        f.ignoreDloadGo = true;
    else if (name == "nv-write-status") {
        auto [id, status] = Split(value(), "4");
        f.nvWriteStatus[static_cast<uint16_t>(Number(id))] = static_cast<uint16_t>(Number(status));
    } else if (name == "nv-write-status-all")
        f.nvWriteStatusAll = static_cast<uint16_t>(Number(value()));
    else if (name == "nv-inactive")
        f.nvInactive.insert(static_cast<uint16_t>(Number(value())));
    else if (name == "stop-at")
        f.stopAnswering = TriggerOf(value());
    else if (name == "garbage-at")
        f.garbageReply = TriggerOf(value());
    else if (name == "corrupt-at")
        f.corruptReply = TriggerOf(value());
    else if (name == "delay-at")
        f.delayReply = TriggerOf(value());
    else if (name == "delay-ms")
        f.replyDelayMs = Number(value());
    else if (name == "download-check-status")
        f.downloadCheckStatus = Number(value());
    else if (name == "partition-status")
        f.partitionStatus = static_cast<int>(Number(value()));
    else if (name == "at-in-download")
        options.atPortInDownload = true;
    else
        return false;
    return true;
}

// One option given to a stick: its name, and its value when it had one.
struct GivenOption {
    std::string name;
    std::string value;
    bool hasValue = false;
};

void ApplyGiven(const GivenOption& given, StickPlan& plan, const std::string& where) {
    bool used = false;
    const bool known = ApplyStickOption(
        given.name,
        [&]() -> std::string {
            if (!given.hasValue) {
                Usage(where + " needs a value");
            }
            used = true;
            return given.value;
        },
        plan);
    if (!known) {
        Usage("unknown option " + where);
    }
    if (given.hasValue && !used) {
        Usage(where + " takes no value");
    }
}

// Checks a plan and completes it from its files and the run's speed.
void Finish(StickPlan& plan, int k, bool fast) {
    sim::StickOptions& options = plan.options;
    const std::string who = "stick " + std::to_string(k) + ": ";
    if (options.imei.size() != 15 ||
        options.imei.find_first_not_of("0123456789") != std::string::npos) {
        Usage(who + "--imei needs fifteen digits");
    }
    if (!plan.nvFile.empty()) {
        sim::NvStore store;
        std::string error;
        if (!store.LoadNvmFile(plan.nvFile, error)) {
            Usage(who + error);
        }
        for (const auto& [id, data] : store.Items()) {
            options.nvItems[id] = std::vector<uint8_t>(data.begin(), data.end());
        }
    }
    if (fast) {
        // Like the host's --fast: restarts are fixed waits, replies are not.
        auto shorten = [](uint32_t& ms) { ms = ms >= 100 ? ms / 100 : ms; };
        // The leave delay is not shortened: the ports must outlive the host's read of a restart's
        // acknowledgement also on a loaded machine (40 ms was too short for that).
        shorten(options.reenumDelayMs);
        shorten(options.downloaderReenumDelayMs);
    }
}

bool WriteReport(const std::string& path,
                 const std::vector<std::shared_ptr<sim::StickModel>>& sticks) {
    if (path.empty()) {
        return true;
    }
    if (sticks.size() == 1) {
        return sim::WriteFileAtomically(path, sticks[0]->ReportJson() + "\n");
    }
    nlohmann::json report;
    report["sticks"] = nlohmann::json::array();
    for (size_t i = 0; i < sticks.size(); ++i) {
        nlohmann::json section = nlohmann::json::parse(sticks[i]->ReportJson());
        section["stick"] = i + 1;
        report["sticks"].push_back(std::move(section));
    }
    return sim::WriteFileAtomically(path, report.dump(2) + "\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string root;
    std::string report;
    bool fast = false;
    bool exitAfterUpdate = false;
    int stickCount = 1;
    sim::PortPolicy policy = sim::PortPolicy::kStep;
    std::vector<GivenOption> forAll;
    std::vector<std::pair<int, GivenOption>> forOne;

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
        else if (arg == "--sticks") {
            stickCount = static_cast<int>(Number(value()));
            if (stickCount < 1 || stickCount > kMaxSticks) {
                Usage("--sticks takes 1 to 8");
            }
        } else if (arg == "--port-policy") {
            const std::string p = value();
            if (p == "step")
                policy = sim::PortPolicy::kStep;
            else if (p == "lowest-free")
                policy = sim::PortPolicy::kLowestFree;
            else
                Usage("unknown port policy: " + p);
        } else if (arg == "--stick") {
            // K:NAME[=VALUE]
            const std::string stickArg = value();
            const size_t colon = stickArg.find(':');
            if (colon == std::string::npos || colon == 0) {
                Usage("--stick needs K:NAME[=VALUE], not " + stickArg);
            }
            const int k = static_cast<int>(Number(stickArg.substr(0, colon)));
            GivenOption given;
            const std::string rest = stickArg.substr(colon + 1);
            const size_t eq = rest.find('=');
            given.name = rest.substr(0, eq);
            if (eq != std::string::npos) {
                given.value = rest.substr(eq + 1);
                given.hasValue = true;
            }
            forOne.emplace_back(k, given);
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg.rfind("--", 0) == 0) {
            // A stick option for every stick; it takes the next argument when it needs a value.
            GivenOption given;
            given.name = arg.substr(2);
            StickPlan probe;
            bool needsValue = false;
            const bool known = ApplyStickOption(
                given.name,
                [&]() -> std::string {
                    needsValue = true;
                    return given.name == "renumber-on" ? "reset" : "1";
                },
                probe);
            if (!known) {
                Usage("unknown option " + arg);
            }
            if (needsValue) {
                given.value = value();
                given.hasValue = true;
            }
            forAll.push_back(given);
        } else
            Usage("unknown option " + arg);
    }
    if (root.empty()) {
        Usage("--root DIR is required");
    }
    std::vector<StickPlan> plans;
    for (int k = 1; k <= stickCount; ++k) {
        plans.push_back(PlanForStick(k));
        for (const GivenOption& given : forAll) {
            ApplyGiven(given, plans.back(), "--" + given.name);
        }
    }
    for (const auto& [k, given] : forOne) {
        if (k < 1 || k > stickCount) {
            Usage("--stick " + std::to_string(k) + ": there are " + std::to_string(stickCount) +
                  " sticks");
        }
        ApplyGiven(given, plans[static_cast<size_t>(k - 1)],
                   "--stick " + std::to_string(k) + ":" + given.name);
    }
    for (int k = 1; k <= stickCount; ++k) {
        Finish(plans[static_cast<size_t>(k - 1)], k, fast);
    }

    platform::SystemClock clock;
    sim::SimMachine machine(clock);
    machine.SetPortPolicy(policy);
    std::vector<std::shared_ptr<sim::StickModel>> sticks;
    for (int k = 1; k <= stickCount; ++k) {
        auto stick = machine.AddStick(plans[static_cast<size_t>(k - 1)].options);
        if (!stick) {
            Usage("stick " + std::to_string(k) + ": its location " +
                  plans[static_cast<size_t>(k - 1)].options.location +
                  " is another stick's already");
        }
        sticks.push_back(stick);
    }
    sim::DeviceRootPublisher publisher(machine, root);
    std::string error;
    if (!publisher.Start(error)) {
        std::cerr << "pellan-stick-sim: " << error << "\n";
        return 1;
    }
    std::atomic<int> stop{0};
    std::atomic<int> reportNow{0};
    sim::InstallSignalFlags(&stop, &reportNow);
    for (size_t i = 0; i < sticks.size(); ++i) {
        const sim::StickOptions o = sticks[i]->Options();
        std::cout << "pellan-stick-sim: stick " << i + 1 << " on COM" << o.diagPort
                  << " (DIAG) and COM" << o.atPort << " (AT) at " << o.location << " in " << root
                  << (o.appearAfterMs > 0 ? " (plugged in later)" : "") << std::endl;
    }

    const auto start = std::chrono::steady_clock::now();
    std::vector<bool> pulled(sticks.size(), false);
    uint64_t epoch = 0;
    int backSince = 0;
    while (stop.load() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        for (size_t i = 0; i < sticks.size(); ++i) {
            const uint32_t pullAfter = plans[i].pullAfterMs;
            if (pullAfter > 0 && !pulled[i] && elapsed >= pullAfter) {
                sticks[i]->Unplug();
                pulled[i] = true;
            }
        }
        const uint64_t now = machine.BusEpoch();
        if (reportNow.exchange(0) != 0 || now != epoch) {
            epoch = now;
            WriteReport(report, sticks);
        }
        if (exitAfterUpdate) {
            // Every stick still plugged in has finished its update and is back; a pulled-out stick
            // is not waited for.
            bool any = false;
            bool all = true;
            for (const auto& stick : sticks) {
                if (!stick->Plugged()) {
                    continue;
                }
                const bool back = stick->UpdateFinished() && stick->Bus().diagPresent;
                any |= back;
                all &= back;
            }
            // Give the host a moment with the restarted sticks before the ports go away.
            backSince = any && all ? backSince + 1 : 0;
            if (backSince >= 25) {
                break;
            }
        }
    }
    WriteReport(report, sticks);
    publisher.Stop();
    return 0;
}
