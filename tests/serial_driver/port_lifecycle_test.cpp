// The COM port's life: creation, open, close, re-creation and deletion, and the buffers of an
// open period.
#include <cstring>
#include <vector>

#include "tests/serial_driver/port_fixture.h"

namespace krlusb_test {
namespace {

using namespace krlusb;

void expect_fresh_open_period(const _OurPortData& port) {
  const _PORTDATA& pd = port.m_pd;
  EXPECT_EQ(pd.PDLength, 148);
  EXPECT_EQ(pd.PDVersion, 0x010A);
  EXPECT_EQ(pd.PDfunctions, &VcommFuncList);
  EXPECT_EQ(pd.PDNumFunctions, 23U);
  EXPECT_EQ(pd.dwDetectedEvents, 0U);
  EXPECT_EQ(pd.dwCommError, 0U);
  EXPECT_EQ(pd.QInAddr, nullptr);
  EXPECT_EQ(pd.QInCount, 0U);
  const _DCB& dcb = port.m_dcb;
  EXPECT_EQ(dcb.BaudRate, 0U);
  EXPECT_EQ(dcb.BitMask, 0x00040001U);
  EXPECT_EQ(dcb.XonLim, 0xFFFFFFFFU);
  EXPECT_EQ(dcb.XoffLim, 0xFFFFFFFFU);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(port.m_pRxTime, &pd.dwLastReceiveTime);
  EXPECT_EQ(port.m_pEvent, &pd.dwDetectedEvents);
  EXPECT_EQ(port.m_pMsrShadow, &pd.bMSRShadow);
  EXPECT_EQ(port.m_eventmask, 0U);
  EXPECT_EQ(port.m_RxTrigger, 0xFFFFFFFFU);
  EXPECT_EQ(port.m_TxTrigger, 0xFFFFFFFFU);
  EXPECT_EQ(port.m_MiscFlags, 0);
  EXPECT_EQ(port.m_NfyFlags, 0);
  EXPECT_EQ(port.LCR, 3);
  EXPECT_EQ(port.MCR, 8);
  EXPECT_EQ(port.Int_flag, 0);
  EXPECT_EQ(port.PipeStatus, 1);
  EXPECT_EQ(port.OutPipeStatus, 1);
  EXPECT_EQ(port.OutPipeStop, 1);
  EXPECT_EQ(port.m_open, 1);
}

TEST_F(PortTest, EveryOpenStartsAFreshPeriodAndSendsNothingToTheAdapter) {
  auto& adapter = plug_with_port("5");
  ASSERT_NE(port(), nullptr);
  EXPECT_EQ(port()->m_signature, NC_PORT_SIGNATURE);
  EXPECT_STREQ(port()->m_name, "COM5");
  EXPECT_EQ(port()->m_PreOpenProc, &PreOpen);
  adapter.device->take_requests();

  _PORTDATA* block = open_port("COM5");
  ASSERT_EQ(block, pd());
  expect_fresh_open_period(*port());
  EXPECT_TRUE(logged("KRLUSB.SYS: Exit PreOpen(): success!"));

  // A period that changed everything the next one must not inherit.
  ULONG client_events = 0;
  port()->m_dcb.BaudRate = 9600;
  port()->m_dcb.ByteSize = 7;
  port()->m_dcb.Parity = 2;
  port()->m_pEvent = &client_events;
  port()->m_pd.dwDetectedEvents = EV_CTS;
  port()->m_eventmask = EV_CTS;
  port()->m_RxTrigger = 10;
  port()->m_NfyFlags = NF_RECEIVE_SENT | NF_EVENT_SENT;
  port()->m_MiscFlags = MF_STATE_SET | MF_TIMER_LOGIC_OFF;
  port()->LCR = 0x1B;
  port()->MCR = 0x0B;
  port()->OutPipeStop = 0;
  bool closed = false;
  in_driver([&] { closed = functions().pPortClose(pd()) != 0; });
  ASSERT_TRUE(closed);
  EXPECT_EQ(port()->m_open, 0);
  EXPECT_TRUE((port()->m_MiscFlags & MF_CLOSED) != 0);

  ASSERT_EQ(open_port("COM5"), pd());
  expect_fresh_open_period(*port());
  EXPECT_TRUE(adapter.device->take_requests().empty());
}

TEST_F(PortTest, TheFunctionTableHoldsEachFunctionInItsSlot) {
  plug_and_open("5");
  const _PortFunctions& table = functions();
  EXPECT_EQ(table.pPortSetCommState, &SetCommState);
  EXPECT_EQ(table.pPortGetCommState, &GetCommState);
  EXPECT_EQ(table.pPortClose, &Close);
  EXPECT_EQ(table.pPortSetEventMask, &SetEventMask);
  EXPECT_EQ(table.pPortGetEventMask, &GetEventMask);
  EXPECT_EQ(table.pPortEnableNotification, &EnableNotification);
  EXPECT_EQ(table.pPortSetReadCallBack, &SetReadCallback);
  EXPECT_EQ(table.pPortSetWriteCallBack, &SetWriteCallback);
  EXPECT_EQ(table.pPortGetCommConfig, &GetCommConfig);
  EXPECT_EQ(table.pPortSetCommConfig, &SetCommConfig);
  EXPECT_EQ(table.pPortDeviceIOCtl, nullptr);
}

TEST_F(PortTest, AnOpenThatCannotBeMadeLeavesThePortAsItWas) {
  struct Case {
    const char* name;
    LONG error;
    const char* message;
  };
  plug_and_open("5");
  const std::vector<char> before(reinterpret_cast<const char*>(port()),
                                 reinterpret_cast<const char*>(port()) + sizeof(_OurPortData));
  for (const Case& c : {Case{"COM5", IE_OPEN, "Exit PreOpen(): failed IE_OPEN"},
                        Case{"com5", IE_HARDWARE, "Exit PreOpen(): failed IE_HARDWARE"},
                        Case{"COM6", IE_HARDWARE, "Exit PreOpen(): failed IE_HARDWARE"}}) {
    SCOPED_TRACE(c.name);
    const std::size_t mark = log_mark();
    LONG error = 0;
    EXPECT_EQ(open_port(c.name, &error), nullptr);
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(logged_since(mark, c.message));
    EXPECT_EQ(std::memcmp(before.data(), port(), before.size()), 0);
  }
}

TEST_F(PortTest, ClosingAClosedPortChangesNothing) {
  plug_with_port("5");
  port()->m_pd.dwLastError = 77;
  port()->m_pd.QInCount = 3;
  const std::vector<char> before(reinterpret_cast<const char*>(port()),
                                 reinterpret_cast<const char*>(port()) + sizeof(_OurPortData));
  const std::size_t mark = log_mark();
  BOOL result = 0;
  in_driver([&] { result = Close(pd()); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(std::memcmp(before.data(), port(), before.size()), 0);
  EXPECT_FALSE(logged_since(mark, "UnattachUsbComPort"));
}

TEST_F(PortTest, DeletingAnOpenPortClosesItFirst) {
  auto& adapter = plug_with_port("5");
  const std::size_t blocks_without_port = k().pool_stats(KRLUSB_POOL_TAG).blocks - 1;
  ASSERT_NE(open_port("COM5"), nullptr);
  const std::size_t mark = log_mark();
  in_driver([] { KRLUSB_DeleteAll(); });
  EXPECT_EQ(pOurPort, nullptr);
  EXPECT_EQ(ext(adapter)->pOurPortData, nullptr);
  EXPECT_EQ(k().pool_stats(KRLUSB_POOL_TAG).blocks, blocks_without_port);
  const kernel::DebugLog& log = k().log();
  const std::size_t deleting = log.find("KRLUSB.SYS: + Deleting COM5", mark);
  const std::size_t closed = log.find("KRLUSB.SYS: Exit Close()", mark);
  const std::size_t freed = log.find("KRLUSB.SYS: Free pOurPort ...", mark);
  ASSERT_NE(freed, kernel::DebugLog::npos);
  EXPECT_LT(deleting, closed);
  EXPECT_LT(closed, freed);
}

// A port that was never opened is still bound: its device must not point at it once it is gone.
TEST_F(PortTest, DeletingAPortThatWasNeverOpenedUnbindsItsDevice) {
  auto& adapter = plug_with_port("5");
  ASSERT_EQ(ext(adapter)->pOurPortData, port());
  in_driver([] { KRLUSB_DeleteAll(); });
  EXPECT_EQ(ext(adapter)->pOurPortData, nullptr);
  const std::size_t mark = log_mark();
  unplug(std::string(adapter.name));
  EXPECT_FALSE(logged_since(mark, "Removing USB COM device"));
}

TEST_F(PortTest, ANameThatDoesNotFitIsRefusedAndTheExistingPortStays) {
  auto& adapter = plug_with_port("5");
  POURPORTDATA existing = port();
  const std::size_t blocks = k().pool_stats(KRLUSB_POOL_TAG).blocks;
  for (const char* name : {"COM12345", "COMPORT_NUMBER_FIVE"}) {
    SCOPED_TRACE(name);
    const std::size_t mark = log_mark();
    EXPECT_EQ(create_port(name), nullptr);
    EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Exit CreatePort(): port name missing or longer than 7 characters"));
    EXPECT_FALSE(logged_since(mark, "AttachFreeUsbComPort"));
  }
  EXPECT_EQ(port(), existing);
  EXPECT_STREQ(port()->m_name, "COM5");
  EXPECT_EQ(port()->m_pDeviceObject, fdo(adapter));
  EXPECT_EQ(k().pool_stats(KRLUSB_POOL_TAG).blocks, blocks);
  EXPECT_NE(open_port("COM5"), nullptr);
}

TEST_F(PortTest, CreatingAgainReusesAClosedPortAndRefusesAnOpenOne) {
  plug_numbered("5");
  auto& second = plug_numbered("7");
  POURPORTDATA first = create_port("COM5");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(open_port("COM5"), nullptr);

  std::size_t mark = log_mark();
  EXPECT_EQ(create_port("COM7"), nullptr);
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Exit CreatePort(): pOurPort is open"));
  EXPECT_EQ(port()->m_open, 1);
  EXPECT_STREQ(port()->m_name, "COM5");

  in_driver([&] { Close(pd()); });
  mark = log_mark();
  EXPECT_EQ(create_port("COM7"), first);
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: pOurPort was exist ..."));
  EXPECT_EQ(port()->m_pDeviceObject, fdo(second));
  EXPECT_EQ(ext(second)->pOurPortData, first);
  EXPECT_EQ(port()->m_open, 0);
}

// What Setup makes for an open period, as it makes it.
struct SetupBuffers {
  USHORT flags;
  bool ring_is_the_queue;  // the internal ring is what the stack sees as its transmit queue
};

void give_setup_buffers(POURPORTDATA port, const SetupBuffers& how) {
  port->m_MiscFlags = how.flags;
  if ((how.flags & MF_RXQUEUE_OURS) != 0) port->m_pd.QInAddr = static_cast<PUCHAR>(NC_Allocate(1024));
  port->TxQAddr = static_cast<PUCHAR>(NC_Allocate(NC_TXQ_SIZE));
  if ((how.flags & MF_TXQUEUE_OURS) != 0) port->m_pd.QOutAddr = static_cast<PUCHAR>(NC_Allocate(512));
  if (how.ring_is_the_queue) port->m_pd.QOutAddr = port->TxQAddr;
  port->m_pAuxInBuf = static_cast<PUCHAR>(NC_ReAllocate(port->m_pAuxInBuf, NC_AUX_IN_SIZE));
  port->XOnOffBuf = static_cast<PUCHAR>(NC_Allocate(2));
  port->QIntAddr = static_cast<PUCHAR>(NC_Allocate(5));
}

TEST_F(PortTest, BuffersOfAnOpenPeriodAreFreedByTheNextOpenAndByDeletion) {
  plug_with_port("5");
  const std::size_t blocks_with_port = k().pool_stats(KRLUSB_POOL_TAG).blocks;
  UCHAR client_queue[64];
  for (const SetupBuffers& how : {SetupBuffers{MF_RXQUEUE_OURS | MF_TXQUEUE_OURS, false},
                                  SetupBuffers{MF_RXQUEUE_OURS, true}, SetupBuffers{0, false}}) {
    SCOPED_TRACE(how.flags);
    ASSERT_NE(open_port("COM5"), nullptr);
    in_driver([&] {
      give_setup_buffers(port(), how);
      // A queue the client supplied is the client's own.
      if ((how.flags & MF_RXQUEUE_OURS) == 0) port()->m_pd.QInAddr = client_queue;
    });
    EXPECT_GT(k().pool_stats(KRLUSB_POOL_TAG).blocks, blocks_with_port);
    in_driver([&] { Close(pd()); });
    ASSERT_NE(open_port("COM5"), nullptr);
    EXPECT_EQ(k().pool_stats(KRLUSB_POOL_TAG).blocks, blocks_with_port);
    EXPECT_EQ(port()->TxQAddr, nullptr);
    EXPECT_EQ(port()->m_pAuxInBuf, nullptr);
    in_driver([&] { Close(pd()); });
  }

  ASSERT_NE(open_port("COM5"), nullptr);
  in_driver([&] { give_setup_buffers(port(), {MF_RXQUEUE_OURS | MF_TXQUEUE_OURS, false}); });
  in_driver([] { KRLUSB_DeleteAll(); });
  EXPECT_EQ(k().pool_stats(KRLUSB_POOL_TAG).blocks, blocks_with_port - 1);
  EXPECT_TRUE(k().verifier().violations().empty());
}

}  // namespace
}  // namespace krlusb_test
