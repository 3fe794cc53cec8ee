// The connector's state, in one place: what each slot owns and what the
// process shares.
//
// Naming: every piece of state that outlives a call is one object named in
// CamelCase, defined once (its members are snake_case).  It is defined
// here, or, where its type belongs to one file, in that file and listed
// below.
//
// Who may touch what (host/locks.h): what a slot owns is read and written
// by the thread holding the slot's lock, which runs the slot's command;
// `connection` and `statement` are also read by command 19 (cancel) on
// another thread, so they change only under the slot's `guard` as well.
// What the process shares is guarded by ProcessLock, the environment also
// by every slot's lock (commands 1 and 2 hold them all).
//
// Kept with the code whose types they hold:
//   ResultCaches        stmt/result_cache.h   command 12's cache, one per
//                                              slot, in slot order
//   SlotRowsets         stmt/fetch_block.cpp  the block fetch's bound
//                                              arrays, one set per slot,
//                                              all zero until the slot's
//                                              first block fetch
//   Trace               host/trace.cpp        the trace's file; each
//                                              thread's running line
//   TraceSwitch         host/trace.h          whether the trace is on
//                                              (read inline on every call)
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "host/command.h"
#include "host/locks.h"
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

// A slot's retrieval buffer, through which stmt/columns reads column
// values: created on the slot's first read, grown to the largest value
// read, kept for the life of the process.  Each slot has its own, so that
// slots fetching at once never share one, and a call made from inside a
// callback (always on another slot) never moves the bytes the running
// command holds.
struct DataBufferState {
    uint8_t* buffer = nullptr;
    SQLLEN capacity = 0;
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
    KeptDiagnostic kept;          // a record command 22's clean-up would clear
    DataBufferState data_buffer;  // the slot's retrieval buffer
    // Held by the thread running a command on the slot.
    OwnedLock lock;
    // Held while `connection` or `statement` is made, freed or cancelled,
    // so that command 19 never reaches a freed handle.
    OwnedLock guard;
    // An ODBC call that executes a statement is running on the slot:
    // command 19 calls SQLCancel only then (see set_executing).
    std::atomic<bool> executing{false};
    // A command on the slot is running, and command 19 has asked it to
    // stop: its row loops end at the next row.
    std::atomic<bool> running{false};
    std::atomic<bool> cancel_asked{false};
};

// ---- What the process shares -----------------------------------------------

// The environment handle; null until command 1, and after command 2.
// Written while every lock is held, read under any of them.
inline std::atomic<SQLHENV> EnvHandle{nullptr};

// Guards the environment's use by commands without a slot and the choice
// of a free slot (command 4); taken after any slot lock.
inline OwnedLock ProcessLock;

// The ten slots, numbered 1..10 by their place.
inline std::array<ConnectionSlot, kSlotCount> SlotTable{};

// The allocation test hook of memory.h.
struct AllocationHookState {
    // > 0: allocations left until the one that fails.
    std::atomic<long> fail_countdown{0};
    std::atomic<long> allocations{0};  // made since the process started
};
inline AllocationHookState AllocationHook;

}  // namespace orv
