#pragma once

#include <filesystem>
#include <optional>

namespace pellan::platform {

// Where port N (COMN) lives.
//
// With a device root DIR the node is DIR/COM<N>, usually a symbolic link to a pseudo-terminal
// that a simulated stick holds; a missing node means the port does not exist.
//
// Without a device root the ports are the machine's USB serial devices, numbered so that both
// kinds fit in the range of Windows port numbers:
//   COM1   .. COM99   ->  /dev/ttyUSB0 .. /dev/ttyUSB98   (usb-serial drivers, e.g. option)
//   COM100 .. COM<100+k> -> /dev/ttyACM0 .. /dev/ttyACM<k> (CDC-ACM modems)
// Numbers below 1 have no node. The registry backend that reads sysfs numbers the ports it finds
// with PortForSerialNode, the exact inverse, so a number it reports always opens the same node.
constexpr int kFirstAcmPort = 100;

// The node of port `portNumber`; empty when the number has none.
std::filesystem::path SerialNodeForPort(const std::filesystem::path& deviceRoot, int portNumber);

// The port number whose node is `node` (a full path or a bare device name such as "ttyUSB3"),
// or nothing when `node` is not a node that SerialNodeForPort can produce.
std::optional<int> PortForSerialNode(const std::filesystem::path& deviceRoot,
                                     const std::filesystem::path& node);

}  // namespace pellan::platform
