// The USB driver library's builder of select-configuration requests.
#include <algorithm>
#include <cstddef>

#include "platform/usb/descriptor_walk.h"
#include "platform/usb/usb.h"

namespace {

inline constexpr ULONG kUsbdTag = POOL_TAG("USBD");
inline constexpr std::size_t kInterfacesOffset = offsetof(_URB_SELECT_CONFIGURATION, Interface);

}  // namespace

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  const auto walk = usb::DescriptorWalk::of_configuration(ConfigurationDescriptor);
  if (!walk || InterfaceList == nullptr) return nullptr;

  // Every listed interface descriptor must lie whole inside the configuration.
  std::size_t size = kInterfacesOffset;
  std::size_t count = 0;
  for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry, ++count) {
    const auto* d = entry->InterfaceDescriptor;
    if (walk->find_interface(d) != d) return nullptr;
    size += USBD_INTERFACE_INFORMATION_SIZE(d->bNumEndpoints);
  }
  size = std::max(size, sizeof(_URB_SELECT_CONFIGURATION));
  if (size > 0xFFFF) return nullptr;

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
  if (urb == nullptr) return nullptr;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto* record = reinterpret_cast<UCHAR*>(urb) + kInterfacesOffset;
  for (std::size_t i = 0; i < count; ++i) {
    const auto* d = InterfaceList[i].InterfaceDescriptor;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
    info->Length = USBD_INTERFACE_INFORMATION_SIZE(d->bNumEndpoints);
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    PUSBD_PIPE_INFORMATION pipes = info->Pipes;
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    InterfaceList[i].Interface = info;
    record += info->Length;
  }
  return urb;
}
