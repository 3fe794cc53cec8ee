// Command 3: deliver the message text of the first diagnostic record.
#include "conn/diagnostics.h"
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
    hdr_set_status(cmd, ORV_ODBC_ERROR);
    DiagRecord record;
    if (!SQL_SUCCEEDED(
            read_diagnostic(cmd.slot, DiagSource::kMostSpecific, record))) {
        hdr_set_sqlstate_unknown(cmd);
        return SQL_SUCCESS;
    }
    store_diagnostic(cmd, record);
    if (arg_count(cmd) >= 3)
        svc_put_string(cmd, 3, reinterpret_cast<const char*>(record.message),
                       -1);
    return SQL_SUCCESS;
}

}  // namespace orv
