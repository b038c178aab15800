#include <gtest/gtest.h>

#include "tests/serial_adapter/adapter_fixture.h"
#include "tests/serial_adapter/uart_test_fixture.h"

namespace devices::testing {
namespace {

using usb::Handshake;

class Misbehaviour : public AdapterTest {
 protected:
  void SetUp() override {
    configure();
    firmware().queue_bulk_in(Bytes{0x42});
    firmware().queue_interrupt({0x31, 0x00});
    signals.ready.clear();
  }

  // One packet on the pipe: its handshake (an accepted OUT packet or an IN packet with data is Ack).
  Handshake packet(Pipe pipe) {
    switch (pipe) {
      case Pipe::BulkIn: return adapter.in(kBulkInEndpoint, 64).handshake;
      case Pipe::BulkOut: return adapter.out(kBulkOutEndpoint, Bytes{0x55});
      case Pipe::InterruptIn: return adapter.in(kInterruptInEndpoint, 64).handshake;
    }
    return Handshake::Error;
  }
};

constexpr Pipe kPipes[] = {Pipe::BulkIn, Pipe::BulkOut, Pipe::InterruptIn};
constexpr std::uint8_t kPipeEndpoint[] = {kBulkInEndpoint, kBulkOutEndpoint, kInterruptInEndpoint};

TEST_F(Misbehaviour, StallAndErrorFailTheNextTransfersAndLoseNothing) {
  for (const auto how : {PipeFailure::Stall, PipeFailure::Error}) {
    const auto expected = how == PipeFailure::Stall ? Handshake::Stall : Handshake::Error;
    for (const auto pipe : kPipes) adapter.fail_next(pipe, how, 2);
    for (const auto pipe : kPipes) {
      SCOPED_TRACE(static_cast<int>(pipe));
      EXPECT_EQ(packet(pipe), expected);
      EXPECT_EQ(packet(pipe), expected);
    }
  }
  // The failed packets never reached the firmware: the data is all still there.
  EXPECT_TRUE(firmware().take_bulk_out().empty());
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).data, Bytes{0x42});
  EXPECT_EQ(adapter.in(kInterruptInEndpoint, 64).data, (Bytes{0x31, 0x00}));
  EXPECT_EQ(packet(Pipe::BulkOut), Handshake::Ack);
  EXPECT_EQ(firmware().take_bulk_out(), Bytes{0x55});
  EXPECT_FALSE(adapter.halted(kBulkInEndpoint));  // an injected stall halts nothing
}

TEST_F(Misbehaviour, NeverHoldsEachTransferUntilTheHostGivesUp) {
  for (std::size_t i = 0; i < std::size(kPipes); ++i) {
    const auto pipe = kPipes[i];
    const auto endpoint = kPipeEndpoint[i];
    SCOPED_TRACE(static_cast<int>(pipe));
    adapter.fail_next(pipe, PipeFailure::Never, 3);
    for (int retry = 0; retry < 5; ++retry) ASSERT_EQ(packet(pipe), Handshake::Nak);
    adapter.transfer_cancelled(endpoint);
    // Cancelling and then resetting the pipe gives up one transfer, not two.
    EXPECT_EQ(packet(pipe), Handshake::Nak);
    adapter.transfer_cancelled(endpoint);
    adapter.reset_endpoint(endpoint);
    adapter.transfer_cancelled(endpoint);  // nothing held: counts nothing
    EXPECT_EQ(packet(pipe), Handshake::Nak);
    adapter.reset_endpoint(endpoint);
    EXPECT_EQ(packet(pipe), Handshake::Ack);
    // Each transfer given up is a cue for the host to try the next one.
    EXPECT_EQ(signals.ready, Bytes(3, endpoint));
    signals.ready.clear();
  }
}

TEST_F(Misbehaviour, ClearingNeverReleasesTheHeldTransfer) {
  adapter.fail_next(Pipe::BulkIn, PipeFailure::Never, 1);
  adapter.fail_next(Pipe::InterruptIn, PipeFailure::Never, 1);
  ASSERT_EQ(packet(Pipe::BulkIn), Handshake::Nak);
  ASSERT_EQ(packet(Pipe::InterruptIn), Handshake::Nak);

  adapter.fail_next(Pipe::BulkIn, PipeFailure::Never, 0);
  adapter.fail_next(Pipe::InterruptIn, PipeFailure::Stall, 1);  // the held transfer now ends in a stall
  EXPECT_EQ(signals.ready, (Bytes{kBulkInEndpoint, kInterruptInEndpoint}));
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).data, Bytes{0x42});
  EXPECT_EQ(packet(Pipe::InterruptIn), Handshake::Stall);
  EXPECT_EQ(packet(Pipe::InterruptIn), Handshake::Ack);
}

TEST_F(Misbehaviour, StalledDescriptorRequests) {
  adapter.stall_requests(RequestKind::Descriptor, true);
  EXPECT_EQ(request(get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18)), Handshake::Stall);
  EXPECT_EQ(request(get_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 255)), Handshake::Stall);
  EXPECT_EQ(request(setup(0x00, 9, 1)), Handshake::Ack);  // other requests still work
  EXPECT_EQ(request(setup(0x40, 10, 0, 0, 1)), Handshake::Ack);
  adapter.stall_requests(RequestKind::Descriptor, false);
  EXPECT_EQ(control(get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18)).data.size(), 18u);
}

