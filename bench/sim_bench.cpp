// How fast the simulator runs: virtual seconds per wall second on an idle machine whose only
// activity is a 100 ms periodic kernel timer.  The counter "virtual_x" is the speed-up over real
// time (goal: at least 1000).
#include <benchmark/benchmark.h>

#include "platform/kernel/kernel.h"
#include "platform/kernel/wdm.h"
#include "platform/sim/scheduler.h"

namespace {

void count_tick(PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<std::uint64_t*>(context); }

void IdleMachineWithPeriodicTimer(benchmark::State& state) {
  sim::Scheduler scheduler(1);
  kernel::Kernel kernel(scheduler);
  KTIMER timer;
  KDPC dpc;
  std::uint64_t ticks = 0;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, count_tick, &ticks);
  LARGE_INTEGER due{};
  due.QuadPart = -sim::milliseconds(100);
  KeSetTimerEx(&timer, due, 100, &dpc);

  const sim::VTime slice = sim::seconds(state.range(0));
  for (auto _ : state) {
    scheduler.run_until(scheduler.now() + slice);
  }
  KeCancelTimer(&timer);
  const double virtual_seconds = static_cast<double>(slice) / sim::kTicksPerSecond * static_cast<double>(state.iterations());
  state.counters["virtual_x"] = benchmark::Counter(virtual_seconds, benchmark::Counter::kIsRate);
  state.counters["ticks"] = static_cast<double>(ticks);
}
BENCHMARK(IdleMachineWithPeriodicTimer)->Arg(600)->Unit(benchmark::kMillisecond);

}  // namespace
