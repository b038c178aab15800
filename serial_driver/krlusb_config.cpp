// The adapter's USB configuration: device descriptor, configuration descriptor, selection of
// the first interface at start, and no configuration at stop.
#include "serial_driver/krlusb.h"
#include "serial_driver/krlusb_log.h"

namespace krlusb {
namespace {

void NC_LogDeviceDescriptor(const USB_DEVICE_DESCRIPTOR* d) {
  KrlPrint("KRL Device Descriptor:\n");
  KrlPrint("-------------------------\n");
  KrlPrint("bLength %d\n", d->bLength);
  KrlPrint("bDescriptorType 0x%x\n", d->bDescriptorType);
  KrlPrint("bcdUSB 0x%x\n", d->bcdUSB);
  KrlPrint("bDeviceClass 0x%x\n", d->bDeviceClass);
  KrlPrint("bDeviceSubClass 0x%x\n", d->bDeviceSubClass);
  KrlPrint("bDeviceProtocol 0x%x\n", d->bDeviceProtocol);
  KrlPrint("bMaxPacketSize0 0x%x\n", d->bMaxPacketSize0);
  KrlPrint("idVendor 0x%x\n", d->idVendor);
  KrlPrint("idProduct 0x%x\n", d->idProduct);
  KrlPrint("bcdDevice 0x%x\n", d->bcdDevice);
  KrlPrint("iManufacturer 0x%x\n", d->iManufacturer);
  KrlPrint("iProduct 0x%x\n", d->iProduct);
  KrlPrint("iSerialNumber 0x%x\n", d->iSerialNumber);
  KrlPrint("bNumConfigurations 0x%x\n", d->bNumConfigurations);
}

void NC_LogInterface(const USBD_INTERFACE_INFORMATION* info) {
  KrlPrint("---------\n");
  KrlPrint("NumberOfPipes 0x%x\n", info->NumberOfPipes);
  KrlPrint("Length 0x%x\n", info->Length);
  KrlPrint("Alt Setting 0x%x\n", info->AlternateSetting);
  KrlPrint("Interface Number 0x%x\n", info->InterfaceNumber);
  KrlPrint("Class, subclass, protocol 0x%x 0x%x 0x%x\n", info->Class, info->SubClass, info->Protocol);
  for (ULONG i = 0; i < info->NumberOfPipes; i++) {
    const USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
    KrlPrint("---------\n");
    KrlPrint("PipeType 0x%x\n", pipe.PipeType);
    KrlPrint("EndpointAddress 0x%x\n", pipe.EndpointAddress);
    KrlPrint("MaxPacketSize 0x%x\n", pipe.MaximumPacketSize);
    KrlPrint("Interval 0x%x\n", pipe.Interval);
    KrlPrint("Handle 0x%x\n", pipe.PipeHandle);
    KrlPrint("MaximumTransferSize 0x%x\n", pipe.MaximumTransferSize);
  }
  KrlPrint("---------\n");
}

bool NC_HasPipe(const USBD_INTERFACE_INFORMATION* info, ULONG index, USBD_PIPE_TYPE type, bool in) {
  const USBD_PIPE_INFORMATION& pipe = info->Pipes[index];
  return pipe.PipeType == type && ((pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0) == in;
}

// The transmit, receive and status pumps need bulk IN, bulk OUT and interrupt IN, in this order.
bool NC_HasSerialPipes(const USBD_INTERFACE_INFORMATION* info) {
  return info->NumberOfPipes >= NC_PIPE_COUNT && NC_HasPipe(info, NC_PIPE_RECEIVE, UsbdPipeTypeBulk, true) &&
         NC_HasPipe(info, NC_PIPE_TRANSMIT, UsbdPipeTypeBulk, false) &&
         NC_HasPipe(info, NC_PIPE_STATUS, UsbdPipeTypeInterrupt, true);
}

// A configuration descriptor is usable when the whole of it, as its own length says, arrived.
bool NC_IsWholeConfiguration(const USB_CONFIGURATION_DESCRIPTOR* cd, ULONG transferred) {
  return transferred >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && cd->bLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
         cd->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
         cd->wTotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && transferred >= cd->wTotalLength;
}

void NC_FreeInterfaceCopy(PDEVICE_EXTENSION deviceExtension) {
  if (deviceExtension->Interface == nullptr) return;
  ExFreePool(deviceExtension->Interface);
  deviceExtension->Interface = nullptr;
}

}  // namespace

NTSTATUS NC_StartDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  KrlPrint("enter NC_StartDevice\n");
  deviceExtension->NeedCleanup = 1;

