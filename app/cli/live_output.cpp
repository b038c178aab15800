#include "app/cli/live_output.h"

#include <string>

#include "machine/machine.h"
#include "platform/usb/host_controller.h"
#include "platform/usb/transfer_summary.h"

namespace app {

void print_log_lines(machine::Machine& machine, std::ostream& out) {
  kernel::DebugLog& log = machine.kernel().log();
  for (const std::string& line : log.lines()) out << "log: " << line << '\n';
  out.flush();
  log.add_listener([&out](std::string_view line) { out << "log: " << line << std::endl; });
}

UsbPrinter::UsbPrinter(std::ostream& out)
    : printer_(std::make_unique<usb::SummaryPrinter>([&out](const std::string& line) {
        out << "usb: " << line << std::endl;
      })) {}

UsbPrinter::~UsbPrinter() = default;

void UsbPrinter::watch(machine::Machine& machine) { machine.host_controller().add_observer(*printer_); }

}  // namespace app
