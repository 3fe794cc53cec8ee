// Command 25: fetches the remaining rows of the slot's current result and
// hands them to the host as one block of text in the slot's row buffer.
//
// Block layout: the names of all result columns (binary ones included),
// then for each row the values of its non-binary columns as text, every
// item ending in one zero byte, and one more zero byte after the last item.
// The host finds the block's address in argument 3, the rows in `number`
// and the values per row in `count`.
//
// The block starts at a size estimated from the host's row count and the
// column widths and grows as values arrive; a value is never cut.  Once the
// block has reached kMaxAllocation, the row being written is still finished
// (the block grows just enough for it) and fetching stops there: the block
// holds whole rows only, and sqlstate "01004" tells the host that rows
// remain for the next command 25.
#include "stmt/fetch_block.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "conn/diagnostics.h"
#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "odbc_api.h"
#include "stmt/columns.h"
#include "stmt/result_cache.h"
#include "stmt/rowbuf.h"

namespace orv {

namespace {

// Sizing of the row buffer.  Every allocation ends in a reserved tail of
// kReserved bytes that is never written, so each usable capacity is an
// allocation size minus 4: the smallest block is allocated 16 KB (16384,
// so 16380 usable); the largest first allocation is 1024576 bytes (a
// decimal megabyte plus 24 KB, so 1024572 usable), and allocations up to it
// double while larger ones grow by half; no block is allocated more than
// 2 MB (2097152), apart from the one row that may finish past it.
inline constexpr std::size_t kReserved = 4;
inline constexpr std::size_t kMinAllocation = 16 * 1024;
inline constexpr double kMinCapacity = kMinAllocation - kReserved;  // 16380
inline constexpr std::size_t kDoublingLimit = 1024576;
inline constexpr double kMaxInitialCapacity =
    kDoublingLimit - kReserved;                                 // 1024572
inline constexpr std::size_t kMaxAllocation = 2 * 1024 * 1024;  // 2097152
inline constexpr double kDefaultRows = 10;
// Beyond this many rows the estimate is clamped anyway; keeps the product
// finite whatever `number` holds.
inline constexpr double kMaxEstimatedRows = 1e12;
inline constexpr double kPerColumnOverhead = 68;

static_assert(kDoublingLimit ==
              static_cast<std::size_t>(kMaxInitialCapacity) + kReserved);

inline constexpr char kFullState[6] = "01004";

// How the row loop ended.
enum class LoopEnd {
    kNoData,    // every row delivered
    kFailure,   // a fetch or a read failed: `last` says how
    kFull,      // the block passed kMaxAllocation; rows remain
    kNoMemory,  // the block or a value could not be had whole
    kCancelled  // command 19 stopped it; rows remain
};

// The block being written into the slot's row buffer.
struct Rowsets;
struct BlockWriter {
    ConnectionSlot* slot;
    std::size_t used = 0;        // bytes written from the buffer's start
    bool over_limit = false;     // grew past kMaxAllocation for this row
    Rowsets* rowsets = nullptr;  // the slot's bound arrays, while used
};

// Bytes that may still be written: the allocation minus its reserved tail
// and what is written already.
std::size_t space_left(const BlockWriter& w) {
    return w.slot->row_buffer_size - kReserved - w.used;
}

// The allocation size that follows `size` by the growth rule: doubling up
// to kDoublingLimit, half again above it, never above kMaxAllocation.
std::size_t next_allocation(std::size_t size) {
    std::size_t next = size > kDoublingLimit ? size * 3 / 2 : size * 2;
    return std::min(next, kMaxAllocation);
}

// Makes room for an item of `len` bytes plus its terminator plus the
// block's closing zero byte.  Grows by the growth rule as often as needed
// up to kMaxAllocation; beyond it, just enough for this item, and marks
// the block as over the limit.  Returns false (buffer unchanged) when the
// memory cannot be had.
bool make_room(BlockWriter& w, std::size_t len) {
    const std::size_t need = len + 2;
    if (need <= space_left(w)) return true;
    std::size_t size = w.slot->row_buffer_size;
    while (size < kMaxAllocation && need > size - kReserved - w.used)
        size = next_allocation(size);
    bool over = need > size - kReserved - w.used;
    if (over) size = w.used + need + kReserved;
    if (!resize_row_buffer(*w.slot, size)) return false;
    if (over) w.over_limit = true;
    return true;
}

// Writes `text` and a terminating zero byte at the write position, at most
// the space left (make_room has normally provided for all of it).
void put_item(BlockWriter& w, std::string_view text) {
    std::size_t s = space_left(w);
    if (s == 0) return;
    std::size_t n = std::min(text.size(), s - 1);
    uint8_t* p = w.slot->row_buffer + w.used;
    if (n > 0) std::memcpy(p, text.data(), n);
    p[n] = 0;
    w.used += n + 1;
}

// Writes the closing zero byte when space is left; the write position
// stays where it is.
void close_block(BlockWriter& w) {
    if (space_left(w) != 0) w.slot->row_buffer[w.used] = 0;
}

// The initial capacity (without the reserved tail) from the host's row
// estimate `number` and the column records 1..n: rows x the per-row
// estimate + 68 per column, raised to kMinCapacity, lowered to
// kMaxInitialCapacity.  Counts the binary columns into *binary.
std::size_t initial_capacity(ConnectionSlot& slot, int32_t n, double number,
                             int32_t* binary) {
    double per_row = 0;
    *binary = 0;
    for (int32_t k = 1; k <= n; ++k) {
        const ColumnDesc* rec = column_record(slot, k);
        if (column_type_is_binary(rec->type)) {
            per_row += rec->width;
            ++*binary;
        } else {
            per_row += 2.0 * rec->width;
        }
    }
    double rows = number > 0.0 ? std::min(std::trunc(number), kMaxEstimatedRows)
                               : kDefaultRows;
    double c = rows * per_row + kPerColumnOverhead * n;
    c = std::max(c, kMinCapacity);
    c = std::min(c, kMaxInitialCapacity);
    return static_cast<std::size_t>(c);
}

// What the block's reads need to know of each fetched column, decided once
// per command from the column table.
struct TextColumn {
    SQLUSMALLINT number;  // the result column
};

// Host types whose text is a number, a date or a time: at most one byte a
// character.
constexpr bool is_number_or_time(int32_t type) {
    return column_type_is_number(type) || type == COLTYPE_TIMESTAMP ||
           type == COLTYPE_DATE || type == COLTYPE_TIME ||
           type == COLTYPE_DATETIME || type == COLTYPE_BIT;
}

// The length of a value's item: the driver's length, cut at the value's
// first zero byte (an item ends at its zero byte).  Whatever the column's
// type, a driver may hand over a zero byte (raw bit values, text stored
// in a number column), and each row of the block must hold exactly its
// column count of items.
std::size_t item_length(const uint8_t* value, std::size_t length) {
    if (length == 0) return length;
    const void* zero = std::memchr(value, 0, length);
    return zero == nullptr ? length
                           : static_cast<std::size_t>(
                                 static_cast<const uint8_t*>(zero) - value);
}

// Buffer length offered to a value's first read straight into the block;
// a longer value is read on through the retrieval buffer.
inline constexpr std::size_t kMaxDirectRead = 65536;

// Appends the item of a NULL (null_value_text's).  Returns false when the
// block cannot grow for it.
bool put_null(BlockWriter& w, bool null_text) {
    const std::string_view text = null_value_text(null_text);
    if (!make_room(w, text.size())) return false;
    put_item(w, text);
    return true;
}

// Reads column `c` of the current row as text straight into the block at
// the write position and makes it an item.  A value longer than the space
// left is finished through the retrieval buffer and then appended whole;
// a failed read gives an empty item.  *rc receives the read's code.
// Returns false (the block's bytes past the write position undefined)
// when the value could not be had whole for want of memory.
bool read_item(BlockWriter& w, SQLHSTMT statement, const TextColumn& c,
               bool null_text, SQLRETURN* rc) {
    const std::size_t space = space_left(w);  // at least 1: the block's end
    const std::size_t room = std::min(space - 1, kMaxDirectRead);
    uint8_t* at = w.slot->row_buffer + w.used;
    const ValueRead v = read_value(w.slot->data_buffer, statement, c.number,
                                   SQL_C_CHAR, {at, static_cast<SQLLEN>(room)});
    *rc = v.rc;
    if (v.lacked) return false;
    if (!SQL_SUCCEEDED(v.rc)) {
        if (!make_room(w, 0)) return false;
        put_item(w, {});
        return true;
    }
    if (v.length == SQL_NULL_DATA) return put_null(w, null_text);
    if (v.bytes == at) {
        // The common read: the value and its terminator are in place.
        std::size_t n =
            v.length >= 0 ? item_length(at, static_cast<std::size_t>(v.length))
                          : strnlen(reinterpret_cast<const char*>(at), room);
        at[n] = 0;
        w.used += n + 1;
        return true;
    }
    // Cut: read on whole in the retrieval buffer, and appended from there.
    const SQLLEN held = std::max<SQLLEN>(w.slot->data_buffer.capacity - 1, 0);
    std::size_t n =
        v.length >= 0
            ? item_length(v.bytes,
                          static_cast<std::size_t>(std::min(v.length, held)))
            : strnlen(reinterpret_cast<const char*>(v.bytes),
                      static_cast<std::size_t>(held));
    if (!make_room(w, n)) return false;
    put_item(w, std::string_view(reinterpret_cast<const char*>(v.bytes), n));
    return true;
}

// ---- Reading rowsets through bound arrays ----------------------------------
//
// Where every text column has a small known width, rows are fetched in
// rowsets into arrays bound with SQLBindCol and copied from there, which
// spares the driver manager and the driver one call per value.  A rowset
// never reaches past the block: it holds no more rows than fit before the
// block's size limit at their widest, so no row is fetched that the block
// does not take.  A value its array element could not hold (a driver
// whose widths do not bound its values) is read again whole with
// SQLGetData, after SQLSetPos to its row.  Drivers that cannot read the
// values of any row of a rowset that way get rowsets of one row.

// Widest column read through bound arrays; a wider one sends the result
// the per-value way.
inline constexpr int32_t kMaxBoundWidth = 4096;
// Text columns read through bound arrays at most.
inline constexpr int32_t kMaxBoundColumns = 128;
// Rows of a rowset at most, and the memory its arrays may take.
inline constexpr SQLULEN kMaxRowsetRows = 1000;
inline constexpr std::size_t kRowsetBytes = 256 * 1024;
// Bytes of the item a NULL gives at most ("NULL" and its terminator).
inline constexpr SQLLEN kNullItem = 5;

// One bound text column.
struct BoundColumn {
    TextColumn text;
    SQLLEN length = 0;             // element length
    uint8_t* values = nullptr;     // `rows` elements
    SQLLEN* indicators = nullptr;  // `rows` indicators
};

// The rowsets of command 25: one process-wide state (commands run one at
// a time, and command 25 makes no callbacks).
struct Rowsets {
    // The arrays of the rowset, aligned for the indicator arrays placed
    // first.
    alignas(16) uint8_t area[kRowsetBytes];
    BoundColumn columns[kMaxBoundColumns];
    int32_t count = 0;         // bound columns
    SQLULEN rows = 0;          // the most rows a rowset holds
    std::size_t row_item = 0;  // bytes a row's items take at most
    bool positioned = false;   // reads of any row of a rowset are possible
    SQLULEN fetched = 0;       // rows of the last rowset
    SQLUSMALLINT status[kMaxRowsetRows] = {};  // their row status
    SQLULEN array_size = 0;                    // the rowset size set last
    // The statement's own settings, put back afterwards.
    SQLULEN saved_array_size = 0;
    SQLPOINTER saved_fetched = nullptr;
    SQLPOINTER saved_status = nullptr;
};
// Each slot's rowsets, in slot order, so that slots fetching at once never
// share them.  All zero until a slot's first block fetch lays them out:
// the memory of a slot that never uses them is never touched.
std::array<Rowsets, kSlotCount> SlotRowsets;
// set_block_rowsets: rowsets may be used (tests turn them off).
std::atomic<bool> RowsetsAllowed{true};

// The rowsets of `slot`; nullptr when rowsets are not allowed (values are
// then read one by one).
Rowsets* rowsets_of(const ConnectionSlot& slot) {
    if (!RowsetsAllowed.load(std::memory_order_relaxed)) return nullptr;
    return &SlotRowsets[static_cast<std::size_t>(&slot - SlotTable.data())];
}

// Element length for a column's values bound as text: the width and its
// terminator, four bytes a character for character data (display sizes
// count characters); 0 when no bound width can be given.
SQLLEN bound_length(const ColumnDesc& rec, bool character) {
    if (rec.width <= 0 || rec.width > kMaxBoundWidth) return 0;
    const SQLLEN bytes = character ? 4 * SQLLEN{rec.width} : rec.width;
    return std::max(bytes + 1, kNullItem);
}

// Decides whether the result's text columns (of records 1..n) can be read
// through bound arrays and lays their arrays out in the slot's rowsets.
// Returns those rowsets, or nullptr, with nothing set on the statement,
// when they cannot.
Rowsets* plan_rowsets(ConnectionSlot& slot, const ColumnDesc* recs, int32_t n) {
    Rowsets* const planned = rowsets_of(slot);
    if (planned == nullptr) return nullptr;
    Rowsets& p = *planned;
    p.count = 0;
    p.row_item = 0;
    std::size_t per_row = 0;
    for (int32_t k = 1; k <= n; ++k) {
        const ColumnDesc& rec = recs[k];
        if (column_type_is_binary(rec.type)) continue;
        if (p.count == kMaxBoundColumns) return nullptr;
        const bool character = !is_number_or_time(rec.type);
        const SQLLEN length = bound_length(rec, character);
        if (length == 0) return nullptr;
        p.columns[p.count++] = {
            {static_cast<SQLUSMALLINT>(k)}, length, nullptr, nullptr};
        per_row += static_cast<std::size_t>(length) + sizeof(SQLLEN);
        p.row_item += static_cast<std::size_t>(length);
    }
    if (p.count == 0) return nullptr;
    p.rows = std::min<SQLULEN>(kMaxRowsetRows, kRowsetBytes / per_row);
    if (p.rows < 2) return nullptr;

    // An SQLUINTEGER answer: drivers write four bytes whatever the length.
    SQLUINTEGER extensions = 0;
    if (!SQL_SUCCEEDED(SQLGetInfo(slot.connection, SQL_GETDATA_EXTENSIONS,
                                  &extensions, sizeof extensions, nullptr)))
        return nullptr;
    // A cut value is read again with SQLGetData from its bound column.
    if (!(extensions & SQL_GD_BOUND)) return nullptr;
    p.positioned = (extensions & SQL_GD_BLOCK) != 0;
    if (!p.positioned) p.rows = 1;

    // Indicators first (aligned), then the values.
    uint8_t* at = p.area;
    for (int32_t i = 0; i < p.count; ++i) {
        p.columns[i].indicators = reinterpret_cast<SQLLEN*>(at);
        at += sizeof(SQLLEN) * p.rows;
    }
    for (int32_t i = 0; i < p.count; ++i) {
        p.columns[i].values = at;
        at += static_cast<std::size_t>(p.columns[i].length) * p.rows;
    }
    return planned;
}

// Puts the statement's own settings back: no bound columns, its rowset
// size and row pointers as they were.
void unbind_rowsets(const Rowsets& p, SQLHSTMT statement) {
    SQLFreeStmt(statement, SQL_UNBIND);
    SQLSetStmtAttr(statement, SQL_ATTR_ROW_ARRAY_SIZE,
                   reinterpret_cast<SQLPOINTER>(p.saved_array_size), 0);
    SQLSetStmtAttr(statement, SQL_ATTR_ROWS_FETCHED_PTR, p.saved_fetched, 0);
    SQLSetStmtAttr(statement, SQL_ATTR_ROW_STATUS_PTR, p.saved_status, 0);
}

// Binds the planned arrays and the row pointers on the statement, after
// noting its own settings.  Returns false, with the settings put back,
// when the driver refuses any of it (or the statement already has a
// rowset size of its own or binds by row).
bool bind_rowsets(Rowsets& p, SQLHSTMT statement) {
    SQLULEN bind_type = SQL_BIND_BY_COLUMN;
    if (!SQL_SUCCEEDED(SQLGetStmtAttr(statement, SQL_ATTR_ROW_ARRAY_SIZE,
                                      &p.saved_array_size, 0, nullptr)) ||
        !SQL_SUCCEEDED(SQLGetStmtAttr(statement, SQL_ATTR_ROWS_FETCHED_PTR,
                                      &p.saved_fetched, 0, nullptr)) ||
        !SQL_SUCCEEDED(SQLGetStmtAttr(statement, SQL_ATTR_ROW_STATUS_PTR,
                                      &p.saved_status, 0, nullptr)) ||
        !SQL_SUCCEEDED(SQLGetStmtAttr(statement, SQL_ATTR_ROW_BIND_TYPE,
                                      &bind_type, 0, nullptr)) ||
        p.saved_array_size != 1 || bind_type != SQL_BIND_BY_COLUMN)
        return false;
    bool ok = SQL_SUCCEEDED(SQLSetStmtAttr(statement, SQL_ATTR_ROWS_FETCHED_PTR,
                                           &p.fetched, 0)) &&
              SQL_SUCCEEDED(SQLSetStmtAttr(statement, SQL_ATTR_ROW_STATUS_PTR,
                                           p.status, 0));
    p.array_size = 1;
    for (int32_t i = 0; ok && i < p.count; ++i) {
        BoundColumn& c = p.columns[i];
        ok = SQL_SUCCEEDED(SQLBindCol(statement, c.text.number, SQL_C_CHAR,
                                      c.values, c.length, c.indicators));
    }
    if (!ok) unbind_rowsets(p, statement);
    return ok;
}

// Rows of the next rowset: as many as the plan allows that, at their
// widest, all fit before the block's size limit (at least one).
SQLULEN next_rowset_rows(const BlockWriter& w) {
    const std::size_t limit = kMaxAllocation - kReserved;
    const std::size_t left = w.used < limit ? limit - w.used : 0;
    const SQLULEN fit = left / w.rowsets->row_item;
    return std::clamp<SQLULEN>(fit, 1, w.rowsets->rows);
}

// Whether the block has room for every bound item of a row at its widest
// and the closing zero byte, so that bound values need no check of their
// own.  A re-read value takes space no element bounds: after one, the
// question is asked again.
bool room_for_row(const BlockWriter& w) {
    return w.rowsets->row_item + 1 <= space_left(w);
}

// Appends row r of the rowset to the block.  A value its element could
// not hold is read again whole.  *last receives the code of a failed
// re-read.  Returns false when the block (or a value) could not grow for
// the row.
bool put_bound_row(BlockWriter& w, SQLHSTMT statement, SQLULEN r,
                   bool null_text, SQLRETURN* last) {
    const Rowsets& p = *w.rowsets;
    bool room_for_all = room_for_row(w);
    bool positioned = p.rows == 1;
    for (int32_t i = 0; i < p.count; ++i) {
        const BoundColumn& c = p.columns[i];
        const SQLLEN length = c.indicators[r];
        if (length >= 0 && length < c.length) {
            const uint8_t* value =
                c.values + static_cast<std::size_t>(r) *
                               static_cast<std::size_t>(c.length);
            const std::size_t n =
                item_length(value, static_cast<std::size_t>(length));
            if (!room_for_all && !make_room(w, n)) return false;
            uint8_t* at = w.slot->row_buffer + w.used;
            std::memcpy(at, value, n);
            at[n] = 0;
            w.used += n + 1;
            continue;
        }
        if (length == SQL_NULL_DATA) {
            if (!put_null(w, null_text)) return false;
            continue;
        }
        // Cut (or of unknown length): read again, whole.
        if (!positioned) {
            SQLRETURN rc =
                SQLSetPos(statement, static_cast<SQLSETPOSIROW>(r + 1),
                          SQL_POSITION, SQL_LOCK_NO_CHANGE);
            if (!SQL_SUCCEEDED(rc)) {
                *last = rc;
                if (!make_room(w, 0)) return false;
                put_item(w, {});
                continue;
            }
            positioned = true;
        }
        SQLRETURN rc = SQL_SUCCESS;
        if (!read_item(w, statement, c.text, null_text, &rc)) return false;
        if (!SQL_SUCCEEDED(rc)) *last = rc;
        room_for_all = room_for_row(w);
    }
    return true;
}

// The row loop through bound arrays: fetches rowsets until the result
// ends, the block is full or a fetch fails, and appends their rows.
// Every row a rowset holds goes into the block (whole, or not at all for
// want of memory, which ends the block).  *rows counts the rows
// delivered, *last the last ODBC code that counts.
LoopEnd fetch_rowsets(BlockWriter& w, SQLHSTMT statement, bool null_text,
                      int64_t* rows, SQLRETURN* last) {
    Rowsets& p = *w.rowsets;
    for (;;) {
        if (cancel_asked(*w.slot)) return LoopEnd::kCancelled;
        const SQLULEN size = next_rowset_rows(w);
        if (size != p.array_size) {
            SQLRETURN rc =
                SQLSetStmtAttr(statement, SQL_ATTR_ROW_ARRAY_SIZE,
                               reinterpret_cast<SQLPOINTER>(size), 0);
            if (!SQL_SUCCEEDED(rc)) {
                *last = rc;
                return LoopEnd::kFailure;
            }
            p.array_size = size;
        }
        p.fetched = 0;
        SQLRETURN rc = SQLFetchScroll(statement, SQL_FETCH_NEXT, 0);
        if (rc == SQL_NO_DATA) return LoopEnd::kNoData;
        *last = rc;
        if (!SQL_SUCCEEDED(rc)) return LoopEnd::kFailure;
        SQLRETURN failed = SQL_SUCCESS;  // a row or a re-read that failed
        const SQLULEN fetched = std::min(p.fetched, p.array_size);
        for (SQLULEN r = 0; r < fetched; ++r) {
            const SQLUSMALLINT status = p.status[r];
            if (status == SQL_ROW_ERROR) {
                failed = SQL_ERROR;
                break;
            }
            if (status == SQL_ROW_NOROW) break;
            const std::size_t row_start = w.used;
            if (!put_bound_row(w, statement, r, null_text, &failed)) {
                w.used = row_start;
                return LoopEnd::kNoMemory;
            }
            if (failed != SQL_SUCCESS) {
                // A value that failed to read again: the row is left out.
                w.used = row_start;
                break;
            }
            ++*rows;
        }
        if (failed != SQL_SUCCESS) {
            *last = failed;
            return LoopEnd::kFailure;
        }
        if (w.over_limit) return LoopEnd::kFull;
    }
}

// The row loop one value at a time: fetches rows until the result ends,
// the block is full or a fetch (or a row's last read) fails, and reads
// each text column of records 1..n straight into the block.
LoopEnd fetch_values(BlockWriter& w, SQLHSTMT statement, const ColumnDesc* recs,
                     int32_t n, bool null_text, int64_t* rows,
                     SQLRETURN* last) {
    for (;;) {
        if (cancel_asked(*w.slot)) return LoopEnd::kCancelled;
        SQLRETURN rc = SQLFetchScroll(statement, SQL_FETCH_NEXT, 0);
        if (rc == SQL_NO_DATA) return LoopEnd::kNoData;
        *last = rc;
        if (!SQL_SUCCEEDED(rc)) return LoopEnd::kFailure;
        const std::size_t row_start = w.used;
        for (int32_t k = 1; k <= n; ++k) {
            const int32_t type = recs[k].type;
            if (column_type_is_binary(type)) continue;
            const TextColumn c{static_cast<SQLUSMALLINT>(k)};
            if (!read_item(w, statement, c, null_text, last)) {
                // The row cannot be delivered whole: the block ends with
                // the rows before it.
                w.used = row_start;
                return LoopEnd::kNoMemory;
            }
            if (!SQL_SUCCEEDED(*last)) {
                // Nor can a row with a value that failed to read: the block
                // ends with the rows before it, and the failed read is
                // reported with its own diagnostics.
                w.used = row_start;
                return LoopEnd::kFailure;
            }
        }
        ++*rows;
        if (w.over_limit) return LoopEnd::kFull;
    }
}

// Writes the names of columns 1..n (alt_name when `alt`) as the block's
// first items.  Returns false when the block cannot grow for them.
bool put_names(BlockWriter& w, int32_t n, bool alt) {
    int name_counter = 0;
    for (int32_t k = 1; k <= n; ++k) {
        std::string_view name =
            fetch_column_name(*column_record(*w.slot, k), alt, &name_counter);
        if (!make_room(w, name.size())) return false;
        put_item(w, name);
    }
    return true;
}

// How the block ended, for the host: status 2 with the failing code
// returned for the diagnostic capture, 01004 for a full block, status 8
// for want of memory.  Returns the code for the common tail.
SQLRETURN report_end(Command& cmd, LoopEnd end, SQLRETURN last) {
    switch (end) {
        case LoopEnd::kNoData:
            return SQL_SUCCESS;
        case LoopEnd::kFailure:
            // A fetch that fails after a cancel was asked failed because
            // of it (a driver manager may even take the cancel for a
            // close of the cursor): it is reported as the cancel.
            if (cancel_asked(*cmd.slot)) {
                report_cancelled(cmd, *cmd.slot);
                return SQL_SUCCESS;
            }
            hdr_set_status(cmd, ORV_ODBC_ERROR);
            return last;
        case LoopEnd::kFull:
            hdr_set_sqlstate(cmd, kFullState);
            hdr_set_native_error(cmd, 0);
            return SQL_SUCCESS;
        case LoopEnd::kNoMemory:
            hdr_set_status(cmd, ORV_NO_MEMORY);
            return SQL_SUCCESS;
        case LoopEnd::kCancelled:
            report_cancelled(cmd, *cmd.slot);
            return SQL_SUCCESS;
    }
    return SQL_SUCCESS;
}

}  // namespace

void set_block_rowsets(bool allowed) {
    RowsetsAllowed.store(allowed, std::memory_order_relaxed);
}

// Status 3, before anything is fetched, when argument 3 is missing or has
// no storage for an address (null, or smaller than a pointer).
// Reads: arg_count, argument 3's descriptor, `subcode` (FETCH_ALT_NAMES,
// FETCH_NULL_TEXT) and `number` (row estimate) of the header; the slot's
// statement and column table.
// Writes: the slot's row buffer (the block), generated "expr-N" names into
// the column table, argument 3's storage (the block's address), `count`
// (values per row), `number` (rows in the block), `status`, and for a block
// that stopped at its size limit `sqlstate` "01004".  The statement's
// bindings, rowset size and row pointers are as they were afterwards.
// Returns SQL_SUCCESS when the status is set (end of data, block full,
// early failures), else the failing ODBC code for the diagnostic capture:
// a fetch or a value read that fails ends the block with the whole rows
// before it, handed over and counted as usual, and status 2.
SQLRETURN run_fetch_block(Command& cmd) {
    // The block's address is the only way to the rows: without room for it
    // nothing is fetched.
    const ArgView target = arg(cmd, 3);
    if (!arg_has_storage(target) || target.size < sizeof(void*)) {
        hdr_set_status(cmd, ORV_MISSING_ARG);
        return SQL_SUCCESS;
    }
    ConnectionSlot& slot = *cmd.slot;
    SQLHSTMT statement = slot.statement;
    forget_result(slot);  // the block reads on and fills the row buffer

    SQLSMALLINT columns = 0;
    SQLRETURN last = SQLNumResultCols(statement, &columns);
    const int32_t n = SQL_SUCCEEDED(last) ? std::max<int32_t>(columns, 0) : 0;
    hdr_set_count(cmd, n);
    int16_t prepared = prepare_columns(slot, n);
    if (prepared != ORV_OK) {
        hdr_set_status(cmd, prepared);
        return SQL_SUCCESS;
    }

    const int16_t subcode = hdr_subcode(cmd);
    const bool alt_names = (subcode & FETCH_ALT_NAMES) != 0;
    const bool null_text = (subcode & FETCH_NULL_TEXT) != 0;

    int32_t binary = 0;
    std::size_t capacity = initial_capacity(slot, n, hdr_number(cmd), &binary);
    if (!resize_row_buffer(slot, capacity + kReserved)) {
        hdr_set_status(cmd, ORV_NO_MEMORY);
        return SQL_SUCCESS;
    }

    BlockWriter block{&slot};
    // prepare_columns made the table hold records 0..n, one after another.
    const ColumnDesc* recs = column_record(slot, 0);
    int64_t rows = 0;
    LoopEnd end = LoopEnd::kNoMemory;
    if (put_names(block, n, alt_names)) {
        block.rowsets = plan_rowsets(slot, recs, n);
        if (block.rowsets != nullptr &&
            bind_rowsets(*block.rowsets, statement)) {
            end = fetch_rowsets(block, statement, null_text, &rows, &last);
            // Putting the statement's settings back clears its
            // diagnostics: a failure's are taken first, and kept for
            // command 3.
            if (end == LoopEnd::kFailure) {
                capture_diagnostics(cmd, last);
                keep_diagnostic(slot, last);
                last = SQL_SUCCESS;
            }
            unbind_rowsets(*block.rowsets, statement);
        } else {
            end = fetch_values(block, statement, recs, n, null_text, &rows,
                               &last);
        }
    }

    close_block(block);
    arg_store_address(target, slot.row_buffer);
    hdr_set_count(cmd, n - binary);
    hdr_set_number(cmd, static_cast<double>(rows));
    return report_end(cmd, end, last);
}

}  // namespace orv
