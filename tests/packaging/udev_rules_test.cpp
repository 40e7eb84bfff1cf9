#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "platform/registry_sysfs_posix.h"

// The shipped udev rules, read with udev's own syntax and run against devices the way udev
// evaluates them, since the build machine's udevadm may not be able to verify them.
namespace pellan {
namespace {

const std::filesystem::path kRulesFile =
    std::filesystem::path(PELLAN_SOURCE_DIR) / "packaging" / "udev" / "70-pellan-hx402a.rules";

struct Key {
    std::string name;  // ATTRS, ENV, GOTO...
    std::string attr;  // the part in braces
    std::string op;
    std::string value;
};
using Rule = std::vector<Key>;

const std::set<std::string> kMatchKeys{"ACTION", "SUBSYSTEM", "SUBSYSTEMS", "KERNEL",
                                       "ATTRS",  "ATTR",      "ENV",        "DRIVERS"};
const std::set<std::string> kAssignKeys{"GROUP", "MODE", "OWNER",  "ENV",    "GOTO",
                                        "LABEL", "TAG",  "IMPORT", "SYMLINK"};

// Parses one rule line; nullopt with `error` set on a syntax error.
std::optional<Rule> ParseRule(const std::string& line, std::string& error) {
    static const std::regex keyPattern(
        R"re(^\s*([A-Z_]+)(\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(,|$))re");
    Rule rule;
    std::string rest = line;
    while (!rest.empty() && rest.find_first_not_of(" \t") != std::string::npos) {
        std::smatch m;
        if (!std::regex_search(rest, m, keyPattern)) {
            error = "cannot read \"" + rest + "\"";
            return std::nullopt;
        }
        rule.push_back({m[1], m[3], m[4], m[5]});
        rest = m.suffix();
        if (m[6] == "" && rest.find_first_not_of(" \t") != std::string::npos) {
            error = "text after the last key";
            return std::nullopt;
        }
    }
    return rule;
}

std::vector<Rule> LoadRules() {
    std::ifstream in(kRulesFile);
    EXPECT_TRUE(in.good()) << kRulesFile;
    std::vector<Rule> rules;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        EXPECT_NE('\\', line.back()) << "line " << number << ": no continuation lines expected";
        std::string error;
        const std::optional<Rule> rule = ParseRule(line, error);
        EXPECT_TRUE(rule.has_value()) << "line " << number << ": " << error;
        if (rule) {
            rules.push_back(*rule);
        }
    }
    return rules;
}

bool IsMatch(const Key& key) {
    return key.op == "==" || key.op == "!=";
}

// A value pattern: alternatives separated by '|'; no globbing is used in these rules.
bool PatternMatches(const std::string& pattern, const std::string& value) {
    std::stringstream alternatives(pattern);
    std::string alternative;
    while (std::getline(alternatives, alternative, '|')) {
        if (alternative == value) {
            return true;
        }
    }
    return false;
}

struct SysDevice {
    std::string subsystem;
    std::map<std::string, std::string> attrs;
};

// An event: the device first, then its parents.
struct Event {
    std::string action;
    std::vector<SysDevice> chain;
};

struct Outcome {
    std::string group;
    std::string mode;
    std::map<std::string, std::string> env;
};

Outcome Evaluate(const std::vector<Rule>& rules, const Event& event) {
    Outcome outcome;
    std::string skipTo;
    for (const Rule& rule : rules) {
        if (!skipTo.empty()) {
            if (rule.size() == 1 && rule[0].name == "LABEL" && rule[0].value == skipTo) {
                skipTo.clear();
            }
            continue;
        }
        // Parent keys (SUBSYSTEMS, ATTRS, DRIVERS) must all match on one device of the chain.
        bool parentMatch = true;
        bool hasParentKeys = false;
        for (const Key& key : rule) {
            hasParentKeys |= key.name == "SUBSYSTEMS" || key.name == "ATTRS";
        }
        if (hasParentKeys) {
            parentMatch = false;
            for (const SysDevice& device : event.chain) {
                bool all = true;
                for (const Key& key : rule) {
                    std::optional<std::string> value;
                    if (key.name == "SUBSYSTEMS") {
                        value = device.subsystem;
                    } else if (key.name == "ATTRS") {
                        auto found = device.attrs.find(key.attr);
                        if (found != device.attrs.end()) {
                            value = found->second;
                        }
                    } else {
                        continue;
                    }
                    const bool equal = value && PatternMatches(key.value, *value);
                    all &= key.op == "==" ? equal : !equal;
                }
                if (all) {
                    parentMatch = true;
                    break;
                }
            }
        }
        bool match = parentMatch;
        for (const Key& key : rule) {
            if (!IsMatch(key) || key.name == "SUBSYSTEMS" || key.name == "ATTRS") {
                continue;
            }
            std::string value;
            if (key.name == "ACTION") {
                value = event.action;
            } else if (key.name == "SUBSYSTEM") {
                value = event.chain.front().subsystem;
            } else if (key.name == "ENV") {
                value = outcome.env[key.attr];
            } else {
                ADD_FAILURE() << "the evaluator does not know the match key " << key.name;
            }
            const bool equal = PatternMatches(key.value, value);
            match &= key.op == "==" ? equal : !equal;
        }
        if (!match) {
            continue;
        }
        for (const Key& key : rule) {
            if (IsMatch(key)) {
                continue;
            }
            if (key.name == "GROUP") {
                outcome.group = key.value;
            } else if (key.name == "MODE") {
                outcome.mode = key.value;
            } else if (key.name == "ENV") {
                outcome.env[key.attr] = key.value;
            } else if (key.name == "GOTO") {
                skipTo = key.value;
            }
        }
    }
    return outcome;
}

std::string DefaultVendor() {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", platform::StickUsbConfig{}.vendorId);
    return text;
}

Event TtyOf(const std::string& vendor, const std::string& action = "add",
            const std::string& subsystem = "tty") {
    return {action,
            {{subsystem, {}},
             {"usb-serial", {}},
             {"usb", {{"bInterfaceNumber", "00"}}},
             {"usb", {{"idVendor", vendor}, {"idProduct", "9000"}}}}};
}

TEST(UdevRules, EveryLineIsUdevSyntaxWithKnownKeysAndNoWorldAccess) {
    const std::vector<Rule> rules = LoadRules();
    ASSERT_FALSE(rules.empty());
    std::set<std::string> labels;
    std::vector<std::string> gotos;
    std::set<std::string> vendors;
    for (const Rule& rule : rules) {
        for (const Key& key : rule) {
            const std::set<std::string>& known = IsMatch(key) ? kMatchKeys : kAssignKeys;
            EXPECT_TRUE(known.count(key.name)) << key.name << " " << key.op;
            const bool needsAttr = key.name == "ATTRS" || key.name == "ATTR" || key.name == "ENV";
            EXPECT_EQ(needsAttr, !key.attr.empty()) << key.name;
            EXPECT_EQ(std::string::npos, key.value.find_first_of("*?[")) << key.value;
            if (key.name == "LABEL") {
                EXPECT_EQ(1u, rule.size()) << "a LABEL stands alone";
                EXPECT_TRUE(labels.insert(key.value).second) << "label twice: " << key.value;
            } else if (key.name == "GOTO") {
                EXPECT_EQ("=", key.op);
                gotos.push_back(key.value);
            } else if (key.name == "MODE") {
                EXPECT_TRUE(std::regex_match(key.value, std::regex("0[0-7][0-7]0")))
                    << "MODE " << key.value << " lets others in";
            } else if (key.name == "ATTRS" && key.attr == "idVendor") {
                vendors.insert(key.value);
            }
        }
    }
    for (const std::string& target : gotos) {
        EXPECT_TRUE(labels.count(target)) << "GOTO to a missing label " << target;
    }
    // Rules and stick configuration that disagree would give the user ports pellan never uses.
    EXPECT_EQ(std::set<std::string>{DefaultVendor()}, vendors);

    std::string error;
    EXPECT_FALSE(ParseRule(R"(GROUP="dialout" MODE="0660")", error));  // comma missing
    EXPECT_FALSE(ParseRule(R"(GROUP=dialout)", error));                // unquoted
    EXPECT_FALSE(ParseRule(R"(ATTRS{idVendor}=="05c6)", error));       // quote open
    EXPECT_TRUE(ParseRule(R"(ATTRS{idVendor}=="05c6", GOTO="x")", error));
}

TEST(UdevRules, OnlyTheSticksPortsGoToDialoutAndAreKeptFromModemManager) {
    const std::vector<Rule> rules = LoadRules();
    const Outcome outcome = Evaluate(rules, TtyOf(DefaultVendor()));
    EXPECT_EQ("dialout", outcome.group);
    EXPECT_EQ("0660", outcome.mode);
    EXPECT_EQ("1", outcome.env.at("ID_MM_DEVICE_IGNORE"));

    const std::pair<const char*, Event> untouched[] = {
        {"another vendor's modem", TtyOf("1234")},
        {"the stick leaving", TtyOf(DefaultVendor(), "remove")},
        {"the stick's network interface", TtyOf(DefaultVendor(), "add", "net")},
        {"a serial port without USB", {"add", {{"tty", {}}, {"pnp", {}}}}},
    };
    for (const auto& [what, event] : untouched) {
        const Outcome other = Evaluate(rules, event);
        EXPECT_EQ("", other.group) << what;
        EXPECT_EQ("", other.mode) << what;
        EXPECT_TRUE(other.env.empty()) << what;
    }
}

}  // namespace
}  // namespace pellan
