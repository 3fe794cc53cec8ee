// Command 22: SQL text with ? markers, executed with the host's values
// bound as parameters: one value per marker, or one array per marker
// holding many rows that the driver runs as parameter sets.
//
// Values are bound where they lie: text and bytes straight from the host's
// storage (read by the driver during SQLExecute only), integers through
// GET_INT into the connector's own array.  Every binding is released
// before the command returns, so no pointer into host memory outlives it.
// Lengths always come from the host's values, never from the driver's
// description of a marker.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string_view>

#include "conn/diagnostics.h"
#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "memory.h"
#include "odbc_api.h"
#include "stmt/columns.h"

namespace orv {

namespace {

// Rows an array may hold: the element selector of GET_INT (argument +
// 256 x index) must stay a positive 32-bit number.
constexpr int64_t kMaxRows = 0x7FFFFF;

// What the value arguments are, and how many rows they hold.
struct Shape {
    int markers = 0;       // value arguments: arguments 4 .. arg_count
    std::size_t rows = 1;  // 1 for single values
    bool arrays = false;   // ARG_ARRAY on every value argument
};

// Reads the shape of the value arguments.  Arrays need ARG_ARRAY on every
// value argument and param (word-swapped) rows from 0 to kMaxRows whose
// storage can be addressed.  Returns false for a mix of arrays and single
// values or a row count out of range.
bool read_shape(const Command& cmd, Shape* shape) {
    shape->markers = std::max(arg_count(cmd) - 3, 0);
    int arrays = 0;
    for (int n = 4; n <= arg_count(cmd); ++n)
        if (arg_within(cmd, n).type_flags & ARG_ARRAY) ++arrays;
    if (arrays == 0) return true;
    if (arrays != shape->markers) return false;
    const int64_t rows = hdr_param_swapped(cmd);
    if (rows < 0 || rows > kMaxRows) return false;
    for (int n = 4; n <= arg_count(cmd); ++n) {
        // The elements and the null map must be addressable.
        const uint64_t bytes = (uint64_t{arg_within(cmd, n).size} + 1) *
                               static_cast<uint64_t>(rows);
        if (bytes > SIZE_MAX) return false;
    }
    shape->rows = static_cast<std::size_t>(rows);
    shape->arrays = true;
    return true;
}

// The text's precision and scale as an SQL_NUMERIC parameter: its digits,
// and those after the decimal point.  A text with an exponent is bound as
// SQL_DOUBLE instead (exponent = true).
struct NumberShape {
    SQLULEN digits = 0;
    SQLSMALLINT scale = 0;
    bool exponent = false;
};
NumberShape number_shape(std::span<const uint8_t> text) {
    NumberShape s;
    bool fraction = false;
    for (uint8_t c : text) {
        if (c >= '0' && c <= '9') {
            ++s.digits;
            if (fraction) ++s.scale;
        } else if (c == '.') {
            fraction = true;
        } else if (c == 'e' || c == 'E') {
            s.exponent = true;
        }
    }
    return s;
}

// The length of a value: its text up to the first zero byte within the
// element (types 2 and 4), or the whole element (bytes).
SQLLEN value_length(const uint8_t* element, std::size_t size, bool text) {
    if (!text) return static_cast<SQLLEN>(size);
    const void* zero = std::memchr(element, 0, size);
    return static_cast<SQLLEN>(
        zero == nullptr ? size
                        : static_cast<std::size_t>(
                              static_cast<const uint8_t*>(zero) - element));
}

// Marks the NULL rows of argument `a` with SQL_NULL_DATA in `lengths` and
// the others with 0: ARG_NULL on a single value, or the non-zero bytes of
// the null map behind an array's elements.
void mark_nulls(const ArgView& a, const Shape& shape, SQLLEN* lengths) {
    std::fill(lengths, lengths + shape.rows, 0);
    if (!(a.type_flags & ARG_NULL)) return;
    if (!shape.arrays) {
        lengths[0] = SQL_NULL_DATA;
        return;
    }
    const std::span<uint8_t> map =
        arg_storage(arg_trailer(a, shape.rows, shape.rows));
    for (std::size_t r = 0; r < map.size(); ++r)
        if (map[r] != 0) lengths[r] = SQL_NULL_DATA;
}

// The one empty value a text or bytes argument without storage is bound to.
uint8_t kEmptyValue[1] = {0};

// One marker's binding, for all rows of the call.
struct Binding {
    SQLSMALLINT c_type = SQL_C_CHAR;
    SQLSMALLINT sql_type = SQL_VARCHAR;
    SQLULEN column_size = 1;
    SQLSMALLINT digits = 0;
    uint8_t* values = nullptr;    // row 0's value
    SQLLEN stride = 0;            // bytes from one row's value to the next
    SQLLEN* lengths = nullptr;    // per row: length or SQL_NULL_DATA
    int64_t* integers = nullptr;  // per row, for types 6 and 8
};

// Fills the integers of argument n (types 6 and 8) through GET_INT, with
// the element selector of each row of an array.
void read_integers(Command& cmd, int n, const Shape& shape, Binding& b) {
    const bool is_unsigned =
        (arg_within(cmd, n).type_flags & ARG_TYPE_MASK) == ARG_TYPE_UNSIGNED;
    for (std::size_t r = 0; r < shape.rows; ++r) {
        if (b.lengths[r] == SQL_NULL_DATA) continue;
        const int32_t v = svc_get_int(
            cmd, n + static_cast<int32_t>(shape.arrays ? 256 * r : 0));
        b.integers[r] =
            is_unsigned ? int64_t{static_cast<uint32_t>(v)} : int64_t{v};
        b.lengths[r] = sizeof(int64_t);
    }
    b.values = reinterpret_cast<uint8_t*>(b.integers);
    b.stride = sizeof(int64_t);
    b.c_type = SQL_C_SBIGINT;
    b.sql_type = SQL_BIGINT;
    b.column_size = 19;
}

// Reads argument n into `b`, whose lengths (and integers, for types 6 and
// 8) hold shape.rows entries: the C and SQL types from the host type, each
// row's length or SQL_NULL_DATA, the column size the longest value needs
// and, for number texts, precision and scale.
void read_binding(Command& cmd, int n, const Shape& shape, Binding& b) {
    const ArgView a = arg_within(cmd, n);
    const int type = a.type_flags & ARG_TYPE_MASK;
    mark_nulls(a, shape, b.lengths);
    if (type == ARG_TYPE_UNSIGNED || type == ARG_TYPE_SIGNED)
        return read_integers(cmd, n, shape, b);

    const bool text = type == ARG_TYPE_STRING || type == ARG_TYPE_NUMBER_TEXT;
    b.c_type = text ? SQL_C_CHAR : SQL_C_BINARY;
    b.sql_type = text ? SQL_VARCHAR : SQL_VARBINARY;
    b.values = a.data != nullptr ? a.data : kEmptyValue;
    b.stride = a.data != nullptr ? static_cast<SQLLEN>(a.size) : 0;
    // Every element at once: rows x size bytes from the argument's data.
    const std::span<uint8_t> all = arg_elements(a, shape.rows);
    const std::size_t size = all.empty() ? 0 : a.size;
    NumberShape number;
    SQLLEN longest = 0;
    for (std::size_t r = 0; r < shape.rows; ++r) {
        if (b.lengths[r] == SQL_NULL_DATA) continue;
        const uint8_t* element = all.empty() ? kEmptyValue : &all[r * size];
        b.lengths[r] = value_length(element, size, text);
        longest = std::max(longest, b.lengths[r]);
        if (type != ARG_TYPE_NUMBER_TEXT) continue;
        const NumberShape one = number_shape(std::span<const uint8_t>(
            element, static_cast<std::size_t>(b.lengths[r])));
        number.digits = std::max(number.digits, one.digits);
        number.scale = std::max(number.scale, one.scale);
        number.exponent = number.exponent || one.exponent;
    }
    b.column_size = static_cast<SQLULEN>(std::max<SQLLEN>(longest, 1));
    if (type == ARG_TYPE_NUMBER_TEXT && number.exponent) {
        b.sql_type = SQL_DOUBLE;
        b.column_size = 15;
    } else if (type == ARG_TYPE_NUMBER_TEXT) {
        b.sql_type = SQL_NUMERIC;
        b.column_size = std::max<SQLULEN>(number.digits, 1);
        b.digits = number.scale;
    }
}

// Everything one call binds, in one block of the connector's memory:
// the bindings, their lengths and integers, and the row status array.
struct Work {
    void* block = nullptr;
    Binding* bindings = nullptr;
    SQLUSMALLINT* row_status = nullptr;  // shape.rows entries
};

// The largest work block a slot keeps between calls.  A load in batches
// needs the same block for every batch: taken and given back each time,
// it sits at the top of the heap with the driver's own per-execution
// memory, and the C library hands the pages back to the system and faults
// them in again on every call (several times the CPU time of the load on
// MariaDB's driver).  Larger blocks, from rare calls of many rows, are
// given back at once rather than held for the life of the slot.
constexpr std::size_t kKeptWork = std::size_t{1} << 20;

// A block of `bytes` for one call: the slot's kept block when it is large
// enough, else a new one (kept in place of the old when within
// kKeptWork).  Returns nullptr when the memory cannot be had.
void* take_work(ConnectionSlot& slot, std::size_t bytes) {
    if (bytes <= slot.param_work_size) return slot.param_work;
    if (bytes > kKeptWork) return orv_alloc(bytes);
    void* block = orv_realloc(slot.param_work, bytes);
    if (block == nullptr) return nullptr;
    slot.param_work = static_cast<uint8_t*>(block);
    slot.param_work_size = bytes;
    return block;
}

// Gives back a block from take_work unless the slot keeps it.
void give_back_work(ConnectionSlot& slot, void* block) {
    if (block != slot.param_work) orv_free(block);
}

// Takes the memory for `shape` and reads every value argument into it.
// Returns false when the memory cannot be had.
bool read_values(Command& cmd, const Shape& shape, Work& w) {
    const std::size_t m = static_cast<std::size_t>(shape.markers);
    const uint64_t bytes =
        m * sizeof(Binding) +
        uint64_t{m} * shape.rows * (sizeof(SQLLEN) + sizeof(int64_t)) +
        uint64_t{shape.rows} * sizeof(SQLUSMALLINT);
    if (bytes > SIZE_MAX) return false;
    w.block = take_work(*cmd.slot, static_cast<std::size_t>(bytes));
    if (w.block == nullptr) return false;
    auto* at = static_cast<uint8_t*>(w.block);
    w.bindings = reinterpret_cast<Binding*>(at);
    at += m * sizeof(Binding);
    for (std::size_t i = 0; i < m; ++i) {
        Binding& b = *new (&w.bindings[i]) Binding{};
        b.lengths = reinterpret_cast<SQLLEN*>(at);
        at += shape.rows * sizeof(SQLLEN);
        b.integers = reinterpret_cast<int64_t*>(at);
        at += shape.rows * sizeof(int64_t);
        read_binding(cmd, static_cast<int>(i) + 4, shape, b);
    }
    w.row_status = reinterpret_cast<SQLUSMALLINT*>(at);
    return true;
}

// Binds rows [start, ...) of every marker: the value and length arrays
// from row `start` on.  Returns the first failing code, else SQL_SUCCESS.
SQLRETURN bind_rows(SQLHSTMT statement, const Shape& shape, const Work& w,
                    std::size_t start) {
    for (int i = 0; i < shape.markers; ++i) {
        const Binding& b = w.bindings[i];
        SQLRETURN rc = SQLBindParameter(
            statement, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
            b.c_type, b.sql_type, b.column_size, b.digits,
            b.values + static_cast<SQLLEN>(start) * b.stride, b.stride,
            b.lengths + start);
        if (!SQL_SUCCEEDED(rc)) return rc;
    }
    return SQL_SUCCESS;
}

// Prepares `text` on the slot's statement unless it is the text the
// statement holds prepared already, and gives its marker count.  Returns
// the code of the failing call (SQLPrepare or SQLNumParams), else
// SQL_SUCCESS.  A text that cannot be remembered (no memory) is prepared
// again next time.
SQLRETURN prepare(ConnectionSlot& slot, std::string_view text,
                  SQLSMALLINT* markers) {
    PreparedText& p = slot.prepared;
    if (p.text != nullptr && p.statement == slot.statement &&
        std::string_view(p.text, p.length) == text) {
        *markers = p.markers;
        return SQL_SUCCESS;
    }
    forget_prepared(slot);
    SQLRETURN rc =
        SQLPrepare(slot.statement,
                   reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.data())),
                   static_cast<SQLINTEGER>(text.size()));
    if (!SQL_SUCCEEDED(rc)) return rc;
    rc = SQLNumParams(slot.statement, markers);
    if (!SQL_SUCCEEDED(rc)) return rc;
    auto* copy = static_cast<char*>(orv_alloc(text.size() + 1));
    if (copy == nullptr) return SQL_SUCCESS;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = 0;
    p = PreparedText{copy, text.size(), slot.statement, *markers};
    return SQL_SUCCESS;
}

