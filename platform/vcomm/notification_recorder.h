// A client of the serial stack that records the callbacks a port delivers.
#pragma once

#include <vector>

#include "platform/vcomm/vcomm.h"

namespace vcomm {

struct Notification {
  ULONG code;    // CN_RECEIVE, CN_TRANSMIT or CN_EVENT
  ULONG events;  // the port's event word at the time of the call
  bool operator==(const Notification&) const = default;
};

// Callbacks carry a 32-bit reference value instead of an object pointer, so each recorder
// registers itself under a number of its own and the one callback finds it by that number.
class NotificationRecorder {
 public:
  NotificationRecorder();   // registers
  ~NotificationRecorder();  // unregisters; later calls with its number are ignored
  NotificationRecorder(const NotificationRecorder&) = delete;
  NotificationRecorder& operator=(const NotificationRecorder&) = delete;

  // A PortNotifyProc: records the call with the recorder registered under `reference`.
  static void callback(_PORTDATA* port, ULONG reference, ULONG code, ULONG events);
  ULONG reference() const { return reference_; }
  // What was delivered since the last call, oldest first.
  std::vector<Notification> take();

 private:
  ULONG reference_;
  std::vector<Notification> delivered_;
};

}  // namespace vcomm
