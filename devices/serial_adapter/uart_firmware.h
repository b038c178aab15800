// The adapter's own firmware: a 16550-like UART behind the vendor requests, its modem lines, and
// the two-byte messages of the interrupt pipe.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "devices/serial_adapter/control_protocol.h"
#include "devices/serial_adapter/firmware.h"

namespace devices {

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
