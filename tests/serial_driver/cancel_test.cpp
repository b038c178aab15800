// Cancelling a pump's request and waiting for its completion routine to let it go.
#include "tests/serial_driver/port_fixture.h"
#include "tests/serial_driver/pump_request.h"

namespace krlusb_test {
namespace {

using namespace krlusb;

class CancelTest : public PortTest {
 protected:
  void SetUp() override {
    adapter_ = &plug_and_open("5");
    ASSERT_NE(pOurPort, nullptr);
  }
  // Runs the cancellation on a thread; how much virtual time it took.
  sim::VTime timed(const std::function<void()>& cancel) {
    const sim::VTime start = m().scheduler().now();
    in_driver(cancel);
    return m().scheduler().now() - start;
  }
  machine::PluggedSerialAdapter* adapter_ = nullptr;
};

TEST_F(CancelTest, APipeWithoutARequestIsDoneAtOnce) {
  struct Case {
    UCHAR (*cancel)(POURPORTDATA);
    const char* enter;
    const char* exit;
  };
  for (const Case& c : {Case{CancelInIrp, "Enter CancelInIrp()", "Exit CancelInIrp() Success"},
                        Case{CancelIntIrp, "Enter CancelInIrp()", "Exit CancelIntIrp() Success"},
                        Case{CancelOutIrp, "Enter CancelOutIrp()", "Exit CancelOutIrp() Success"}}) {
    SCOPED_TRACE(c.exit);
    const std::size_t mark = log_mark();
    UCHAR result = FALSE;
    EXPECT_EQ(timed([&] { result = c.cancel(port()); }), 0);
    EXPECT_EQ(result, TRUE);
    EXPECT_TRUE(logged_since(mark, c.enter));
    EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Exit CancelIrp(): No IRP to cancel"));
    EXPECT_TRUE(logged_since(mark, c.exit));
  }
}

TEST_F(CancelTest, ARequestThatWasNeverSubmittedCannotBeCancelledAndCountsAsDone) {
  _IRPINFO& transmit = ext(*adapter_)->OutIrpInfo;
  in_driver([&] { transmit.pIrp = IoAllocateIrp(ext(*adapter_)->StackDeviceObject->StackSize, FALSE); });
  UCHAR result = FALSE;
  EXPECT_EQ(timed([&] { result = CancelOutIrp(port()); }), 0);
  EXPECT_EQ(result, TRUE);
  EXPECT_TRUE(logged("KRLUSB.SYS: Exit CancelIrp(): IRP is not cancellable!!??"));
  EXPECT_NE(transmit.pIrp, nullptr);
  in_driver([&] {
    IoFreeIrp(transmit.pIrp);
    transmit.pIrp = nullptr;
  });
}

TEST_F(CancelTest, AnOutstandingRequestIsDoneAsSoonAsItsCompletionSignals) {
  PumpRequest receive;
  receive.info = &ext(*adapter_)->InIrpInfo;
  in_driver([&] { submit_pump_request(fdo(*adapter_), receive); });
  m().advance(sim::milliseconds(20));
  ASSERT_EQ(receive.completions, 0);

  UCHAR result = FALSE;
  EXPECT_LT(timed([&] { result = CancelInIrp(port()); }), sim::milliseconds(5));
  EXPECT_EQ(result, TRUE);
  EXPECT_EQ(receive.completions, 1);
  EXPECT_EQ(receive.status, STATUS_CANCELLED);
  EXPECT_EQ(receive.info->pIrp, nullptr);
  EXPECT_TRUE(logged("KRLUSB.SYS: Exit CancelIrp(): Success"));
  EXPECT_TRUE(logged("KRLUSB.SYS: Exit CancelInIrp() Success"));
}

TEST_F(CancelTest, ACompletionThatNeverSignalsFailsTheCancelAfterFiveSeconds) {
  PumpRequest receive;
  receive.info = &ext(*adapter_)->InIrpInfo;
  receive.signal_cancel_event = false;
  PURB block = receive.info->pUrb;
  in_driver([&] { submit_pump_request(fdo(*adapter_), receive); });
  m().advance(sim::milliseconds(20));

  UCHAR result = TRUE;
  EXPECT_EQ(timed([&] { result = CancelInIrp(port()); }), sim::seconds(5));
  EXPECT_EQ(result, FALSE);
  EXPECT_EQ(receive.info->pUrb, block);
  EXPECT_TRUE(logged("KRLUSB.SYS: Exit CancelIrp(): Failed: Timeout"));
  EXPECT_TRUE(logged("KRLUSB.SYS: Exit CancelInIrp(): CancelIrp(): failed"));
}

}  // namespace
}  // namespace krlusb_test
