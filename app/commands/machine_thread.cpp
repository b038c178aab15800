#include "app/commands/machine_thread.h"

#include <exception>
#include <memory>
#include <string>

#include "app/script/script_error.h"
#include "app/script/session.h"
#include "machine/machine.h"

namespace app {

void run_on_machine(Session& session, std::string_view what, std::function<void()> body, sim::VTime limit) {
  // Shared with the thread: a thread that misses the limit stays blocked until the machine shuts
  // down, after this frame is gone.
  auto failure = std::make_shared<std::exception_ptr>();
  const bool finished = session.machine().run(what, [body = std::move(body), failure] {
    try {
      body();
    } catch (const sim::ThreadKilled&) {
      throw;
    } catch (...) {
      *failure = std::current_exception();
    }
  }, limit);
  if (!finished) {
    throw ScriptError(std::string(what) + " did not finish within " + std::to_string(sim::to_milliseconds(limit) / 1000) +
                      "s of virtual time");
  }
  if (!*failure) return;
  try {
    std::rethrow_exception(*failure);
  } catch (const machine::Refused& refused) {
    throw ScriptError(refused.what());  // the script asked for something the machine does not do
  }
}

}  // namespace app
