#include "devices/serial_adapter/serial_adapter.h"

#include <algorithm>
#include <utility>

#include "devices/serial_adapter/queued_firmware.h"

namespace devices {
namespace {

constexpr std::uint8_t kVendorToDevice = USB_REQUEST_TYPE_VENDOR | USB_REQUEST_RECIPIENT_DEVICE;
constexpr std::uint8_t kVendorFromDevice = USB_REQUEST_DIRECTION_IN | kVendorToDevice;

constexpr std::array<std::uint8_t, 4> kEndpointAddresses{kBulkInEndpoint, kBulkOutEndpoint, kInterruptInEndpoint,
                                                        kExtraInterfaceEndpoint};

std::optional<std::size_t> endpoint_index(std::uint8_t address) {
  const auto it = std::find(kEndpointAddresses.begin(), kEndpointAddresses.end(), address);
  if (it == kEndpointAddresses.end()) return std::nullopt;
  return static_cast<std::size_t>(it - kEndpointAddresses.begin());
}

std::uint8_t pipe_endpoint(Pipe pipe) {
  switch (pipe) {
    case Pipe::BulkIn: return kBulkInEndpoint;
    case Pipe::BulkOut: return kBulkOutEndpoint;
    case Pipe::InterruptIn: return kInterruptInEndpoint;
  }
  return kBulkInEndpoint;
}

usb::ControlResult stall() { return {usb::Handshake::Stall, {}}; }
usb::ControlResult ack(std::vector<std::uint8_t> data = {}) { return {usb::Handshake::Ack, std::move(data)}; }

bool device_to_host(const USB_SETUP_PACKET& setup) { return (setup.bmRequestType & USB_REQUEST_DIRECTION_IN) != 0; }

// The host reads at most wLength bytes of an IN data stage; a failed request has none.
usb::ControlResult limited(usb::ControlResult result, const USB_SETUP_PACKET& setup) {
  if (result.handshake != usb::Handshake::Ack || !device_to_host(setup)) {
    result.data.clear();
  } else if (result.data.size() > setup.wLength) {
    result.data.resize(setup.wLength);
  }
  return result;
}

}  // namespace

SerialAdapter::SerialAdapter(AdapterOptions options, std::unique_ptr<Firmware> firmware)
    : options_(options), firmware_(firmware ? std::move(firmware) : std::make_unique<QueuedFirmware>()) {
  validate(options_);
}

// ---- usb::Device ---------------------------------------------------------------------------------

void SerialAdapter::attached(usb::DeviceSignals& signals) {
  signals_ = &signals;
  firmware_->connect(signals_);
}

void SerialAdapter::detached() {
  firmware_->connect(nullptr);
  signals_ = nullptr;
  configuration_ = 0;
  holding_request_ = false;
  for (auto& state : endpoints_) {
    state.halted = false;
    state.holding = false;
  }
}

usb::ControlResult SerialAdapter::control(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> out_data) {
  if ((setup.bmRequestType & USB_REQUEST_TYPE_MASK) == USB_REQUEST_TYPE_STANDARD) return limited(standard_request(setup), setup);
  if (setup.bmRequestType == kVendorToDevice || setup.bmRequestType == kVendorFromDevice) {
    return vendor_request(setup, out_data);
  }
  return stall();  // class requests, and vendor requests to an interface or endpoint
}

usb::InResult SerialAdapter::in(std::uint8_t endpoint, std::size_t max_packet) {
  auto* state = (endpoint & USB_REQUEST_DIRECTION_IN) != 0 ? endpoint_state(endpoint) : nullptr;
  if (state == nullptr) return {usb::Handshake::Error, {}};
  if (const auto handshake = refusal(*state)) return {*handshake, {}};
  switch (endpoint) {
    case kBulkInEndpoint: return firmware_->bulk_in(max_packet);
    case kInterruptInEndpoint: return firmware_->interrupt_in(max_packet);
    default: return {};  // the extra interface's endpoint never has anything to say
  }
}

usb::Handshake SerialAdapter::out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
  auto* state = endpoint == kBulkOutEndpoint ? endpoint_state(endpoint) : nullptr;
  if (state == nullptr) return usb::Handshake::Error;
  if (const auto handshake = refusal(*state)) return *handshake;
  return firmware_->bulk_out(packet);
}

void SerialAdapter::reset_endpoint(std::uint8_t endpoint) {
  if (const auto index = endpoint_index(endpoint)) endpoints_[*index].halted = false;
  give_up_transfer(endpoint);
}

