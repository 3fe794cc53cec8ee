// Command 19: cancel the statement running on a slot.  It is the one
// command that does not wait for the slot's lock: it runs while another
// thread's command holds the slot (or from inside a callback of that
// command), and touches only the slot's handles, under their guard.
#include "conn/diagnostics.h"
#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "odbc_api.h"

namespace orv {

// Command 19.  Status 10 for a slot without a connection, 14 for one
// without a statement.  While a command runs on the slot it marks the slot
// cancelled (the row loops end at the next row) and, while that command
// executes a statement, calls SQLCancel; returns at once with status 0
// (status 2 and SQLCancel's record when the driver refuses).  At any
// other moment it calls nothing: a driver manager takes a cancel of a
// statement that is not executing for a close of its cursor.
SQLRETURN run_cancel(Command& cmd) {
    ConnectionSlot& slot = *cmd.slot;
    cmd.slot = nullptr;  // the capture must not read the running slot's
                         // handles outside their guard
    take(slot.guard);
    SQLRETURN rc = SQL_SUCCESS;
    if (slot.connection == nullptr) {
        hdr_set_status(cmd, ORV_BAD_SLOT);
    } else if (slot.statement == nullptr) {
        hdr_set_status(cmd, ORV_NO_STATEMENT);
    } else if (slot.running.load(std::memory_order_relaxed)) {
        // Marked before `executing` is read, in sequential order: see
        // set_executing.
        slot.cancel_asked.store(true);
        if (slot.executing.load()) rc = SQLCancel(slot.statement);
        if (!SQL_SUCCEEDED(rc)) {
            hdr_set_status(cmd, ORV_ODBC_ERROR);
            cmd.slot = &slot;
            capture_diagnostics(cmd, rc);
            cmd.slot = nullptr;
        }
    }
    give_back(slot.guard);
    return SQL_SUCCESS;
}

}  // namespace orv
