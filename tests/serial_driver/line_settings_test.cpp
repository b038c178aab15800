// Line settings of the COM port: what is refused, what the adapter is told and when, and what the
// port and the caller's record hold afterwards.
#include <cstring>

#include "tests/serial_driver/port_fixture.h"

namespace krlusb_test {
namespace {

using namespace krlusb;
using devices::VendorRequest;

VendorRequest to_device(UCHAR code, std::vector<std::uint8_t> data) { return {code, false, std::move(data)}; }
VendorRequest from_device(UCHAR code, std::vector<std::uint8_t> data) { return {code, true, std::move(data)}; }

constexpr ULONG kLineFields = fBaudRate | fByteSize | fbParity | fStopBits;

class LineSettingsTest : public PortTest {
 protected:
  void SetUp() override {
    adapter_ = &plug_and_open("5");
    ASSERT_NE(port(), nullptr);
    ASSERT_EQ(port()->m_open, 1);
    adapter_->device->take_requests();  // whatever the plugging sent
  }

  // The port's settings with the changes of `edit`, as the serial stack hands them over.
  _DCB current_with(const std::function<void(_DCB&)>& edit = {}) {
    _DCB dcb = port()->m_dcb;
    if (edit) edit(dcb);
    return dcb;
  }
  BOOL set_state(_DCB& dcb, ULONG mask) {
    BOOL result = 0;
    in_driver([&] { result = functions().pPortSetCommState(pd(), &dcb, mask); });
    return result;
  }
  BOOL set_state(const std::function<void(_DCB&)>& edit, ULONG mask) {
    _DCB dcb = current_with(edit);
    return set_state(dcb, mask);
  }
  // The first change after the open also reads the modem status: done here, so that a test sees
  // only what its own change sends.
  void settle_first_change() {
    ASSERT_EQ(set_state([](_DCB&) {}, 0), 1);
    requests();
  }
  std::vector<VendorRequest> requests() { return adapter_->device->take_requests(); }

