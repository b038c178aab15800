// How the serial stack and the port host enter the port driver.
#pragma once

#include <functional>

namespace vcomm {

// Runs a call inside the port driver, so that what it allocates is charged to the driver (the
// machine passes a wrapper around the kernel's call_into for the driver's object).
using DriverCall = std::function<void(const std::function<void()>&)>;

}  // namespace vcomm
