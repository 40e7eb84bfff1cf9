// The port-number to device-node mapping, with and without a device root, and its inverse.
#include "platform/device_paths.h"

#include <gtest/gtest.h>

namespace pellan::platform {
namespace {

TEST(DevicePaths, NodeForPortAndBack) {
    const struct {
        const char* root;
        int port;  // 0: the node names no port
        const char* node;
    } cases[] = {
        // clang-format off
        {"/srv/sticks", 1, "/srv/sticks/COM1"}, {"/srv/sticks", 256, "/srv/sticks/COM256"},
        {"", 1, "/dev/ttyUSB0"}, {"", 99, "/dev/ttyUSB98"}, {"", 100, "/dev/ttyACM0"},
        {"", 107, "/dev/ttyACM7"},
        {"", 0, "/dev/ttyUSB99"},  // would collide with COM100
        {"", 0, "/dev/ttyUSB01"}, {"", 0, "/dev/ttyUSB-1"}, {"", 0, "/dev/ttyUSB1x"},
        {"", 0, "/dev/ttyS0"}, {"", 0, "/tmp/ttyUSB0"}, {"", 0, "/dev/ttyACM99999999999"},
        {"/srv/sticks", 0, "/srv/sticks/COM0"}, {"/srv/sticks", 0, "/srv/sticks/COM012"},
        {"/srv/sticks", 0, "/other/COM12"}, {"/srv/sticks", 0, "/dev/ttyUSB0"},
        // clang-format on
    };
    for (const auto& c : cases) {
        if (c.port != 0) {
            EXPECT_EQ(SerialNodeForPort(c.root, c.port), std::filesystem::path(c.node));
        }
        EXPECT_EQ(PortForSerialNode(c.root, c.node).value_or(0), c.port) << c.node;
    }
    for (const char* root : {"", "/srv/sticks"}) {
        EXPECT_EQ(SerialNodeForPort(root, 0), std::filesystem::path());
        for (int port = 1; port <= 400; ++port) {
            const auto node = SerialNodeForPort(root, port);
            EXPECT_EQ(PortForSerialNode(root, node), port) << node;
            EXPECT_EQ(PortForSerialNode(root, node.filename()), port) << node;
        }
    }
}

}  // namespace
}  // namespace pellan::platform
