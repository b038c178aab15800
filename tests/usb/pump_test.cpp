// The way function drivers keep a pipe busy: one bulk IN transfer outstanding through the PDO,
// resubmitted from its completion routine, cancelled with IoCancelIrp and waited for with a
// 5-second time-out; and vendor requests that a timer's DPC defers to the worker thread.
#include <gtest/gtest.h>

#include <vector>

#include "tests/usb/bus_bench.h"

namespace {

using usb_test::BusBench;

// A receive pump as a function driver writes it: its own IRP and URB, reused for every transfer.
struct Pump {
  PDEVICE_OBJECT target = nullptr;
  USBD_PIPE_HANDLE pipe = nullptr;
  PIRP irp = nullptr;
  URB urb{};
  std::uint8_t buffer[64]{};
  KEVENT stopped;  // signalled when a completion ends the pump
  std::vector<std::uint8_t> received;
  std::vector<NTSTATUS> endings;
  bool completion_below_dispatch = false;
  bool cancelling = false;               // inside IoCancelIrp
  bool completed_while_cancelling = false;
};

NTSTATUS pump_complete(PDEVICE_OBJECT, PIRP irp, PVOID context);

void submit(Pump& p) {
  p.urb = usb_test::bulk(p.pipe, p.buffer, sizeof p.buffer);
  p.urb.UrbBulkOrInterruptTransfer.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(p.irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &p.urb;
  IoSetCompletionRoutine(p.irp, &pump_complete, &p, TRUE, TRUE, TRUE);
  IoCallDriver(p.target, p.irp);
}

void start(Pump& p) {
  const auto size = static_cast<CCHAR>(p.target->StackSize + 1);
  p.irp = IoAllocateIrp(size, FALSE);
  ASSERT_NE(p.irp, nullptr);
  IoInitializeIrp(p.irp, IoSizeOfIrp(size), size);
  submit(p);
}

NTSTATUS pump_complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto& p = *static_cast<Pump*>(context);
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) p.completion_below_dispatch = true;
  if (p.cancelling) p.completed_while_cancelling = true;
  if (irp->IoStatus.Status == STATUS_SUCCESS) {
    const ULONG n = p.urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    p.received.insert(p.received.end(), p.buffer, p.buffer + n);
    submit(p);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  p.endings.push_back(irp->IoStatus.Status);
  IoFreeIrp(irp);
  p.irp = nullptr;
  KeSetEvent(&p.stopped, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Cancels the pump's transfer and waits up to 5 s for the pump to see it; false on time-out.
bool cancel(Pump& p) {
  if (p.irp == nullptr) return true;
  KeResetEvent(&p.stopped);
  p.cancelling = true;
  const BOOLEAN cancellable = IoCancelIrp(p.irp);
  p.cancelling = false;
  if (!cancellable) return true;
  LARGE_INTEGER five_seconds;
  five_seconds.QuadPart = -sim::seconds(5);
  return KeWaitForSingleObject(&p.stopped, Executive, KernelMode, FALSE, &five_seconds) == STATUS_SUCCESS;
}

// Counts the transfers on one endpoint that the controller holds at once.
struct Outstanding : usb::TransferObserver {
  explicit Outstanding(std::uint8_t ep) : endpoint(ep) {}
  void transfer_submitted(const usb::TransferEvent& e) override {
    if (e.endpoint != endpoint) return;
    last = e.id;
    most = std::max(most, ++now);
  }
  void transfer_completed(const usb::TransferEvent& e) override {
    if (e.endpoint == endpoint) --now;
  }
  std::uint8_t endpoint;
  usb::TransferId last = 0;
  int now = 0;
  int most = 0;
};

void prepare(BusBench& b, Pump& pump) {
  auto record = b.select(0);
  pump.target = b.pdo;
  pump.pipe = BusBench::pipe_of(record, 0);
  KeInitializeEvent(&pump.stopped, NotificationEvent, FALSE);
}

TEST(PumpTest, KeepsOneTransferOutstandingUntilCancelledWhileTheDeviceNaks) {
  BusBench b(7);
  b.k.verifier().set_mode(kernel::Verifier::Mode::Record);
  Outstanding in(0x81);
  b.hc.add_observer(in);
  Pump pump;
  std::vector<std::uint8_t> sent;
  for (int i = 0; i < 200; ++i) sent.push_back(static_cast<std::uint8_t>(i));
  b.run([&] {
    prepare(b, pump);
    start(pump);
    const sim::VTime t = b.s.now();
    // 10 bytes, then 130 (two full packets and a short one), then exactly one full buffer.
    b.s.at(t + sim::milliseconds(3), [&] { b.device.push_in(0x81, std::span(sent).first(10)); });
    b.s.at(t + sim::milliseconds(10), [&] { b.device.push_in(0x81, std::span(sent).subspan(10, 130)); });
    b.s.at(t + sim::milliseconds(20), [&] { b.device.push_in(0x81, std::span(sent).subspan(140, 60)); });
    b.s.sleep_for(sim::milliseconds(40));
    EXPECT_EQ(pump.received, sent);
    ASSERT_NE(pump.irp, nullptr);

    const sim::VTime cancelled_at = b.s.now();
    EXPECT_TRUE(cancel(pump));
    EXPECT_LE(b.s.now() - cancelled_at, sim::milliseconds(2)) << "the next frame completes the cancellation";
    EXPECT_EQ(pump.irp, nullptr);
    EXPECT_TRUE(cancel(pump)) << "nothing left to cancel";
  });
  b.hc.remove_observer(in);
  EXPECT_EQ(pump.endings, std::vector<NTSTATUS>{STATUS_CANCELLED});
  EXPECT_EQ(in.most, 1);
  EXPECT_EQ(in.now, 0);
  EXPECT_EQ(b.device.cancelled, std::vector<std::uint8_t>{0x81}) << "the device learns its NAKed transfer is gone";
  EXPECT_FALSE(pump.completion_below_dispatch);
  EXPECT_EQ(b.k.pool_stats(POOL_TAG("Irp ")).blocks, 0u);
  for (const auto& v : b.k.verifier().violations()) ADD_FAILURE() << v.text;
}

// The completion can arrive while IoCancelIrp is still running (a window opens when the cancel
// routine lowers the IRQL), and the pump frees its IRP there: nothing may touch the IRP after.
TEST(PumpTest, CompletionArrivingInsideIoCancelIrpMayFreeTheIrp) {
  int raced = 0;
  for (std::uint64_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE(seed);
    BusBench b(seed);
    b.k.verifier().set_mode(kernel::Verifier::Mode::Record);
    Outstanding in(0x81);
    b.hc.add_observer(in);
    Pump pump;
    b.run([&] {
      prepare(b, pump);
      start(pump);
      b.s.sleep_for(sim::milliseconds(5));  // parked on NAKs
      b.s.soon([&] { b.hc.complete_now(in.last); });
      EXPECT_TRUE(cancel(pump));
      EXPECT_EQ(pump.irp, nullptr);
    });
    b.hc.remove_observer(in);
    raced += pump.completed_while_cancelling ? 1 : 0;
    EXPECT_EQ(pump.endings, std::vector<NTSTATUS>{STATUS_CANCELLED});
    EXPECT_EQ(b.k.pool_stats(POOL_TAG("Irp ")).blocks, 0u);
    for (const auto& v : b.k.verifier().violations()) ADD_FAILURE() << v.text;
  }
  EXPECT_GT(raced, 0) << "no seed delivered the completion inside IoCancelIrp";
}

// A timer's DPC cannot wait for the bus, so it hands vendor requests to the worker thread,
// which sends each one and waits for it.
struct Deferred {
  WORK_QUEUE_ITEM item;
  USHORT value;
};

struct Ticker {
  BusBench* bench = nullptr;
  KTIMER timer;
  KDPC dpc;
  int ticks = 0;
  struct Sent {
    USHORT value;
    NTSTATUS status;
    KIRQL irql;
    sim::VTime at;
  };
  std::vector<Sent> sent;
};
Ticker* g_ticker = nullptr;

void send_vendor_request(PVOID parameter) {
  auto* work = static_cast<Deferred*>(parameter);
  BusBench& b = *g_ticker->bench;
  std::uint8_t byte = 0x0B;
  URB urb = usb_test::make_urb(URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  urb.UrbControlVendorClassRequest.TransferBuffer = &byte;
  urb.UrbControlVendorClassRequest.TransferBufferLength = 1;
  urb.UrbControlVendorClassRequest.Request = 10;
  urb.UrbControlVendorClassRequest.Value = work->value;
  const KIRQL irql = KeGetCurrentIrql();
  usb_test::Request r;
  b.start(r, &urb);
  const NTSTATUS status = b.wait(r);
  g_ticker->sent.push_back({work->value, status, irql, b.s.now()});
  ExFreePool(work);
}

void tick(PKDPC, PVOID, PVOID, PVOID) {
  Ticker& t = *g_ticker;
  if (++t.ticks == 3) KeCancelTimer(&t.timer);
  auto* work = static_cast<Deferred*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Deferred), POOL_TAG("Work")));
  if (work == nullptr) return;
  work->value = static_cast<USHORT>(t.ticks);
  ExInitializeWorkItem(&work->item, &send_vendor_request, work);
  ExQueueWorkItem(&work->item, DelayedWorkQueue);
}

TEST(PumpTest, TimerDpcDefersVendorRequestsToTheWorkerThread) {
  BusBench b(3);
  Ticker ticker;
  ticker.bench = &b;
  g_ticker = &ticker;
  LARGE_INTEGER due;
  due.QuadPart = -sim::milliseconds(100);
  b.run([&] {
    b.select(0);
    KeInitializeTimer(&ticker.timer);
    KeInitializeDpc(&ticker.dpc, &tick, nullptr);
    KeSetTimerEx(&ticker.timer, due, 100, &ticker.dpc);
  });
  const sim::VTime armed = b.s.now();
  b.s.run_until(armed + sim::seconds(1));
  ASSERT_EQ(ticker.sent.size(), 3u) << "the third tick cancelled its own timer";
  for (int i = 0; i < 3; ++i) {
    const auto& sent = ticker.sent[static_cast<std::size_t>(i)];
    EXPECT_EQ(sent.value, i + 1);
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(sent.irql, PASSIVE_LEVEL);
    const sim::VTime tick_time = armed + sim::milliseconds(100) * (i + 1);
    EXPECT_GT(sent.at, tick_time);
    EXPECT_LE(sent.at, tick_time + sim::milliseconds(2)) << "one control transfer";
  }
  ASSERT_GE(b.device.setups.size(), 3u);
  EXPECT_EQ(b.device.setups.back().bmRequestType, 0x40);
  EXPECT_EQ(b.device.setups.back().wValue, 3);
  EXPECT_EQ(b.k.pool_stats(POOL_TAG("Work")).blocks, 0u);
  g_ticker = nullptr;
}

}  // namespace
