#include "host/dispatch.h"

#include <array>

#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"

namespace orv {

namespace {

// What a command needs before its handler may run.
enum Needs : uint8_t {
    kNothing = 0,
    kEnv = 1,         // the environment must exist (status 5)
    kSlotNumber = 2,  // `slot` must be 1..10 (status 10)
    kConnection = 4,  // `slot` must name a slot holding a connection (10)
};

// One entry of the command table.
//   handler: the function that carries the command out; nullptr for codes
//            without a command, which answer status 9 once validated;
//   needs:   the checks made, in the order environment, slot number,
//            connection, before the handler runs.
struct CommandEntry {
    Handler handler;
    uint8_t needs;
};

constexpr uint8_t kConnected = kEnv | kSlotNumber | kConnection;
constexpr std::size_t kCommandCount = ORV_CMD_FETCH_BLOCK + 1;

// The command table, indexed by command code.  Of the codes without a
// command, 0 needs the environment and, when `slot` names one, a slot
// holding a connection; the others are checked as the commands that work
// on a connection.
constexpr std::array<CommandEntry, kCommandCount> make_command_table() {
    std::array<CommandEntry, kCommandCount> t{};
    for (CommandEntry& e : t) e = {nullptr, kConnected};
    t[0] = {nullptr, kEnv | kConnection};
    t[ORV_CMD_ALLOC_ENV] = {run_alloc_env, kNothing};
    t[ORV_CMD_FREE_ENV] = {run_free_env, kEnv};
    t[ORV_CMD_DIAGNOSTICS] = {run_diagnostics, kEnv};
    t[ORV_CMD_ALLOC_SLOT] = {run_alloc_slot, kEnv};
    t[ORV_CMD_CONNECT].handler = run_connect;
    t[ORV_CMD_DISCONNECT].handler = run_disconnect;
    t[ORV_CMD_DRIVER_INFO].handler = run_driver_info;
    t[ORV_CMD_EXECUTE].handler = run_execute;
    t[ORV_CMD_DESCRIBE].handler = run_describe;
    t[ORV_CMD_IMPORT_COLUMNS].handler = run_import_columns;
    t[ORV_CMD_FETCH_ROW].handler = run_fetch_row;
    t[ORV_CMD_RESET_STATEMENT].handler = run_reset_statement;
    t[ORV_CMD_GET_CONN_ATTR].handler = run_get_conn_attr;
    t[ORV_CMD_SET_CONN_ATTR].handler = run_set_conn_attr;
    t[ORV_CMD_GET_STMT_ATTR].handler = run_get_stmt_attr;
    t[ORV_CMD_SET_STMT_ATTR].handler = run_set_stmt_attr;
    t[ORV_CMD_LIST_SOURCES].handler = run_list_sources;
    t[ORV_CMD_FETCH_BLOCK].handler = run_fetch_block;
    return t;
}
constexpr std::array<CommandEntry, kCommandCount> kCommands =
    make_command_table();

// Picks the handle the diagnostics are read from; nullptr when none.
SQLHANDLE diagnostic_handle(const Command& cmd, SQLSMALLINT* type) {
    if (cmd.diag_from != DiagSource::Environment && cmd.slot != nullptr) {
        if (cmd.slot->statement != nullptr &&
            cmd.diag_from == DiagSource::MostSpecific) {
            *type = SQL_HANDLE_STMT;
            return cmd.slot->statement;
        }
        if (cmd.slot->connection != nullptr) {
            *type = SQL_HANDLE_DBC;
            return cmd.slot->connection;
        }
    }
    *type = SQL_HANDLE_ENV;
    return env_handle();
}

}  // namespace

void capture_diagnostics(Command& cmd, SQLRETURN rc) {
    SQLSMALLINT type = 0;
    SQLHANDLE handle = diagnostic_handle(cmd, &type);
    if (handle != nullptr) {
        SQLINTEGER native = 0;
        SQLCHAR message[kMessageSize] = {};
        SQLSMALLINT message_length = 0;
        SQLRETURN r = SQLGetDiagRec(type, handle, 1, hdr_sqlstate(cmd), &native,
                                    message, kMessageSize, &message_length);
        if (!SQL_SUCCEEDED(r)) {
            hdr_set_sqlstate_unknown(cmd);
        } else {
            hdr_set_native_error(cmd, native);
            if (cmd.code == ORV_CMD_DRIVER_INFO && arg_count(cmd) > 2) {
                message[kMessageSize - 1] = 0;
                arg_write_text(arg(cmd, 3),
                               reinterpret_cast<const char*>(message));
            }
        }
    }
    if (hdr_native_error(cmd) == 0) hdr_set_native_error(cmd, rc);
}

void dispatch_command(Command& cmd) {
    if (cmd.code < 0 || cmd.code >= static_cast<int32_t>(kCommands.size())) {
        hdr_set_status(cmd, ORV_BAD_COMMAND);
        return;
    }
    const CommandEntry& entry = kCommands[static_cast<std::size_t>(cmd.code)];
    int slot_number = hdr_slot(cmd);
    // A number above 10 names no slot at all, for every command.
    ConnectionSlot* slot = slot_number == 0 ? nullptr : slot_at(slot_number);

    if ((entry.needs & kEnv) && env_handle() == nullptr) {
        hdr_set_status(cmd, ORV_NO_ENV);
        return;
    }
    if ((entry.needs & kSlotNumber) && slot == nullptr) {
        hdr_set_status(cmd, ORV_BAD_SLOT);
        return;
    }
    if ((entry.needs & kConnection) &&
        (slot == nullptr || slot->connection == nullptr)) {
        hdr_set_status(cmd, ORV_BAD_SLOT);
        return;
    }
    if (entry.handler == nullptr) {
        hdr_set_status(cmd, ORV_BAD_COMMAND);
        return;
    }
    cmd.slot = slot;
    SQLRETURN rc = entry.handler(cmd);
    if (rc != SQL_SUCCESS) capture_diagnostics(cmd, rc);
}

}  // namespace orv
