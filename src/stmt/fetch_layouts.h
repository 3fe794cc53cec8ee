// The four layouts in which command 12 hands one fetched row to the host,
// and the small pieces they share.  Only fetch_row.cpp and
// fetch_layouts.cpp use this header.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "conn/slots.h"
#include "host/command.h"
#include "host/hostio.h"
#include "odbc_api.h"
#include "stmt/columns.h"
#include "stmt/result_cache.h"

namespace orv {

// One row fetch in progress, after the common start: the row is
// positioned and the column table describes at least `columns` columns.
struct RowFetch {
    Command& cmd;
    ConnectionSlot& slot;
    SQLHSTMT statement;
    int32_t columns;     // result column count n
    int16_t subcode;     // layout and option bits
    SQLRETURN last;      // the last ODBC return code; the common tail sees it
    ResultCache& cache;  // the slot's, made for this result
};

// Each layout delivers the row as its name says, sets `count` and the
// status where its rules call for it, and leaves the last ODBC return code
// in f.last.
void fetch_per_argument(RowFetch& f);
void fetch_array(RowFetch& f);
void fetch_fixed(RowFetch& f);
void fetch_pairs(RowFetch& f);

// Hands text to argument or element `selector` with PUT_STRING; a refusal
// makes status 8.
void put_value(RowFetch& f, int32_t selector, std::string_view text);

// Copies a value read into the retrieval buffer (v as read_value left
// it, read as c_type) into dst: min(v.length + 1, dst.size) bytes (the
// value and, when it fits, a terminating zero byte), or dst.size zero
// bytes for a NULL.  Every write is bounded by dst.size.
void store_value(const DataBufferState& buf, const ArgView& dst,
                 const ValueRead& v, SQLSMALLINT c_type);

// A column read that did not return SQL_SUCCESS: status 2, native_error =
// the column number, and the statement's first diagnostic record's state
// into sqlstate (its native code is not kept).  Returns the code of the
// SQLGetDiagRec call.
SQLRETURN report_column_failure(RowFetch& f, int32_t column);

// A value the connector cut to the room the host gave it: sqlstate
// "01004" and native_error = the column, the status unchanged.  A failure
// already reported (status 2) keeps its diagnostics.
void report_truncation(RowFetch& f, int32_t column);

// A value that could not be read for want of memory: status 8, and
// native_error = the column when `column` is not 0.
void report_no_memory(RowFetch& f, int32_t column);

}  // namespace orv
