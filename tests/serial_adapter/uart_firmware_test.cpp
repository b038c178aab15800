#include <gtest/gtest.h>

#include <string>

#include "tests/serial_adapter/uart_test_fixture.h"

namespace devices::testing {
namespace {

using usb::Handshake;
using UartFirmwareTest = UartAdapterTest;

TEST_F(UartFirmwareTest, DivisorSetsTheBaudRate) {
  EXPECT_EQ(uart.baud(), 0u);  // nothing set yet
  struct Case {
    Bytes payload;
    std::uint32_t divisor, baud;
  };
  const Case cases[] = {
      {{0x0C, 0, 0, 0}, 12, 9600},
      {{0x01, 0, 0, 0}, 1, 115200},
      {{0x00, 0x09, 0, 0}, 0x900, 50},
      {{0x07, 0, 0, 0}, 7, 16457},  // not a standard rate: rounded down
      {{0x00, 0, 0x01, 0}, 0x10000, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.divisor);
    ASSERT_EQ(vendor_out(kVendorSetDivisor, c.payload).handshake, Handshake::Ack);
    EXPECT_EQ(uart.divisor(), c.divisor);
    EXPECT_EQ(uart.baud(), c.baud);
    EXPECT_EQ(adapter.take_requests(), (std::vector<VendorRequest>{{kVendorSetDivisor, false, c.payload}}));
  }
}

TEST_F(UartFirmwareTest, LineControlSetsFramingAndBreak) {
  EXPECT_EQ(uart.framing(), "8N1");
  struct Case {
    std::uint8_t lcr;
    const char* framing;
    bool break_on;
  };
  const Case cases[] = {
      {0x03, "8N1", false}, {0x1A, "7E1", false},  {0x0E, "7O2", false}, {0x04, "5N1.5", false},
      {0x05, "6N2", false}, {0x3B, "8S1", false},  {0x2F, "8M2", false}, {0x43, "8N1", true},
      {0x5C, "5E1.5", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int{c.lcr});
    ASSERT_EQ(vendor_out(kVendorSetLineControl, {c.lcr}).handshake, Handshake::Ack);
    EXPECT_EQ(uart.line_control(), c.lcr);
    EXPECT_EQ(uart.framing(), c.framing);
    EXPECT_EQ(uart.break_on(), c.break_on);
  }
}

TEST_F(UartFirmwareTest, ModemControlDrivesDtrAndRts) {
  struct Case {
    std::uint8_t mcr;
    bool dtr, rts;
  };
  const Case cases[] = {{0x0B, true, true}, {0x01, true, false}, {0x0A, false, true}, {0x00, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int{c.mcr});
    ASSERT_EQ(vendor_out(kVendorSetModemControl, {c.mcr}).handshake, Handshake::Ack);
    EXPECT_EQ(uart.modem_control(), c.mcr);
    EXPECT_EQ(uart.dtr(), c.dtr);
    EXPECT_EQ(uart.rts(), c.rts);
  }
}

TEST_F(UartFirmwareTest, SingleCharactersGoStraightOntoTheLine) {
  EXPECT_TRUE(uart.take_line_output().empty());
  ASSERT_EQ(vendor_out(kVendorSendChar, {0x13}).handshake, Handshake::Ack);
  ASSERT_EQ(vendor_out(kVendorSendChar, {0x11}).handshake, Handshake::Ack);
  EXPECT_EQ(uart.take_line_output(), (Bytes{0x13, 0x11}));
  EXPECT_TRUE(uart.take_line_output().empty());
}

TEST_F(UartFirmwareTest, ModemStatusReadClearsTheDeltas) {
  uart.set_line_status(kMsrCts | kMsrDsr);
  uart.set_line_status(kMsrDsr | kMsrDcd);  // the deltas of both changes add up
  EXPECT_EQ(drain_messages(), (std::vector<Bytes>{{0x33, kMessageModemStatus}, {0xAB, kMessageModemStatus}}));
  EXPECT_EQ(modem_status_request().data, Bytes{0xAB});
  EXPECT_EQ(modem_status_request().data, Bytes{0xA0});
  EXPECT_EQ(uart.modem_status(), 0xA0);
  const std::vector<VendorRequest> expected{{kVendorGetModemStatus, true, {0xAB}}, {kVendorGetModemStatus, true, {0xA0}}};
  EXPECT_EQ(adapter.take_requests(), expected);
}

TEST_F(UartFirmwareTest, LineChangeSendsOneModemStatusMessage) {
  struct Case {
    std::uint8_t before, after;
    int message;  // the status byte of the one type-0 message, or -1 for none
  };
  const Case cases[] = {
      {0x00, 0x30, 0x33},
      {0x30, 0x30, -1},
      {0x00, 0x0F, -1},  // bits that are not lines are ignored
      {0x10, 0x00, 0x01},
      {0xA0, 0x20, 0x28},
      {0x00, 0x40, 0x40},  // a ring starting flags nothing
      {0x40, 0x00, 0x04},  // a ring ending is the trailing edge
      {0x50, 0xA0, 0xAF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << int{c.before} << " -> " << int{c.after});
    uart.set_line_status(c.before);
    modem_status_request();
    drain_messages();
    signals.ready.clear();

    uart.set_line_status(c.after);
    const auto messages = drain_messages();
    if (c.message < 0) {
      EXPECT_TRUE(messages.empty());
      EXPECT_TRUE(signals.ready.empty());
    } else {
      EXPECT_EQ(messages, (std::vector<Bytes>{{static_cast<std::uint8_t>(c.message), kMessageModemStatus}}));
      EXPECT_EQ(signals.ready, Bytes{kInterruptInEndpoint});
    }
  }
}

TEST_F(UartFirmwareTest, InjectedMessagesQueueBehindLineChanges) {
  uart.set_line_status(kMsrCts);
  uart.send_message(kMessageStopOutput);
  uart.send_message(9, 0xAB);  // any type goes out as it is
  EXPECT_EQ(signals.ready, Bytes(3, kInterruptInEndpoint));
  const std::vector<Bytes> expected{{0x11, kMessageModemStatus}, {0x00, kMessageStopOutput}, {0xAB, 9}};
  EXPECT_EQ(drain_messages(), expected);
  EXPECT_EQ(adapter.in(kInterruptInEndpoint, 64).handshake, Handshake::Nak);
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).handshake, Handshake::Nak);  // the data path stays quiet
}

