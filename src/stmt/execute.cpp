// Placeholder until this command is built: answers status 9.
#include "host/handlers.h"
#include "host/hostio.h"

namespace orv {

SQLRETURN run_execute(Command& cmd) {
    hdr_set_status(cmd, ORV_BAD_COMMAND);
    return SQL_SUCCESS;
}

SQLRETURN run_describe(Command& cmd) {
    hdr_set_status(cmd, ORV_BAD_COMMAND);
    return SQL_SUCCESS;
}

SQLRETURN run_import_columns(Command& cmd) {
    hdr_set_status(cmd, ORV_BAD_COMMAND);
    return SQL_SUCCESS;
}

SQLRETURN run_reset_statement(Command& cmd) {
    hdr_set_status(cmd, ORV_BAD_COMMAND);
    return SQL_SUCCESS;
}

SQLRETURN run_list_sources(Command& cmd) {
    hdr_set_status(cmd, ORV_BAD_COMMAND);
    return SQL_SUCCESS;
}

}  // namespace orv
