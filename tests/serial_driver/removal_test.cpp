// Removal while requests still use the device, and unloading the driver afterwards.
#include "tests/serial_driver/driver_fixture.h"

namespace krlusb_test {
namespace {

using namespace krlusb;

// A raw read that the adapter never answers is outstanding in another thread when the adapter
// goes: by a removal request alone, or by unplugging (the bus fails what is pending first).
TEST_F(DriverTest, RemovalWaitsForARawTransferInAnotherThread) {
  struct Case {
    bool unplugged;
    NTSTATUS read_status;
  };
  for (const Case& c : {Case{false, STATUS_CANCELLED}, Case{true, STATUS_DEVICE_NOT_CONNECTED}}) {
    SCOPED_TRACE(c.unplugged ? "unplug" : "remove");
    auto& adapter = plug_numbered("5");
    const std::string name = k().device_name(fdo(adapter));
    adapter.device->fail_next(devices::Pipe::BulkIn, devices::PipeFailure::Never);
    kernel::IoResult read;
    bool read_done = false;
    const sim::ThreadId reader = m().scheduler().spawn("reader", [&] {
      read = k().device_io_control(name, IOCTL_NC_BULK_OR_INTERRUPT_READ, le32(NC_PIPE_RECEIVE), 68);
      read_done = true;
    });
    m().advance(sim::milliseconds(20));
    ASSERT_FALSE(read_done);
    const std::string adapter_name = adapter.name;
    const std::size_t mark = log_mark();
    if (c.unplugged) {
      unplug(adapter_name);
    } else {
      EXPECT_EQ(pnp(adapter_name, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    }
    m().advance(sim::milliseconds(20));
    EXPECT_TRUE(m().scheduler().finished(reader));
    EXPECT_EQ(read.status, c.read_status);
    // The read was over before the removal went down the stack and the device object went away.
    const kernel::DebugLog& log = k().log();
    const std::size_t removal = log.find("IRP_MN_REMOVE_DEVICE", mark);
    ASSERT_NE(removal, kernel::DebugLog::npos);
    EXPECT_LT(log.find("exit READ", mark), log.find("Passing PnP Irp down", removal));
    EXPECT_EQ(k().find_device(name), nullptr);
    EXPECT_TRUE(device_list().empty());
    EXPECT_TRUE(k().verifier().violations().empty());
    if (!c.unplugged) unplug(adapter_name);
  }
}

TEST_F(DriverTest, UnloadLeavesNoPoolBehind) {
  auto& adapter = plug_numbered("5");
  unplug(adapter.name);
  ASSERT_NE(pUsbCom, nullptr);
  on_thread([&] { k().unload_driver(m().serial_driver()); });
  EXPECT_EQ(pUsbCom, nullptr);
  EXPECT_EQ(k().pool_stats(KRLUSB_POOL_TAG).blocks, 0U);
  EXPECT_TRUE(logged("KRLUSB.SYS: Exit NC_Unload"));
}

TEST_F(DriverTest, AnInternalRequestThatCannotBeBuiltFailsTheCall) {
  auto& adapter = plug_numbered("5");
  NTSTATUS status = STATUS_SUCCESS;
  on_thread([&] {
    k().call_into(m().serial_driver(), [&] {
      URB urb{};
      NC_BuildGetDescriptorRequest(&urb, USB_DEVICE_DESCRIPTOR_TYPE, nullptr, 0);
      k().verifier().fail_nth_allocation(1);
      status = NC_CallUSBD(fdo(adapter), &urb);
    });
  });
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(logged("KRLUSB.SYS: NC_CallUSBD: no memory for the request"));
  EXPECT_EQ(ext(adapter)->IoCount, 0);
}

}  // namespace
}  // namespace krlusb_test
