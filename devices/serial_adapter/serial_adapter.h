// The USB face of the serial adapter: its descriptors, the standard requests, endpoint halts, and
// the routing of vendor requests and pipe traffic to its firmware.  It can be told to lie and to
// fail, so that the driver's error paths can be walked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "devices/serial_adapter/descriptors.h"
#include "devices/serial_adapter/firmware.h"
#include "platform/usb/device.h"

namespace devices {

// A vendor request as the adapter received it: host-to-device data, or the bytes it returned.
struct VendorRequest {
  std::uint8_t code = 0;
  bool device_to_host = false;
  std::vector<std::uint8_t> data;
  bool operator==(const VendorRequest&) const = default;
};

enum class Pipe { BulkIn, BulkOut, InterruptIn };

enum class PipeFailure {
  Stall,  // the transfer ends with a stall handshake
  Error,  // the device does not answer: the transfer fails
  Never,  // the device NAKs until the host gives up on the transfer (cancels or resets the pipe)
};

enum class RequestKind { Descriptor, Vendor };

class SerialAdapter : public usb::Device {
 public:
  // Without firmware, the adapter runs a QueuedFirmware.  Throws std::invalid_argument for
  // impossible options.
  explicit SerialAdapter(AdapterOptions options = {}, std::unique_ptr<Firmware> firmware = nullptr);
  SerialAdapter(const SerialAdapter&) = delete;
  SerialAdapter& operator=(const SerialAdapter&) = delete;

  // ---- usb::Device ---------------------------------------------------------------------------
  void attached(usb::DeviceSignals& signals) override;
  void detached() override;
  usb::ControlResult control(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> out_data) override;
  usb::InResult in(std::uint8_t endpoint, std::size_t max_packet) override;
  usb::Handshake out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
  void reset_endpoint(std::uint8_t endpoint) override;
  void transfer_cancelled(std::uint8_t endpoint) override;

  const AdapterOptions& options() const { return options_; }
  Firmware& firmware() { return *firmware_; }
  // The firmware as the type it was installed with, or null when it is another type.
  template <class F>
  F* firmware_as() {
    return dynamic_cast<F*>(firmware_.get());
  }

  std::uint8_t configuration() const { return configuration_; }
  bool halted(std::uint8_t endpoint) const;

  // The vendor requests received since the last call, oldest first (stalled ones are not kept).
  std::vector<VendorRequest> take_requests();

  // ---- misbehaviour --------------------------------------------------------------------------
  // The next `count` transfers on the pipe fail that way (0 clears it).  A stall or an error
  // ends the transfer at its first packet; Never holds each transfer until the host cancels it or
  // resets the pipe.
  void fail_next(Pipe pipe, PipeFailure how, unsigned count = 1);
  // The next `count` vendor requests fail that way (0 clears it) and never reach the firmware.
  // Never leaves each request unanswered: the host waits for it until it gives up.  Changing the
  // failure lets the host try a request held so far again.
  void fail_next_requests(PipeFailure how, unsigned count = 1);
  // Stalls every request of that kind until told otherwise.
  void stall_requests(RequestKind kind, bool stall);

 private:
  struct PendingFailure {
    PipeFailure how = PipeFailure::Stall;
    unsigned count = 0;
  };
  struct EndpointState {
    bool halted = false;
    PendingFailure failure;
    bool holding = false;  // a transfer is being held back by a Never failure
  };

  usb::ControlResult standard_request(const USB_SETUP_PACKET& setup);
  usb::ControlResult get_descriptor(const USB_SETUP_PACKET& setup) const;
  usb::ControlResult get_status(const USB_SETUP_PACKET& setup) const;
  usb::ControlResult set_configuration(const USB_SETUP_PACKET& setup);
  usb::ControlResult endpoint_feature(const USB_SETUP_PACKET& setup, bool halt);
  usb::ControlResult vendor_request(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> out_data);

  // The state of a data endpoint the configuration describes; null when there is none (or the
  // device is not configured).
  EndpointState* endpoint_state(std::uint8_t endpoint);
  const EndpointState* endpoint_state(std::uint8_t endpoint) const;
  bool has_interface(std::uint16_t number) const;
  // A handshake that ends this packet instead of the firmware, if any.
  std::optional<usb::Handshake> refusal(EndpointState& state);
  std::optional<usb::Handshake> request_refusal();
  void give_up_transfer(std::uint8_t endpoint);
  void signal_ready(std::uint8_t endpoint);

  AdapterOptions options_;
  std::unique_ptr<Firmware> firmware_;
  usb::DeviceSignals* signals_ = nullptr;
  std::uint8_t configuration_ = 0;
  std::array<EndpointState, 4> endpoints_{};  // bulk IN, bulk OUT, interrupt IN, extra interface
  bool stall_descriptor_requests_ = false;
  bool stall_vendor_requests_ = false;
  PendingFailure request_failure_;
  bool holding_request_ = false;  // a vendor request was left unanswered by a Never failure
  std::vector<VendorRequest> requests_;
};

}  // namespace devices
