// IRPs: allocation, passing down, completion with its routines, cancellation.
#include <algorithm>
#include <cstring>

#include "platform/kernel/kernel_impl.h"

namespace kernel {
namespace {

PIO_STACK_LOCATION locations(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

void reset(PIRP irp, USHORT size, CCHAR stack_size) {
  std::memset(static_cast<void*>(irp), 0, size);
  irp->Type = kIrpType;
  irp->Size = size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CCHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation = locations(irp) + stack_size;
}

IrpRecord* record_of(Kernel::Impl& k, const IRP* irp) {
  auto it = k.irps.find(irp);
  return it == k.irps.end() ? nullptr : &it->second;
}

bool should_invoke(const IO_STACK_LOCATION& location, const IRP& irp) {
  if (location.CompletionRoutine == nullptr) return false;
  const NTSTATUS status = irp.IoStatus.Status;
  return (NT_SUCCESS(status) && (location.Control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (location.Control & SL_INVOKE_ON_ERROR)) ||
         (irp.Cancel && (location.Control & SL_INVOKE_ON_CANCEL));
}

// The end of a threaded request: the caller's status block, output and event, then the IRP goes.
void finish_threaded(Kernel::Impl& k, PIRP irp, IrpRecord& record) {
  if (record.user_output != nullptr && NT_SUCCESS(irp->IoStatus.Status)) {
    std::size_t n = std::min<std::size_t>(irp->IoStatus.Information, record.output_length);
    std::memcpy(record.user_output, irp->AssociatedIrp.SystemBuffer, n);
  }
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  k.free_irp(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

NTSTATUS signal_completion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

PIRP Kernel::Impl::allocate_irp(CCHAR stack_size, bool may_fail) {
  const USHORT size = IoSizeOfIrp(stack_size);
  auto* irp = static_cast<PIRP>(pool_allocate(NonPagedPool, size, kIrpTag, may_fail));
  if (irp == nullptr) return nullptr;
  reset(irp, size, stack_size);
  IrpRecord& record = irps[irp];
  record = IrpRecord{};
  record.owner = current_owner();
  return irp;
}

void Kernel::Impl::release_irp_refs(IrpRecord& record, std::optional<int> location) {
  auto& refs = record.refs;
  for (auto it = refs.begin(); it != refs.end();) {
    if (location && it->first != *location) {
      ++it;
      continue;
    }
    PDEVICE_OBJECT d = it->second;
    it = refs.erase(it);
    if (DeviceRecord* r = device(d)) {
      --r->irp_refs;
      release_device_if_unused(*r);
    }
  }
}

void Kernel::Impl::free_irp(PIRP irp) {
  auto it = irps.find(irp);
  if (it != irps.end()) {
    release_irp_refs(it->second, std::nullopt);
    if (it->second.owns_system_buffer && irp->AssociatedIrp.SystemBuffer != nullptr)
      pool_free(irp->AssociatedIrp.SystemBuffer);
    irps.erase(it);
  }
  pool_free(irp);
}

IO_STATUS_BLOCK Kernel::Impl::send_and_wait(PDEVICE_OBJECT device, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, &signal_completion, &done, TRUE, TRUE, TRUE);
  IofCallDriver(device, irp);
  wait_for_event(&done, std::nullopt);
  IO_STATUS_BLOCK status = irp->IoStatus;
  free_irp(irp);
  return status;
}

}  // namespace kernel

using kernel::kernel_state;

USHORT IoSizeOfIrp(CCHAR StackSize) {
  return static_cast<USHORT>(sizeof(IRP) + static_cast<std::size_t>(StackSize) * sizeof(IO_STACK_LOCATION));
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  auto& k = kernel_state();
  k.scheduler.interrupt_window();
  return k.allocate_irp(StackSize, true);
}

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  auto& k = kernel_state();
  if (kernel::IrpRecord* record = kernel::record_of(k, Irp)) k.release_irp_refs(*record, std::nullopt);
  kernel::reset(Irp, PacketSize, StackSize);
}

void IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  auto& k = kernel_state();
  kernel::IrpRecord* record = kernel::record_of(k, Irp);
  if (record != nullptr) {
    if (record->in_flight) {
      k.verifier.report(kernel::Check::IrpFreedWhileOwned, "IoReuseIrp while a lower driver holds the IRP");
      return;
    }
    k.release_irp_refs(*record, std::nullopt);
  }
  kernel::reset(Irp, Irp->Size, Irp->StackCount);
  Irp->IoStatus.Status = Status;
}

void IoFreeIrp(PIRP Irp) {
  auto& k = kernel_state();
  kernel::IrpRecord* record = kernel::record_of(k, Irp);
  if (record == nullptr) {
    k.verifier.report(kernel::Check::BadPoolFree, "IoFreeIrp of an address that is not an IRP");
    return;
  }
  if (record->in_flight) {
    k.verifier.report(kernel::Check::IrpFreedWhileOwned, "IoFreeIrp while a lower driver holds the IRP");
    return;
  }
  k.free_irp(Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  auto& k = kernel_state();
  if (!k.passive_only("IoBuildDeviceIoControlRequest")) return nullptr;
  PIRP irp = k.allocate_irp(DeviceObject->StackSize, true);
  if (irp == nullptr) return nullptr;
  kernel::IrpRecord& record = k.irps[irp];
  record.threaded = true;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

  const ULONG method = IoControlCode & 3;
  if (method == METHOD_NEITHER) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
    return irp;
  }
  const ULONG system_length = method == METHOD_BUFFERED ? std::max(InputBufferLength, OutputBufferLength)
                                                        : InputBufferLength;
  if (system_length != 0) {
    void* buffer = k.pool_allocate(NonPagedPool, system_length, kernel::kIrpTag, true);
    if (buffer == nullptr) {
      k.free_irp(irp);
      return nullptr;
    }
    if (InputBuffer != nullptr && InputBufferLength != 0) std::memcpy(buffer, InputBuffer, InputBufferLength);
    irp->AssociatedIrp.SystemBuffer = buffer;
    record.owns_system_buffer = true;
  }
  if (method == METHOD_BUFFERED) {
    if (OutputBuffer != nullptr && OutputBufferLength != 0) {
      record.user_output = OutputBuffer;
      record.output_length = OutputBufferLength;
    }
  } else if (OutputBuffer != nullptr && OutputBufferLength != 0) {
    record.mdl = std::make_unique<MDL>(MDL{nullptr, OutputBuffer, OutputBufferLength});
    irp->MdlAddress = record.mdl.get();
  }
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto& k = kernel_state();
  k.scheduler.interrupt_window();
  if (Irp->CurrentLocation <= 1) {
    k.verifier.report(kernel::Check::IrpNoStackLocation,
                      "IofCallDriver with no stack location left (StackCount " + std::to_string(Irp->StackCount) + ")");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  location->DeviceObject = DeviceObject;
  kernel::DeviceRecord* device = k.device(DeviceObject);
  if (kernel::IrpRecord* record = kernel::record_of(k, Irp)) {
    record->in_flight = true;
    const int index = Irp->CurrentLocation;
    k.release_irp_refs(*record, index);  // a skipped location is reused by the device below
    if (device != nullptr) {
      record->refs.emplace_back(index, DeviceObject);
      ++device->irp_refs;
    }
  }
  const UCHAR major = location->MajorFunction;
  PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[major]
                                                               : nullptr;
  if (dispatch == nullptr) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (device != nullptr) ++device->in_dispatch;
  NTSTATUS status;
  {
    kernel::OwnerScope owner(DeviceObject->DriverObject);
    status = dispatch(DeviceObject, Irp);
  }
  if ((device = k.device(DeviceObject)) != nullptr) {
    --device->in_dispatch;
    k.release_device_if_unused(*device);
  }
  return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR) {
  auto& k = kernel_state();
  kernel::IrpRecord* record = kernel::record_of(k, Irp);
  if (record == nullptr || Irp->CurrentLocation > Irp->StackCount) {
    k.verifier.report(kernel::Check::IrpCompletedTwice,
                      record == nullptr ? "IofCompleteRequest of an IRP that is no longer allocated"
                                        : "IofCompleteRequest of an IRP that no driver holds");
    return;
  }
  record->in_flight = false;
  Irp->CancelRoutine = nullptr;
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const int index = Irp->CurrentLocation;
    IoSkipCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    k.release_irp_refs(*record, index);
    const bool at_top = Irp->CurrentLocation > Irp->StackCount;
    if (kernel::should_invoke(*location, *Irp)) {
      PDEVICE_OBJECT upper = at_top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
      PVOID context = location->Context;
      std::memset(static_cast<void*>(location), 0, sizeof(*location));
      NTSTATUS status;
      {
        kernel::OwnerScope owner(upper != nullptr ? upper->DriverObject : record->owner);
        status = routine(upper, Irp, context);
      }
      if (status == STATUS_MORE_PROCESSING_REQUIRED) return;
      record = kernel::record_of(k, Irp);
      if (record == nullptr) return;  // freed by its routine without stopping the completion
    } else {
      std::memset(static_cast<void*>(location), 0, sizeof(*location));
      if (Irp->PendingReturned && !at_top) IoMarkIrpPending(Irp);
    }
  }
  if (record->threaded) kernel::finish_threaded(k, Irp, *record);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  kernel::OwnerScope owner(device != nullptr ? device->DriverObject : kernel::current_owner());
  routine(device, Irp);  // releases the cancel spin lock
  return TRUE;
}

void IoAcquireCancelSpinLock(KIRQL* Irql) { KeRaiseIrql(DISPATCH_LEVEL, Irql); }
void IoReleaseCancelSpinLock(KIRQL Irql) { KeLowerIrql(Irql); }
