// The adapter's device I/O-control requests: pipe information, descriptors read now, and raw
// transfers on any pipe, for diagnostic clients that open the device object by name.
#include "serial_driver/krlusb.h"
#include "serial_driver/krlusb_log.h"

namespace krlusb {
namespace {

// The pipe index, and afterwards the byte count, occupy the buffer's first word.
constexpr ULONG NC_RAW_HEADER = sizeof(ULONG);

// `Kind` names the descriptor and `Routine` the caller in the messages; the caller is only
// reported as left once a request was sent.
ULONG NC_ReadDescriptor(PDEVICE_OBJECT DeviceObject, PVOID OutputBuffer, UCHAR Type, ULONG Length, const char* Kind,
                        const char* Routine) {
  KrlPrint("Enter %s\n", Routine);
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), KRLUSB_POOL_TAG));
  if (urb == nullptr) return 0;
  if (OutputBuffer == nullptr) {
    ExFreePool(urb);
    return 0;
  }
  NC_BuildGetDescriptorRequest(urb, Type, OutputBuffer, Length);
  NC_CallUSBD(DeviceObject, urb);
  const ULONG count = urb->UrbControlDescriptorRequest.TransferBufferLength;
  KrlPrint("%d bytes of %s descriptor received\n", count, Kind);
  ExFreePool(urb);
  KrlPrint("Leaving %s\n", Routine);
  return count;
}

void NC_SetStatus(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
}

}  // namespace

ULONG NC_GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PVOID OutputBuffer) {
  return NC_ReadDescriptor(DeviceObject, OutputBuffer, USB_DEVICE_DESCRIPTOR_TYPE, sizeof(USB_DEVICE_DESCRIPTOR), "dev",
                           "NC_GetDeviceDescriptor");
}

ULONG NC_GetConfigDescriptor(PDEVICE_OBJECT DeviceObject, PVOID OutputBuffer, ULONG Length) {
  // A control transfer's length field holds at most 16 bits.
  const ULONG length = Length > 0xFFFF ? 0xFFFF : Length;
  return NC_ReadDescriptor(DeviceObject, OutputBuffer, USB_CONFIGURATION_DESCRIPTOR_TYPE, length, "cfg",
                           "NC_GetConfigurationDescriptor");
}

