// The COM port as the port host and the serial stack drive it: create and delete the port
// object, open and close it, and call its port functions.  Every call runs on a simulated thread
// of the machine, inside the serial driver.
//
// The port commands act on the port opened last.  The session keeps it after a close (so that a
// script can see what a closed port does), and forgets it when createport or deleteall may have
// freed or re-made the port object.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/commands/machine_thread.h"
#include "app/script/script_error.h"
#include "platform/vcomm/driver_call.h"
#include "platform/vcomm/notification_recorder.h"
#include "platform/vcomm/open_port.h"
#include "platform/vcomm/serial_stack.h"
#include "platform/vcomm/vcomm.h"

namespace app {

class Session;

struct PortSession {
  std::string name;            // the port opened last; empty when none
  _PORTDATA* block = nullptr;  // its port-data block
  // The client callback of notify, readcallback and writecallback, for the whole run.
  vcomm::NotificationRecorder recorder;
};

PortSession& port_session(Session& session);

// The port host's KRLUSB_CreatePort: false when the driver returned null.  Throws ScriptError
// while the port is open.
bool create_port(Session& session, const std::string& name, ULONG iobase, ULONG irq, ULONG devnode);
// The port host's KRLUSB_DeleteAll.  Throws ScriptError when there is no port object.
void delete_all(Session& session);
// The serial stack's open; the port opened is remembered.
vcomm::SerialStack::OpenResult open_port(Session& session, const std::string& name);

// A port function's truth value, with dwLastError when it is 0.
struct PortOutcome {
  BOOL result = 0;
  LONG error = 0;
};
PortOutcome outcome(const vcomm::OpenPort& port, BOOL result);

// Closes the port opened last: through the serial stack while the stack holds it open, else
// with the port's own Close (which answers 1 for a port that is not open).
PortOutcome close_port(Session& session);

// What a command needs to reach the port opened last from a machine thread.
struct PortHandle {
  std::string name;
  _PORTDATA* block = nullptr;
  vcomm::DriverCall call;
};
// Throws ScriptError ("WHAT needs an open port") when no port was opened, or its object is gone.
PortHandle opened_port(Session& session, std::string_view what);

// Runs `body` with the port opened last, on a machine thread.
template <typename Result>
Result with_port(Session& session, std::string_view what, std::function<Result(vcomm::OpenPort&)> body) {
  PortHandle handle = opened_port(session, what);
  return compute_on_machine<Result>(session, what, [handle = std::move(handle), body = std::move(body)] {
    vcomm::OpenPort port(handle.name, handle.block, handle.call);
    try {
      return body(port);
    } catch (const vcomm::PortFunctionMissing& missing) {
      throw ScriptError(missing.what());
    }
  });
}

}  // namespace app
