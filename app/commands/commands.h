// The script commands, by group.  A new group adds its function here and to script_commands().
#pragma once

#include "app/script/command_table.h"

namespace app {

void add_core_commands(CommandTable& table);    // sleep, expect-log, reg
void add_serial_commands(CommandTable& table);  // plug, unplug, pnp, devices, setcommport, ioctl
void add_adapter_commands(CommandTable& table);  // adapter, line
// createport, deleteall, open, close, setcommstate, getcommstate, eventmask, events, notify,
// readcallback, writecallback, notifications, field
void add_port_commands(CommandTable& table);

// Every command the runner knows.
CommandTable script_commands();

}  // namespace app
