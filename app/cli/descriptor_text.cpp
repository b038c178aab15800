#include "app/cli/descriptor_text.h"

#include <cstdio>
#include <cstring>

#include "platform/usb/usb.h"

namespace app {
namespace {

std::string bcd(USHORT value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x.%02x", value >> 8, value & 0xFF);
  return buf;
}

std::string hex4(USHORT value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%04x", value);
  return buf;
}

std::string hex2(UCHAR value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", value);
  return buf;
}

template <typename Descriptor>
Descriptor read_as(std::span<const std::uint8_t> bytes) {
  Descriptor d{};
  std::memcpy(&d, bytes.data(), sizeof d);
  return d;
}

std::string describe_endpoint(const USB_ENDPOINT_DESCRIPTOR& e) {
  static constexpr const char* kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
  std::string text = "endpoint " + hex2(e.bEndpointAddress) +
                     ((e.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? " IN " : " OUT ") +
                     kTypes[e.bmAttributes & USB_ENDPOINT_TYPE_MASK] + ", packets of " +
                     std::to_string(e.wMaxPacketSize) + " bytes";
  if ((e.bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT) {
    text += ", polled every " + std::to_string(e.bInterval) + " ms";
  }
  return text;
}

}  // namespace

std::string describe_device_descriptor(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < sizeof(USB_DEVICE_DESCRIPTOR)) {
    return "only " + std::to_string(bytes.size()) + " bytes came back, not a device descriptor";
  }
  const auto d = read_as<USB_DEVICE_DESCRIPTOR>(bytes);
  return "USB " + bcd(d.bcdUSB) + ", vendor " + hex4(d.idVendor) + ", product " + hex4(d.idProduct) + ", release " +
         bcd(d.bcdDevice) + ", control packets of " + std::to_string(d.bMaxPacketSize0) + " bytes, " +
         std::to_string(d.bNumConfigurations) + " configuration" + (d.bNumConfigurations == 1 ? "" : "s");
}

std::vector<std::string> describe_configuration(std::span<const std::uint8_t> bytes) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at + 2 <= bytes.size();) {
    const std::size_t length = bytes[at];
    const UCHAR type = bytes[at + 1];
    if (length < 2 || at + length > bytes.size()) {
      lines.push_back("(" + std::to_string(bytes.size() - at) + " bytes that are not a whole descriptor)");
      break;
    }
    const auto d = bytes.subspan(at, length);
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && length >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      const auto c = read_as<USB_CONFIGURATION_DESCRIPTOR>(d);
      lines.push_back("configuration " + std::to_string(c.bConfigurationValue) + ": " +
                      std::to_string(c.bNumInterfaces) + " interface(s), " + std::to_string(c.wTotalLength) +
                      " bytes in all, " + ((c.bmAttributes & 0x40) ? "self-powered" : "bus-powered") + ", up to " +
                      std::to_string(c.MaxPower * 2) + " mA");
    } else if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      const auto i = read_as<USB_INTERFACE_DESCRIPTOR>(d);
      lines.push_back("  interface " + std::to_string(i.bInterfaceNumber) + ": class " + hex2(i.bInterfaceClass) +
                      (i.bInterfaceClass == 0xFF ? " (vendor-specific)" : "") + ", " +
                      std::to_string(i.bNumEndpoints) + " endpoint(s)");
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      lines.push_back("    " + describe_endpoint(read_as<USB_ENDPOINT_DESCRIPTOR>(d)));
    } else {
      lines.push_back("  descriptor of type " + hex2(type) + ", " + std::to_string(length) + " bytes");
    }
    at += length;
  }
  if (lines.empty()) lines.push_back("(no configuration descriptor came back)");
  return lines;
}

}  // namespace app
