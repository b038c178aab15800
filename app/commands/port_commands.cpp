// The COM port commands: what the port host does (createport, deleteall), the serial stack's open
// and close, and the port functions of line settings, events and notification.
#include <string>
#include <vector>

#include "app/commands/commands.h"
#include "app/commands/names.h"
#include "app/commands/port_fields.h"
#include "app/commands/port_ops.h"
#include "app/script/format.h"
#include "app/script/script_error.h"
#include "app/script/session.h"
#include "app/script/values.h"

namespace app {
namespace {

std::string show(const PortOutcome& o) {
  return o.result != 0 ? std::to_string(o.result) : "0 error=" + std::to_string(o.error);
}

ULONG number32(std::string_view word) { return static_cast<ULONG>(parse_number(word, UINT32_MAX)); }

std::string port_name(Arguments& args) { return chosen_name(args.positional(0, "port name"), "port name"); }

Action createport_command(Session& session, Arguments& args) {
  const std::string name = port_name(args);
  ULONG iobase = 0, irq = 0, devnode = 0;
  if (auto v = args.option("iobase")) iobase = number32(*v);
  if (auto v = args.option("irq")) irq = number32(*v);
  if (auto v = args.option("devnode")) devnode = number32(*v);
  return [&session, name, iobase, irq, devnode] {
    return std::string(create_port(session, name, iobase, irq, devnode) ? "ok" : "null");
  };
}

Action deleteall_command(Session& session, Arguments&) {
  return [&session] {
    delete_all(session);
    return std::string("ok");
  };
}

Action open_command(Session& session, Arguments& args) {
  const std::string name = port_name(args);
  return [&session, name] {
    const auto opened = open_port(session, name);
    return opened.port != nullptr ? std::string("ok") : "null error=" + std::to_string(opened.error);
  };
}

Action close_command(Session& session, Arguments&) {
  return [&session] { return show(close_port(session)); };
}

// setcommstate's options: each names one field of the line settings and its bit in the action
// mask.
struct DcbOption {
  std::string_view key;
  ULONG bit;
  std::uint64_t max;
  void (*set)(_DCB&, std::uint64_t);
};

// Characters are signed in the record; the script gives them as bytes (0x80 and up included).
CHAR character(std::uint64_t v) { return static_cast<CHAR>(static_cast<UCHAR>(v)); }

const std::vector<DcbOption>& dcb_options() {
  static const std::vector<DcbOption> options = {
      {"baud", fBaudRate, UINT32_MAX, [](_DCB& d, std::uint64_t v) { d.BaudRate = static_cast<ULONG>(v); }},
      {"bitmask", fBitMask, UINT32_MAX, [](_DCB& d, std::uint64_t v) { d.BitMask = static_cast<ULONG>(v); }},
      {"xonlim", fXonLim, UINT32_MAX, [](_DCB& d, std::uint64_t v) { d.XonLim = static_cast<ULONG>(v); }},
      {"xofflim", fXoffLim, UINT32_MAX, [](_DCB& d, std::uint64_t v) { d.XoffLim = static_cast<ULONG>(v); }},
      {"bytesize", fByteSize, UINT8_MAX, [](_DCB& d, std::uint64_t v) { d.ByteSize = static_cast<UCHAR>(v); }},
      {"parity", fbParity, UINT8_MAX, [](_DCB& d, std::uint64_t v) { d.Parity = static_cast<UCHAR>(v); }},
      {"stopbits", fStopBits, UINT8_MAX, [](_DCB& d, std::uint64_t v) { d.StopBits = static_cast<UCHAR>(v); }},
      {"xonchar", fXonChar, UINT8_MAX, [](_DCB& d, std::uint64_t v) { d.XonChar = character(v); }},
      {"xoffchar", fXoffChar, UINT8_MAX, [](_DCB& d, std::uint64_t v) { d.XoffChar = character(v); }},
      {"errorchar", fErrorChar, UINT8_MAX, [](_DCB& d, std::uint64_t v) { d.ErrorChar = character(v); }},
      {"eofchar", fEofChar, UINT8_MAX, [](_DCB& d, std::uint64_t v) { d.EofChar = character(v); }},
      {"evtchar1", fEvtChar1, UINT8_MAX, [](_DCB& d, std::uint64_t v) { d.EvtChar1 = character(v); }},
      {"evtchar2", fEvtChar2, UINT8_MAX, [](_DCB& d, std::uint64_t v) { d.EvtChar2 = character(v); }},
  };
  return options;
}

Action setcommstate_command(Session& session, Arguments& args) {
  struct Change {
    const DcbOption* option;
    std::uint64_t value;
  };
  std::vector<Change> changes;
  ULONG mask = 0;
  for (const DcbOption& option : dcb_options()) {
    if (auto v = args.option(option.key)) {
      changes.push_back({&option, parse_number(*v, option.max)});
      mask |= option.bit;
    }
  }
  if (auto v = args.option("mask")) mask = number32(*v);
  return [&session, changes, mask] {
    return show(with_port<PortOutcome>(session, "setcommstate", [changes, mask](vcomm::OpenPort& port) {
      // As an application's SetCommState reaches the port: the current settings, changed.
      _DCB dcb{};
      port.call(&_PortFunctions::pPortGetCommState, &dcb);
      for (const Change& c : changes) c.option->set(dcb, c.value);
      return outcome(port, port.call(&_PortFunctions::pPortSetCommState, &dcb, mask));
    }));
  };
}

std::string byte_hex(CHAR c) { return hex(static_cast<UCHAR>(c)); }

Action getcommstate_command(Session& session, Arguments&) {
  return [&session] {
    const _DCB d = with_port<_DCB>(session, "getcommstate", [](vcomm::OpenPort& port) {
      _DCB dcb{};
      port.call(&_PortFunctions::pPortGetCommState, &dcb);
      return dcb;
    });
    return "baud=" + std::to_string(d.BaudRate) + " bitmask=" + hex(d.BitMask) + " xonlim=" + std::to_string(d.XonLim) +
           " xofflim=" + std::to_string(d.XoffLim) + " bytesize=" + std::to_string(d.ByteSize) +
           " parity=" + std::to_string(d.Parity) + " stopbits=" + std::to_string(d.StopBits) +
           " xonchar=" + byte_hex(d.XonChar) + " xoffchar=" + byte_hex(d.XoffChar);
  };
}

Action eventmask_command(Session& session, Arguments& args) {
  const ULONG mask = number32(args.positional(0, "event mask"));
  return [&session, mask] {
    return show(with_port<PortOutcome>(session, "eventmask", [mask](vcomm::OpenPort& port) {
      // The port's own event word, as the stack names it.
      return outcome(port, port.call(&_PortFunctions::pPortSetEventMask, mask, &port.block()->dwDetectedEvents));
    }));
  };
}

Action events_command(Session& session, Arguments& args) {
  ULONG clear = 0;
  if (auto v = args.option("clear")) clear = number32(*v);
  return [&session, clear] {
    return hex8(with_port<ULONG>(session, "events", [clear](vcomm::OpenPort& port) {
      ULONG events = 0;
      port.call(&_PortFunctions::pPortGetEventMask, clear, &events);
      return events;
    }));
  };
}

Action notify_command(Session& session, Arguments& args) {
  const bool on = parse_choice(args.positional(0, "on or off"), "notify setting", {"on", "off"}) == 0;
  return [&session, on] {
    const ULONG reference = port_session(session).recorder.reference();
    return show(with_port<PortOutcome>(session, "notify", [on, reference](vcomm::OpenPort& port) {
      const PortNotifyProc callback = on ? &vcomm::NotificationRecorder::callback : nullptr;
      return outcome(port, port.call(&_PortFunctions::pPortEnableNotification, callback, on ? reference : 0));
    }));
  };
}

// readcallback and writecallback: a trigger with the recorder, or off (no callback).
template <auto Slot>
Action callback_command(Session& session, Arguments& args, std::string_view what) {
  const std::string& word = args.positional(0, "trigger (a number, or off)");
  const bool on = word != "off";
  const ULONG trigger = on ? number32(word) : 0xFFFFFFFF;
  return [&session, what = std::string(what), on, trigger] {
    const ULONG reference = port_session(session).recorder.reference();
    return show(with_port<PortOutcome>(session, what, [on, trigger, reference](vcomm::OpenPort& port) {
      const PortNotifyProc callback = on ? &vcomm::NotificationRecorder::callback : nullptr;
      return outcome(port, port.call(Slot, trigger, callback, on ? reference : 0));
    }));
  };
}

Action readcallback_command(Session& session, Arguments& args) {
  return callback_command<&_PortFunctions::pPortSetReadCallBack>(session, args, "readcallback");
}

Action writecallback_command(Session& session, Arguments& args) {
  return callback_command<&_PortFunctions::pPortSetWriteCallBack>(session, args, "writecallback");
}

std::string notification_name(ULONG code) {
  switch (code) {
    case CN_RECEIVE: return "rx";
    case CN_TRANSMIT: return "tx";
    case CN_EVENT: return "ev";
    default: return "code" + std::to_string(code);
  }
}

Action notifications_command(Session& session, Arguments&) {
  return [&session] {
    session.machine();
    std::string shown;
    for (const vcomm::Notification& n : port_session(session).recorder.take()) {
      shown += (shown.empty() ? "" : " ") + notification_name(n.code) + "(" + hex8(n.events) + ")";
    }
    return shown;
  };
}

Action field_command(Session& session, Arguments& args) {
  const std::string name = parse_text(args.positional(0, "field name"));
  const PortField& field = find_port_field(name);
  return [&session, &field] {
    session.machine();
    return std::string(field.name) + "=" + hex(read_port_field(field));
  };
}

}  // namespace

void add_port_commands(CommandTable& table) {
  table.add({"createport", "createport NAME [iobase=N] [irq=N] [devnode=N]", createport_command});
  table.add({"deleteall", "deleteall", deleteall_command});
  table.add({"open", "open NAME", open_command});
  table.add({"close", "close", close_command});
  table.add({"setcommstate",
             "setcommstate [baud=N] [bitmask=N] [xonlim=N] [xofflim=N] [bytesize=N] [parity=N] [stopbits=N]\n"
             "             [xonchar=N] [xoffchar=N] [errorchar=N] [eofchar=N] [evtchar1=N] [evtchar2=N] [mask=N]",
             setcommstate_command});
  table.add({"getcommstate", "getcommstate", getcommstate_command});
  table.add({"eventmask", "eventmask MASK", eventmask_command});
  table.add({"events", "events [clear=MASK]", events_command});
  table.add({"notify", "notify on|off", notify_command});
  table.add({"readcallback", "readcallback TRIGGER|off", readcallback_command});
  table.add({"writecallback", "writecallback TRIGGER|off", writecallback_command});
  table.add({"notifications", "notifications", notifications_command});
  table.add({"field", "field NAME", field_command});
}

}  // namespace app
