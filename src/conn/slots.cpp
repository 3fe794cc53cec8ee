// The ODBC environment, the ten connection slots, and the commands that
// create and release the environment (1, 2; commands 4 and 7, which open
// and close a slot, are in stmt/open_slot.cpp, as the slot's column table
// and result cache belong to the statement code).
#include "conn/slots.h"

#include "host/handlers.h"
#include "host/hostio.h"
#include "memory.h"
#include "odbc_api.h"

namespace orv {

SQLRETURN ensure_statement(ConnectionSlot& slot) {
    if (slot.statement != nullptr) return SQL_SUCCESS;
    SQLHSTMT statement = nullptr;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, slot.connection, &statement);
    if (SQL_SUCCEEDED(rc)) slot.statement = statement;
    return rc;
}

int free_slot_number() {
    for (int n = 1; n <= kSlotCount; ++n)
        if (slot_at(n)->connection == nullptr) return n;
    return 0;
}

void forget_prepared(ConnectionSlot& slot) {
    orv_free(slot.prepared.text);
    slot.prepared = PreparedText{};
}

void release_slot(ConnectionSlot& slot) {
    forget_prepared(slot);
    orv_free(slot.param_work);
    slot.param_work = nullptr;
    slot.param_work_size = 0;
    if (slot.statement != nullptr) {
        SQLFreeHandle(SQL_HANDLE_STMT, slot.statement);
        slot.statement = nullptr;
    }
    if (slot.connection != nullptr) {
        // A driver that refuses to disconnect in the middle of a
        // transaction (SQLite's, 25000) would keep the connection and its
        // locks for the life of the process once the handle is dropped:
        // the work not committed is rolled back, as a server does when a
        // connection closes, and the disconnect is tried again.
        if (!SQL_SUCCEEDED(SQLDisconnect(slot.connection))) {
            SQLEndTran(SQL_HANDLE_DBC, slot.connection, SQL_ROLLBACK);
            SQLDisconnect(slot.connection);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, slot.connection);
        slot.connection = nullptr;
    }
}

// Command 1.  Allocates the environment and asks for ODBC 3 behaviour.  An
// existing environment is left as it is.  Forgets (without releasing) the
// handles of every slot: they belonged to an environment that is gone.
SQLRETURN run_alloc_env(Command& cmd) {
    if (EnvHandle != nullptr) return SQL_SUCCESS;
    for (ConnectionSlot& slot : SlotTable) {
        forget_prepared(slot);
        slot.connection = nullptr;
        slot.statement = nullptr;
    }
    SQLHENV env = nullptr;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    if (!SQL_SUCCEEDED(rc)) {
        // A failed call may still have left a handle carrying the reason.
        EnvHandle = env;
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    EnvHandle = env;
    rc = SQLSetEnvAttr(EnvHandle, SQL_ATTR_ODBC_VERSION,
                       reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(rc)) hdr_set_status(cmd, ORV_ODBC_ERROR);
    return rc;
}

// Command 2.  Releases the named slot's statement and connection (when
// `slot` names one), then the environment.  Release failures are not
// reported.  The named slot's connection is closed before it is released,
// so that the server session ends cleanly.
SQLRETURN run_free_env(Command& cmd) {
    if (cmd.slot != nullptr) release_slot(*cmd.slot);
    if (EnvHandle != nullptr) SQLFreeHandle(SQL_HANDLE_ENV, EnvHandle);
    EnvHandle = nullptr;
    cmd.slot = nullptr;
    return SQL_SUCCESS;
}

}  // namespace orv
