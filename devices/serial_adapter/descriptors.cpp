#include "devices/serial_adapter/descriptors.h"

#include <array>
#include <stdexcept>

#include "platform/usb/usb.h"

namespace devices {
namespace {

template <class Record>
void append(std::vector<std::uint8_t>& bytes, const Record& record) {
  const auto* first = reinterpret_cast<const std::uint8_t*>(&record);
  bytes.insert(bytes.end(), first, first + sizeof(Record));
}

USB_INTERFACE_DESCRIPTOR interface(UCHAR number, UCHAR endpoints) {
  return {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, 0xFF, 0x00, 0x00, 0};
}

USB_ENDPOINT_DESCRIPTOR endpoint(UCHAR address, UCHAR type, UCHAR interval) {
  return {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, address, type, kDataMaxPacket, interval};
}

}  // namespace

void validate(const AdapterOptions& options) {
  if (options.endpoint_count > 3) throw std::invalid_argument("the adapter has at most 3 endpoints");
  switch (options.max_packet0) {
    case 8: case 16: case 32: case 64: break;
    default: throw std::invalid_argument("control packet size must be 8, 16, 32 or 64");
  }
  if (options.interrupt_interval_ms == 0) throw std::invalid_argument("interrupt interval must be at least 1 ms");
}

std::vector<std::uint8_t> device_descriptor(const AdapterOptions& options) {
  const USB_DEVICE_DESCRIPTOR d{sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE,
                                0x0110,  // USB 1.1
                                0x00, 0x00, 0x00, options.max_packet0, kAdapterVendorId, options.product_id,
                                0x0100,  // device release 1.00
                                0, 0, 0, 1};
  std::vector<std::uint8_t> bytes;
  append(bytes, d);
  return bytes;
}

std::vector<std::uint8_t> configuration_descriptor(const AdapterOptions& options) {
  const std::array serial_endpoints{
      endpoint(kBulkInEndpoint, USB_ENDPOINT_TYPE_BULK, 0),
      endpoint(kBulkOutEndpoint, USB_ENDPOINT_TYPE_BULK, 0),
      endpoint(kInterruptInEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, options.interrupt_interval_ms),
  };
  std::vector<std::uint8_t> body;
  append(body, interface(0, options.endpoint_count));
  for (std::size_t i = 0; i < options.endpoint_count && i < serial_endpoints.size(); ++i) append(body, serial_endpoints[i]);
  if (options.second_interface) {
    append(body, interface(1, 1));
    append(body, endpoint(kExtraInterfaceEndpoint, USB_ENDPOINT_TYPE_BULK, 0));
  }

  const auto actual = sizeof(USB_CONFIGURATION_DESCRIPTOR) + body.size();
  const USB_CONFIGURATION_DESCRIPTOR c{sizeof(USB_CONFIGURATION_DESCRIPTOR), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                       static_cast<USHORT>(actual + options.total_length_overstatement),
                                       static_cast<UCHAR>(options.second_interface ? 2 : 1), kConfigurationValue, 0,
                                       0x80,  // bus powered, no remote wake-up
                                       50};   // 100 mA
  std::vector<std::uint8_t> bytes;
  append(bytes, c);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

}  // namespace devices
