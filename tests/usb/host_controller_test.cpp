#include "platform/usb/host_controller.h"

#include <gtest/gtest.h>

#include <numeric>

#include "tests/usb/fake_device.h"

namespace {

using usb::Handshake;
using usb::HostController;
using usb_test::endpoint_descriptor;
using usb_test::FakeDevice;

constexpr std::uint8_t kBulkIn = 0x81;
constexpr std::uint8_t kBulkOut = 0x02;
constexpr std::uint8_t kIntIn = 0x83;

struct Completion {
  sim::VTime time;
  usb::TransferResult result;
};

class HostControllerTest : public ::testing::Test {
 protected:
  HostControllerTest() {
    address = hc.connect(device);
    hc.open_endpoint(address, endpoint_descriptor(kBulkIn, USB_ENDPOINT_TYPE_BULK, 64));
    hc.open_endpoint(address, endpoint_descriptor(kBulkOut, USB_ENDPOINT_TYPE_BULK, 64));
    hc.open_endpoint(address, endpoint_descriptor(kIntIn, USB_ENDPOINT_TYPE_INTERRUPT, 8, 8));
  }

  // Submits a transfer whose completions are recorded in `done`.
  usb::TransferId submit(std::uint8_t endpoint, std::vector<std::uint8_t>& buffer) {
    usb::TransferRequest request;
    request.address = address;
    request.endpoint = endpoint;
    request.buffer = buffer;
    request.on_complete = [this](const usb::TransferResult& r) { done.push_back({scheduler.now(), r}); };
    return hc.submit(std::move(request));
  }

  usb::TransferId control(USB_SETUP_PACKET setup, std::vector<std::uint8_t>& buffer) {
    usb::TransferRequest request;
    request.address = address;
    request.setup = setup;
    request.buffer = buffer;
    request.urb_function = URB_FUNCTION_CONTROL_TRANSFER;
    request.on_complete = [this](const usb::TransferResult& r) { done.push_back({scheduler.now(), r}); };
    return hc.submit(std::move(request));
  }

  sim::Scheduler scheduler{1};
  HostController hc{scheduler};
  FakeDevice device;
  std::uint8_t address = 0;
  std::vector<Completion> done;
};

std::vector<std::uint8_t> iota_bytes(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  std::iota(v.begin(), v.end(), std::uint8_t{1});
  return v;
}

TEST_F(HostControllerTest, BulkInMovesMaxPacketsAndEndsAtShortPacket) {
  EXPECT_EQ(address, 1);
  device.in_data[kBulkIn].assign(150, 0x5A);
  std::vector<std::uint8_t> buffer(256);
  submit(kBulkIn, buffer);
  scheduler.run_until(sim::milliseconds(10));
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].time, sim::milliseconds(1));  // completes on the first frame boundary
  EXPECT_EQ(done[0].result.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(done[0].result.actual, 150u);
  std::vector<std::size_t> sizes;
  for (auto& p : device.packets) sizes.push_back(p.size);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{64, 64, 22}));

  // A transfer that fills its buffer with full packets ends without waiting for a short one.
  device.in_data[kBulkIn].assign(200, 0x11);
  std::vector<std::uint8_t> exact(128);
  submit(kBulkIn, exact);
  scheduler.run_until(sim::milliseconds(20));
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[1].result.actual, 128u);
  EXPECT_EQ(device.in_data[kBulkIn].size(), 72u);
}

TEST_F(HostControllerTest, FrameBudgetSpreadsBulkDataOverFrames) {
  auto data = iota_bytes(4096);
  submit(kBulkOut, data);  // 64 packets: 19 per frame
  scheduler.run_until(sim::milliseconds(20));
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].time, sim::milliseconds(4));
  EXPECT_EQ(done[0].result.actual, 4096u);
  EXPECT_EQ(device.out_data[kBulkOut], data);
  std::map<sim::VTime, int> per_frame;
  for (auto& p : device.packets) per_frame[p.time]++;
  EXPECT_EQ(per_frame[sim::milliseconds(1)], 19);

  // Two transfers on different endpoints share each frame's budget.
  done.clear();
  device.in_data[kBulkIn].assign(4096, 0x22);
  auto again = iota_bytes(4096);
  std::vector<std::uint8_t> in(4096);
  submit(kBulkOut, again);
  submit(kBulkIn, in);
  scheduler.run_until(sim::milliseconds(40));
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].time, sim::milliseconds(27));  // 128 packets from t=20ms: 7 frames
  EXPECT_EQ(done[1].time, sim::milliseconds(27));
}

TEST_F(HostControllerTest, NakParksTransferUntilEndpointReady) {
  std::vector<std::uint8_t> buffer(64);
  submit(kBulkIn, buffer);
  scheduler.run_until(sim::milliseconds(100));
  EXPECT_TRUE(done.empty());
  EXPECT_EQ(hc.frames_run(), 1u);  // one NAK, then nothing is polled
  EXPECT_EQ(device.packets.size(), 1u);

  const std::uint8_t bytes[] = {1, 2, 3};
  scheduler.at(sim::milliseconds(150) + 3, [&] { device.push_in(kBulkIn, bytes); });
  scheduler.run_until(sim::milliseconds(200));
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].time, sim::milliseconds(151));
  EXPECT_EQ(done[0].result.actual, 3u);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_EQ(hc.frames_run(), 2u);
}

