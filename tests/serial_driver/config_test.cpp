// The adapter's USB configuration at start: descriptors read, first interface selected, and
// configurations that cannot be trusted refused.
#include "devices/serial_adapter/descriptors.h"
#include "tests/serial_driver/driver_fixture.h"

namespace krlusb_test {
namespace {

machine::SerialAdapterOptions with_hardware(devices::AdapterOptions hardware) {
  machine::SerialAdapterOptions options;
  options.port_number = "5";
  options.adapter = hardware;
  return options;
}

TEST_F(DriverTest, ConfigurationIsReadInTwoStepsAndTheFirstInterfaceSelected) {
  auto& adapter = plug_numbered("5");
  // 25 bytes first; the descriptor says 39, so 55 bytes of room the second time.
  EXPECT_TRUE(logged("bytes txferred: 25"));
  EXPECT_TRUE(logged("Configuration Descriptor Actual Length: 39"));
  EXPECT_TRUE(logged("bytes txferred: 39"));
  EXPECT_EQ(adapter.device->configuration(), devices::kConfigurationValue);

  krlusb::PDEVICE_EXTENSION e = ext(adapter);
  ASSERT_NE(e->Interface, nullptr);
  EXPECT_EQ(e->Interface->Length, USBD_INTERFACE_INFORMATION_SIZE(3));
  ASSERT_EQ(e->Interface->NumberOfPipes, 3U);
  const UCHAR endpoints[] = {devices::kBulkInEndpoint, devices::kBulkOutEndpoint, devices::kInterruptInEndpoint};
  for (ULONG i = 0; i < 3; i++) {
    EXPECT_EQ(e->Interface->Pipes[i].EndpointAddress, endpoints[i]);
    EXPECT_EQ(e->Interface->Pipes[i].MaximumTransferSize, 4096U);
    EXPECT_NE(e->Interface->Pipes[i].PipeHandle, nullptr);
  }
  ASSERT_NE(e->DeviceDescriptor, nullptr);
  EXPECT_EQ(e->DeviceDescriptor->idVendor, 0x0C9E);
  EXPECT_EQ(e->Stopped, 0);
  EXPECT_EQ(e->UsbConfigurationDescriptor, nullptr);
}

TEST_F(DriverTest, OnlyTheFirstOfTwoInterfacesIsSelected) {
  auto& adapter = plug(with_hardware({.second_interface = true}));
  ASSERT_NE(ext(adapter)->Interface, nullptr);
  EXPECT_EQ(ext(adapter)->Interface->InterfaceNumber, 0);
  EXPECT_EQ(ext(adapter)->Interface->NumberOfPipes, 3U);
}

TEST_F(DriverTest, UntrustworthyConfigurationsAreNotSelected) {
  struct Case {
    const char* what;
    devices::AdapterOptions hardware;
    const char* line;
  };
  const Case cases[] = {
      {"total length lie", {.total_length_overstatement = 20}, "Configuration Descriptor malformed"},
      {"two endpoints", {.endpoint_count = 2}, "Interface lacks the bulk IN, bulk OUT and interrupt IN pipes"},
      {"two endpoints and a second interface",
       {.second_interface = true, .endpoint_count = 2},
       "Interface lacks the bulk IN, bulk OUT and interrupt IN pipes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t mark = log_mark();
    auto& adapter = plug(with_hardware(c.hardware));
    EXPECT_TRUE(logged_since(mark, c.line));
    EXPECT_EQ(ext(adapter)->Interface, nullptr);
    // The start request itself succeeds; the adapter is listed but has no pipes.
    EXPECT_EQ(adapter.start_status, STATUS_SUCCESS);
    EXPECT_EQ(ioctl(k().device_name(fdo(adapter)), krlusb::IOCTL_NC_BULK_OR_INTERRUPT_READ, le32(0), 8).status,
              STATUS_INVALID_PARAMETER);
    unplug(adapter.name);
  }
}

TEST_F(DriverTest, AFailedDescriptorReadSkipsTheConfiguration) {
  auto& adapter = plug_numbered("5");
  EXPECT_EQ(pnp(adapter.name, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  adapter.device->stall_requests(devices::RequestKind::Descriptor, true);
  const std::size_t mark = log_mark();
  EXPECT_EQ(pnp(adapter.name, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(ext(adapter)->DeviceDescriptor, nullptr);
  EXPECT_TRUE(logged_since(mark, "KRLUSB.SYS: exit NC_StartDevice (c0000001)"));
  EXPECT_FALSE(logged_since(mark, "Configuration Descriptor"));
  EXPECT_EQ(adapter.device->configuration(), 0);
}

TEST_F(DriverTest, ARestartReplacesTheDescriptorsWithoutLeaking) {
  auto& adapter = plug_numbered("5");
  EXPECT_EQ(pnp(adapter.name, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  const std::size_t blocks = k().pool_stats(krlusb::KRLUSB_POOL_TAG).blocks;
  EXPECT_EQ(pnp(adapter.name, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(adapter.device->configuration(), devices::kConfigurationValue);
  ASSERT_NE(ext(adapter)->Interface, nullptr);
  // The restart found no number (the node is no longer new), so no list node or blocks were added.
  EXPECT_EQ(k().pool_stats(krlusb::KRLUSB_POOL_TAG).blocks, blocks);
}

}  // namespace
}  // namespace krlusb_test
