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
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "stmt/columns.h"
#include "stmt/rowbuf.h"

namespace orv {

namespace {

// Sizing of the row buffer.
inline constexpr std::size_t kReserved = 4;  // tail of every allocation,
                                             // never written
inline constexpr double kMinCapacity = 16380;
inline constexpr double kMaxInitialCapacity = 1024572;
inline constexpr std::size_t kDoublingLimit = 1024576;  // allocations up to
                                                        // this size double
inline constexpr std::size_t kMaxAllocation = 2097152;
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
    kNoData,   // every row delivered
    kFailure,  // a fetch or a read failed: `last` says how
    kFull,     // the block passed kMaxAllocation; rows remain
    kNoMemory  // the block or a value could not be had whole
};

// The block being written into the slot's row buffer.
struct BlockWriter {
    ConnectionSlot* slot;
    std::size_t used = 0;     // bytes written from the buffer's start
    bool over_limit = false;  // grew past kMaxAllocation for this row
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
        if (is_binary_host_type(rec->type)) {
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

// The text of a value read in pointer mode: up to its first zero byte,
// within what the retrieval buffer holds; a NULL is "NULL" under
// FETCH_NULL_TEXT, else empty.  *whole is false when the value could not
// be read whole for want of memory (read_lacked_memory).
std::string_view value_text(const char* value, SQLLEN length, bool null_text,
                            bool* whole) {
    *whole = !read_lacked_memory();
    if (length == SQL_NULL_DATA)
        return null_text ? std::string_view("NULL") : std::string_view();
    SQLLEN held = std::max<SQLLEN>(data_buffer_capacity() - 1, 0);
    SQLLEN bound = length >= 0 ? std::min(length, held) : held;
    return std::string_view(value,
                            strnlen(value, static_cast<std::size_t>(bound)));
}

}  // namespace

// Status 3, before anything is fetched, when argument 3 is missing or has
// no storage for an address (null, or smaller than a pointer).
// Reads: arg_count, argument 3's descriptor, `subcode` (FETCH_ALT_NAMES,
// FETCH_NULL_TEXT) and `number` (row estimate) of the header; the slot's
// statement and column table.
// Writes: the slot's row buffer (the block), generated "expr-N" names into
// the column table, argument 3's storage (the block's address), `count`
// (values per row), `number` (rows in the block), `status`, and for a block
// that stopped at its size limit `sqlstate` "01004".
// Returns SQL_SUCCESS when the status is set (end of data, block full,
// early failures), else the failing ODBC code for the diagnostic capture:
// a fetch or a value read that fails ends the block with the whole rows
// before it, handed over and counted as usual, and status 2.
SQLRETURN run_fetch_block(Command& cmd) {
    if (!have_argument_and_statement(cmd)) return SQL_SUCCESS;
    // The block's address is the only way to the rows: without room for it
    // nothing is fetched.
    const ArgView target = arg(cmd, 3);
    if (target.data == nullptr || target.size < sizeof(void*)) {
        hdr_set_status(cmd, ORV_MISSING_ARG);
        return SQL_SUCCESS;
    }
    ConnectionSlot& slot = *cmd.slot;
    SQLHSTMT statement = slot.statement;

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
    bool header_whole = true;
    int name_counter = 0;
    for (int32_t k = 1; k <= n && header_whole; ++k) {
        std::string_view name = fetch_column_name(*column_record(slot, k),
                                                  alt_names, &name_counter);
        header_whole = make_room(block, name.size());
        if (header_whole) put_item(block, name);
    }

    int64_t rows = 0;
    LoopEnd end = header_whole ? LoopEnd::kNoData : LoopEnd::kNoMemory;
    while (header_whole) {
        SQLRETURN rc = SQLFetchScroll(statement, SQL_FETCH_NEXT, 0);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) {
            last = rc;
            end = LoopEnd::kFailure;
            break;
        }
        last = rc;
        const std::size_t row_start = block.used;
        bool row_whole = true, row_read = true;
        for (int32_t k = 1; k <= n && row_whole; ++k) {
            if (is_binary_host_type(column_record(slot, k)->type)) continue;
            void* value = nullptr;
            SQLLEN length = 0;
            last = read_column(statement, static_cast<SQLUSMALLINT>(k),
                               SQL_C_CHAR, &value, 0, &length);
            std::string_view text = value_text(static_cast<const char*>(value),
                                               length, null_text, &row_whole);
            if (!row_whole) break;
            row_read = SQL_SUCCEEDED(last);
            if (!row_read) break;
            row_whole = make_room(block, text.size());
            if (row_whole) put_item(block, text);
        }
        if (!row_whole || !row_read) {
            // The row cannot be delivered whole and right: the block ends
            // with the rows before it.  A failed read is reported with its
            // own diagnostics (it is the statement's last call).
            block.used = row_start;
            end = row_whole ? LoopEnd::kFailure : LoopEnd::kNoMemory;
            break;
        }
        ++rows;
        if (block.over_limit) {
            end = LoopEnd::kFull;
            break;
        }
    }

    close_block(block);
    arg_store_address(target, slot.row_buffer);
    hdr_set_count(cmd, n - binary);
    hdr_set_number(cmd, static_cast<double>(rows));

    switch (end) {
        case LoopEnd::kNoData:
            return SQL_SUCCESS;
        case LoopEnd::kFailure:
            hdr_set_status(cmd, ORV_ODBC_ERROR);
            return last;
        case LoopEnd::kFull:
            hdr_set_sqlstate(cmd, kFullState);
            hdr_set_native_error(cmd, 0);
            return SQL_SUCCESS;
        case LoopEnd::kNoMemory:
            hdr_set_status(cmd, ORV_NO_MEMORY);
            return SQL_SUCCESS;
    }
    return SQL_SUCCESS;
}

}  // namespace orv
