#include <gtest/gtest.h>

#include <memory>

#include "tests/serial_adapter/adapter_fixture.h"

namespace devices::testing {
namespace {

using usb::Handshake;
using Routing = AdapterTest;

USB_SETUP_PACKET vendor_out(std::uint8_t request, std::uint16_t length) { return setup(0x40, request, 0, 0, length); }
USB_SETUP_PACKET vendor_in(std::uint8_t request, std::uint16_t length) { return setup(0xC0, request, 0, 0, length); }

TEST_F(Routing, VendorRequestsAreRecordedAndAnswered) {
  const Bytes divisor{0x0C, 0, 0, 0};
  EXPECT_EQ(control(vendor_out(5, 4), divisor).handshake, Handshake::Ack);
  EXPECT_EQ(control(vendor_out(10, 1), Bytes{0x0B}).handshake, Handshake::Ack);
  EXPECT_EQ(control(vendor_in(2, 1)).data, Bytes{0x00});
  firmware().set_modem_status(0x30);
  EXPECT_EQ(control(vendor_in(2, 1)).data, Bytes{0x30});
  EXPECT_TRUE(control(vendor_in(2, 0)).data.empty());  // no room, nothing returned
  const auto other_in = control(vendor_in(9, 4));
  EXPECT_EQ(other_in.handshake, Handshake::Ack);
  EXPECT_TRUE(other_in.data.empty());

  const std::vector<VendorRequest> expected{
      {5, false, divisor}, {10, false, {0x0B}}, {2, true, {0x00}}, {2, true, {0x30}}, {2, true, {}}, {9, true, {}},
  };
  EXPECT_EQ(adapter.take_requests(), expected);
  EXPECT_TRUE(adapter.take_requests().empty());  // each request is reported once
}

TEST_F(Routing, BulkOutBytesAreKeptInOrder) {
  configure();
  EXPECT_EQ(adapter.out(kBulkOutEndpoint, Bytes{1, 2, 3}), Handshake::Ack);
  EXPECT_EQ(adapter.out(kBulkOutEndpoint, Bytes{}), Handshake::Ack);
  EXPECT_EQ(adapter.out(kBulkOutEndpoint, Bytes{4}), Handshake::Ack);
  EXPECT_EQ(firmware().take_bulk_out(), (Bytes{1, 2, 3, 4}));
  EXPECT_TRUE(firmware().take_bulk_out().empty());
}

TEST_F(Routing, BulkInHandsOutQueuedBytesInPackets) {
  configure();
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).handshake, Handshake::Nak);
  EXPECT_TRUE(signals.ready.empty());

  Bytes stream(100);
  for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::uint8_t>(i);
  firmware().queue_bulk_in(std::span(stream).first(70));
  firmware().queue_bulk_in(std::span(stream).subspan(70));
  EXPECT_EQ(signals.ready, (Bytes{kBulkInEndpoint, kBulkInEndpoint}));

  Bytes received;
  for (const std::size_t expected_size : {64u, 36u}) {
    const auto packet = adapter.in(kBulkInEndpoint, 64);
    ASSERT_EQ(packet.handshake, Handshake::Ack);
    EXPECT_EQ(packet.data.size(), expected_size);
    received.insert(received.end(), packet.data.begin(), packet.data.end());
  }
  EXPECT_EQ(received, stream);
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).handshake, Handshake::Nak);
}

