// An adapter running its own UART firmware, configured, with helpers for its vendor requests.
#pragma once

#include <memory>

#include "devices/serial_adapter/uart_firmware.h"
#include "tests/serial_adapter/adapter_fixture.h"

namespace devices::testing {

class UartAdapterTest : public AdapterTest {
 protected:
  UartAdapterTest() : AdapterTest({}, std::make_unique<UartFirmware>()), uart(*adapter.firmware_as<UartFirmware>()) {}
  void SetUp() override { configure(); }

  usb::ControlResult vendor_out(std::uint8_t request, const Bytes& data) {
    return control(setup(0x40, request, 0, 0, static_cast<std::uint16_t>(data.size())), data);
  }
  usb::ControlResult modem_status_request() { return control(setup(0xC0, kVendorGetModemStatus, 0, 0, 1)); }
  // The interrupt messages waiting on the pipe, in order.
  std::vector<Bytes> drain_messages() {
    std::vector<Bytes> messages;
    for (auto packet = adapter.in(kInterruptInEndpoint, 64); packet.handshake == usb::Handshake::Ack;
         packet = adapter.in(kInterruptInEndpoint, 64)) {
      messages.push_back(packet.data);
    }
    return messages;
  }

  UartFirmware& uart;
};

}  // namespace devices::testing
