// Every pool allocation on an adapter's way in and out, and on its COM port's, fails once, each on
// a fresh machine: the driver must come through every one of those paths without a crash, a leak
// or a verifier report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "platform/vcomm/port_host.h"
#include "platform/vcomm/serial_stack.h"
#include "serial_driver/krlusb.h"

namespace {

struct Outcome {
  bool finished = false;
  bool failure_came = false;  // the cycle reached the allocation that was made to fail
  std::vector<std::string> violations;
};

// Runs `body` on a fresh machine in which the `n`th allocation after boot fails, then shuts the
// machine down.
Outcome cycle(const std::filesystem::path& folder, std::uint64_t n, const std::function<void(machine::Machine&)>& body) {
  Outcome outcome;
  {
    machine::MachineOptions options;
    options.folder = folder;
    machine::Machine m(options);
    kernel::Verifier& verifier = m.kernel().verifier();
    verifier.set_mode(kernel::Verifier::Mode::Record);
    verifier.set_reporter([&](const kernel::Violation& v) { outcome.violations.push_back(v.text); });
    verifier.fail_nth_allocation(n);
    outcome.finished = m.run("sweep", [&] { body(m); });
    outcome.failure_came = !verifier.failure_pending();
  }
  std::filesystem::remove_all(folder);
  return outcome;
}

// Fails each allocation of the body in turn until the body runs through without reaching one.
void sweep(const std::string& name, const std::function<void(machine::Machine&)>& body) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("krlusb-sweep-" + name + "-" + std::to_string(::getpid()));
  std::uint64_t n = 1;
  for (; n < 1000; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    const Outcome o = cycle(folder, n, body);
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.violations, std::vector<std::string>{});
    if (!o.failure_came) break;
  }
  EXPECT_GT(n, 10U) << "the cycle makes allocations";
  EXPECT_LT(n, 1000U) << "the sweep reached the end of the cycle";
}

machine::PluggedSerialAdapter& plug_com5(machine::Machine& m) {
  machine::SerialAdapterOptions adapter;
  adapter.port_number = "5";
  return m.plug_serial(adapter);
}

TEST(AllocationSweep, EveryFailedAllocationOnTheWayInAndOutIsSurvived) {
  sweep("adapter", [](machine::Machine& m) {
    auto& plugged = plug_com5(m);
    if (plugged.pdo != nullptr && plugged.pdo->AttachedDevice != nullptr) {
      m.kernel().device_io_control(m.kernel().device_name(plugged.pdo->AttachedDevice),
                                   krlusb::IOCTL_NC_GET_DEVICE_DESCRIPTOR, {}, 18);
    }
    m.unplug(plugged.name);
  });
}

// The port's life as the serial stack drives it, with the adapter pulled while the port is open.
TEST(AllocationSweep, EveryFailedAllocationOfAComPortIsSurvived) {
  sweep("port", [](machine::Machine& m) {
    auto& plugged = plug_com5(m);
    _DCB dcb{};
    vcomm::OpenPort* port = m.port_host().open("COM5").port;
    if (port != nullptr) {
      port->call(&_PortFunctions::pPortGetCommState, &dcb);
      dcb.BaudRate = 9600;
      port->call(&_PortFunctions::pPortSetCommState, &dcb, fBaudRate);
      m.serial_stack().close(*port);
      port = m.port_host().open("COM5").port;
    }
    m.unplug(plugged.name);
    // The port outlives its adapter: its settings still change, and nothing is sent.
    if (port != nullptr) {
      dcb.BaudRate = 19200;
      port->call(&_PortFunctions::pPortSetCommState, &dcb, fBaudRate);
    }
    if (m.port_host().has_port()) m.port_host().delete_all();
  });
}

}  // namespace