  NTSTATUS ntStatus = STATUS_NO_MEMORY;
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), KRLUSB_POOL_TAG));
  if (urb != nullptr) {
    auto* descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), KRLUSB_POOL_TAG));
    if (descriptor != nullptr) {
      NC_BuildGetDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
      ntStatus = NC_CallUSBD(DeviceObject, urb);
      const ULONG transferred = urb->UrbControlDescriptorRequest.TransferBufferLength;
      // A short answer leaves part of the buffer unwritten: it is no descriptor.
      if (NT_SUCCESS(ntStatus) && transferred < sizeof(USB_DEVICE_DESCRIPTOR)) {
        KrlPrint("Device Descriptor too short: %d bytes\n", transferred);
        ntStatus = STATUS_UNSUCCESSFUL;
      }
      if (deviceExtension->DeviceDescriptor != nullptr) ExFreePool(deviceExtension->DeviceDescriptor);
      if (NT_SUCCESS(ntStatus)) {
        KrlPrint("Device Descriptor = %x, len %x\n", descriptor, transferred);
        NC_LogDeviceDescriptor(descriptor);
        deviceExtension->DeviceDescriptor = descriptor;
        deviceExtension->Stopped = 0;
      } else {
        ExFreePool(descriptor);
        deviceExtension->DeviceDescriptor = nullptr;
      }
    }
    ExFreePool(urb);
  }
  if (NT_SUCCESS(ntStatus)) ntStatus = NC_ConfigureDevice(DeviceObject);
  KrlPrint("exit NC_StartDevice (%x)\n", ntStatus);
  return ntStatus;
}

NTSTATUS NC_ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), KRLUSB_POOL_TAG));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  ULONG siz = sizeof(USB_CONFIGURATION_DESCRIPTOR) + 16;
  NTSTATUS ntStatus;
  ULONG transferred;
  for (;;) {
    deviceExtension->UsbConfigurationDescriptor =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, siz, KRLUSB_POOL_TAG));
    if (deviceExtension->UsbConfigurationDescriptor == nullptr) {
      ExFreePool(urb);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    NC_BuildGetDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, deviceExtension->UsbConfigurationDescriptor,
                                 siz);
    ntStatus = NC_CallUSBD(DeviceObject, urb);
    transferred = urb->UrbControlDescriptorRequest.TransferBufferLength;
    // The total length is only there to read when the descriptor's first nine bytes arrived.
    const bool headerArrived = NT_SUCCESS(ntStatus) && transferred >= sizeof(USB_CONFIGURATION_DESCRIPTOR);
    const ULONG totalLength = headerArrived ? deviceExtension->UsbConfigurationDescriptor->wTotalLength : 0;
    if (NT_SUCCESS(ntStatus)) {
      KrlPrint(
          "Configuration Descriptor is at %x, bytes txferred: %d\n                             "
          "Configuration Descriptor Actual Length: %d\n",
          deviceExtension->UsbConfigurationDescriptor, transferred, totalLength);
    }
    if (!headerArrived || totalLength <= siz) break;
    siz = totalLength + 16;
    ExFreePool(deviceExtension->UsbConfigurationDescriptor);
    deviceExtension->UsbConfigurationDescriptor = nullptr;
  }

  if (!NT_SUCCESS(ntStatus)) {
    KrlPrint("Configuration Descriptor not read (%x)\n", ntStatus);
  } else if (!NC_IsWholeConfiguration(deviceExtension->UsbConfigurationDescriptor, transferred)) {
    KrlPrint("Configuration Descriptor malformed: %d bytes received\n", transferred);
    ntStatus = STATUS_UNSUCCESSFUL;
  } else {
    ntStatus = NC_SelectInterfaces(DeviceObject, deviceExtension->UsbConfigurationDescriptor, nullptr);
  }
  ExFreePool(urb);
  ExFreePool(deviceExtension->UsbConfigurationDescriptor);
  deviceExtension->UsbConfigurationDescriptor = nullptr;
  return ntStatus;
}

