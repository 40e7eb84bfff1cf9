// The port-number to device-node mapping, with and without a device root, and its inverse.
#include "platform/device_paths.h"

#include <gtest/gtest.h>

namespace pellan::platform {
namespace {

TEST(DevicePaths, NodeForPortAndBack) {
    const struct {
        const char* root;
        int port;
        const char* node;
    } cases[] = {
        {"/srv/sticks", 1, "/srv/sticks/COM1"},
        {"/srv/sticks", 256, "/srv/sticks/COM256"},
        {"/srv/sticks", 0, ""},
        {"", 1, "/dev/ttyUSB0"},
        {"", 99, "/dev/ttyUSB98"},
        {"", 100, "/dev/ttyACM0"},
        {"", 107, "/dev/ttyACM7"},
        {"", 0, ""},
        {"", -3, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SerialNodeForPort(c.root, c.port), std::filesystem::path(c.node)) << c.port;
    }
    for (const char* root : {"", "/srv/sticks"}) {
        for (int port = 1; port <= 400; ++port) {
            const auto node = SerialNodeForPort(root, port);
            EXPECT_EQ(PortForSerialNode(root, node), port) << node;
            EXPECT_EQ(PortForSerialNode(root, node.filename()), port) << node;
        }
    }
    // Names that are no port: a collision with COM100, names the kernel never gives, others.
    for (const auto& [root, node] : {std::pair<const char*, const char*>{"", "/dev/ttyUSB99"},
                                     {"", "/dev/ttyUSB01"},
                                     {"", "/dev/ttyUSB-1"},
                                     {"", "/dev/ttyUSB1x"},
                                     {"", "/dev/ttyS0"},
                                     {"", "/tmp/ttyUSB0"},
                                     {"", "/dev/ttyACM99999999999"},
                                     {"/srv/sticks", "/srv/sticks/COM0"},
                                     {"/srv/sticks", "/srv/sticks/COM012"},
                                     {"/srv/sticks", "/other/COM12"},
                                     {"/srv/sticks", "/dev/ttyUSB0"}}) {
        EXPECT_EQ(PortForSerialNode(root, node), std::nullopt) << root << " " << node;
    }
}

}  // namespace
}  // namespace pellan::platform
