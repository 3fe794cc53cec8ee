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

// The command table, indexed by command code.
//   handler: the function that carries the command out; nullptr for codes
//            without a command, which answer status 9 once validated;
//   needs:   the checks made, in the order environment, slot number,
//            connection, before the handler runs.
struct CommandEntry {
    Handler handler;
    uint8_t needs;
};

constexpr uint8_t kConnected = kEnv | kSlotNumber | kConnection;

constexpr std::array<CommandEntry, 26> kCommands{{
    /*  0 */ {nullptr, kEnv | kConnection},
    /*  1 */ {run_alloc_env, kNothing},
    /*  2 */ {run_free_env, kEnv},
    /*  3 */ {run_diagnostics, kEnv},
    /*  4 */ {run_alloc_slot, kEnv},
    /*  5 */ {nullptr, kConnected},
    /*  6 */ {run_connect, kConnected},
    /*  7 */ {run_disconnect, kConnected},
    /*  8 */ {run_driver_info, kConnected},
    /*  9 */ {run_execute, kConnected},
    /* 10 */ {run_describe, kConnected},
    /* 11 */ {run_import_columns, kConnected},
    /* 12 */ {run_fetch_row, kConnected},
    /* 13 */ {run_reset_statement, kConnected},
    /* 14 */ {run_get_conn_attr, kConnected},
    /* 15 */ {run_set_conn_attr, kConnected},
    /* 16 */ {run_get_stmt_attr, kConnected},
    /* 17 */ {run_set_stmt_attr, kConnected},
    /* 18 */ {run_list_sources, kConnected},
    /* 19 */ {nullptr, kConnected},
    /* 20 */ {nullptr, kConnected},
    /* 21 */ {nullptr, kConnected},
    /* 22 */ {nullptr, kConnected},
    /* 23 */ {nullptr, kConnected},
    /* 24 */ {nullptr, kConnected},
    /* 25 */ {run_fetch_block, kConnected},
}};

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
            if (cmd.code == 8 && arg_count(cmd) > 2) {
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
