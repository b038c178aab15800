// The escapes that reach the adapter: modem control lines, break, and the flow control characters.
#include <cstring>

#include "tests/serial_driver/port_fixture.h"

namespace krlusb_test {
namespace {

using namespace krlusb;
using devices::VendorRequest;

class EscapeTest : public PortTest {
 protected:
  void SetUp() override {
    adapter_ = &plug_and_open("5");
    ASSERT_NE(port(), nullptr);
    adapter_->device->take_requests();
  }
  UCHAR escape(ULONG code, PVOID out = nullptr) {
    UCHAR result = 0xFF;
    in_driver([&] { result = SecondaryEscapeFunction(code, 0, out, port()); });
    return result;
  }
  std::vector<VendorRequest> requests() { return adapter_->device->take_requests(); }

  machine::PluggedSerialAdapter* adapter_ = nullptr;
};

TEST_F(EscapeTest, ModemLinesKeepOut2On) {
  struct Case {
    UCHAR mcr;
    ULONG code;
    UCHAR sent;
  };
  for (const Case& c : {Case{0x01, SETRTS, 0x0B}, Case{0x0B, CLRDTR, 0x0A}, Case{0x0B, CLRRTS, 0x09},
                        Case{0x00, SETDTR, 0x09}, Case{0x03, CLRRTS, 0x09}, Case{0x02, CLRDTR, 0x0A}}) {
    SCOPED_TRACE(testing::Message() << "MCR " << int{c.mcr} << " escape " << c.code);
    port()->MCR = c.mcr;
    EXPECT_EQ(escape(c.code), TRUE);
    EXPECT_EQ(port()->MCR, c.sent);
    EXPECT_EQ(requests(), (std::vector<VendorRequest>{{USBKRL_SET_MODEM_CONTROL, false, {c.sent}}}));
  }
}

TEST_F(EscapeTest, BreakGoesOutWithTheLineControlImageWhichKeepsNone) {
  port()->LCR = 0x03;
  EXPECT_EQ(escape(SETBREAK), TRUE);
  EXPECT_EQ(port()->LCR, 0x03);
  EXPECT_EQ(escape(CLEARBREAK), TRUE);
  EXPECT_EQ(port()->LCR, 0x03);
  EXPECT_EQ(requests(), (std::vector<VendorRequest>{{USBKRL_SET_LINE_CONTROL, false, {0x43}},
                                                     {USBKRL_SET_LINE_CONTROL, false, {0x03}}}));
}

TEST_F(EscapeTest, XoffThenXonSendsBothCharactersAndKeepsXoffReceived) {
  port()->m_HSFlag = HS_XON_SENT | HS_XOFF_SENT;
  EXPECT_EQ(escape(SETXOFF), TRUE);
  EXPECT_EQ(port()->m_HSFlag, HS_XON_SENT | HS_XOFF_SENT | HS_XOFF_RECEIVED);
  EXPECT_EQ(escape(SETXON), TRUE);
  EXPECT_EQ(port()->m_HSFlag, HS_XOFF_RECEIVED);
  EXPECT_EQ(requests(), (std::vector<VendorRequest>{{USBKRL_SEND_CHAR, false, {0x13}},
                                                     {USBKRL_SEND_CHAR, false, {0x11}}}));
}

TEST_F(EscapeTest, CodesWithoutActionAreAcceptedAndUnknownOnesRefused) {
  UCHAR out[8];
  std::memset(out, 0xAB, sizeof(out));
  const UCHAR mcr = port()->MCR;
  for (ULONG code : {0U, 7U, GETCOMBASEIRQ, GETCOMBASEIRQ1}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(escape(code, out), TRUE);
  }
  for (ULONG code : {8U, 9U, 14U, 0xFFFFFFFFU}) {
    SCOPED_TRACE(code);
    const std::size_t mark = log_mark();
    EXPECT_EQ(escape(code, out), FALSE);
    char expected[64];
    std::snprintf(expected, sizeof(expected), "KRLUSB.SYS: + Unsupported escape: %8.8x", code);
    EXPECT_TRUE(logged_since(mark, expected));
  }
  for (UCHAR byte : out) EXPECT_EQ(byte, 0xAB);
  EXPECT_EQ(port()->MCR, mcr);
  EXPECT_TRUE(requests().empty());
}

}  // namespace
}  // namespace krlusb_test
