#include "platform/usb/pdo.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/in_use.h"
#include "platform/usb/descriptor_walk.h"

namespace usb::detail {

namespace {


// The size of each known request's record; a request shorter than that is refused.
std::optional<std::size_t> record_size(USHORT function) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return sizeof(_URB_SELECT_CONFIGURATION);
    case URB_FUNCTION_SELECT_INTERFACE: return sizeof(_URB_SELECT_INTERFACE);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: return sizeof(_URB_PIPE_REQUEST);
    case URB_FUNCTION_CONTROL_TRANSFER: return sizeof(_URB_CONTROL_TRANSFER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT: return sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    default: return std::nullopt;
  }
}

// A request's data: its buffer pointer, else the memory its MDL maps.  Null when data is
// expected and there is none.
std::optional<std::span<std::uint8_t>> transfer_buffer(PVOID buffer, PMDL mdl, ULONG length) {
  if (length == 0) return std::span<std::uint8_t>{};
  if (buffer == nullptr && (mdl == nullptr || mdl->MappedSystemVa == nullptr || mdl->ByteCount < length)) {
    return std::nullopt;
  }
  return std::span(static_cast<std::uint8_t*>(buffer != nullptr ? buffer : mdl->MappedSystemVa), length);
}

Pdo* pdo_of(PDEVICE_OBJECT object) {
  return object == nullptr ? nullptr : static_cast<PdoExtension*>(object->DeviceExtension)->pdo;
}

// The controller is told while the lock is held: releasing it lowers the IRQL, and the completion
// that may run then can free the request.
void cancel_routine(PDEVICE_OBJECT object, PIRP irp) {
  const KIRQL irql = irp->CancelIrql;
  if (Pdo* pdo = pdo_of(object)) pdo->cancel(irp);
  IoReleaseCancelSpinLock(irql);
}

}  // namespace

Pdo::Pdo(HostController& controller, HandleNumbers& handles, Device& device, std::uint8_t address,
         PDEVICE_OBJECT object)
    : controller_(controller), handles_(handles), device_(device), address_(address), object_(object) {}

NTSTATUS Pdo::submit(PIRP irp, PURB urb) {
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  const USHORT function = urb->UrbHeader.Function;
  const auto size = record_size(function);
  if (!size) return fail_now(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
  if (urb->UrbHeader.Length < *size) return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  if (!connected_) return fail_now(irp, urb, USBD_STATUS_DEVICE_GONE);

  NTSTATUS status;
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: status = select_configuration(irp, urb); break;
    case URB_FUNCTION_SELECT_INTERFACE: status = select_interface(irp, urb); break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: status = pipe_request(irp, urb); break;
    case URB_FUNCTION_CONTROL_TRANSFER: status = control_transfer(irp, urb); break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: status = bulk_or_interrupt(irp, urb); break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: status = descriptor_request(irp, urb); break;
    default: status = vendor_or_class(irp, urb); break;
  }
  // A request cancelled before it reached us is cancelled as soon as it is on the bus.
  if (status == STATUS_PENDING && irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) cancel(irp);
  return status;
}

void Pdo::cancel(PIRP irp) {
  const auto serial = reinterpret_cast<Serial>(irp->Tail.Overlay.DriverContext[0]);
  auto it = pending_.find(serial);
  if (it == pending_.end() || it->second.irp != irp) return;
  if (it->second.transfer != 0) controller_.cancel(it->second.transfer);
}

void Pdo::remove() {
  while (!pending_.empty()) {
    const Serial serial = pending_.begin()->first;
    if (const TransferId id = pending_.begin()->second.transfer; id != 0) controller_.complete_now(id);
    if (pending_.count(serial) != 0) finish(serial, USBD_STATUS_CANCELED);
  }
  close_pipes([](const Pipe&) { return true; });
  configuration_ = nullptr;
}

// ---- request bookkeeping -------------------------------------------------------------------------

NTSTATUS Pdo::fail_now(PIRP irp, PURB urb, USBD_STATUS status) {
  urb->UrbHeader.Status = status;
  const NTSTATUS result = nt_status_of(status);
  irp->IoStatus.Status = result;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return result;
}

