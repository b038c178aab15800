#include "tests/serial_driver/pump_request.h"

namespace krlusb_test {
namespace {

NTSTATUS pump_request_done(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PVOID Context) {
  auto& request = *static_cast<PumpRequest*>(Context);
  request.completions++;
  request.status = Irp->IoStatus.Status;
  IoFreeIrp(Irp);
  request.info->pIrp = nullptr;
  if (!NT_SUCCESS(request.status) && request.signal_cancel_event) {
    KeSetEvent(&request.info->CancelEvent, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

void submit_pump_request(PDEVICE_OBJECT fdo, PumpRequest& request) {
  krlusb::PDEVICE_EXTENSION extension = krlusb::NC_Extension(fdo);
  PIRP irp = IoAllocateIrp(extension->StackDeviceObject->StackSize, FALSE);
  request.info->pIrp = irp;

  _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = request.info->pUrb->UrbBulkOrInterruptTransfer;
  RtlZeroMemory(&transfer, sizeof(transfer));
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.Hdr.Length = sizeof(transfer);
  transfer.PipeHandle = extension->Interface->Pipes[krlusb::NC_PIPE_RECEIVE].PipeHandle;
  transfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  transfer.TransferBuffer = request.buffer.data();
  transfer.TransferBufferLength = static_cast<ULONG>(request.buffer.size());

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = request.info->pUrb;
  IoSetCompletionRoutine(irp, pump_request_done, &request, TRUE, TRUE, TRUE);
  IofCallDriver(extension->StackDeviceObject, irp);
}

}  // namespace krlusb_test
