// Drives a SerialAdapter straight through its usb::Device face, as the host controller would.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "devices/serial_adapter/queued_firmware.h"
#include "devices/serial_adapter/serial_adapter.h"

namespace devices::testing {

struct RecordingSignals : usb::DeviceSignals {
  void endpoint_ready(std::uint8_t endpoint) override { ready.push_back(endpoint); }
  std::vector<std::uint8_t> ready;
};

inline USB_SETUP_PACKET setup(std::uint8_t type, std::uint8_t request, std::uint16_t value = 0,
                              std::uint16_t index = 0, std::uint16_t length = 0) {
  return {type, request, value, index, length};
}

inline USB_SETUP_PACKET get_descriptor(std::uint8_t type, std::uint16_t length, std::uint8_t index = 0) {
  return setup(0x80, 6, static_cast<std::uint16_t>(type << 8 | index), 0, length);
}

using Bytes = std::vector<std::uint8_t>;

class AdapterTest : public ::testing::Test {
 protected:
  explicit AdapterTest(AdapterOptions options = {}, std::unique_ptr<Firmware> installed = nullptr)
      : adapter(options, std::move(installed)) {
    adapter.attached(signals);
  }

  QueuedFirmware& firmware() { return *adapter.firmware_as<QueuedFirmware>(); }

  usb::ControlResult control(const USB_SETUP_PACKET& packet, std::span<const std::uint8_t> data = {}) {
    return adapter.control(packet, data);
  }
  usb::Handshake request(const USB_SETUP_PACKET& packet) { return control(packet).handshake; }
  void configure() { ASSERT_EQ(request(setup(0x00, 9, 1)), usb::Handshake::Ack); }

  RecordingSignals signals;
  SerialAdapter adapter;
};

}  // namespace devices::testing
