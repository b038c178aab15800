#include "devices/serial_adapter/queued_firmware.h"

#include <algorithm>
#include <utility>

#include "devices/serial_adapter/descriptors.h"

namespace devices {

usb::ControlResult QueuedFirmware::vendor_request(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t>) {
  usb::ControlResult result;
  if ((setup.bmRequestType & USB_ENDPOINT_DIRECTION_MASK) != 0 && setup.bRequest == kVendorGetModemStatus) {
    result.data = {modem_status_};
  }
  return result;
}

usb::InResult QueuedFirmware::bulk_in(std::size_t max_packet) {
  if (bulk_in_.empty()) return {};
  const auto n = static_cast<std::ptrdiff_t>(std::min(max_packet, bulk_in_.size()));
  usb::InResult result{usb::Handshake::Ack, {bulk_in_.begin(), bulk_in_.begin() + n}};
  bulk_in_.erase(bulk_in_.begin(), bulk_in_.begin() + n);
  return result;
}

usb::Handshake QueuedFirmware::bulk_out(std::span<const std::uint8_t> packet) {
  bulk_out_.insert(bulk_out_.end(), packet.begin(), packet.end());
  return usb::Handshake::Ack;
}

usb::InResult QueuedFirmware::interrupt_in(std::size_t max_packet) {
  if (interrupt_in_.empty()) return {};
  auto& front = interrupt_in_.front();
  if (front.size() <= max_packet) {
    usb::InResult result{usb::Handshake::Ack, std::move(front)};
    interrupt_in_.pop_front();
    return result;
  }
  // A packet longer than the endpoint allows goes out in pieces, as the hardware would send it.
  const auto n = static_cast<std::ptrdiff_t>(max_packet);
  usb::InResult result{usb::Handshake::Ack, {front.begin(), front.begin() + n}};
  front.erase(front.begin(), front.begin() + n);
  return result;
}

void QueuedFirmware::queue_bulk_in(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  bulk_in_.insert(bulk_in_.end(), bytes.begin(), bytes.end());
  endpoint_ready(kBulkInEndpoint);
}

void QueuedFirmware::queue_interrupt(std::vector<std::uint8_t> packet) {
  interrupt_in_.push_back(std::move(packet));
  endpoint_ready(kInterruptInEndpoint);
}

std::vector<std::uint8_t> QueuedFirmware::take_bulk_out() { return std::exchange(bulk_out_, {}); }

}  // namespace devices
