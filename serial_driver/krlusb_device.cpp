// The adapter's device object: creation and attachment, withdrawal at stop and removal, and the
// bookkeeping of requests that use it from other threads.
#include <cstdio>

#include "serial_driver/krlusb.h"
#include "serial_driver/krlusb_log.h"

namespace krlusb {

NTSTATUS NC_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  KrlPrint("Enter NC_PnPAddDevice\n");
  Instance++;
  PlugIn = 1;
  PDEVICE_OBJECT deviceObject = nullptr;
  NTSTATUS ntStatus = NC_CreateDeviceObject(DriverObject, &deviceObject, Instance);
  if (!NT_SUCCESS(ntStatus)) {
    KrlPrint("Exit NC_PnPAddDevice (%x)\n", ntStatus);
    return ntStatus;
  }
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  PDEVICE_EXTENSION deviceExtension = NC_Extension(deviceObject);
  deviceExtension->PhysicalDeviceObject = PhysicalDeviceObject;
  deviceExtension->StackDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
  ASSERT(deviceExtension->StackDeviceObject != nullptr);
  if (deviceExtension->StackDeviceObject == nullptr) {
    // Without a stack below there is nobody to send a request to: give the adapter up.
    IoDeleteDevice(deviceObject);
    ntStatus = STATUS_NO_SUCH_DEVICE;
  } else {
    KeInitializeEvent(&deviceExtension->IoIdleEvent, NotificationEvent, TRUE);
    // A pump signals its event when a transfer fails, which may come before any cancellation.
    KeInitializeEvent(&deviceExtension->InIrpInfo.CancelEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->OutIrpInfo.CancelEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->IntIrpInfo.CancelEvent, NotificationEvent, FALSE);
  }
  KrlPrint("Exit NC_PnPAddDevice (%x)\n", ntStatus);
  return ntStatus;
}

NTSTATUS NC_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject, ULONG DeviceInstance) {
  char dosName[100];
  char deviceName[100];
  std::snprintf(dosName, sizeof(dosName), "\\DosDevices\\COMPORT%3.3d", static_cast<int>(DeviceInstance));
  std::snprintf(deviceName, sizeof(deviceName), "\\Device\\COMPORT%3.3d", static_cast<int>(DeviceInstance));

  ANSI_STRING ansi;
  UNICODE_STRING dosNameUnicode;
  UNICODE_STRING deviceNameUnicode;
  RtlInitAnsiString(&ansi, dosName);
  NTSTATUS ntStatus = RtlAnsiStringToUnicodeString(&dosNameUnicode, &ansi, TRUE);
  if (!NT_SUCCESS(ntStatus)) {
    KrlPrint("Failed to translate %s to Unicode\n", dosName);
    return ntStatus;
  }
  RtlInitAnsiString(&ansi, deviceName);
  ntStatus = RtlAnsiStringToUnicodeString(&deviceNameUnicode, &ansi, TRUE);
  if (!NT_SUCCESS(ntStatus)) {
    RtlFreeUnicodeString(&dosNameUnicode);
    KrlPrint("Failed to translate %s to Unicode\n", deviceName);
    return ntStatus;
  }

  KrlPrint("Calling IoCreateDevice() for %s\n", deviceName);
  ntStatus = IoCreateDevice(DriverObject, sizeof(_DEVICE_EXTENSION), &deviceNameUnicode, FILE_DEVICE_UNKNOWN, 0,
                            FALSE, DeviceObject);
  if (NT_SUCCESS(ntStatus)) {
    RtlZeroMemory((*DeviceObject)->DeviceExtension, sizeof(_DEVICE_EXTENSION));
  } else {
    KrlPrint("Failed to create device object for %s\n", deviceName);
  }
  RtlFreeUnicodeString(&dosNameUnicode);
  RtlFreeUnicodeString(&deviceNameUnicode);
  return ntStatus;
}

void NC_Cleanup(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  if (deviceExtension->NeedCleanup != 1) return;
  deviceExtension->NeedCleanup = 0;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, deviceExtension->DeviceLinkNameBuffer);
  IoDeleteSymbolicLink(&linkName);
  if (!DeleteUsbComPort(DeviceObject)) KrlPrint("Delete USB ComPort error ...\n");
  // An adapter that never got its number must not stay behind in the queue.
  NC_UnqueueWaitingDevice(DeviceObject);
}

NTSTATUS NC_RemoveDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  PlugIn = 0;
  if (deviceExtension->DeviceDescriptor != nullptr) {
    ExFreePool(deviceExtension->DeviceDescriptor);
    deviceExtension->DeviceDescriptor = nullptr;
  }
  if (deviceExtension->Interface != nullptr) {
    ExFreePool(deviceExtension->Interface);
    deviceExtension->Interface = nullptr;
  }
  return STATUS_SUCCESS;
}

// ---- requests from other threads -----------------------------------------------------------------
// One processor and no preemption between these short updates: no lock is needed, as everywhere
// in the driver.

BOOLEAN NC_IoEnter(PDEVICE_EXTENSION Extension) {
  if (Extension->RemovePending) return FALSE;
  if (Extension->IoCount++ == 0) KeClearEvent(&Extension->IoIdleEvent);
  return TRUE;
}

void NC_IoLeave(PDEVICE_EXTENSION Extension) {
  if (--Extension->IoCount == 0) KeSetEvent(&Extension->IoIdleEvent, IO_NO_INCREMENT, FALSE);
}

void NC_WithdrawIo(PDEVICE_EXTENSION Extension) {
  Extension->RemovePending = TRUE;
  if (Extension->IoCount == 0) return;
  KrlPrint("Withdrawing %d outstanding requests\n", Extension->IoCount);
  // At dispatch level no completion can slip in between finding a request and cancelling it.
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  for (_USBD_CALL* call = Extension->pUsbdCalls; call != nullptr; call = call->Next) {
    if (call->Irp != nullptr) IoCancelIrp(call->Irp);
  }
  KeLowerIrql(oldIrql);
  KeWaitForSingleObject(&Extension->IoIdleEvent, Executive, KernelMode, FALSE, nullptr);
  KrlPrint("Outstanding requests withdrawn\n");
}

}  // namespace krlusb
