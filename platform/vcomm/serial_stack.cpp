#include "platform/vcomm/serial_stack.h"

#include <stdexcept>

namespace vcomm {

void SerialStack::register_port(const std::string& name, PreOpenProc entry, DriverCall call) {
  if (name.empty()) throw std::invalid_argument("a port needs a name");
  if (entry == nullptr) throw std::invalid_argument("the port " + name + " has no open entry");
  if (!call) throw std::invalid_argument("the port " + name + " has no way into its driver");
  forget_ports_opened_via(name);
  registered_.insert_or_assign(name, Registration{entry, std::move(call)});
}

void SerialStack::unregister_port(const std::string& name) {
  forget_ports_opened_via(name);
  registered_.erase(name);
}

bool SerialStack::registered(std::string_view name) const { return registered_.contains(name); }

SerialStack::OpenResult SerialStack::open(const std::string& name, ULONG hVM) {
  auto via = registered_.find(name);
  if (via == registered_.end()) {
    if (registered_.size() != 1) return {nullptr, IE_HARDWARE};
    via = registered_.begin();
  }
  const Registration& registration = via->second;
  LONG error = 0;
  _PORTDATA* block = nullptr;
  registration.call([&] { block = registration.entry(name.c_str(), hVM, &error); });
  if (block == nullptr) return {nullptr, error};
  if (open_.contains(name)) throw std::logic_error("the port driver opened " + name + " a second time");
  auto port = std::make_unique<OpenPort>(name, block, registration.call);
  OpenPort* opened = port.get();
  open_.emplace(name, Opened{via->first, std::move(port)});
  return {opened, error};
}

BOOL SerialStack::close(OpenPort& port) {
  auto it = open_.find(port.name());
  if (it == open_.end() || it->second.port.get() != &port) {
    throw std::invalid_argument("the port " + port.name() + " is not held open by this serial stack");
  }
  const BOOL closed = port.call(&_PortFunctions::pPortClose);
  if (closed != 0) open_.erase(it);
  return closed;
}

OpenPort* SerialStack::open_port(std::string_view name) {
  auto it = open_.find(name);
  return it == open_.end() ? nullptr : it->second.port.get();
}

bool SerialStack::is_open(std::string_view name) const { return open_.contains(name); }

void SerialStack::forget_ports_opened_via(std::string_view name) {
  std::erase_if(open_, [name](const auto& entry) { return entry.second.via == name; });
}

}  // namespace vcomm
