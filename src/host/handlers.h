// The command handlers, one per command code (see the command table in
// entry/dispatch.cpp).  Each is defined in the file of its concern.
#pragma once
#include "host/command.h"

namespace orv {

SQLRETURN run_alloc_env(Command& cmd);        // 1   conn/slots.cpp
SQLRETURN run_free_env(Command& cmd);         // 2   conn/slots.cpp
SQLRETURN run_diagnostics(Command& cmd);      // 3   conn/diag_command.cpp
SQLRETURN run_alloc_slot(Command& cmd);       // 4   stmt/open_slot.cpp
SQLRETURN run_connect(Command& cmd);          // 6   conn/connect.cpp
SQLRETURN run_disconnect(Command& cmd);       // 7   stmt/open_slot.cpp
SQLRETURN run_driver_info(Command& cmd);      // 8   conn/info.cpp
SQLRETURN run_execute(Command& cmd);          // 9   stmt/execute.cpp
SQLRETURN run_describe(Command& cmd);         // 10  stmt/execute.cpp
SQLRETURN run_import_columns(Command& cmd);   // 11  stmt/execute.cpp
SQLRETURN run_fetch_row(Command& cmd);        // 12  stmt/fetch_row.cpp
SQLRETURN run_reset_statement(Command& cmd);  // 13  stmt/execute.cpp
SQLRETURN run_get_conn_attr(Command& cmd);    // 14  conn/attributes.cpp
SQLRETURN run_set_conn_attr(Command& cmd);    // 15  conn/attributes.cpp
SQLRETURN run_get_stmt_attr(Command& cmd);    // 16  stmt/attributes.cpp
SQLRETURN run_set_stmt_attr(Command& cmd);    // 17  stmt/attributes.cpp
SQLRETURN run_list_sources(Command& cmd);     // 18  stmt/execute.cpp
SQLRETURN run_cancel(Command& cmd);           // 19  conn/cancel.cpp
SQLRETURN run_next_result(Command& cmd);      // 20  stmt/execute.cpp
SQLRETURN run_end_tran(Command& cmd);         // 21  conn/transaction.cpp
SQLRETURN run_execute_params(Command& cmd);   // 22  stmt/params.cpp
SQLRETURN run_fetch_block(Command& cmd);      // 25  stmt/fetch_block.cpp

}  // namespace orv
