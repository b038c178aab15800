// A port the serial stack has opened: its name, the port-data block its driver handed over, and
// the calls through the block's function table.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/vcomm/driver_call.h"
#include "platform/vcomm/vcomm.h"

namespace vcomm {

// The port's function table has no function in the slot a caller asked for.
class PortFunctionMissing : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class OpenPort {
 public:
  OpenPort(std::string name, _PORTDATA* block, DriverCall call);

  const std::string& name() const { return name_; }
  _PORTDATA* block() const { return block_; }

  // Calls one port function through the block's function table, inside the driver:
  //   port.call(&_PortFunctions::pPortSetCommState, &dcb, mask)
  // Throws PortFunctionMissing when the slot (or the whole table) is null.
  template <class... Params, class... Args>
  BOOL call(BOOL (*_PortFunctions::*slot)(_PORTDATA*, Params...), Args&&... args) {
    _PortFunctions* table = block_->PDfunctions;
    if (table == nullptr) throw PortFunctionMissing("the port " + name_ + " has no function table");
    auto* function = table->*slot;
    if (function == nullptr) {
      const auto offset = reinterpret_cast<const char*>(&(table->*slot)) - reinterpret_cast<const char*>(table);
      throw PortFunctionMissing("the port has no " + slot_name(static_cast<std::size_t>(offset) / sizeof(void*)) +
                                " function");
    }
    BOOL result = 0;
    call_([&] { result = function(block_, std::forward<Args>(args)...); });
    return result;
  }

  // The table's field name of slot `index` ("pPortSetCommState"); "slot N" past the table's end.
  static std::string slot_name(std::size_t index);

 private:
  std::string name_;
  _PORTDATA* block_;
  DriverCall call_;
};

}  // namespace vcomm
