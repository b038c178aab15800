#include "app/script/session.h"

#include "app/script/script_error.h"

namespace app {

machine::Machine& Session::machine() {
  if (machine_ == nullptr) throw ScriptError("this command needs a machine");
  return *machine_;
}

}  // namespace app