// A statement attribute the command changes for its own call only.
struct Held {
    SQLINTEGER attribute;
    SQLULEN usual;  // the ODBC default, assumed when it cannot be read
    SQLULEN saved = 0;
    bool changed = false;
};

// Sets the attribute to `value` for this call (once read, its value from
// before the call is kept in `h`).  Returns the code of the set.
SQLRETURN hold(SQLHSTMT statement, Held& h, SQLULEN value) {
    if (!h.changed) {
        SQLULEN before = h.usual;
        if (!SQL_SUCCEEDED(SQLGetStmtAttr(statement, h.attribute, &before,
                                          sizeof before, nullptr)))
            before = h.usual;
        if (before == value) return SQL_SUCCESS;
        h.saved = before;
        h.changed = true;
    }
    return SQLSetStmtAttr(statement, h.attribute,
                          reinterpret_cast<SQLPOINTER>(value), 0);
}

// The attributes a call holds: those a host may have set (bind type and
// offset, the processed-count pointer) and those arrays need.
struct HeldSet {
    Held bind_type{SQL_ATTR_PARAM_BIND_TYPE, SQL_PARAM_BIND_BY_COLUMN};
    Held bind_offset{SQL_ATTR_PARAM_BIND_OFFSET_PTR, 0};
    Held set_size{SQL_ATTR_PARAMSET_SIZE, 1};
    Held status{SQL_ATTR_PARAM_STATUS_PTR, 0};
    Held processed{SQL_ATTR_PARAMS_PROCESSED_PTR, 0};
};