TEST_F(Misbehaviour, StalledVendorRequestsNeitherReachTheFirmwareNorCount) {
  adapter.stall_requests(RequestKind::Vendor, true);
  EXPECT_EQ(control(setup(0x40, 5, 0, 0, 4), Bytes{12, 0, 0, 0}).handshake, Handshake::Stall);
  EXPECT_EQ(control(setup(0xC0, 2, 0, 0, 1)).data, Bytes{});
  EXPECT_EQ(request(get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18)), Handshake::Ack);
  EXPECT_TRUE(adapter.take_requests().empty());
  adapter.stall_requests(RequestKind::Vendor, false);
  EXPECT_EQ(request(setup(0xC0, 2, 0, 0, 1)), Handshake::Ack);
  EXPECT_EQ(adapter.take_requests().size(), 1u);
}

using RequestFailures = UartAdapterTest;

const Bytes kDivisor9600{0x0C, 0, 0, 0};

TEST_F(RequestFailures, StallAndErrorFailTheNextRequestsBeforeTheFirmware) {
  for (const auto how : {PipeFailure::Stall, PipeFailure::Error}) {
    const auto expected = how == PipeFailure::Stall ? Handshake::Stall : Handshake::Error;
    uart.set_line_status(kMsrCts);
    adapter.fail_next_requests(how, 2);
    EXPECT_EQ(vendor_out(kVendorSetDivisor, kDivisor9600).handshake, expected);
    const auto status = modem_status_request();
    EXPECT_EQ(status.handshake, expected);
    EXPECT_TRUE(status.data.empty());
    EXPECT_EQ(uart.divisor(), 0u);
    EXPECT_EQ(uart.modem_status(), kMsrCts | kMsrDeltaCts);  // the failed read cleared nothing
    EXPECT_TRUE(adapter.take_requests().empty());

    EXPECT_EQ(modem_status_request().data, Bytes{kMsrCts | kMsrDeltaCts});
    EXPECT_EQ(adapter.take_requests().size(), 1u);
    uart.set_line_status(0);
  }
}

TEST_F(RequestFailures, NeverLeavesEachRequestUnanswered) {
  adapter.fail_next_requests(PipeFailure::Never, 2);
  // The host gives up on each one (the adapter hears nothing of it) and sends the next.
  for (int i = 0; i < 2; ++i) {
    const auto result = vendor_out(kVendorSetDivisor, kDivisor9600);
    EXPECT_EQ(result.handshake, Handshake::Nak);
    EXPECT_TRUE(result.data.empty());
  }
  EXPECT_EQ(uart.divisor(), 0u);
  EXPECT_EQ(vendor_out(kVendorSetDivisor, kDivisor9600).handshake, Handshake::Ack);
  EXPECT_EQ(uart.divisor(), 12u);
  EXPECT_EQ(adapter.take_requests(), (std::vector<VendorRequest>{{kVendorSetDivisor, false, kDivisor9600}}));
  EXPECT_TRUE(signals.ready.empty());  // nothing told the host to try a held request again
}

TEST_F(RequestFailures, ChangingTheFailureReleasesTheHeldRequest) {
  struct Case {
    PipeFailure how;
    unsigned count;
    bool released;
    Handshake retry;
  };
  const Case cases[] = {
      {PipeFailure::Never, 0, true, Handshake::Ack},
      {PipeFailure::Stall, 1, true, Handshake::Stall},
      {PipeFailure::Error, 1, true, Handshake::Error},
      {PipeFailure::Never, 1, false, Handshake::Nak},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << static_cast<int>(c.how) << " x" << c.count);
    adapter.fail_next_requests(PipeFailure::Never, 1);
    ASSERT_EQ(vendor_out(kVendorSetModemControl, {0x03}).handshake, Handshake::Nak);
    signals.ready.clear();
    adapter.fail_next_requests(c.how, c.count);
    EXPECT_EQ(signals.ready, c.released ? Bytes{0} : Bytes{});
    EXPECT_EQ(vendor_out(kVendorSetModemControl, {0x03}).handshake, c.retry);
    adapter.fail_next_requests(PipeFailure::Stall, 0);
  }
  EXPECT_EQ(adapter.take_requests().size(), 1u);
}

TEST(AdapterShape, EndpointsFollowTheDescribedConfiguration) {
  struct Case {
    AdapterOptions options;
    Handshake bulk_in, bulk_out, interrupt_in, extra;
  };
  const Case cases[] = {
      {{.endpoint_count = 2}, Handshake::Nak, Handshake::Ack, Handshake::Error, Handshake::Error},
      {{.endpoint_count = 0}, Handshake::Error, Handshake::Error, Handshake::Error, Handshake::Error},
      {{.second_interface = true}, Handshake::Nak, Handshake::Ack, Handshake::Nak, Handshake::Nak},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int{c.options.endpoint_count});
    SerialAdapter adapter(c.options);
    ASSERT_EQ(adapter.control(setup(0x00, 9, 1), {}).handshake, Handshake::Ack);
    EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).handshake, c.bulk_in);
    EXPECT_EQ(adapter.out(kBulkOutEndpoint, Bytes{1}), c.bulk_out);
    EXPECT_EQ(adapter.in(kInterruptInEndpoint, 64).handshake, c.interrupt_in);
    EXPECT_EQ(adapter.in(kExtraInterfaceEndpoint, 64).handshake, c.extra);
    const auto second_interface = c.options.second_interface ? Handshake::Ack : Handshake::Stall;
    EXPECT_EQ(adapter.control(setup(0x01, 11, 0, 1), {}).handshake, second_interface);
  }
}

}  // namespace
}  // namespace devices::testing
