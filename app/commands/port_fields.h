// The fields of the serial driver's port object and of its port-data block by their documented
// names, for the field command.  Pointers are left out: their values change from run to run.
#pragma once

#include <cstdint>
#include <string_view>

namespace krlusb {
struct _OurPortData;
}

namespace app {

struct PortField {
  std::string_view name;
  std::uint64_t (*read)(const krlusb::_OurPortData& port);  // the field's bits, zero-extended
};

// Throws ScriptError listing the names when there is no field of that name.
const PortField& find_port_field(std::string_view name);
// The field of the driver's port object; throws ScriptError when there is none.
std::uint64_t read_port_field(const PortField& field);

}  // namespace app
