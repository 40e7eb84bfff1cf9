// pellan-stick-sim: plays one HX402A stick, or a station of up to eight, through a device root
// until it is stopped.
#include <nlohmann/json.hpp>

#include "cli11_usage.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "sim/device_root.h"
#include "sim/sim_machine.h"
#include "sim/testbed_publisher.h"

namespace {

using namespace pellan;

// The options that shape one stick; given plainly they apply to every stick, through
// --stick K:NAME[=VALUE] to stick K alone. `value` names the value, null for a switch.
struct StickOptionEntry {
    const char* name;
    const char* value;
    const char* help;
};
constexpr StickOptionEntry kStickOptions[] = {
    {"imei", "DIGITS", "IMEI, fifteen digits"},
    {"imei-zero", nullptr, "an IMEI of zeros (NV wiped)"},
    {"esn", "N", "ESN"},
    {"location", "TEXT", "USB port (LocationInformation)"},
    {"no-location", nullptr, "publish no LocationInformation"},
    {"model", "TEXT", "model identity (ninth version text), default HX402A"},
    {"firmware-version", "TEXT", "firmware version text"},
    {"nv-file", "FILE", "NV contents from an NVM file (records with status 0)"},
    {"nv-salt", "N", "calibration patterns of its own (stick K: K-1)"},
    {"diag-port", "N", "first DIAG port number (default 5)"},
    {"at-port", "N", "first AT port number (default 6)"},
    {"renumber", nullptr, "new port numbers after every ResetPhone"},
    {"renumber-on", "LIST", "new port numbers after reset,downloader,dload-reset,stream-reset"},
    {"latency-ms", "N", "reply latency"},
    {"leave-ms", "N", "time until a restarted stick leaves the bus"},
    {"reenum-ms", "N", "time until a restarted stick is back"},
    {"downloader-reenum-ms", "N", "the same for the boot downloader"},
    {"nv-write-spacing", "MS", "NV writes closer than MS to the last are answered status 1"},
    {"appear-after-ms", "MS", "the stick is plugged in MS after the start"},
    {"pull-after-ms", "MS", "the stick is pulled out MS after the start (and stays out)"},
    {"pull-at", "NAME[:N]", "the stick is pulled out when it receives that command"},
    {"never-return", nullptr, "the stick never comes back after a restart"},
    {"drop-ack", "ADDR[,ADDR..]", "acknowledgements of these stream writes are lost"},
    {"drop-ack-fraction", "F", "a fraction of the acknowledgements is lost"},
    {"seed", "N", "seed of the lost acknowledgements"},
    {"corrupt-ack", "ADDR[,..]", "acknowledgements of these stream writes are corrupted"},
    {"error-block", "ADDR[:CODE]", "the stream write of ADDR is answered with an error"},
    {"block-fault-type", "T", "block faults in images of type T only"},
    {"block-faults-always", nullptr, "block faults on every attempt, not only the first"},
    {"nak-dload-write", "ADDR[:REASON]", "the downloader refuses the write of ADDR"},
    {"nak-times", "N", "how often it refuses"},
    {"ignore-go", nullptr, "the downloader ignores DloadGo"},
    {"nv-write-status", "ID:STATUS", "NV writes of item ID are answered STATUS"},
    {"nv-write-status-all", "STATUS", "every NV write is answered STATUS"},
    {"nv-inactive", "ID", "item ID reads as inactive"},
    {"stop-at", "NAME[:N]", "the stick stops answering at that command"},
    {"garbage-at", "NAME[:N]", "garbage instead of that reply"},
    {"corrupt-at", "NAME[:N]", "that reply corrupted"},
    {"delay-at", "NAME[:N]", "that reply delayed by --delay-ms"},
    {"delay-ms", "MS", "the delay of --delay-at"},
    {"download-check-status", "N", "status of the download check"},
    {"partition-status", "N", "status of the partition table"},
    {"at-in-download", nullptr, "the AT port stays present in download mode"},
};

constexpr int kMaxSticks = 8;

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "pellan-stick-sim: " << problem << "\nRun with --help for more information.\n";
    std::exit(cli::kUsageErrorStatus);
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
    else if (name == "firmware-version")
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

// The stick option `name` with `value` for stick K, from "K:NAME[=VALUE]".
std::pair<int, GivenOption> ForOneStick(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) {
        Usage("--stick needs K:NAME[=VALUE], not " + text);
    }
    GivenOption given;
    const std::string rest = text.substr(colon + 1);
    const size_t eq = rest.find('=');
    given.name = rest.substr(0, eq);
    if (eq != std::string::npos) {
        given.value = rest.substr(eq + 1);
        given.hasValue = true;
    }
    return {static_cast<int>(Number(text.substr(0, colon))), given};
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