NTSTATUS NC_SelectInterfaces(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                             PUSBD_INTERFACE_INFORMATION /*Interface*/) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  KrlPrint("+ DeviceObject:%8.8x\n", DeviceObject);
  const ULONG entries = ConfigurationDescriptor->bNumInterfaces + 1U;
  auto* interfaceList = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      ExAllocatePoolWithTag(PagedPool, sizeof(USBD_INTERFACE_LIST_ENTRY) * entries, KRLUSB_POOL_TAG));
  if (interfaceList == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
  if (interfaceDescriptor == nullptr) {
    KrlPrint("Error, return STATUS_INSUFFICIENT_RESOURCES\n");
    ExFreePool(interfaceList);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Only the first interface is ever selected, however many the configuration has.
  interfaceList[0] = {interfaceDescriptor, nullptr};
  interfaceList[1] = {nullptr, nullptr};

  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, interfaceList);
  if (urb == nullptr) {
    KrlPrint(
        "BulkUsb_SelectInterface() USBD_CreateConfigurationRequest() failed\n  returning "
        "STATUS_INSUFFICIENT_RESOURCES\n");
    ExFreePool(interfaceList);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PUSBD_INTERFACE_INFORMATION interfaceInfo = interfaceList[0].Interface;
  for (ULONG i = 0; i < interfaceInfo->NumberOfPipes; i++) {
    interfaceInfo->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    interfaceInfo->Pipes[i].PipeFlags = 0;
  }
  // The request keeps the length the library computed for the interface it holds: a fixed length
  // for three pipes would claim room that an interface with fewer pipes does not have.
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  NTSTATUS ntStatus = NC_CallUSBD(DeviceObject, urb);
  deviceExtension->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
  if (NT_SUCCESS(ntStatus)) {
    // The pipe handles of an earlier start are no longer valid.
    NC_FreeInterfaceCopy(deviceExtension);
    if (!NC_HasSerialPipes(interfaceInfo)) {
      KrlPrint("Interface lacks the bulk IN, bulk OUT and interrupt IN pipes\n");
      ntStatus = STATUS_UNSUCCESSFUL;
    } else {
      deviceExtension->Interface = static_cast<PUSBD_INTERFACE_INFORMATION>(
          ExAllocatePoolWithTag(NonPagedPool, interfaceInfo->Length, KRLUSB_POOL_TAG));
      if (deviceExtension->Interface == nullptr) {
        KrlPrint("No memory for the copy of the interface\n");
        ntStatus = STATUS_INSUFFICIENT_RESOURCES;
      } else {
        RtlCopyMemory(deviceExtension->Interface, interfaceInfo, interfaceInfo->Length);
        NC_LogInterface(deviceExtension->Interface);
      }
    }
  }
  ExFreePool(urb);
  ExFreePool(interfaceList);
  KrlPrint("exit NC_SelectInterfaces (%x)\n", ntStatus);
  return ntStatus;
}

NTSTATUS NC_StopDevice(PDEVICE_OBJECT DeviceObject) {
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_SELECT_CONFIGURATION), KRLUSB_POOL_TAG));
  if (urb == nullptr) return STATUS_NO_MEMORY;
  RtlZeroMemory(urb, sizeof(_URB_SELECT_CONFIGURATION));
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
  urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
  NTSTATUS ntStatus = NC_CallUSBD(DeviceObject, urb);
  KrlPrint("Device Configuration Closed status = %x usb status = %x.\n", ntStatus, urb->UrbHeader.Status);
  ExFreePool(urb);
  return STATUS_SUCCESS;
}

}  // namespace krlusb
