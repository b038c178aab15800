#include "app/commands/commands.h"

namespace app {

CommandTable script_commands() {
  CommandTable table;
  add_core_commands(table);
  add_serial_commands(table);
  add_adapter_commands(table);
  add_port_commands(table);
  return table;
}

}  // namespace app
