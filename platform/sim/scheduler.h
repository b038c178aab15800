// The simulated PC's one processor: a virtual clock and a deterministic scheduler.
//
// Exactly one piece of simulated code runs at any moment: either a passive-level thread
// (PnP, the serial stack's callers, worker threads, the runner's command thread) or a piece of
// dispatch-level work (DPCs, timer procedures, transfer completions, device events).  Threads are
// real host threads handed a baton, so only one ever runs; dispatch-level work runs on the host
// thread that drives the scheduler.  Virtual time only moves while nothing is runnable.
//
// A thread runs until it blocks, sleeps, finishes, or reaches an interrupt window (a platform call
// made below dispatch level with interrupts enabled) at which the seeded draw lets pending
// dispatch-level work run first.  The same seed replays the same interleaving exactly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/time.h"

namespace sim {

enum class Irql : std::uint8_t { Passive = 0, Apc = 1, Dispatch = 2, Device = 3, High = 31 };

using ThreadId = std::uint32_t;
using WorkId = std::uint64_t;
inline constexpr ThreadId kNoThread = 0;

// Thrown inside a simulated thread that is blocked when its scheduler is destroyed, so that the
// thread unwinds and its host thread can be joined.  Simulated code never catches it.
struct ThreadKilled {};

class Scheduler {
 public:
  explicit Scheduler(std::uint64_t seed);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // The scheduler of the machine that is running; there is at most one at a time per process.
  static Scheduler& current();
  static bool exists();

  VTime now() const;
  std::uint64_t seed() const;

  // ---- dispatch-level work -------------------------------------------------------------------
  // Runs `work` at DISPATCH_LEVEL at virtual time `when` (at once, i.e. at the next opportunity,
  // when `when` is not in the future).  Work due at the same time runs in the order it was added.
  WorkId at(VTime when, std::function<void()> work);
  WorkId soon(std::function<void()> work) { return at(now(), std::move(work)); }
  // Removes work that has not run yet; false when it already ran or was cancelled.
  bool cancel(WorkId id);
  bool pending(WorkId id) const;

  // ---- passive-level threads -----------------------------------------------------------------
  ThreadId spawn(std::string name, std::function<void()> body);
  bool finished(ThreadId id) const;
  // The simulated thread that is running, or kNoThread (dispatch work, or the driving host thread).
  ThreadId current_thread() const;
  std::string_view thread_name(ThreadId id) const;

  // Blocks the current simulated thread until wake() or until `deadline`.  Returns true when
  // woken, false on time-out.  Only a simulated thread at passive level may block.
  bool block(std::optional<VTime> deadline = std::nullopt);
  // Makes a blocked thread ready; a wake for a thread that is not blocked is remembered and makes
  // its next block() return at once (so a wake cannot be lost between "check" and "block").
  void wake(ThreadId id);
  void sleep_until(VTime when);
  void sleep_for(VTime duration) { sleep_until(now() + duration); }

  // ---- the processor -------------------------------------------------------------------------
  Irql irql() const;
  // Raises or lowers the current IRQL of the running code; returns the previous level.
  Irql set_irql(Irql level);
  bool interrupts_enabled() const;
  // _disable/_enable and the flag save/restore around them; returns whether they were enabled.
  bool disable_interrupts();
  void restore_interrupts(bool were_enabled);
  // An interrupt window: the platform calls this from its services.  When the running thread is
  // below dispatch level with interrupts enabled and dispatch-level work is due, a seeded draw
  // decides whether that work runs now, before the thread continues.
  void interrupt_window();

  // ---- driving the machine (host side only, never from simulated code) ------------------------
  // Runs until virtual time reaches `until` and everything due by then has run.
  void run_until(VTime until);
  // Runs until `done()` holds (checked whenever control comes back to the host), or until virtual
  // time would pass `limit`.  Returns whether `done()` held.
  bool run_while_not(const std::function<bool()>& done, VTime limit);
  // Spawns a thread and runs until it finishes; false when it is still blocked at `limit`.
  bool run_thread(std::string name, std::function<void()> body, VTime limit);
  // True when nothing can ever run again: no ready thread and no pending dispatch work.
  bool idle() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Interrupts-off section for platform code written in C++.
class InterruptsOff {
 public:
  InterruptsOff() : were_enabled_(Scheduler::current().disable_interrupts()) {}
  ~InterruptsOff() { Scheduler::current().restore_interrupts(were_enabled_); }
  InterruptsOff(const InterruptsOff&) = delete;
  InterruptsOff& operator=(const InterruptsOff&) = delete;

 private:
  bool were_enabled_;
};

}  // namespace sim