// Takes the request over until the bus answers it.  The request block and its data are the
// hardware's until then: freeing them early is reported.
Pdo::Serial Pdo::pend(PIRP irp, PURB urb, std::span<std::uint8_t> buffer) {
  const Serial serial = next_serial_++;
  Pending& p = pending_[serial];
  p.irp = irp;
  p.urb = urb;
  p.in_use.push_back(urb);
  kernel::mark_in_use(urb, urb->UrbHeader.Length);
  if (!buffer.empty()) {
    p.in_use.push_back(buffer.data());
    kernel::mark_in_use(buffer.data(), buffer.size());
  }
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  IoMarkIrpPending(irp);
  irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(serial);
  IoSetCancelRoutine(irp, &cancel_routine);
  return serial;
}

void Pdo::finish(Serial serial, USBD_STATUS status) {
  auto it = pending_.find(serial);
  if (it == pending_.end()) return;
  const Pending p = std::move(it->second);
  pending_.erase(it);
  for (const void* block : p.in_use) kernel::unmark_in_use(block);
  p.urb->UrbHeader.Status = status;
  p.irp->IoStatus.Status = nt_status_of(status);
  p.irp->IoStatus.Information = 0;
  IoSetCancelRoutine(p.irp, nullptr);
  IoCompleteRequest(p.irp, IO_NO_INCREMENT);
}

void Pdo::transfer(Serial serial, TransferRequest request, std::function<void(const TransferResult&)> done) {
  request.address = address_;
  request.on_complete = [this, alive = std::weak_ptr<int>(alive_), serial,
                         done = std::move(done)](const TransferResult& result) {
    if (alive.expired()) return;
    if (auto it = pending_.find(serial); it != pending_.end()) it->second.transfer = 0;
    done(result);
  };
  const TransferId id = controller_.submit(std::move(request));
  pending_.at(serial).transfer = id;
}

void Pdo::control(Serial serial, const USB_SETUP_PACKET& setup, std::span<std::uint8_t> buffer, USHORT function,
                  ULONG* transferred) {
  TransferRequest request;
  request.setup = setup;
  request.buffer = buffer;
  request.urb_function = function;
  transfer(serial, std::move(request), [this, serial, transferred](const TransferResult& result) {
    if (transferred != nullptr) *transferred = static_cast<ULONG>(result.actual);
    finish(serial, result.status);
  });
}

// Standard requests sent one after another; the first failure ends the request with its status.
void Pdo::control_steps(Serial serial, std::vector<USB_SETUP_PACKET> steps, USHORT function,
                        std::function<void()> on_success) {
  if (steps.empty()) {
    on_success();
    return;
  }
  TransferRequest request;
  request.setup = steps.front();
  request.urb_function = function;
  steps.erase(steps.begin());
  transfer(serial, std::move(request),
           [this, serial, function, steps = std::move(steps),
            on_success = std::move(on_success)](const TransferResult& result) mutable {
             if (!USBD_SUCCESS(result.status)) {
               finish(serial, result.status);
               return;
             }
             control_steps(serial, std::move(steps), function, std::move(on_success));
           });
}

std::function<void()> Pdo::guarded(std::function<void()> work) {
  return [alive = std::weak_ptr<int>(alive_), work = std::move(work)] {
    if (!alive.expired()) work();
  };
}

// ---- pipes ---------------------------------------------------------------------------------------

Pipe* Pdo::pipe(USBD_PIPE_HANDLE handle) const {
  for (const auto& p : pipes_) {
    if (p->handle == handle) return p->open ? p.get() : nullptr;
  }
  return nullptr;
}

void Pdo::close_pipes(std::function<bool(const Pipe&)> which) {
  for (auto& p : pipes_) {
    if (!p->open || !which(*p)) continue;
    p->open = false;
    controller_.close_endpoint(address_, p->endpoint);
  }
}

std::optional<Pdo::Selection> Pdo::parse_selection(const USB_CONFIGURATION_DESCRIPTOR* config,
                                                   PUSBD_INTERFACE_INFORMATION record) const {
  const auto walk = DescriptorWalk::of_configuration(config);
  if (!walk) return std::nullopt;
  auto* d = USBD_ParseConfigurationDescriptorEx(const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config),
                                                const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config),
                                                record->InterfaceNumber, record->AlternateSetting, -1, -1, -1);
  if (d == nullptr || record->Length < USBD_INTERFACE_INFORMATION_SIZE(d->bNumEndpoints)) return std::nullopt;
  auto endpoints = walk->endpoints_of(d);
  if (endpoints.size() < d->bNumEndpoints) return std::nullopt;  // the descriptor promises more than it has
  endpoints.resize(d->bNumEndpoints);
  return Selection{record, *d, std::move(endpoints)};
}

