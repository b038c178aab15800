// The adapter's device I/O-control requests, sent to its device object by name.
#include <cstring>

#include "devices/serial_adapter/descriptors.h"
#include "tests/serial_driver/driver_fixture.h"

namespace krlusb_test {
namespace {

using namespace krlusb;

const std::string kDevice = "\\Device\\COMPORT001";

class IoctlTest : public DriverTest {
 protected:
  IoctlTest() : adapter_(plug_numbered("5")) {}
  machine::PluggedSerialAdapter& adapter_;
};

TEST_F(IoctlTest, PipeInformationIsTheInterfaceCopy) {
  const USHORT length = ext(adapter_)->Interface->Length;
  kernel::IoResult r = ioctl(kDevice, IOCTL_NC_GET_PIPE_INFO, {}, 512);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.information, length);
  EXPECT_EQ(std::memcmp(r.output.data(), ext(adapter_)->Interface, length), 0);

  r = ioctl(kDevice, IOCTL_NC_GET_PIPE_INFO, {}, length - 1U);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.information, 0U);
}

TEST_F(IoctlTest, DescriptorsAreReadFromTheAdapter) {
  kernel::IoResult r = ioctl(kDevice, IOCTL_NC_GET_DEVICE_DESCRIPTOR, {}, 18);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, devices::device_descriptor({}));
  EXPECT_TRUE(logged("KRLUSB.SYS: Get Device Descriptor returned 18 bytes"));

  r = ioctl(kDevice, IOCTL_NC_GET_DEVICE_DESCRIPTOR, {}, 17);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);

  r = ioctl(kDevice, IOCTL_NC_GET_CONFIG_DESCRIPTOR, {}, 64);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, devices::configuration_descriptor({}));
  r = ioctl(kDevice, IOCTL_NC_GET_CONFIG_DESCRIPTOR, {}, 9);
  EXPECT_EQ(r.information, 9U);
  EXPECT_TRUE(logged("KRLUSB.SYS: 9 bytes of cfg descriptor received"));
}

TEST_F(IoctlTest, RawWriteSendsTheBytesAfterThePipeNumber) {
  const std::vector<std::uint8_t> data{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  kernel::IoResult r = ioctl(kDevice, IOCTL_NC_BULK_OR_INTERRUPT_WRITE, le32(NC_PIPE_TRANSMIT, data), 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4U);
  EXPECT_EQ(read_le32(r.output), 10U);
  EXPECT_EQ(firmware(adapter_).take_bulk_out(), data);
}

TEST_F(IoctlTest, RawReadReturnsTheCountAndTheBytes) {
  const std::vector<std::uint8_t> data{1, 2, 3, 4, 5, 6, 7};
  firmware(adapter_).queue_bulk_in(data);
  kernel::IoResult r = ioctl(kDevice, IOCTL_NC_BULK_OR_INTERRUPT_READ, le32(NC_PIPE_RECEIVE), 4 + 64);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.information, 11U);
  EXPECT_EQ(read_le32(r.output), 7U);
  EXPECT_EQ(std::vector<std::uint8_t>(r.output.begin() + 4, r.output.end()), data);
  EXPECT_TRUE(logged("KRLUSB.SYS: Sucessfully Transferred 7 Bytes"));
}

TEST_F(IoctlTest, BadRequestsAreRefusedWithoutATransfer) {
  struct Case {
    const char* what;
    ULONG code;
    std::vector<std::uint8_t> input;
    ULONG output_length;
    NTSTATUS status;
  };
  const Case cases[] = {
      // No buffer at all: nothing to do, and nothing reported as wrong.
      {"read, no buffers", IOCTL_NC_BULK_OR_INTERRUPT_READ, {}, 0, STATUS_SUCCESS},
      {"read, no output", IOCTL_NC_BULK_OR_INTERRUPT_READ, le32(0), 0, STATUS_NO_MEMORY},
      {"write, no output", IOCTL_NC_BULK_OR_INTERRUPT_WRITE, le32(1, {1}), 0, STATUS_NO_MEMORY},
      {"read, short input", IOCTL_NC_BULK_OR_INTERRUPT_READ, {0, 0}, 8, STATUS_BUFFER_TOO_SMALL},
      {"write, short output", IOCTL_NC_BULK_OR_INTERRUPT_WRITE, le32(1, {1, 2}), 3, STATUS_BUFFER_TOO_SMALL},
      {"pipe 3", IOCTL_NC_BULK_OR_INTERRUPT_READ, le32(3), 8, STATUS_INVALID_PARAMETER},
      {"pipe 0xFFFFFFFF", IOCTL_NC_BULK_OR_INTERRUPT_WRITE, le32(0xFFFFFFFF, {1}), 4, STATUS_INVALID_PARAMETER},
      {"read on the transmit pipe", IOCTL_NC_BULK_OR_INTERRUPT_READ, le32(1), 68, STATUS_INVALID_PARAMETER},
      {"write on the receive pipe", IOCTL_NC_BULK_OR_INTERRUPT_WRITE, le32(0, {1}), 4, STATUS_INVALID_PARAMETER},
      {"unknown code", CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS), le32(0), 8,
       STATUS_INVALID_PARAMETER},
  };
  const std::size_t mark = log_mark();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kernel::IoResult r = ioctl(kDevice, c.code, c.input, c.output_length);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, 0U);
  }
  EXPECT_TRUE(logged("KRLUSB.SYS: IOCTL_NC_BULK_OR_INTERRUPT_READ got INVALID buffer(s)!"));
  EXPECT_TRUE(logged("KRLUSB.SYS: ERROR ioBuffer"));
  EXPECT_TRUE(firmware(adapter_).take_bulk_out().empty());
  EXPECT_FALSE(logged_since(mark, "Calling USB Driver Stack"));
}

TEST_F(IoctlTest, AFailedTransferIsTheRequestsStatus) {
  adapter_.device->fail_next(devices::Pipe::BulkOut, devices::PipeFailure::Stall);
  kernel::IoResult r = ioctl(kDevice, IOCTL_NC_BULK_OR_INTERRUPT_WRITE, le32(NC_PIPE_TRANSMIT, {1, 2}), 4);
  EXPECT_FALSE(NT_SUCCESS(r.status));
  EXPECT_EQ(r.information, 0U);
}

}  // namespace
}  // namespace krlusb_test
