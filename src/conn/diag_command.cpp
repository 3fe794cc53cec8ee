// Command 3: deliver the message text of the first diagnostic record, or
// of any record whole.
#include "conn/diagnostics.h"
#include "host/handlers.h"
#include "host/hostio.h"

namespace orv {

namespace {

// Command 3 with ORV_DIAG_RECORD: record `number` of the most specific
// handle, with its sqlstate, native_error and whole message (PUT_STRING
// into argument 3 when the host passed one); `count` = the records the
// handle holds.  A number of 0 or past the count: sqlstate "?",
// native_error as the host passed it, nothing delivered.  Status 2, or 8
// when the message cannot be held.
SQLRETURN deliver_record(Command& cmd, SQLSMALLINT number) {
    WholeRecord record;
    SQLSMALLINT count = 0;
    SQLRETURN rc = read_whole_diagnostic(cmd.slot, DiagSource::kMostSpecific,
                                         number, record, &count);
    hdr_set_count(cmd, count);
    if (!SQL_SUCCEEDED(rc)) {
        if (record.no_memory) hdr_set_status(cmd, ORV_NO_MEMORY);
        hdr_set_sqlstate_unknown(cmd);
        return SQL_SUCCESS;
    }
    DiagRecord state;
    for (int i = 0; i < 6; ++i) state.sqlstate[i] = record.sqlstate[i];
    state.native = record.native;
    store_diagnostic(cmd, state);
    if (arg_count(cmd) >= 3) svc_put_string(cmd, 3, record.message, -1);
    release_whole_record(record);
    return SQL_SUCCESS;
}

}  // namespace

// Reads record 1 of the most specific handle of the named slot (its
// statement, else its connection, else the environment; the environment
// for slot 0 or a number that names no slot) into sqlstate and
// native_error, and hands the message to argument 3 with PUT_STRING when
// the host passed one (a host may call the command for sqlstate and
// native_error alone).  Without a record: sqlstate "?", native_error as
// the host passed it, nothing delivered.  The status is always 2.  With
// ORV_DIAG_RECORD in `subcode`, the record its low byte numbers instead
// (see deliver_record).
SQLRETURN run_diagnostics(Command& cmd) {
    hdr_set_status(cmd, ORV_ODBC_ERROR);
    if (hdr_subcode(cmd) & ORV_DIAG_RECORD)
        return deliver_record(cmd, hdr_subcode(cmd) & 0xFF);
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
