// I/O on a named device object from a caller's thread: open, one buffered request, close.
#include <algorithm>
#include <cstring>

#include "platform/kernel/kernel_impl.h"

namespace kernel {
namespace {

PIRP build(Kernel::Impl& k, PDEVICE_OBJECT top, UCHAR major, FILE_OBJECT* file) {
  PIRP irp = k.allocate_irp(top->StackSize, false);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->RequestorMode = UserMode;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = file;
  return irp;
}

}  // namespace

IoResult Kernel::device_io_control(std::string_view device_name, ULONG code, std::span<const std::uint8_t> input,
                                   ULONG output_length) {
  Impl& k = *impl_;
  IoResult result;
  std::string name(device_name);
  if (auto target = symbolic_link_target(name)) name = *target;
  PDEVICE_OBJECT device = find_device(name);
  if (device == nullptr) {
    result.status = STATUS_OBJECT_NAME_NOT_FOUND;
    return result;
  }
  PDEVICE_OBJECT top = k.top_of_stack(device);
  ObReferenceObject(top);
  FILE_OBJECT file{top, nullptr};

  result.status = k.send_and_wait(top, build(k, top, IRP_MJ_CREATE, &file)).Status;
  if (NT_SUCCESS(result.status)) {
    const ULONG input_length = static_cast<ULONG>(input.size());
    const std::size_t buffer_length = std::max<std::size_t>(input_length, output_length);
    void* buffer = buffer_length == 0 ? nullptr : k.pool_allocate(NonPagedPool, buffer_length, kIrpTag, false);
    if (!input.empty()) std::memcpy(buffer, input.data(), input.size());

    PIRP irp = build(k, top, IRP_MJ_DEVICE_CONTROL, &file);
    irp->AssociatedIrp.SystemBuffer = buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = input_length;
    next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    IO_STATUS_BLOCK answer = k.send_and_wait(top, irp);
    result.status = answer.Status;
    result.information = answer.Information;
    if (NT_SUCCESS(result.status) && buffer != nullptr) {
      std::size_t n = std::min<std::size_t>(answer.Information, output_length);
      const auto* bytes = static_cast<const std::uint8_t*>(buffer);
      result.output.assign(bytes, bytes + n);
    }
    if (buffer != nullptr) k.pool_free(buffer);
    k.send_and_wait(top, build(k, top, IRP_MJ_CLOSE, &file));
  }
  ObDereferenceObject(top);
  return result;
}

}  // namespace kernel
