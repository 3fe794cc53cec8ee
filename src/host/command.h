// One command in flight: what every handler receives.
#pragma once
#include <cstdint>

#include "dorevivezo.h"
#include "odbc_api.h"

namespace orv {

struct ConnectionSlot;

// Where the diagnostic capture reads the first record from.
enum class DiagSource : uint8_t {
    kMostSpecific,  // the slot's statement, else connection, else environment
    kConnection,    // the slot's connection (calls made on the connection)
    kEnvironment,   // the environment (calls made on the environment)
};

// The per-call record handed to every handler.  It points into host memory
// that is valid only for the duration of the call.
struct Command {
    HostContext* ctx;       // the host's argument list
    HostCallback callback;  // the host's services
    uint8_t* hdr;           // the command header block (at least 48 bytes)
    int32_t code;           // the command code (argument 1)
    ConnectionSlot* slot;   // the dispatch slot, or nullptr for none
    DiagSource diag_from;   // the handle the diagnostic capture reads
    SQLRETURN prepared;     // the ODBC code of the statement the dispatcher
                            // created for the command (SQL_SUCCESS if none)
    // A connector status the handler reports through the diagnostic
    // capture in place of an ODBC code (native_error receives it when the
    // record gives none); 0: none.  Set with report_through_capture.
    int16_t captured_status = 0;
};

// Asks the dispatcher to run the diagnostic capture after the handler with
// the connector status `status` (which the host's `status` field does not
// receive) instead of the handler's ODBC code.
inline void report_through_capture(Command& cmd, int16_t status) {
    cmd.captured_status = status;
}

// Every command handler has this shape.  It returns the ODBC code the
// common tail must see: SQL_SUCCESS when it has set the status itself and
// wants no capture; any other code runs the diagnostic capture with that
// code.  A handler sets status 2 itself where a failure calls for it.  A
// connector status that belongs in the capture goes through
// report_through_capture, never through the return code.
using Handler = SQLRETURN (*)(Command& cmd);

// Sizes with a meaning.
inline constexpr uint32_t kHeaderSize = 48;
inline constexpr int kMessageSize = 240;  // diagnostic message buffer
inline constexpr int kTextSize = 240;     // GET_STRING / SQLGetInfo buffer
inline constexpr int kSlotCount = 10;

}  // namespace orv
