#include "entry/dispatch.h"

#include <array>

#include "conn/diagnostics.h"
#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "memory.h"

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

// One entry of the command table.
//   handler:  the function that carries the command out; nullptr for codes
//             without a command, which answer status 9 once validated;
//   needs:    the checks made before the handler runs (see Needs);
//   min_args: the arg_count the command needs (status 3 below it); 0 for
//             commands that check their arguments themselves.
struct CommandEntry {
    Handler handler;
    uint8_t needs;
    int8_t min_args = 0;
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
    t[ORV_CMD_ALLOC_ENV] = {run_alloc_env, kNothing};
    t[ORV_CMD_FREE_ENV] = {run_free_env, kEnv};
    t[ORV_CMD_DIAGNOSTICS] = {run_diagnostics, kEnv};
    t[ORV_CMD_ALLOC_SLOT] = {run_alloc_slot, kEnv};
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
    t[ORV_CMD_LIST_SOURCES] = {run_list_sources, kConnected, 4};
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

// True for a call made from inside a callback of a running command that
// would free or move what that command holds: any command on a slot that
// is running one, and command 2, which releases the environment every
// slot's handles belong to.
bool refused_while_running(int32_t code, const ConnectionSlot* slot) {
    if (CommandsRunning == 0) return false;
    return code == ORV_CMD_FREE_ENV || (slot != nullptr && slot->running);
}

// Runs the handler with its slot marked as running; returns the handler's
// code.
inline SQLRETURN run_marked(Handler handler, Command& cmd) {
    ConnectionSlot* const slot = cmd.slot;  // a handler may clear cmd.slot
    ++CommandsRunning;
    if (slot != nullptr) slot->running = true;
    const SQLRETURN rc = handler(cmd);
    if (slot != nullptr) slot->running = false;
    --CommandsRunning;
    return rc;
}

// run_marked for a call made from inside a callback of a running command:
// it reads through a retrieval buffer of its own, released when it ends,
// so that the running command's values stay where they are.
[[gnu::noinline]] SQLRETURN run_nested(Handler handler, Command& cmd) {
    const DataBufferState outer = DataBuffer;
    DataBuffer = DataBufferState{};
    const SQLRETURN rc = run_marked(handler, cmd);
    orv_free(DataBuffer.buffer);
    DataBuffer = outer;
    return rc;
}

// Runs the handler as run_marked does, a nested call as run_nested does.
SQLRETURN run_handler(Handler handler, Command& cmd) {
    if (CommandsRunning != 0) return run_nested(handler, cmd);
    return run_marked(handler, cmd);
}

}  // namespace

void dispatch_command(Command& cmd) {
    if (cmd.code < 0 || cmd.code >= static_cast<int32_t>(kCommands.size())) {
        hdr_set_status(cmd, ORV_BAD_COMMAND);
        return;
    }
    const CommandEntry& entry = kCommands[static_cast<std::size_t>(cmd.code)];
    int slot_number = hdr_slot(cmd);
    // A number above 10 names no slot at all, for every command.
    ConnectionSlot* slot = slot_number == 0 ? nullptr : slot_at(slot_number);

    if (int16_t status = check_slot(entry.needs, slot); status != ORV_OK) {
        hdr_set_status(cmd, status);
        return;
    }
    if (entry.handler == nullptr) {
        hdr_set_status(cmd, ORV_BAD_COMMAND);
        return;
    }
    if (refused_while_running(cmd.code, slot)) {
        hdr_set_status(cmd, ORV_REFUSED);
        return;
    }
    cmd.slot = slot;
    // A record kept for the previous command serves command 3 only.
    if (slot != nullptr && cmd.code != ORV_CMD_DIAGNOSTICS)
        slot->kept.valid = false;
    if (int16_t status = check_statement(cmd, entry.needs, entry.min_args);
        status != ORV_OK) {
        hdr_set_status(cmd, status);
        if (cmd.prepared != SQL_SUCCESS) capture_diagnostics(cmd, cmd.prepared);
        return;
    }
    SQLRETURN rc = run_handler(entry.handler, cmd);
    if (cmd.captured_status != 0)
        capture_diagnostics(cmd, cmd.captured_status);
    else if (rc != SQL_SUCCESS)
        capture_diagnostics(cmd, rc);
}

}  // namespace orv
