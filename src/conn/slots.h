// The process-wide ODBC environment and the table of ten connection slots.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "host/command.h"
#include "odbc_api.h"

namespace orv {

// Counts the commands that may change what command 12 fetches from: every
// command but 12 itself moves it on (an execute, a close, a description
// imported by the host, a block fetch, a disconnect...).  A fetch plan
// made under one value is good only while the counter keeps it.
inline uint64_t CommandEpoch = 1;

// Columns whose name lengths a fetch plan keeps; the pairs layout measures
// the names of any further columns on every row.
inline constexpr int kPlanNamedColumns = 64;

// What command 12 decides once for the rows of one result and keeps across
// them, as long as no other command ran (epoch == CommandEpoch).
struct FetchPlan {
    uint64_t epoch = 0;   // CommandEpoch when made; 0: no plan
    int32_t columns = 0;  // the result's column count, described
    // Columns 1..widths_fixed of the table have a width other than 0 (the
    // per-argument layout gives width 0 the text width as it delivers).
    int32_t widths_fixed = 0;
    // The pairs layout's part, made on its first row for `pairs_subcode`.
    bool pairs = false;
    int16_t pairs_subcode = 0;
    std::size_t pairs_start = 0;  // the record's first size
    // Bytes of the row buffer from which on every byte is zero, as the
    // last pairs record left it; row_buffer_size when not known.
    std::size_t pairs_clean_from = 0;
    uint8_t name_length[kPlanNamedColumns] = {};
    uint8_t table_length[kPlanNamedColumns] = {};
};

// The SQL text the slot's statement was last prepared with (command 22),
// so that the same text runs again without another SQLPrepare.  Forgotten
// wherever the statement is replaced (an execution of other text) or
// freed.
struct PreparedText {
    char* text = nullptr;  // the connector's copy (orv_alloc), terminated
    std::size_t length = 0;
    SQLHSTMT statement = nullptr;  // the handle it was prepared on
    SQLSMALLINT markers = 0;       // its parameter markers (SQLNumParams)
};

// The first diagnostic record of a statement call whose records a later
// call of the same command cleared (putting bindings and attributes back
// clears a handle's records).  The diagnostic readers serve it while the
// statement has no record of its own, until the next command other than 3.
struct KeptDiagnostic {
    bool valid = false;
    SQLCHAR sqlstate[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[kMessageSize] = {};
};

// One numbered connection.  A slot is free while `connection` is null.
struct ConnectionSlot {
    SQLHDBC connection = nullptr;  // allocated by command 4
    SQLHSTMT statement = nullptr;  // created on first use
    // The column table, made and sized by stmt/columns: (column_capacity
    // + 2) ColumnDesc records.
    uint8_t* columns = nullptr;
    int32_t column_capacity = 0;
    uint8_t* row_buffer = nullptr;  // pairs record / row block
    std::size_t row_buffer_size = 0;
    FetchPlan plan;  // command 12's, for the current result
    PreparedText prepared;
    KeptDiagnostic kept;
};

// The environment handle; null until command 1.
// The environment and the slots, read by every command.
inline SQLHENV EnvHandle = nullptr;
inline std::array<ConnectionSlot, kSlotCount> SlotTable{};

inline SQLHENV env_handle() { return EnvHandle; }
// Slot number n (1..10), or nullptr for any other number.
inline ConnectionSlot* slot_at(int n) {
    if (n < 1 || n > kSlotCount) return nullptr;
    return &SlotTable[static_cast<std::size_t>(n - 1)];
}

// The number of the first free slot, 0 when all ten are in use.
int free_slot_number();

// Releases the slot's statement, then disconnects and releases its
// connection, whatever the driver answers; the slot is free afterwards.
// The column table and row buffer stay with the slot for its next use.
void release_slot(ConnectionSlot& slot);

// Forgets the slot's prepared text (its statement was replaced or freed).
void forget_prepared(ConnectionSlot& slot);

// Creates the slot's statement handle when it has none.  Returns the ODBC
// code of the allocation (SQL_SUCCESS when a statement already existed).
SQLRETURN ensure_statement(ConnectionSlot& slot);

}  // namespace orv
