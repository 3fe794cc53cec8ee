// The process-wide ODBC environment and the table of ten connection slots.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "host/command.h"
#include "odbc_api.h"

namespace orv {

// The retrieval buffer through which stmt/columns reads column values:
// created on first use, grows to the largest value read, kept for the life
// of the process.  A call made from inside a callback reads through one of
// its own (see entry/dispatch.cpp), so that it never moves the bytes the
// running command holds.
struct DataBufferState {
    uint8_t* buffer = nullptr;
    SQLLEN capacity = 0;
};
inline DataBufferState DataBuffer;

// Commands in progress: 0 between calls, 1 while a command runs, more
// while a call made from inside one of its callbacks runs.
inline int CommandsRunning = 0;

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
    // A command on this slot is running (a call from inside its callbacks
    // may not work on the slot).
    bool running = false;
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

// Creates the slot's statement handle when it has none.  Returns the ODBC
// code of the allocation (SQL_SUCCESS when a statement already existed).
SQLRETURN ensure_statement(ConnectionSlot& slot);

}  // namespace orv
