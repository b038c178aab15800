#include "devices/serial_adapter/uart_firmware.h"

#include <algorithm>
#include <array>
#include <utility>

#include "devices/serial_adapter/descriptors.h"

namespace devices {
namespace {

constexpr std::uint8_t kLines = kMsrCts | kMsrDsr | kMsrRi | kMsrDcd;
constexpr std::uint8_t kDeltas = kMsrDeltaCts | kMsrDeltaDsr | kMsrTrailingRi | kMsrDeltaDcd;

// The shape of each request the firmware knows; anything else is refused with a stall, as the
// real firmware does.
struct RequestShape {
  std::uint8_t code;
  bool device_to_host;
  std::uint16_t length;
};
constexpr std::array<RequestShape, 5> kRequests{{
    {kVendorGetModemStatus, true, 1},
    {kVendorSetDivisor, false, 4},
    {kVendorSetLineControl, false, 1},
    {kVendorSendChar, false, 1},
    {kVendorSetModemControl, false, 1},
}};

bool well_formed(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> data) {
  const bool in = (setup.bmRequestType & USB_REQUEST_DIRECTION_IN) != 0;
  const auto shape = std::find_if(kRequests.begin(), kRequests.end(),
                                  [&](const RequestShape& s) { return s.code == setup.bRequest; });
  return shape != kRequests.end() && shape->device_to_host == in && setup.wLength == shape->length &&
         setup.wValue == 0 && setup.wIndex == 0 && (in || data.size() == shape->length);
}

usb::ControlResult stall() { return {usb::Handshake::Stall, {}}; }

}  // namespace

usb::ControlResult UartFirmware::vendor_request(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> data) {
  if (!well_formed(setup, data)) return stall();
  switch (setup.bRequest) {
    case kVendorGetModemStatus: {
      // Reading the register clears its delta bits, as on a 16550.
      const std::uint8_t status = msr_;
      msr_ &= static_cast<std::uint8_t>(~kDeltas);
      return {usb::Handshake::Ack, {status}};
    }
    case kVendorSetDivisor:
      divisor_ = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
                 static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
      break;
    case kVendorSetLineControl:
      lcr_ = data[0];
      break;
    case kVendorSendChar:
      line_output_.push_back(data[0]);
      break;
    case kVendorSetModemControl:
      mcr_ = data[0];
      break;
  }
  return {};
}

// The data path is not modelled yet: nothing arrives from the line, and what the host sends is
// taken and dropped.
usb::InResult UartFirmware::bulk_in(std::size_t) { return {}; }

usb::Handshake UartFirmware::bulk_out(std::span<const std::uint8_t>) { return usb::Handshake::Ack; }

// Messages are two bytes, well within any interrupt packet the adapter describes.
usb::InResult UartFirmware::interrupt_in(std::size_t) {
  if (messages_.empty()) return {};
  usb::InResult result{usb::Handshake::Ack, std::move(messages_.front())};
  messages_.pop_front();
  return result;
}

std::uint32_t UartFirmware::baud() const { return divisor_ == 0 ? 0 : kUartBaseClock / divisor_; }

std::string UartFirmware::framing() const {
  std::string text = std::to_string(5 + (lcr_ & 0x03));
  if ((lcr_ & 0x08) == 0) {
    text += 'N';
  } else if ((lcr_ & 0x20) != 0) {
    text += (lcr_ & 0x10) != 0 ? 'S' : 'M';  // stick parity: the bit is fixed, the inverse of "even"
  } else {
    text += (lcr_ & 0x10) != 0 ? 'E' : 'O';
  }
  if ((lcr_ & 0x04) == 0) {
    text += '1';
  } else {
    text += (lcr_ & 0x03) == 0 ? "1.5" : "2";
  }
  return text;
}

void UartFirmware::set_line_status(std::uint8_t lines) {
  const auto before = static_cast<std::uint8_t>(msr_ & kLines);
  const auto now = static_cast<std::uint8_t>(lines & kLines);
  if (now == before) return;
  // Each delta bit sits four places below its line; ring indicator counts only when it goes off.
  const auto changed = static_cast<std::uint8_t>(before ^ now);
  const auto ring_ended = static_cast<std::uint8_t>(before & ~now & kMsrRi);
  const auto deltas = static_cast<std::uint8_t>(((changed & (kMsrCts | kMsrDsr | kMsrDcd)) | ring_ended) >> 4);
  msr_ = static_cast<std::uint8_t>(now | (msr_ & kDeltas) | deltas);
  send_message(kMessageModemStatus, msr_);
}

void UartFirmware::send_message(std::uint8_t type, std::uint8_t byte) {
  messages_.push_back({byte, type});
  endpoint_ready(kInterruptInEndpoint);
}

std::vector<std::uint8_t> UartFirmware::take_line_output() { return std::exchange(line_output_, {}); }

}  // namespace devices
