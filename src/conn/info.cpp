// Placeholder until this command is built: answers status 9.
#include "host/handlers.h"
#include "host/hostio.h"

namespace orv {

SQLRETURN run_driver_info(Command& cmd) {
    hdr_set_status(cmd, ORV_BAD_COMMAND);
    return SQL_SUCCESS;
}

}  // namespace orv
