// KRLUSB, the kernel-mode driver of the adapter's serial function: records, globals and routines
// shared by the driver's files, and by whoever loads the driver.
#pragma once

#include "platform/kernel/wdm.h"
#include "platform/usb/usb.h"
#include "platform/vmm/vmm.h"

namespace krlusb {

struct _OurPortData;  // the COM port object

inline constexpr ULONG KRLUSB_POOL_TAG = POOL_TAG("Wdm ");

// ---- device I/O-control codes of an adapter's device object --------------------------------------
inline constexpr ULONG IOCTL_NC_GET_PIPE_INFO = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG IOCTL_NC_GET_DEVICE_DESCRIPTOR =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG IOCTL_NC_GET_CONFIG_DESCRIPTOR =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG IOCTL_NC_BULK_OR_INTERRUPT_WRITE =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG IOCTL_NC_BULK_OR_INTERRUPT_READ =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(IOCTL_NC_GET_PIPE_INFO == 0x222000 && IOCTL_NC_BULK_OR_INTERRUPT_READ == 0x222010);

// Pipe roles in the selected interface.
inline constexpr ULONG NC_PIPE_RECEIVE = 0;   // bulk IN
inline constexpr ULONG NC_PIPE_TRANSMIT = 1;  // bulk OUT
inline constexpr ULONG NC_PIPE_STATUS = 2;    // interrupt IN
inline constexpr ULONG NC_PIPE_COUNT = 3;

// Packed decimal value meaning "the registry holds no COM number for this adapter".
inline constexpr ULONG NC_NO_COM_NUMBER = 0xFF;
// Room of the waiting queue of adapters without a COM number.
inline constexpr ULONG NC_MAX_WAITING = 128;

// ---- records -------------------------------------------------------------------------------------
// One pipe's request, its transfer block and the event its cancellation is awaited on.
struct _IRPINFO {
  PIRP pIrp;
  PURB pUrb;
  KEVENT CancelEvent;
};

// One synchronous USB request in flight through NC_CallUSBD; `Irp` is cleared when the request
// completes, so that a removal cancels only requests the stack still holds.
struct _USBD_CALL {
  _USBD_CALL* Next;
  PIRP Irp;
};

// Per adapter: the extension of its device object.
struct _DEVICE_EXTENSION {
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT StackDeviceObject;
  UCHAR Stopped;
  UCHAR NeedCleanup;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_CONFIGURATION_DESCRIPTOR UsbConfigurationDescriptor;
  ULONG MaximumTransferSize;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
  _OurPortData* pOurPortData;
  _IRPINFO InIrpInfo;
  _IRPINFO OutIrpInfo;
  _IRPINFO IntIrpInfo;
  PURB pOutUrb;
  PURB pInUrb;
  PURB pIntUrb;
  KEVENT InCancelEvent;
  KEVENT OutCancelEvent;
  KEVENT IntCancelEvent;
  WCHAR DeviceLinkNameBuffer[64];
  UCHAR pad[3];
  CHAR pPortNumber[4];
  // Requests that use the device from other threads (device I/O-control, synchronous USB
  // requests), so that a removal can wait until none is left before the object goes away.
  LONG IoCount;
  KEVENT IoIdleEvent;  // signalled while IoCount is 0
  BOOLEAN RemovePending;
  _USBD_CALL* pUsbdCalls;
};
using PDEVICE_EXTENSION = _DEVICE_EXTENSION*;

inline PDEVICE_EXTENSION NC_Extension(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// Node of the list of USB serial devices whose COM number is known.
struct _UsbComDevice {
  _UsbComDevice* Next;
  _UsbComDevice* Prev;
  PDEVICE_OBJECT pDeviceObject;
  char cpPortName[8];
};

// ---- globals -------------------------------------------------------------------------------------
extern UCHAR PlugIn;
extern ULONG Instance;
extern PDEVICE_OBJECT gpDeviceObject[NC_MAX_WAITING];
extern UCHAR gcDeviceCount;
extern UCHAR gcCommCount;
extern _UsbComDevice* pUsbCom;

// Working values of the registry lookup.
extern DEVNODE DUVODO_DevNode;
extern DEVNODE DUVODO_Child;
extern DEVNODE DUVODO_Sibling;
extern DEVNODE DUVODO_Parent;
extern DEVNODE DUVODO_Root;
extern char DUVODO_RegBuffer[512];
extern ULONG DUVODO_RegLength;
extern ULONG DUVODO_Status;
extern ULONG DUVODO_Problem;

// Puts every global of the driver back to its load-time value, as loading the image afresh does.
void KRLUSB_ResetImage();

// ---- driver entry, dispatch and device objects ---------------------------------------------------
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void NC_Unload(PDRIVER_OBJECT DriverObject);
NTSTATUS NC_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS NC_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject, ULONG Instance);
NTSTATUS NC_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NC_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void NC_Cleanup(PDEVICE_OBJECT DeviceObject);
NTSTATUS NC_RemoveDevice(PDEVICE_OBJECT DeviceObject);

// Requests that use the device from other threads: NC_IoEnter refuses once a removal is pending.
BOOLEAN NC_IoEnter(PDEVICE_EXTENSION Extension);
void NC_IoLeave(PDEVICE_EXTENSION Extension);
// Cancels the USB requests still in flight and waits until no request uses the device.
void NC_WithdrawIo(PDEVICE_EXTENSION Extension);

// ---- USB configuration and synchronous requests --------------------------------------------------
NTSTATUS NC_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS NC_StartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS NC_ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS NC_SelectInterfaces(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                             PUSBD_INTERFACE_INFORMATION Interface);
NTSTATUS NC_StopDevice(PDEVICE_OBJECT DeviceObject);
void NC_BuildGetDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length);

// ---- raw pipe I/O and device I/O-control ---------------------------------------------------------
NTSTATUS NC_ProcessIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NC_Read_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Read);
ULONG NC_GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PVOID OutputBuffer);
ULONG NC_GetConfigDescriptor(PDEVICE_OBJECT DeviceObject, PVOID OutputBuffer, ULONG Length);

// ---- COM number hand-off -------------------------------------------------------------------------
void KRLUSB_SetCommPort(LONG iComPort);
// The start path: the number from the registry, or a place in the waiting queue.
void NC_AssignComNumber(PDEVICE_OBJECT DeviceObject, ULONG PackedNumber);
// Takes an adapter that still waits for its number out of the queue, keeping the others' order.
BOOLEAN NC_UnqueueWaitingDevice(PDEVICE_OBJECT DeviceObject);

// ---- port-driver shell ---------------------------------------------------------------------------
extern VxD_Desc_Block DUVODO_DDB;
extern PVOID DUVODO_Service_Table[1];
BOOLEAN DUVODO_Control(ULONG Message);
ULONG DUVODO_Init_VxD();

// ---- list of USB serial devices ------------------------------------------------------------------
UCHAR AddUsbComPort(PDEVICE_OBJECT pDeviceObject);
UCHAR DeleteUsbComPort(PDEVICE_OBJECT pDeviceObject);

}  // namespace krlusb
