// The adapter's protocol with its host: the vendor requests of the control pipe, the two-byte
// messages of the interrupt pipe, and the 16550 modem-status byte both carry.
#pragma once

#include <cstdint>

namespace devices {

// Vendor requests of the adapter's control protocol.
inline constexpr std::uint8_t kVendorGetModemStatus = 2;
inline constexpr std::uint8_t kVendorSetDivisor = 5;
inline constexpr std::uint8_t kVendorSetLineControl = 7;
inline constexpr std::uint8_t kVendorSendChar = 8;
inline constexpr std::uint8_t kVendorSetModemControl = 10;

// Message types of the interrupt pipe (byte 1 of the message; byte 0 is the modem status for
// type 0).
inline constexpr std::uint8_t kMessageModemStatus = 0;
inline constexpr std::uint8_t kMessageStopOutput = 1;
inline constexpr std::uint8_t kMessageStartOutput = 2;
inline constexpr std::uint8_t kMessageSendXoff = 3;
inline constexpr std::uint8_t kMessageSendXon = 4;

// 16550 modem status: delta bits in the low nibble, the lines in the high one.
inline constexpr std::uint8_t kMsrDeltaCts = 0x01;
inline constexpr std::uint8_t kMsrDeltaDsr = 0x02;
inline constexpr std::uint8_t kMsrTrailingRi = 0x04;
inline constexpr std::uint8_t kMsrDeltaDcd = 0x08;
inline constexpr std::uint8_t kMsrCts = 0x10;
inline constexpr std::uint8_t kMsrDsr = 0x20;
inline constexpr std::uint8_t kMsrRi = 0x40;
inline constexpr std::uint8_t kMsrDcd = 0x80;

}  // namespace devices
