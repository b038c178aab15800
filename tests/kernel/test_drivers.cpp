#include "tests/kernel/test_drivers.h"

#include <algorithm>
#include <cstdio>

namespace testdrv {
namespace {

std::string hex(NTSTATUS s) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(s));
  return text;
}

UNICODE_STRING unicode(const char16_t* text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

bool take_held(PIRP irp) {
  auto& held = state().held;
  auto it = std::find(held.begin(), held.end(), irp);
  if (it == held.end()) return false;
  held.erase(it);
  return true;
}

void lower_cancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (!take_held(irp)) return;
  state().trace.push_back("lower:cancelled");
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void hold(PIRP irp) {
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, &lower_cancel);
  state().held.push_back(irp);
}

NTSTATUS lower_io(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  state().trace.push_back("lower:dispatch");
  if (code == kFail) {
    irp->IoStatus.Status = STATUS_IO_DEVICE_ERROR;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_IO_DEVICE_ERROR;
  }
  hold(irp);
  if (code == kEcho) {
    sim::Scheduler& s = sim::Scheduler::current();
    s.at(s.now() + sim::milliseconds(1), [irp] {
      if (!take_held(irp)) return;
      IoSetCancelRoutine(irp, nullptr);
      PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
      const ULONG n = location->Parameters.DeviceIoControl.InputBufferLength;
      auto* bytes = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      std::reverse(bytes, bytes + n);
      state().trace.push_back("lower:complete");
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = n;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
  }
  return STATUS_PENDING;
}

NTSTATUS complete_with(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS lower_pnp(PDEVICE_OBJECT, PIRP irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  state().trace.push_back("lower:pnp " + std::to_string(minor));
  return complete_with(irp, minor == IRP_MN_START_DEVICE ? STATUS_SUCCESS : irp->IoStatus.Status);
}

NTSTATUS lower_power(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  state().trace.push_back("lower:power " + std::to_string(stack->MinorFunction) + " D" +
                          std::to_string(stack->Parameters.Power.State.DeviceState - 1));
  PoStartNextPowerIrp(irp);
  return complete_with(irp, STATUS_SUCCESS);
}

NTSTATUS succeed(PDEVICE_OBJECT, PIRP irp) { return complete_with(irp, STATUS_SUCCESS); }

void lower_unload(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS upper_done(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* ext = static_cast<UpperExtension*>(context);
  state().trace.push_back(std::string("upper:done pending=") + (irp->PendingReturned ? "1" : "0") +
                          " status=" + hex(irp->IoStatus.Status) + (device == ext->self ? "" : " WRONG DEVICE"));
  if (state().in_upper_completion) state().in_upper_completion();
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  if (!state().upper_stops) return STATUS_SUCCESS;
  state().stopped = irp;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS upper_io(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<UpperExtension*>(device->DeviceExtension);
  state().trace.push_back("upper:dispatch");
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, &upper_done, ext, TRUE, TRUE, TRUE);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS upper_pnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<UpperExtension*>(device->DeviceExtension);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  state().trace.push_back("upper:pnp begin " + std::to_string(minor));
  if (state().slow_pnp) {
    LARGE_INTEGER pause;
    pause.QuadPart = -sim::milliseconds(10);
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
  }
  state().trace.push_back("upper:pnp end " + std::to_string(minor));
  PDEVICE_OBJECT lower = ext->lower;
  if (minor == IRP_MN_REMOVE_DEVICE) {
    UNICODE_STRING link = unicode(u"\\DosDevices\\UPPER");
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS upper_power(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<UpperExtension*>(device->DeviceExtension);
  state().trace.push_back("upper:power " + std::to_string(IoGetCurrentIrpStackLocation(irp)->MinorFunction));
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext->lower, irp);
}

NTSTATUS upper_add(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING name = unicode(u"\\Device\\Upper");
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(UpperExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<UpperExtension*>(device->DeviceExtension);
  ext->self = device;
  ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  UNICODE_STRING link = unicode(u"\\DosDevices\\UPPER");
  return IoCreateSymbolicLink(&link, &name);
}

}  // namespace

State& state() {
  static State s;
  return s;
}

NTSTATUS lower_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = &succeed;
  driver->MajorFunction[IRP_MJ_CLOSE] = &succeed;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &lower_io;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &lower_io;
  driver->MajorFunction[IRP_MJ_PNP] = &lower_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = &lower_power;
  driver->DriverUnload = &lower_unload;
  UNICODE_STRING name = unicode(u"\\Device\\LowerPdo");
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
  if (NT_SUCCESS(status)) pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

NTSTATUS upper_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = &succeed;
  driver->MajorFunction[IRP_MJ_CLOSE] = &succeed;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &upper_io;
  driver->MajorFunction[IRP_MJ_PNP] = &upper_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = &upper_power;
  driver->DriverExtension->AddDevice = &upper_add;
  return STATUS_SUCCESS;
}

}  // namespace testdrv
