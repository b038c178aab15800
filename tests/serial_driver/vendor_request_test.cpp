// Vendor requests to the adapter: what goes out and comes back, when a request is refused, and
// requests made at dispatch level, which a system worker thread sends later.
#include <string>

#include "tests/serial_driver/port_fixture.h"

namespace krlusb_test {
namespace {

using namespace krlusb;
using devices::VendorRequest;

// What the completion callback of a request saw.
struct Completion {
  int calls = 0;
  PVOID device = nullptr;
  NTSTATUS status = STATUS_PENDING;
  std::string thread;
};

void record_completion(PVOID DeviceContext, PVOID CommandContext, NTSTATUS Status) {
  auto& completion = *static_cast<Completion*>(CommandContext);
  completion.calls++;
  completion.device = DeviceContext;
  completion.status = Status;
  auto& scheduler = sim::Scheduler::current();
  completion.thread = std::string(scheduler.thread_name(scheduler.current_thread()));
}

class VendorRequestTest : public PortTest {
 protected:
  void SetUp() override {
    adapter_ = &plug_with_port("5");
    ASSERT_NE(port(), nullptr);
    adapter_->device->take_requests();
  }
  std::vector<VendorRequest> requests() { return adapter_->device->take_requests(); }

  machine::PluggedSerialAdapter* adapter_ = nullptr;
};

TEST_F(VendorRequestTest, RequestsCarryTheirDataBothWays) {
  firmware(*adapter_).set_modem_status(0xB5);
  UCHAR status_byte = 0;
  ULONG status_length = 1;
  UCHAR divisor[4] = {0x0C, 0, 0, 0};
  ULONG divisor_length = 4;
  Completion completion;
  NTSTATUS read = STATUS_PENDING;
  NTSTATUS write = STATUS_PENDING;
  in_driver([&] {
    read = USBKRL_ControlVendorCommand(port(), USBKRL_GET_MODEM_STATUS, 0, 0, &status_byte, &status_length, 1,
                                       record_completion, &completion);
    write = USBKRL_ControlVendorCommand(port(), USBKRL_SET_DIVISOR, 0, 0, divisor, &divisor_length, 0, nullptr,
                                        nullptr);
  });
  EXPECT_EQ(read, STATUS_SUCCESS);
  EXPECT_EQ(status_byte, 0xB5);
  EXPECT_EQ(status_length, 1U);
  EXPECT_EQ(write, STATUS_SUCCESS);
  EXPECT_EQ(divisor_length, 4U);
  EXPECT_EQ(requests(), (std::vector<VendorRequest>{{USBKRL_GET_MODEM_STATUS, true, {0xB5}},
                                                     {USBKRL_SET_DIVISOR, false, {0x0C, 0, 0, 0}}}));
  // Below dispatch level the callback runs at once, in the caller's thread.
  EXPECT_EQ(completion.calls, 1);
  EXPECT_EQ(completion.device, port());
  EXPECT_EQ(completion.status, STATUS_SUCCESS);
  EXPECT_EQ(completion.thread, "test");
}

TEST_F(VendorRequestTest, NoLengthWordMeansNoDataStage) {
  firmware(*adapter_).set_modem_status(0xB5);
  UCHAR byte = 0x77;
  NTSTATUS out = STATUS_PENDING;
  NTSTATUS in = STATUS_PENDING;
  in_driver([&] {
    out = USBKRL_ControlVendorCommand(port(), USBKRL_SET_MODEM_CONTROL, 0, 0, &byte, nullptr, 0, nullptr, nullptr);
    in = USBKRL_ControlVendorCommand(port(), USBKRL_GET_MODEM_STATUS, 0, 0, &byte, nullptr, 1, nullptr, nullptr);
  });
  EXPECT_EQ(out, STATUS_SUCCESS);
  EXPECT_EQ(in, STATUS_SUCCESS);
  EXPECT_EQ(byte, 0x77);
  EXPECT_EQ(requests(), (std::vector<VendorRequest>{{USBKRL_SET_MODEM_CONTROL, false, {}},
                                                     {USBKRL_GET_MODEM_STATUS, true, {}}}));
}

TEST_F(VendorRequestTest, FailedRequestLeavesBufferAndLengthAlone) {
  adapter_->device->stall_requests(devices::RequestKind::Vendor, true);
  UCHAR byte = 0x77;
  ULONG length = 1;
  NTSTATUS status = STATUS_SUCCESS;
  in_driver([&] {
    status = USBKRL_ControlVendorCommand(port(), USBKRL_GET_MODEM_STATUS, 0, 0, &byte, &length, 1, nullptr, nullptr);
  });
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_EQ(byte, 0x77);
  EXPECT_EQ(length, 1U);
}

// Only the port's own adapter matters: no port, a port its adapter was withdrawn from, or an
// adapter whose removal is under way.  Nothing is allocated and nothing reaches the USB stack.
TEST_F(VendorRequestTest, RefusedWhenThePortsAdapterIsGone) {
  struct Case {
    const char* what;
    bool null_port;
    bool withdrawn;
    bool remove_pending;
  };
  for (const Case& c : {Case{"no port", true, false, false}, Case{"withdrawn", false, true, false},
                        Case{"removal pending", false, false, true}}) {
    SCOPED_TRACE(c.what);
    PDEVICE_OBJECT device = port()->m_pDeviceObject;
    const std::size_t mark = log_mark();
    UCHAR byte = 0x0B;
    ULONG length = 1;
    Completion completion;
    NTSTATUS status = STATUS_SUCCESS;
    std::uint64_t allocations = 0;
    in_driver([&] {
      if (c.withdrawn) port()->m_pDeviceObject = nullptr;
      if (c.remove_pending) NC_Extension(device)->RemovePending = TRUE;
      allocations = k().pool_stats().allocations;
      status = USBKRL_ControlVendorCommand(c.null_port ? nullptr : port(), USBKRL_SET_MODEM_CONTROL, 0, 0, &byte,
                                          &length, 0, record_completion, &completion);
      allocations = k().pool_stats().allocations - allocations;
      port()->m_pDeviceObject = device;
      NC_Extension(device)->RemovePending = FALSE;
    });
    EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(completion.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(allocations, 0U);
    EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: The device was plug out ..."));
    EXPECT_FALSE(logged_since(mark, "Calling USB Driver Stack"));
    EXPECT_TRUE(requests().empty());
  }
}

// Unplugging one adapter must not silence the port that is bound to another one, while the
// port's own adapter leaving does.
TEST_F(PortTest, AnotherAdapterLeavingDoesNotStopThePort) {
  auto& com5 = plug_numbered("5");
  const std::string com5_name = com5.name;
  const std::string com6_name = plug_numbered("6").name;
  ASSERT_NE(create_port("COM5"), nullptr);
  ASSERT_NE(open_port("COM5"), nullptr);
  unplug(com6_name);
  ASSERT_EQ(PlugIn, 0) << "the driver-wide flag says no adapter is plugged";
  com5.device->take_requests();

  const std::size_t mark = log_mark();
  _DCB dcb = port()->m_dcb;
  dcb.BaudRate = 9600;
  BOOL result = 0;
  in_driver([&] { result = functions().pPortSetCommState(pd(), &dcb, fBaudRate); });
  EXPECT_EQ(result, 1);
  const std::vector<VendorRequest> sent = com5.device->take_requests();
  ASSERT_EQ(sent.size(), 3U);
  EXPECT_EQ(sent[0], (VendorRequest{USBKRL_SET_DIVISOR, false, {0x0C, 0, 0, 0}}));
  EXPECT_FALSE(logged_since(mark, "The device was plug out"));

  unplug(com5_name);
  const std::size_t gone = log_mark();
  dcb.BaudRate = 2400;
  in_driver([&] { result = functions().pPortSetCommState(pd(), &dcb, fBaudRate); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(port()->m_dcb.BaudRate, 2400U);
  EXPECT_TRUE(logged_since(gone, "KRLUSB.SYS: The device was plug out ..."));
  EXPECT_FALSE(logged_since(gone, "Calling USB Driver Stack"));
}

// A request made at dispatch level cannot wait for the adapter: it is queued, and the worker
// thread reads the caller's buffer and length word when it sends it, and writes them back.
TEST_F(VendorRequestTest, DispatchLevelRequestIsSentLaterByTheWorker) {
  firmware(*adapter_).set_modem_status(0x90);
  UCHAR character = 0x13;
  ULONG character_length = 1;
  UCHAR status_byte = 0;
  ULONG status_length = 1;
  Completion sent;
  Completion read;
  NTSTATUS send_status = STATUS_SUCCESS;
  NTSTATUS read_status = STATUS_SUCCESS;
  in_driver([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    send_status = USBKRL_ControlVendorCommand(port(), USBKRL_SEND_CHAR, 0, 0, &character, &character_length, 0,
                                              record_completion, &sent);
    read_status = USBKRL_ControlVendorCommand(port(), USBKRL_GET_MODEM_STATUS, 0, 0, &status_byte, &status_length,
                                              1, record_completion, &read);
    KeLowerIrql(old);
    // This thread has not given up the processor: the worker has not run yet.
    EXPECT_TRUE(adapter_->device->take_requests().empty());
    EXPECT_EQ(sent.calls + read.calls, 0);
    character = 0x11;
  });
  EXPECT_EQ(send_status, STATUS_PENDING);
  EXPECT_EQ(read_status, STATUS_PENDING);
  m().advance(sim::milliseconds(20));
  EXPECT_EQ(requests(), (std::vector<VendorRequest>{{USBKRL_SEND_CHAR, false, {0x11}},
                                                     {USBKRL_GET_MODEM_STATUS, true, {0x90}}}));
  EXPECT_EQ(status_byte, 0x90);
  EXPECT_EQ(status_length, 1U);
  for (const Completion* completion : {&sent, &read}) {
    EXPECT_EQ(completion->calls, 1);
    EXPECT_EQ(completion->device, port());
    EXPECT_EQ(completion->status, STATUS_SUCCESS);
    EXPECT_EQ(completion->thread, "system worker");
  }
}

TEST_F(VendorRequestTest, DeferredRequestChecksTheAdapterWhenItRuns) {
  PDEVICE_OBJECT device = port()->m_pDeviceObject;
  UCHAR byte = 0x0B;
  ULONG length = 1;
  Completion completion;
  in_driver([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(USBKRL_ControlVendorCommand(port(), USBKRL_SET_MODEM_CONTROL, 0, 0, &byte, &length, 0,
                                          record_completion, &completion),
              STATUS_PENDING);
    KeLowerIrql(old);
    // The adapter is withdrawn from the port before the worker gets to the request.
    port()->m_pDeviceObject = nullptr;
  });
  m().advance(sim::milliseconds(20));
  EXPECT_EQ(completion.calls, 1);
  EXPECT_EQ(completion.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(requests().empty());
  in_driver([&] { port()->m_pDeviceObject = device; });
}

// The port's own modem-control byte is the buffer, as the receive pump passes it: deleting the
// port must wait until the worker has sent it.
TEST_F(VendorRequestTest, DeletingThePortWaitsForItsQueuedRequests) {
  ULONG length = 1;
  in_driver([&] {
    port()->MCR = 0x09;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(USBKRL_ControlVendorCommand(port(), USBKRL_SET_MODEM_CONTROL, 0, 0, &port()->MCR, &length, 0,
                                          nullptr, nullptr),
              STATUS_PENDING);
    KeLowerIrql(old);
    KRLUSB_DeleteAll();
  });
  EXPECT_TRUE(logged("+ Waiting for 1 queued vendor requests"));
  EXPECT_EQ(pOurPort, nullptr);
  EXPECT_EQ(requests(), (std::vector<VendorRequest>{{USBKRL_SET_MODEM_CONTROL, false, {0x09}}}));
}

// The adapter never answers a settings request: the caller waits (a vendor request has no time
// limit) until the adapter is pulled, and then gets on with a port that has no adapter.
TEST_F(VendorRequestTest, AnUnansweredRequestEndsWhenTheAdapterIsPulled) {
  ASSERT_NE(open_port("COM5"), nullptr);
  adapter_->device->fail_next_requests(devices::PipeFailure::Never);
  BOOL result = 0;
  bool done = false;
  const sim::ThreadId caller = m().scheduler().spawn("serial stack", [&] {
    k().call_into(m().serial_driver(), [&] {
      _DCB dcb{};
      GetCommState(pd(), &dcb);
      dcb.BaudRate = 9600;
      result = SetCommState(pd(), &dcb, fBaudRate);
    });
    done = true;
  });
  m().advance(sim::seconds(5));
  ASSERT_FALSE(done);
  unplug(std::string(adapter_->name));
  m().advance(sim::milliseconds(200));
  EXPECT_TRUE(m().scheduler().finished(caller));
  EXPECT_EQ(result, 1);
  EXPECT_EQ(port()->m_dcb.BaudRate, 9600U);
  EXPECT_EQ(port()->m_pDeviceObject, nullptr);
  EXPECT_TRUE(k().verifier().violations().empty());
}

TEST_F(VendorRequestTest, NoMemoryMeansNoRequest) {
  UCHAR byte = 0x0B;
  ULONG length = 1;
  Completion completion;
  NTSTATUS now = STATUS_SUCCESS;
  NTSTATUS deferred = STATUS_SUCCESS;
  in_driver([&] {
    k().verifier().fail_nth_allocation(1);
    now = USBKRL_ControlVendorCommand(port(), USBKRL_SET_MODEM_CONTROL, 0, 0, &byte, &length, 0, nullptr, nullptr);
    k().verifier().fail_nth_allocation(1);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    deferred = USBKRL_ControlVendorCommand(port(), USBKRL_SET_MODEM_CONTROL, 0, 0, &byte, &length, 0,
                                           record_completion, &completion);
    KeLowerIrql(old);
  });
  m().advance(sim::milliseconds(20));
  EXPECT_EQ(now, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(logged("KRLUSB.SYS: USBKRL_ControlVendorCommand error..."));
  EXPECT_EQ(deferred, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(completion.calls, 0);
  EXPECT_TRUE(requests().empty());
}

}  // namespace
}  // namespace krlusb_test
