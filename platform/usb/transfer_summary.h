// The one-line summary of a completed transfer that `krlbay run --usb` prints, e.g.
//   "12ms dev 1 ep 0x81 bulk in 7/64 ok hex:01020304050607"
//   "3ms dev 1 ep 0x80 control in setup=8006000100001200 18/18 ok hex:12011001000000404E0C..."
// Data is cut after 16 bytes (".." marks the cut).
#pragma once

#include <functional>
#include <string>

#include "platform/usb/transfer.h"

namespace usb {

std::string summarize(const TransferEvent& completed);
// A short name for a USBD status: ok, stall, not-responding, overrun, halted, cancelled, gone,
// invalid-function, invalid-parameter, invalid-pipe, or the hex code.
std::string status_name(USBD_STATUS status);

// Hands the summary of every completed transfer to `sink`.
class SummaryPrinter : public TransferObserver {
 public:
  explicit SummaryPrinter(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {}
  void transfer_completed(const TransferEvent& event) override { sink_(summarize(event)); }

 private:
  std::function<void(const std::string&)> sink_;
};

}  // namespace usb
