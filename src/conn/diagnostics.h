// The one reader of ODBC diagnostics: it chooses the handle a command's
// diagnostics are read from and reads their first record.  Callers only
// decide what of it goes to the host; the common tail (capture_diagnostics)
// is here too, for the dispatcher and for a handler that must read a
// failure's record before a later call clears it.
#pragma once
#include "host/command.h"
#include "odbc_api.h"
#include "process_state.h"

namespace orv {

// The first diagnostic record of a handle.
struct DiagRecord {
    SQLCHAR sqlstate[6] = {};  // five characters and a NUL
    SQLINTEGER native = 0;
    SQLCHAR message[kMessageSize] = {};  // always terminated
};

// Reads record 1 of the handle `from` names for `slot`: with
// DiagSource::kMostSpecific its statement, else its connection, else the
// environment; with DiagSource::kConnection its connection, else the
// environment; with DiagSource::kEnvironment (or a null slot) the
// environment.  Returns the ODBC code of SQLGetDiagRec (SQL_NO_DATA when
// there is no record, SQL_INVALID_HANDLE when there is no handle at all);
// `record` is filled only when the code is a success.
SQLRETURN read_diagnostic(const ConnectionSlot* slot, DiagSource from,
                          DiagRecord& record);

// One diagnostic record with its whole message, in a block from orv_alloc
// that release_whole_record frees.
struct WholeRecord {
    SQLCHAR sqlstate[6] = {};
    SQLINTEGER native = 0;
    char* message = nullptr;  // terminated; null until read
    bool no_memory = false;   // the message could not be held
};

// Reads record `number` (1 = the first) of the handle `from` names for
// `slot` (chosen as read_diagnostic chooses it) with its whole message into
// `record`, and counts the records the handle answers into *count.
// Returns the code of SQLGetDiagRec (SQL_NO_DATA for a number of 0 or past
// the count), or SQL_ERROR when there is no handle or the message cannot
// be held (record.no_memory is then set); `record` is filled only on a
// success and freed with release_whole_record.
SQLRETURN read_whole_diagnostic(const ConnectionSlot* slot, DiagSource from,
                                SQLSMALLINT number, WholeRecord& record,
                                SQLSMALLINT* count);
void release_whole_record(WholeRecord& record);

// Stores the record's sqlstate into the header.
void store_sqlstate(Command& cmd, const DiagRecord& record);
// Stores the record's sqlstate and native_error into the header.
void store_diagnostic(Command& cmd, const DiagRecord& record);

// The common tail: reads the first diagnostic record of the most specific
// handle (the dispatch slot's statement, else its connection, else the
// environment; the handle cmd.diag_from names instead) into sqlstate
// and native_error ("?" when there is none); when native_error is then 0
// it receives rc.  For command 8 the message text also goes to argument 3.
void capture_diagnostics(Command& cmd, SQLRETURN rc);

// Keeps the statement's first diagnostic record in the slot, for the
// header and for command 3, before a call that clears it (putting a
// statement's bindings and attributes back).  Returns the record's native
// error, or `rc` when there is none.
int32_t keep_diagnostic(ConnectionSlot& slot, SQLRETURN rc);

// True when command 19 has asked the command running on `slot` to stop.
inline bool cancel_asked(const ConnectionSlot& slot) {
    return slot.cancel_asked.load(std::memory_order_relaxed);
}

// Ends a command that a cancel stopped between rows: status 2, sqlstate
// "HY008" ("Operation canceled"), native_error 0, and the same record kept
// for command 3.
void report_cancelled(Command& cmd, ConnectionSlot& slot);

}  // namespace orv
