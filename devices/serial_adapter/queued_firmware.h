// Firmware that answers from what a test hands it: vendor requests succeed (request 2 returns
// the modem status), bulk OUT bytes are kept, bulk IN bytes and interrupt messages are handed out
// in the order they were queued.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "devices/serial_adapter/control_protocol.h"
#include "devices/serial_adapter/firmware.h"

namespace devices {

class QueuedFirmware : public Firmware {
 public:
  usb::ControlResult vendor_request(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> data) override;
  usb::InResult bulk_in(std::size_t max_packet) override;
  usb::Handshake bulk_out(std::span<const std::uint8_t> packet) override;
  usb::InResult interrupt_in(std::size_t max_packet) override;

  void set_modem_status(std::uint8_t msr) { modem_status_ = msr; }
  std::uint8_t modem_status() const { return modem_status_; }

  // Bytes for the bulk IN pipe; consecutive calls join into one stream, cut into packets.
  void queue_bulk_in(std::span<const std::uint8_t> bytes);
  // One interrupt IN packet, sent as it is (normally two bytes: modem status and message type).
  void queue_interrupt(std::vector<std::uint8_t> packet);
  // The bytes received on the bulk OUT pipe since the last call.
  std::vector<std::uint8_t> take_bulk_out();

 private:
  std::uint8_t modem_status_ = 0;
  std::deque<std::uint8_t> bulk_in_;
  std::deque<std::vector<std::uint8_t>> interrupt_in_;
  std::vector<std::uint8_t> bulk_out_;
};

}  // namespace devices
