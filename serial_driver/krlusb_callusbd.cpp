// Synchronous USB requests: one URB down the stack, and the caller's thread waits for it.
#include "serial_driver/krlusb.h"
#include "serial_driver/krlusb_log.h"

namespace krlusb {
namespace {

// Runs when the stack completes the request, before the request is freed: from then on a
// removal must not cancel it.
NTSTATUS NC_CallUSBD_Complete(PDEVICE_OBJECT /*DeviceObject*/, PIRP /*Irp*/, PVOID Context) {
  static_cast<_USBD_CALL*>(Context)->Irp = nullptr;
  return STATUS_SUCCESS;
}

void NC_UnlinkCall(PDEVICE_EXTENSION Extension, _USBD_CALL* Call) {
  for (_USBD_CALL** link = &Extension->pUsbdCalls; *link != nullptr; link = &(*link)->Next) {
    if (*link == Call) {
      *link = Call->Next;
      return;
    }
  }
}

}  // namespace

NTSTATUS NC_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  if (!NC_IoEnter(deviceExtension)) {
    KrlPrint("USB request refused: the device is being removed\n");
    return STATUS_DELETE_PENDING;
  }
  KEVENT event;
  IO_STATUS_BLOCK ioStatus{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, deviceExtension->StackDeviceObject,
                                           nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
  if (irp == nullptr) {
    KrlPrint("NC_CallUSBD: no memory for the request\n");
    NC_IoLeave(deviceExtension);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ASSERT(irp->CurrentLocation > 1);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  _USBD_CALL call{deviceExtension->pUsbdCalls, irp};
  deviceExtension->pUsbdCalls = &call;
  IoSetCompletionRoutine(irp, NC_CallUSBD_Complete, &call, TRUE, TRUE, TRUE);

  KrlPrint("Calling USB Driver Stack\n");
  NTSTATUS ntStatus = IofCallDriver(deviceExtension->StackDeviceObject, irp);
  KrlPrint("return from IoCallDriver USBD %x\n", ntStatus);
  NTSTATUS waitStatus = STATUS_SUCCESS;
  if (ntStatus == STATUS_PENDING) {
    KrlPrint("Wait for single object\n");
    waitStatus = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    KrlPrint("Wait for single object, returned %x\n", waitStatus);
    ntStatus = ioStatus.Status;
  }
  NC_UnlinkCall(deviceExtension, &call);
  KrlPrint("URB status = %x status = %x irp status %x\n", Urb->UrbHeader.Status, waitStatus, ntStatus);
  NC_IoLeave(deviceExtension);
  return ntStatus;
}

void NC_BuildGetDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length) {
  RtlZeroMemory(Urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
  _URB_CONTROL_DESCRIPTOR_REQUEST& request = Urb->UrbControlDescriptorRequest;
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  request.TransferBufferLength = Length;
  request.TransferBuffer = Buffer;
  request.TransferBufferMDL = nullptr;
  request.UrbLink = nullptr;
  request.DescriptorType = DescriptorType;
  request.Index = 0;
  request.LanguageId = 0;
}

}  // namespace krlusb