// Puts every held attribute back and releases the bindings, so that the
// driver keeps no pointer into host memory or into `w`.  Clears the
// statement's diagnostic records.
void put_back(SQLHSTMT statement, HeldSet& held) {
    SQLFreeStmt(statement, SQL_RESET_PARAMS);
    for (Held* h : {&held.bind_type, &held.bind_offset, &held.set_size,
                    &held.status, &held.processed})
        if (h->changed)
            SQLSetStmtAttr(statement, h->attribute,
                           reinterpret_cast<SQLPOINTER>(h->saved), 0);
}

// Ends a failed command: status 2, the kept record's sqlstate (or "?"),
// native_error = `native`.
void report_failure(Command& cmd, const ConnectionSlot& slot, int32_t native) {
    hdr_set_status(cmd, ORV_ODBC_ERROR);
    if (slot.kept.valid) {
        char state[6];
        std::memcpy(state, slot.kept.sqlstate, sizeof state);
        state[5] = 0;
        hdr_set_sqlstate(cmd, state);
    } else {
        hdr_set_sqlstate_unknown(cmd);
    }
    hdr_set_native_error(cmd, native);
}

// What the sets of an array call came to.
struct Tally {
    std::size_t done = 0;        // rows the driver reports done
    std::size_t failed_row = 0;  // 1-based row that failed; 0 when none
    bool failed = false;         // a set failed (row known or not)
    int32_t native = 0;          // native_error to report on failure
    double affected = 0;         // SQLRowCount summed over the sets
    SQLULEN processed = 0;       // the driver's count of the last set
};