TEST_F(HostControllerTest, IdleBusSchedulesNoFrames) {
  scheduler.run_until(sim::seconds(10));
  EXPECT_EQ(hc.frames_run(), 0u);
  EXPECT_TRUE(scheduler.idle());
}

TEST_F(HostControllerTest, InterruptEndpointPolledAtItsInterval) {
  // Always has data: each completion resubmits at once, polls stay 8 frames apart.
  device.in_data[kIntIn].assign(64, 0x07);
  std::vector<std::uint8_t> buffer(2);
  std::function<void()> resubmit;
  std::vector<sim::VTime> times;
  resubmit = [&] {
    usb::TransferRequest r;
    r.address = address;
    r.endpoint = kIntIn;
    r.buffer = buffer;
    r.on_complete = [&](const usb::TransferResult&) {
      times.push_back(scheduler.now());
      if (times.size() < 4) resubmit();
    };
    hc.submit(std::move(r));
  };
  resubmit();
  scheduler.run_until(sim::milliseconds(100));
  EXPECT_EQ(times, (std::vector<sim::VTime>{sim::milliseconds(1), sim::milliseconds(9), sim::milliseconds(17),
                                            sim::milliseconds(25)}));

  // After a NAK the next poll waits for both the device and the interval.
  device.in_data[kIntIn].clear();
  std::vector<std::uint8_t> more(2);
  submit(kIntIn, more);  // polled at 101 ms: NAK
  const std::uint8_t msg[] = {0x30, 0x00};
  scheduler.at(sim::milliseconds(103), [&] { device.push_in(kIntIn, msg); });
  scheduler.run_until(sim::milliseconds(150));
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].time, sim::milliseconds(109));
  EXPECT_EQ(more[0], 0x30);
}

TEST_F(HostControllerTest, FailuresCompleteWithTheirStatus) {
  struct Case {
    Handshake answer;
    USBD_STATUS status;
    bool halts;
  };
  for (const Case c : {Case{Handshake::Stall, USBD_STATUS_STALL_PID, true},
                       Case{Handshake::Error, USBD_STATUS_DEV_NOT_RESPONDING, false}}) {
    SCOPED_TRACE(static_cast<int>(c.answer));
    done.clear();
    device.fail[kBulkOut] = {c.answer};
    auto data = iota_bytes(10);
    submit(kBulkOut, data);
    scheduler.run_until(scheduler.now() + sim::milliseconds(5));
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].result.status, c.status);
    EXPECT_EQ(usb::nt_status_of(c.status), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hc.halted(address, kBulkOut), c.halts);

    // A halted endpoint refuses further transfers until its halt is cleared.
    submit(kBulkOut, data);
    scheduler.run_until(scheduler.now() + sim::milliseconds(5));
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[1].result.status, c.halts ? USBD_STATUS_ENDPOINT_HALTED : USBD_STATUS_SUCCESS);
    if (c.halts) {
      std::vector<std::uint8_t> none;
      control({0x02, 1, 0, kBulkOut, 0}, none);  // CLEAR_FEATURE(ENDPOINT_HALT)
      scheduler.run_until(scheduler.now() + sim::milliseconds(5));
      EXPECT_EQ(done.back().result.status, USBD_STATUS_SUCCESS);
      EXPECT_EQ(device.resets, std::vector<std::uint8_t>{kBulkOut});
      EXPECT_FALSE(hc.halted(address, kBulkOut));
      EXPECT_TRUE(device.setups.empty());  // the controller handled it
    }
  }
}

TEST_F(HostControllerTest, CancelAbortAndDisconnectCompletePendingTransfers) {
  std::vector<std::uint8_t> a(64), b(64), c(64), d(64);
  const auto first = submit(kBulkIn, a);
  submit(kBulkIn, b);
  scheduler.run_until(sim::milliseconds(5));  // both parked behind a NAK
  EXPECT_TRUE(hc.cancel(first));
  EXPECT_FALSE(hc.cancel(first));
  scheduler.run_until(sim::milliseconds(10));
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].result.status, USBD_STATUS_CANCELED);
  EXPECT_EQ(done[0].time, sim::milliseconds(6));  // delivered on the next frame boundary
  EXPECT_EQ(device.cancelled, std::vector<std::uint8_t>{kBulkIn});  // the device held it back

  hc.abort_endpoint(address, kBulkIn);
  scheduler.run_until(sim::milliseconds(15));
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[1].result.status, USBD_STATUS_CANCELED);
  EXPECT_EQ(device.cancelled.size(), 2u);

  submit(kBulkIn, c);
  scheduler.run_until(sim::milliseconds(20));
  hc.disconnect(address);
  EXPECT_EQ(device.detaches, 1);
  EXPECT_FALSE(hc.connected(address));
  submit(kBulkIn, d);
  scheduler.run_until(sim::milliseconds(25));
  ASSERT_EQ(done.size(), 4u);
  EXPECT_EQ(done[2].result.status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(done[3].result.status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(device.cancelled.size(), 2u);  // a device that left is not told
  EXPECT_EQ(usb::nt_status_of(USBD_STATUS_DEVICE_GONE), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(hc.connect(device), 1);  // the address is free again
}

TEST_F(HostControllerTest, CompleteNowDeliversAtOnceAtDispatchLevel) {
  std::vector<std::uint8_t> a(64);
  sim::Irql seen = sim::Irql::Passive;
  usb::TransferRequest r;
  r.address = address;
  r.endpoint = kBulkIn;
  r.buffer = a;
  r.on_complete = [&](const usb::TransferResult& result) {
    seen = scheduler.irql();
    done.push_back({scheduler.now(), result});
  };
  const auto id = hc.submit(std::move(r));
  hc.complete_now(id);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].result.status, USBD_STATUS_CANCELED);
  EXPECT_EQ(seen, sim::Irql::Dispatch);
  EXPECT_EQ(scheduler.irql(), sim::Irql::Passive);
  scheduler.run_until(sim::milliseconds(5));
  EXPECT_EQ(done.size(), 1u);
}

