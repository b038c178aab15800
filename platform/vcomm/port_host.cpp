#include "platform/vcomm/port_host.h"

#include <algorithm>
#include <stdexcept>

#include "platform/registry/key_path.h"

namespace vcomm {
namespace {

constexpr const char* kPortNumber = "PortNumber";

std::string machine_key(std::string_view device_key) { return "HKEY_LOCAL_MACHINE\\" + std::string(device_key); }

}  // namespace

std::optional<unsigned> parse_com_number(std::string_view text) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  unsigned number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  if (number == 0) return std::nullopt;
  return number;
}

LONG packed_decimal(unsigned com_number) {
  ULONG packed = 0;
  for (unsigned shift = 0; com_number != 0; shift += 4, com_number /= 10) packed |= (com_number % 10) << shift;
  return static_cast<LONG>(packed);
}

PortHost::PortHost(registry::Registry& registry, SerialStack& stack, PortDriverExports exports)
    : registry_(registry), stack_(stack), exports_(std::move(exports)) {
  if (!exports_.call || exports_.set_comm_port == nullptr || !exports_.create_port || exports_.delete_all == nullptr) {
    throw std::invalid_argument("the port host needs every export of the port driver and a way into it");
  }
}

std::vector<std::pair<std::string, unsigned>> PortHost::numbers_in_registry() const {
  std::vector<std::pair<std::string, unsigned>> numbers;
  for (const char* parent : kAdapterKeyParents) {
    for (const std::string& instance : registry_.subkeys(machine_key(parent)).value_or(std::vector<std::string>{})) {
      const std::string key = std::string(parent) + "\\" + instance;
      const std::optional<registry::Value> value = registry_.get(machine_key(key), kPortNumber);
      const std::optional<std::string> text = value ? value->as_string() : std::nullopt;
      if (const std::optional<unsigned> number = text ? parse_com_number(*text) : std::nullopt) {
        numbers.emplace_back(registry::fold(key), *number);
      }
    }
  }
  return numbers;
}

std::vector<unsigned> PortHost::number_waiting(const std::vector<std::string>& device_keys) {
  std::vector<std::string> waiting;
  for (const std::string& key : device_keys) {
    if (!registry_.key_exists(machine_key(key))) throw std::invalid_argument("no device key " + key);
    waiting.push_back(registry::fold(key));
    if (std::count(waiting.begin(), waiting.end(), waiting.back()) > 1) {
      throw std::invalid_argument("the device key " + key + " waits only once");
    }
  }

  std::vector<std::pair<std::string, unsigned>> taken = numbers_in_registry();
  std::vector<unsigned> given;
  for (std::size_t i = 0; i < device_keys.size(); ++i) {
    const std::string& self = waiting[i];
    auto waits_later = [&](const std::string& key) {
      return std::find(waiting.begin() + static_cast<std::ptrdiff_t>(i) + 1, waiting.end(), key) != waiting.end();
    };
    // A number counts as another adapter's unless a later waiting adapter holds it: the earlier
    // one keeps it and the later one moves.
    auto held_by_other = [&](unsigned number) {
      return std::any_of(taken.begin(), taken.end(), [&](const auto& entry) {
        return entry.second == number && entry.first != self && !waits_later(entry.first);
      });
    };
    auto held_by_anyone_else = [&](unsigned number) {
      return std::any_of(taken.begin(), taken.end(),
                         [&](const auto& entry) { return entry.second == number && entry.first != self; });
    };

    const std::optional<registry::Value> value = registry_.get(machine_key(device_keys[i]), kPortNumber);
    const std::optional<std::string> text = value ? value->as_string() : std::nullopt;
    std::optional<unsigned> number = text ? parse_com_number(*text) : std::nullopt;
    if (!number || held_by_other(*number)) {
      number.reset();
      for (unsigned candidate = kFirstFreeComNumber; candidate <= kLastComNumber; ++candidate) {
        if (!held_by_anyone_else(candidate)) {
          number = candidate;
          break;
        }
      }
      if (!number) throw std::runtime_error("no COM number is free for " + device_keys[i]);
    }

    registry_.set(machine_key(device_keys[i]), kPortNumber, registry::Value::string(std::to_string(*number)));
    std::erase_if(taken, [&](const auto& entry) { return entry.first == self; });
    taken.emplace_back(self, *number);
    exports_.call([&] { exports_.set_comm_port(packed_decimal(*number)); });
    given.push_back(*number);
  }
  return given;
}

bool PortHost::create_port(const std::string& name, ULONG iobase, ULONG irq, ULONG devnode) {
  if (port_open()) {
    throw std::logic_error("the port " + *port_name_ + " is open: its object cannot be created again now");
  }
  // A name the driver cannot hold is refused before anything is forgotten: the driver would turn
  // it down and keep its object, which the host must not lose.
  if (name.empty() || name.size() > kMaxPortName) return false;
  // The driver re-initialises its one object, whatever becomes of the creation.
  if (port_name_) {
    stack_.unregister_port(*port_name_);
    port_name_.reset();
  }
  std::optional<CreatedPort> created;
  exports_.call([&] { created = exports_.create_port(name.c_str(), iobase, irq, devnode); });
  if (!created || created->object == nullptr) return false;
  port_name_ = name;
  if (created->open_entry == nullptr) throw std::runtime_error("the port driver created " + name + " without an open entry");
  stack_.register_port(name, created->open_entry, exports_.call);
  return true;
}

const std::string& PortHost::port_name() const {
  static const std::string none;
  return port_name_ ? *port_name_ : none;
}

void PortHost::delete_all() {
  if (!port_name_) throw std::logic_error("there is no port to delete");
  exports_.call([&] { exports_.delete_all(); });
  stack_.unregister_port(*port_name_);
  port_name_.reset();
}

SerialStack::OpenResult PortHost::open(const std::string& name) {
  if (port_name_ == name) return stack_.open(name);
  if (port_open()) return {nullptr, IE_OPEN};
  if (!create_port(name)) return {nullptr, IE_HARDWARE};
  return stack_.open(name);
}

void PortHost::shut_down() {
  if (port_name_) delete_all();
}

bool PortHost::port_open() const { return port_name_ && stack_.is_open(*port_name_); }

}  // namespace vcomm
