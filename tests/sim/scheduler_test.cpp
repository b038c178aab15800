#include "platform/sim/scheduler.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace sim {
namespace {

TEST(SchedulerWork, RunsByTimeThenInsertionAndHonoursCancel) {
  Scheduler s(1);
  std::string trace;
  std::vector<VTime> seen;
  s.at(milliseconds(5), [&] { trace += 'c'; seen.push_back(s.now()); });
  s.at(milliseconds(1), [&] { trace += 'a'; seen.push_back(s.now()); });
  s.at(milliseconds(5), [&] { trace += 'd'; });
  s.at(milliseconds(1), [&] { trace += 'b'; });
  WorkId dropped = s.at(milliseconds(2), [&] { trace += 'X'; });
  EXPECT_TRUE(s.pending(dropped));
  EXPECT_TRUE(s.cancel(dropped));
  EXPECT_FALSE(s.cancel(dropped));
  s.run_until(milliseconds(3));
  EXPECT_EQ(trace, "ab");
  EXPECT_EQ(s.now(), milliseconds(3));
  s.at(0, [&] { trace += 'p'; EXPECT_EQ(s.irql(), Irql::Dispatch); });  // past: runs at once
  s.run_until(seconds(1));
  EXPECT_EQ(trace, "abpcd");
  EXPECT_EQ(seen, (std::vector<VTime>{milliseconds(1), milliseconds(5)}));
  EXPECT_EQ(s.now(), seconds(1));
  EXPECT_EQ(s.irql(), Irql::Passive);
  EXPECT_TRUE(s.idle());
}

TEST(SchedulerThreads, SleepBlockDeadlineAndWake) {
  Scheduler s(7);
  std::vector<std::string> log;
  auto note = [&](const std::string& what) { log.push_back(what + "@" + std::to_string(to_milliseconds(s.now()))); };
  ThreadId sleeper = 0;
  ThreadId waiter = s.spawn("waiter", [&] {
    note(s.block(s.now() + milliseconds(10)) ? "woken" : "timeout");
    note(s.block(s.now() + milliseconds(100)) ? "woken" : "timeout");
    note(s.block() ? "woken" : "timeout");  // the wake below came first and is remembered
  });
  sleeper = s.spawn("sleeper", [&] {
    EXPECT_EQ(s.current_thread(), sleeper);
    s.sleep_for(milliseconds(30));
    note("wake");
    s.wake(waiter);
    s.wake(waiter);  // not blocked now: remembered once
  });
  EXPECT_FALSE(s.idle());
  s.run_until(seconds(1));
  EXPECT_TRUE(s.finished(waiter));
  EXPECT_TRUE(s.finished(sleeper));
  EXPECT_EQ(log, (std::vector<std::string>{"timeout@10", "wake@30", "woken@30", "woken@30"}));
  EXPECT_EQ(s.thread_name(waiter), "waiter");
}

TEST(SchedulerThreads, RunThreadStopsAtLimitWhenBlocked) {
  Scheduler s(3);
  bool reached = false;
  EXPECT_FALSE(s.run_thread("stuck", [&] { s.block(); reached = true; }, seconds(2)));
  EXPECT_EQ(s.now(), seconds(2));
  EXPECT_TRUE(s.idle());  // blocked forever: nothing can run
  EXPECT_TRUE(s.run_thread("ok", [] {}, seconds(3)));
  EXPECT_FALSE(reached);
}

// A thread that keeps adding dispatch work and passing interrupt windows: which windows let the
// work in is drawn from the seed.
std::string interleaving(std::uint64_t seed) {
  Scheduler s(seed);
  std::string trace;
  s.spawn("worker", [&] {
    for (int i = 0; i < 16; ++i) {
      s.soon([&] {
        EXPECT_EQ(s.irql(), Irql::Dispatch);
        trace += 'w';
      });
      trace += 't';
      s.interrupt_window();
    }
  });
  s.run_until(seconds(1));
  return trace;
}

TEST(SchedulerWindows, SeedReplaysAndVaries) {
  std::set<std::string> seen;
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    std::string trace = interleaving(seed);
    EXPECT_EQ(trace, interleaving(seed));
    EXPECT_EQ(std::count(trace.begin(), trace.end(), 'w'), 16);
    seen.insert(trace);
  }
  EXPECT_GT(seen.size(), 3u);
}

TEST(SchedulerWindows, PreemptedThreadResumesBeforeOtherReadyThreads) {
  Scheduler s(11);
  std::string trace;
  s.spawn("a", [&] {
    bool ran = false;
    s.soon([&] { ran = true; trace += 'w'; });
    while (!ran) s.interrupt_window();
    trace += 'A';
  });
  s.spawn("b", [&] { trace += 'B'; });
  s.run_until(milliseconds(1));
  EXPECT_EQ(trace, "wAB");
}

TEST(SchedulerWindows, NoWorkWithInterruptsOffOrAtDispatch) {
  Scheduler s(5);
  int ran = 0;
  s.spawn("t", [&] {
    s.soon([&] { ++ran; });
    {
      InterruptsOff off;
      for (int i = 0; i < 200; ++i) s.interrupt_window();
    }
    Irql old = s.set_irql(Irql::Dispatch);
    for (int i = 0; i < 200; ++i) s.interrupt_window();
    s.set_irql(old);
    EXPECT_EQ(ran, 0);
    EXPECT_TRUE(s.interrupts_enabled());
    while (ran == 0) s.interrupt_window();
  });
  s.run_until(milliseconds(1));
  EXPECT_EQ(ran, 1);
}

TEST(SchedulerDestruction, KillsBlockedAndSleepingThreads) {
  int unwound = 0;
  bool after = false;
  struct Guard {
    int& n;
    ~Guard() { ++n; }
  };
  {
    Scheduler s(2);
    s.spawn("blocked", [&] {
      Guard g{unwound};
      s.block();
      after = true;
    });
    s.spawn("sleeping", [&] {
      Guard g{unwound};
      s.sleep_for(seconds(100));
      after = true;
    });
    s.run_until(milliseconds(1));
    s.spawn("late", [&] { after = true; });
  }
  EXPECT_EQ(unwound, 2);
  EXPECT_FALSE(after);
  EXPECT_FALSE(Scheduler::exists());
}

using SchedulerDeathTest = ::testing::Test;

TEST_F(SchedulerDeathTest, WaitingWhereNoWaitIsAllowedAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Scheduler s(1);
        s.run_thread("raised", [&] { s.set_irql(Irql::Dispatch); s.block(); }, seconds(1));
      },
      "block called at IRQL 2 in thread 'raised'");
  EXPECT_DEATH(
      {
        Scheduler s(1);
        s.run_thread("off", [&] { s.disable_interrupts(); s.sleep_for(1); }, seconds(1));
      },
      "sleep called with interrupts disabled");
  EXPECT_DEATH(
      {
        Scheduler s(1);
        s.soon([&] { s.block(); });
        s.run_until(1);
      },
      "block called outside a simulated thread");
  EXPECT_DEATH(
      {
        Scheduler a(1);
        Scheduler b(2);
      },
      "second Scheduler");
}

}  // namespace
}  // namespace sim
