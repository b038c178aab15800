// A machine with the USB bus driver and one FakeDevice plugged in, with helpers that send URBs
// to its PDO from a simulated thread and select its configuration.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/usb/bus_driver.h"
#include "tests/usb/descriptors.h"
#include "tests/usb/fake_device.h"

namespace usb_test {

inline URB make_urb(USHORT function, std::size_t length) {
  URB urb;
  std::memset(&urb, 0, sizeof urb);
  urb.UrbHeader.Function = function;
  urb.UrbHeader.Length = static_cast<USHORT>(length);
  return urb;
}

inline URB bulk(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length) {
  URB urb = make_urb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
  urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_SHORT_TRANSFER_OK;
  urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
  urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
  return urb;
}

inline URB pipe_request(USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb = make_urb(function, sizeof(_URB_PIPE_REQUEST));
  urb.UrbPipeRequest.PipeHandle = pipe;
  return urb;
}

// A request on its way: started from a simulated thread, waited for later.
struct Request {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_SUCCESS;
};

class BusBench {
 public:
  explicit BusBench(std::uint64_t seed) : s(seed) {
    device.descriptors[0x0100] = usb_test::device_descriptor();
    device.descriptors[0x0200] = usb_test::configuration_descriptor();
    pdo = bus.plug(device);
  }

  void run(const std::function<void()>& body) {
    ASSERT_TRUE(s.run_thread("test", body, s.now() + sim::seconds(60))) << "test thread still blocked";
  }

  void start(Request& r, PURB urb) {
    KeInitializeEvent(&r.done, NotificationEvent, FALSE);
    r.irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &r.done,
                                          &r.iosb);
    ASSERT_NE(r.irp, nullptr);
    IoGetNextIrpStackLocation(r.irp)->Parameters.Others.Argument1 = urb;
    r.returned = IoCallDriver(pdo, r.irp);
  }

  NTSTATUS wait(Request& r) {
    KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
    return r.iosb.Status;
  }

  NTSTATUS call(PURB urb) {
    Request r;
    start(r, urb);
    return wait(r);
  }

  // Reads the configuration over the bus and selects `alternate` of interface 0; returns the
  // interface record as the bus driver filled it.
  std::vector<std::uint8_t> select(UCHAR alternate) {
    std::vector<std::uint8_t> config(256);
    URB get = make_urb(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    get.UrbControlDescriptorRequest.TransferBuffer = config.data();
    get.UrbControlDescriptorRequest.TransferBufferLength = 256;
    get.UrbControlDescriptorRequest.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    EXPECT_EQ(call(&get), STATUS_SUCCESS);
    EXPECT_EQ(get.UrbControlDescriptorRequest.TransferBufferLength, 78u);
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[] = {{USBD_ParseConfigurationDescriptorEx(c, c, 0, alternate, -1, -1, -1), nullptr},
                                        {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    EXPECT_NE(urb, nullptr);
    select_status = call(urb);
    configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    std::vector<std::uint8_t> record(reinterpret_cast<std::uint8_t*>(list[0].Interface),
                                     reinterpret_cast<std::uint8_t*>(list[0].Interface) + list[0].Interface->Length);
    ExFreePool(urb);
    return record;
  }

  static USBD_PIPE_HANDLE pipe_of(std::vector<std::uint8_t>& record, int index) {
    return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record.data())->Pipes[index].PipeHandle;
  }

  sim::Scheduler s;
  kernel::Kernel k{s};
  usb::HostController hc{s};
  usb::BusDriver bus{k, hc};
  FakeDevice device;
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS select_status = STATUS_PENDING;
  USBD_CONFIGURATION_HANDLE configuration = nullptr;
};

}  // namespace usb_test
