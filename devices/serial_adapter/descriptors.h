// The serial adapter's USB descriptors, and the ways they can be told to lie.
#pragma once

#include <cstdint>
#include <vector>

namespace devices {

inline constexpr std::uint16_t kAdapterVendorId = 0x0C9E;
inline constexpr std::uint16_t kAdapterProductId0200 = 0x0200;
inline constexpr std::uint16_t kAdapterProductId0210 = 0x0210;

// Endpoint addresses, in the order the interface lists them.
inline constexpr std::uint8_t kBulkInEndpoint = 0x81;
inline constexpr std::uint8_t kBulkOutEndpoint = 0x02;
inline constexpr std::uint8_t kInterruptInEndpoint = 0x83;
// The lone endpoint of the extra interface that a lying configuration adds.
inline constexpr std::uint8_t kExtraInterfaceEndpoint = 0x84;

inline constexpr std::uint16_t kDataMaxPacket = 64;
inline constexpr std::uint8_t kConfigurationValue = 1;

struct AdapterOptions {
  std::uint16_t product_id = kAdapterProductId0200;
  std::uint8_t max_packet0 = 8;  // 8, 16, 32 or 64
  std::uint8_t interrupt_interval_ms = 1;

  // ---- lies the configuration descriptor tells -------------------------------------------------
  // wTotalLength claims this many bytes more than the device sends.
  std::uint16_t total_length_overstatement = 0;
  // A second interface with one bulk IN endpoint follows the first.
  bool second_interface = false;
  // Only the first N of bulk IN, bulk OUT and interrupt IN are described (and exist), 0 to 3.
  std::uint8_t endpoint_count = 3;
};

// Throws std::invalid_argument for options no device could have (endpoint_count above 3, a
// control packet size other than 8, 16, 32 or 64, an interrupt interval of 0).
void validate(const AdapterOptions& options);

std::vector<std::uint8_t> device_descriptor(const AdapterOptions& options);
// The whole configuration as the device sends it: configuration, interface(s) and endpoints.
std::vector<std::uint8_t> configuration_descriptor(const AdapterOptions& options);

}  // namespace devices
