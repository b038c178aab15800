// Checks the platform makes on the code that runs on it, like a driver verifier: what the original
// platform would only crash on is reported here, with a clear message.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kernel {

enum class Check {
  PoolLeak,            // pool blocks still owned by a driver when it unloads
  IrqlTooHigh,         // a routine that must run below dispatch level called at or above it
  IrpCompletedTwice,   // IofCompleteRequest on an IRP nobody owns any more
  IrpFreedWhileOwned,  // IoFreeIrp while a lower driver still holds the IRP
  IrpNoStackLocation,  // IofCallDriver with no stack location left
  TimerReinitialised,  // KeInitializeTimer on an armed timer
  EventUninitialised,  // waiting on or setting an event that KeInitializeEvent never initialised
  BadPoolFree,         // ExFreePool of a block that is not allocated
  FreeWhileInUse,      // a pool block freed while the hardware still uses it (a pending transfer)
  DeviceDeletedBusy,   // IoDeleteDevice while requests are still pending on the object
  FreedWhileQueued,    // memory freed while a timer in it is set or a DPC in it is queued
  Assertion,           // a debug-build assertion failed
};

const char* check_name(Check check);

struct Violation {
  Check check;
  std::string text;
};

class Verifier {
 public:
  // In Abort mode (the default) a violation prints "verifier: <name>: <text>" to standard error
  // and ends the process with status 3; tests that trip a check on purpose switch to Record.
  enum class Mode { Abort, Record };

  void set_mode(Mode mode) { mode_ = mode; }
  Mode mode() const { return mode_; }
  // Reports a violation; returns normally only in Record mode, where the platform then goes on
  // in the safest way (ignores the second completion, keeps the block, and so on).
  void report(Check check, std::string text);
  const std::vector<Violation>& violations() const { return violations_; }
  bool tripped(Check check) const;
  void set_reporter(std::function<void(const Violation&)> reporter) { reporter_ = std::move(reporter); }

  // ---- allocation-failure injection -----------------------------------------------------------
  // Fails the Nth pool allocation from now (1 = the next one); one-shot.
  void fail_nth_allocation(std::uint64_t n);
  // Fails each allocation with probability share/1'000'000, drawn from a generator seeded with
  // `seed` (independent of the scheduler's draws).
  void fail_share(std::uint32_t share_per_million, std::uint64_t seed);
  void stop_failing();
  // True while a failure asked for with fail_nth_allocation has not happened yet.
  bool failure_pending() const { return countdown_.has_value(); }
  // Called by the pool for every allocation; true when this one must fail.
  bool should_fail_allocation();

 private:
  Mode mode_ = Mode::Abort;
  std::vector<Violation> violations_;
  std::function<void(const Violation&)> reporter_;
  std::optional<std::uint64_t> countdown_;
  std::uint32_t share_ = 0;
  std::uint64_t rng_state_ = 0;
};

}  // namespace kernel
