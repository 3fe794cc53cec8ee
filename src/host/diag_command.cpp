// Command 3: deliver the message text of the first diagnostic record.
#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"

namespace orv {

// Reads record 1 of the most specific handle of the named slot (its
// statement, else its connection, else the environment; the environment
// for slot 0 or a number that names no slot) into sqlstate and
// native_error, and hands the message to argument 3 with PUT_STRING when
// the host passed one (a host may call the command for sqlstate and
// native_error alone).  Without a record: sqlstate "?", native_error as
// the host passed it, nothing delivered.  The status is always 2.
SQLRETURN run_diagnostics(Command& cmd) {
    SQLSMALLINT type = SQL_HANDLE_ENV;
    SQLHANDLE handle = env_handle();
    if (ConnectionSlot* slot = cmd.slot) {
        if (slot->statement != nullptr) {
            type = SQL_HANDLE_STMT;
            handle = slot->statement;
        } else if (slot->connection != nullptr) {
            type = SQL_HANDLE_DBC;
            handle = slot->connection;
        }
    }
    hdr_set_status(cmd, ORV_ODBC_ERROR);
    SQLINTEGER native = 0;
    SQLCHAR message[kMessageSize] = {};
    SQLSMALLINT message_length = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, 1, hdr_sqlstate(cmd), &native,
                                 message, kMessageSize, &message_length);
    if (!SQL_SUCCEEDED(rc)) {
        hdr_set_sqlstate_unknown(cmd);
        return SQL_SUCCESS;
    }
    message[kMessageSize - 1] = 0;
    hdr_set_native_error(cmd, native);
    if (arg_count(cmd) >= 3)
        svc_put_string(cmd, 3, reinterpret_cast<const char*>(message), -1);
    return SQL_SUCCESS;
}

}  // namespace orv
