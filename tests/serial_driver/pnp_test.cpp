// Device objects, start, stop, removal, and the PnP and power requests that only pass through.
#include "devices/serial_adapter/descriptors.h"
#include "tests/serial_driver/driver_fixture.h"

namespace krlusb_test {
namespace {

using krlusb::gcDeviceCount;
using krlusb::gpDeviceObject;

TEST_F(DriverTest, DeviceObjectsAreNumberedByAddDeviceCallsAndNeverReused) {
  auto& first = plug();
  EXPECT_EQ(device("\\Device\\COMPORT001"), fdo(first));
  EXPECT_TRUE(logged("KRLUSB.SYS: Calling IoCreateDevice() for \\Device\\COMPORT001"));
  EXPECT_FALSE(k().symbolic_link_target("\\DosDevices\\COMPORT001").has_value());
  unplug(first.name);
  EXPECT_EQ(device("\\Device\\COMPORT001"), nullptr);
  auto& again = plug();
  EXPECT_EQ(device("\\Device\\COMPORT002"), fdo(again));
}

TEST_F(DriverTest, StartTakesTheRegistryNumberAsDecimalText) {
  struct Case {
    const char* registry;
    const char* text;
  };
  for (const Case& c : {Case{"5", "5"}, Case{"12", "12"}, Case{"128", "128"}}) {
    SCOPED_TRACE(c.registry);
    auto& adapter = plug_numbered(c.registry);
    EXPECT_STREQ(ext(adapter)->pPortNumber, c.text);
    EXPECT_EQ(device_list().back(), std::string("COM") + c.text);
    unplug(adapter.name);
  }
  EXPECT_EQ(gcDeviceCount, 0);
}

TEST_F(DriverTest, StartWithoutRegistryNumberWaitsInTheQueue) {
  auto& adapter = plug();
  EXPECT_STREQ(ext(adapter)->pPortNumber, "");
  EXPECT_EQ(gcDeviceCount, 1);
  EXPECT_EQ(gpDeviceObject[0], fdo(adapter));
  EXPECT_TRUE(device_list().empty());
  // The adapter is configured all the same.
  ASSERT_NE(ext(adapter)->Interface, nullptr);
  EXPECT_EQ(adapter.start_status, STATUS_SUCCESS);
}

TEST_F(DriverTest, StartLogsTheStepsInOrder) {
  plug_numbered("5");
  const kernel::DebugLog& log = k().log();
  std::size_t at = 0;
  for (const char* line : {"KRLUSB.SYS: IRP_MJ_PNP", "KRLUSB.SYS: IRP_MN_START_DEVICE", "KRLUSB.SYS: Enter AddUsbComPort()",
                           "KRLUSB.SYS: Passing START_DEVICE Irp down",
                           "KRLUSB.SYS: Back from passing START_DEVICE Irp down; status: 0",
                           "KRLUSB.SYS: enter NC_StartDevice", "KRLUSB.SYS: idVendor 0xc9e",
                           "KRLUSB.SYS: exit NC_StartDevice (0)", "KRLUSB.SYS: Exit NC_Dispatch 0"}) {
    at = log.find(line, at);
    ASSERT_NE(at, kernel::DebugLog::npos) << line;
  }
}

TEST_F(DriverTest, StopThenRemoveWithdrawsTheAdapterOnce) {
  auto& adapter = plug_numbered("5");
  krlusb::PDEVICE_EXTENSION e = ext(adapter);
  EXPECT_EQ(pnp(adapter.name, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(device_list().empty());
  EXPECT_EQ(e->InIrpInfo.pUrb, nullptr);
  // Stop deconfigures but keeps what was read.
  EXPECT_NE(e->DeviceDescriptor, nullptr);
  EXPECT_NE(e->Interface, nullptr);
  EXPECT_EQ(adapter.device->configuration(), 0);
  EXPECT_TRUE(logged("KRLUSB.SYS: Device Configuration Closed status = 0 usb status = 0."));

  unplug(adapter.name);
  EXPECT_EQ(count_logged("Enter DeleteUsbComPort()"), 1U);
  EXPECT_FALSE(logged("Delete USB ComPort error"));
}

TEST_F(DriverTest, AStopSucceedsEvenWhenTheDeconfigurationFails) {
  auto& adapter = plug_numbered("5");
  NTSTATUS status = STATUS_PENDING;
  on_thread([&] {
    k().call_into(m().serial_driver(), [&] {
      // The request block is the first allocation; the internal request carrying it fails.
      k().verifier().fail_nth_allocation(2);
      status = krlusb::NC_StopDevice(fdo(adapter));
    });
  });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_TRUE(logged("KRLUSB.SYS: Device Configuration Closed status = c000009a usb status = 0."));
  EXPECT_EQ(adapter.device->configuration(), devices::kConfigurationValue);
}

TEST_F(DriverTest, RemovalOfAnAdapterThatNeverJoinedTheListIsLogged) {
  std::size_t mark = log_mark();
  unplug(plug().name);
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: + ERROR! pUsbCom list empty"));
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Delete USB ComPort error ..."));

  plug_numbered("5");
  mark = log_mark();
  unplug(plug().name);
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: + ERROR! Could not find matching pDeviceObject"));
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Delete USB ComPort error ..."));
  EXPECT_EQ(device_list(), std::vector<std::string>{"COM5"});
}

TEST_F(DriverTest, RemovingOneAdapterClearsPlugInForAll) {
  auto& first = plug_numbered("5");
  plug_numbered("6");
  EXPECT_EQ(krlusb::PlugIn, 1);
  unplug(first.name);
  EXPECT_EQ(krlusb::PlugIn, 0);
  plug_numbered("7");
  EXPECT_EQ(krlusb::PlugIn, 1);
}

TEST_F(DriverTest, RequestsThatOnlyPassDownSucceedWithTheirLogLine) {
  struct Case {
    UCHAR minor;
    const char* line;
  };
  auto& adapter = plug_numbered("5");
  for (const Case& c : {Case{IRP_MN_QUERY_STOP_DEVICE, "IRP_MN_QUERY_STOP_DEVICE"},
                        Case{IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE"},
                        Case{IRP_MN_QUERY_REMOVE_DEVICE, "IRP_MN_QUERY_REMOVE_DEVICE"},
                        Case{IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE"},
                        Case{IRP_MN_QUERY_CAPABILITIES, "PnP IOCTL not handled"}}) {
    SCOPED_TRACE(c.line);
    const std::size_t mark = log_mark();
    EXPECT_EQ(pnp(adapter.name, c.minor), STATUS_SUCCESS);
    EXPECT_TRUE(logged_since(mark, std::string("KRLUSB.SYS: ") + c.line));
    EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Passing PnP Irp down, status = 0"));
    EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: PnP Irp came back, status = 0"));
  }
  EXPECT_EQ(device_list(), std::vector<std::string>{"COM5"});
}

TEST_F(DriverTest, PowerRequestsPassDownWithTheirLogLines) {
  struct Case {
    UCHAR minor;
    POWER_STATE_TYPE type;
    int state;
    const char* line;  // null: nothing but the pass-down lines
  };
  auto& adapter = plug_numbered("5");
  const Case cases[] = {
      {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, "IRP_MN_SET_D0"},
      {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, "IRP_MN_SET_D3"},
      {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2, "IRP_MN_QUERY_D2"},
      {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD0, nullptr},
      {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, nullptr},
      {IRP_MN_POWER_SEQUENCE, DevicePowerState, PowerDeviceD0, "Power IOCTL not handled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int{c.minor} << "/" << c.type << "/" << c.state);
    const std::size_t mark = log_mark();
    NTSTATUS status = STATUS_PENDING;
    on_thread([&] {
      POWER_STATE state{};
      if (c.type == DevicePowerState) {
        state.DeviceState = static_cast<DEVICE_POWER_STATE>(c.state);
      } else {
        state.SystemState = static_cast<SYSTEM_POWER_STATE>(c.state);
      }
      status = k().pnp().send_power(adapter.pdo, c.minor, c.type, state);
    });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: IRP_MJ_POWER"));
    const std::size_t lines = k().log().size() - mark;
    // IRP_MJ_POWER, its own line if any, passing down, came back, exit.
    EXPECT_EQ(lines, c.line != nullptr ? 5U : 4U);
    if (c.line != nullptr) {
      EXPECT_TRUE(logged_since(mark, std::string("KRLUSB.SYS: ") + c.line));
    }
    EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Passing Power Irp down, status = 0"));
    EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: Power Irp came back, status = 0"));
  }
}

}  // namespace
}  // namespace krlusb_test
