#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "platform/registry_udev_posix.h"

// The shipped udev rules, read with udev's syntax and run against devices the way udev evaluates
// them, since the build machine's udevadm may be too old to verify them.
namespace pellan {
namespace {

struct Key {
    std::string name, attr, op, value;
};
using Rule = std::vector<Key>;

std::vector<Rule> LoadRules() {
    static const std::regex key(
        R"re(\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|:=|=)\s*"([^"*?[]*)"\s*(?:,|$))re");
    std::ifstream in(std::filesystem::path(PELLAN_SOURCE_DIR) / "packaging" / "udev" /
                     "70-pellan-hx402a.rules");
    EXPECT_TRUE(in.good());
    std::vector<Rule> rules;
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        Rule rule;
        std::string rest = line;
        for (std::smatch m; !rest.empty() &&
                            std::regex_search(rest, m, key, std::regex_constants::match_continuous);
             rest = m.suffix()) {
            rule.push_back({m[1], m[2], m[3], m[4]});
        }
        // A missing comma or quote, a glob (unused here, unknown to the evaluator), a
        // continuation line: all leave text unread.
        EXPECT_EQ("", rest) << "not read: " << line;
        rules.push_back(rule);
    }
    return rules;
}

// An event: the device's action and subsystem, then its parents' SUBSYSTEMS and ATTRS{...}.
struct Event {
    std::string action, subsystem;
    std::vector<std::map<std::string, std::string>> parents;
};

struct Outcome {
    std::string group, mode;
    std::map<std::string, std::string> env;
};

Outcome Evaluate(const std::vector<Rule>& rules, const Event& event) {
    Outcome outcome;
    std::string skipTo;
    auto test = [](const Key& key, const std::string* value) {
        const bool equal = value != nullptr && *value == key.value;
        return key.op == "==" ? equal : !equal;
    };
    for (const Rule& rule : rules) {
        if (!skipTo.empty()) {
            if (rule.size() == 1 && rule[0].name == "LABEL" && rule[0].value == skipTo) {
                skipTo.clear();
            }
            continue;
        }
        // Parent keys must all match on one device of the chain.
        bool parentMatch = std::none_of(rule.begin(), rule.end(), [](const Key& key) {
            return key.name == "SUBSYSTEMS" || key.name == "ATTRS";
        });
        for (const auto& parent : event.parents) {
            bool all = true;
            for (const Key& key : rule) {
                if (key.name == "SUBSYSTEMS" || key.name == "ATTRS") {
                    auto found = parent.find(key.attr.empty() ? key.name : key.attr);
                    all &= test(key, found == parent.end() ? nullptr : &found->second);
                }
            }
            parentMatch |= all;
        }
        bool match = parentMatch;
        for (const Key& key : rule) {
            if (key.op != "==" && key.op != "!=") {
                continue;
            }
            if (key.name == "ACTION" || key.name == "SUBSYSTEM" || key.name == "ENV") {
                const std::string& value = key.name == "ACTION"      ? event.action
                                           : key.name == "SUBSYSTEM" ? event.subsystem
                                                                     : outcome.env[key.attr];
                match &= test(key, &value);
            } else if (key.name != "SUBSYSTEMS" && key.name != "ATTRS") {
                ADD_FAILURE() << "the evaluator does not know the match key " << key.name;
            }
        }
        for (const Key& key : rule) {
            if (!match || key.op == "==" || key.op == "!=") {
                continue;
            }
            const std::map<std::string, std::string*> targets{
                {"GROUP", &outcome.group}, {"MODE", &outcome.mode}, {"GOTO", &skipTo}};
            if (key.name == "ENV") {
                outcome.env[key.attr] = key.value;
            } else if (targets.count(key.name) != 0) {
                *targets.at(key.name) = key.value;
            } else if (key.name != "LABEL") {
                ADD_FAILURE() << "the evaluator does not know the assignment " << key.name;
            }
        }
    }
    EXPECT_EQ("", skipTo) << "GOTO to a missing label";
    return outcome;
}

TEST(UdevRules, OnlyTheSticksPortsGoToDialoutAndAreKeptFromModemManager) {
    // Rules and stick configuration that disagree would give the user ports pellan never uses.
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04x", platform::StickUsbConfig{}.vendorId);
    auto tty = [](const std::string& vid, const char* action = "add",
                  const char* subsystem = "tty") {
        return Event{action,
                     subsystem,
                     {{{"SUBSYSTEMS", "usb-serial"}},
                      {{"SUBSYSTEMS", "usb"}, {"bInterfaceNumber", "00"}},
                      {{"SUBSYSTEMS", "usb"}, {"idVendor", vid}, {"idProduct", "9000"}}}};
    };
    const std::vector<Rule> rules = LoadRules();
    ASSERT_FALSE(rules.empty());
    Outcome stick = Evaluate(rules, tty(vendor));
    EXPECT_EQ("dialout", stick.group);
    EXPECT_EQ("0660", stick.mode) << "read and write for owner and group only";
    EXPECT_EQ("1", stick.env["ID_MM_DEVICE_IGNORE"]);

    const std::pair<const char*, Event> untouched[] = {
        {"another vendor's modem", tty("1234")},
        {"the stick leaving", tty(vendor, "remove")},
        {"the stick's network interface", tty(vendor, "add", "net")},
        {"a serial port without USB", {"add", "tty", {{{"SUBSYSTEMS", "pnp"}}}}},
    };
    for (const auto& [what, event] : untouched) {
        const Outcome other = Evaluate(rules, event);
        EXPECT_EQ("", other.group + other.mode) << what;
        EXPECT_TRUE(other.env.empty()) << what;
    }
}

}  // namespace
}  // namespace pellan
