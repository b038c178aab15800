// A request on one of an adapter's pipes that behaves like one of the driver's pumps: carried by
// a pipe record of the device extension, freed by its completion routine, which clears the
// record's request and (unless told not to) signals the record's cancel event when the transfer
// ends in an error or a cancellation.
#pragma once

#include <array>

#include "serial_driver/krlusb.h"

namespace krlusb_test {

struct PumpRequest {
  krlusb::_IRPINFO* info = nullptr;
  bool signal_cancel_event = true;
  int completions = 0;
  NTSTATUS status = STATUS_PENDING;
  std::array<UCHAR, 64> buffer{};
};

// Submits a one-packet bulk IN transfer on the adapter's receive pipe through `request.info`
// (its pIrp and pUrb).  The queued firmware holds such a transfer until the host cancels it.
// Run it on a simulated thread as the driver's code.
void submit_pump_request(PDEVICE_OBJECT fdo, PumpRequest& request);

}  // namespace krlusb_test
