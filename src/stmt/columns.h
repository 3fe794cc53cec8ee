// Column description records and the shared retrieval buffer.
#pragma once
#include <cstdint>
#include <string_view>

#include "conn/slots.h"
#include "dorevivezo.h"
#include "odbc_api.h"

namespace orv {

inline constexpr std::size_t kColumnDescSize = sizeof(ColumnDesc);
static_assert(kColumnDescSize == 224);

// Columns the table of a newly allocated slot has room for.
inline constexpr int32_t kInitialColumnCapacity = 32;

// Maps an SQL type (SQL_DESC_TYPE after the date rule) to the host's code.
int32_t host_column_type(int16_t sql_type);

// Gives the slot a fresh zero-filled column table for kInitialColumnCapacity
// columns, releasing any table it had.  Returns false, leaving the slot
// without a table, when the memory cannot be had.
bool create_column_table(ConnectionSlot& slot);

// Zero-fills the column table when it describes a result, so that the
// next fetch describes the new result afresh.
void forget_description(ConnectionSlot& slot);

// Record k (0 = bookmark record) of the slot's column table, or nullptr
// when the slot has no table or k lies beyond it.
inline ColumnDesc* column_record(ConnectionSlot& slot, int k) {
    if (slot.columns == nullptr || k < 0 || k > slot.column_capacity + 1)
        return nullptr;
    return reinterpret_cast<ColumnDesc*>(
        slot.columns + static_cast<std::size_t>(k) * kColumnDescSize);
}

// Describes the current result of slot.statement into records 1..n of the
// column table, n = min(wanted, column count), enlarging the table when n
// exceeds its capacity.  Copies records 1..n to dest (224 bytes each) when
// dest is not null.  Returns the driver's column count, or 0 when enlarging
// the table failed (the slot is then left without a table).
int32_t describe_columns(ConnectionSlot& slot, uint8_t* dest, int32_t wanted);

// Makes sure the column table describes the current result with at least
// n records (described afresh when its first byte is 0, or enlarged when
// the result has more columns than the table holds).  Returns the status
// the fetch commands report: 0, 8 (nothing described) or 16 (mismatch).
int16_t prepare_columns(ConnectionSlot& slot, int32_t n);

// The retrieval buffer (DataBuffer) is defined in process_state.h, since
// the dispatcher gives a nested call one of its own.
// The last read could not hold its value whole.
inline bool LastReadShort = false;

// Buffer length offered to a value's first read.  Some drivers (SQLite's)
// do work in proportion to the length offered, so once the buffer has
// grown for one large value, offering all of it would slow every later
// read; a value longer than this is read on into the rest of the buffer.
inline constexpr SQLLEN kFirstReadLength = 65536;

// Reads one column value of the current row with SQLGetData through the
// shared retrieval buffer.  On return *value points to the whole value
// inside the buffer, terminated.  A NULL or a failed read gives an empty
// text (never an earlier value).  When no buffer can be had, *value points
// to an empty text, the result is SQL_ERROR and read_lacked_memory() says
// so.  The pointer is valid until the next read.  *length receives the
// driver's length or indicator.  Returns the code of the last SQLGetData
// call.
SQLRETURN read_column(SQLHSTMT statement, SQLUSMALLINT column,
                      SQLSMALLINT c_type, void** value, SQLLEN* length);

// read_value's continuation after a first read of `room` bytes into the
// retrieval buffer that returned rc and the indicator `remaining` and did
// not give the whole value.
SQLRETURN read_value_on(SQLHSTMT statement, SQLUSMALLINT column,
                        SQLSMALLINT c_type, SQLLEN room, SQLRETURN rc,
                        SQLLEN remaining, void** value, SQLLEN* length);

// The length a value's first read offers: the retrieval buffer's
// capacity, at most kFirstReadLength.
inline SQLLEN first_read_room() {
    return DataBuffer.capacity < kFirstReadLength ? DataBuffer.capacity
                                                  : kFirstReadLength;
}

// read_column with its common read (one call that gets
// the whole value) inline: *value, *length, the result and
// read_lacked_memory() as read_column leaves them.
inline SQLRETURN read_value(SQLHSTMT statement, SQLUSMALLINT column,
                            SQLSMALLINT c_type, void** value, SQLLEN* length) {
    *value = nullptr;
    if (DataBuffer.buffer == nullptr)
        return read_column(statement, column, c_type, value, length);
    LastReadShort = false;
    const SQLLEN room = first_read_room();
    SQLLEN remaining = 0;
    const SQLRETURN rc = SQLGetData(statement, column, c_type,
                                    DataBuffer.buffer, room, &remaining);
    if (rc == SQL_SUCCESS && remaining >= 0 && remaining < room) {
        // Binary and fixed-size values get the terminator text has.
        if (c_type != SQL_C_CHAR) DataBuffer.buffer[remaining] = 0;
        *length = remaining;
        *value = DataBuffer.buffer;
        return rc;
    }
    return read_value_on(statement, column, c_type, room, rc, remaining, value,
                         length);
}

// Finishes reading a value of which the caller's own SQLGetData call
// received the first part, `head` (the bytes before the part's
// terminator), and found it cut: the head is copied into the retrieval
// buffer and the rest read after it, as read_column reads a
// whole value; *target, *length, the result and read_lacked_memory() are
// as read_column leaves them.
SQLRETURN read_column_rest(SQLHSTMT statement, SQLUSMALLINT column,
                           SQLSMALLINT c_type, std::string_view head,
                           void** target, SQLLEN* length);

// True when the last read_column could not hold the value whole in the
// retrieval buffer: the buffer could not be had at all, or could not grow
// for the value.  The value handed out is then empty or cut short and must
// never be passed on as the column's value.
inline bool read_lacked_memory() { return LastReadShort; }

// True when the retrieval buffer exists and has at least n bytes, all of
// them readable (its start is cleared when it is made): a reader of a
// value at its start may then take n bytes whole, past the value's end,
// and mask off what it does not need.
inline bool retrieval_block_readable(std::size_t n) {
    return DataBuffer.buffer != nullptr &&
           static_cast<SQLLEN>(n) <= DataBuffer.capacity;
}

// Capacity of the retrieval buffer (0 before first use); for tests.
inline SQLLEN data_buffer_capacity() { return DataBuffer.capacity; }

// Releases the retrieval buffer; the next read_column creates it afresh.
// For shutdown and tests: pointers read_column handed out become invalid.
void release_data_buffer();

}  // namespace orv
