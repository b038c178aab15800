#include <array>

#include "tests/kernel/kernel_fixture.h"

namespace {

using testdrv::state;

TEST_F(KernelTest, ThreadedRequestsPassDownAndCompleteUpTheStack) {
  plug();
  EXPECT_EQ(fdo->StackSize, 2);
  EXPECT_EQ(pdo->AttachedDevice, fdo);
  const auto baseline = k.pool_stats();
  struct Case {
    ULONG code;
    NTSTATUS answer;
    NTSTATUS status;
    ULONG_PTR information;
    const char* completion;
  };
  const Case cases[] = {
      {testdrv::kEcho, STATUS_PENDING, STATUS_SUCCESS, 3, "upper:done pending=1 status=00000000"},
      {testdrv::kFail, STATUS_IO_DEVICE_ERROR, STATUS_IO_DEVICE_ERROR, 0, "upper:done pending=0 status=c0000185"},
  };
  for (const Case& c : cases) {
    trace().clear();
    std::array<UCHAR, 3> in{1, 2, 3};
    std::array<UCHAR, 8> out{};
    sim::VTime started = s.now();
    run([&] {
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      PIRP irp = IoBuildDeviceIoControlRequest(c.code, fdo, in.data(), 3, out.data(), 8, FALSE, &done, &iosb);
      ASSERT_NE(irp, nullptr);
      EXPECT_EQ(IoCallDriver(fdo, irp), c.answer);
      EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
      EXPECT_EQ(iosb.Status, c.status);
      EXPECT_EQ(iosb.Information, c.information);
    });
    if (c.code == testdrv::kEcho) {
      EXPECT_EQ(s.now() - started, sim::milliseconds(1));
      EXPECT_EQ(out, (std::array<UCHAR, 8>{3, 2, 1, 0, 0, 0, 0, 0}));
      EXPECT_EQ(trace(), (std::vector<std::string>{"upper:dispatch", "lower:dispatch", "lower:complete", c.completion}));
    } else {
      EXPECT_EQ(out, (std::array<UCHAR, 8>{}));
      EXPECT_EQ(trace(), (std::vector<std::string>{"upper:dispatch", "lower:dispatch", c.completion}));
    }
    EXPECT_EQ(in, (std::array<UCHAR, 3>{1, 2, 3}));
    EXPECT_EQ(k.pool_stats().blocks, baseline.blocks) << "the I/O manager frees threaded requests";
  }
}

struct TopCompletion {
  int calls = 0;
  bool pending_returned = false;
  PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
  bool cancel = false;
};

NTSTATUS top_done(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* top = static_cast<TopCompletion*>(context);
  ++top->calls;
  top->pending_returned = irp->PendingReturned != 0;
  top->device = device;
  top->cancel = irp->Cancel != 0;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP allocate_request(PDEVICE_OBJECT target, ULONG code, TopCompletion* top, bool on_success, bool on_error,
                      bool on_cancel) {
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  IoSetCompletionRoutine(irp, &top_done, top, on_success, on_error, on_cancel);
  return irp;
}

TEST_F(KernelTest, MoreProcessingRequiredHandsTheRequestBack) {
  plug();
  k.verifier().set_mode(kernel::Verifier::Mode::Record);
  state().upper_stops = true;
  run([&] {
    TopCompletion top;
    PIRP irp = allocate_request(fdo, testdrv::kEcho, &top, true, true, true);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_PENDING);
    LARGE_INTEGER pause{};
    pause.QuadPart = -sim::milliseconds(5);
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    ASSERT_EQ(state().stopped, irp);
    EXPECT_EQ(top.calls, 0) << "UPPER stopped the completion";
    EXPECT_EQ(irp->CurrentLocation, 2);

    IoCompleteRequest(irp, IO_NO_INCREMENT);  // UPPER finishes it
    EXPECT_EQ(top.calls, 1);
    EXPECT_TRUE(top.pending_returned);
    EXPECT_EQ(top.device, nullptr);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);

    EXPECT_TRUE(k.verifier().violations().empty());
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(k.verifier().tripped(kernel::Check::IrpCompletedTwice));
    EXPECT_EQ(top.calls, 1);
    IoFreeIrp(irp);
  });
  EXPECT_EQ(k.verifier().violations().size(), 1u);
}

TEST_F(KernelTest, CompletionRoutinesRunByOutcomeAndCancelFlag) {
  plug();
  struct Case {
    ULONG code;
    bool cancel;
    bool on_success, on_error, on_cancel;
    bool called;
  };
  const Case cases[] = {
      {testdrv::kEcho, false, true, false, false, true},  {testdrv::kEcho, false, false, true, true, false},
      {testdrv::kFail, false, false, true, false, true},  {testdrv::kFail, false, true, false, true, false},
      {testdrv::kHold, true, false, false, true, true},   {testdrv::kHold, true, true, false, false, false},
  };
  for (const Case& c : cases) {
    run([&] {
      TopCompletion top;
      PIRP irp = allocate_request(pdo, c.code, &top, c.on_success, c.on_error, c.on_cancel);
      IoCallDriver(pdo, irp);
      if (c.cancel) {
        EXPECT_TRUE(IoCancelIrp(irp));
        EXPECT_TRUE(state().held.empty());
        EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
      }
      LARGE_INTEGER pause{};
      pause.QuadPart = -sim::milliseconds(5);
      KeDelayExecutionThread(KernelMode, FALSE, &pause);
      EXPECT_EQ(top.calls, c.called ? 1 : 0) << "code " << c.code << " cancel " << c.cancel;
      if (c.called) {
        EXPECT_EQ(top.cancel, c.cancel);
      }
      IoFreeIrp(irp);
    });
  }
  run([&] {
    PIRP idle = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(idle)) << "no cancel routine";
    EXPECT_TRUE(idle->Cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(idle);
  });
}

TEST_F(KernelTest, UserRequestsOpenTheStackByNameOrLink) {
  plug();
  EXPECT_EQ(k.symbolic_link_target("\\DosDevices\\upper"), std::optional<std::string>("\\Device\\Upper"));
  EXPECT_EQ(k.device_names(), (std::vector<std::string>{"\\Device\\LowerPdo", "\\Device\\Upper"}));
  EXPECT_EQ(k.device_name(fdo), "\\Device\\Upper");
  run([&] {
    const std::uint8_t input[] = {1, 2, 3, 4};
    kernel::IoResult r = k.device_io_control("\\DosDevices\\UPPER", testdrv::kEcho, input, 6);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(r.output, (std::vector<std::uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(k.device_io_control("\\Device\\Upper", testdrv::kFail, {}, 0).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(k.device_io_control("\\Device\\Nothing", testdrv::kEcho, {}, 0).status, STATUS_OBJECT_NAME_NOT_FOUND);

    // A major function the driver left alone gets the system's default answer.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(testdrv::kEcho, fdo, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
  });
  EXPECT_EQ(fdo->ReferenceCount, 0);
}

}  // namespace
