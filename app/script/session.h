// What a script's commands share while it runs: the machine, the run's random bytes, the
// position of expect-log in the debug log and the COM port the port commands act on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "app/script/random.h"

namespace machine {
class Machine;
}

namespace app {

struct PortSession;  // app/commands/port_ops.h

class Session {
 public:
  Session(machine::Machine* machine, std::uint64_t seed) : machine_(machine), random_(seed), seed_(seed) {}

  // Throws ScriptError when the session runs without a machine.
  machine::Machine& machine();
  Random& random() { return random_; }
  std::uint64_t seed() const { return seed_; }

  // Index of the first debug-log line written after the previous expect-log.
  std::size_t log_cursor = 0;
  // Serial adapters plugged so far, for their default names s1, s2, ...
  unsigned serial_adapters_plugged = 0;
  // The COM port the port commands act on and their notification recorder; made on first use.
  std::shared_ptr<PortSession> port;

 private:
  machine::Machine* machine_;
  Random random_;
  std::uint64_t seed_;
};

}  // namespace app
