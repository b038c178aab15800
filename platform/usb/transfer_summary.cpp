#include "platform/usb/transfer_summary.h"

#include <cstdio>

namespace usb {

namespace {

constexpr std::size_t kDataShown = 16;

const char* type_name(TransferType type) {
  switch (type) {
    case TransferType::Control: return "control";
    case TransferType::Isochronous: return "isochronous";
    case TransferType::Bulk: return "bulk";
    case TransferType::Interrupt: return "interrupt";
  }
  return "?";
}

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
}

}  // namespace

std::string status_name(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS: return "ok";
    case USBD_STATUS_STALL_PID: return "stall";
    case USBD_STATUS_DEV_NOT_RESPONDING: return "not-responding";
    case USBD_STATUS_DATA_OVERRUN: return "overrun";
    case USBD_STATUS_ENDPOINT_HALTED: return "halted";
    case USBD_STATUS_CANCELED: return "cancelled";
    case USBD_STATUS_DEVICE_GONE: return "gone";
    case USBD_STATUS_INVALID_URB_FUNCTION: return "invalid-function";
    case USBD_STATUS_INVALID_PARAMETER: return "invalid-parameter";
    case USBD_STATUS_INVALID_PIPE_HANDLE: return "invalid-pipe";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(status));
      return text;
    }
  }
}

std::string summarize(const TransferEvent& event) {
  char head[96];
  std::snprintf(head, sizeof head, "%lldms dev %u ep 0x%02x %s %s",
                static_cast<long long>(sim::to_milliseconds(event.time)), static_cast<unsigned>(event.address),
                static_cast<unsigned>(event.endpoint), type_name(event.type), event.in() ? "in" : "out");
  std::string line = head;
  if (event.setup) {
    line += " setup=";
    append_hex(line, std::span(reinterpret_cast<const std::uint8_t*>(&*event.setup), sizeof(USB_SETUP_PACKET)));
  }
  line += ' ' + std::to_string(event.data.size()) + '/' + std::to_string(event.requested) + ' ' +
          status_name(event.status);
  if (!event.data.empty()) {
    line += " hex:";
    append_hex(line, event.data.first(std::min(event.data.size(), kDataShown)));
    if (event.data.size() > kDataShown) line += "..";
  }
  return line;
}

}  // namespace usb
