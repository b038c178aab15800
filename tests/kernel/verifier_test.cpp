#include <cstring>

#include "tests/kernel/kernel_fixture.h"

namespace {

using kernel::Check;
using Mode = kernel::Verifier::Mode;

struct Stack {
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT fdo;
};

PIRP held_request(PDEVICE_OBJECT device) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = testdrv::kHold;
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  return irp;
}

void at_dispatch(const std::function<void()>& call) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  call();
  KeLowerIrql(old);
}

NTSTATUS leaky_entry(PDRIVER_OBJECT, PUNICODE_STRING) {
  ExAllocatePoolWithTag(NonPagedPool, 24, POOL_TAG("Wdm "));
  ExAllocatePoolWithTag(NonPagedPool, 24, POOL_TAG("Wdm "));
  ExAllocatePoolWithTag(PagedPool, 5, POOL_TAG("Strg"));
  return STATUS_SUCCESS;
}

struct ViolationCase {
  const char* name;
  Check check;
  void (*body)(kernel::Kernel&, const Stack&);
};

const ViolationCase kViolations[] = {
    {"PoolLeakAtUnload", Check::PoolLeak,
     [](kernel::Kernel& k, const Stack&) { k.unload_driver(k.load_driver("LEAKY", &leaky_entry)); }},
    {"DelayAtDispatch", Check::IrqlTooHigh,
     [](kernel::Kernel&, const Stack&) {
       at_dispatch([] {
         LARGE_INTEGER t{};
         t.QuadPart = -10;
         KeDelayExecutionThread(KernelMode, FALSE, &t);
       });
     }},
    {"WaitAtDispatch", Check::IrqlTooHigh,
     [](kernel::Kernel&, const Stack&) {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       at_dispatch([&] { EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT); });
     }},
    {"CreateDeviceAtDispatch", Check::IrqlTooHigh,
     [](kernel::Kernel&, const Stack& st) {
       PDEVICE_OBJECT d = nullptr;
       at_dispatch([&] { IoCreateDevice(st.pdo->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d); });
       EXPECT_EQ(d, nullptr);
     }},
    {"BuildRequestAtDispatch", Check::IrqlTooHigh,
     [](kernel::Kernel&, const Stack& st) {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       IO_STATUS_BLOCK iosb;
       at_dispatch([&] {
         EXPECT_EQ(IoBuildDeviceIoControlRequest(testdrv::kEcho, st.fdo, nullptr, 0, nullptr, 0, FALSE, &e, &iosb),
                   nullptr);
       });
     }},
    {"CompletedTwice", Check::IrpCompletedTwice,
     [](kernel::Kernel&, const Stack&) {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoCompleteRequest(irp, IO_NO_INCREMENT);  // nobody holds it
       IoFreeIrp(irp);
     }},
    {"FreedWhileLowerHoldsIt", Check::IrpFreedWhileOwned,
     [](kernel::Kernel&, const Stack& st) {
       PIRP irp = held_request(st.pdo);
       IoFreeIrp(irp);
       IoCancelIrp(irp);
       IoFreeIrp(irp);
     }},
    {"NoStackLocationLeft", Check::IrpNoStackLocation,
     [](kernel::Kernel&, const Stack& st) {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoSetNextIrpStackLocation(irp);  // the caller used the only location itself
       EXPECT_EQ(IoCallDriver(st.pdo, irp), STATUS_INVALID_DEVICE_REQUEST);
       IoFreeIrp(irp);
     }},
    {"TimerInitialisedWhileSet", Check::TimerReinitialised,
     [](kernel::Kernel&, const Stack&) {
       KTIMER t;
       KeInitializeTimer(&t);
       LARGE_INTEGER due{};
       due.QuadPart = -sim::seconds(1);
       KeSetTimer(&t, due, nullptr);
       KeInitializeTimer(&t);
       EXPECT_FALSE(KeCancelTimer(&t)) << "reinitialising disarmed it";
     }},
    {"FreeOfASetTimer", Check::FreedWhileQueued,
     [](kernel::Kernel& k, const Stack&) {
       struct Block {
         KTIMER timer;
         KDPC dpc;
       };
       auto* b = static_cast<Block*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Block), POOL_TAG("Test")));
       KeInitializeTimer(&b->timer);
       KeInitializeDpc(&b->dpc, [](PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "a freed timer fired"; }, nullptr);
       LARGE_INTEGER due{};
       due.QuadPart = -sim::milliseconds(10);
       KeSetTimerEx(&b->timer, due, 100, &b->dpc);
       ExFreePool(b);
       LARGE_INTEGER pause{};
       pause.QuadPart = -sim::milliseconds(500);
       KeDelayExecutionThread(KernelMode, FALSE, &pause);
       EXPECT_EQ(k.verifier().violations().size(), 1u);
     }},
    {"WaitOnUninitialisedEvent", Check::EventUninitialised,
     [](kernel::Kernel&, const Stack&) {
       auto* e = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), POOL_TAG("Test")));
       LARGE_INTEGER poll{};
       KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &poll);
       ExFreePool(e);
     }},
    {"FreeOfUnknownBlock", Check::BadPoolFree,
     [](kernel::Kernel&, const Stack&) {
       void* p = ExAllocatePoolWithTag(NonPagedPool, 16, POOL_TAG("Test"));
       ExFreePool(p);
       ExFreePool(p);
     }},
    {"FreeWhileHardwareUsesIt", Check::FreeWhileInUse,
     [](kernel::Kernel&, const Stack&) {
       auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 64, POOL_TAG("Test")));
       kernel::mark_in_use(p + 16, 8);
       ExFreePool(p);
       kernel::unmark_in_use(p + 16);
     }},
    {"DeleteDeviceWithPendingRequest", Check::DeviceDeletedBusy,
     [](kernel::Kernel&, const Stack& st) {
       PIRP irp = held_request(st.pdo);
       IoDeleteDevice(st.pdo);
       IoCancelIrp(irp);
       IoFreeIrp(irp);
     }},
    {"DeleteUpperDeviceWhileItsRequestIsBelow", Check::DeviceDeletedBusy,
     [](kernel::Kernel&, const Stack& st) {
       PIRP irp = held_request(st.fdo);
       IoDeleteDevice(st.fdo);
       IoCancelIrp(irp);
       IoFreeIrp(irp);
     }},
    {"FailedAssertion", Check::Assertion, [](kernel::Kernel&, const Stack&) { ASSERT(1 + 1 == 3); }},
};

