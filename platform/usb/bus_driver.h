// The USB bus driver of the simulated PC: the kernel driver "usbhub", which owns one physical
// device object (PDO) per device on the host controller's ports.  Function drivers attach above a
// PDO and talk to their device with USB request blocks (IOCTL_INTERNAL_USB_SUBMIT_URB).
//
// The PDO answers plug-and-play requests (start, stop, queries, cancels, surprise removal and
// removal succeed; removal completes what is pending and deletes the PDO; other minor functions
// keep their preset status), power requests (success) and URBs, which it checks, marks pending
// and completes from the host controller at a frame boundary.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "platform/kernel/kernel.h"
#include "platform/usb/device.h"
#include "platform/usb/handle_numbers.h"
#include "platform/usb/host_controller.h"

namespace usb {

namespace detail {
class Pdo;
}

class BusDriver {
 public:
  // Loads the driver object "\Driver\usbhub".  Destroy the bus driver before the controller
  // and the kernel.
  BusDriver(kernel::Kernel& kernel, HostController& controller);
  ~BusDriver();
  BusDriver(const BusDriver&) = delete;
  BusDriver& operator=(const BusDriver&) = delete;

  PDRIVER_OBJECT driver() const { return driver_; }

  // Connects the device to a port and creates its PDO, named "\Device\USBPDO-N".  Null when the
  // bus has no free address or the PDO cannot be created (the device is then not connected).
  // Call at passive level; the machine then hands the PDO to the PnP manager.
  PDEVICE_OBJECT plug(Device& device);
  // The device leaves its port: its pending transfers complete with USBD_STATUS_DEVICE_GONE and
  // new requests fail with it.  The PDO stays until its removal request.
  void unplug(Device& device);

  // The device's PDO while it has one (null after its removal), and its bus address (0 when it
  // is not connected).
  PDEVICE_OBJECT pdo(const Device& device) const;
  std::uint8_t address(const Device& device) const;

  // Called by the PDO's removal: the PDO is gone.
  void forget(PDEVICE_OBJECT pdo);

 private:
  kernel::Kernel& kernel_;
  HostController& controller_;
  PDRIVER_OBJECT driver_ = nullptr;
  int next_pdo_number_ = 0;
  std::map<const Device*, std::uint8_t> addresses_;
  std::map<PDEVICE_OBJECT, std::unique_ptr<detail::Pdo>> pdos_;
  detail::HandleNumbers handles_;
};

}  // namespace usb