TEST_F(Routing, InterruptMessagesGoOutOnePerPacket) {
  configure();
  firmware().queue_interrupt({0x31, 0x00});
  firmware().queue_interrupt({0x00, 0x03});
  firmware().queue_interrupt(Bytes(10, 0xEE));  // longer than the endpoint takes at once
  EXPECT_EQ(signals.ready, (Bytes{kInterruptInEndpoint, kInterruptInEndpoint, kInterruptInEndpoint}));

  EXPECT_EQ(adapter.in(kInterruptInEndpoint, 8).data, (Bytes{0x31, 0x00}));
  EXPECT_EQ(adapter.in(kInterruptInEndpoint, 8).data, (Bytes{0x00, 0x03}));
  EXPECT_EQ(adapter.in(kInterruptInEndpoint, 8).data, Bytes(8, 0xEE));
  EXPECT_EQ(adapter.in(kInterruptInEndpoint, 8).data, Bytes(2, 0xEE));
  EXPECT_EQ(adapter.in(kInterruptInEndpoint, 8).handshake, Handshake::Nak);
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).handshake, Handshake::Nak);  // the pipes do not mix
}

TEST_F(Routing, NoSignalsWhileUnplugged) {
  adapter.detached();
  firmware().queue_bulk_in(Bytes{1});
  firmware().queue_interrupt({0, 0});
  EXPECT_TRUE(signals.ready.empty());
  adapter.attached(signals);
  configure();
  EXPECT_EQ(adapter.in(kBulkInEndpoint, 64).data, Bytes{1});  // queued data waits for the host
}

// Firmware that shows what reaches it.
class ProbeFirmware : public Firmware {
 public:
  usb::ControlResult vendor_request(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> data) override {
    last_request = setup.bRequest;
    last_data.assign(data.begin(), data.end());
    return {Handshake::Ack, Bytes(8, 0xAB)};
  }
  usb::InResult bulk_in(std::size_t max_packet) override { return {Handshake::Ack, Bytes(max_packet, 0x11)}; }
  usb::Handshake bulk_out(std::span<const std::uint8_t>) override { return Handshake::Nak; }
  usb::InResult interrupt_in(std::size_t) override { return {Handshake::Stall, {}}; }
  void wake(std::uint8_t endpoint) { endpoint_ready(endpoint); }

  int last_request = -1;
  Bytes last_data;
};

TEST(AdapterFirmware, ReplacementFirmwareGetsEverythingButStandardRequests) {
  auto owned = std::make_unique<ProbeFirmware>();
  auto& probe = *owned;
  SerialAdapter adapter({}, std::move(owned));
  EXPECT_EQ(adapter.firmware_as<ProbeFirmware>(), &probe);
  EXPECT_EQ(adapter.firmware_as<QueuedFirmware>(), nullptr);
  RecordingSignals signals;
  adapter.attached(signals);

  ASSERT_EQ(adapter.control(setup(0x00, 9, 1), {}).handshake, Handshake::Ack);
  EXPECT_EQ(probe.last_request, -1);

  // The adapter cuts the firmware's answer to wLength and records what it sent.
  EXPECT_EQ(adapter.control(vendor_in(7, 3), {}).data, Bytes(3, 0xAB));
  EXPECT_TRUE(probe.last_data.empty());
  EXPECT_EQ(adapter.control(vendor_out(8, 1), Bytes{0x13}).data, Bytes{});
  EXPECT_EQ(probe.last_request, 8);
  EXPECT_EQ(probe.last_data, Bytes{0x13});
  EXPECT_EQ(adapter.take_requests(), (std::vector<VendorRequest>{{7, true, Bytes(3, 0xAB)}, {8, false, {0x13}}}));

  EXPECT_EQ(adapter.in(kBulkInEndpoint, 16).data, Bytes(16, 0x11));
  EXPECT_EQ(adapter.out(kBulkOutEndpoint, Bytes{1}), Handshake::Nak);
  EXPECT_EQ(adapter.in(kInterruptInEndpoint, 64).handshake, Handshake::Stall);

  probe.wake(kBulkOutEndpoint);
  EXPECT_EQ(signals.ready, Bytes{kBulkOutEndpoint});
  adapter.detached();
  probe.wake(kBulkOutEndpoint);
  EXPECT_EQ(signals.ready.size(), 1u);
}

}  // namespace
}  // namespace devices::testing
