#include "tests/usb/bus_bench.h"

namespace {

using usb_test::bulk;
using usb_test::make_urb;
using usb_test::pipe_request;
using usb_test::Request;

class BusDriverTest : public ::testing::Test, protected usb_test::BusBench {
 protected:
  BusDriverTest() : BusBench(7) {}
};

TEST_F(BusDriverTest, SelectsConfigurationsAndInterfacesOverTheBus) {
  ASSERT_NE(pdo, nullptr);
  EXPECT_EQ(k.device_name(pdo), "\\Device\\USBPDO-0");
  EXPECT_EQ(bus.address(device), 1);
  run([&] {
    const sim::VTime started = s.now();
    auto record = select(0);
    EXPECT_EQ(select_status, STATUS_SUCCESS);
    EXPECT_GE(s.now() - started, sim::milliseconds(2));  // two control transfers on frame boundaries
    EXPECT_NE(configuration, nullptr);
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record.data());
    EXPECT_EQ(info->Length, USBD_INTERFACE_INFORMATION_SIZE(3));
    EXPECT_EQ(info->Class, 0xFF);
    EXPECT_NE(info->InterfaceHandle, nullptr);
    ASSERT_EQ(info->NumberOfPipes, 3u);
    PUSBD_PIPE_INFORMATION pipes = info->Pipes;
    const UCHAR addresses[] = {0x81, 0x02, 0x83};
    const USBD_PIPE_TYPE types[] = {UsbdPipeTypeBulk, UsbdPipeTypeBulk, UsbdPipeTypeInterrupt};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(pipes[i].EndpointAddress, addresses[i]);
      EXPECT_EQ(pipes[i].PipeType, types[i]);
      EXPECT_EQ(pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
      EXPECT_NE(pipes[i].PipeHandle, nullptr);
    }
    EXPECT_EQ(pipes[2].Interval, 10);
    EXPECT_EQ(pipes[2].MaximumPacketSize, 8);
    ASSERT_EQ(device.setups.size(), 2u);
    EXPECT_EQ(device.setups[1].bRequest, 9);  // SET_CONFIGURATION 1
    EXPECT_EQ(device.setups[1].wValue, 1);

    // Another alternate setting: SET_INTERFACE follows, and the old pipes are gone.
    auto alternate = select(1);
    EXPECT_EQ(select_status, STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(alternate.data())->NumberOfPipes, 2u);
    EXPECT_EQ(device.setups.back().bRequest, 11);
    EXPECT_EQ(device.setups.back().wValue, 1);
    std::uint8_t byte = 0;
    URB stale = bulk(pipe_of(record, 1), &byte, 1);
    EXPECT_EQ(call(&stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // No configuration: SET_CONFIGURATION 0 and no pipes.
    URB none = make_urb(URB_FUNCTION_SELECT_CONFIGURATION, sizeof(_URB_SELECT_CONFIGURATION));
    EXPECT_EQ(call(&none), STATUS_SUCCESS);
    EXPECT_EQ(device.setups.back().bRequest, 9);
    EXPECT_EQ(device.setups.back().wValue, 0);
    URB gone = bulk(pipe_of(alternate, 0), &byte, 1);
    EXPECT_EQ(call(&gone), STATUS_INVALID_PARAMETER);

    // A device that refuses the configuration fails the selection with its stall.
    std::vector<std::uint8_t> c = usb_test::configuration_descriptor();
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data());
    USBD_INTERFACE_LIST_ENTRY list[] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr},
                                        {nullptr, nullptr}};
    PURB refused = USBD_CreateConfigurationRequestEx(cd, list);
    device.fail[0] = {usb::Handshake::Stall};
    EXPECT_EQ(call(refused), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused->UrbHeader.Status, USBD_STATUS_STALL_PID);
    ExFreePool(refused);
  });
}

TEST_F(BusDriverTest, BulkTransfersMoveDataThroughPipes) {
  run([&] {
    auto record = select(0);
    const std::uint8_t line[] = {1, 2, 3, 4, 5, 6, 7};
    device.push_in(0x81, line);
    std::vector<std::uint8_t> in(64);
    URB read = bulk(pipe_of(record, 0), in.data(), 64);
    EXPECT_EQ(call(&read), STATUS_SUCCESS);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 7u);
    EXPECT_EQ(in[6], 7);

    // Data described by an MDL, as with direct I/O.
    std::vector<std::uint8_t> out = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    MDL mdl{nullptr, out.data(), static_cast<ULONG>(out.size())};
    URB write = bulk(pipe_of(record, 1), nullptr, 10);
    write.UrbBulkOrInterruptTransfer.TransferBufferMDL = &mdl;
    EXPECT_EQ(call(&write), STATUS_SUCCESS);
    EXPECT_EQ(write.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
    EXPECT_EQ(device.out_data[0x02], out);
  });
}

