// Runs a script line by line: one result line per command, "FAILED line N: ..." at the first
// expectation that does not hold, "error line N: ..." at the first line it cannot carry out.
#pragma once

#include <istream>
#include <ostream>

#include "app/script/command_table.h"

namespace app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitError = 2;

// Returns the exit status: kExitOk, kExitFailed or kExitError.
int run_script(std::istream& script, const CommandTable& commands, Session& session, std::ostream& out);

}  // namespace app
