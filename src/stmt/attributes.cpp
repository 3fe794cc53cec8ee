// Placeholder until this command is built: answers status 9.
#include "host/handlers.h"
#include "host/hostio.h"

namespace orv {

SQLRETURN run_get_conn_attr(Command& cmd) {
    hdr_set_status(cmd, ORV_BAD_COMMAND);
    return SQL_SUCCESS;
}

SQLRETURN run_set_conn_attr(Command& cmd) {
    hdr_set_status(cmd, ORV_BAD_COMMAND);
    return SQL_SUCCESS;
}

SQLRETURN run_get_stmt_attr(Command& cmd) {
    hdr_set_status(cmd, ORV_BAD_COMMAND);
    return SQL_SUCCESS;
}

SQLRETURN run_set_stmt_attr(Command& cmd) {
    hdr_set_status(cmd, ORV_BAD_COMMAND);
    return SQL_SUCCESS;
}

}  // namespace orv
