#include "platform/kernel/kernel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/kernel/kernel_impl.h"

namespace kernel {
namespace {

Kernel* g_kernel = nullptr;
thread_local PDRIVER_OBJECT t_owner = nullptr;

NTSTATUS invalid_device_request(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::u16string widen(std::string_view s) { return {s.begin(), s.end()}; }

}  // namespace

struct KernelAccess {
  static Kernel::Impl& impl(Kernel& k) { return *k.impl_; }
};

Kernel::Impl& kernel_state() {
  if (g_kernel == nullptr) {
    std::fprintf(stderr, "kernel: a kernel service was called with no kernel running\n");
    std::abort();
  }
  return KernelAccess::impl(*g_kernel);
}

PDRIVER_OBJECT current_owner() { return t_owner; }
OwnerScope::OwnerScope(PDRIVER_OBJECT owner) : previous_(std::exchange(t_owner, owner)) {}
OwnerScope::~OwnerScope() { t_owner = previous_; }

std::string narrow(const UNICODE_STRING* s) {
  std::string out;
  if (s == nullptr || s->Buffer == nullptr) return out;
  for (USHORT i = 0; i < s->Length / 2; ++i) out.push_back(static_cast<char>(s->Buffer[i]));
  return out;
}

std::string lower_case(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool Kernel::Impl::passive_only(const char* service) {
  sim::Irql level = scheduler.irql();
  if (level < sim::Irql::Dispatch) return true;
  verifier.report(Check::IrqlTooHigh,
                  std::string(service) + " called at IRQL " + std::to_string(static_cast<int>(level)));
  return false;
}

Kernel::Kernel(sim::Scheduler& scheduler) : impl_(std::make_unique<Impl>(scheduler)) {
  if (g_kernel != nullptr) {
    std::fprintf(stderr, "kernel: a second Kernel was created while one exists\n");
    std::abort();
  }
  g_kernel = this;
  impl_->pnp = make_pnp_manager(*impl_);
  impl_->start_worker();
}

Kernel::~Kernel() {
  sim::Scheduler& s = impl_->scheduler;
  const bool on_host = s.current_thread() == sim::kNoThread;
  for (auto& d : impl_->drivers) {
    if (!d->loaded) continue;
    PDRIVER_OBJECT driver = &d->object;
    if (on_host && d->object.DriverUnload != nullptr) {
      s.run_thread("unload", [this, driver] { unload_driver(driver); }, s.now() + sim::seconds(10));
    } else {
      unload_driver(driver);
    }
  }
  if (on_host) impl_->stop_system_threads();
  impl_->log.flush();
  impl_->release_pool();
  g_kernel = nullptr;
}

Kernel& Kernel::current() {
  kernel_state();
  return *g_kernel;
}
bool Kernel::exists() { return g_kernel != nullptr; }

sim::Scheduler& Kernel::scheduler() { return impl_->scheduler; }
DebugLog& Kernel::log() { return impl_->log; }
Verifier& Kernel::verifier() { return impl_->verifier; }
PnpManager& Kernel::pnp() { return *impl_->pnp; }

PDRIVER_OBJECT Kernel::load_driver(std::string_view name, PDRIVER_INITIALIZE entry) {
  auto record = std::make_unique<DriverRecord>();
  record->short_name = std::string(name);
  record->name = u"\\Driver\\" + widen(name);
  DRIVER_OBJECT& d = record->object;
  d.Type = kDriverType;
  d.Size = sizeof(DRIVER_OBJECT);
  record->extension.DriverObject = &d;
  d.DriverExtension = &record->extension;
  d.DriverName.Buffer = record->name.data();
  d.DriverName.Length = static_cast<USHORT>(record->name.size() * 2);
  d.DriverName.MaximumLength = d.DriverName.Length;
  d.DriverInit = entry;
  std::fill(std::begin(d.MajorFunction), std::end(d.MajorFunction), &invalid_device_request);

  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + widen(name);
  UNICODE_STRING registry_path{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                               path.data()};
  PDRIVER_OBJECT driver = &d;
  impl_->drivers.push_back(std::move(record));
  NTSTATUS status;
  {
    OwnerScope owner(driver);
    status = entry(driver, &registry_path);
  }
  if (!NT_SUCCESS(status)) {
    impl_->drivers.back()->loaded = false;
    return nullptr;
  }
  return driver;
}

void Kernel::unload_driver(PDRIVER_OBJECT driver) {
  auto it = std::find_if(impl_->drivers.begin(), impl_->drivers.end(),
                         [driver](const auto& d) { return &d->object == driver && d->loaded; });
  if (it == impl_->drivers.end()) return;
  if (driver->DriverUnload != nullptr) {
    OwnerScope owner(driver);
    driver->DriverUnload(driver);
  }
  (*it)->loaded = false;
  std::map<std::string, std::pair<std::size_t, std::size_t>> leaks;  // tag as text -> blocks, bytes
  for (auto& [address, block] : impl_->pool) {
    if (block.owner != driver) continue;
    const ULONG t = block.tag;
    auto& [blocks, bytes] = leaks[std::string{static_cast<char>(t & 0xFF), static_cast<char>((t >> 8) & 0xFF),
                                              static_cast<char>((t >> 16) & 0xFF), static_cast<char>(t >> 24)}];
    ++blocks;
    bytes += block.size;
    block.owner = nullptr;
  }
  for (const auto& [tag, count] : leaks) {
    impl_->verifier.report(Check::PoolLeak, "pool leak at unload of " + (*it)->short_name + ": tag '" + tag + "' " +
                                                std::to_string(count.first) + " blocks " +
                                                std::to_string(count.second) + " bytes");
  }
}

PDRIVER_OBJECT Kernel::find_driver(std::string_view name) const {
  for (const auto& d : impl_->drivers) {
    if (d->loaded && lower_case(d->short_name) == lower_case(name)) return &d->object;
  }
  return nullptr;
}

void Kernel::call_into(PDRIVER_OBJECT driver, const std::function<void()>& fn) {
  OwnerScope owner(driver);
  fn();
}

PDEVICE_OBJECT Kernel::find_device(std::string_view name) const {
  auto it = impl_->names.find(lower_case(name));
  return it == impl_->names.end() ? nullptr : it->second;
}

std::string Kernel::device_name(PDEVICE_OBJECT device) const {
  DeviceRecord* record = impl_->device(device);
  return record == nullptr ? std::string{} : record->name;
}

std::vector<std::string> Kernel::device_names() const {
  std::vector<std::string> out;
  for (const auto& [key, device] : impl_->names) out.push_back(impl_->device(device)->name);
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<std::string> Kernel::symbolic_link_target(std::string_view link) const {
  auto it = impl_->links.find(lower_case(link));
  if (it == impl_->links.end()) return std::nullopt;
  return it->second.second;
}

PoolStats Kernel::pool_stats() const {
  PoolStats stats;
  for (const auto& [address, block] : impl_->pool) {
    ++stats.blocks;
    stats.bytes += block.size;
  }
  stats.allocations = impl_->allocations;
  return stats;
}

PoolStats Kernel::pool_stats(ULONG tag) const {
  PoolStats stats;
  for (const auto& [address, block] : impl_->pool) {
    if (block.tag != tag) continue;
    ++stats.blocks;
    stats.bytes += block.size;
  }
  stats.allocations = impl_->allocations;
  return stats;
}

}  // namespace kernel
