// The command trace for host authors.  With ORVSQL_TRACE=FILE (or "-" for
// standard error) every orvsql call appends one line to FILE: when it
// started, the command and its inputs, and its outcome and duration.
// ORVSQL_TRACE_VALUES=1 adds the argument texts and the texts handed to the
// host, each cut to 64 bytes, with password values masked.
//
// The environment is read once, on the first call; while no trace is
// wanted a call costs one test of trace_wanted().  The trace reads host
// memory through hostio only, writes none, and makes no service call of
// its own, so a host sees the same results with tracing on or off.
#pragma once
#include <atomic>
#include <cstdint>

#include "host/command.h"

namespace orv {

// Whether the next call is traced: Unread until the environment has been
// read (the first call reads it), then On or Off for the life of the
// process.
enum class TraceMode : uint8_t { kUnread, kOn, kOff };
extern std::atomic<TraceMode> TraceSwitch;

inline bool trace_wanted() {
    return TraceSwitch.load(std::memory_order_relaxed) != TraceMode::kOff;
}

// What runs one command once its code has been read; returns what orvsql
// returns, and leaves cmd.hdr null when the header was refused.
using CommandRunner = int32_t (*)(Command& cmd);

// Runs `run` on cmd and writes its trace line.  On the first call it reads
// the environment first; when no trace is wanted it only runs the command.
// With values on, the host's callback is reached through a forwarder that
// notes the texts of PUT_STRING and PUT_NUMBER_TEXT and passes every call
// and its answer through unchanged.  Returns what `run` returned.
int32_t trace_command(Command& cmd, CommandRunner run);

// For tests, while no call runs: closes the trace file and forgets the
// mode, so that the next call reads the environment again.
void trace_restart();

}  // namespace orv
