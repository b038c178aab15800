// Events, waits, delays and the clock.
#include <algorithm>

#include "platform/kernel/kernel_impl.h"

namespace kernel {
namespace {

bool initialised(Kernel::Impl& k, PKEVENT event, const char* service) {
  if (event->Magic == kEventMagic) return true;
  k.verifier.report(Check::EventUninitialised, std::string(service) + " on an event that KeInitializeEvent never initialised");
  return false;
}

}  // namespace

sim::VTime Kernel::Impl::deadline_from(LONGLONG due) const {
  if (due <= 0) return scheduler.now() - due;
  return std::max<sim::VTime>(due - kBootSystemTime, scheduler.now());
}

NTSTATUS Kernel::Impl::wait_for_event(PKEVENT event, std::optional<sim::VTime> deadline) {
  if (event->Signaled) {
    if (event->Type == SynchronizationEvent) event->Signaled = FALSE;
    return STATUS_SUCCESS;
  }
  if (deadline && *deadline <= scheduler.now()) return STATUS_TIMEOUT;
  EventWaiter self{scheduler.current_thread(), false};
  auto& waiters = event_waiters[event];
  waiters.push_back(&self);
  struct Leave {
    Kernel::Impl& k;
    PKEVENT event;
    EventWaiter* self;
    ~Leave() {
      if (!Kernel::exists()) return;  // a thread unwinding after the machine's kernel went away
      auto it = k.event_waiters.find(event);
      if (it == k.event_waiters.end()) return;
      std::erase(it->second, self);
      if (it->second.empty()) k.event_waiters.erase(it);
    }
  } leave{*this, event, &self};
  while (!self.satisfied) {
    if (!scheduler.block(deadline)) break;
  }
  return self.satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

}  // namespace kernel

using kernel::kernel_state;

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Magic = kernel::kEventMagic;
  Event->Type = static_cast<UCHAR>(Type);
  Event->Signaled = State ? TRUE : FALSE;
  kernel_state().event_waiters.erase(Event);
}

LONG KeSetEvent(PKEVENT Event, KPRIORITY, BOOLEAN) {
  auto& k = kernel_state();
  if (!kernel::initialised(k, Event, "KeSetEvent")) return 0;
  const LONG previous = Event->Signaled;
  Event->Signaled = TRUE;
  auto it = k.event_waiters.find(Event);
  if (it != k.event_waiters.end()) {
    for (kernel::EventWaiter* waiter : it->second) {
      if (waiter->satisfied) continue;
      waiter->satisfied = true;
      k.scheduler.wake(waiter->thread);
      if (Event->Type == SynchronizationEvent) {
        Event->Signaled = FALSE;  // the released waiter consumed the signal
        break;
      }
    }
  }
  k.scheduler.interrupt_window();
  return previous;
}

void KeClearEvent(PKEVENT Event) { Event->Signaled = FALSE; }

LONG KeResetEvent(PKEVENT Event) {
  const LONG previous = Event->Signaled;
  Event->Signaled = FALSE;
  return previous;
}

LONG KeReadStateEvent(PKEVENT Event) { return Event->Signaled; }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
  auto& k = kernel_state();
  auto* event = static_cast<PKEVENT>(Object);
  if (!kernel::initialised(k, event, "KeWaitForSingleObject")) return STATUS_INVALID_PARAMETER;
  const bool polls = Timeout != nullptr && Timeout->QuadPart == 0;
  if (!polls && !k.passive_only("KeWaitForSingleObject with a wait")) {
    return k.wait_for_event(event, k.scheduler.now());  // cannot block here: a poll at most
  }
  std::optional<sim::VTime> deadline;
  if (Timeout != nullptr) deadline = k.deadline_from(Timeout->QuadPart);
  return k.wait_for_event(event, deadline);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  auto& k = kernel_state();
  if (!k.passive_only("KeDelayExecutionThread")) return STATUS_SUCCESS;
  k.scheduler.sleep_until(k.deadline_from(Interval->QuadPart));
  return STATUS_SUCCESS;
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kernel::kBootSystemTime + kernel_state().scheduler.now();
}

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(kernel_state().scheduler.now()); }
