// The port host: the component beside the port driver that numbers the adapters waiting for a
// COM number, creates and deletes the driver's one port object, and makes the port's open entry
// known to the serial stack under the port's name.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/vcomm/driver_call.h"
#include "platform/vcomm/serial_stack.h"
#include "platform/vcomm/vcomm.h"

namespace vcomm {

struct CreatedPort {
  PVOID object = nullptr;
  PreOpenProc open_entry = nullptr;
};

// The port driver's exports as the port host calls them (always through `call`).
struct PortDriverExports {
  DriverCall call;
  void (*set_comm_port)(LONG packed_com_number) = nullptr;
  std::function<std::optional<CreatedPort>(const char* name, ULONG iobase, ULONG irq, ULONG devnode)> create_port;
  void (*delete_all)() = nullptr;
};

// The adapters' device keys below HKEY_LOCAL_MACHINE, one subkey per instance.
inline constexpr const char* kAdapterKeyParents[] = {"Enum\\USB\\VID_0C9E&PID_0200", "Enum\\USB\\VID_0C9E&PID_0210"};
inline constexpr unsigned kFirstFreeComNumber = 3;  // COM1 and COM2 are the PC's own ports
inline constexpr unsigned kLastComNumber = 999;     // three decimal digits
inline constexpr std::size_t kMaxPortName = 7;      // "COM" and up to four more characters

// "12" -> 12; nullopt unless the text is one to three decimal digits giving 1 to 999.
std::optional<unsigned> parse_com_number(std::string_view text);
// A COM number in packed decimal, one digit per four bits: 12 -> 0x12.
LONG packed_decimal(unsigned com_number);

class PortHost {
 public:
  // Throws std::invalid_argument when an export is missing.
  PortHost(registry::Registry& registry, SerialStack& stack, PortDriverExports exports);
  PortHost(const PortHost&) = delete;
  PortHost& operator=(const PortHost&) = delete;

  // Numbers the adapters that wait for a COM number, given their device keys relative to
  // HKEY_LOCAL_MACHINE ("Enum\USB\VID_0C9E&PID_0200\INST1"), oldest start first (the order in
  // which the driver hands out numbers).  Each keeps its own "PortNumber" when that is a valid
  // COM number that no other adapter's key holds (an adapter earlier in the list wins over a
  // later one), else gets the lowest number from 3 up that no adapter's key holds (plugged or
  // not).  The number is written as "PortNumber" (decimal text) and handed to the driver.
  // Returns the numbers given.  Throws std::invalid_argument, before numbering any, for a key that
  // does not exist; std::runtime_error when every number is taken.
  std::vector<unsigned> number_waiting(const std::vector<std::string>& device_keys);

  // Has the driver create (or re-create) its port object for NAME; on success the port's open
  // entry is registered with the serial stack under NAME, in place of the object's previous name.
  // False for a name of more than kMaxPortName characters (or none), which changes nothing, and
  // when the driver returned null, which leaves no port object (the driver reuses its one
  // object, so a failed re-creation loses the old one too).  Throws std::logic_error while the
  // port is open: the serial stack holds its block.
  bool create_port(const std::string& name, ULONG iobase = 0, ULONG irq = 0, ULONG devnode = 0);
  bool has_port() const { return port_name_.has_value(); }
  const std::string& port_name() const;  // empty when there is no port

  // Has the driver delete its port object (closing an open port first) and unregisters the name.
  // Throws std::logic_error when there is no port.
  void delete_all();

  // What an application's open of NAME does: when the port object is missing or has another name
  // (and is closed), create it for NAME; then open it through the serial stack.  A NAME whose
  // adapter is absent gives IE_HARDWARE; a NAME other than that of the open port gives IE_OPEN.
  SerialStack::OpenResult open(const std::string& name);

  // Machine shutdown: deletes the port (closing it) when there is one.
  void shut_down();

 private:
  bool port_open() const;
  // Every adapter's number in the registry, keyed by the folded device key.
  std::vector<std::pair<std::string, unsigned>> numbers_in_registry() const;

  registry::Registry& registry_;
  SerialStack& stack_;
  PortDriverExports exports_;
  std::optional<std::string> port_name_;
};

}  // namespace vcomm
