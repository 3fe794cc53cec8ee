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

inline SQLHENV env_handle() {
    return EnvHandle.load(std::memory_order_acquire);
}
// Slot number n (1..10), or nullptr for any other number.
inline ConnectionSlot* slot_at(int n) {
    if (n < 1 || n > kSlotCount) return nullptr;
    return &SlotTable[static_cast<std::size_t>(n - 1)];
}

// Takes the lock of the first free slot the calling thread can have at
// once (a slot whose lock another thread holds is passed over), and
// returns its number; 0 when none is free.  The caller holds ProcessLock
// and gives the slot's lock back.
int take_free_slot();

// Sets the slot's connection or statement handle, under its guard.
void set_connection(ConnectionSlot& slot, SQLHDBC connection);
void set_statement(ConnectionSlot& slot, SQLHSTMT statement);

// Frees the slot's statement handle (it has one) and forgets it.
void free_statement(ConnectionSlot& slot);

// Sets ConnectionSlot::executing.  Clearing it waits for a command 19
// that saw it set to give back the guard, so that no SQLCancel is still
// running when the caller goes on with the statement: command 19 marks the
// slot cancelled before it looks at `executing`, both in sequential
// order, so either it sees the mark cleared or this sees it cancelled.
inline void set_executing(ConnectionSlot& slot, bool executing) {
    slot.executing.store(executing);
    if (!executing && slot.cancel_asked.load()) {
        take(slot.guard);
        give_back(slot.guard);
    }
}

// Runs `call`, an ODBC call that executes the slot's statement, marked as
// executing: command 19 calls SQLCancel only while such a call runs.  At
// any other moment a driver manager takes a cancel for a close of the
// cursor, which a driver may carry out under a fetch of this thread.  The
// mark is cleared under the guard, so that no SQLCancel is still running
// when this thread goes on with the statement.
template <class Call>
SQLRETURN while_executing(ConnectionSlot& slot, Call call) {
    set_executing(slot, true);
    const SQLRETURN rc = call();
    set_executing(slot, false);
    return rc;
}

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
