// The port-number to device-node mapping, with and without a device root, and its inverse.
#include "platform/device_paths.h"

#include <gtest/gtest.h>

namespace pellan::platform {
namespace {

TEST(DevicePaths, NodeForPort) {
    struct Case {
        const char* root;
        int port;
        const char* node;
    };
    const Case cases[] = {
        {"/srv/sticks", 1, "/srv/sticks/COM1"},
        {"/srv/sticks", 12, "/srv/sticks/COM12"},
        {"/srv/sticks", 256, "/srv/sticks/COM256"},
        {"/srv/sticks", 0, ""},
        {"", 1, "/dev/ttyUSB0"},
        {"", 9, "/dev/ttyUSB8"},
        {"", 99, "/dev/ttyUSB98"},
        {"", 100, "/dev/ttyACM0"},
        {"", 107, "/dev/ttyACM7"},
        {"", 0, ""},
        {"", -3, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SerialNodeForPort(c.root, c.port), std::filesystem::path(c.node))
            << "root '" << c.root << "' port " << c.port;
    }
}

TEST(DevicePaths, PortForNodeIsTheExactInverse) {
    for (const char* root : {"", "/srv/sticks"}) {
        for (int port = 1; port <= 400; ++port) {
            const auto node = SerialNodeForPort(root, port);
            EXPECT_EQ(PortForSerialNode(root, node), port) << node;
            EXPECT_EQ(PortForSerialNode(root, node.filename()), port) << node;
        }
    }
}

TEST(DevicePaths, NodesWithoutAPortNumber) {
    struct Case {
        const char* root;
        const char* node;
    };
    const Case cases[] = {
        {"", "/dev/ttyUSB99"},  // would collide with COM100
        {"", "/dev/ttyUSB01"},  // not a kernel name; two names must not share a number
        {"", "/dev/ttyUSB"},
        {"", "/dev/ttyUSB-1"},
        {"", "/dev/ttyUSB1x"},
        {"", "/dev/ttyS0"},
        {"", "/tmp/ttyUSB0"},
        {"", "/dev/COM3"},
        {"", "/dev/ttyACM99999999999"},
        {"/srv/sticks", "/srv/sticks/COM0"},
        {"/srv/sticks", "/srv/sticks/COM012"},
        {"/srv/sticks", "/other/COM12"},
        {"/srv/sticks", "/dev/ttyUSB0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PortForSerialNode(c.root, c.node), std::nullopt)
            << "root '" << c.root << "' node " << c.node;
    }
}

}  // namespace
}  // namespace pellan::platform
