// Device objects, their stacks, names and symbolic links.
#include <cstring>

#include "platform/kernel/kernel_impl.h"

namespace kernel {
namespace {

constexpr std::size_t kExtensionOffset = (sizeof(DEVICE_OBJECT) + 15) / 16 * 16;

void unlink_from_driver(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
  while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
  if (*link == device) *link = device->NextDevice;
}

}  // namespace

DeviceRecord* Kernel::Impl::device(const void* object) {
  auto it = devices.find(object);
  return it == devices.end() ? nullptr : it->second.get();
}

// The memory stays while anything still points at it: a reference, a request in progress, or a
// device attached above it.
void Kernel::Impl::release_device_if_unused(DeviceRecord& record) {
  if (!record.deleted || record.object->ReferenceCount > 0 || record.irp_refs > 0 || record.in_dispatch > 0 ||
      record.object->AttachedDevice != nullptr)
    return;
  PDEVICE_OBJECT lower = record.lower;
  forget_memory(record.object, record.object->Size);
  devices.erase(record.object);
  if (lower != nullptr) {
    if (lower->AttachedDevice != nullptr && device(lower->AttachedDevice) == nullptr) lower->AttachedDevice = nullptr;
    if (DeviceRecord* below = device(lower)) release_device_if_unused(*below);
  }
}

PDEVICE_OBJECT Kernel::Impl::top_of_stack(PDEVICE_OBJECT d) const {
  while (d->AttachedDevice != nullptr) d = d->AttachedDevice;
  return d;
}

}  // namespace kernel

using kernel::kernel_state;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN, PDEVICE_OBJECT* DeviceObject) {
  auto& k = kernel_state();
  *DeviceObject = nullptr;
  if (!k.passive_only("IoCreateDevice")) return STATUS_INVALID_DEVICE_REQUEST;
  std::string name = kernel::narrow(DeviceName);
  if (!name.empty()) {
    if (name.front() != '\\') return STATUS_OBJECT_NAME_INVALID;
    if (k.names.count(kernel::lower_case(name)) != 0) return STATUS_OBJECT_NAME_COLLISION;
  }
  auto record = std::make_unique<kernel::DeviceRecord>();
  const std::size_t size = kernel::kExtensionOffset + DeviceExtensionSize;
  record->memory = std::make_unique<std::byte[]>(size);  // value-initialised: all zero
  auto* d = reinterpret_cast<PDEVICE_OBJECT>(record->memory.get());
  d->Type = kernel::kDeviceType;
  d->Size = static_cast<USHORT>(size);
  d->DriverObject = DriverObject;
  d->Flags = DO_DEVICE_INITIALIZING;
  d->Characteristics = DeviceCharacteristics;
  d->DeviceExtension = DeviceExtensionSize == 0 ? nullptr : record->memory.get() + kernel::kExtensionOffset;
  d->DeviceType = DeviceType;
  d->StackSize = 1;
  d->KernelObject = record.get();
  d->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = d;
  record->object = d;
  record->name = name;
  record->device_state.DeviceState = PowerDeviceD0;
  if (!name.empty()) k.names[kernel::lower_case(name)] = d;
  k.devices.emplace(d, std::move(record));
  *DeviceObject = d;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  auto& k = kernel_state();
  kernel::DeviceRecord* record = k.device(DeviceObject);
  if (record == nullptr || record->deleted) return;
  // The request being dispatched to this device right now (a removal) does not count as pending.
  if (record->irp_refs > record->in_dispatch)
    k.verifier.report(kernel::Check::DeviceDeletedBusy,
                      "IoDeleteDevice of " + (record->name.empty() ? std::string("an unnamed device") : record->name) +
                          " with " + std::to_string(record->irp_refs - record->in_dispatch) + " requests pending");
  if (!record->name.empty()) k.names.erase(kernel::lower_case(record->name));
  kernel::unlink_from_driver(DeviceObject);
  record->deleted = true;
  k.release_device_if_unused(*record);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  auto& k = kernel_state();
  PDEVICE_OBJECT top = k.top_of_stack(TargetDevice);
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  k.device(SourceDevice)->lower = top;
  return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  auto& k = kernel_state();
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (upper == nullptr) return;
  TargetDevice->AttachedDevice = nullptr;
  if (kernel::DeviceRecord* record = k.device(upper)) record->lower = nullptr;
  if (kernel::DeviceRecord* record = k.device(TargetDevice)) k.release_device_if_unused(*record);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  auto& k = kernel_state();
  std::string link = kernel::narrow(SymbolicLinkName);
  if (link.empty() || link.front() != '\\') return STATUS_OBJECT_NAME_INVALID;
  std::string key = kernel::lower_case(link);
  if (k.links.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  k.links[key] = {link, kernel::narrow(DeviceName)};
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  auto& k = kernel_state();
  return k.links.erase(kernel::lower_case(kernel::narrow(SymbolicLinkName))) != 0 ? STATUS_SUCCESS
                                                                                : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = kernel_state().top_of_stack(DeviceObject);
  ObReferenceObject(top);
  return top;
}

void ObReferenceObject(PVOID Object) {
  if (kernel_state().device(Object) != nullptr) ++static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount;
}

void ObDereferenceObject(PVOID Object) {
  auto& k = kernel_state();
  kernel::DeviceRecord* record = k.device(Object);
  if (record == nullptr || record->object->ReferenceCount == 0) return;
  --record->object->ReferenceCount;
  k.release_device_if_unused(*record);
}