void PrintTo(const ViolationCase& c, std::ostream* os) { *os << c.name; }

class VerifierCheck : public KernelTest, public ::testing::WithParamInterface<ViolationCase> {};

TEST_P(VerifierCheck, TripsOnlyItsCheck) {
  plug();
  k.verifier().set_mode(Mode::Record);
  const ViolationCase& c = GetParam();
  run([&] { c.body(k, Stack{pdo, fdo}); });
  ASSERT_FALSE(k.verifier().violations().empty());
  for (const kernel::Violation& v : k.verifier().violations()) {
    EXPECT_EQ(v.check, c.check) << kernel::check_name(v.check) << ": " << v.text;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernel, VerifierCheck, ::testing::ValuesIn(kViolations),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(KernelTest, LeaksAreChargedToTheDriverWhoseCodeRan) {
  plug();
  k.verifier().set_mode(Mode::Record);
  testdrv::state().in_upper_completion = [] { ExAllocatePoolWithTag(NonPagedPool, 10, POOL_TAG("Cmpl")); };
  static WORK_QUEUE_ITEM item;
  static KDPC dpc;
  run([&] {
    k.call_into(upper, [] {
      KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { ExAllocatePoolWithTag(NonPagedPool, 20, POOL_TAG("Dpc ")); },
                      nullptr);
      ExInitializeWorkItem(&item, [](PVOID) { ExAllocatePoolWithTag(NonPagedPool, 30, POOL_TAG("Work")); }, nullptr);
      ExQueueWorkItem(&item, DelayedWorkQueue);
    });
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(k.device_io_control(testdrv::kUpperName, testdrv::kEcho, {}, 0).status, STATUS_SUCCESS);
    ExAllocatePoolWithTag(NonPagedPool, 40, POOL_TAG("Host"));  // nobody's driver code: not a driver leak
    LARGE_INTEGER pause{};
    pause.QuadPart = -sim::milliseconds(1);
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    k.unload_driver(upper);
    EXPECT_EQ(k.find_driver("UPPER"), nullptr);
    EXPECT_EQ(k.find_driver("lower"), lower);
  });
  std::vector<std::string> texts;
  for (const auto& v : k.verifier().violations()) texts.push_back(v.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"pool leak at unload of UPPER: tag 'Cmpl' 1 blocks 10 bytes",
                                             "pool leak at unload of UPPER: tag 'Dpc ' 1 blocks 20 bytes",
                                             "pool leak at unload of UPPER: tag 'Work' 1 blocks 30 bytes"}));
}

