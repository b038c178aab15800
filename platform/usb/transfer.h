// One transfer on the simulated USB bus, as the host controller takes it from the bus driver and
// as observers (the --usb summary, the capture writer) see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "platform/sim/time.h"
#include "platform/usb/usb.h"

namespace usb {

// Numbered as in endpoint descriptors (bmAttributes bits 0-1).
enum class TransferType : std::uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

using TransferId = std::uint64_t;

struct TransferResult {
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  std::size_t actual = 0;  // bytes moved
};

struct TransferRequest {
  std::uint8_t address = 0;   // device address
  std::uint8_t endpoint = 0;  // endpoint address, bit 7 set for IN; 0 for the default control pipe
  USB_SETUP_PACKET setup{};   // control transfers: the data stage is IN when bmRequestType bit 7 is set
  std::span<std::uint8_t> buffer;  // the bytes to send, or the room to receive (control: min with wLength)
  std::uint16_t urb_function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;  // shown in captures
  std::function<void(const TransferResult&)> on_complete;  // runs at dispatch level
};

// A transfer as observers see it, once when it is handed to the controller and once when it
// completes.
struct TransferEvent {
  sim::VTime time = 0;
  TransferId id = 0;
  bool completion = false;
  std::uint8_t address = 0;
  std::uint8_t endpoint = 0;  // with the direction bit; control transfers: 0x80 when the data stage is IN
  TransferType type = TransferType::Bulk;
  std::uint16_t urb_function = 0;
  std::optional<USB_SETUP_PACKET> setup;  // control transfers
  std::size_t requested = 0;              // data bytes asked for
  // Submission: the bytes to send (OUT); completion: the bytes moved (IN and OUT).
  std::span<const std::uint8_t> data;
  USBD_STATUS status = USBD_STATUS_PENDING;  // completion: the result

  bool in() const { return (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  virtual void transfer_submitted(const TransferEvent& /*event*/) {}
  virtual void transfer_completed(const TransferEvent& event) = 0;
};

// The I/O status a request gets for a transfer's USBD status.
constexpr NTSTATUS nt_status_of(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_PARAMETER;
    default: return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  }
}

}  // namespace usb
