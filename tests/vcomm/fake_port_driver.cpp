#include "fake_port_driver.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace fake {
namespace {

std::unique_ptr<PortDriver> the_driver;

void record(std::string what) {
  PortDriver& d = driver();
  d.calls.push_back({std::move(what), d.depth > 0});
}

BOOL SetCommState(_PORTDATA* port, _DCB* dcb, ULONG mask) {
  record("SetCommState");
  if ((mask & fBaudRate) != 0) driver().last_baud = dcb->BaudRate;
  port->dwLastError = 0;
  return 1;
}

BOOL Close(_PORTDATA* port) {
  record("Close");
  PortDriver& d = driver();
  if (d.close_fails) {
    port->dwLastError = IE_OPEN;
    return 0;
  }
  d.open = false;
  port->dwLastError = 0;
  return 1;
}

BOOL EnableNotification(_PORTDATA* port, PortNotifyProc callback, ULONG reference) {
  record("EnableNotification");
  // Delivers an event at once, as a port with a pending event would.
  if (callback != nullptr) callback(port, reference, CN_EVENT, EV_RXCHAR);
  return 1;
}

void SetCommPort(LONG packed) {
  char text[24];
  std::snprintf(text, sizeof(text), "set_comm_port 0x%X", static_cast<unsigned>(packed));
  record(text);
}

std::optional<vcomm::CreatedPort> CreatePort(const char* name, ULONG, ULONG, ULONG) {
  record(std::string("create_port ") + name);
  PortDriver& d = driver();
  // The one object is re-initialised, and freed when the name binds to no adapter.
  d.open = false;
  if (!d.adapters.contains(name)) {
    d.object_name.reset();
    return std::nullopt;
  }
  d.object_name = name;
  return vcomm::CreatedPort{&d.block, &PreOpen};
}

void DeleteAll() {
  record("delete_all");
  PortDriver& d = driver();
  d.open = false;
  d.object_name.reset();
}

}  // namespace

PortDriver::PortDriver() {
  table.pPortSetCommState = &SetCommState;
  table.pPortClose = &Close;
  table.pPortEnableNotification = &EnableNotification;
}

vcomm::DriverCall PortDriver::driver_call() {
  return [this](const std::function<void()>& fn) {
    struct Inside {
      int& depth;
      explicit Inside(int& d) : depth(d) { ++depth; }
      ~Inside() { --depth; }
    } inside(depth);
    fn();
  };
}

vcomm::PortDriverExports PortDriver::exports() { return {driver_call(), &SetCommPort, &CreatePort, &DeleteAll}; }

std::vector<std::string> PortDriver::call_names() const {
  std::vector<std::string> names;
  for (const Call& c : calls) names.push_back(c.what);
  return names;
}

bool PortDriver::all_calls_inside() const {
  return std::all_of(calls.begin(), calls.end(), [](const Call& c) { return c.inside; });
}

PortDriver& driver() { return *the_driver; }
void reset() { the_driver = std::make_unique<PortDriver>(); }

_PORTDATA* PreOpen(const char* name, ULONG hVM, LONG* pError) {
  record(std::string("PreOpen ") + name);
  PortDriver& d = driver();
  d.last_vm = hVM;
  if (d.object_name != name) {
    *pError = IE_HARDWARE;
    return nullptr;
  }
  if (d.open) {
    *pError = IE_OPEN;
    return nullptr;
  }
  d.open = true;
  d.block = _PORTDATA{};
  d.block.PDfunctions = &d.table;
  d.block.PDNumFunctions = PORT_FUNCTION_COUNT;
  return &d.block;
}

}  // namespace fake