void SerialAdapter::transfer_cancelled(std::uint8_t endpoint) { give_up_transfer(endpoint); }

// ---- state ---------------------------------------------------------------------------------------

bool SerialAdapter::halted(std::uint8_t endpoint) const {
  const auto* state = endpoint_state(endpoint);
  return state != nullptr && state->halted;
}

std::vector<VendorRequest> SerialAdapter::take_requests() { return std::exchange(requests_, {}); }

void SerialAdapter::fail_next(Pipe pipe, PipeFailure how, unsigned count) {
  const auto endpoint = pipe_endpoint(pipe);
  auto& state = endpoints_[*endpoint_index(endpoint)];
  state.failure = {how, count};
  if (state.holding && (how != PipeFailure::Never || count == 0)) {
    // The transfer held back so far may go on now: let the host try it again.
    state.holding = false;
    signal_ready(endpoint);
  }
}

void SerialAdapter::fail_next_requests(PipeFailure how, unsigned count) {
  request_failure_ = {how, count};
  if (holding_request_ && (how != PipeFailure::Never || count == 0)) {
    holding_request_ = false;
    signal_ready(0);
  }
}

void SerialAdapter::stall_requests(RequestKind kind, bool stall_them) {
  (kind == RequestKind::Descriptor ? stall_descriptor_requests_ : stall_vendor_requests_) = stall_them;
}

SerialAdapter::EndpointState* SerialAdapter::endpoint_state(std::uint8_t endpoint) {
  return const_cast<EndpointState*>(std::as_const(*this).endpoint_state(endpoint));
}

const SerialAdapter::EndpointState* SerialAdapter::endpoint_state(std::uint8_t endpoint) const {
  const auto index = endpoint_index(endpoint);
  if (configuration_ == 0 || !index) return nullptr;
  const bool described = *index < 3 ? *index < options_.endpoint_count : options_.second_interface;
  return described ? &endpoints_[*index] : nullptr;
}

bool SerialAdapter::has_interface(std::uint16_t number) const {
  return configuration_ != 0 && (number == 0 || (number == 1 && options_.second_interface));
}

std::optional<usb::Handshake> SerialAdapter::refusal(EndpointState& state) {
  if (state.halted) return usb::Handshake::Stall;
  auto& failure = state.failure;
  if (failure.count == 0) return std::nullopt;
  switch (failure.how) {
    case PipeFailure::Never:
      state.holding = true;
      return usb::Handshake::Nak;
    case PipeFailure::Stall:
      --failure.count;
      return usb::Handshake::Stall;
    case PipeFailure::Error:
      --failure.count;
      return usb::Handshake::Error;
  }
  return std::nullopt;
}

// The host tries a NAKed request again only when told the control pipe is ready, which happens
// only when the failure changes; so each request that arrives is a new one and counts.
std::optional<usb::Handshake> SerialAdapter::request_refusal() {
  holding_request_ = false;
  auto& failure = request_failure_;
  if (failure.count == 0) return std::nullopt;
  --failure.count;
  switch (failure.how) {
    case PipeFailure::Never:
      holding_request_ = true;
      return usb::Handshake::Nak;
    case PipeFailure::Stall: return usb::Handshake::Stall;
    case PipeFailure::Error: return usb::Handshake::Error;
  }
  return std::nullopt;
}

void SerialAdapter::give_up_transfer(std::uint8_t endpoint) {
  const auto index = endpoint_index(endpoint);
  if (!index) return;
  auto& state = endpoints_[*index];
  if (!state.holding) return;
  state.holding = false;
  if (state.failure.how == PipeFailure::Never && state.failure.count > 0) --state.failure.count;
  // The host parks an endpoint that NAKs; the next transfer needs a nudge to be tried at all.
  signal_ready(endpoint);
}

void SerialAdapter::signal_ready(std::uint8_t endpoint) {
  if (signals_ != nullptr) signals_->endpoint_ready(endpoint);
}

// ---- control requests ----------------------------------------------------------------------------

