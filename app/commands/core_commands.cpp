// sleep, expect-log and the registry commands.
#include <string>

#include "app/commands/commands.h"
#include "app/script/format.h"
#include "app/script/script_error.h"
#include "app/script/session.h"
#include "app/script/values.h"
#include "machine/machine.h"

namespace app {
namespace {

Action sleep_command(Session& session, Arguments& args) {
  const sim::VTime duration = parse_duration(args.positional(0, "duration"));
  return [&session, duration] {
    machine::Machine& m = session.machine();
    m.advance(duration);
    return "t=" + std::to_string(sim::to_milliseconds(m.scheduler().now()));
  };
}

Action expect_log_command(Session& session, Arguments& args) {
  std::string text;
  for (const std::string& word : args.all_words()) text += (text.empty() ? "" : " ") + parse_text(word);
  if (text.empty()) throw ScriptError("missing text to look for");
  return [&session, text]() -> std::string {
    const kernel::DebugLog& log = session.machine().kernel().log();
    const std::size_t from = session.log_cursor;
    session.log_cursor = log.size();
    if (log.find(text, from) == kernel::DebugLog::npos) {
      throw ExpectationFailed("not found",
                              "no debug-log line since the previous expect-log contains " + quote(text));
    }
    return "ok";
  };
}

// Keys are written below HKEY_LOCAL_MACHINE.
std::string machine_key(Arguments& args) {
  const std::string key = parse_text(args.positional(1, "registry key"));
  return key.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + key;
}

std::string show_value(const registry::Value& value) {
  switch (value.type) {
    case registry::Type::Sz: return "sz " + quote(value.as_string().value_or(""));
    case registry::Type::ExpandSz: return "expand_sz " + quote(value.as_string().value_or(""));
    case registry::Type::Dword:
      if (const auto v = value.as_dword()) return "dword " + hex(*v);
      break;
    case registry::Type::Binary: return "binary " + hex_data(value.data);
    default: break;
  }
  return "type " + std::to_string(static_cast<std::uint32_t>(value.type)) + " " + hex_data(value.data);
}

Action reg_set(Session& session, Arguments& args) {
  const std::string key = machine_key(args);
  const std::string name = parse_text(args.positional(2, "value name"));
  const std::size_t type = parse_choice(args.positional(3, "value type"), "value type", {"sz", "dword", "binary"});
  const std::string& word = args.positional(4, "value");
  registry::Value value;
  if (type == 0) value = registry::Value::string(parse_text(word));
  if (type == 1) value = registry::Value::dword(static_cast<std::uint32_t>(parse_number(word, UINT32_MAX)));
  if (type == 2) value = registry::Value::binary(parse_data(word, session.random()));
  return [&session, key, name, value] {
    if (!session.machine().registry().set(key, name, value)) {
      throw ScriptError("cannot write " + quote(name) + " in key " + quote(key) +
                        " (a key needs a valid path; a name holds no zero byte or line break)");
    }
    return std::string("ok");
  };
}

Action reg_get(Session& session, Arguments& args) {
  const std::string key = machine_key(args);
  const std::string name = parse_text(args.positional(2, "value name"));
  return [&session, key, name] {
    const auto value = session.machine().registry().get(key, name);
    return value ? show_value(*value) : std::string("missing");
  };
}

Action reg_keys(Session& session, Arguments& args) {
  const std::string key = machine_key(args);
  return [&session, key] {
    const auto keys = session.machine().registry().subkeys(key);
    if (!keys) return std::string("missing");
    std::string joined;
    for (const std::string& k : *keys) joined += (joined.empty() ? "" : ",") + k;
    return joined;
  };
}

Action reg_delete(Session& session, Arguments& args) {
  const std::string key = machine_key(args);
  return [&session, key] { return std::string(session.machine().registry().delete_key(key) ? "ok" : "missing"); };
}

Action reg_command(Session& session, Arguments& args) {
  static const std::vector<Verb> verbs = {
      {"set", reg_set}, {"get", reg_get}, {"keys", reg_keys}, {"delete", reg_delete}};
  return parse_verb(verbs, "reg", session, args);
}

}  // namespace

void add_core_commands(CommandTable& table) {
  table.add({"sleep", "sleep DURATION", sleep_command});
  table.add({"expect-log", "expect-log TEXT", expect_log_command});
  table.add({"reg", "reg set KEY NAME sz|dword|binary VALUE\nreg get KEY NAME\nreg keys KEY\nreg delete KEY",
             reg_command});
}

}  // namespace app
