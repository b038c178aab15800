// Vendor requests on the adapter's default control pipe: they set the UART's divisor, line and
// modem control and read its modem status.  A request made at dispatch level cannot wait for the
// adapter, so it goes to a system worker thread.
#include "serial_driver/krlusb_log.h"
#include "serial_driver/vxdif.h"

namespace krlusb {

LONG NC_QueuedCommands = 0;
KEVENT NC_QueuedCommandsDone;

namespace {

using VendorRequest = _URB_CONTROL_VENDOR_OR_CLASS_REQUEST;

// The data stage comes first in the request's block; the URB behind it starts at a boundary its
// pointer fields can live on.
constexpr SIZE_T USBKRL_UrbOffset(ULONG DataLength) {
  return (DataLength + alignof(VendorRequest) - 1) / alignof(VendorRequest) * alignof(VendorRequest);
}

// The adapter a request for this port goes to, or null when the port's own adapter is gone:
// no port, a port that its adapter was withdrawn from, or an adapter whose removal is under way.
// Other adapters coming and going do not matter.
PDEVICE_OBJECT USBKRL_AdapterOf(PVOID DeviceContext) {
  auto* pOpd = static_cast<POURPORTDATA>(DeviceContext);
  if (pOpd == nullptr || pOpd->m_pDeviceObject == nullptr) return nullptr;
  if (NC_Extension(pOpd->m_pDeviceObject)->RemovePending) return nullptr;
  return pOpd->m_pDeviceObject;
}

}  // namespace

NTSTATUS USBKRL_ControlVendorCommandWorker(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index,
                                           PVOID Buffer, PULONG BufferLength, UCHAR GetData) {
  const ULONG length = BufferLength != nullptr ? *BufferLength : 0;
  KrlPrint("enter USBKRL_ControlVendorCommand\n");
  PDEVICE_OBJECT deviceObject = USBKRL_AdapterOf(DeviceContext);
  if (deviceObject == nullptr) {
    KrlPrint("The device was plug out ...\n");
    return STATUS_DEVICE_NOT_CONNECTED;
  }

  const SIZE_T urbOffset = USBKRL_UrbOffset(length);
  auto* block = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPool, urbOffset + sizeof(VendorRequest), KRLUSB_POOL_TAG));
  if (block == nullptr) {
    KrlPrint("USBKRL_ControlVendorCommand error...");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KrlPrint("enter USBKRL_ControlVendorCommand req %x val %x index%x\n", Request, Value, Index);

  PUCHAR dataStage = length != 0 ? block : nullptr;
  if (dataStage != nullptr && !GetData) RtlCopyMemory(dataStage, Buffer, length);

  auto urb = reinterpret_cast<PURB>(block + urbOffset);
  RtlZeroMemory(urb, sizeof(VendorRequest));
  VendorRequest& request = urb->UrbControlVendorClassRequest;
  request.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  request.Hdr.Length = sizeof(VendorRequest);
  request.TransferBufferLength = length;
  request.TransferBuffer = dataStage;
  request.TransferBufferMDL = nullptr;
  request.RequestTypeReservedBits = 0;
  request.Request = Request;
  request.Value = Value;
  request.Index = Index;
  request.TransferFlags = GetData ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
  request.UrbLink = nullptr;
  KrlPrint("BufferLength =  0x%x buffer =0x%x\n", length, dataStage);

  const NTSTATUS ntStatus = NC_CallUSBD(deviceObject, urb);
  if (NT_SUCCESS(ntStatus) && BufferLength != nullptr) {
    // The stack reports what moved; more than was asked for must not reach the caller's buffer.
    const ULONG transferred = request.TransferBufferLength < length ? request.TransferBufferLength : length;
    *BufferLength = transferred;
    KrlPrint("BufferLength =  0x%x buffer=0x%x\n", transferred, dataStage);
    if (GetData && transferred != 0) RtlCopyMemory(Buffer, dataStage, transferred);
  }
  ExFreePool(block);
  KrlPrint("exit USBKRL_ControlVendorCommand 0x%x\n", ntStatus);
  return ntStatus;
}

NTSTATUS USBKRL_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index, PVOID Buffer,
                                     PULONG BufferLength, UCHAR GetData, PUSBKRL_COMMAND_COMPLETE CommandComplete,
                                     PVOID CommandContext) {
  KrlPrint("enter    USBKRL_ControlVendorCommand2\n");
  NTSTATUS ntStatus;
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    ntStatus = USBKRL_ControlVendorCommandWorker(DeviceContext, Request, Value, Index, Buffer, BufferLength, GetData);
    if (CommandComplete != nullptr) CommandComplete(DeviceContext, CommandContext, ntStatus);
  } else {
    auto* item = static_cast<_COMMAND_WORK_ITEM*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(_COMMAND_WORK_ITEM), KRLUSB_POOL_TAG));
    if (item == nullptr) {
      ntStatus = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      item->DeviceContext = DeviceContext;
      item->Request = Request;
      item->Value = Value;
      item->Index = Index;
      item->Buffer = Buffer;
      item->BufferLength = BufferLength;
      item->GetData = GetData;
      item->CommandComplete = CommandComplete;
      item->CommandContext = CommandContext;
      ExInitializeWorkItem(&item->WorkItem, USBKRL_CommandWorkItem, item);
      if (NC_QueuedCommands++ == 0) KeClearEvent(&NC_QueuedCommandsDone);
      ExQueueWorkItem(&item->WorkItem, DelayedWorkQueue);
      ntStatus = STATUS_PENDING;
    }
  }
  KrlPrint("exit  USBKRL_ControlVendorCommand2\n");
  return ntStatus;
}

// The byte lives on this stack, so the request must not be deferred.
NTSTATUS USBKRL_SendByte(PVOID DeviceContext, UCHAR Request, UCHAR Byte) {
  ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
  ULONG length = 1;
  return USBKRL_ControlVendorCommand(DeviceContext, Request, 0, 0, &Byte, &length, 0, nullptr, nullptr);
}

// The adapter is looked up only now: it may have gone since the request was queued.
void USBKRL_CommandWorkItem(PVOID Context) {
  auto* item = static_cast<_COMMAND_WORK_ITEM*>(Context);
  const NTSTATUS ntStatus = USBKRL_ControlVendorCommandWorker(item->DeviceContext, item->Request, item->Value,
                                                              item->Index, item->Buffer, item->BufferLength,
                                                              item->GetData);
  if (item->CommandComplete != nullptr) item->CommandComplete(item->DeviceContext, item->CommandContext, ntStatus);
  ExFreePool(item);
  // Dispatch-level code queues requests too: the count changes with interrupts off.
  const ULONG_PTR flags = KeSaveFlagsAndDisableInterrupts();
  if (--NC_QueuedCommands == 0) KeSetEvent(&NC_QueuedCommandsDone, IO_NO_INCREMENT, FALSE);
  KeRestoreFlags(flags);
}

void NC_WaitForQueuedCommands() {
  if (NC_QueuedCommands == 0) return;
  KrlPrint("+ Waiting for %d queued vendor requests\n", NC_QueuedCommands);
  KeWaitForSingleObject(&NC_QueuedCommandsDone, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace krlusb