usb::ControlResult SerialAdapter::standard_request(const USB_SETUP_PACKET& setup) {
  const auto recipient = setup.bmRequestType & USB_REQUEST_RECIPIENT_MASK;
  const bool in = device_to_host(setup);
  switch (setup.bRequest) {
    case USB_REQUEST_GET_STATUS:
      return in ? get_status(setup) : stall();
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE:
      if (in || recipient != USB_REQUEST_RECIPIENT_ENDPOINT || setup.wValue != USB_FEATURE_ENDPOINT_HALT) return stall();
      return endpoint_feature(setup, setup.bRequest == USB_REQUEST_SET_FEATURE);
    case USB_REQUEST_SET_ADDRESS:
      return !in && recipient == USB_REQUEST_RECIPIENT_DEVICE && setup.wValue <= 127 ? ack() : stall();
    case USB_REQUEST_GET_DESCRIPTOR:
      return in && recipient == USB_REQUEST_RECIPIENT_DEVICE ? get_descriptor(setup) : stall();
    case USB_REQUEST_GET_CONFIGURATION:
      return in && recipient == USB_REQUEST_RECIPIENT_DEVICE ? ack({configuration_}) : stall();
    case USB_REQUEST_SET_CONFIGURATION:
      return !in && recipient == USB_REQUEST_RECIPIENT_DEVICE ? set_configuration(setup) : stall();
    case USB_REQUEST_GET_INTERFACE:
      return in && recipient == USB_REQUEST_RECIPIENT_INTERFACE && has_interface(setup.wIndex) ? ack({0}) : stall();
    case USB_REQUEST_SET_INTERFACE:
      if (in || recipient != USB_REQUEST_RECIPIENT_INTERFACE || !has_interface(setup.wIndex) || setup.wValue != 0) return stall();
      // Selecting the (only) alternate setting again resets the interface's endpoints.
      for (const auto address : kEndpointAddresses) {
        const bool belongs = (address == kExtraInterfaceEndpoint) == (setup.wIndex == 1);
        if (auto* state = endpoint_state(address); state != nullptr && belongs) state->halted = false;
      }
      return ack();
    default:
      return stall();
  }
}

usb::ControlResult SerialAdapter::get_descriptor(const USB_SETUP_PACKET& setup) const {
  if (stall_descriptor_requests_) return stall();
  const auto type = static_cast<std::uint8_t>(setup.wValue >> 8);
  const auto index = static_cast<std::uint8_t>(setup.wValue & 0xFF);
  if (type == USB_DEVICE_DESCRIPTOR_TYPE) return ack(device_descriptor(options_));
  if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) return ack(configuration_descriptor(options_));
  return stall();  // no strings, no other configurations
}

usb::ControlResult SerialAdapter::get_status(const USB_SETUP_PACKET& setup) const {
  switch (setup.bmRequestType & USB_REQUEST_RECIPIENT_MASK) {
    case USB_REQUEST_RECIPIENT_DEVICE:
      return ack({0, 0});  // bus powered, remote wake-up off
    case USB_REQUEST_RECIPIENT_INTERFACE:
      return has_interface(setup.wIndex) ? ack({0, 0}) : stall();
    case USB_REQUEST_RECIPIENT_ENDPOINT: {
      const auto endpoint = static_cast<std::uint8_t>(setup.wIndex & 0xFF);
      if ((endpoint & 0x7F) == 0) return ack({0, 0});
      const auto* state = endpoint_state(endpoint);
      if (state == nullptr) return stall();
      return ack({static_cast<std::uint8_t>(state->halted ? 1 : 0), 0});
    }
    default:
      return stall();
  }
}

usb::ControlResult SerialAdapter::set_configuration(const USB_SETUP_PACKET& setup) {
  const auto value = setup.wValue & 0xFF;
  if (value != 0 && value != kConfigurationValue) return stall();
  configuration_ = static_cast<std::uint8_t>(value);
  for (auto& state : endpoints_) state.halted = false;
  return ack();
}

usb::ControlResult SerialAdapter::endpoint_feature(const USB_SETUP_PACKET& setup, bool halt) {
  auto* state = endpoint_state(static_cast<std::uint8_t>(setup.wIndex & 0xFF));
  if (state == nullptr) return stall();
  state->halted = halt;
  return ack();
}

usb::ControlResult SerialAdapter::vendor_request(const USB_SETUP_PACKET& setup,
                                                 std::span<const std::uint8_t> out_data) {
  if (stall_vendor_requests_) return stall();
  if (const auto handshake = request_refusal()) return {*handshake, {}};
  const bool in = device_to_host(setup);
  auto result = limited(firmware_->vendor_request(setup, in ? std::span<const std::uint8_t>{} : out_data), setup);
  if (result.handshake == usb::Handshake::Ack) {
    requests_.push_back({setup.bRequest, in,
                         in ? result.data : std::vector<std::uint8_t>(out_data.begin(), out_data.end())});
  }
  return result;
}

}  // namespace devices
