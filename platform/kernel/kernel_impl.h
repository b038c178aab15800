// The kernel's private state, shared by the files that implement its services.  Not for drivers
// nor for the machine: they see wdm.h and kernel.h.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/kernel/kernel.h"

namespace kernel {

struct PoolBlock {
  std::size_t size;
  ULONG tag;
  PDRIVER_OBJECT owner;
};

struct DeviceRecord {
  std::unique_ptr<std::byte[]> memory;  // the DEVICE_OBJECT followed by its extension
  PDEVICE_OBJECT object = nullptr;
  std::string name;
  PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
  bool deleted = false;
  int irp_refs = 0;     // IRP stack locations that name this device and have not completed
  int in_dispatch = 0;  // dispatch routines of this device on some call stack now
  POWER_STATE system_state{PowerSystemWorking};
  POWER_STATE device_state{};
};

struct DriverRecord {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::u16string name;
  std::string short_name;
  bool loaded = true;
};

struct IrpRecord {
  PDRIVER_OBJECT owner = nullptr;  // the driver that allocated it (gets top-level completion calls)
  bool threaded = false;           // freed by the I/O manager at completion
  bool in_flight = false;          // passed down and not completed back yet
  PVOID user_output = nullptr;  // buffered I/O: where the system buffer's output goes
  ULONG output_length = 0;
  bool owns_system_buffer = false;
  std::unique_ptr<MDL> mdl;
  std::vector<std::pair<int, PDEVICE_OBJECT>> refs;  // stack location index -> device named there
};

struct EventWaiter {
  sim::ThreadId thread;
  bool satisfied;
};

struct TimerRecord {
  sim::WorkId work = 0;
  bool armed = false;
  bool signaled = false;
};

struct DpcRecord {
  PDRIVER_OBJECT owner = nullptr;
  sim::WorkId work = 0;
  bool queued = false;
};

inline constexpr ULONG kEventMagic = 0x45764E74;
inline constexpr ULONG kTimerMagic = 0x546D4B72;
inline constexpr ULONG kDpcMagic = 0x44706321;
inline constexpr UCHAR kPoolFill = 0xA5;
inline constexpr ULONG kIrpTag = POOL_TAG("Irp ");
inline constexpr CSHORT kIrpType = 6;
inline constexpr CSHORT kDeviceType = 3;
inline constexpr CSHORT kDriverType = 4;
// The PC's clock reads this date at boot (1999-06-01 00:00 UTC, in 100 ns since 1601).
inline constexpr LONGLONG kBootSystemTime = 125'726'688'000'000'000LL;

// The PnP manager with the kernel's handle to stop its thread.
struct SystemPnp : PnpManager {
  // Asks the PnP thread to end once its queue is empty; returns the thread.
  virtual sim::ThreadId stop() = 0;
};

struct Kernel::Impl {
  explicit Impl(sim::Scheduler& s) : scheduler(s) {}

  sim::Scheduler& scheduler;
  DebugLog log;
  Verifier verifier;
  std::unique_ptr<SystemPnp> pnp;

  std::vector<std::unique_ptr<DriverRecord>> drivers;
  std::unordered_map<const void*, std::unique_ptr<DeviceRecord>> devices;  // by DEVICE_OBJECT address
  std::map<std::string, PDEVICE_OBJECT> names;                             // lower-case name -> device
  std::map<std::string, std::pair<std::string, std::string>> links;        // lower-case link -> (link, target)

  std::unordered_map<const void*, PoolBlock> pool;
  std::vector<void*> quarantine;  // blocks kept after a refused free; released with the kernel
  std::map<const std::byte*, std::size_t> in_use;
  std::uint64_t allocations = 0;

  std::unordered_map<const IRP*, IrpRecord> irps;
  std::unordered_map<const KEVENT*, std::vector<EventWaiter*>> event_waiters;
  std::unordered_map<const KTIMER*, TimerRecord> timers;
  std::unordered_map<const KDPC*, DpcRecord> dpcs;

  std::deque<std::pair<PWORK_QUEUE_ITEM, PDRIVER_OBJECT>> work_queue;
  sim::ThreadId worker = sim::kNoThread;
  bool stopping = false;

  // Debug-print numbers of the pointers printed so far.  A freed block's numbers are forgotten:
  // whether the host allocator hands its address out again must not show in the log.
  std::map<const void*, std::uint32_t> pointer_numbers;
  std::uint32_t pointers_numbered = 0;

  // ---- helpers shared between the service files ----------------------------------------------
  // Memory goes back (a pool block, a device object): what the kernel keeps about the objects
  // inside it goes too.  A timer still set or a DPC still queued there is reported and stopped.
  void forget_memory(const void* block, std::size_t size);
  void* pool_allocate(POOL_TYPE type, std::size_t size, ULONG tag, bool may_fail);
  void pool_free(void* p);
  void release_pool();

  DeviceRecord* device(const void* object);
  void release_device_if_unused(DeviceRecord& record);
  PDEVICE_OBJECT top_of_stack(PDEVICE_OBJECT device) const;

  PIRP allocate_irp(CCHAR stack_size, bool may_fail);
  // Drops the device references of an IRP's stack locations: the one at `location`, or all.
  void release_irp_refs(IrpRecord& record, std::optional<int> location);
  void free_irp(PIRP irp);
  // Sends a kernel-built IRP to `device` and waits until it has completed; frees it and returns
  // its final status and information.  Runs on a simulated passive-level thread.
  IO_STATUS_BLOCK send_and_wait(PDEVICE_OBJECT device, PIRP irp);

  NTSTATUS wait_for_event(PKEVENT event, std::optional<sim::VTime> deadline);
  sim::VTime deadline_from(LONGLONG due) const;  // negative: relative; positive: absolute system time

  void start_worker();
  void stop_system_threads();

  bool passive_only(const char* service);  // reports IrqlTooHigh; false when the call must not go on
};

// The running machine's kernel state (aborts with a clear message when there is no kernel).
Kernel::Impl& kernel_state();

// The driver whose code runs in this context: new pool blocks are charged to it.
PDRIVER_OBJECT current_owner();
class OwnerScope {
 public:
  explicit OwnerScope(PDRIVER_OBJECT owner);
  ~OwnerScope();
  OwnerScope(const OwnerScope&) = delete;
  OwnerScope& operator=(const OwnerScope&) = delete;

 private:
  PDRIVER_OBJECT previous_;
};

std::unique_ptr<SystemPnp> make_pnp_manager(Kernel::Impl& kernel);
std::string narrow(const UNICODE_STRING* s);
std::string lower_case(std::string_view s);

}  // namespace kernel
