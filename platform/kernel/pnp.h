// The PnP manager: plugs and unplugs devices by sending IRP_MJ_PNP and IRP_MJ_POWER requests to
// the top of a device's stack.  Every request goes through one PnP system thread, so the requests
// of a device arrive one at a time and in order, as drivers may rely on.  The calling simulated
// thread waits until its request has been answered.
#pragma once

#include "platform/kernel/wdm.h"

namespace kernel {

class PnpManager {
 public:
  virtual ~PnpManager() = default;

  // A device appeared: `pdo` is the bus driver's object for it.  Calls the function driver's
  // AddDevice with it, then sends IRP_MN_START_DEVICE.  Returns AddDevice's failure or the
  // start request's status.
  virtual NTSTATUS add_and_start(PDEVICE_OBJECT pdo, PDRIVER_OBJECT function_driver) = 0;
  // One IRP_MJ_PNP request with the given minor function, status preset STATUS_NOT_SUPPORTED
  // (the system's convention), information 0.  Returns the request's final status.
  virtual NTSTATUS send(PDEVICE_OBJECT pdo, UCHAR minor) = 0;
  // One IRP_MJ_POWER request (set or query, system or device state).
  virtual NTSTATUS send_power(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) = 0;
  // The device is gone: IRP_MN_SURPRISE_REMOVAL (when `surprise`), then IRP_MN_REMOVE_DEVICE.
  // Returns the removal's status.
  virtual NTSTATUS remove(PDEVICE_OBJECT pdo, bool surprise) = 0;
  // The device object a request for `pdo` is sent to (the top of its stack).
  virtual PDEVICE_OBJECT top_of_stack(PDEVICE_OBJECT pdo) const = 0;
};

}  // namespace kernel
