// Time services of the virtual machine manager, on the simulated machine's virtual clock.
#include "platform/sim/scheduler.h"
#include "platform/vmm/vmm.h"

ULONG Get_System_Time() {
  // Milliseconds in 32 bits wrap after 49.7 days, as the original's counter does.
  return static_cast<ULONG>(sim::to_milliseconds(sim::Scheduler::current().now()));
}

void Time_Slice_Sleep(ULONG Milliseconds) {
  auto& scheduler = sim::Scheduler::current();
  if (Milliseconds == 0) {
    // Giving up the rest of the time slice: pending dispatch-level work may run now.
    scheduler.interrupt_window();
    return;
  }
  scheduler.sleep_for(sim::milliseconds(Milliseconds));
}
