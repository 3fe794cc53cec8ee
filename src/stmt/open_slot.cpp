// Commands 4 and 7: open and close a connection slot.  They live with the
// statement code because the slot's column table and result cache, which
// they set up and forget, belong to it.
#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "odbc_api.h"
#include "stmt/columns.h"
#include "stmt/result_cache.h"

namespace orv {

namespace {

// Sets up slot `chosen`, whose lock the caller holds: its connection
// handle, a fresh column table; writes its number into the header.
SQLRETURN open_slot(Command& cmd, int chosen) {
    SQLHDBC connection = nullptr;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, env_handle(), &connection);
    if (!SQL_SUCCEEDED(rc)) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    ConnectionSlot& slot = *slot_at(chosen);
    if (!create_column_table(slot)) {
        SQLFreeHandle(SQL_HANDLE_DBC, connection);
        hdr_set_status(cmd, ORV_NO_MEMORY);
        return rc;
    }
    forget_result(slot);
    set_statement(slot, nullptr);
    set_connection(slot, connection);
    hdr_set_slot(cmd, static_cast<uint8_t>(chosen));
    return rc;
}

}  // namespace

// Command 4.  Takes the first free slot, allocates its connection handle
// and a fresh zero-filled column table for 32 columns, and writes the slot
// number into the header.  When no slot is free: 7; when the column table
// cannot be had: 8, the slot stays free and the new handle is released.
// Runs under ProcessLock, so two threads never choose the same slot.
SQLRETURN run_alloc_slot(Command& cmd) {
    hdr_set_slot(cmd, 0);
    const int chosen = take_free_slot();
    if (chosen == 0) {
        hdr_set_status(cmd, ORV_NO_FREE_SLOT);
        return SQL_SUCCESS;
    }
    const SQLRETURN rc = open_slot(cmd, chosen);
    give_back(slot_at(chosen)->lock);
    return rc;
}

// Command 7.  Releases the statement, disconnects and releases the
// connection; the slot is free afterwards whatever the driver answered.
// The column table and row buffer stay with the slot for its next use;
// its result cache is forgotten.
SQLRETURN run_disconnect(Command& cmd) {
    forget_result(*cmd.slot);
    release_slot(*cmd.slot);
    return SQL_SUCCESS;
}

}  // namespace orv
