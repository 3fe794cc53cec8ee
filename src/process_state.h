// The connector's state, in one place: what each slot owns and what the
// process shares.
//
// Naming: every piece of state that outlives a call is one object named in
// CamelCase, defined once (its members are snake_case).  It is defined
// here, or, where its type belongs to one file, in that file and listed
// below.
//
// Every orvsql call holds the call lock (host/serialize.h) while it runs,
// so all of it is read and written by one thread at a time.  A call made
// from inside a callback runs under its caller's lock; the dispatcher
// refuses it on a slot whose command is running (ConnectionSlot::running)
// and gives it a retrieval buffer of its own (entry/dispatch.cpp).
//
// Kept with the code whose types they hold:
//   ResultCaches        stmt/result_cache.h   command 12's cache, one per
//                                              slot, in slot order
//   BlockRowsets        stmt/fetch_block.cpp  the block fetch's bound
//                                              arrays, their area and
//                                              whether they may be used;
//                                              used only while a command
//                                              25 runs, which makes no
//                                              callbacks
//   Trace               host/trace.cpp        the trace's file, the
//                                              running call's line and the
//                                              outermost call's
//   TraceSwitch         host/trace.h          whether the trace is on
//                                              (read inline on every call)
//   the call lock       host/serialize.*      the lock itself, under the
//                                              names of its own file
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "host/command.h"
#include "odbc_api.h"

namespace orv {

// ---- What each slot owns ---------------------------------------------------

// The SQL text the slot's statement was last prepared with (command 22),
// so that the same text runs again without another SQLPrepare.  Forgotten
// wherever the statement is replaced (an execution of other text) or
// freed.
struct PreparedText {
    char* text = nullptr;  // the connector's copy (orv_alloc), terminated
    std::size_t length = 0;
    SQLHSTMT statement = nullptr;  // the handle it was prepared on
    SQLSMALLINT markers = 0;       // its parameter markers (SQLNumParams)
};

// The first diagnostic record of a statement call whose records a later
// call of the same command cleared (putting bindings and attributes back
// clears a handle's records).  The diagnostic readers serve it while the
// statement has no record of its own, until the next command other than 3.
struct KeptDiagnostic {
    bool valid = false;
    SQLCHAR sqlstate[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[kMessageSize] = {};
};

// One numbered connection.  A slot is free while `connection` is null.
struct ConnectionSlot {
    SQLHDBC connection = nullptr;  // allocated by command 4
    SQLHSTMT statement = nullptr;  // created on first use
    // The column table, made and sized by stmt/columns: (column_capacity
    // + 2) ColumnDesc records.
    uint8_t* columns = nullptr;
    int32_t column_capacity = 0;
    uint8_t* row_buffer = nullptr;  // pairs record / row block
    std::size_t row_buffer_size = 0;
    PreparedText prepared;  // command 22's prepared statement
    // Command 22's bindings, lengths and row statuses (orv_alloc), kept
    // between calls up to a limit so that a load in batches does not
    // allocate and give back the same block for every batch.
    uint8_t* param_work = nullptr;
    std::size_t param_work_size = 0;
    KeptDiagnostic kept;  // a record command 22's clean-up would clear
    // A command on this slot is running (a call from inside its callbacks
    // may not work on the slot).
    bool running = false;
};

// ---- What the process shares -----------------------------------------------

// The environment handle; null until command 1, and after command 2.
inline SQLHENV EnvHandle = nullptr;

// The ten slots, numbered 1..10 by their place.
inline std::array<ConnectionSlot, kSlotCount> SlotTable{};

// The retrieval buffer through which stmt/columns reads column values:
// created on first use, grows to the largest value read, kept for the life
// of the process.  A call made from inside a callback reads through one of
// its own, so that it never moves the bytes the running command holds.
struct DataBufferState {
    uint8_t* buffer = nullptr;
    SQLLEN capacity = 0;
};
inline DataBufferState DataBuffer;

// Commands in progress: 0 between calls, 1 while a command runs, more
// while a call made from inside one of its callbacks runs.
inline int CommandsRunning = 0;

// The allocation test hook of memory.h.
struct AllocationHookState {
    long fail_countdown = 0;  // > 0: allocations left until the one that
                              // fails
    long allocations = 0;     // made since the process started
};
inline AllocationHookState AllocationHook;

}  // namespace orv
