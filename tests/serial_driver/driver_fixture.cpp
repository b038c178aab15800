#include "tests/serial_driver/driver_fixture.h"

#include <unistd.h>

namespace krlusb_test {

DriverTest::DriverTest() {
  folder_ = std::filesystem::temp_directory_path() /
            ("krlusb-test-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(folder_);
  machine::MachineOptions options;
  options.folder = folder_;
  machine_ = std::make_unique<machine::Machine>(options);
}

DriverTest::~DriverTest() {
  machine_.reset();
  std::filesystem::remove_all(folder_);
}

void DriverTest::on_thread(const std::function<void()>& body) { ASSERT_TRUE(m().run("test", body)); }

machine::PluggedSerialAdapter& DriverTest::plug(machine::SerialAdapterOptions options) {
  machine::PluggedSerialAdapter* plugged = nullptr;
  on_thread([&] { plugged = &m().plug_serial(options); });
  return *plugged;
}

machine::PluggedSerialAdapter& DriverTest::plug_numbered(const std::string& port_number) {
  machine::SerialAdapterOptions options = queued();
  options.port_number = port_number;
  return plug(options);
}

void DriverTest::unplug(const std::string& name) {
  on_thread([&] { m().unplug(name); });
}

NTSTATUS DriverTest::pnp(const std::string& name, UCHAR minor) {
  NTSTATUS status = STATUS_PENDING;
  on_thread([&] { status = m().pnp(name, minor); });
  return status;
}

void DriverTest::set_comm_port(LONG number) {
  on_thread([&] { k().call_into(m().serial_driver(), [number] { krlusb::KRLUSB_SetCommPort(number); }); });
}

std::vector<std::string> DriverTest::device_list() {
  std::vector<std::string> names;
  if (krlusb::pUsbCom == nullptr) return names;
  for (krlusb::_UsbComDevice* node = krlusb::pUsbCom->Next; node != nullptr; node = node->Next) {
    names.emplace_back(node->cpPortName);
  }
  return names;
}

kernel::IoResult DriverTest::ioctl(const std::string& kernel_name, ULONG code, const std::vector<std::uint8_t>& input,
                                   ULONG output_length) {
  kernel::IoResult result;
  on_thread([&] { result = k().device_io_control(kernel_name, code, input, output_length); });
  return result;
}

std::size_t DriverTest::count_logged(const std::string& text) const {
  const kernel::DebugLog& log = machine_->kernel().log();
  std::size_t count = 0;
  for (std::size_t at = log.find(text); at != kernel::DebugLog::npos; at = log.find(text, at + 1)) count++;
  return count;
}

std::vector<std::uint8_t> le32(std::uint32_t value, std::vector<std::uint8_t> rest) {
  // Built in place: GCC 12 misreads an insert after a four-byte initializer as out of bounds.
  std::vector<std::uint8_t> bytes(4 + rest.size());
  for (std::size_t i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  std::copy(rest.begin(), rest.end(), bytes.begin() + 4);
  return bytes;
}

std::uint32_t read_le32(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 4) return 0xFFFFFFFF;
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace krlusb_test