TEST_F(BusDriverTest, MalformedRequestsFailAtOnce) {
  run([&] {
    auto record = select(0);
    std::uint8_t byte = 0;
    struct Case {
      const char* what;
      URB urb;
      USBD_STATUS usbd;
    };
    Case cases[] = {
        {"unknown function", make_urb(0x7777, sizeof(URB)), USBD_STATUS_INVALID_URB_FUNCTION},
        {"header shorter than the record",
         make_urb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) - 1),
         USBD_STATUS_INVALID_PARAMETER},
        {"unknown pipe handle", bulk(&byte, &byte, 1), USBD_STATUS_INVALID_PIPE_HANDLE},
        {"no buffer", bulk(pipe_of(record, 0), nullptr, 8), USBD_STATUS_INVALID_PARAMETER},
        {"abort of an unknown pipe", pipe_request(URB_FUNCTION_ABORT_PIPE, nullptr), USBD_STATUS_INVALID_PIPE_HANDLE},
        {"select interface without its configuration",
         make_urb(URB_FUNCTION_SELECT_INTERFACE, sizeof(_URB_SELECT_INTERFACE)), USBD_STATUS_INVALID_PARAMETER},
    };
    for (Case& c : cases) {
      SCOPED_TRACE(c.what);
      Request r;
      start(r, &c.urb);
      EXPECT_EQ(r.returned, STATUS_INVALID_PARAMETER);  // not pending
      EXPECT_EQ(wait(r), STATUS_INVALID_PARAMETER);
      EXPECT_EQ(c.urb.UrbHeader.Status, c.usbd);
    }
    EXPECT_EQ(device.packets.size(), 0u);
  });
}

