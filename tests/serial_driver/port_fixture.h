// The serial driver with a COM port: an adapter plugged and numbered, the port object created for
// it as the port host creates it, opened through the port's open entry, and a way to call the
// port functions as the serial stack does.
#pragma once

#include <functional>
#include <string>

#include "serial_driver/vxdif.h"
#include "tests/serial_driver/driver_fixture.h"

namespace krlusb_test {

class PortTest : public DriverTest {
 protected:
  // A port left behind is deleted, as the port host does before the driver unloads.
  void TearDown() override;

  // Runs `fn` on a simulated passive-level thread as the driver's own code (pool blocks it
  // allocates belong to the driver).
  void in_driver(const std::function<void()>& fn);

  // KRLUSB_CreatePort(name, ...) as the port host calls it; the driver's result.
  krlusb::POURPORTDATA create_port(const std::string& name);
  // Plugs an adapter numbered `number` and creates the port "COM<number>" for it; fails the test
  // when the port is not created.
  machine::PluggedSerialAdapter& plug_with_port(const std::string& number = "5");
  // Opens the port through its open entry; the port-data block, or null with the error in `error`.
  _PORTDATA* open_port(const std::string& name, LONG* error = nullptr);
  // Both of the above, for tests that need an open port: fails the test when it is not open.
  machine::PluggedSerialAdapter& plug_and_open(const std::string& number = "5");

  // The port object and its block (the port must exist).
  static krlusb::POURPORTDATA port() { return krlusb::pOurPort; }
  static _PORTDATA* pd() { return &krlusb::pOurPort->m_pd; }
  // The function table the open handed to the serial stack.
  static _PortFunctions& functions() { return *krlusb::pOurPort->m_pd.PDfunctions; }
};

}  // namespace krlusb_test
