// The serial stack's side of the port-driver contract: which open entry serves which port name,
// opening a port through its entry and holding the block it returns, and closing it again.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/vcomm/driver_call.h"
#include "platform/vcomm/open_port.h"
#include "platform/vcomm/vcomm.h"

namespace vcomm {

inline constexpr ULONG kSystemVM = 1;  // the system virtual machine's handle

class SerialStack {
 public:
  struct OpenResult {
    OpenPort* port = nullptr;  // null when the open failed
    LONG error = 0;            // what the open entry left in its error out-value
  };

  // Makes a port known under NAME with its open entry; every call into it goes through `call`.
  // A name registered again gets the new entry, and a port opened through the old one is
  // forgotten.  Throws std::invalid_argument for an empty name, a null entry or an empty call.
  void register_port(const std::string& name, PreOpenProc entry, DriverCall call);
  // Forgets the name, and a port opened through its entry (the block is gone with the port
  // object).  Nothing happens for a name that is not registered.
  void unregister_port(const std::string& name);
  bool registered(std::string_view name) const;

  // Opens NAME through the open entry registered for it.  A name nobody registered is handed to
  // the entry of the one registered port, which refuses names not its own; with no port (or
  // several) registered the result is IE_HARDWARE without a call.  Throws std::logic_error when
  // the entry hands out a block for a name that is open already.
  OpenResult open(const std::string& name, ULONG hVM = kSystemVM);
  // Closes through the port's Close function; the port stays open when Close fails, and is
  // forgotten (the reference dangles) when it succeeds.  Returns Close's result (the block's
  // dwLastError holds the error).  Throws std::invalid_argument for a port this stack does not
  // hold open, PortFunctionMissing when the port has no Close function.
  BOOL close(OpenPort& port);

  OpenPort* open_port(std::string_view name);  // null when that name is not open
  bool is_open(std::string_view name) const;

 private:
  struct Registration {
    PreOpenProc entry;
    DriverCall call;
  };
  struct Opened {
    std::string via;  // the registered name whose entry opened it
    std::unique_ptr<OpenPort> port;
  };

  void forget_ports_opened_via(std::string_view name);

  std::map<std::string, Registration, std::less<>> registered_;
  std::map<std::string, Opened, std::less<>> open_;
};

}  // namespace vcomm
