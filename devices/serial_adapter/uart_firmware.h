// The adapter's own firmware: a 16550-like UART behind the vendor requests, its modem lines, and
// the two-byte messages of the interrupt pipe.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "devices/serial_adapter/firmware.h"

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

inline constexpr std::uint32_t kUartBaseClock = 115200;

class UartFirmware : public Firmware {
 public:
  usb::ControlResult vendor_request(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> data) override;
  usb::InResult bulk_in(std::size_t max_packet) override;
  usb::Handshake bulk_out(std::span<const std::uint8_t> packet) override;
  usb::InResult interrupt_in(std::size_t max_packet) override;

  // ---- the UART's registers as the host set them ---------------------------------------------
  std::uint32_t divisor() const { return divisor_; }
  // 115200 / divisor, rounded down; 0 while no divisor was set.
  std::uint32_t baud() const;
  std::uint8_t line_control() const { return lcr_; }
  std::uint8_t modem_control() const { return mcr_; }
  bool dtr() const { return (mcr_ & 0x01) != 0; }
  bool rts() const { return (mcr_ & 0x02) != 0; }
  bool break_on() const { return (lcr_ & 0x40) != 0; }
  // "8N1", "7E2", "5N1.5": data bits, parity (N O E M S), stop bits.
  std::string framing() const;

  // ---- the line side -------------------------------------------------------------------------
  // The modem lines the adapter sees (kMsrCts, kMsrDsr, kMsrRi, kMsrDcd; other bits are ignored).
  // A change sets the matching delta bits and is reported on the interrupt pipe as type 0.
  void set_line_status(std::uint8_t lines);
  // The modem status as request 2 returns it: the lines and the deltas since the last read.
  std::uint8_t modem_status() const { return msr_; }
  // Sends any two-byte message on the interrupt pipe, as it is.
  void send_message(std::uint8_t type, std::uint8_t byte = 0);
  // Bytes the adapter put on its line since the last call, oldest first.
  std::vector<std::uint8_t> take_line_output();

 private:
  // The UART's registers: everything the line side works from.
  std::uint32_t divisor_ = 0;
  std::uint8_t lcr_ = 0x03;
  std::uint8_t mcr_ = 0;
  std::uint8_t msr_ = 0;
  std::deque<std::vector<std::uint8_t>> messages_;
  std::vector<std::uint8_t> line_output_;
};

}  // namespace devices
