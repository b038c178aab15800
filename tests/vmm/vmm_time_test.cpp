#include <gtest/gtest.h>

#include <vector>

#include "platform/sim/scheduler.h"
#include "platform/vmm/vmm.h"

namespace {

TEST(VmmTime, SystemTimeIsTheVirtualClockInMilliseconds) {
  sim::Scheduler scheduler(1);
  EXPECT_EQ(Get_System_Time(), 0u);
  scheduler.run_until(sim::milliseconds(1234) + sim::microseconds(999));
  EXPECT_EQ(Get_System_Time(), 1234u);
}

TEST(VmmTime, SleepBlocksOnlyTheCallingThread) {
  sim::Scheduler scheduler(1);
  std::vector<ULONG> sleeper;
  std::vector<ULONG> ticker;
  std::vector<ULONG> dispatch;
  scheduler.spawn("sleeper", [&] {
    sleeper.push_back(Get_System_Time());
    Time_Slice_Sleep(250);
    sleeper.push_back(Get_System_Time());
    Time_Slice_Sleep(0);  // gives up the slice, takes no time
    sleeper.push_back(Get_System_Time());
  });
  scheduler.spawn("ticker", [&] {
    for (int i = 0; i < 4; ++i) {
      Time_Slice_Sleep(100);
      ticker.push_back(Get_System_Time());
    }
  });
  scheduler.at(sim::milliseconds(30), [&] { dispatch.push_back(Get_System_Time()); });

  scheduler.run_until(sim::seconds(1));
  EXPECT_EQ(sleeper, (std::vector<ULONG>{0, 250, 250}));
  EXPECT_EQ(ticker, (std::vector<ULONG>{100, 200, 300, 400}));
  EXPECT_EQ(dispatch, std::vector<ULONG>{30});
  EXPECT_EQ(Get_System_Time(), 1000u);
}

}  // namespace
