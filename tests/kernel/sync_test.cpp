#include <optional>

#include "tests/kernel/kernel_fixture.h"

namespace {

LARGE_INTEGER relative(sim::VTime t) {
  LARGE_INTEGER v{};
  v.QuadPart = -t;
  return v;
}

TEST_F(KernelTest, EventWaitsTimeOutInVirtualTime) {
  run([&] {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER t = relative(sim::milliseconds(50));
    sim::VTime start = s.now();
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(s.now() - start, sim::milliseconds(50));

    start = s.now();
    s.at(start + sim::milliseconds(20), [&] { KeSetEvent(&e, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
    EXPECT_EQ(s.now() - start, sim::milliseconds(20));

    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS) << "stays signalled";
    EXPECT_EQ(KeResetEvent(&e), 1);
    start = s.now();
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(s.now(), start);

    LARGE_INTEGER deadline;
    KeQuerySystemTime(&deadline);
    EXPECT_EQ(deadline.QuadPart, 125'726'688'000'000'000LL + s.now()) << "boots on 1999-06-01";
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(s.now()));
    deadline.QuadPart += sim::milliseconds(30);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
    EXPECT_EQ(s.now() - start, sim::milliseconds(30));

    LARGE_INTEGER pause = relative(sim::milliseconds(250));
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &pause), STATUS_SUCCESS);
    EXPECT_EQ(s.now() - start, sim::milliseconds(280));
  });
}

TEST_F(KernelTest, SynchronizationEventReleasesOneWaiterPerSignal) {
  KEVENT e;
  KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  int released = 0;
  for (int i = 0; i < 2; ++i) {
    s.spawn("waiter", [&] {
      EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
      ++released;
    });
  }
  s.at(sim::milliseconds(10), [&] { KeSetEvent(&e, IO_NO_INCREMENT, FALSE); });
  s.at(sim::milliseconds(20), [&] { KeSetEvent(&e, IO_NO_INCREMENT, FALSE); });
  s.run_until(sim::milliseconds(15));
  EXPECT_EQ(released, 1);
  s.run_until(sim::milliseconds(25));
  EXPECT_EQ(released, 2);
  EXPECT_EQ(KeReadStateEvent(&e), 0) << "each signal was consumed by its waiter";
}

// A wait of up to 5 s for an event that a timer's DPC may set, as a driver waits for a
// cancelled transfer: it ends at the signal, or at the time-out to the tick.
void set_event_dpc(PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE); }

TEST_F(KernelTest, FiveSecondWaitEndsAtTheSignalOrTheTimeout) {
  struct Case {
    const char* what;
    bool signalled_before;
    std::optional<sim::VTime> signal_after;
    NTSTATUS status;
    sim::VTime waited;
  };
  const Case cases[] = {
      {"never signalled", false, std::nullopt, STATUS_TIMEOUT, sim::seconds(5)},
      {"signalled just in time", false, sim::seconds(5) - 1, STATUS_SUCCESS, sim::seconds(5) - 1},
      {"signalled before the wait", true, std::nullopt, STATUS_SUCCESS, 0},
  };
  KEVENT e;
  KTIMER timer;
  KDPC dpc;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    run([&] {
      KeInitializeEvent(&e, NotificationEvent, c.signalled_before);
      KeInitializeTimer(&timer);
      KeInitializeDpc(&dpc, &set_event_dpc, &e);
      if (c.signal_after) KeSetTimer(&timer, relative(*c.signal_after), &dpc);
      LARGE_INTEGER five = relative(sim::seconds(5));
      const sim::VTime start = s.now();
      EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &five), c.status);
      EXPECT_EQ(s.now() - start, c.waited);
      KeCancelTimer(&timer);
    });
    s.run_until(s.now() + sim::seconds(1));
  }
}

struct DpcLog {
  std::vector<sim::VTime> times;
  std::vector<KIRQL> levels;
  std::vector<PVOID> arguments;
};

void log_dpc(PKDPC, PVOID context, PVOID argument1, PVOID) {
  auto* log = static_cast<DpcLog*>(context);
  log->times.push_back(sim::Scheduler::current().now());
  log->levels.push_back(KeGetCurrentIrql());
  log->arguments.push_back(argument1);
}

TEST_F(KernelTest, PeriodicTimerRunsItsDpcAtDispatchLevel) {
  KTIMER timer;
  KDPC dpc;
  DpcLog log;
  run([&] {
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, &log_dpc, &log);
    EXPECT_FALSE(KeSetTimerEx(&timer, relative(sim::milliseconds(10)), 100, &dpc));
  });
  s.run_until(sim::milliseconds(350));
  using sim::milliseconds;
  EXPECT_EQ(log.times, (std::vector<sim::VTime>{milliseconds(10), milliseconds(110), milliseconds(210), milliseconds(310)}));
  EXPECT_EQ(log.levels, std::vector<KIRQL>(4, DISPATCH_LEVEL));
  run([&] {
    EXPECT_TRUE(KeSetTimerEx(&timer, relative(milliseconds(10)), 100, &dpc)) << "was still set";
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    KeSetTimer(&timer, relative(milliseconds(5)), nullptr);
    EXPECT_FALSE(KeReadStateTimer(&timer));
  });
  s.run_until(s.now() + sim::seconds(1));
  EXPECT_EQ(log.times.size(), 4u);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

