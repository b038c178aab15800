#include <gtest/gtest.h>

#include "tests/serial_adapter/adapter_fixture.h"

namespace devices::testing {
namespace {

using StandardRequests = AdapterTest;
using usb::Handshake;

constexpr std::uint8_t kEndpointOut = 0x02;   // host to device, endpoint recipient
constexpr std::uint8_t kEndpointIn = 0x82;    // device to host, endpoint recipient
USB_SETUP_PACKET set_halt(std::uint8_t endpoint) { return setup(kEndpointOut, 3, 0, endpoint); }
USB_SETUP_PACKET clear_halt(std::uint8_t endpoint) { return setup(kEndpointOut, 1, 0, endpoint); }
USB_SETUP_PACKET endpoint_status(std::uint8_t endpoint) { return setup(kEndpointIn, 0, 0, endpoint, 2); }

TEST_F(StandardRequests, ConfigurationSwitchesTheDataEndpointsOnAndOff) {
  const auto get_configuration = setup(0x80, 8, 0, 0, 1);
  EXPECT_EQ(control(get_configuration).data, Bytes{0});
  // Unconfigured, the data endpoints do not exist yet.
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).handshake, Handshake::Error);
  EXPECT_EQ(adapter.out(kBulkOutEndpoint, Bytes{1}), Handshake::Error);

  configure();
  EXPECT_EQ(control(get_configuration).data, Bytes{1});
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).handshake, Handshake::Nak);
  EXPECT_EQ(adapter.in(kInterruptInEndpoint, 64).handshake, Handshake::Nak);
  EXPECT_EQ(adapter.out(kBulkOutEndpoint, Bytes{1}), Handshake::Ack);

  EXPECT_EQ(request(setup(0x00, 9, 2)), Handshake::Stall);  // there is no configuration 2
  EXPECT_EQ(control(get_configuration).data, Bytes{1});

  ASSERT_EQ(request(setup(0x00, 9, 0)), Handshake::Ack);
  EXPECT_EQ(adapter.configuration(), 0);
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).handshake, Handshake::Error);
}

TEST_F(StandardRequests, EndpointsExistOnlyInTheirDirection) {
  configure();
  EXPECT_EQ(adapter.in(kBulkOutEndpoint, 64).handshake, Handshake::Error);
  EXPECT_EQ(adapter.in(0x85, 64).handshake, Handshake::Error);
  EXPECT_EQ(adapter.out(kBulkInEndpoint, Bytes{1}), Handshake::Error);
  EXPECT_EQ(adapter.out(kInterruptInEndpoint, Bytes{1}), Handshake::Error);
}

TEST_F(StandardRequests, EndpointHaltIsSetReportedAndCleared) {
  configure();
  firmware().queue_bulk_in(Bytes{0x41});
  for (const auto endpoint : {kBulkInEndpoint, kBulkOutEndpoint, kInterruptInEndpoint}) {
    ASSERT_EQ(request(set_halt(endpoint)), Handshake::Ack);
    EXPECT_TRUE(adapter.halted(endpoint));
    EXPECT_EQ(control(endpoint_status(endpoint)).data, (Bytes{1, 0}));
  }
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).handshake, Handshake::Stall);
  EXPECT_EQ(adapter.in(kInterruptInEndpoint, 64).handshake, Handshake::Stall);
  EXPECT_EQ(adapter.out(kBulkOutEndpoint, Bytes{1}), Handshake::Stall);
  EXPECT_TRUE(firmware().take_bulk_out().empty());

  // Cleared by the request, by the host's pipe reset, or by configuring again.
  ASSERT_EQ(request(clear_halt(kBulkInEndpoint)), Handshake::Ack);
  EXPECT_EQ(control(endpoint_status(kBulkInEndpoint)).data, (Bytes{0, 0}));
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).data, Bytes{0x41});  // the stalled packet lost nothing
  adapter.reset_endpoint(kBulkOutEndpoint);
  EXPECT_EQ(adapter.out(kBulkOutEndpoint, Bytes{1}), Handshake::Ack);
  configure();
  EXPECT_FALSE(adapter.halted(kInterruptInEndpoint));
}