// A row status the driver did not write.
constexpr SQLUSMALLINT kUnwritten = 0xFFFF;

// Adds the rows a successful execution affected.
void add_affected(SQLHSTMT statement, Tally& t) {
    SQLLEN rows = 0;
    if (SQLRowCount(statement, &rows) == SQL_SUCCESS && rows > 0)
        t.affected += static_cast<double>(rows);
}

// Records a failure at row `row` (1-based, 0 when not known), keeping the
// statement's diagnostics first.
void fail_at(ConnectionSlot& slot, SQLRETURN rc, std::size_t row, Tally& t) {
    const int32_t native = keep_diagnostic(slot, rc);
    t.failed = true;
    t.failed_row = row;
    t.native = row != 0 ? static_cast<int32_t>(row) : native;
}

// Runs rows [start, start + n) one at a time (a set size of 1), stopping
// at the first that fails.  Used when a driver refused a whole set
// without saying which row caused it: PostgreSQL's driver rolls the set
// back and marks every row failed, MariaDB's bulk execution marks none.
void run_rows_singly(ConnectionSlot& slot, const Shape& shape, const Work& w,
                     HeldSet& held, std::size_t start, std::size_t n,
                     Tally& t) {
    SQLHSTMT st = slot.statement;
    hold(st, held.set_size, 1);
    for (std::size_t r = start; r < start + n; ++r) {
        hold(st, held.status, reinterpret_cast<SQLULEN>(w.row_status + r));
        SQLRETURN rc = bind_rows(st, shape, w, r);
        if (SQL_SUCCEEDED(rc))
            rc = while_executing(slot, [st] { return SQLExecute(st); });
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
            return fail_at(slot, rc, r + 1, t);
        ++t.done;
        if (rc != SQL_NO_DATA) add_affected(st, t);
    }
}

