// The bus driver's side of one device: its PDO's pending requests, its configuration and the
// pipes handed out to the function driver above it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/usb/device.h"
#include "platform/usb/handle_numbers.h"
#include "platform/usb/host_controller.h"
#include "platform/usb/usb.h"

namespace usb {
class BusDriver;
}

namespace usb::detail {

class Pdo;

// The device extension of every PDO of the bus driver.
struct PdoExtension {
  BusDriver* bus;
  Pdo* pdo;  // null once the bus driver has let go of the device
};

struct Pipe {
  USBD_PIPE_HANDLE handle = nullptr;
  std::uint8_t interface_number = 0;
  std::uint8_t endpoint = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  bool open = true;
};

struct Configuration {
  USBD_CONFIGURATION_HANDLE handle = nullptr;
  std::vector<std::uint8_t> descriptor;  // the selected configuration, all wTotalLength bytes
};

class Pdo {
 public:
  Pdo(HostController& controller, HandleNumbers& handles, Device& device, std::uint8_t address,
      PDEVICE_OBJECT object);
  Pdo(const Pdo&) = delete;
  Pdo& operator=(const Pdo&) = delete;

  PDEVICE_OBJECT object() const { return object_; }
  const Device& device() const { return device_; }
  std::uint8_t address() const { return address_; }
  bool connected() const { return connected_; }
  // The device left its port; the controller completes what was pending.
  void unplugged() { connected_ = false; }

  // IOCTL_INTERNAL_USB_SUBMIT_URB: returns STATUS_PENDING, or the failure the request was
  // already completed with.
  NTSTATUS submit(PIRP irp, PURB urb);
  // The request's cancel routine ran.
  void cancel(PIRP irp);
  // Removal: completes everything pending at once and closes the device's pipes.
  void remove();

 private:
  struct Pending {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    TransferId transfer = 0;  // the step on the bus now, 0 while none is
    std::vector<const void*> in_use;
  };
  struct Selection {
    PUSBD_INTERFACE_INFORMATION record;
    USB_INTERFACE_DESCRIPTOR descriptor;
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
  };
  using Serial = std::uint64_t;

  NTSTATUS fail_now(PIRP irp, PURB urb, USBD_STATUS status);
  Serial pend(PIRP irp, PURB urb, std::span<std::uint8_t> buffer);
  void finish(Serial serial, USBD_STATUS status);
  void transfer(Serial serial, TransferRequest request, std::function<void(const TransferResult&)> done);
  void control(Serial serial, const USB_SETUP_PACKET& setup, std::span<std::uint8_t> buffer, USHORT function,
               ULONG* transferred);
  void control_steps(Serial serial, std::vector<USB_SETUP_PACKET> steps, USHORT function,
                     std::function<void()> on_success);
  std::function<void()> guarded(std::function<void()> work);

  NTSTATUS select_configuration(PIRP irp, PURB urb);
  NTSTATUS select_interface(PIRP irp, PURB urb);
  NTSTATUS bulk_or_interrupt(PIRP irp, PURB urb);
  NTSTATUS control_transfer(PIRP irp, PURB urb);
  NTSTATUS pipe_request(PIRP irp, PURB urb);
  NTSTATUS descriptor_request(PIRP irp, PURB urb);
  NTSTATUS vendor_or_class(PIRP irp, PURB urb);

  std::optional<Selection> parse_selection(const USB_CONFIGURATION_DESCRIPTOR* config,
                                           PUSBD_INTERFACE_INFORMATION record) const;
  void open_interface(const Selection& selection);
  void close_pipes(std::function<bool(const Pipe&)> which);
  Pipe* pipe(USBD_PIPE_HANDLE handle) const;

  HostController& controller_;
  HandleNumbers& handles_;
  Device& device_;
  std::uint8_t address_;
  PDEVICE_OBJECT object_;
  bool connected_ = true;
  std::map<Serial, Pending> pending_;
  Serial next_serial_ = 1;
  std::vector<std::unique_ptr<Pipe>> pipes_;
  std::vector<std::shared_ptr<Configuration>> configurations_;  // the last one is current
  Configuration* configuration_ = nullptr;
  // Work the controller still holds for this PDO checks this token first, so that it does
  // nothing once the PDO is gone.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace usb::detail