NTSTATUS NC_Read_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Read) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  auto* ioBuffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

  KrlPrint("enter READ\n");
  if (ioBuffer == nullptr || inputLength == 0 || outputLength == 0) {
    KrlPrint("ERROR ioBuffer %X | inBufLen: %d | outBufLen %d\n", ioBuffer, inputLength, outputLength);
    NC_SetStatus(Irp, STATUS_NO_MEMORY, 0);
    return STATUS_NO_MEMORY;
  }
  if (inputLength < NC_RAW_HEADER || outputLength < NC_RAW_HEADER) {
    KrlPrint("ERROR no room for the pipe number | inBufLen: %d | outBufLen %d\n", inputLength, outputLength);
    NC_SetStatus(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    return STATUS_BUFFER_TOO_SMALL;
  }
  ULONG pipeNum;
  RtlCopyMemory(&pipeNum, ioBuffer, sizeof(pipeNum));
  KrlPrint("PipeNum: %d | ioBuffer %X | inBufLen: %d | outBufLen %d\n", pipeNum, ioBuffer, inputLength, outputLength);
  const PUSBD_INTERFACE_INFORMATION interfaceInfo = deviceExtension->Interface;
  if (interfaceInfo == nullptr || pipeNum >= interfaceInfo->NumberOfPipes ||
      interfaceInfo->Pipes[pipeNum].PipeHandle == nullptr) {
    KrlPrint("ERROR no pipe %d on this device\n", pipeNum);
    NC_SetStatus(Irp, STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
  }
  // A read on an OUT pipe would send whatever the buffer held beyond the pipe number to the
  // device; a write on an IN pipe would wait for data that never goes out.
  const bool pipeIn = (interfaceInfo->Pipes[pipeNum].EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
  if (pipeIn != (Read != 0)) {
    KrlPrint("ERROR pipe %d does not go that way\n", pipeNum);
    NC_SetStatus(Irp, STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
  }
  const USBD_PIPE_HANDLE pipeHandle = interfaceInfo->Pipes[pipeNum].PipeHandle;

  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), KRLUSB_POOL_TAG));
  if (urb == nullptr) {
    KrlPrint("ERROR no memory for the transfer\n");
    NC_SetStatus(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  transfer.PipeHandle = pipeHandle;
  transfer.TransferBuffer = ioBuffer + NC_RAW_HEADER;
  transfer.TransferBufferLength = (Read ? outputLength : inputLength) - NC_RAW_HEADER;
  transfer.TransferBufferMDL = nullptr;
  transfer.TransferFlags = USBD_SHORT_TRANSFER_OK;
  transfer.UrbLink = nullptr;

  Irp->IoStatus.Information = 0;
  NTSTATUS ntStatus = NC_CallUSBD(DeviceObject, urb);
  if (NT_SUCCESS(ntStatus)) {
    const ULONG transferred = transfer.TransferBufferLength;
    RtlCopyMemory(ioBuffer, &transferred, sizeof(transferred));
    if (Read) {
      KrlPrint("Sucessfully Transferred %d Bytes\n", transferred);
      Irp->IoStatus.Information = transferred + NC_RAW_HEADER;
    } else {
      Irp->IoStatus.Information = NC_RAW_HEADER;
    }
    ASSERT(Irp->IoStatus.Information <= outputLength);
  }
  Irp->IoStatus.Status = ntStatus;
  ExFreePool(urb);
  KrlPrint("exit READ\n");
  return ntStatus;
}

NTSTATUS NC_ProcessIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PVOID ioBuffer = Irp->AssociatedIrp.SystemBuffer;
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const ULONG ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;

  KrlPrint("IRP_MJ_DEVICE_CONTROL\n");
  NC_SetStatus(Irp, STATUS_SUCCESS, 0);
  if (!NC_IoEnter(deviceExtension)) {
    NC_SetStatus(Irp, STATUS_DELETE_PENDING, 0);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
  }

  switch (ioControlCode) {
    case IOCTL_NC_GET_PIPE_INFO:
      if (deviceExtension->Interface != nullptr) {
        const USHORT length = deviceExtension->Interface->Length;
        if (outputLength < length) {
          KrlPrint("Pipe info needs %d bytes, buffer has %d\n", length, outputLength);
          NC_SetStatus(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        } else {
          RtlCopyMemory(ioBuffer, deviceExtension->Interface, length);
          Irp->IoStatus.Information = length;
        }
      }
      break;
    case IOCTL_NC_GET_DEVICE_DESCRIPTOR:
      if (outputLength < sizeof(USB_DEVICE_DESCRIPTOR)) {
        KrlPrint("Device descriptor needs %d bytes, buffer has %d\n", sizeof(USB_DEVICE_DESCRIPTOR), outputLength);
        NC_SetStatus(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      } else {
        const ULONG count = NC_GetDeviceDescriptor(DeviceObject, ioBuffer);
        KrlPrint("Get Device Descriptor returned %d bytes\n", count);
        Irp->IoStatus.Information = count;
      }
      break;
    case IOCTL_NC_GET_CONFIG_DESCRIPTOR: {
      const ULONG count = NC_GetConfigDescriptor(DeviceObject, ioBuffer, outputLength);
      KrlPrint("Get Config Descriptor returned %d bytes\n", count);
      Irp->IoStatus.Information = count;
      break;
    }
    case IOCTL_NC_BULK_OR_INTERRUPT_WRITE:
    case IOCTL_NC_BULK_OR_INTERRUPT_READ: {
      const BOOLEAN read = ioControlCode == IOCTL_NC_BULK_OR_INTERRUPT_READ ? TRUE : FALSE;
      const char* name = read ? "IOCTL_NC_BULK_OR_INTERRUPT_READ" : "IOCTL_NC_BULK_OR_INTERRUPT_WRITE";
      if (ioBuffer == nullptr) {
        KrlPrint("%s got INVALID buffer(s)!\n", name);
        KrlPrint("ioBuffer: %x | inputBufferLength: %d | outputBufferLength: %d\n", ioBuffer, inputLength,
                 outputLength);
      } else {
        KrlPrint("%s\n", name);
        NC_Read_Write(DeviceObject, Irp, read);
      }
      break;
    }
    default:
      NC_SetStatus(Irp, STATUS_INVALID_PARAMETER, 0);
      break;
  }

  const NTSTATUS ntStatus = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  NC_IoLeave(deviceExtension);
  return ntStatus;
}

}  // namespace krlusb
