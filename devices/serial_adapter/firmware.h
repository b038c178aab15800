// What runs inside the serial adapter behind its USB face: the answers to vendor requests and the
// data of the bulk and interrupt pipes.  The adapter itself answers the standard requests, keeps
// halts and injected failures, and hands everything else to its firmware.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/usb/device.h"
#include "platform/usb/usb.h"

namespace devices {

class Firmware {
 public:
  virtual ~Firmware() = default;

  // A vendor request to the device (request type 0x40 or 0xC0) with its host-to-device data.
  // For a device-to-host request the adapter sends at most wLength of the returned bytes.
  virtual usb::ControlResult vendor_request(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> data) = 0;
  // One packet of at most `max_packet` bytes each; Nak while there is nothing to send or no room.
  virtual usb::InResult bulk_in(std::size_t max_packet) = 0;
  virtual usb::Handshake bulk_out(std::span<const std::uint8_t> packet) = 0;
  virtual usb::InResult interrupt_in(std::size_t max_packet) = 0;

  // The adapter connects its firmware to the host's signals while it is plugged in (null after).
  void connect(usb::DeviceSignals* signals) { signals_ = signals; }

 protected:
  // Tells the host that a NAKing endpoint can make progress now; nothing while unplugged.
  void endpoint_ready(std::uint8_t endpoint) {
    if (signals_ != nullptr) signals_->endpoint_ready(endpoint);
  }

 private:
  usb::DeviceSignals* signals_ = nullptr;
};

}  // namespace devices
