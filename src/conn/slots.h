// Access to the environment and the ten connection slots (defined with the
// rest of the connector's state in process_state.h).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "host/command.h"
#include "odbc_api.h"
#include "process_state.h"

namespace orv {

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
