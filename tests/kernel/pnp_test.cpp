#include "tests/kernel/kernel_fixture.h"

namespace {

using Trace = std::vector<std::string>;

TEST_F(KernelTest, PnpRequestsReachTheStackOneAtATime) {
  testdrv::state().slow_pnp = true;
  run([&] {
    lower = k.load_driver("LOWER", &testdrv::lower_entry);
    upper = k.load_driver("UPPER", &testdrv::upper_entry);
    pdo = k.find_device(testdrv::kPdoName);
    EXPECT_EQ(k.pnp().add_and_start(pdo, upper), STATUS_SUCCESS);
  });
  EXPECT_EQ(trace(), (Trace{"upper:pnp begin 0", "upper:pnp end 0", "lower:pnp 0"}));
  fdo = k.find_device(testdrv::kUpperName);
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(k.pnp().top_of_stack(pdo), fdo);
  EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);

  trace().clear();
  NTSTATUS query = 0;
  NTSTATUS unknown = 0;
  s.spawn("first", [&] { query = k.pnp().send(pdo, IRP_MN_QUERY_STOP_DEVICE); });
  s.spawn("second", [&] { unknown = k.pnp().send(pdo, 0x20); });
  s.run_until(s.now() + sim::seconds(1));
  EXPECT_EQ(trace(), (Trace{"upper:pnp begin 5", "upper:pnp end 5", "lower:pnp 5", "upper:pnp begin 32",
                            "upper:pnp end 32", "lower:pnp 32"}));
  EXPECT_EQ(query, STATUS_NOT_SUPPORTED) << "nobody changed the preset status";
  EXPECT_EQ(unknown, STATUS_NOT_SUPPORTED);

  trace().clear();
  run([&] {
    POWER_STATE d3{};
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(k.pnp().send_power(pdo, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
    EXPECT_EQ(k.pnp().remove(pdo, true), STATUS_NOT_SUPPORTED);
  });
  EXPECT_EQ(trace(), (Trace{"upper:power 2", "lower:power 2 D3", "upper:pnp begin 23", "upper:pnp end 23",
                            "lower:pnp 23", "upper:pnp begin 2", "upper:pnp end 2", "lower:pnp 2"}));
  EXPECT_EQ(k.find_device(testdrv::kUpperName), nullptr);
  EXPECT_FALSE(k.symbolic_link_target("\\DosDevices\\UPPER"));
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_EQ(k.pnp().top_of_stack(pdo), pdo);
}

TEST_F(KernelTest, FailedAddDeviceSendsNoStart) {
  run([&] {
    lower = k.load_driver("LOWER", &testdrv::lower_entry);
    upper = k.load_driver("UPPER", &testdrv::upper_entry);
    UNICODE_STRING taken;
    RtlInitUnicodeString(&taken, u"\\Device\\UPPER");
    PDEVICE_OBJECT squatter = nullptr;
    ASSERT_EQ(IoCreateDevice(lower, 0, &taken, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter), STATUS_SUCCESS);
    pdo = k.find_device(testdrv::kPdoName);
    EXPECT_EQ(k.pnp().add_and_start(pdo, upper), STATUS_OBJECT_NAME_COLLISION);
  });
  EXPECT_TRUE(trace().empty());
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

struct PowerAnswer {
  int calls = 0;
  UCHAR minor = 0xFF;
  NTSTATUS status = 0;
};

void power_done(PDEVICE_OBJECT, UCHAR minor, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* answer = static_cast<PowerAnswer*>(context);
  ++answer->calls;
  answer->minor = minor;
  answer->status = status->Status;
}

TEST_F(KernelTest, RequestedPowerIrpGoesToTheTopOfTheStack) {
  plug();
  const auto baseline = k.pool_stats().blocks;
  PowerAnswer answer;
  run([&] {
    POWER_STATE d2{};
    d2.DeviceState = PowerDeviceD2;
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d2, &power_done, &answer, &irp), STATUS_PENDING);
    EXPECT_NE(irp, nullptr);
    EXPECT_EQ(PoSetPowerState(fdo, DevicePowerState, d2).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(fdo, DevicePowerState, d2).DeviceState, PowerDeviceD2);
  });
  EXPECT_EQ(trace(), (Trace{"upper:power 2", "lower:power 2 D2"}));
  EXPECT_EQ(answer.calls, 1);
  EXPECT_EQ(answer.minor, IRP_MN_SET_POWER);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(k.pool_stats().blocks, baseline);
}

}  // namespace
