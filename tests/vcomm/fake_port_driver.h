// A small port driver for the serial stack and the port host to work against: one port object
// that binds to an adapter name, an open entry, a few port functions, and exports that record
// how they were called.  Every entry point notes whether it ran inside a DriverCall.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/vcomm/port_host.h"
#include "platform/vcomm/serial_stack.h"

namespace fake {

struct Call {
  std::string what;  // "PreOpen COM3", "Close", "SetCommState", "set_comm_port 0x12", "create_port COM3", "delete_all"
  bool inside = false;
  bool operator==(const Call&) const = default;
};

struct PortDriver {
  std::set<std::string> adapters;  // names the port object can bind to
  std::optional<std::string> object_name;  // the port object's name; nullopt while there is none
  bool open = false;
  bool close_fails = false;
  ULONG last_vm = 0;
  ULONG last_baud = 0;
  _PORTDATA block{};
  _PortFunctions table{};  // SetCommState, Close and EnableNotification only
  std::vector<Call> calls;
  int depth = 0;  // DriverCalls in progress

  PortDriver();
  // Calls into this driver, as the machine's wrapper around the kernel would make them.
  vcomm::DriverCall driver_call();
  vcomm::PortDriverExports exports();
  std::vector<std::string> call_names() const;
  bool all_calls_inside() const;
};

// The one driver the plain function pointers reach; fresh for each test (each runs in its own
// process, and the fixture resets it).
PortDriver& driver();
void reset();

_PORTDATA* PreOpen(const char* name, ULONG hVM, LONG* pError);

}  // namespace fake
