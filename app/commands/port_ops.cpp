#include "app/commands/port_ops.h"

#include "app/script/session.h"
#include "machine/machine.h"
#include "platform/vcomm/port_host.h"
#include "serial_driver/vxdif.h"

namespace app {
namespace {

void forget_port(Session& session) {
  PortSession& port = port_session(session);
  port.name.clear();
  port.block = nullptr;
}

}  // namespace

PortSession& port_session(Session& session) {
  if (!session.port) session.port = std::make_shared<PortSession>();
  return *session.port;
}

bool create_port(Session& session, const std::string& name, ULONG iobase, ULONG irq, ULONG devnode) {
  machine::Machine& m = session.machine();
  vcomm::PortHost& host = m.port_host();
  if (host.has_port() && m.serial_stack().is_open(host.port_name())) {
    throw ScriptError("the port object is open as " + host.port_name() + " (close it before createport)");
  }
  // Creation re-makes the one port object, or frees it when it fails.
  forget_port(session);
  return compute_on_machine<bool>(session, "createport", [&host, name, iobase, irq, devnode] {
    return host.create_port(name, iobase, irq, devnode);
  });
}

void delete_all(Session& session) {
  machine::Machine& m = session.machine();
  vcomm::PortHost& host = m.port_host();
  if (!host.has_port()) throw ScriptError("there is no port object to delete (createport makes one)");
  forget_port(session);
  run_on_machine(session, "deleteall", [&host] { host.delete_all(); });
}

vcomm::SerialStack::OpenResult open_port(Session& session, const std::string& name) {
  vcomm::SerialStack& stack = session.machine().serial_stack();
  const auto opened =
      compute_on_machine<vcomm::SerialStack::OpenResult>(session, "open", [&stack, name] { return stack.open(name); });
  if (opened.port != nullptr) {
    PortSession& port = port_session(session);
    port.name = opened.port->name();
    port.block = opened.port->block();
  }
  return opened;
}

PortOutcome outcome(const vcomm::OpenPort& port, BOOL result) {
  return {result, result != 0 ? 0 : port.block()->dwLastError};
}

PortOutcome close_port(Session& session) {
  PortHandle handle = opened_port(session, "close");
  vcomm::SerialStack& stack = session.machine().serial_stack();
  return compute_on_machine<PortOutcome>(session, "close", [&stack, handle = std::move(handle)] {
    vcomm::OpenPort* held = stack.open_port(handle.name);
    if (held != nullptr && held->block() == handle.block) return outcome(*held, stack.close(*held));
    // The stack no longer holds the port: ask the port itself, as a client that closes twice would.
    vcomm::OpenPort port(handle.name, handle.block, handle.call);
    return outcome(port, port.call(&_PortFunctions::pPortClose));
  });
}

PortHandle opened_port(Session& session, std::string_view what) {
  machine::Machine& m = session.machine();
  PortSession& port = port_session(session);
  // The block lives in the driver's one port object; make sure that object is still the one.
  if (port.block != nullptr && (krlusb::pOurPort == nullptr || &krlusb::pOurPort->m_pd != port.block)) {
    forget_port(session);
  }
  if (port.block == nullptr) throw ScriptError(std::string(what) + " needs an open port (open NAME first)");
  return {port.name, port.block, m.serial_driver_call()};
}

}  // namespace app
