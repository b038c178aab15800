// COM numbers for started adapters: from the registry at start, or later from the port host
// through KRLUSB_SetCommPort, in the order in which adapters without a number were started.
#include "serial_driver/krlusb.h"
#include "serial_driver/krlusb_log.h"

namespace krlusb {
namespace {

// One decimal digit per four bits, at most three digits: what fits the port-number text.
bool NC_IsPackedComNumber(ULONG value) {
  if (value > 0x999) return false;
  for (; value != 0; value >>= 4) {
    if ((value & 0xF) > 9) return false;
  }
  return true;
}

void NC_GiveNumber(PDEVICE_OBJECT DeviceObject, ULONG PackedNumber) {
  _itoa(static_cast<int>(PackedNumber), NC_Extension(DeviceObject)->pPortNumber, 16);
  AddUsbComPort(DeviceObject);
}

// Numbered adapters leave stale entries before gcCommCount; when the end of the queue is reached
// the waiting ones move to its front to make room.
void NC_QueueWaitingDevice(PDEVICE_OBJECT DeviceObject) {
  if (gcDeviceCount == NC_MAX_WAITING && gcCommCount > 0) {
    const UCHAR waiting = static_cast<UCHAR>(gcDeviceCount - gcCommCount);
    RtlMoveMemory(gpDeviceObject, gpDeviceObject + gcCommCount, waiting * sizeof(gpDeviceObject[0]));
    gcCommCount = 0;
    gcDeviceCount = waiting;
  }
  if (gcDeviceCount == NC_MAX_WAITING) {
    KrlPrint("COM number queue full: device %x stays without a number\n", DeviceObject);
    return;
  }
  gpDeviceObject[gcDeviceCount] = DeviceObject;
  gcDeviceCount++;
}

}  // namespace

void NC_AssignComNumber(PDEVICE_OBJECT DeviceObject, ULONG PackedNumber) {
  if (PackedNumber == NC_NO_COM_NUMBER) {
    NC_QueueWaitingDevice(DeviceObject);
  } else {
    NC_GiveNumber(DeviceObject, PackedNumber);
  }
}

BOOLEAN NC_UnqueueWaitingDevice(PDEVICE_OBJECT DeviceObject) {
  for (UCHAR i = gcCommCount; i < gcDeviceCount; i++) {
    if (gpDeviceObject[i] != DeviceObject) continue;
    RtlMoveMemory(gpDeviceObject + i, gpDeviceObject + i + 1, (gcDeviceCount - i - 1U) * sizeof(gpDeviceObject[0]));
    gcDeviceCount--;
    gpDeviceObject[gcDeviceCount] = nullptr;
    if (gcCommCount == gcDeviceCount) gcCommCount = gcDeviceCount = 0;
    KrlPrint("Device %x left the COM number queue\n", DeviceObject);
    return TRUE;
  }
  return FALSE;
}

void KRLUSB_SetCommPort(LONG iComPort) {
  KrlPrint("SetCommPort...\n");
  if (gcCommCount == gcDeviceCount) {
    KrlPrint("SetCommPort: no device waits for a number, %x ignored\n", iComPort);
    return;
  }
  if (iComPort < 0 || !NC_IsPackedComNumber(static_cast<ULONG>(iComPort))) {
    KrlPrint("SetCommPort: %x is no COM number, ignored\n", iComPort);
    return;
  }
  PDEVICE_OBJECT deviceObject = gpDeviceObject[gcCommCount];
  gcCommCount++;
  if (gcCommCount == gcDeviceCount) gcCommCount = gcDeviceCount = 0;
  NC_GiveNumber(deviceObject, static_cast<ULONG>(iComPort));
}

}  // namespace krlusb
