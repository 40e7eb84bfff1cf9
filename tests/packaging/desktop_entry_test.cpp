#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

// The desktop entry and its icon, as a menu reads them.
namespace pellan {
namespace {

const std::filesystem::path kPackaging = std::filesystem::path(PELLAN_SOURCE_DIR) / "packaging";

std::map<std::string, std::string> ReadEntry(std::string& group) {
    std::ifstream in(kPackaging / "desktop" / "pellan.desktop");
    EXPECT_TRUE(in.good());
    std::map<std::string, std::string> keys;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line.front() == '[') {
            EXPECT_TRUE(group.empty()) << "one group only";
            group = line;
            continue;
        }
        const size_t equals = line.find('=');
        EXPECT_NE(std::string::npos, equals) << line;
        EXPECT_TRUE(keys.emplace(line.substr(0, equals), line.substr(equals + 1)).second)
            << "key twice: " << line;
    }
    return keys;
}

TEST(DesktopEntry, StartsThePellanProgramWithItsScalableIcon) {
    std::string group;
    const std::map<std::string, std::string> keys = ReadEntry(group);
    EXPECT_EQ("[Desktop Entry]", group);
    EXPECT_EQ("Application", keys.at("Type"));
    EXPECT_EQ("pellan", keys.at("Exec"));
    EXPECT_EQ("false", keys.at("Terminal"));
    // The icon name is looked up in the icon theme, where the package installs pellan.svg.
    EXPECT_EQ("pellan", keys.at("Icon"));
    EXPECT_TRUE(std::filesystem::exists(kPackaging / "icons" / (keys.at("Icon") + ".svg")));
    for (const char* list : {"Categories", "Keywords"}) {
        EXPECT_EQ(';', keys.at(list).back()) << list << " lists end with ';'";
    }
    EXPECT_FALSE(keys.at("Name").empty());

    // The icon is a scalable, square SVG.
    std::ifstream in(kPackaging / "icons" / "pellan.svg");
    std::stringstream text;
    text << in.rdbuf();
    const std::string svg = text.str();
    EXPECT_EQ(0u, svg.find("<?xml"));
    EXPECT_NE(std::string::npos, svg.find("viewBox=\"0 0 64 64\""));
    EXPECT_NE(std::string::npos, svg.find("</svg>"));
}

}  // namespace
}  // namespace pellan
