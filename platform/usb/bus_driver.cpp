#include "platform/usb/bus_driver.h"

#include <string>

#include "platform/usb/pdo.h"

namespace usb {

namespace {

using detail::Pdo;
using detail::PdoExtension;

PdoExtension& extension(PDEVICE_OBJECT object) { return *static_cast<PdoExtension*>(object->DeviceExtension); }

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS dispatch_pnp(PDEVICE_OBJECT object, PIRP irp) {
  PdoExtension& ext = extension(object);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      if (ext.pdo != nullptr) ext.pdo->remove();
      ext.pdo = nullptr;
      BusDriver* bus = ext.bus;
      IoDeleteDevice(object);
      const NTSTATUS status = complete(irp, STATUS_SUCCESS);
      if (bus != nullptr) bus->forget(object);
      return status;
    }
    default: {
      const NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
}

NTSTATUS dispatch_power(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  return complete(irp, STATUS_SUCCESS);
}

NTSTATUS dispatch_internal_control(PDEVICE_OBJECT object, PIRP irp) {
  Pdo* pdo = extension(object).pdo;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      if (pdo == nullptr) return complete(irp, STATUS_DEVICE_NOT_CONNECTED);
      return pdo->submit(irp, static_cast<PURB>(location->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return complete(irp, pdo != nullptr && pdo->connected() ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
    default: return complete(irp, STATUS_NOT_SUPPORTED);
  }
}

NTSTATUS dispatch_system_control(PDEVICE_OBJECT, PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = &dispatch_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = &dispatch_power;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &dispatch_internal_control;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = &dispatch_system_control;
  return STATUS_SUCCESS;
}

}  // namespace

BusDriver::BusDriver(kernel::Kernel& kernel, HostController& controller)
    : kernel_(kernel), controller_(controller), driver_(kernel.load_driver("usbhub", &driver_entry)) {}

BusDriver::~BusDriver() {
  // The kernel keeps the device objects; requests that reach them from now on find no device.
  for (auto& [object, pdo] : pdos_) extension(object) = detail::PdoExtension{nullptr, nullptr};
}

PDEVICE_OBJECT BusDriver::plug(Device& device) {
  if (driver_ == nullptr || addresses_.count(&device) != 0) return nullptr;
  const std::string name = "\\Device\\USBPDO-" + std::to_string(next_pdo_number_);
  std::u16string wide(name.begin(), name.end());
  UNICODE_STRING unicode{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2), wide.data()};
  PDEVICE_OBJECT object = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  kernel_.call_into(driver_, [&] {
    status = IoCreateDevice(driver_, sizeof(detail::PdoExtension), &unicode, FILE_DEVICE_UNKNOWN, 0, FALSE, &object);
  });
  if (!NT_SUCCESS(status)) return nullptr;
  const std::uint8_t address = controller_.connect(device);
  if (address == 0) {
    IoDeleteDevice(object);
    return nullptr;
  }
  ++next_pdo_number_;
  addresses_[&device] = address;
  auto pdo = std::make_unique<Pdo>(controller_, handles_, device, address, object);
  extension(object) = detail::PdoExtension{this, pdo.get()};
  pdos_.emplace(object, std::move(pdo));
  object->Flags &= ~DO_DEVICE_INITIALIZING;
  return object;
}

void BusDriver::unplug(Device& device) {
  auto it = addresses_.find(&device);
  if (it == addresses_.end()) return;
  for (auto& [object, pdo] : pdos_) {
    if (&pdo->device() == &device) pdo->unplugged();
  }
  controller_.disconnect(it->second);
  addresses_.erase(it);
}

PDEVICE_OBJECT BusDriver::pdo(const Device& device) const {
  for (const auto& [object, pdo] : pdos_) {
    if (&pdo->device() == &device) return object;
  }
  return nullptr;
}

std::uint8_t BusDriver::address(const Device& device) const {
  auto it = addresses_.find(&device);
  return it == addresses_.end() ? 0 : it->second;
}

void BusDriver::forget(PDEVICE_OBJECT pdo) { pdos_.erase(pdo); }

}  // namespace usb