bool marked_done(SQLUSMALLINT status) {
    return status == SQL_PARAM_SUCCESS || status == SQL_PARAM_SUCCESS_WITH_INFO;
}

// Counts the rows of a set the driver marked done, and finds the first it
// marked failed (0 when none).
std::size_t rows_done(const SQLUSMALLINT* status, std::size_t n,
                      std::size_t* first_failed) {
    std::size_t done = 0;
    *first_failed = 0;
    for (std::size_t r = 0; r < n; ++r) {
        if (marked_done(status[r]))
            ++done;
        else if (status[r] == SQL_PARAM_ERROR && *first_failed == 0)
            *first_failed = r + 1;
    }
    return done;
}

// Takes the outcome of a set whose execution failed.  The rows the driver
// marked done before the first row it did not are done.  When it marked
// one row failed, that row is the one; when it stopped at a row and
// counted the rows before it without writing row statuses (SQLite's
// driver), the row after them is.  When it marked a run of rows failed
// (PostgreSQL's driver rolls back the batch holding the failing row) or
// none (MariaDB's bulk execution), those rows run again one at a time.
void take_failed_set(ConnectionSlot& slot, const Shape& shape, const Work& w,
                     HeldSet& held, std::size_t start, std::size_t n,
                     SQLULEN processed, SQLRETURN rc, Tally& t) {
    const SQLUSMALLINT* status = w.row_status + start;
    std::size_t prefix = 0;
    while (prefix < n && marked_done(status[prefix])) ++prefix;
    t.done += prefix;
    if (prefix < n && status[prefix] == SQL_PARAM_ERROR &&
        (prefix + 1 == n || status[prefix + 1] != SQL_PARAM_ERROR)) {
        std::size_t ignored = 0;
        t.done += rows_done(status + prefix + 1, n - prefix - 1, &ignored);
        return fail_at(slot, rc, start + prefix + 1, t);
    }
    if (status[0] == kUnwritten && processed > 0 && processed < n) {
        t.done += processed;
        return fail_at(slot, rc, start + processed + 1, t);
    }
    run_rows_singly(slot, shape, w, held, start + prefix, n - prefix, t);
}

// Runs rows [start, start + n) as one parameter set of n rows and adds
// its outcome to `t`.
void run_set(ConnectionSlot& slot, const Shape& shape, const Work& w,
             HeldSet& held, std::size_t start, std::size_t n, Tally& t) {
    SQLHSTMT st = slot.statement;
    SQLUSMALLINT* status = w.row_status + start;
    std::fill(status, status + n, kUnwritten);
    t.processed = 0;
    hold(st, held.status, reinterpret_cast<SQLULEN>(status));
    SQLRETURN rc = bind_rows(st, shape, w, start);
    if (SQL_SUCCEEDED(rc))
        rc = while_executing(slot, [st] { return SQLExecute(st); });
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
        return take_failed_set(slot, shape, w, held, start, n, t.processed, rc,
                               t);
    // Rows the driver did not mark at all count as done.  The failure's
    // record is kept before any further call clears it.
    std::size_t failed = 0;
    const std::size_t marked = rows_done(status, n, &failed);
    t.done += failed != 0 ? marked : n;
    if (failed != 0) fail_at(slot, rc, start + failed, t);
    if (rc != SQL_NO_DATA) add_affected(st, t);
}

