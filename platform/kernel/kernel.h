// The kernel of the simulated PC as the machine (not the drivers) sees it: loading drivers, the
// PnP manager, the object namespace, user-side I/O on device objects, the debug log and the
// verifier.  Drivers see only wdm.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/debug_log.h"
#include "platform/kernel/in_use.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/verifier.h"
#include "platform/kernel/wdm.h"
#include "platform/sim/scheduler.h"

namespace kernel {

struct PoolStats {
  std::size_t blocks = 0;
  std::size_t bytes = 0;
  std::uint64_t allocations = 0;  // allocations attempted since the kernel started
};

// Result of a device I/O-control request made from a caller's thread.
struct IoResult {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  std::vector<std::uint8_t> output;  // the first `information` bytes of the output buffer
};

class Kernel {
 public:
  explicit Kernel(sim::Scheduler& scheduler);
  // Unloads every driver still loaded (with its pool-leak check) and stops the system threads.
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  static Kernel& current();
  static bool exists();

  sim::Scheduler& scheduler();
  DebugLog& log();
  Verifier& verifier();
  PnpManager& pnp();

  // ---- drivers -------------------------------------------------------------------------------
  // Creates the driver object "\Driver\NAME" and calls its entry point in the calling thread
  // (a simulated passive-level thread).  Returns null when the entry point fails.
  PDRIVER_OBJECT load_driver(std::string_view name, PDRIVER_INITIALIZE entry);
  // Calls the driver's unload routine, then reports every pool block the driver still owns to the
  // verifier as a leak, by tag ("pool leak at unload of KRLUSB: tag 'Wdm ' 2 blocks 144 bytes").
  void unload_driver(PDRIVER_OBJECT driver);
  PDRIVER_OBJECT find_driver(std::string_view name) const;
  // Runs `fn` with `driver` as the owner of the pool blocks it allocates (for calls that enter a
  // driver other than through the I/O manager, such as its exported routines).
  void call_into(PDRIVER_OBJECT driver, const std::function<void()>& fn);

  // ---- object namespace ----------------------------------------------------------------------
  PDEVICE_OBJECT find_device(std::string_view name) const;  // "\Device\COMPORT001"
  std::string device_name(PDEVICE_OBJECT device) const;     // empty for unnamed objects
  std::vector<std::string> device_names() const;            // sorted
  std::optional<std::string> symbolic_link_target(std::string_view link) const;

  // ---- pool ----------------------------------------------------------------------------------
  PoolStats pool_stats() const;
  PoolStats pool_stats(ULONG tag) const;

  // ---- user-side I/O from a caller's thread (create, request, close) --------------------------
  // Sends IRP_MJ_CREATE, then IRP_MJ_DEVICE_CONTROL with a METHOD_BUFFERED system buffer of
  // max(input, output_length) bytes, then IRP_MJ_CLOSE, to the top of the named device's stack,
  // waiting for each.  Must run on a simulated thread.
  IoResult device_io_control(std::string_view device_name, ULONG code, std::span<const std::uint8_t> input,
                             ULONG output_length);

  struct Impl;  // the kernel's own state (platform/kernel/kernel_impl.h)

 private:
  std::unique_ptr<Impl> impl_;
  friend struct KernelAccess;
};

}  // namespace kernel