TEST_F(UartFirmwareTest, RequestsOfAnotherShapeStallAndChangeNothing) {
  struct Case {
    std::uint8_t type, request;
    std::uint16_t value, index, length;
    Bytes data;
  };
  const Case cases[] = {
      {0x40, 3, 0, 0, 1, {0x01}},                 // not a request of this firmware
      {0xC0, 9, 0, 0, 1, {}},                     //
      {0xC0, kVendorSetDivisor, 0, 0, 4, {}},     // wrong direction
      {0x40, kVendorGetModemStatus, 0, 0, 1, {0x00}},
      {0x40, kVendorSetDivisor, 0, 0, 2, {0x0C, 0x00}},  // wrong length
      {0x40, kVendorSetLineControl, 0, 0, 0, {}},
      {0xC0, kVendorGetModemStatus, 0, 0, 2, {}},
      {0x40, kVendorSetModemControl, 0, 0, 1, {}},  // the data stage is missing
      {0x40, kVendorSetLineControl, 1, 0, 1, {0x1A}},  // value and index are always 0
      {0x40, kVendorSendChar, 0, 1, 1, {0x41}},
  };
  uart.set_line_status(kMsrCts);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << int{c.type} << " " << int{c.request});
    const auto result = control(setup(c.type, c.request, c.value, c.index, c.length), c.data);
    EXPECT_EQ(result.handshake, Handshake::Stall);
    EXPECT_TRUE(result.data.empty());
  }
  EXPECT_EQ(uart.divisor(), 0u);
  EXPECT_EQ(uart.framing(), "8N1");
  EXPECT_EQ(uart.modem_control(), 0);
  EXPECT_TRUE(uart.take_line_output().empty());
  EXPECT_EQ(uart.modem_status(), kMsrCts | kMsrDeltaCts);  // no read cleared the delta
  EXPECT_TRUE(adapter.take_requests().empty());
}

}  // namespace
}  // namespace devices::testing
