#pragma once

namespace pellan::platform {

// Where the stick's two USB serial drivers publish their ports, below HKEY_LOCAL_MACHINE. Each
// driver's "Enum" key holds "Count" and the device instance paths "0", "1", ...; an instance's
// "Device Parameters" key holds its "PortName" ("COM12").
constexpr const char* kAtDriverEnumKey = "SYSTEM\\CurrentControlSet\\Services\\VLKusbnmea\\Enum";
constexpr const char* kDiagDriverEnumKey = "SYSTEM\\CurrentControlSet\\Services\\VLKusbser6k\\Enum";
constexpr const char* kDeviceEnumRoot = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr const char* kDeviceParameters = "\\Device Parameters";

}  // namespace pellan::platform
