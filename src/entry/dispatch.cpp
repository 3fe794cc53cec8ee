#include "entry/dispatch.h"

#include <array>

#include "conn/diagnostics.h"
#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "host/locks.h"

namespace orv {

namespace {

// What a command needs before its handler may run, checked in this order:
// the environment (status 5), the slot number (10), a connection in the
// slot (10); then, for the commands that name them, the statement created
// (14 when that fails), the arguments (3), an existing statement (14).
enum Needs : uint8_t {
    kNothing = 0,
    kEnv = 1,              // the environment must exist
    kSlotNumber = 2,       // `slot` must be 1..10
    kConnection = 4,       // `slot` must name a slot holding a connection
    kCreateStatement = 8,  // the slot's statement is created first
    kStatement = 16,       // the slot must hold a statement (after args)
};

// The locks a command runs under (host/locks.h), taken before its checks
// and given back after its diagnostic capture.
enum Locks : uint8_t {
    kSlotLock,        // the lock of the slot `slot` names, else ProcessLock
    kSlotAndProcess,  // as kSlotLock, and ProcessLock too
    kProcessLock,     // ProcessLock alone
    kEveryLock,       // every slot's lock, then ProcessLock
    kNoLock,          // none: command 19 must not wait for the slot
};

// One entry of the command table.
//   handler:  the function that carries the command out; nullptr for codes
//             without a command, which answer status 9 once validated;
//   needs:    the checks made before the handler runs (see Needs);
//   min_args: the arg_count the command needs (status 3 below it); 0 for
//             commands that check their arguments themselves;
//   locks:    what the command runs under (see Locks).
struct CommandEntry {
    Handler handler;
    uint8_t needs;
    int8_t min_args = 0;
    Locks locks = kSlotLock;
};

constexpr uint8_t kConnected = kEnv | kSlotNumber | kConnection;
constexpr std::size_t kCommandCount = ORV_CMD_FETCH_BLOCK + 1;

// The command table, indexed by command code.  Of the codes without a
// command, 0 needs the environment and, when `slot` names one, a slot
// holding a connection; the others are checked as the commands that work
// on a connection.  Command 3 without argument 3 still answers (sqlstate
// and native_error alone); command 8 needs argument 3 only for some items.
constexpr std::array<CommandEntry, kCommandCount> make_command_table() {
    std::array<CommandEntry, kCommandCount> t{};
    for (CommandEntry& e : t) e = {nullptr, kConnected};
    t[0] = {nullptr, kEnv | kConnection};
    t[ORV_CMD_ALLOC_ENV] = {run_alloc_env, kNothing, 0, kEveryLock};
    t[ORV_CMD_FREE_ENV] = {run_free_env, kEnv, 0, kEveryLock};
    t[ORV_CMD_DIAGNOSTICS] = {run_diagnostics, kEnv};
    t[ORV_CMD_ALLOC_SLOT] = {run_alloc_slot, kEnv, 0, kProcessLock};
    t[ORV_CMD_CONNECT] = {run_connect, kConnected, 3};
    t[ORV_CMD_DISCONNECT] = {run_disconnect, kConnected};
    t[ORV_CMD_DRIVER_INFO] = {run_driver_info, kConnected};
    t[ORV_CMD_EXECUTE] = {run_execute, kConnected, 3};
    t[ORV_CMD_DESCRIBE] = {run_describe, kConnected | kStatement, 3};
    t[ORV_CMD_IMPORT_COLUMNS] = {run_import_columns, kConnected | kStatement,
                                 3};
    t[ORV_CMD_FETCH_ROW] = {run_fetch_row, kConnected | kStatement, 3};
    t[ORV_CMD_RESET_STATEMENT] = {run_reset_statement, kConnected | kStatement};
    t[ORV_CMD_GET_CONN_ATTR] = {run_get_conn_attr, kConnected, 3};
    t[ORV_CMD_SET_CONN_ATTR] = {run_set_conn_attr, kConnected, 3};
    t[ORV_CMD_GET_STMT_ATTR] = {run_get_stmt_attr,
                                kConnected | kCreateStatement, 3};
    t[ORV_CMD_SET_STMT_ATTR] = {run_set_stmt_attr,
                                kConnected | kCreateStatement, 3};
    t[ORV_CMD_LIST_SOURCES] = {run_list_sources, kConnected, 4,
                               kSlotAndProcess};
    t[ORV_CMD_CANCEL] = {run_cancel, kEnv | kSlotNumber, 0, kNoLock};
    t[ORV_CMD_NEXT_RESULT] = {run_next_result, kConnected | kStatement};
    t[ORV_CMD_END_TRAN] = {run_end_tran, kConnected};
    t[ORV_CMD_EXECUTE_PARAMS] = {run_execute_params, kConnected, 3};
    t[ORV_CMD_FETCH_BLOCK] = {run_fetch_block, kConnected | kStatement, 3};
    return t;
}
constexpr std::array<CommandEntry, kCommandCount> kCommands =
    make_command_table();

// Makes the checks `needs` names in their order, for the command whose
// slot is `slot` (nullptr for none).  Returns the status of the first
// check that fails, ORV_OK when all pass.
int16_t check_slot(uint8_t needs, const ConnectionSlot* slot) {
    if ((needs & kEnv) && env_handle() == nullptr) return ORV_NO_ENV;
    if ((needs & kSlotNumber) && slot == nullptr) return ORV_BAD_SLOT;
    if ((needs & kConnection) &&
        (slot == nullptr || slot->connection == nullptr))
        return ORV_BAD_SLOT;
    return ORV_OK;
}

// The checks on the command's statement and arguments, once cmd.slot is
// set: creates the statement when the entry says so (cmd.prepared gets
// the allocation's code), then compares arg_count with min_args, then
// looks for a statement.  Returns the failing status, ORV_OK when all
// pass.
int16_t check_statement(Command& cmd, uint8_t needs, int8_t min_args) {
    if (needs & kCreateStatement) {
        cmd.prepared = ensure_statement(*cmd.slot);
        if (!SQL_SUCCEEDED(cmd.prepared)) return ORV_NO_STATEMENT;
    }
    if (arg_count(cmd) < min_args) return ORV_MISSING_ARG;
    if ((needs & kStatement) && cmd.slot->statement == nullptr)
        return ORV_NO_STATEMENT;
    return ORV_OK;
}

// Takes the lock of `slot` for a command, or answers 15 (refused) for a
// call that would wait for itself: one made from inside a callback of a
// command running on the slot, or one that holds ProcessLock (a call from
// a callback of a slot-less command) and finds the slot busy, since
// waiting there would take the locks out of their order.
int16_t take_slot_lock(ConnectionSlot& slot) {
    const ThreadId self = this_thread();
    // A free lock is taken at once: no thread, this one included, held it.
    if (try_take(slot.lock, self)) return ORV_OK;
    if (held_by_this_thread(slot.lock, self) ||
        held_by_this_thread(ProcessLock, self))
        return ORV_REFUSED;
    take(slot.lock, self);
    return ORV_OK;
}

// Takes every slot's lock, in slot order, then ProcessLock; answers 15 for
// a call made from inside a callback, which holds one of them already.
int16_t take_every_lock() {
    if (held_by_this_thread(ProcessLock)) return ORV_REFUSED;
    for (const ConnectionSlot& s : SlotTable)
        if (held_by_this_thread(s.lock)) return ORV_REFUSED;
    for (ConnectionSlot& s : SlotTable) take(s.lock);
    take(ProcessLock);
    return ORV_OK;
}

// Takes what `locks` names for a command on `slot` (nullptr for none).
// Command 1 needs no lock while the environment exists: it then changes
// nothing.  Returns ORV_OK, or 15 with nothing held.
int16_t take_locks(Locks& locks, int32_t code, ConnectionSlot* slot) {
    if (code == ORV_CMD_ALLOC_ENV && env_handle() != nullptr) locks = kNoLock;
    switch (locks) {
        case kSlotLock:
        case kSlotAndProcess:
            if (slot != nullptr) {
                const int16_t status = take_slot_lock(*slot);
                if (status != ORV_OK || locks == kSlotLock) return status;
            }
            take_again(ProcessLock);
            return ORV_OK;
        case kProcessLock:
            take_again(ProcessLock);
            return ORV_OK;
        case kEveryLock:
            return take_every_lock();
        case kNoLock:
            return ORV_OK;
    }
    return ORV_OK;
}

// Gives back what take_locks took.
void give_back_locks(Locks locks, ConnectionSlot* slot) {
    switch (locks) {
        case kSlotLock:
        case kSlotAndProcess:
            if (slot != nullptr) give_back(slot->lock);
            if (slot == nullptr || locks == kSlotAndProcess)
                give_back_once(ProcessLock);
            return;
        case kProcessLock:
            give_back_once(ProcessLock);
            return;
        case kEveryLock:
            give_back(ProcessLock);
            for (ConnectionSlot& s : SlotTable) give_back(s.lock);
            return;
        case kNoLock:
            return;
    }
}

// Runs the handler; a command on a slot under its lock runs with the slot
// marked as running, which lets command 19 cancel it.  Returns the
// handler's code.
inline SQLRETURN run_handler(Handler handler, Locks locks, Command& cmd) {
    ConnectionSlot* const slot = cmd.slot;  // a handler may clear cmd.slot
    if (slot == nullptr || locks == kNoLock) return handler(cmd);
    slot->cancel_asked.store(false, std::memory_order_relaxed);
    slot->running.store(true, std::memory_order_relaxed);
    const SQLRETURN rc = handler(cmd);
    slot->running.store(false, std::memory_order_relaxed);
    return rc;
}

// A command that a cancel made fail leaves its cursor closed (after the
// diagnostic capture): the rest of a cancelled
// result is not wanted, and a driver manager that took the cancel for a
// close of the cursor while rows were fetched, as unixODBC does, agrees
// with the driver again, so that the slot's next statement runs.
void close_if_cancelled(Command& cmd) {
    ConnectionSlot& slot = *cmd.slot;
    if (!cancel_asked(slot) || hdr_status(cmd) != ORV_ODBC_ERROR ||
        slot.statement == nullptr)
        return;
    // The close clears the statement's records: the driver's answer to the
    // cancel is kept for command 3 first (a row loop's own is kept).
    if (!slot.kept.valid) keep_diagnostic(slot, SQL_ERROR);
    SQLFreeStmt(slot.statement, SQL_CLOSE);
}

// The checks and the handler of a command whose locks are held, then the
// diagnostic capture.
void run_checked(Command& cmd, const CommandEntry& entry, Locks locks,
                 ConnectionSlot* slot) {
    if (int16_t status = check_slot(entry.needs, slot); status != ORV_OK) {
        hdr_set_status(cmd, status);
        return;
    }
    if (entry.handler == nullptr) {
        hdr_set_status(cmd, ORV_BAD_COMMAND);
        return;
    }
    cmd.slot = slot;
    // A record kept for the previous command serves command 3 only.
    if (slot != nullptr && locks != kNoLock && cmd.code != ORV_CMD_DIAGNOSTICS)
        slot->kept.valid = false;
    if (int16_t status = check_statement(cmd, entry.needs, entry.min_args);
        status != ORV_OK) {
        hdr_set_status(cmd, status);
        if (cmd.prepared != SQL_SUCCESS) capture_diagnostics(cmd, cmd.prepared);
        return;
    }
    SQLRETURN rc = run_handler(entry.handler, locks, cmd);
    if (cmd.captured_status != 0)
        capture_diagnostics(cmd, cmd.captured_status);
    else if (rc != SQL_SUCCESS)
        capture_diagnostics(cmd, rc);
    if (locks != kNoLock && cmd.slot != nullptr) close_if_cancelled(cmd);
}

}  // namespace

// Every command but 19 runs under its locks: calls on different slots run
// at once, calls on one slot one after another.
void dispatch_command(Command& cmd) {
    if (cmd.code < 0 || cmd.code >= static_cast<int32_t>(kCommands.size())) {
        hdr_set_status(cmd, ORV_BAD_COMMAND);
        return;
    }
    const CommandEntry& entry = kCommands[static_cast<std::size_t>(cmd.code)];
    int slot_number = hdr_slot(cmd);
    // A number above 10 names no slot at all, for every command.
    ConnectionSlot* slot = slot_number == 0 ? nullptr : slot_at(slot_number);
    Locks locks = entry.locks;
    if (int16_t status = take_locks(locks, cmd.code, slot); status != ORV_OK) {
        hdr_set_status(cmd, status);
        return;
    }
    run_checked(cmd, entry, locks, slot);
    give_back_locks(locks, slot);
}

}  // namespace orv
