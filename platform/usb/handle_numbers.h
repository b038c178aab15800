// Opaque handles of pipes, interfaces and configurations, as the bus driver issues them.
#pragma once

#include <cstdint>

namespace usb::detail {

// Hands out the opaque handles of pipes, interfaces and configurations.  They are numbers, not
// addresses, so that everything a driver reads back (and prints, or returns to its callers) is
// the same in every run; a number is never issued twice on a bus, so a stale handle never aliases
// a new pipe.
class HandleNumbers {
 public:
  void* next() { return reinterpret_cast<void*>(kBase + kStride * ++issued_); }

 private:
  static constexpr std::uintptr_t kBase = 0xB5000000;
  static constexpr std::uintptr_t kStride = 0x10;
  std::uintptr_t issued_ = 0;
};

}  // namespace usb::detail
