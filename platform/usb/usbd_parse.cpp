// The USB driver library's descriptor parsers.
#include "platform/usb/descriptor_walk.h"
#include "platform/usb/usb.h"

namespace {

bool matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
  const auto walk = usb::DescriptorWalk::of_configuration(ConfigurationDescriptor);
  if (!walk) return nullptr;
  for (auto* d = walk->find_interface(StartPosition); d != nullptr; d = walk->next_interface(d)) {
    if (matches(InterfaceNumber, d->bInterfaceNumber) && matches(AlternateSetting, d->bAlternateSetting) &&
        matches(InterfaceClass, d->bInterfaceClass) && matches(InterfaceSubClass, d->bInterfaceSubClass) &&
        matches(InterfaceProtocol, d->bInterfaceProtocol)) {
      return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    }
  }
  return nullptr;
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
  if (DescriptorBuffer == nullptr) return nullptr;
  const usb::DescriptorWalk walk(DescriptorBuffer, TotalLength);
  return const_cast<PUSB_COMMON_DESCRIPTOR>(walk.find(StartPosition, DescriptorType));
}
