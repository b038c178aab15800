// Runs a command's work on a simulated thread of the machine, as the system's own callers would,
// with a limit of virtual time so that a command that never finishes cannot hang the runner.
//
// A thread that misses the limit stays blocked, and may still run to its end later, when the
// machine's shutdown completes what it waits for.  So the work must capture by value whatever it
// uses, and hands its result back through compute_on_machine rather than through a reference.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/sim/time.h"

namespace app {

class Session;

inline constexpr sim::VTime kCommandTimeLimit = sim::seconds(30);

// Rethrows what `body` threw (machine::Refused as ScriptError); throws ScriptError("WHAT did not
// finish within 30s of virtual time") when the thread is still blocked at the limit.
void run_on_machine(Session& session, std::string_view what, std::function<void()> body,
                    sim::VTime limit = kCommandTimeLimit);

template <typename Result>
Result compute_on_machine(Session& session, std::string_view what, std::function<Result()> body,
                          sim::VTime limit = kCommandTimeLimit) {
  auto result = std::make_shared<std::optional<Result>>();
  run_on_machine(session, what, [body = std::move(body), result] { result->emplace(body()); }, limit);
  return std::move(**result);
}

}  // namespace app
