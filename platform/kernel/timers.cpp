// DPCs and timers: both run as dispatch-level work on the scheduler.
#include "platform/kernel/kernel_impl.h"

namespace kernel {
namespace {

void run_dpc(Kernel::Impl& k, PKDPC dpc, PVOID argument1, PVOID argument2) {
  auto it = k.dpcs.find(dpc);
  OwnerScope owner(it != k.dpcs.end() ? it->second.owner : nullptr);
  dpc->DeferredRoutine(dpc, dpc->DeferredContext, argument1, argument2);
}

void arm(Kernel::Impl& k, PKTIMER timer, sim::VTime due) {
  TimerRecord& record = k.timers[timer];
  record.armed = true;
  record.signaled = false;
  timer->DueTime.QuadPart = kBootSystemTime + due;
  record.work = k.scheduler.at(due, [&k, timer, due] {
    TimerRecord& r = k.timers[timer];
    r.armed = false;
    r.signaled = true;
    PKDPC dpc = timer->Dpc;
    if (timer->Period > 0) arm(k, timer, due + sim::milliseconds(timer->Period));
    if (dpc != nullptr) run_dpc(k, dpc, nullptr, nullptr);
  });
}

BOOLEAN disarm(Kernel::Impl& k, PKTIMER timer) {
  auto it = k.timers.find(timer);
  if (it == k.timers.end() || !it->second.armed) return FALSE;
  k.scheduler.cancel(it->second.work);
  it->second.armed = false;
  return TRUE;
}

}  // namespace
}  // namespace kernel

using kernel::kernel_state;

void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  auto& k = kernel_state();
  auto it = k.dpcs.find(Dpc);
  if (it != k.dpcs.end() && it->second.queued) k.scheduler.cancel(it->second.work);
  Dpc->Magic = kernel::kDpcMagic;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  k.dpcs[Dpc] = kernel::DpcRecord{kernel::current_owner(), 0, false};
}

BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  auto& k = kernel_state();
  kernel::DpcRecord& record = k.dpcs[Dpc];
  if (record.queued) return FALSE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  record.queued = true;
  record.work = k.scheduler.soon([&k, Dpc] {
    k.dpcs[Dpc].queued = false;
    kernel::run_dpc(k, Dpc, Dpc->SystemArgument1, Dpc->SystemArgument2);
  });
  k.scheduler.interrupt_window();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PKDPC Dpc) {
  auto& k = kernel_state();
  auto it = k.dpcs.find(Dpc);
  if (it == k.dpcs.end() || !it->second.queued) return FALSE;
  k.scheduler.cancel(it->second.work);
  it->second.queued = false;
  return TRUE;
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationEvent); }

void KeInitializeTimerEx(PKTIMER Timer, int) {
  auto& k = kernel_state();
  auto it = k.timers.find(Timer);
  if (it != k.timers.end() && it->second.armed) {
    k.verifier.report(kernel::Check::TimerReinitialised, "KeInitializeTimer on a timer that is still set");
    kernel::disarm(k, Timer);
  }
  Timer->Magic = kernel::kTimerMagic;
  Timer->DueTime.QuadPart = 0;
  Timer->Period = 0;
  Timer->Dpc = nullptr;
  k.timers[Timer] = kernel::TimerRecord{};
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  auto& k = kernel_state();
  const BOOLEAN was_set = kernel::disarm(k, Timer);
  Timer->Period = Period;
  Timer->Dpc = Dpc;
  kernel::arm(k, Timer, k.deadline_from(DueTime.QuadPart));
  k.scheduler.interrupt_window();
  return was_set;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) { return kernel::disarm(kernel_state(), Timer); }

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  auto& k = kernel_state();
  auto it = k.timers.find(Timer);
  return it != k.timers.end() && it->second.signaled ? TRUE : FALSE;
}
