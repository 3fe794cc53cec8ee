#include "conn/diagnostics.h"

#include <cstdint>
#include <cstring>

#include "conn/slots.h"
#include "host/hostio.h"
#include "memory.h"

namespace orv {

namespace {

// The handle `from` names for `slot`, with its type; nullptr when none.
SQLHANDLE diagnostic_handle(const ConnectionSlot* slot, DiagSource from,
                            SQLSMALLINT* type) {
    if (from != DiagSource::kEnvironment && slot != nullptr) {
        if (slot->statement != nullptr && from == DiagSource::kMostSpecific) {
            *type = SQL_HANDLE_STMT;
            return slot->statement;
        }
        if (slot->connection != nullptr) {
            *type = SQL_HANDLE_DBC;
            return slot->connection;
        }
    }
    *type = SQL_HANDLE_ENV;
    return env_handle();
}

}  // namespace

SQLRETURN read_diagnostic(const ConnectionSlot* slot, DiagSource from,
                          DiagRecord& record) {
    SQLSMALLINT type = SQL_HANDLE_ENV;
    SQLHANDLE handle = diagnostic_handle(slot, from, &type);
    if (handle == nullptr) return SQL_INVALID_HANDLE;
    DiagRecord r;
    SQLSMALLINT message_length = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, 1, r.sqlstate, &r.native,
                                 r.message, kMessageSize, &message_length);
    // Keep "no handle" apart from an answer about a handle.
    if (rc == SQL_INVALID_HANDLE) return SQL_ERROR;
    if (rc == SQL_NO_DATA && type == SQL_HANDLE_STMT && slot->kept.valid) {
        std::memcpy(r.sqlstate, slot->kept.sqlstate, sizeof r.sqlstate);
        r.native = slot->kept.native;
        std::memcpy(r.message, slot->kept.message, sizeof r.message);
        rc = SQL_SUCCESS;
    }
    if (!SQL_SUCCEEDED(rc)) return rc;
    r.sqlstate[5] = 0;
    r.message[kMessageSize - 1] = 0;
    record = r;
    return rc;
}

SQLRETURN read_whole_diagnostic(const ConnectionSlot* slot, DiagSource from,
                                SQLSMALLINT number, WholeRecord& record,
                                SQLSMALLINT* count) {
    *count = 0;
    SQLSMALLINT type = SQL_HANDLE_ENV;
    SQLHANDLE handle = diagnostic_handle(slot, from, &type);
    if (handle == nullptr) return SQL_ERROR;
    // Buffer lengths are 16-bit: no message is longer than this.  One
    // buffer of that size serves every request, because a driver may cut a
    // long message into records of the size the first request offered
    // (PostgreSQL's does, and reports each piece as whole), taking a new
    // size from a request for record 1 only; and its SQL_DIAG_NUMBER need
    // not agree with the records it answers, so they are counted.
    constexpr SQLSMALLINT kLargest = INT16_MAX;
    WholeRecord r;
    r.message = static_cast<char*>(orv_alloc(kLargest));
    if (r.message == nullptr) {
        record.no_memory = true;
        return SQL_ERROR;
    }
    auto* text = reinterpret_cast<SQLCHAR*>(r.message);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQL_NO_DATA;
    for (SQLSMALLINT k = 1; k < kLargest; ++k) {
        if (!SQL_SUCCEEDED(SQLGetDiagRec(type, handle, k, r.sqlstate, &r.native,
                                         text, kLargest, &length)))
            break;
        *count = k;
    }
    if (number >= 1 && number <= *count) {
        rc = SQLGetDiagRec(type, handle, number, r.sqlstate, &r.native, text,
                           kLargest, &length);
    } else if (*count == 0 && type == SQL_HANDLE_STMT && slot->kept.valid) {
        // The record kept for the statement, as read_diagnostic serves it.
        *count = 1;
        if (number == 1) {
            std::memcpy(r.sqlstate, slot->kept.sqlstate, sizeof r.sqlstate);
            r.native = slot->kept.native;
            std::memcpy(r.message, slot->kept.message,
                        sizeof slot->kept.message);
            rc = SQL_SUCCESS;
        }
    }
    if (!SQL_SUCCEEDED(rc)) {
        release_whole_record(r);
        return rc == SQL_INVALID_HANDLE ? SQL_ERROR : rc;
    }
    r.message[kLargest - 1] = 0;
    r.sqlstate[5] = 0;
    record = r;
    return rc;
}

void release_whole_record(WholeRecord& record) {
    orv_free(record.message);
    record.message = nullptr;
}

void store_sqlstate(Command& cmd, const DiagRecord& record) {
    char state[6];
    for (int i = 0; i < 6; ++i)
        state[i] = static_cast<char>(record.sqlstate[i]);
    hdr_set_sqlstate(cmd, state);
}

void store_diagnostic(Command& cmd, const DiagRecord& record) {
    store_sqlstate(cmd, record);
    hdr_set_native_error(cmd, record.native);
}

void capture_diagnostics(Command& cmd, SQLRETURN rc) {
    DiagRecord record;
    SQLRETURN r = read_diagnostic(cmd.slot, cmd.diag_from, record);
    if (r == SQL_INVALID_HANDLE) {
        // No handle to read from: nothing but the code below.
    } else if (!SQL_SUCCEEDED(r)) {
        hdr_set_sqlstate_unknown(cmd);
    } else {
        store_diagnostic(cmd, record);
        if (cmd.code == ORV_CMD_DRIVER_INFO && arg_count(cmd) > 2)
            arg_write_text(arg(cmd, 3),
                           reinterpret_cast<const char*>(record.message));
    }
    if (hdr_native_error(cmd) == 0) hdr_set_native_error(cmd, rc);
}

int32_t keep_diagnostic(ConnectionSlot& slot, SQLRETURN rc) {
    DiagRecord record;
    slot.kept.valid = false;
    if (read_diagnostic(&slot, DiagSource::kMostSpecific, record) !=
        SQL_SUCCESS)
        return rc;
    KeptDiagnostic& k = slot.kept;
    std::memcpy(k.sqlstate, record.sqlstate, sizeof k.sqlstate);
    k.native = record.native;
    std::memcpy(k.message, record.message, sizeof k.message);
    k.valid = true;
    return record.native != 0 ? record.native : rc;
}

void report_cancelled(Command& cmd, ConnectionSlot& slot) {
    static constexpr char kState[6] = "HY008";
    static constexpr char kMessage[] = "Operation canceled";
    KeptDiagnostic& k = slot.kept;
    std::memcpy(k.sqlstate, kState, sizeof kState);
    k.native = 0;
    std::memcpy(k.message, kMessage, sizeof kMessage);
    k.valid = true;
    hdr_set_status(cmd, ORV_ODBC_ERROR);
    hdr_set_sqlstate(cmd, kState);
    hdr_set_native_error(cmd, 0);
}

}  // namespace orv