void Pdo::open_interface(const Selection& s) {
  PUSBD_INTERFACE_INFORMATION info = s.record;
  info->Class = s.descriptor.bInterfaceClass;
  info->SubClass = s.descriptor.bInterfaceSubClass;
  info->Protocol = s.descriptor.bInterfaceProtocol;
  info->Reserved = 0;
  info->InterfaceHandle = handles_.next();
  info->NumberOfPipes = static_cast<ULONG>(s.endpoints.size());
  PUSBD_PIPE_INFORMATION records = info->Pipes;
  for (std::size_t i = 0; i < s.endpoints.size(); ++i) {
    const USB_ENDPOINT_DESCRIPTOR& e = s.endpoints[i];
    const auto type = static_cast<USBD_PIPE_TYPE>(e.bmAttributes & USB_ENDPOINT_TYPE_MASK);
    pipes_.push_back(
        std::make_unique<Pipe>(Pipe{handles_.next(), s.descriptor.bInterfaceNumber, e.bEndpointAddress, type, true}));
    controller_.open_endpoint(address_, e);
    records[i].MaximumPacketSize = e.wMaxPacketSize;
    records[i].EndpointAddress = e.bEndpointAddress;
    records[i].Interval = e.bInterval;
    records[i].PipeType = type;
    records[i].PipeHandle = pipes_.back()->handle;
  }
}

// ---- requests ------------------------------------------------------------------------------------

NTSTATUS Pdo::select_configuration(PIRP irp, PURB urb) {
  auto& request = urb->UrbSelectConfiguration;
  const PUSB_CONFIGURATION_DESCRIPTOR config = request.ConfigurationDescriptor;
  if (config == nullptr) {
    close_pipes([](const Pipe&) { return true; });
    configuration_ = nullptr;
    const Serial serial = pend(irp, urb, {});
    control_steps(serial, {USB_SETUP_PACKET{0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0}}, URB_FUNCTION_SELECT_CONFIGURATION,
                  [this, serial] { finish(serial, USBD_STATUS_SUCCESS); });
    return STATUS_PENDING;
  }
  if (!DescriptorWalk::of_configuration(config)) return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);

  // The interface records follow one another, each `Length` bytes; a record that starts beyond
  // the request's length is not part of it.
  std::vector<Selection> selections;
  auto* base = reinterpret_cast<std::uint8_t*>(urb);
  std::size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
    if (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urb->UrbHeader.Length) break;
    auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
    auto selection = parse_selection(config, record);
    if (!selection) return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    offset += record->Length;
    selections.push_back(std::move(*selection));
  }

  std::vector<USB_SETUP_PACKET> steps{{0x00, USB_REQUEST_SET_CONFIGURATION, config->bConfigurationValue, 0, 0}};
  for (const Selection& s : selections) {
    if (s.descriptor.bAlternateSetting != 0) {
      steps.push_back({0x01, USB_REQUEST_SET_INTERFACE, s.descriptor.bAlternateSetting, s.descriptor.bInterfaceNumber, 0});
    }
  }
  auto copy = std::make_shared<Configuration>();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(config);
  copy->descriptor.assign(bytes, bytes + config->wTotalLength);

  close_pipes([](const Pipe&) { return true; });
  configuration_ = nullptr;
  const Serial serial = pend(irp, urb, {});
  control_steps(serial, std::move(steps), URB_FUNCTION_SELECT_CONFIGURATION,
                [this, serial, urb, selections = std::move(selections), copy = std::move(copy)]() mutable {
                  for (const Selection& s : selections) open_interface(s);
                  copy->handle = handles_.next();
                  configurations_.push_back(std::move(copy));
                  configuration_ = configurations_.back().get();
                  urb->UrbSelectConfiguration.ConfigurationHandle = configuration_->handle;
                  finish(serial, USBD_STATUS_SUCCESS);
                });
  return STATUS_PENDING;
}

