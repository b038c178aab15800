// Shows what the machine does while it does it: debug-log lines ("log: ...") and completed USB
// transfers ("usb: ...").
#pragma once

#include <memory>
#include <ostream>

namespace machine {
class Machine;
}
namespace usb {
class SummaryPrinter;
}

namespace app {

// Prints the lines the log already holds (the machine's boot), then each new one as written.
void print_log_lines(machine::Machine& machine, std::ostream& out);

// Prints each completed USB transfer as "usb: SUMMARY" while it lives; it must outlive the machine
// it was given to (declare it first).
class UsbPrinter {
 public:
  explicit UsbPrinter(std::ostream& out);
  ~UsbPrinter();
  UsbPrinter(const UsbPrinter&) = delete;
  UsbPrinter& operator=(const UsbPrinter&) = delete;
  void watch(machine::Machine& machine);

 private:
  std::unique_ptr<usb::SummaryPrinter> printer_;
};

}  // namespace app
