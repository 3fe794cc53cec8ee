// The library's one exported function.
#include <cstdio>

#include "entry/dispatch.h"
#include "host/hostio.h"
#include "host/trace.h"

namespace orv {
namespace {

// Resets the result fields of the header before a command runs.  Commands
// 12 and 25 keep the incoming `number` (their running row counter) and
// command 3 keeps `native_error` (it reports the host's value when no
// record exists); the last five bytes of sqlstate are left alone.
void reset_header(Command& cmd) {
    hdr_set_opcode(cmd, static_cast<int16_t>(cmd.code));
    hdr_set_status(cmd, ORV_OK);
    hdr_set_count(cmd, 0);
    if (cmd.code != ORV_CMD_FETCH_ROW && cmd.code != ORV_CMD_FETCH_BLOCK)
        hdr_set_number(cmd, 0.0);
    hdr_clear_sqlstate(cmd);
    if (cmd.code != ORV_CMD_DIAGNOSTICS) hdr_set_native_error(cmd, 0);
}

// Runs a command whose code has been read.  Refuses a header block of
// fewer than 48 bytes with a message on stdout and 11 without touching it
// (cmd.hdr stays null); otherwise sets cmd.hdr, resets the header,
// dispatches the command and returns the status stored in the header.
// Inline into orvsql, which runs it for every fetched row; the trace
// takes it by address.
[[gnu::always_inline]] inline int32_t run_command(Command& cmd) {
    const ArgView header = arg(cmd, 2);
    if (header.size < kHeaderSize) {
        std::printf("psize = %d, cmdhdr should be %d\n",
                    static_cast<int>(header.size),
                    static_cast<int>(kHeaderSize));
        std::fflush(stdout);
        return ORV_UNSUPPORTED;
    }
    // A header that has a size but no storage cannot be answered either.
    if (header.data == nullptr) return ORV_UNSUPPORTED;
    cmd.hdr = header.data;

    reset_header(cmd);
    dispatch_command(cmd);
    return hdr_status(cmd);
}

}  // namespace
}  // namespace orv

// Runs one host command: reads the command code (GET_INT, selector 1) and
// runs it, through the trace when one is wanted.  Calls from several
// threads run at once, on different slots (entry/dispatch.cpp).  Nothing
// is thrown: the
// connector is built without exceptions, and the function is noexcept so
// none could pass.
extern "C" ORV_EXPORT int32_t ORV_CALL orvsql(HostContext* ctx,
                                              HostCallback callback) noexcept {
    using namespace orv;
    if (ctx == nullptr || callback == nullptr) return ORV_UNSUPPORTED;
    Command cmd{ctx,        callback, nullptr,
                0,          nullptr,  DiagSource::kMostSpecific,
                SQL_SUCCESS};
    cmd.code = svc_get_int(cmd, 1);
    if (trace_wanted()) return trace_command(cmd, run_command);
    return run_command(cmd);
}
