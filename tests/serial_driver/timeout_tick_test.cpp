// The receive time-out tick: armed while the client wants receive notifications, and calling the
// receive callback again while received bytes wait unread.
#include <vector>

#include "tests/serial_driver/port_fixture.h"

namespace krlusb_test {
namespace {

using namespace krlusb;

std::vector<sim::VTime> receive_calls;

void on_receive(_PORTDATA* /*block*/, ULONG /*ref*/, ULONG code, ULONG /*events*/) {
  if (code == CN_RECEIVE) receive_calls.push_back(sim::Scheduler::current().now());
}

class TimeoutTickTest : public PortTest {
 protected:
  void SetUp() override {
    receive_calls.clear();
    plug_and_open("5");
    ASSERT_NE(pOurPort, nullptr);
    pd()->QInSize = 4096;
  }
  void set_read_callback(PortNotifyProc callback) {
    in_driver([&] { SetReadCallback(pd(), 1, callback, 0); });
  }
  std::size_t ticks_since(std::size_t mark) const {
    std::size_t count = 0;
    const kernel::DebugLog& log = machine_->kernel().log();
    for (std::size_t at = log.find("TimeoutProc() *Tick*", mark); at != kernel::DebugLog::npos;
         at = log.find("TimeoutProc() *Tick*", at + 1)) {
      count++;
    }
    return count;
  }
};

TEST_F(TimeoutTickTest, TheTickRunsWhileAReadCallbackIsSet) {
  set_read_callback(on_receive);
  EXPECT_EQ(HaveTimer, 1);
  EXPECT_EQ(count_logged("KRLUSB.SYS: Exit ManageTimer() Timer set up"), 1U);
  set_read_callback(on_receive);
  EXPECT_EQ(count_logged("KRLUSB.SYS: Exit ManageTimer() Timer set up"), 1U);
  EXPECT_EQ(count_logged("KRLUSB.SYS: Exit ManageTimer() Already have a timer"), 2U);

  std::size_t mark = log_mark();
  m().advance(sim::milliseconds(1000));
  EXPECT_EQ(ticks_since(mark), 10U);

  set_read_callback(nullptr);
  EXPECT_EQ(HaveTimer, 0);
  EXPECT_TRUE(logged("KRLUSB.SYS: + Canceling timer"));
  mark = log_mark();
  m().advance(sim::milliseconds(1000));
  EXPECT_EQ(ticks_since(mark), 0U);
  set_read_callback(nullptr);
  EXPECT_TRUE(logged("KRLUSB.SYS: Exit ManageTimer() No timer to cancel"));
}

TEST_F(TimeoutTickTest, UnreadBytesAreNotifiedOnTheSecondTickAndThenOnlyAfterARead) {
  pd()->QInCount = 10;
  set_read_callback(on_receive);
  const sim::VTime armed = m().scheduler().now();

  m().advance(sim::milliseconds(150));
  EXPECT_TRUE(receive_calls.empty());
  EXPECT_TRUE((port()->m_NfyFlags & NF_TIMEOUT_PHASE) != 0);
  m().advance(sim::milliseconds(1000));
  ASSERT_EQ(receive_calls.size(), 1U);
  EXPECT_EQ(receive_calls[0] - armed, sim::milliseconds(200));
  EXPECT_TRUE((port()->m_NfyFlags & NF_RECEIVE_SENT) != 0);

  // Read re-arms the notification; the bytes still wait.
  const sim::VTime read = m().scheduler().now();
  port()->m_NfyFlags &= static_cast<UCHAR>(~NF_RECEIVE_SENT);
  m().advance(sim::milliseconds(1000));
  ASSERT_EQ(receive_calls.size(), 2U);
  EXPECT_GT(receive_calls[1] - read, sim::milliseconds(100));
  EXPECT_LE(receive_calls[1] - read, sim::milliseconds(200));
}

TEST_F(TimeoutTickTest, TimerLogicOffSilencesTheTickWithoutStoppingIt) {
  pd()->QInCount = 10;
  set_read_callback(on_receive);
  port()->m_MiscFlags |= MF_TIMER_LOGIC_OFF;
  const std::size_t mark = log_mark();
  m().advance(sim::milliseconds(1000));
  EXPECT_TRUE(receive_calls.empty());
  EXPECT_EQ(ticks_since(mark), 10U);

  port()->m_MiscFlags &= static_cast<USHORT>(~MF_TIMER_LOGIC_OFF);
  m().advance(sim::milliseconds(200));
  EXPECT_EQ(receive_calls.size(), 1U);
  EXPECT_EQ(count_logged("KRLUSB.SYS: Exit ManageTimer() Timer set up"), 1U);
}

TEST_F(TimeoutTickTest, NothingIsNotifiedForAPortWhoseDeviceHasGone) {
  const std::string adapter = m().serial_adapters().front()->name;
  pd()->QInCount = 10;
  set_read_callback(on_receive);
  unplug(adapter);
  ASSERT_EQ(port()->m_pDeviceObject, nullptr);
  const std::size_t mark = log_mark();
  m().advance(sim::milliseconds(1000));
  EXPECT_EQ(ticks_since(mark), 10U);
  EXPECT_TRUE(receive_calls.empty());
  EXPECT_EQ(port()->m_NfyFlags & (NF_TIMEOUT_PHASE | NF_RECEIVE_SENT), 0);
}

}  // namespace
}  // namespace krlusb_test
