// Validation of a command and its dispatch to one handler; the capture of
// ODBC diagnostics it runs afterwards is conn/diagnostics.h's.
#pragma once
#include "host/command.h"

namespace orv {

// Validates the command code, the environment and the slot, runs the
// command's handler and, when the handler returns a code other than
// SQL_SUCCESS or reported a status through the capture, captures the
// diagnostics with that status, else with the code.  The header has passed the
// size rule and its result fields have been reset.  Sets cmd.slot.
void dispatch_command(Command& cmd);

}  // namespace orv
