// Validation of a command, its dispatch to one handler, and the capture of
// ODBC diagnostics into the header block.
#pragma once
#include "host/command.h"

namespace orv {

// Validates the command code, the environment and the slot, runs the
// command's handler and, when the handler returns a code other than
// SQL_SUCCESS or reported a status through the capture, captures the
// diagnostics with that status, else with the code.  The header has passed the size
// rule and its result fields have been reset.  Sets cmd.slot.
void dispatch_command(Command& cmd);

// The common tail: reads the first diagnostic record of the most specific
// handle (the dispatch slot's statement, else its connection, else the
// environment; the handle cmd.diag_from names instead) into sqlstate
// and native_error ("?" when there is none); when native_error is then 0
// it receives rc.  For command 8 the message text also goes to argument 3.
void capture_diagnostics(Command& cmd, SQLRETURN rc);

}  // namespace orv
