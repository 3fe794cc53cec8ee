// The ODBC environment, the ten connection slots, and the commands that
// create and release the environment (1, 2; commands 4 and 7, which open
// and close a slot, are in stmt/open_slot.cpp, as the slot's column table
// and result cache belong to the statement code).
#include "conn/slots.h"

#include <string_view>

#include "host/handlers.h"
#include "host/hostio.h"
#include "memory.h"
#include "odbc_api.h"

namespace orv {

void set_connection(ConnectionSlot& slot, SQLHDBC connection) {
    take(slot.guard);
    slot.connection = connection;
    give_back(slot.guard);
}

void set_statement(ConnectionSlot& slot, SQLHSTMT statement) {
    take(slot.guard);
    slot.statement = statement;
    give_back(slot.guard);
}

void free_statement(ConnectionSlot& slot) {
    take(slot.guard);
    SQLFreeHandle(SQL_HANDLE_STMT, slot.statement);
    slot.statement = nullptr;
    give_back(slot.guard);
}

SQLRETURN ensure_statement(ConnectionSlot& slot) {
    if (slot.statement != nullptr) return SQL_SUCCESS;
    SQLHSTMT statement = nullptr;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, slot.connection, &statement);
    if (SQL_SUCCEEDED(rc)) set_statement(slot, statement);
    return rc;
}

int take_free_slot() {
    for (int n = 1; n <= kSlotCount; ++n) {
        ConnectionSlot& slot = *slot_at(n);
        if (held_by_this_thread(slot.lock) || !try_take(slot.lock)) continue;
        if (slot.connection == nullptr) return n;
        give_back(slot.lock);
    }
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
    if (slot.statement != nullptr) free_statement(slot);
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
        set_connection(slot, nullptr);
    }
}

// Command 1.  Allocates the environment and asks for ODBC 3 behaviour.  An
// existing environment is left as it is.  Forgets (without releasing) the
// handles of every slot: they belonged to an environment that is gone.
// Runs holding every lock (or, when the environment exists, none).
SQLRETURN run_alloc_env(Command& cmd) {
    if (env_handle() != nullptr) return SQL_SUCCESS;
    for (ConnectionSlot& slot : SlotTable) {
        forget_prepared(slot);
        set_statement(slot, nullptr);
        set_connection(slot, nullptr);
    }
    SQLHENV env = nullptr;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    // A failed call may still have left a handle carrying the reason.
    EnvHandle.store(env, std::memory_order_release);
    if (!SQL_SUCCEEDED(rc)) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    rc = SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION,
                       reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(rc)) hdr_set_status(cmd, ORV_ODBC_ERROR);
    return rc;
}

// Command 2.  Releases every slot's statement and connection, then the
// environment, which the driver manager frees only once no connection is
// left on it.  Runs holding every lock, so running calls on other threads
// have ended first.  Release failures are not reported.  Connections are
// closed before they are released, so that server sessions end cleanly.
SQLRETURN run_free_env(Command& cmd) {
    for (ConnectionSlot& slot : SlotTable) release_slot(slot);
    const SQLHENV env = env_handle();
    if (env != nullptr) SQLFreeHandle(SQL_HANDLE_ENV, env);
    EnvHandle.store(nullptr, std::memory_order_release);
    cmd.slot = nullptr;
    return SQL_SUCCESS;
}

}  // namespace orv
