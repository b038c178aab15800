// Driver entry and unload, create and close, and the driver's globals.
#include "serial_driver/krlusb.h"
#include "serial_driver/krlusb_log.h"
#include "serial_driver/vxdif.h"

namespace krlusb {

UCHAR PlugIn = 0;
ULONG Instance = 0;
PDEVICE_OBJECT gpDeviceObject[NC_MAX_WAITING] = {};
UCHAR gcDeviceCount = 0;
UCHAR gcCommCount = 0;

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING /*RegistryPath*/) {
  KrlPrint("Enter DriverEntry (built %s %s)\n", __DATE__, __TIME__);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = NC_Create;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = NC_Create;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = NC_ProcessIOCTL;
  DriverObject->MajorFunction[IRP_MJ_PNP] = NC_Dispatch;
  DriverObject->MajorFunction[IRP_MJ_POWER] = NC_Dispatch;
  DriverObject->DriverUnload = NC_Unload;
  DriverObject->DriverExtension->AddDevice = NC_PnPAddDevice;
  KeInitializeEvent(&NC_QueuedCommandsDone, NotificationEvent, TRUE);
  KrlPrint("Exit DriverEntry\n");
  return STATUS_SUCCESS;
}

// Device objects are deleted by their removal; what is left is the device list's head node.
void NC_Unload(PDRIVER_OBJECT /*DriverObject*/) {
  KrlPrint("Enter NC_Unload\n");
  // A request still queued to the worker thread would run code that is gone.
  NC_WaitForQueuedCommands();
  if (pUsbCom != nullptr) {
    ExFreePool(pUsbCom);
    pUsbCom = nullptr;
  }
  KrlPrint("Exit NC_Unload\n");
}

NTSTATUS NC_Create(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

void KRLUSB_ResetImage() {
  PlugIn = 0;
  Instance = 0;
  for (PDEVICE_OBJECT& entry : gpDeviceObject) entry = nullptr;
  gcDeviceCount = 0;
  gcCommCount = 0;
  pUsbCom = nullptr;
  DUVODO_DevNode = 0;
  DUVODO_Child = 0;
  DUVODO_Sibling = 0;
  DUVODO_Parent = 0;
  DUVODO_Root = 0;
  RtlZeroMemory(DUVODO_RegBuffer, sizeof(DUVODO_RegBuffer));
  DUVODO_RegLength = 0;
  DUVODO_Status = 0;
  DUVODO_Problem = 0;
  NC_ResetPortImage();
}

}  // namespace krlusb
