// USB descriptors as a newcomer reads them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace app {

// "USB 1.10, vendor 0x0c9e, product 0x0200, release 1.00, control packets of 8 bytes,
// 1 configuration"; a note when the bytes are not a device descriptor.
std::string describe_device_descriptor(std::span<const std::uint8_t> bytes);
// One line per descriptor of a configuration: the configuration, its interfaces and endpoints.
std::vector<std::string> describe_configuration(std::span<const std::uint8_t> bytes);

}  // namespace app