// A periodic tick that is cancelled (from its own DPC or from a thread), initialised afresh and
// set again: no check trips, and the ticks follow the latest setting only.
struct Tick {
  KTIMER timer;
  KDPC dpc;
  std::vector<sim::VTime> times;
  std::size_t stop_after = 0;  // the DPC cancels its own timer on this tick (0: never)
  bool cancelled_armed = false;
};

void count_tick(PKDPC, PVOID context, PVOID, PVOID) {
  auto* t = static_cast<Tick*>(context);
  t->times.push_back(sim::Scheduler::current().now());
  if (t->times.size() == t->stop_after) t->cancelled_armed = KeCancelTimer(&t->timer);
}

TEST_F(KernelTest, PeriodicTimerCancelledAndInitialisedAfreshTicksOnlyAsSetLast) {
  using sim::milliseconds;
  Tick t;
  auto arm = [&] {
    KeInitializeTimer(&t.timer);
    KeInitializeDpc(&t.dpc, &count_tick, &t);
    KeSetTimerEx(&t.timer, relative(milliseconds(100)), 100, &t.dpc);
  };
  run(arm);
  s.run_until(milliseconds(350));
  run([&] {
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    arm();
  });
  s.run_until(milliseconds(600));
  EXPECT_EQ(t.times, (std::vector<sim::VTime>{milliseconds(100), milliseconds(200), milliseconds(300),
                                               milliseconds(450), milliseconds(550)}));

  t.times.clear();
  t.stop_after = 2;
  run([&] {
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    arm();
  });
  s.run_until(milliseconds(1600));
  EXPECT_EQ(t.times, (std::vector<sim::VTime>{milliseconds(700), milliseconds(800)}));
  EXPECT_TRUE(t.cancelled_armed) << "a periodic timer is set again before its DPC runs";
  run(arm);  // not armed any more: initialising it again is allowed
  s.run_until(milliseconds(1750));
  EXPECT_EQ(t.times.size(), 3u);
  run([&] { KeCancelTimer(&t.timer); });
}

TEST_F(KernelTest, QueuedDpcWaitsForInterruptsAndRaisedIrql) {
  DpcLog log;
  KDPC dpc;
  run([&] {
    KeInitializeDpc(&dpc, &log_dpc, &log);
    int marker = 0;
    _disable();
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &marker, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "already queued";
    for (int i = 0; i < 100; ++i) DbgPrint("");
    EXPECT_TRUE(log.times.empty());
    ULONG_PTR flags = KeSaveFlagsAndDisableInterrupts();
    EXPECT_EQ(flags, 0u);
    KeRestoreFlags(flags);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    _enable();
    for (int i = 0; i < 100; ++i) DbgPrint("");
    EXPECT_TRUE(log.times.empty());
    KeLowerIrql(old);
    for (int i = 0; i < 100 && log.times.empty(); ++i) DbgPrint("");
    ASSERT_EQ(log.arguments, std::vector<PVOID>{&marker});

    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
  });
  s.run_until(s.now() + sim::seconds(1));
  EXPECT_EQ(log.times.size(), 1u);
}

struct WorkLog {
  std::vector<int> order;
  std::vector<KIRQL> levels;
  std::vector<std::string> threads;
  WORK_QUEUE_ITEM items[3];
  int numbers[3] = {1, 2, 3};
};
WorkLog* g_work = nullptr;

void record_work(PVOID parameter) {
  g_work->order.push_back(*static_cast<int*>(parameter));
  g_work->levels.push_back(KeGetCurrentIrql());
  auto& s = sim::Scheduler::current();
  g_work->threads.emplace_back(s.thread_name(s.current_thread()));
}

void queue_three(PKDPC, PVOID, PVOID, PVOID) {
  for (int i = 0; i < 3; ++i) {
    ExInitializeWorkItem(&g_work->items[i], &record_work, &g_work->numbers[i]);
    ExQueueWorkItem(&g_work->items[i], DelayedWorkQueue);
  }
}

TEST_F(KernelTest, WorkItemsRunInOrderOnTheWorkerThread) {
  WorkLog log;
  g_work = &log;
  KDPC dpc;
  run([&] {
    KeInitializeDpc(&dpc, &queue_three, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
  });
  s.run_until(s.now() + sim::milliseconds(1));
  EXPECT_EQ(log.order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(log.levels, std::vector<KIRQL>(3, PASSIVE_LEVEL));
  EXPECT_EQ(log.threads, std::vector<std::string>(3, "system worker"));
}

}  // namespace

namespace {

TEST(KernelShutdown, ThreadsStillWaitingUnwindAfterTheKernelIsGone) {
  std::optional<sim::Scheduler> s;
  s.emplace(1);
  bool unwound = false;
  {
    kernel::Kernel k(*s);
    s->spawn("stuck", [&] {
      struct Mark {
        bool& flag;
        ~Mark() { flag = true; }
      } mark{unwound};
      KEVENT never;
      KeInitializeEvent(&never, NotificationEvent, FALSE);
      KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    s->run_until(sim::milliseconds(1));
  }
  EXPECT_FALSE(kernel::Kernel::exists());
  EXPECT_FALSE(unwound);
  s.reset();
  EXPECT_TRUE(unwound);
}

}  // namespace
