#include "platform/vcomm/open_port.h"

#include <array>
#include <string_view>

namespace vcomm {
namespace {

constexpr std::array<std::string_view, PORT_FUNCTION_COUNT> kSlotNames = {
    "pPortSetCommState",       "pPortGetCommState",   "pPortSetup",          "pPortTransmitChar",
    "pPortClose",              "pPortGetQueueStatus", "pPortClearError",     "pPortSetModemStatusShadow",
    "pPortGetProperties",      "pPortEscapeFunction", "pPortPurge",          "pPortSetEventMask",
    "pPortGetEventMask",       "pPortWrite",          "pPortRead",           "pPortEnableNotification",
    "pPortSetReadCallBack",    "pPortSetWriteCallBack", "pPortGetModemStatus", "pPortGetCommConfig",
    "pPortSetCommConfig",      "pPortGetError",       "pPortDeviceIOCtl",
};

}  // namespace

OpenPort::OpenPort(std::string name, _PORTDATA* block, DriverCall call)
    : name_(std::move(name)), block_(block), call_(std::move(call)) {
  if (block_ == nullptr) throw std::invalid_argument("an open port needs its port-data block");
  if (!call_) throw std::invalid_argument("an open port needs a way into its driver");
}

std::string OpenPort::slot_name(std::size_t index) {
  if (index < kSlotNames.size()) return std::string(kSlotNames[index]);
  return "slot " + std::to_string(index);
}

}  // namespace vcomm
