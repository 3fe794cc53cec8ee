// Command 21: end the transaction of a slot's connection.
#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "odbc_api.h"

namespace orv {

// Command 21.  `subcode` 0 commits, 1 rolls back the work done on the
// slot's connection since its last end (SQLEndTran); any other value is
// status 11 with no driver call.  Status 2 when the driver refuses, with
// the connection's diagnostics; a warning is captured with status 0.  With
// autocommit on there is nothing to end and drivers answer success.
SQLRETURN run_end_tran(Command& cmd) {
    const int16_t mode = hdr_subcode(cmd);
    if (mode != 0 && mode != 1) {
        hdr_set_status(cmd, ORV_UNSUPPORTED);
        return SQL_SUCCESS;
    }
    cmd.diag_from = DiagSource::kConnection;
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, cmd.slot->connection,
                              mode == 0 ? SQL_COMMIT : SQL_ROLLBACK);
    if (!SQL_SUCCEEDED(rc)) hdr_set_status(cmd, ORV_ODBC_ERROR);
    return rc;
}

}  // namespace orv
