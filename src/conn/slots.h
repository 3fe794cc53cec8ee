// The process-wide ODBC environment and the table of ten connection slots.
#pragma once
#include <cstddef>
#include <cstdint>

#include "host/command.h"
#include "odbc_api.h"

namespace orv {

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
};

// The environment handle; null until command 1.
SQLHENV env_handle();
// Slot number n (1..10), or nullptr for any other number.
ConnectionSlot* slot_at(int n);

// The number of the first free slot, 0 when all ten are in use.
int free_slot_number();

// Releases the slot's statement, then disconnects and releases its
// connection, whatever the driver answers; the slot is free afterwards.
// The column table and row buffer stay with the slot for its next use.
void release_slot(ConnectionSlot& slot);

// Creates the slot's statement handle when it has none.  Returns the ODBC
// code of the allocation (SQL_SUCCESS when a statement already existed).
SQLRETURN ensure_statement(ConnectionSlot& slot);

}  // namespace orv
