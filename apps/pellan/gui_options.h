#pragma once

#include <optional>
#include <string>

namespace pellan::gui {

struct GuiOptions {
    std::string deviceRoot;  // --device-root DIR: the machine a simulated stick plays
    bool fast = false;       // --fast: fixed waits of 100 ms or more last a hundredth
    bool factory = false;    // --factory: show the factory view at start
};

// Parses the program's own options; Qt's options (-platform and the like) are taken out by
// QApplication before. Nothing, with `error` set, on an unknown or incomplete option.
std::optional<GuiOptions> ParseGuiOptions(int argc, const char* const argv[], std::string& error);

const char* GuiUsageText();

}  // namespace pellan::gui
