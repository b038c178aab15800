// The processor as drivers see it: IRQL and the interrupt flag.
#include "platform/kernel/kernel_impl.h"

using kernel::kernel_state;

KIRQL KeGetCurrentIrql() { return static_cast<KIRQL>(kernel_state().scheduler.irql()); }

void KeRaiseIrql(KIRQL NewIrql, KIRQL* OldIrql) {
  *OldIrql = static_cast<KIRQL>(kernel_state().scheduler.set_irql(static_cast<sim::Irql>(NewIrql)));
}

void KeLowerIrql(KIRQL NewIrql) {
  sim::Scheduler& s = kernel_state().scheduler;
  s.set_irql(static_cast<sim::Irql>(NewIrql));
  s.interrupt_window();
}

ULONG_PTR KeSaveFlagsAndDisableInterrupts() { return kernel_state().scheduler.disable_interrupts() ? 1 : 0; }

void KeRestoreFlags(ULONG_PTR Flags) {
  sim::Scheduler& s = kernel_state().scheduler;
  s.restore_interrupts(Flags != 0);
  s.interrupt_window();
}

void _disable() { kernel_state().scheduler.disable_interrupts(); }

void _enable() {
  sim::Scheduler& s = kernel_state().scheduler;
  s.restore_interrupts(true);
  s.interrupt_window();
}
