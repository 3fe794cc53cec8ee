// One command in flight: what every handler receives.
#pragma once
#include <sql.h>
#include <sqlext.h>

#include <cstdint>

#include "dorevivezo.h"

namespace orv {

struct ConnectionSlot;

// The per-call record handed to every handler.  It points into host memory
// that is valid only for the duration of the call.
struct Command {
    HostContext* ctx;       // the host's argument list
    HostCallback callback;  // the host's services
    uint8_t* hdr;           // the command header block (at least 48 bytes)
    int32_t code;           // the command code (argument 1)
    ConnectionSlot* slot;   // the dispatch slot, or nullptr for none
    bool diag_on_env;       // capture diagnostics from the environment handle
};

// Every command handler has this shape.  It returns the ODBC code the
// common tail must see: SQL_SUCCESS when it has set the status itself and
// wants no capture; any other code runs the diagnostic capture with that
// code.  A handler sets status 2 itself where a failure calls for it.
using Handler = SQLRETURN (*)(Command& cmd);

// Sizes with a meaning.
inline constexpr uint32_t kHeaderSize = 48;
inline constexpr int kMessageSize = 240;  // diagnostic message buffer
inline constexpr int kTextSize = 240;     // GET_STRING / SQLGetInfo buffer
inline constexpr int kSlotCount = 10;

}  // namespace orv