TEST_F(HostControllerTest, ControlTransfersReachTheDeviceExceptAddressing) {
  device.descriptors[0x0100] = iota_bytes(18);
  std::vector<std::uint8_t> descriptor(64);
  control({0x80, 6, 0x0100, 0, 64}, descriptor);
  std::vector<std::uint8_t> payload = {0x0C, 0, 0, 0};
  control({0x40, 5, 0, 0, 4}, payload);
  std::vector<std::uint8_t> none;
  control({0x00, 5, 9, 0, 0}, none);  // SET_ADDRESS
  scheduler.run_until(sim::milliseconds(5));
  ASSERT_EQ(done.size(), 3u);
  EXPECT_EQ(done[0].result.actual, 18u);
  EXPECT_EQ(descriptor[17], 18);
  EXPECT_EQ(done[1].result.actual, 4u);
  ASSERT_EQ(device.setups.size(), 2u);
  EXPECT_EQ(device.setups[1].bRequest, 5);
  EXPECT_EQ(device.control_out[1], payload);

  // NAK on the control pipe waits for endpoint_ready(0); a stall does not halt the pipe.
  device.fail[0] = {Handshake::Nak};
  control({0x40, 7, 0, 0, 0}, none);
  scheduler.run_until(sim::milliseconds(20));
  EXPECT_EQ(done.size(), 3u);
  device.signals->endpoint_ready(0);
  scheduler.run_until(sim::milliseconds(25));
  ASSERT_EQ(done.size(), 4u);
  EXPECT_EQ(done[3].time, sim::milliseconds(21));
  device.fail[0] = {Handshake::Stall};
  control({0x40, 7, 0, 0, 0}, none);
  control({0x40, 7, 0, 0, 0}, none);
  scheduler.run_until(sim::milliseconds(30));
  ASSERT_EQ(done.size(), 6u);
  EXPECT_EQ(done[4].result.status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(done[5].result.status, USBD_STATUS_SUCCESS);
}

TEST_F(HostControllerTest, CancellingAParkedControlTransferLetsTheNextOneThrough) {
  std::vector<std::uint8_t> none;
  device.fail[0] = {Handshake::Nak};
  const usb::TransferId held = control({0x40, 7, 0, 0, 0}, none);
  control({0x40, 10, 0, 0, 0}, none);
  scheduler.run_until(sim::milliseconds(10));
  EXPECT_TRUE(done.empty());
  hc.cancel(held);
  scheduler.run_until(sim::milliseconds(20));
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].result.status, USBD_STATUS_CANCELED);
  EXPECT_EQ(done[1].result.status, USBD_STATUS_SUCCESS);
  ASSERT_EQ(device.setups.size(), 1u);
  EXPECT_EQ(device.setups[0].bRequest, 10);
}

TEST_F(HostControllerTest, TransfersToUnknownEndpointsFail) {
  std::vector<std::uint8_t> a(8);
  submit(0x85, a);
  scheduler.run_until(sim::milliseconds(5));
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].result.status, USBD_STATUS_INVALID_PIPE_HANDLE);

  // A closed endpoint cancels what it had.
  std::vector<std::uint8_t> b(8);
  submit(kBulkIn, b);
  hc.close_endpoint(address, kBulkIn);
  scheduler.run_until(sim::milliseconds(10));
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[1].result.status, USBD_STATUS_CANCELED);
}

TEST_F(HostControllerTest, DeviceSendingMoreThanRoomIsAnOverrun) {
  device.in_data[kBulkIn].assign(64, 1);
  std::vector<std::uint8_t> small(10);
  submit(kBulkIn, small);
  scheduler.run_until(sim::milliseconds(5));
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].result.status, USBD_STATUS_DATA_OVERRUN);
  EXPECT_EQ(done[0].result.actual, 10u);
}

}  // namespace
