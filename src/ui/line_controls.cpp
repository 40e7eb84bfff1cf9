#include "ui/line_controls.h"

#include <vector>

namespace pellan {
namespace {

// Integrate, board-internal and outer board version texts of lines 0..7. The outer board ids of
// lines 4 and 5 are swapped against the pattern of the others.
constexpr int kVersionIds[8][3] = {
    {1073, 1166, 1165}, {1072, 1164, 1173}, {1074, 1167, 1174}, {1075, 1168, 1175},
    {1076, 1169, 1177}, {1077, 1170, 1176}, {1078, 1171, 1178}, {1079, 1172, 1179},
};

std::vector<int> BuildLockedList() {
    std::vector<int> ids = {1081, 1121, 1131, 1132, 1133, 1134, 1135, 1136, 1138};
    for (int id = 1140; id <= 1148; ++id) {
        ids.push_back(id);
    }
    for (const int id : {1109, 1154, 1156, 1159, 1162, 1163, 1180, 1181, 1183, 1184, 1185, 1186,
                         1206, 1209, 1210}) {
        ids.push_back(id);
    }
    for (int id = 1040; id <= 1071; ++id) {
        ids.push_back(id);  // the job kind radios of all eight lines
    }
    return ids;
}

}  // namespace

int VersionControlId(int line, VersionText which) {
    if (line < 0 || line > 7) {
        return -1;
    }
    return kVersionIds[line][static_cast<int>(which)];
}

int PortButtonId(int line) {
    return line < 7 ? 1140 + line : 1148;
}

std::span<const int> ControlsLockedWhileRunning() {
    static const std::vector<int> ids = BuildLockedList();
    return ids;
}

}  // namespace pellan
