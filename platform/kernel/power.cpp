// The power manager's calls.
#include <utility>

#include "platform/kernel/kernel_impl.h"

namespace kernel {
namespace {

struct PowerRequest {
  PDEVICE_OBJECT device;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE done;
  PVOID context;
};

NTSTATUS power_request_done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  std::unique_ptr<PowerRequest> request(static_cast<PowerRequest*>(context));
  if (request->done != nullptr) {
    OwnerScope owner(request->device->DriverObject);
    IO_STATUS_BLOCK status = irp->IoStatus;
    request->done(request->device, request->minor, request->state, request->context, &status);
  }
  kernel_state().free_irp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace
}  // namespace kernel

using kernel::kernel_state;

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

void PoStartNextPowerIrp(PIRP) {}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  auto& k = kernel_state();
  PDEVICE_OBJECT top = k.top_of_stack(DeviceObject);
  PIRP irp;
  {
    kernel::OwnerScope kernel_owned(nullptr);  // the power manager frees it, not the requester
    irp = k.allocate_irp(top->StackSize, true);
  }
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State = PowerState;
  auto* request = new kernel::PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
  IoSetCompletionRoutine(irp, &kernel::power_request_done, request, TRUE, TRUE, TRUE);
  if (Irp != nullptr) *Irp = irp;
  IofCallDriver(top, irp);
  return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  kernel::DeviceRecord* record = kernel_state().device(DeviceObject);
  if (record == nullptr) return State;
  POWER_STATE& slot = Type == SystemPowerState ? record->system_state : record->device_state;
  return std::exchange(slot, State);
}
