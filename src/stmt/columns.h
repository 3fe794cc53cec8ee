// Column description records and the shared retrieval buffer.
#pragma once
#include <cstdint>
#include <cstring>
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

// Reports the statement's current result, as commands 9, 20 and 22 do:
// `number` = SQLRowCount (0.0 unless that answers exactly SQL_SUCCESS),
// `count` = SQLNumResultCols (0 when that fails).  Returns the column
// count's ODBC code, for the diagnostic capture.
SQLRETURN report_result(Command& cmd, SQLHSTMT statement);

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

// Values are read through the slot's retrieval buffer (DataBufferState,
// defined with the slot in process_state.h).

// Buffer length offered to a value's first read.  Some drivers (SQLite's)
// do work in proportion to the length offered, so once the buffer has
// grown for one large value, offering all of it would slow every later
// read; a value longer than this is read on into the rest of the buffer.
inline constexpr SQLLEN kFirstReadLength = 65536;

// What a NULL becomes under FETCH_NULL_TEXT.
inline constexpr std::string_view kNullText = "NULL";

// The text a NULL gives: kNullText under FETCH_NULL_TEXT (`null_text`),
// else the empty text.  Every layout takes a NULL's text from here.
inline std::string_view null_value_text(bool null_text) {
    return null_text ? kNullText : std::string_view();
}

// Where a value's first read goes: `room` bytes at `at` (the free space of
// a block, a work buffer); the retrieval buffer when `at` is null.
struct ReadTarget {
    uint8_t* at = nullptr;
    SQLLEN room = 0;
};

// The outcome of one value's read.
struct ValueRead {
    SQLRETURN rc = SQL_SUCCESS;  // the code of the last SQLGetData call
    // Memory for the value could not be had (never with SQL_SUCCESS):
    // `bytes` holds the part that fitted, or the empty text, and must
    // never be passed on as the column's value.
    bool lacked = false;
    // The whole value's length, or the indicator (SQL_NULL_DATA,
    // SQL_NO_TOTAL); 0 after a failed read.
    SQLLEN length = 0;
    // The value's bytes, followed by a zero byte (character data brings
    // its own; other data gets one where the room allows): at the target
    // when the first read got it whole there, else in the retrieval
    // buffer.  The empty text for a NULL or a failed read; never an
    // earlier value.
    const uint8_t* bytes = nullptr;
};

// The length a value's first read offers: the retrieval buffer's
// capacity, at most kFirstReadLength.
inline SQLLEN first_read_room(const DataBufferState& buf) {
    return buf.capacity < kFirstReadLength ? buf.capacity : kFirstReadLength;
}

// read_value's continuation: after a first read into `to` (at not null)
// whose code and indicator `first` holds, when it did not give the whole
// value with SQL_SUCCESS, or before any read when the retrieval buffer
// does not exist yet (`to` then empty).  A value cut at a target other
// than the retrieval buffer has its head moved there and is read on after
// it.  Out of line: the common read stays small.
ValueRead read_value_on(DataBufferState& buf, SQLHSTMT statement,
                        SQLUSMALLINT column, SQLSMALLINT c_type, ReadTarget to,
                        ValueRead first);

// The one way a column value of the current row is read: with SQLGetData
// as c_type, first into `to` (the retrieval buffer `buf`, the slot's, by
// default), read on through the retrieval buffer, grown as the value
// needs, when it does not fit there.  A driver that cannot tell the length
// (SQL_NO_TOTAL) is read in doubling steps.  The outcome is ValueRead's; the
// bytes stay valid until the next read.
inline ValueRead read_value(DataBufferState& buf, SQLHSTMT statement,
                            SQLUSMALLINT column, SQLSMALLINT c_type,
                            ReadTarget to = {}) {
    if (to.at == nullptr) {
        if (buf.buffer == nullptr)
            return read_value_on(buf, statement, column, c_type, to, {});
        to = {buf.buffer, first_read_room(buf)};
    }
    // The driver writes a local, not the outcome: the outcome then stays
    // in registers when this is inlined.
    SQLLEN length = 0;
    const SQLRETURN rc =
        SQLGetData(statement, column, c_type, to.at, to.room, &length);
    if (rc == SQL_SUCCESS && length >= 0 && length < to.room) {
        // Binary and fixed-size values get the terminator text has.
        if (c_type != SQL_C_CHAR) to.at[length] = 0;
        return {rc, false, length, to.at};
    }
    return read_value_on(buf, statement, column, c_type, to,
                         {rc, false, length, nullptr});
}

// The text of a value read into the retrieval buffer: its bytes, never
// more than the buffer holds; for a NULL, null_value_text(null_text).
inline std::string_view value_text(const DataBufferState& buf,
                                   const ValueRead& v, bool null_text) {
    if (v.length == SQL_NULL_DATA) return null_value_text(null_text);
    const auto* text = reinterpret_cast<const char*>(v.bytes);
    // Character data keeps its terminator inside the buffer.
    const SQLLEN held = buf.capacity > 0 ? buf.capacity - 1 : 0;
    if (v.length < 0) return std::string_view(text, strnlen(text, held));
    return std::string_view(
        text, static_cast<std::size_t>(v.length < held ? v.length : held));
}

// True when the retrieval buffer exists and has at least n bytes, all of
// them readable (its start is cleared when it is made): a reader of a
// value at its start may then take n bytes whole, past the value's end,
// and mask off what it does not need.
inline bool retrieval_block_readable(const DataBufferState& buf,
                                     std::size_t n) {
    return buf.buffer != nullptr && static_cast<SQLLEN>(n) <= buf.capacity;
}

// Releases every slot's retrieval buffer; the next read creates it
// afresh.  For tests: bytes the reads handed out become invalid.
void release_data_buffers();

}  // namespace orv