  machine::PluggedSerialAdapter* adapter_ = nullptr;
};

TEST_F(LineSettingsTest, RefusedSettingsChangeNothingAndSendNothing) {
  struct Case {
    const char* what;
    ULONG mask;
    std::function<void(_DCB&)> edit;
    LONG error;
  };
  const Case cases[] = {
      {"three stop bits", fStopBits, [](_DCB& d) { d.StopBits = 3; }, IE_DEFAULT},
      {"parity 5", fbParity, [](_DCB& d) { d.Parity = 5; }, IE_DEFAULT},
      {"4 data bits", fByteSize, [](_DCB& d) { d.ByteSize = 4; }, IE_BYTESIZE},
      {"9 data bits", fByteSize, [](_DCB& d) { d.ByteSize = 9; }, IE_BYTESIZE},
      {"baud 0", fBaudRate, [](_DCB& d) { d.BaudRate = 0; }, IE_BAUDRATE},
      {"baud 1", fBaudRate, [](_DCB& d) { d.BaudRate = 1; }, IE_BAUDRATE},
      {"baud 115201", fBaudRate, [](_DCB& d) { d.BaudRate = 115201; }, IE_BAUDRATE},
      {"index 0xFF19", fBaudRate, [](_DCB& d) { d.BaudRate = 0xFF19; }, IE_BAUDRATE},
      {"index 0xFF1A", fBaudRate, [](_DCB& d) { d.BaudRate = 0xFF1A; }, IE_BAUDRATE},
      {"index 0xFF1C", fBaudRate, [](_DCB& d) { d.BaudRate = 0xFF1C; }, IE_BAUDRATE},
      {"index 0xFF1E", fBaudRate, [](_DCB& d) { d.BaudRate = 0xFF1E; }, IE_BAUDRATE},
      // A bad field stops the check before the next field is looked at, and good fields beside a
      // bad one are not taken either.
      {"stop bits before byte size", fStopBits | fByteSize,
       [](_DCB& d) {
         d.StopBits = 3;
         d.ByteSize = 4;
       },
       IE_DEFAULT},
      {"good rate beside bad parity", fBaudRate | fbParity,
       [](_DCB& d) {
         d.BaudRate = 9600;
         d.Parity = 7;
       },
       IE_DEFAULT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const _DCB before = port()->m_dcb;
    const UCHAR lcr = port()->LCR;
    const UCHAR mcr = port()->MCR;
    _DCB dcb = current_with(c.edit);
    const _DCB given = dcb;
    EXPECT_EQ(set_state(dcb, c.mask), 0);
    EXPECT_EQ(pd()->dwLastError, c.error);
    EXPECT_EQ(std::memcmp(&port()->m_dcb, &before, sizeof(_DCB)), 0);
    EXPECT_EQ(std::memcmp(&dcb, &given, sizeof(_DCB)), 0) << "the caller's record was written";
    EXPECT_EQ(port()->LCR, lcr);
    EXPECT_EQ(port()->MCR, mcr);
    EXPECT_EQ(port()->m_MiscFlags & MF_STATE_SET, 0);
    EXPECT_TRUE(requests().empty());
  }
}

TEST_F(LineSettingsTest, FieldsNotSelectedAreNeitherCheckedNorTaken) {
  _DCB dcb = current_with([](_DCB& d) {
    d.BaudRate = 1;
    d.ByteSize = 9;
    d.Parity = 9;
    d.StopBits = 9;
    d.XonChar = 0x55;
  });
  EXPECT_EQ(set_state(dcb, fXonChar), 1);
  EXPECT_EQ(pd()->dwLastError, 0);
  EXPECT_EQ(port()->m_dcb.XonChar, 0x55);
  EXPECT_EQ(port()->m_dcb.ByteSize, 8);
  EXPECT_EQ(port()->m_dcb.BaudRate, 0U);
  EXPECT_EQ(port()->m_dcb.Parity, 0);
}

TEST_F(LineSettingsTest, FirstChangeSendsRateThenModemControlThenReadsStatusAfter100ms) {
  firmware(*adapter_).set_modem_status(0xB0);
  port()->m_HSFlag = HS_XOFF_RECEIVED;
  _DCB dcb = current_with([](_DCB& d) {
    d.BaudRate = 9600;
    d.ByteSize = 8;
    d.Parity = 0;
    d.StopBits = 0;
  });
  BOOL result = 0;
  ULONG elapsed = 0;
  in_driver([&] {
    const ULONG start = Get_System_Time();
    result = functions().pPortSetCommState(pd(), &dcb, kLineFields | fBitMask);
    elapsed = Get_System_Time() - start;
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(requests(), (std::vector<VendorRequest>{to_device(USBKRL_SET_DIVISOR, {0x0C, 0, 0, 0}),
                                                     to_device(USBKRL_SET_MODEM_CONTROL, {0x0B}),
                                                     from_device(USBKRL_GET_MODEM_STATUS, {0xB0})}));
  // The status is read after the line has settled for 100 ms, slept in two 50 ms slices; the
  // requests themselves take a few USB frames.
  EXPECT_GE(elapsed, 100U);
  EXPECT_LT(elapsed, 130U);
  EXPECT_EQ(pd()->bMSRShadow, 0xB0);
  EXPECT_EQ(port()->m_HSFlag, 0);
  EXPECT_EQ(port()->LCR, 0x03);
  EXPECT_EQ(port()->MCR, 0x0B);
  EXPECT_EQ(port()->m_dcb.BaudRate, 9600U);
  EXPECT_NE(port()->m_MiscFlags & MF_STATE_SET, 0);
  EXPECT_TRUE(logged("KRLUSB.SYS: + Changed        BaudRate from 00000000 to 00002580"));

  // A later change that keeps the rate neither waits nor reads the status again.
  in_driver([&] {
    const ULONG start = Get_System_Time();
    dcb.StopBits = 2;
    result = functions().pPortSetCommState(pd(), &dcb, kLineFields);
    elapsed = Get_System_Time() - start;
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(requests(), (std::vector<VendorRequest>{to_device(USBKRL_SET_LINE_CONTROL, {0x07}),
                                                     to_device(USBKRL_SET_MODEM_CONTROL, {0x0B})}));
  EXPECT_LT(elapsed, 50U);
}

TEST_F(LineSettingsTest, RateChangeWaitsAndReadsStatusEveryTime) {
  settle_first_change();
  firmware(*adapter_).set_modem_status(0x30);
  ASSERT_EQ(set_state([](_DCB& d) { d.BaudRate = 19200; }, fBaudRate), 1);
  EXPECT_EQ(requests(), (std::vector<VendorRequest>{to_device(USBKRL_SET_DIVISOR, {6, 0, 0, 0}),
                                                     to_device(USBKRL_SET_MODEM_CONTROL, {0x0B}),
                                                     from_device(USBKRL_GET_MODEM_STATUS, {0x30})}));
  EXPECT_EQ(pd()->bMSRShadow, 0x30);
}

TEST_F(LineSettingsTest, DivisorsOfRatesAndIndexCodes) {
  settle_first_change();
  struct Case {
    ULONG baud;
    ULONG divisor;
  };
  for (const Case& c : {Case{115200, 1}, Case{7, 16457}, Case{56000, 2}, Case{2, 57600}, Case{0xFF1F, 2},
                        Case{0xFF20, 1}, Case{0xFF10, 1047}, Case{0xFF1B, 3}, Case{9600, 12}}) {
    SCOPED_TRACE(c.baud);
    ASSERT_EQ(set_state([&](_DCB& d) { d.BaudRate = c.baud; }, fBaudRate), 1);
    const auto sent = requests();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), to_device(USBKRL_SET_DIVISOR, le32(c.divisor)));
  }
}

TEST_F(LineSettingsTest, CallersRecordComesBackWithFixedFlowLimits) {
  _DCB dcb = current_with([](_DCB& d) {
    d.XonLim = 10;
    d.XoffLim = 20;
  });
  ASSERT_EQ(set_state(dcb, fXonLim | fXoffLim), 1);
  EXPECT_EQ(dcb.XonLim, 256U);
  EXPECT_EQ(dcb.XoffLim, 2304U);
  EXPECT_EQ(port()->m_dcb.XonLim, 256U);
  EXPECT_EQ(port()->m_dcb.XoffLim, 2304U);

  // Whatever the mask selects: the record is written, the port keeps its own limits.
  _DCB other = current_with([](_DCB& d) {
    d.XonLim = 1;
    d.XoffLim = 2;
  });
  ASSERT_EQ(set_state(other, 0), 1);
  EXPECT_EQ(other.XonLim, 256U);
  EXPECT_EQ(other.XoffLim, 2304U);
}

TEST_F(LineSettingsTest, LineControlImageFollowsEachChange) {
  settle_first_change();
  struct Step {
    const char* what;
    ULONG mask;
    std::function<void(_DCB&)> edit;
    UCHAR lcr;
  };
  const Step steps[] = {
      {"6 data bits", fByteSize, [](_DCB& d) { d.ByteSize = 6; }, 0x01},
      {"7 data bits", fByteSize, [](_DCB& d) { d.ByteSize = 7; }, 0x02},
      {"mark parity", fbParity, [](_DCB& d) { d.Parity = 3; }, 0x2A},
      {"odd parity clears stick", fbParity, [](_DCB& d) { d.Parity = 1; }, 0x0A},
      {"even parity", fbParity, [](_DCB& d) { d.Parity = 2; }, 0x1A},
      {"space parity", fbParity, [](_DCB& d) { d.Parity = 4; }, 0x3A},
      {"two stop bits", fStopBits, [](_DCB& d) { d.StopBits = 2; }, 0x3E},
      {"one and a half", fStopBits, [](_DCB& d) { d.StopBits = 1; }, 0x3E},
      {"no parity keeps the even and stick bits, one stop bit, 5 bits", fbParity | fStopBits | fByteSize,
       [](_DCB& d) {
         d.Parity = 0;
         d.StopBits = 0;
         d.ByteSize = 5;
       },
       0x30},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    ASSERT_EQ(set_state(s.edit, s.mask), 1);
    EXPECT_EQ(port()->LCR, s.lcr);
    EXPECT_EQ(requests(), (std::vector<VendorRequest>{to_device(USBKRL_SET_LINE_CONTROL, {s.lcr}),
                                                       to_device(USBKRL_SET_MODEM_CONTROL, {0x0B})}));
  }
}

TEST_F(LineSettingsTest, EmptyMaskSendsOnlyModemControl) {
  settle_first_change();
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(set_state([](_DCB& d) { d.BaudRate = 300; d.ByteSize = 5; }, 0), 1);
    EXPECT_EQ(requests(), (std::vector<VendorRequest>{to_device(USBKRL_SET_MODEM_CONTROL, {0x0B})}));
  }
  EXPECT_EQ(port()->m_dcb.BaudRate, 0U);
}

// DTR and RTS each follow their own disable and enable bits; DTR disable leaves RTS alone.
TEST_F(LineSettingsTest, ModemControlFollowsTheLinesOwnBits) {
  settle_first_change();
  struct Case {
    ULONG bitMask;
    UCHAR mcr;
    UCHAR hhs;
    UCHAR out_hhs;
  };
  const Case cases[] = {
      {fBinary | fDtrEnable, 0x0B, 0x00, 0x00},  // the open's default
      {0, 0x0B, 0x00, 0x00},
      {fDTRDisable, 0x0A, 0x00, 0x00},
      {fDTRDisable | fDtrEnable, 0x0B, 0x00, 0x00},
      {fRTSDisable, 0x09, 0x00, 0x00},
      {fRTSDisable | fRtsEnable, 0x0B, 0x00, 0x00},
      {fDTRDisable | fRTSDisable, 0x08, 0x00, 0x00},
      {fDtrEnable | fDTRFlow, 0x0B, 0x01, 0x00},
      {fDTRFlow, 0x0B, 0x00, 0x00},
      {fRtsEnable | fRTSFlow, 0x0B, 0x02, 0x00},
      {fRTSDisable | fRTSFlow, 0x09, 0x00, 0x00},
      {fOutXCTSFlow, 0x0B, 0x00, 0x10},
      {fOutXDSRFlow | fOutXCTSFlow, 0x0B, 0x00, 0x30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.bitMask);
    ASSERT_EQ(set_state([&](_DCB& d) { d.BitMask = c.bitMask; }, fBitMask), 1);
    EXPECT_EQ(requests(), (std::vector<VendorRequest>{to_device(USBKRL_SET_MODEM_CONTROL, {c.mcr})}));
    EXPECT_EQ(port()->MCR, c.mcr);
    EXPECT_EQ(port()->m_HHSLines, c.hhs);
    EXPECT_EQ(port()->m_OutHHSLines, c.out_hhs);
  }
}

TEST_F(LineSettingsTest, XoffPointIsReceiveQueueLessLimitAndWraps) {
  pd()->QInSize = 4096;
  ASSERT_EQ(set_state([](_DCB&) {}, fXoffLim), 1);
  EXPECT_EQ(port()->m_XOffPoint, 4096U - 2304U);
  // A queue smaller than the limit puts the point out of the count's reach.
  pd()->QInSize = 1024;
  ASSERT_EQ(set_state([](_DCB&) {}, 0), 1);
  EXPECT_EQ(port()->m_XOffPoint, 0xFFFFFB00U);
}

TEST_F(LineSettingsTest, FailedRequestsStillLeaveTheNewSettingsInThePort) {
  adapter_->device->stall_requests(devices::RequestKind::Vendor, true);
  pd()->bMSRShadow = 0x5A;
  port()->m_HSFlag = HS_XOFF_SENT;
  ASSERT_EQ(set_state(
                [](_DCB& d) {
                  d.BaudRate = 9600;
                  d.ByteSize = 7;
                  d.Parity = 2;
                },
                kLineFields),
            1);
  EXPECT_EQ(pd()->dwLastError, 0);
  EXPECT_EQ(port()->m_dcb.BaudRate, 9600U);
  EXPECT_EQ(port()->LCR, 0x1A);
  EXPECT_EQ(port()->MCR, 0x0B);
  EXPECT_EQ(pd()->bMSRShadow, 0x5A) << "a failed status read keeps the old byte";
  EXPECT_EQ(port()->m_HSFlag, 0);
}

TEST_F(LineSettingsTest, GetCommStateReturnsThePortsRecord) {
  ASSERT_EQ(set_state([](_DCB& d) { d.BaudRate = 2400; d.EvtChar2 = -3; d.TxDelay = 77; },
                      fBaudRate | fEvtChar2 | fTxDelay),
            1);
  _DCB dcb;
  std::memset(&dcb, 0xCC, sizeof(dcb));
  pd()->dwLastError = -1;
  BOOL result = 0;
  in_driver([&] { result = functions().pPortGetCommState(pd(), &dcb); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(pd()->dwLastError, 0);
  EXPECT_EQ(std::memcmp(&dcb, &port()->m_dcb, sizeof(_DCB)), 0);
  EXPECT_EQ(dcb.BaudRate, 2400U);
  EXPECT_EQ(dcb.EvtChar2, -3);
  EXPECT_EQ(dcb.TxDelay, 77U);
}

// ---- the application-level record ---------------------------------------------------------------

TEST_F(LineSettingsTest, GetCommConfigTellsASmallCallerOnlyTheSize) {
  _COMMCONFIG cc;
  std::memset(&cc, 0xAB, sizeof(cc));
  const _COMMCONFIG untouched = cc;
  ULONG size = 10;
  BOOL result = 0;
  in_driver([&] { result = functions().pPortGetCommConfig(pd(), &cc, &size); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(size, 52U);
  EXPECT_EQ(std::memcmp(&cc, &untouched, sizeof(cc)), 0);

  size = 52;
  in_driver([&] { result = functions().pPortGetCommConfig(pd(), nullptr, &size); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(size, 52U);
}

TEST_F(LineSettingsTest, GetCommConfigFillsTheSettingsAndKeepsTheCallersFlags) {
  ASSERT_EQ(set_state(
                [](_DCB& d) {
                  d.BaudRate = 38400;
                  d.ByteSize = 7;
                  d.Parity = 1;
                  d.StopBits = 2;
                  d.ErrorChar = '?';
                  d.EofChar = 0x1A;
                  d.EvtChar1 = '\n';
                },
                kLineFields | fXonLim | fXoffLim | fErrorChar | fEofChar | fEvtChar1),
            1);
  _COMMCONFIG cc;
  std::memset(&cc, 0xAB, sizeof(cc));
  ULONG size = 64;
  BOOL result = 0;
  in_driver([&] { result = functions().pPortGetCommConfig(pd(), &cc, &size); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(size, 52U);
  EXPECT_EQ(cc.dwSize, 52U);
  EXPECT_EQ(cc.wVersion, 0x0100);
  EXPECT_EQ(cc.dwProviderSubType, 1U);
  EXPECT_EQ(cc.dwProviderOffset, 0U);
  EXPECT_EQ(cc.dwProviderSize, 0U);
  EXPECT_EQ(cc.dcb.DCBlength, 48U);
  EXPECT_EQ(cc.dcb.BaudRate, 38400U);
  EXPECT_EQ(cc.dcb.XonLim, 256);
  EXPECT_EQ(cc.dcb.XoffLim, 2304);
  EXPECT_EQ(cc.dcb.ByteSize, 7);
  EXPECT_EQ(cc.dcb.Parity, 1);
  EXPECT_EQ(cc.dcb.StopBits, 2);
  EXPECT_EQ(cc.dcb.XonChar, 0x11);
  EXPECT_EQ(cc.dcb.XoffChar, 0x13);
  EXPECT_EQ(cc.dcb.ErrorChar, '?');
  EXPECT_EQ(cc.dcb.EofChar, 0x1A);
  EXPECT_EQ(cc.dcb.EvtChar, '\n');
  // The flag word and the reserved fields are the caller's.
  ULONG flags;
  std::memcpy(&flags, reinterpret_cast<const UCHAR*>(&cc.dcb) + 8, sizeof(flags));
  EXPECT_EQ(flags, 0xABABABABU);
  EXPECT_EQ(cc.wReserved, 0xABAB);
  EXPECT_EQ(cc.dcb.wReserved, 0xABAB);
  EXPECT_EQ(cc.dcb.wReserved1, 0xABAB);
}

TEST_F(LineSettingsTest, SetCommConfigRefusesASmallRecord) {
  _COMMCONFIG cc{};
  cc.dcb.BaudRate = 9600;
  cc.dcb.ByteSize = 8;
  BOOL result = 1;
  in_driver([&] { result = functions().pPortSetCommConfig(pd(), &cc, 51); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(pd()->dwLastError, IE_INVALIDSIZE);
  EXPECT_EQ(port()->m_dcb.BaudRate, 0U);
  EXPECT_TRUE(requests().empty());

  // No record, or no size word for GetCommConfig: refused the same way, not followed.
  result = 1;
  in_driver([&] { result = functions().pPortSetCommConfig(pd(), nullptr, 52); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(pd()->dwLastError, IE_INVALIDSIZE);
  pd()->dwLastError = 0;
  in_driver([&] { result = functions().pPortGetCommConfig(pd(), &cc, nullptr); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(pd()->dwLastError, IE_INVALIDSIZE);
  EXPECT_TRUE(requests().empty());
}

TEST_F(LineSettingsTest, SetCommConfigAppliesEveryFieldAndClearsTheModeBits) {
  firmware(*adapter_).set_modem_status(0x10);
  _COMMCONFIG cc{};
  cc.dwSize = 52;
  cc.dcb.BaudRate = 9600;
  cc.dcb.ffOutxCtsFlow = 1;  // not translated
  cc.dcb.XonLim = 100;
  cc.dcb.XoffLim = 200;
  cc.dcb.ByteSize = 7;
  cc.dcb.Parity = 2;
  cc.dcb.StopBits = 0;
  cc.dcb.XonChar = 0x11;
  cc.dcb.XoffChar = 0x13;
  cc.dcb.EvtChar = 'x';
  BOOL result = 0;
  in_driver([&] { result = functions().pPortSetCommConfig(pd(), &cc, 52); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(requests(), (std::vector<VendorRequest>{to_device(USBKRL_SET_LINE_CONTROL, {0x1A}),
                                                     to_device(USBKRL_SET_DIVISOR, {0x0C, 0, 0, 0}),
                                                     to_device(USBKRL_SET_MODEM_CONTROL, {0x0B}),
                                                     from_device(USBKRL_GET_MODEM_STATUS, {0x10})}));
  const _DCB& dcb = port()->m_dcb;
  EXPECT_EQ(dcb.BitMask, 0U);
  EXPECT_EQ(dcb.XonLim, 256U);
  EXPECT_EQ(dcb.XoffLim, 2304U);
  EXPECT_EQ(dcb.EvtChar1, 'x');
  EXPECT_EQ(dcb.EvtChar2, 0);
  EXPECT_EQ(port()->m_OutHHSLines, 0);

  // Its record goes through the same checks: a rate of 0 is refused.
  cc.dcb.BaudRate = 0;
  in_driver([&] { result = functions().pPortSetCommConfig(pd(), &cc, 52); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(pd()->dwLastError, IE_BAUDRATE);
}

}  // namespace
}  // namespace krlusb_test