    CLI::App app(
        "Publishes simulated sticks in DIR (registry.reg, COM<N> links) and runs until "
        "SIGTERM/SIGINT.",
        "pellan-stick-sim");
    app.formatter(cli::ProjectHelpFormat());
    app.set_version_flag("--version", PELLAN_VERSION, "print the version and exit");
    CLI::Option* rootOption =
        app.add_option("--root", root, "the device root to publish the sticks in")
            ->type_name("DIR");
    int testbedSocket = -1;
    CLI::Option* testbedOption =
        app.add_option("--testbed-fd", testbedSocket,
                       "instead of a device root, a udev test bed on this connected Unix socket "
                       "plugs the sticks in and hands over the pseudo-terminals of their nodes")
            ->type_name("FD")
            ->excludes(rootOption);
    app.add_flag("--fast", fast,
                 "restarts take a hundredth of their time (for hosts run with --fast); the time "
                 "until a restarted stick leaves the bus (--leave-ms) stays as it is");
    app.add_option("--report", report,
                   "JSON report, written on every bus change, on SIGUSR1 and on exit; with "
                   "several sticks {\"sticks\": [one section per stick, in order]}")
        ->type_name("FILE");
    app.add_flag("--exit-after-update", exitAfterUpdate,
                 "exit once every stick that is plugged in is back after the update's final "
                 "reset");
    app.add_option("--sticks", stickCount,
                   "N sticks in DIR, each in its own USB port (\"Port_#000K.Hub_#0001\"), with "
                   "its own ports (stick K starts on COM<3+2K> and COM<4+2K>), IMEI, ESN, NV "
                   "calibration and section of the report; every stick option applies to all")
        ->type_name("N")
        ->check(CLI::Range(1, kMaxSticks).description(""));
    app.add_option_function<std::vector<std::string>>(
           "--stick",
           [&forOne](const std::vector<std::string>& items) {
               for (const std::string& item : items) {
                   forOne.push_back(ForOneStick(item));
               }
           },
           "a stick option for stick K alone, e.g. --stick 2:imei-zero, --stick "
           "3:drop-ack=0x400, --stick 1:appear-after-ms=5000")
        ->type_name("K:NAME[=VALUE]")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option_function<std::string>(
           "--port-policy",
           [&policy](const std::string& p) {
               policy = p == "step" ? sim::PortPolicy::kStep : sim::PortPolicy::kLowestFree;
           },
           "how a restart renumbers: step adds the renumber step (default); lowest-free takes "
           "the lowest numbers from COM3 that no present stick holds")
        ->type_name("step|lowest-free")
        ->check(CLI::IsMember({"step", "lowest-free"}).description(""));
    for (const StickOptionEntry& entry : kStickOptions) {
        const std::string flag = std::string("--") + entry.name;
        if (entry.value == nullptr) {
            app.add_flag_callback(
                   flag,
                   [&forAll, name = entry.name] {
                       forAll.push_back({name, {}, false});
                   },
                   entry.help)
                ->group("stick options");
        } else {
            app.add_option_function<std::string>(
                   flag,
                   [&forAll, name = entry.name](const std::string& value) {
                       forAll.push_back({name, value, true});
                   },
                   entry.help)
                ->type_name(entry.value)
                ->group("stick options");
        }
    }
    if (const int status = cli::ParseOrStatus(app, argc, argv); status >= 0) {
        return status;
    }
    if (!*rootOption && !*testbedOption) {
        return cli::UsageError(app, "--root DIR or --testbed-fd FD is required");
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
    std::optional<sim::DeviceRootPublisher> rootPublisher;
    std::optional<sim::TestbedPublisher> testbedPublisher;
    std::string error;
    const bool started = *testbedOption
                             ? testbedPublisher.emplace(machine, testbedSocket).Start(error)
                             : rootPublisher.emplace(machine, root).Start(error);
    if (!started) {
        std::cerr << "pellan-stick-sim: " << error << "\n";
        return 1;
    }
    std::atomic<int> stop{0};
    std::atomic<int> reportNow{0};
    sim::InstallSignalFlags(&stop, &reportNow);
    for (size_t i = 0; i < sticks.size(); ++i) {
        const sim::StickOptions o = sticks[i]->Options();
        std::cout << "pellan-stick-sim: stick " << i + 1 << " on COM" << o.diagPort
                  << " (DIAG) and COM" << o.atPort << " (AT) at " << o.location << " in "
                  << (*testbedOption ? "the test bed" : root)
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
    if (testbedPublisher) {
        testbedPublisher->Stop();
    } else {
        rootPublisher->Stop();
    }
    return 0;
}
