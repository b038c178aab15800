// Plug-and-play and power requests of an adapter.  The driver keeps no power state: every power
// request only goes down the stack.
#include "serial_driver/krlusb.h"
#include "serial_driver/krlusb_log.h"

namespace krlusb {
namespace {

// Hands the request to the next driver below and reports what came back; the request belongs to
// the lower driver from then on.  `Kind` names the request in the messages ("PnP", "Power").
NTSTATUS NC_PassDown(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp, const char* Kind, NTSTATUS ActionStatus) {
  ASSERT(Irp->CurrentLocation > 1);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  KrlPrint("Passing %s Irp down, status = %x\n", Kind, ActionStatus);
  NTSTATUS ntStatus = IofCallDriver(LowerDeviceObject, Irp);
  if (ntStatus == STATUS_PENDING) {
    KrlPrint("%s Irp came back with STATUS_PENDING (%x)\n", Kind, ntStatus);
  } else {
    KrlPrint("%s Irp came back, status = %x\n", Kind, ntStatus);
  }
  return ntStatus;
}

NTSTATUS NC_StartRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  NC_AssignComNumber(DeviceObject, DUVODO_Init_VxD());

  KrlPrint("Passing START_DEVICE Irp down\n");
  ASSERT(Irp->CurrentLocation > 1);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  NTSTATUS ntStatus = IofCallDriver(deviceExtension->StackDeviceObject, Irp);
  KrlPrint("Back from passing START_DEVICE Irp down; status: %#X\n", ntStatus);

  NTSTATUS startStatus = NC_StartDevice(DeviceObject);
  KrlPrint("NC_StartDevice returned %x\n", startStatus);
  return ntStatus;
}

NTSTATUS NC_RemoveRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  NC_WithdrawIo(deviceExtension);
  NC_Cleanup(DeviceObject);
  NTSTATUS ntStatus = NC_RemoveDevice(DeviceObject);
  PDEVICE_OBJECT stackDeviceObject = deviceExtension->StackDeviceObject;
  IoDetachDevice(stackDeviceObject);
  IoDeleteDevice(DeviceObject);
  return NC_PassDown(stackDeviceObject, Irp, "PnP", ntStatus);
}

NTSTATUS NC_PnP(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = NC_Extension(DeviceObject);
  KrlPrint("IRP_MJ_PNP\n");
  NTSTATUS ntStatus = STATUS_SUCCESS;
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      KrlPrint("IRP_MN_START_DEVICE\n");
      return NC_StartRequest(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
      KrlPrint("IRP_MN_REMOVE_DEVICE\n");
      return NC_RemoveRequest(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
      KrlPrint("IRP_MN_STOP_DEVICE\n");
      NC_Cleanup(DeviceObject);
      ntStatus = NC_StopDevice(DeviceObject);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      KrlPrint("IRP_MN_QUERY_REMOVE_DEVICE\n");
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      KrlPrint("IRP_MN_CANCEL_REMOVE_DEVICE\n");
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      KrlPrint("IRP_MN_QUERY_STOP_DEVICE\n");
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      KrlPrint("IRP_MN_CANCEL_STOP_DEVICE\n");
      break;
    default:
      KrlPrint("PnP IOCTL not handled\n");
      break;
  }
  return NC_PassDown(deviceExtension->StackDeviceObject, Irp, "PnP", ntStatus);
}

void NC_LogPowerRequest(const IO_STACK_LOCATION* stack) {
  static const char* const setNames[] = {"IRP_MN_SET_D0\n", "IRP_MN_SET_D1\n", "IRP_MN_SET_D2\n",
                                         "IRP_MN_SET_D3\n"};
  static const char* const queryNames[] = {nullptr, "IRP_MN_QUERY_D1\n", "IRP_MN_QUERY_D2\n",
                                           "IRP_MN_QUERY_D3\n"};
  const UCHAR minor = stack->MinorFunction;
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) {
    KrlPrint("Power IOCTL not handled\n");
    return;
  }
  if (stack->Parameters.Power.Type != DevicePowerState) return;
  const int state = stack->Parameters.Power.State.DeviceState;
  if (state < PowerDeviceD0 || state > PowerDeviceD3) return;
  const char* name = (minor == IRP_MN_SET_POWER ? setNames : queryNames)[state - PowerDeviceD0];
  if (name != nullptr) KrlPrint(name);
}

NTSTATUS NC_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KrlPrint("IRP_MJ_POWER\n");
  NC_LogPowerRequest(IoGetCurrentIrpStackLocation(Irp));
  return NC_PassDown(NC_Extension(DeviceObject)->StackDeviceObject, Irp, "Power", STATUS_SUCCESS);
}

}  // namespace

NTSTATUS NC_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  const bool pnp = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_PNP;
  NTSTATUS ntStatus = pnp ? NC_PnP(DeviceObject, Irp) : NC_Power(DeviceObject, Irp);
  KrlPrint("Exit NC_Dispatch %x\n", ntStatus);
  return ntStatus;
}

}  // namespace krlusb
