// The process-wide ODBC environment and the table of ten connection slots.
#pragma once
#include <cstddef>
#include <cstdint>

#include "host/command.h"
#include "odbc_api.h"

namespace orv {

// One numbered connection.  A slot is free while `connection` is null.
struct ConnectionSlot {
    SQLHDBC connection = nullptr;   // allocated by command 4
    SQLHSTMT statement = nullptr;   // created on first use
    uint8_t* columns = nullptr;     // (column_capacity + 2) ColumnDesc records
    int32_t column_capacity = 0;    // column records the table holds
    uint8_t* row_buffer = nullptr;  // pairs record / row block
    std::size_t row_buffer_size = 0;
};

inline constexpr int32_t kInitialColumnCapacity = 32;

// The environment handle; null until command 1.
SQLHENV env_handle();
// Slot number n (1..10), or nullptr for any other number.
ConnectionSlot* slot_at(int n);

// The two preconditions of the commands that work on a result: argument 3
// is present (else status 3) and the slot holds a statement (else 14).
// Returns false, with the status set, when one of them fails.
bool have_argument_and_statement(Command& cmd);

// Creates the slot's statement handle when it has none.  Returns the ODBC
// code of the allocation (SQL_SUCCESS when a statement already existed).
SQLRETURN ensure_statement(ConnectionSlot& slot);

}  // namespace orv