TEST_F(KernelTest, LeakReportCountsBlocksAndBytesPerTag) {
  k.verifier().set_mode(Mode::Record);
  run([&] { k.unload_driver(k.load_driver("LEAKY", &leaky_entry)); });
  ASSERT_EQ(k.verifier().violations().size(), 2u);
  EXPECT_EQ(k.verifier().violations()[0].text, "pool leak at unload of LEAKY: tag 'Strg' 1 blocks 5 bytes");
  EXPECT_EQ(k.verifier().violations()[1].text, "pool leak at unload of LEAKY: tag 'Wdm ' 2 blocks 48 bytes");
  EXPECT_EQ(k.pool_stats(POOL_TAG("Wdm ")).blocks, 2u);
  EXPECT_EQ(k.pool_stats(POOL_TAG("Wdm ")).bytes, 48u);
}

TEST_F(KernelTest, AbortModeEndsTheProcessWithStatusThree) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run([&] {
                int local = 0;
                ExFreePool(&local);
              }),
              ::testing::ExitedWithCode(3), "verifier: bad pool free: ExFreePool of an address that is not an allocated block");
}

TEST_F(KernelTest, AllocationFailuresAreInjectedByCountOrSeededShare) {
  auto pattern = [&](std::uint64_t seed) {
    std::string out;
    k.verifier().fail_share(300'000, seed);
    run([&] {
      for (int i = 0; i < 200; ++i) {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 8, POOL_TAG("Test"));
        out += p == nullptr ? 'x' : '.';
        if (p != nullptr) ExFreePool(p);
      }
    });
    k.verifier().stop_failing();
    return out;
  };
  const std::string a = pattern(9);
  EXPECT_EQ(a, pattern(9));
  EXPECT_NE(a, pattern(10));
  const auto failures = std::count(a.begin(), a.end(), 'x');
  EXPECT_GT(failures, 30);
  EXPECT_LT(failures, 90);

  plug();
  run([&] {
    const auto before = k.pool_stats().allocations;
    k.verifier().fail_nth_allocation(2);
    void* first = ExAllocatePool(NonPagedPool, 4);
    PIRP second = IoAllocateIrp(2, FALSE);
    void* third = ExAllocatePool(NonPagedPool, 4);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(k.pool_stats().allocations - before, 3u);
    ExFreePool(first);
    ExFreePool(third);

    // The system's own requests are not subject to injection; the drivers' are.
    k.verifier().fail_share(1'000'000, 1);
    const std::uint8_t input[] = {7, 8};
    kernel::IoResult r = k.device_io_control(testdrv::kUpperName, testdrv::kEcho, input, 2);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.output, (std::vector<std::uint8_t>{8, 7}));
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(IoBuildDeviceIoControlRequest(testdrv::kEcho, fdo, nullptr, 0, nullptr, 0, FALSE, &e, &iosb), nullptr);
    k.verifier().stop_failing();
  });
}

}  // namespace
