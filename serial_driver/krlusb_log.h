// The driver's debug messages: each one is three prints (prefix, message, carriage return), so
// that a debugger shows every message on a line of its own behind the driver's name.
#pragma once

#include "platform/kernel/wdm.h"

namespace krlusb {

template <class... Args>
void KrlPrint(const char* Format, Args... args) {
  DbgPrint("KRLUSB.SYS: ");
  DbgPrint(Format, args...);
  DbgPrint("\r");
}

}  // namespace krlusb
