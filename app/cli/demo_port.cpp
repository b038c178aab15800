#include "app/cli/demo_port.h"

#include <string>

#include "app/commands/machine_thread.h"
#include "app/commands/serial_ops.h"
#include "app/script/format.h"
#include "app/script/session.h"
#include "devices/serial_adapter/serial_adapter.h"
#include "devices/serial_adapter/uart_firmware.h"
#include "machine/machine.h"
#include "platform/vcomm/port_host.h"

namespace app {
namespace {

std::string requests_text(devices::SerialAdapter& adapter) {
  std::string text;
  for (const devices::VendorRequest& r : adapter.take_requests()) {
    text += (text.empty() ? "" : " ") + std::to_string(r.code) + (r.device_to_host ? "<" : "=") + hex_digits(r.data);
  }
  return text.empty() ? "(none)" : text;
}

std::string uart_text(const devices::UartFirmware& uart) {
  return std::to_string(uart.baud()) + " baud " + uart.framing() + ", DTR " + (uart.dtr() ? "on" : "off") +
         ", RTS " + (uart.rts() ? "on" : "off");
}

std::string lines_text(unsigned msr) {
  std::string text;
  const char* const names[] = {"CTS", "DSR", "RI", "DCD"};
  for (unsigned bit = 0; bit < 4; ++bit) {
    if ((msr & (0x10U << bit)) != 0) text += std::string(text.empty() ? "" : "+") + names[bit];
    if ((msr & (0x01U << bit)) != 0) text += std::string(text.empty() ? "" : "+") + (bit == 2 ? "RI ended" : "delta " + std::string(names[bit]));
  }
  return hex(msr) + (text.empty() ? "" : " (" + text + ")");
}

// One port function on a machine thread, inside the driver.
template <class... Params, class... Args>
BOOL call_port(Session& session, vcomm::OpenPort& port, BOOL (*_PortFunctions::*slot)(_PORTDATA*, Params...),
               Args... args) {
  return compute_on_machine<BOOL>(session, "port function", [&port, slot, args...] { return port.call(slot, args...); });
}

}  // namespace

void port_tour(Session& session, std::string_view adapter_name, const std::string& com, std::ostream& out) {
  machine::Machine& m = session.machine();
  devices::SerialAdapter& adapter = *find_serial(session, adapter_name).device;
  devices::UartFirmware& uart = *adapter.firmware_as<devices::UartFirmware>();
  adapter.take_requests();

  const auto opened = compute_on_machine<vcomm::SerialStack::OpenResult>(
      session, "open", [&m, com] { return m.port_host().open(com); });
  if (opened.port == nullptr) {
    out << "   opening " << com << " failed with error " << opened.error << '\n';
    return;
  }
  vcomm::OpenPort& port = *opened.port;
  out << "   the port host had KRLUSB create the port object for " << com
      << ", and the serial stack opened it through\n"
         "   its open entry; opening tells the adapter nothing (requests so far: "
      << requests_text(adapter) << ")\n";

  _DCB dcb{};
  call_port(session, port, &_PortFunctions::pPortGetCommState, &dcb);
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  dcb.Parity = 0;
  dcb.StopBits = 0;
  const sim::VTime before = m.scheduler().now();
  call_port(session, port, &_PortFunctions::pPortSetCommState, &dcb, fBaudRate | fByteSize | fbParity | fStopBits);
  out << "   SetCommState 9600 8N1 took " << sim::to_milliseconds(m.scheduler().now() - before)
      << " ms of virtual time (the first settings after an open wait 100 ms\n"
         "   before they read the modem status); the adapter received "
      << requests_text(adapter) << "\n   (5 = divisor 12 for 9600 baud, 10 = modem control DTR+RTS+OUT2, 2 = modem status)\n"
      << "   its UART now runs at " << uart_text(uart) << '\n';

  dcb.ByteSize = 7;
  dcb.Parity = 2;
  call_port(session, port, &_PortFunctions::pPortSetCommState, &dcb, fByteSize | fbParity);
  out << "   7 data bits, even parity: " << requests_text(adapter) << " -> " << uart_text(uart) << '\n';

  uart.set_line_status(devices::kMsrCts | devices::kMsrDsr);
  dcb.BaudRate = 19200;
  call_port(session, port, &_PortFunctions::pPortSetCommState, &dcb, fBaudRate);
  out << "   the device at the far end raises CTS and DSR; a change to 19200 baud reads the modem status\n"
         "   again: "
      << requests_text(adapter) << ", the port's modem status shadow is "
      << lines_text(port.block()->bMSRShadow) << '\n';

  const BOOL closed = compute_on_machine<BOOL>(session, "close", [&m, &port] { return m.serial_stack().close(port); });
  run_on_machine(session, "delete", [&m] { m.port_host().delete_all(); });
  out << "   close: " << closed << ", and the port host deletes the port object\n";
}

}  // namespace app
