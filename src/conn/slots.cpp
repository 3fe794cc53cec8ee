// The ODBC environment, the ten connection slots, and the commands that
// create and release them (1, 2, 4, 7).
#include "conn/slots.h"

#include <array>
#include <cstring>

#include "host/handlers.h"
#include "host/hostio.h"
#include "memory.h"
#include "odbc_api.h"
#include "stmt/columns.h"

namespace orv {

namespace {
SQLHENV EnvHandle = nullptr;
std::array<ConnectionSlot, kSlotCount> SlotTable{};
}  // namespace

SQLHENV env_handle() { return EnvHandle; }

ConnectionSlot* slot_at(int n) {
    if (n < 1 || n > kSlotCount) return nullptr;
    return &SlotTable[static_cast<std::size_t>(n - 1)];
}

SQLRETURN ensure_statement(ConnectionSlot& slot) {
    if (slot.statement != nullptr) return SQL_SUCCESS;
    SQLHSTMT statement = nullptr;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, slot.connection, &statement);
    if (SQL_SUCCEEDED(rc)) slot.statement = statement;
    return rc;
}

bool have_argument_and_statement(Command& cmd) {
    if (arg_count(cmd) < 3) {
        hdr_set_status(cmd, ORV_MISSING_ARG);
        return false;
    }
    if (cmd.slot->statement == nullptr) {
        hdr_set_status(cmd, ORV_NO_STATEMENT);
        return false;
    }
    return true;
}

// Command 1.  Allocates the environment and asks for ODBC 3 behaviour.  An
// existing environment is left as it is.  Forgets (without releasing) the
// handles of every slot: they belonged to an environment that is gone.
SQLRETURN run_alloc_env(Command& cmd) {
    if (EnvHandle != nullptr) return SQL_SUCCESS;
    for (ConnectionSlot& slot : SlotTable) {
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
    if (ConnectionSlot* slot = cmd.slot) {
        if (slot->statement != nullptr) {
            SQLFreeHandle(SQL_HANDLE_STMT, slot->statement);
            slot->statement = nullptr;
        }
        if (slot->connection != nullptr) {
            SQLDisconnect(slot->connection);
            SQLFreeHandle(SQL_HANDLE_DBC, slot->connection);
            slot->connection = nullptr;
        }
    }
    if (EnvHandle != nullptr) SQLFreeHandle(SQL_HANDLE_ENV, EnvHandle);
    EnvHandle = nullptr;
    cmd.slot = nullptr;
    return SQL_SUCCESS;
}

// Command 4.  Takes the first free slot, allocates its connection handle
// and a fresh zero-filled column table for 32 columns, and writes the slot
// number into the header.  When no slot is free: 7; when the column table
// cannot be had: 8, the slot stays free and the new handle is released.
SQLRETURN run_alloc_slot(Command& cmd) {
    hdr_set_slot(cmd, 0);
    int chosen = 0;
    for (int n = 1; n <= kSlotCount; ++n) {
        if (slot_at(n)->connection == nullptr) {
            chosen = n;
            break;
        }
    }
    if (chosen == 0) {
        hdr_set_status(cmd, ORV_NO_FREE_SLOT);
        return SQL_SUCCESS;
    }
    SQLHDBC connection = nullptr;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, EnvHandle, &connection);
    if (!SQL_SUCCEEDED(rc)) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    ConnectionSlot& slot = *slot_at(chosen);
    std::size_t bytes = (kInitialColumnCapacity + 2) * kColumnDescSize;
    auto* columns = static_cast<uint8_t*>(orv_alloc(bytes));
    if (columns == nullptr) {
        SQLFreeHandle(SQL_HANDLE_DBC, connection);
        hdr_set_status(cmd, ORV_NO_MEMORY);
        return rc;
    }
    std::memset(columns, 0, bytes);
    orv_free(slot.columns);
    slot.columns = columns;
    slot.column_capacity = kInitialColumnCapacity;
    slot.statement = nullptr;
    slot.connection = connection;
    hdr_set_slot(cmd, static_cast<uint8_t>(chosen));
    return rc;
}

// Command 7.  Releases the statement, disconnects and releases the
// connection; the slot is free afterwards whatever the driver answered.
// The column table and row buffer stay with the slot for its next use.
SQLRETURN run_disconnect(Command& cmd) {
    ConnectionSlot& slot = *cmd.slot;
    if (slot.statement != nullptr) {
        SQLFreeHandle(SQL_HANDLE_STMT, slot.statement);
        slot.statement = nullptr;
    }
    SQLDisconnect(slot.connection);
    SQLFreeHandle(SQL_HANDLE_DBC, slot.connection);
    slot.connection = nullptr;
    return SQL_SUCCESS;
}

}  // namespace orv
