#include "app/cli/help.h"

#include <string_view>

#include "app/commands/commands.h"

namespace app {

void print_help(std::ostream& out) {
  out << R"(krlbay - a simulated Windows 98 PC with the KRL USB device-bay adapter and its drivers.

Everything runs on a virtual clock: a scenario that waits for seconds finishes in milliseconds,
and the same seed always gives the same result.

Usage:
  krlbay demo [--log] [--machine DIR]
      Plugs two serial adapters into the default machine (COM5 from the registry, the other
      numbered by the port host), reads their USB descriptors through the driver, opens COM5
      and sets its line as an application would, and unplugs one, explaining each step.
  krlbay run [--log] [--usb] [--pcap FILE] [--seed N] [--machine DIR] FILE
      Runs a scenario script (FILE, or - for standard input) on a fresh machine.
        --log          show each line of the machine's debug log as "log: ..."
        --usb          show each completed USB transfer as "usb: ..."
        --pcap FILE    capture every USB transfer to FILE for a USB protocol analyzer
        --seed N       the scheduler's interleaving seed (default 1)
        --machine DIR  run on the machine in DIR (created if missing) and keep it
      Exit status: 0 when every expectation held, 1 at the first one that failed
      ("FAILED line N: ..."), 2 for a line it cannot carry out ("error line N: ...").
  krlbay help
      This text.

The default machine lives in $XDG_DATA_HOME/krlbay/default (or ~/.local/share/krlbay/default).

Scripts: one command a line, each printing one result line "WORD: result".  "#" starts a
comment outside quotes.  Arguments are bare words or key=value; numbers are decimal or 0x hex;
durations 250ms or 5s; data "text" (escapes \r \n \t \\ \" \xHH), hex:0A0B0C or random:N.
In names and registry keys a backslash is taken as written (only \\ and \" are escapes).
A line ending in "=> TEXT" fails the script unless its result line contains TEXT.

The script plays the port host (createport, deleteall) and the serial stack (open, close and the
port functions).  The port commands act on the port opened last, until deleteall or createport;
field reads the port object's fields by name (LCR, MCR, m_NfyFlags, QInCount, dwLastError, ...).

Commands:
)";
  const CommandTable table = script_commands();
  for (const Command& command : table.commands()) {
    std::string_view usage = command.usage;
    for (std::size_t end; (end = usage.find('\n')) != std::string_view::npos; usage.remove_prefix(end + 1)) {
      out << "  " << usage.substr(0, end) << '\n';
    }
    out << "  " << usage << '\n';
  }
  out << R"(
Example (krlbay run - <<'EOF' ... EOF):
  reg set "Enum\USB\VID_0C9E&PID_0200\INST1" PortNumber sz 5
  plug serial instance=INST1        => \Device\COMPORT001
  plug serial                       # no number in the registry: waits for one
  setcommport 6
  devices                           => COM5,COM6
  ioctl s1 0x222004 out=18          => status=0x00000000 info=18
  unplug s1
  devices                           => COM6
)";
}

}  // namespace app