NTSTATUS Pdo::select_interface(PIRP irp, PURB urb) {
  auto& request = urb->UrbSelectInterface;
  if (configuration_ == nullptr || request.ConfigurationHandle != configuration_->handle) {
    return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  const auto* config = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(configuration_->descriptor.data());
  PUSBD_INTERFACE_INFORMATION record = &request.Interface;
  auto selection = parse_selection(config, record);
  if (!selection || offsetof(_URB_SELECT_INTERFACE, Interface) + record->Length > urb->UrbHeader.Length) {
    return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  const UCHAR number = selection->descriptor.bInterfaceNumber;
  close_pipes([number](const Pipe& p) { return p.interface_number == number; });
  const Serial serial = pend(irp, urb, {});
  control_steps(serial, {{0x01, USB_REQUEST_SET_INTERFACE, selection->descriptor.bAlternateSetting, number, 0}},
                URB_FUNCTION_SELECT_INTERFACE, [this, serial, selection = std::move(*selection)] {
                  open_interface(selection);
                  finish(serial, USBD_STATUS_SUCCESS);
                });
  return STATUS_PENDING;
}

NTSTATUS Pdo::bulk_or_interrupt(PIRP irp, PURB urb) {
  auto& request = urb->UrbBulkOrInterruptTransfer;
  const Pipe* target = pipe(request.PipeHandle);
  if (target == nullptr) return fail_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  if (target->type != UsbdPipeTypeBulk && target->type != UsbdPipeTypeInterrupt) {
    return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  const auto buffer = transfer_buffer(request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength);
  if (!buffer) return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  const Serial serial = pend(irp, urb, *buffer);
  TransferRequest t;
  t.endpoint = target->endpoint;  // the pipe decides the direction, whatever the flags say
  t.buffer = *buffer;
  t.urb_function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer(serial, std::move(t), [this, serial, urb](const TransferResult& result) {
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = static_cast<ULONG>(result.actual);
    finish(serial, result.status);
  });
  return STATUS_PENDING;
}

NTSTATUS Pdo::control_transfer(PIRP irp, PURB urb) {
  auto& request = urb->UrbControlTransfer;
  if (request.PipeHandle != nullptr) {
    const Pipe* target = pipe(request.PipeHandle);
    if (target == nullptr) return fail_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (target->type != UsbdPipeTypeControl) return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  const auto buffer = transfer_buffer(request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength);
  if (!buffer) return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  USB_SETUP_PACKET setup;
  std::memcpy(&setup, request.SetupPacket, sizeof setup);
  const Serial serial = pend(irp, urb, *buffer);
  control(serial, setup, *buffer, URB_FUNCTION_CONTROL_TRANSFER, &request.TransferBufferLength);
  return STATUS_PENDING;
}

NTSTATUS Pdo::pipe_request(PIRP irp, PURB urb) {
  const USHORT function = urb->UrbHeader.Function;
  const Pipe* target = pipe(urb->UrbPipeRequest.PipeHandle);
  if (target == nullptr) return fail_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  const Serial serial = pend(irp, urb, {});
  if (function == URB_FUNCTION_ABORT_PIPE) {
    // The aborted transfers complete first, then the abort itself.
    controller_.abort_endpoint(address_, target->endpoint);
    controller_.at_next_frame(guarded([this, serial] { finish(serial, USBD_STATUS_SUCCESS); }));
  } else {
    control(serial, {0x02, USB_REQUEST_CLEAR_FEATURE, 0, target->endpoint, 0}, {}, function, nullptr);
  }
  return STATUS_PENDING;
}

NTSTATUS Pdo::descriptor_request(PIRP irp, PURB urb) {
  auto& request = urb->UrbControlDescriptorRequest;
  const auto buffer = transfer_buffer(request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength);
  if (!buffer) return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  const USB_SETUP_PACKET setup{0x80, USB_REQUEST_GET_DESCRIPTOR,
                               static_cast<USHORT>(request.DescriptorType << 8 | request.Index), request.LanguageId,
                               static_cast<USHORT>(std::min<ULONG>(request.TransferBufferLength, 0xFFFF))};
  const Serial serial = pend(irp, urb, *buffer);
  control(serial, setup, *buffer, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, &request.TransferBufferLength);
  return STATUS_PENDING;
}

NTSTATUS Pdo::vendor_or_class(PIRP irp, PURB urb) {
  const USHORT function = urb->UrbHeader.Function;
  auto& request = urb->UrbControlVendorClassRequest;
  const auto buffer = transfer_buffer(request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength);
  if (!buffer) return fail_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  const bool vendor = function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_VENDOR_ENDPOINT;
  const int recipient = function - (vendor ? URB_FUNCTION_VENDOR_DEVICE : URB_FUNCTION_CLASS_DEVICE);
  const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  const USB_SETUP_PACKET setup{static_cast<UCHAR>((in ? 0x80 : 0x00) | (vendor ? 0x40 : 0x20) | recipient),
                               request.Request, request.Value, request.Index,
                               static_cast<USHORT>(std::min<ULONG>(request.TransferBufferLength, 0xFFFF))};
  const Serial serial = pend(irp, urb, *buffer);
  control(serial, setup, *buffer, function, &request.TransferBufferLength);
  return STATUS_PENDING;
}

}  // namespace usb::detail
