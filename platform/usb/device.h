// The hardware side of the USB bus: what a device model implements so that the host controller
// can talk to it, packet by packet, on 1 ms full-speed frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "platform/usb/usb.h"

namespace usb {

// How a device answered one packet (or one control transfer).
enum class Handshake {
  Ack,    // accepted / data returned
  Nak,    // not now: the host retries once the device says the endpoint is ready
  Stall,  // the endpoint is halted (or the request is not supported)
  Error,  // no answer, CRC or bit-stuff error: the transfer fails
};

struct ControlResult {
  Handshake handshake = Handshake::Ack;
  std::vector<std::uint8_t> data;  // the IN data stage (at most wLength bytes are used)
};

struct InResult {
  Handshake handshake = Handshake::Nak;
  std::vector<std::uint8_t> data;  // at most the endpoint's maximum packet size
};

// Lets a device tell the host controller that a NAKing endpoint can make progress now, so the
// controller never has to poll idle endpoints frame after frame.
class DeviceSignals {
 public:
  virtual ~DeviceSignals() = default;
  // `endpoint` is the endpoint address (0x81 for IN endpoint 1, 0x02 for OUT endpoint 2, 0 for
  // the control pipe).
  virtual void endpoint_ready(std::uint8_t endpoint) = 0;
};

class Device {
 public:
  virtual ~Device() = default;

  // Connected to a port: `signals` stays valid until detached().
  virtual void attached(DeviceSignals& signals) = 0;
  virtual void detached() = 0;

  // A whole control transfer on the default pipe: the setup packet and, for host-to-device
  // requests, the data stage.  Standard requests (GET_DESCRIPTOR, SET_CONFIGURATION, ...) come
  // here too; the device answers them itself.  Nak means "not yet": the host retries the
  // transfer after endpoint_ready(0).
  virtual ControlResult control(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> out_data) = 0;
  // One IN packet from a bulk or interrupt endpoint (address with bit 7 set).
  virtual InResult in(std::uint8_t endpoint, std::size_t max_packet) = 0;
  // One OUT packet to a bulk or interrupt endpoint.
  virtual Handshake out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) = 0;
  // The host cleared a halt on (reset) the endpoint.
  virtual void reset_endpoint(std::uint8_t /*endpoint*/) {}
  // The host gave up on the transfer pending on the endpoint (cancelled or aborted it), so a
  // device that was holding that transfer back knows the next packet starts a new one.
  virtual void transfer_cancelled(std::uint8_t /*endpoint*/) {}
};

}  // namespace usb