// The largest set the driver takes, up to `rows`: it may lower the size
// asked for (SQLSTATE 01S02) or refuse it.
std::size_t set_size_taken(SQLHSTMT statement, HeldSet& held,
                           std::size_t rows) {
    const SQLRETURN rc = hold(statement, held.set_size, rows);
    SQLULEN taken = SQL_SUCCEEDED(rc) ? rows : 1;
    if (SQL_SUCCEEDED(rc))
        SQLGetStmtAttr(statement, SQL_ATTR_PARAMSET_SIZE, &taken, sizeof taken,
                       nullptr);
    return std::clamp<std::size_t>(taken, 1, rows);
}

// Runs all rows of an array call in sets as large as the driver takes,
// stopping after the set in which a row failed.  count = rows done,
// number = rows affected; a failure: status 2 with the failing row's
// diagnostics and native_error = its row number.
SQLRETURN execute_arrays(Command& cmd, ConnectionSlot& slot, const Shape& shape,
                         const Work& w) {
    SQLHSTMT st = slot.statement;
    HeldSet held;
    hold(st, held.bind_type, SQL_PARAM_BIND_BY_COLUMN);
    hold(st, held.bind_offset, 0);
    const std::size_t taken = set_size_taken(st, held, shape.rows);
    Tally t;
    hold(st, held.processed, reinterpret_cast<SQLULEN>(&t.processed));
    for (std::size_t start = 0; start < shape.rows && !t.failed;
         start += taken) {
        const std::size_t n = std::min(taken, shape.rows - start);
        hold(st, held.set_size, n);
        run_set(slot, shape, w, held, start, n, t);
    }
    put_back(st, held);
    hdr_set_count(cmd, static_cast<int32_t>(t.done));
    hdr_set_number(cmd, t.affected);
    if (t.failed) report_failure(cmd, slot, t.native);
    return SQL_SUCCESS;
}

// Runs a call of single values, with results as command 9: number = the
// row count, count = the result's columns.
SQLRETURN execute_single(Command& cmd, ConnectionSlot& slot, const Shape& shape,
                         const Work& w) {
    SQLHSTMT st = slot.statement;
    HeldSet held;
    SQLRETURN rc = hold(st, held.bind_offset, 0);
    if (SQL_SUCCEEDED(rc)) rc = bind_rows(st, shape, w, 0);
    if (SQL_SUCCEEDED(rc))
        rc = while_executing(slot, [st] { return SQLExecute(st); });
    if (!SQL_SUCCEEDED(rc)) {
        const int32_t native = keep_diagnostic(slot, rc);
        put_back(st, held);
        report_failure(cmd, slot, native);
        return SQL_SUCCESS;
    }
    put_back(st, held);
    return report_result(cmd, st);
}

}  // namespace

// Command 22.  Prepares the SQL text of argument 3 (unless the slot's
// statement holds it prepared already) and executes it with arguments 4..
// as the values of its markers: single values, or arrays of param rows.
// Status 3 for a missing text, a mix of arrays and single values, a row
// count out of range, or values and markers that differ in number (then
// nothing is executed); 8 when memory runs out; 2 when the driver refuses.
SQLRETURN run_execute_params(Command& cmd) {
    ConnectionSlot& slot = *cmd.slot;
    std::string_view text;
    Shape shape;
    if (!arg_text(arg(cmd, 3), &text) || !read_shape(cmd, &shape)) {
        hdr_set_status(cmd, ORV_MISSING_ARG);
        return SQL_SUCCESS;
    }
    forget_description(slot);
    SQLRETURN rc = ensure_statement(slot);
    SQLSMALLINT markers = 0;
    if (SQL_SUCCEEDED(rc)) rc = prepare(slot, text, &markers);
    if (!SQL_SUCCEEDED(rc)) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    if (markers != shape.markers) {
        hdr_set_status(cmd, ORV_MISSING_ARG);
        return SQL_SUCCESS;
    }
    if (shape.rows == 0) return SQL_SUCCESS;  // no rows: nothing to run
    Work w;
    if (!read_values(cmd, shape, w)) {
        hdr_set_status(cmd, ORV_NO_MEMORY);
        return SQL_SUCCESS;
    }
    rc = shape.arrays ? execute_arrays(cmd, slot, shape, w)
                      : execute_single(cmd, slot, shape, w);
    give_back_work(slot, w.block);
    return rc;
}

}  // namespace orv