TEST_F(BusDriverTest, VendorAndClassRequestsBuildTheirSetupPackets) {
  run([&] {
    struct Case {
      USHORT function;
      ULONG flags;
      UCHAR request_type;
    };
    const Case cases[] = {
        {URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 0xC0},
        {URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0x40},
        {URB_FUNCTION_VENDOR_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, 0x42},
        {URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0xA1},
        {URB_FUNCTION_CLASS_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0x20},
    };
    device.control_answers[2] = {0x30, 0x31};
    for (const Case& c : cases) {
      std::uint8_t data[4] = {0x0C, 0, 0, 0};
      URB urb = make_urb(c.function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
      auto& v = urb.UrbControlVendorClassRequest;
      v.TransferFlags = c.flags;
      v.TransferBuffer = data;
      v.TransferBufferLength = sizeof data;
      v.Request = 2;
      v.Value = 0x1234;
      v.Index = 0x0001;
      EXPECT_EQ(call(&urb), STATUS_SUCCESS);
      const USB_SETUP_PACKET& setup = device.setups.back();
      EXPECT_EQ(setup.bmRequestType, c.request_type);
      EXPECT_EQ(setup.bRequest, 2);
      EXPECT_EQ(setup.wValue, 0x1234);
      EXPECT_EQ(setup.wIndex, 1);
      EXPECT_EQ(setup.wLength, 4);
      if (c.request_type & 0x80) {
        EXPECT_EQ(v.TransferBufferLength, 2u);
        EXPECT_EQ(data[1], 0x31);
      } else {
        EXPECT_EQ(device.control_out.back(), (std::vector<std::uint8_t>{0x0C, 0, 0, 0}));
      }
    }
  });
}

TEST_F(BusDriverTest, CancelAbortAndResetPipe) {
  run([&] {
    auto record = select(0);
    std::vector<std::uint8_t> a(64), b(64);

    Request cancelled;
    URB read = bulk(pipe_of(record, 0), a.data(), 64);
    start(cancelled, &read);
    EXPECT_EQ(cancelled.returned, STATUS_PENDING);
    s.sleep_for(sim::milliseconds(5));
    EXPECT_TRUE(IoCancelIrp(cancelled.irp));
    EXPECT_EQ(wait(cancelled), STATUS_CANCELLED);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_CANCELED);

    // The aborted transfer completes before the abort request does.
    Request waiting, abort;
    URB read2 = bulk(pipe_of(record, 0), b.data(), 64);
    URB abort_urb = pipe_request(URB_FUNCTION_ABORT_PIPE, pipe_of(record, 0));
    start(waiting, &read2);
    start(abort, &abort_urb);
    EXPECT_EQ(wait(abort), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&waiting.done), 1);
    EXPECT_EQ(waiting.iosb.Status, STATUS_CANCELLED);

    // A stall halts the pipe until it is reset.
    device.fail[0x02] = {usb::Handshake::Stall};
    std::uint8_t byte = 0x55;
    URB w1 = bulk(pipe_of(record, 1), &byte, 1);
    EXPECT_EQ(call(&w1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(w1.UrbHeader.Status, USBD_STATUS_STALL_PID);
    URB w2 = bulk(pipe_of(record, 1), &byte, 1);
    EXPECT_EQ(call(&w2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(w2.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    URB reset = pipe_request(URB_FUNCTION_RESET_PIPE, pipe_of(record, 1));
    EXPECT_EQ(call(&reset), STATUS_SUCCESS);
    EXPECT_EQ(device.resets, std::vector<std::uint8_t>{0x02});
    URB w3 = bulk(pipe_of(record, 1), &byte, 1);
    EXPECT_EQ(call(&w3), STATUS_SUCCESS);
    EXPECT_EQ(device.out_data[0x02], std::vector<std::uint8_t>{0x55});
  });
}

TEST_F(BusDriverTest, UnplugFailsRequestsAndRemovalDeletesThePdo) {
  run([&] {
    auto record = select(0);
    std::vector<std::uint8_t> a(64);
    Request pending;
    URB read = bulk(pipe_of(record, 0), a.data(), 64);
    start(pending, &read);
    s.sleep_for(sim::milliseconds(3));
    bus.unplug(device);
    EXPECT_EQ(wait(pending), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(device.detaches, 1);
    EXPECT_EQ(bus.address(device), 0);

    URB late = bulk(pipe_of(record, 0), a.data(), 64);
    Request r;
    start(r, &late);
    EXPECT_EQ(r.returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(late.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    EXPECT_EQ(k.pnp().remove(pdo, true), STATUS_SUCCESS);
    EXPECT_EQ(k.find_device("\\Device\\USBPDO-0"), nullptr);
    EXPECT_EQ(bus.pdo(device), nullptr);
  });
}

TEST_F(BusDriverTest, RemovalCompletesPendingRequestsBeforeDeletingThePdo) {
  run([&] {
    auto record = select(0);
    std::vector<std::uint8_t> a(64);
    Request pending;
    URB read = bulk(pipe_of(record, 0), a.data(), 64);
    start(pending, &read);
    EXPECT_EQ(k.pnp().remove(pdo, false), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&pending.done), 1);
    EXPECT_EQ(pending.iosb.Status, STATUS_CANCELLED);
    EXPECT_FALSE(k.verifier().tripped(kernel::Check::DeviceDeletedBusy));
    EXPECT_EQ(bus.pdo(device), nullptr);
    EXPECT_EQ(bus.address(device), 1);  // still on its port
  });
}

TEST_F(BusDriverTest, FreeingAPendingRequestTripsTheVerifier) {
  k.verifier().set_mode(kernel::Verifier::Mode::Record);
  run([&] {
    auto record = select(0);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), POOL_TAG("Test")));
    std::vector<std::uint8_t> a(64);
    *urb = bulk(pipe_of(record, 0), a.data(), 64);
    Request pending;
    start(pending, urb);
    ExFreePool(urb);
    EXPECT_TRUE(k.verifier().tripped(kernel::Check::FreeWhileInUse));
    IoCancelIrp(pending.irp);
    EXPECT_EQ(wait(pending), STATUS_CANCELLED);
  });
}

TEST_F(BusDriverTest, PnpAndPowerRequests) {
  run([&] {
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL}) {
      EXPECT_EQ(k.pnp().send(pdo, minor), STATUS_SUCCESS) << static_cast<int>(minor);
    }
    EXPECT_EQ(k.pnp().send(pdo, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(k.pnp().send_power(pdo, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
  });
}

}  // namespace
