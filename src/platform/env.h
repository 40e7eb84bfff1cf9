#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/serial.h"

namespace pellan::platform {

// Everything of the machine that the core uses, gathered so that the program, the tests and the
// simulator can each put their own in place. The object outlives everything that uses it.
struct Env {
    Clock* clock = nullptr;
    SerialProvider* serial = nullptr;
    Registry* registry = nullptr;
    // Set when the program runs against a device root (--device-root); empty on the real system.
    std::filesystem::path deviceRoot;
};

}  // namespace pellan::platform