TEST_F(StandardRequests, HaltOnlyExistingEndpoints) {
  EXPECT_EQ(request(set_halt(kBulkInEndpoint)), Handshake::Stall);  // not configured yet
  configure();
  EXPECT_EQ(request(set_halt(0x85)), Handshake::Stall);
  EXPECT_EQ(request(set_halt(0x01)), Handshake::Stall);
  EXPECT_EQ(request(setup(kEndpointOut, 3, 1, kBulkInEndpoint)), Handshake::Stall);  // not a halt feature
  EXPECT_EQ(request(endpoint_status(0x85)), Handshake::Stall);
}

TEST_F(StandardRequests, Status) {
  EXPECT_EQ(control(setup(0x80, 0, 0, 0, 2)).data, (Bytes{0, 0}));
  EXPECT_EQ(control(endpoint_status(0x00)).data, (Bytes{0, 0}));
  EXPECT_EQ(request(setup(0x81, 0, 0, 0, 2)), Handshake::Stall);  // no interface before configuration
  configure();
  EXPECT_EQ(control(setup(0x81, 0, 0, 0, 2)).data, (Bytes{0, 0}));
  EXPECT_EQ(request(setup(0x81, 0, 0, 1, 2)), Handshake::Stall);
  EXPECT_EQ(control(setup(0x80, 0, 0, 0, 1)).data, Bytes{0});  // wLength holds here too
}

TEST_F(StandardRequests, InterfaceSelection) {
  configure();
  ASSERT_EQ(request(set_halt(kBulkInEndpoint)), Handshake::Ack);
  EXPECT_EQ(request(setup(0x01, 11, 0, 0)), Handshake::Ack);
  EXPECT_FALSE(adapter.halted(kBulkInEndpoint));  // selecting the setting resets its endpoints
  EXPECT_EQ(control(setup(0x81, 10, 0, 0, 1)).data, Bytes{0});
  EXPECT_EQ(request(setup(0x01, 11, 1, 0)), Handshake::Stall);  // no alternate setting 1
  EXPECT_EQ(request(setup(0x01, 11, 0, 1)), Handshake::Stall);  // no interface 1
}

TEST_F(StandardRequests, UnknownRequestsStall) {
  configure();
  const USB_SETUP_PACKET unknown[] = {
      get_descriptor(USB_STRING_DESCRIPTOR_TYPE, 255),
      get_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 255, 1),  // only one configuration
      get_descriptor(USB_INTERFACE_DESCRIPTOR_TYPE, 255),
      setup(0x81, 6, 0x0100, 0, 18),   // descriptor from the interface
      setup(0x00, 7, 0x0100, 0, 18),   // SET_DESCRIPTOR
      setup(0x00, 3, 1),               // remote wake-up, which it does not have
      setup(0x82, 12, 0, 0x81, 2),     // SYNCH_FRAME
      setup(0x00, 5, 200),             // an address that cannot be
      setup(0x21, 0x20, 0, 0, 7),      // a class request
      setup(0xA1, 0x21, 0, 0, 7),
      setup(0x41, 5, 0, 0, 4),         // a vendor request to the interface
      setup(0x00, 0x42),
  };
  for (const auto& packet : unknown) {
    const auto result = control(packet);
    EXPECT_EQ(result.handshake, Handshake::Stall) << int{packet.bmRequestType} << "/" << int{packet.bRequest};
    EXPECT_TRUE(result.data.empty());
  }
  EXPECT_TRUE(adapter.take_requests().empty());
  EXPECT_EQ(request(setup(0x00, 5, 3)), Handshake::Ack);  // SET_ADDRESS itself is fine
}

TEST_F(StandardRequests, UnplugForgetsTheConfiguration) {
  configure();
  ASSERT_EQ(request(set_halt(kBulkInEndpoint)), Handshake::Ack);
  adapter.detached();
  adapter.attached(signals);
  EXPECT_EQ(adapter.configuration(), 0);
  configure();
  EXPECT_FALSE(adapter.halted(kBulkInEndpoint));
}

}  // namespace
}  // namespace devices::testing
