#include <gtest/gtest.h>

#include <sstream>

#include "platform/usb/host_controller.h"
#include "platform/usb/pcap_writer.h"
#include "platform/usb/transfer_summary.h"
#include "tests/usb/descriptors.h"
#include "tests/usb/fake_device.h"

namespace {

using usb_test::FakeDevice;

std::uint32_t u32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(s[at + i]);
  return v;
}
std::uint16_t u16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) | static_cast<std::uint8_t>(s[at + 1]) << 8);
}

// One bus with a device: a descriptor read on the control pipe, then a bulk IN transfer.
class TraceTest : public ::testing::Test {
 protected:
  TraceTest() {
    device.descriptors[0x0100] = usb_test::device_descriptor();
    address = hc.connect(device);
    hc.open_endpoint(address, usb_test::endpoint_descriptor(0x81, USB_ENDPOINT_TYPE_BULK, 64));
  }

  void traffic() {
    usb::TransferRequest get;
    get.address = address;
    get.setup = {0x80, 6, 0x0100, 0, 18};
    get.buffer = descriptor;
    get.urb_function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    hc.submit(std::move(get));
    s.run_until(sim::milliseconds(5));
    std::vector<std::uint8_t> line(20);
    for (std::size_t i = 0; i < line.size(); ++i) line[i] = static_cast<std::uint8_t>(i);
    device.in_data[0x81].assign(line.begin(), line.end());
    usb::TransferRequest read;
    read.address = address;
    read.endpoint = 0x81;
    read.buffer = bulk;
    hc.submit(std::move(read));
    s.run_until(sim::milliseconds(10));
  }

  sim::Scheduler s{1};
  usb::HostController hc{s};
  FakeDevice device;
  std::uint8_t address = 0;
  std::vector<std::uint8_t> descriptor = std::vector<std::uint8_t>(18);
  std::vector<std::uint8_t> bulk = std::vector<std::uint8_t>(64);
};

TEST_F(TraceTest, SummaryLinesShowCompletedTransfers) {
  std::vector<std::string> lines;
  usb::SummaryPrinter printer([&](const std::string& line) { lines.push_back(line); });
  hc.add_observer(printer);
  traffic();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "1ms dev 1 ep 0x80 control in setup=8006000100001200 18/18 ok hex:12011001000000409E0C000200010102..");
  EXPECT_EQ(lines[1], "6ms dev 1 ep 0x81 bulk in 20/64 ok hex:000102030405060708090A0B0C0D0E0F..");
  usb::TransferEvent failed;
  failed.time = sim::milliseconds(7);
  failed.completion = true;
  failed.address = 2;
  failed.endpoint = 0x02;
  failed.requested = 10;
  failed.status = USBD_STATUS_STALL_PID;
  EXPECT_EQ(usb::summarize(failed), "7ms dev 2 ep 0x02 bulk out 0/10 stall");
}

TEST_F(TraceTest, PcapRecordsSubmissionsAndCompletionsInUsbPcapFormat) {
  std::ostringstream out;
  usb::PcapWriter writer(out);
  hc.add_observer(writer);
  traffic();
  const std::string f = out.str();
  ASSERT_GE(f.size(), 24u);
  EXPECT_EQ(u32(f, 0), 0xA1B2C3D4u);
  EXPECT_EQ(u16(f, 4), 2);
  EXPECT_EQ(u16(f, 6), 4);
  EXPECT_EQ(u32(f, 20), usb::kLinkTypeUsbPcap);
  EXPECT_EQ(writer.records(), 4u);  // setup, data (IN) completion, bulk submission, bulk completion

  struct Record {
    std::uint32_t usec;
    std::uint16_t header_length;
    std::uint64_t irp;
    std::uint32_t status;
    std::uint16_t function;
    std::uint8_t info;
    std::uint16_t bus, device;
    std::uint8_t endpoint, transfer;
    std::uint32_t data_length;
    int stage;  // -1: none
  };
  const Record expected[] = {
      {0, 28, 1, 0, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0, 1, 1, 0x80, 2, 8, 0},
      {1000, 28, 1, 0, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 1, 1, 1, 0x80, 2, 18, 1},
      {5000, 27, 2, 0, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0, 1, 1, 0x81, 3, 0, -1},
      {6000, 27, 2, 0, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 1, 1, 1, 0x81, 3, 20, -1},
  };
  std::size_t at = 24;
  for (const Record& r : expected) {
    SCOPED_TRACE(at);
    ASSERT_LE(at + 16, f.size());
    EXPECT_EQ(u32(f, at), 0u);
    EXPECT_EQ(u32(f, at + 4), r.usec);
    const std::uint32_t length = u32(f, at + 8);
    EXPECT_EQ(length, r.header_length + r.data_length);
    EXPECT_EQ(u32(f, at + 12), length);
    const std::size_t p = at + 16;
    ASSERT_LE(p + length, f.size());
    EXPECT_EQ(u16(f, p), r.header_length);
    EXPECT_EQ(u32(f, p + 2) | std::uint64_t{u32(f, p + 6)} << 32, r.irp);
    EXPECT_EQ(u32(f, p + 10), r.status);
    EXPECT_EQ(u16(f, p + 14), r.function);
    EXPECT_EQ(static_cast<std::uint8_t>(f[p + 16]), r.info);
    EXPECT_EQ(u16(f, p + 17), r.bus);
    EXPECT_EQ(u16(f, p + 19), r.device);
    EXPECT_EQ(static_cast<std::uint8_t>(f[p + 21]), r.endpoint);
    EXPECT_EQ(static_cast<std::uint8_t>(f[p + 22]), r.transfer);
    EXPECT_EQ(u32(f, p + 23), r.data_length);
    if (r.stage >= 0) {
      EXPECT_EQ(f[p + 27], r.stage);
    }
    at = p + length;
  }
  EXPECT_EQ(at, f.size());
  // The setup stage carries the eight setup bytes.
  EXPECT_EQ(f.substr(24 + 16 + 28, 8), std::string("\x80\x06\x00\x01\x00\x00\x12\x00", 8));
}

}  // namespace
