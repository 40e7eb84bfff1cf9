#include "gui_options.h"

namespace pellan::gui {

std::optional<GuiOptions> ParseGuiOptions(int argc, const char* const argv[], std::string& error) {
    GuiOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--device-root") {
            if (i + 1 >= argc || std::string(argv[i + 1]).empty()) {
                error = "--device-root needs a folder";
                return std::nullopt;
            }
            options.deviceRoot = argv[++i];
        } else if (arg.rfind("--device-root=", 0) == 0) {
            options.deviceRoot = arg.substr(14);
            if (options.deviceRoot.empty()) {
                error = "--device-root needs a folder";
                return std::nullopt;
            }
        } else if (arg == "--fast") {
            options.fast = true;
        } else if (arg == "--factory") {
            options.factory = true;
        } else {
            error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    return options;
}

const char* GuiUsageText() {
    return "usage: pellan [--device-root DIR] [--fast] [--factory]\n"
           "  --device-root DIR  ports DIR/COM<N>, registry DIR/registry.reg, drives DIR/<letter>\n"
           "  --fast             fixed waits of 100 ms or more last a hundredth (simulated "
           "sticks)\n"
           "  --factory          show the factory view (all eight lines) at start\n";
}

}  // namespace pellan::gui
