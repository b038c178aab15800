// Binding the COM port to the USB serial device of its name, and what is left when either goes.
#include "tests/serial_driver/port_fixture.h"
#include "tests/serial_driver/pump_request.h"

namespace krlusb_test {
namespace {

using namespace krlusb;

TEST_F(PortTest, ThePortBindsToTheFirstDeviceOfItsName) {
  plug_numbered("3");
  auto& first = plug_numbered("5");
  auto& second = plug_numbered("5");
  ASSERT_EQ(device_list(), (std::vector<std::string>{"COM3", "COM5", "COM5"}));
  ASSERT_NE(create_port("COM5"), nullptr);
  EXPECT_EQ(port()->m_pDeviceObject, fdo(first));
  EXPECT_EQ(ext(first)->pOurPortData, port());
  EXPECT_EQ(ext(second)->pOurPortData, nullptr);
  EXPECT_TRUE(logged("KRLUSB.SYS: Exit AttachFreeUsbComPort(): Success!"));
}

TEST_F(PortTest, APortWithoutADeviceOfItsNameIsNotCreated) {
  struct Case {
    bool plugged;
    const char* name;
    const char* message;
  };
  for (const Case& c : {Case{false, "COM5", "Exit AttachFreeUsbComPort(): error: pUsbCom empty"},
                        Case{true, "com5", "Exit AttachFreeUsbComPort(): No free USB COM devices"},
                        Case{true, "", "Exit AttachFreeUsbComPort(): No free USB COM devices"}}) {
    SCOPED_TRACE(c.name);
    if (c.plugged && device_list().empty()) plug_numbered("5");
    const std::size_t blocks = k().pool_stats(KRLUSB_POOL_TAG).blocks;
    const std::size_t mark = log_mark();
    EXPECT_EQ(create_port(c.name), nullptr);
    EXPECT_EQ(pOurPort, nullptr);
    EXPECT_TRUE(logged_since(mark, c.message));
    EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Free pOurPort ..."));
    EXPECT_EQ(k().pool_stats(KRLUSB_POOL_TAG).blocks, blocks);
  }
}

TEST_F(PortTest, RemovingTheBoundDeviceLeavesAnOpenPortThatCannotClose) {
  auto& adapter = plug_and_open("5");
  std::size_t mark = log_mark();
  unplug(std::string(adapter.name));
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: + Removing USB COM device from COM5"));
  ASSERT_NE(pOurPort, nullptr);
  EXPECT_EQ(port()->m_pDeviceObject, nullptr);

  mark = log_mark();
  BOOL closed = 1;
  in_driver([&] { closed = Close(pd()); });
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(port()->m_pd.dwLastError, IE_OPEN);
  EXPECT_EQ(port()->m_open, 1);
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: + Failed: No USB COM device attached"));
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Exit Close(): Failed"));

  in_driver([] { KRLUSB_DeleteAll(); });
  EXPECT_EQ(pOurPort, nullptr);
}

// A closed port keeps the name of its device for the next open period; the name must go with the
// device.
TEST_F(PortTest, AClosedPortForgetsADeviceThatIsRemoved) {
  auto& adapter = plug_and_open("5");
  in_driver([&] { Close(pd()); });
  ASSERT_EQ(port()->m_pDeviceObject, fdo(adapter));
  ASSERT_EQ(ext(adapter)->pOurPortData, nullptr);
  const std::size_t mark = log_mark();
  unplug(std::string(adapter.name));
  EXPECT_FALSE(logged_since(mark, "Removing USB COM device"));
  EXPECT_EQ(port()->m_pDeviceObject, nullptr);
}

// A transmit purge marks the pipe idle while its transfer may still be out; closing must still
// take that transfer back before the port's buffers can go.
TEST_F(PortTest, ClosingCancelsATransmitTransferThatAPurgeLeftOut) {
  auto& adapter = plug_and_open("5");
  PumpRequest transmit;
  transmit.info = &ext(adapter)->OutIrpInfo;
  in_driver([&] { submit_pump_request(fdo(adapter), transmit); });
  m().advance(sim::milliseconds(5));
  ASSERT_EQ(transmit.completions, 0);
  port()->OutPipeStatus = 1;
  port()->OutPipeStop = 0;

  BOOL closed = 0;
  in_driver([&] { closed = Close(pd()); });
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(transmit.completions, 1);
  EXPECT_EQ(transmit.status, STATUS_CANCELLED);
  EXPECT_TRUE(logged("KRLUSB.SYS: Exit CancelOutIrp() Success"));
}

// Removal without unplugging: the bus still holds the pumps' transfers when the device leaves
// the list, and their transfer blocks are freed only after the transfers came back.
TEST_F(PortTest, RemovingADeviceTakesBackItsPumpTransfersFirst) {
  auto& adapter = plug_and_open("5");
  PumpRequest receive;
  receive.info = &ext(adapter)->InIrpInfo;
  in_driver([&] { submit_pump_request(fdo(adapter), receive); });
  m().advance(sim::milliseconds(5));
  ASSERT_EQ(receive.completions, 0);
  const std::size_t mark = log_mark();
  EXPECT_EQ(pnp(adapter.name, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(receive.completions, 1);
  EXPECT_EQ(receive.status, STATUS_CANCELLED);
  const kernel::DebugLog& log = k().log();
  const std::size_t cancelled = log.find("KRLUSB.SYS: Exit CancelIrp(): Success", mark);
  ASSERT_NE(cancelled, kernel::DebugLog::npos);
  EXPECT_LT(cancelled, log.find("KRLUSB.SYS: Exit DeleteUsbComPort()", mark));
  EXPECT_EQ(port()->m_pDeviceObject, nullptr);
  unplug(std::string(adapter.name));
}

TEST_F(PortTest, ATransferThatIsNotGivenBackKeepsItsTransferBlock) {
  auto& adapter = plug_and_open("5");
  PumpRequest receive;
  receive.info = &ext(adapter)->InIrpInfo;
  receive.signal_cancel_event = false;
  PURB block = receive.info->pUrb;
  in_driver([&] { submit_pump_request(fdo(adapter), receive); });
  m().advance(sim::milliseconds(5));
  const std::size_t mark = log_mark();
  EXPECT_EQ(pnp(adapter.name, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Exit CancelIrp(): Failed: Timeout"));
  EXPECT_TRUE(logged_since(
      mark, "KRLUSB.SYS: + Request of pipe 0 could not be cancelled: its transfer block is left to it"));
  EXPECT_EQ(receive.completions, 1);
  // Still allocated: freeing a block twice would trip the verifier.
  in_driver([&] { ExFreePool(block); });
  EXPECT_TRUE(k().verifier().violations().empty());
  unplug(std::string(adapter.name));
}

}  // namespace
}  // namespace krlusb_test
