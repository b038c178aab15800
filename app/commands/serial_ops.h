// What the runner and the demo do with serial adapters, each as one call: plug, unplug, PnP,
// device I/O control, the driver's device list and the COM number hand-off.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"

namespace app {

class Session;

// Plugs an adapter (its name defaults to s1, s2, ...); throws ScriptError for a name in use.
machine::PluggedSerialAdapter& plug_serial(Session& session, machine::SerialAdapterOptions options);
machine::PluggedSerialAdapter& find_serial(Session& session, std::string_view name);
// "\Device\COMPORT001": the driver's device object on top of the adapter's stack; empty once a
// removal request took the stack away.
std::string device_object_name(Session& session, const machine::PluggedSerialAdapter& adapter);
NTSTATUS unplug_serial(Session& session, std::string_view name);
NTSTATUS pnp_request(Session& session, std::string_view name, UCHAR minor);
kernel::IoResult io_control(Session& session, std::string_view name, ULONG code, std::span<const std::uint8_t> input,
                            ULONG output_length);
// The port names of the driver's USB serial device list, in order ("COM5").
std::vector<std::string> usb_serial_devices(Session& session);
// Gives the decimal COM number to the oldest adapter waiting for one.
void set_comm_port(Session& session, unsigned com_number);

// The I/O-control codes of the serial driver's device objects.
inline constexpr ULONG kIoctlGetPipeInfo = 0x222000;
inline constexpr ULONG kIoctlGetDeviceDescriptor = 0x222004;
inline constexpr ULONG kIoctlGetConfigDescriptor = 0x222008;
inline constexpr ULONG kIoctlBulkOrInterruptWrite = 0x22200C;
inline constexpr ULONG kIoctlBulkOrInterruptRead = 0x222010;

}  // namespace app
