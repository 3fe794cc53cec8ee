// Command 12: fetch one row of the slot's current result (the next row, or
// one by absolute position) and hand its values to the host in the layout
// the header's subcode asks for.  This file holds the common start and the
// per-argument layout; fetch_layouts.cpp holds the other three.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "conn/diagnostics.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "stmt/columns.h"
#include "stmt/fetch_layouts.h"
#include "stmt/result_cache.h"

namespace orv {

namespace {

inline constexpr std::size_t kNumberTextSize = 32;

// The state of a value cut to the room the host gave it.
inline constexpr char kTruncatedState[6] = "01004";

// Selectors carry the argument number in their low 8 bits: arguments
// beyond 255 cannot be named, so the per-argument layout ends there.
inline constexpr int kLastNamedArgument = 255;

// The absolute row of a non-zero row_number: truncated toward zero and
// held within 32 bits (a NaN asks for row 0, which no driver has).
SQLLEN absolute_row(double row_number) {
    if (std::isnan(row_number)) return 0;
    constexpr double lo = std::numeric_limits<int32_t>::min();
    constexpr double hi = std::numeric_limits<int32_t>::max();
    if (row_number <= lo) return std::numeric_limits<int32_t>::min();
    if (row_number >= hi) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(row_number);
}

// The state of a value the host's type cannot hold.
inline constexpr char kOutOfRangeState[6] = "22003";

// Whether the 32-bit work integer of host type 6 (unsigned) or 8 (signed)
// holds `value`.
constexpr bool work_integer_holds(int type, SQLBIGINT value) {
    if (type == ARG_TYPE_UNSIGNED) return value >= 0 && value <= 0xFFFFFFFFLL;
    return value >= std::numeric_limits<int32_t>::min() &&
           value <= std::numeric_limits<int32_t>::max();
}

// A value of column `column` that the host's type cannot hold: a failed
// read of that column (status 2, sqlstate 22003, native_error the column),
// nothing delivered.
void report_out_of_range(RowFetch& f, int32_t column) {
    hdr_set_status(f.cmd, ORV_ODBC_ERROR);
    hdr_set_sqlstate(f.cmd, kOutOfRangeState);
    hdr_set_native_error(f.cmd, column);
    f.last = SQL_SUCCESS;
}

// Whether number text cut to its first `keep` characters still says the
// same number but for digits after its decimal point: the kept part holds
// the point and every character cut is a digit (an integer digit or an
// exponent cut would make another number).
bool cut_keeps_number(std::string_view text, std::size_t keep) {
    if (text.size() <= keep) return true;
    if (text.substr(0, keep).find('.') == std::string_view::npos) return false;
    const std::string_view rest = text.substr(keep);
    return std::all_of(rest.begin(), rest.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// How the read of column k for argument a ended.
struct Outcome {
    SQLRETURN rc = SQL_SUCCESS;  // the read's ODBC code
    bool lacked = false;  // the value could not be had for want of memory
    bool cut = false;     // the value was cut to the room the host gave
    int follow_up = 0;    // host type 4, 6 or 8 whose value is handed over
                          // through a service afterwards; 0 for none
    int32_t work = 0;     // the work integer of host types 6 and 8
    const char* number_text = nullptr;  // the work buffer of host type 4
};

// The end of a column's delivery into argument a: a value that could not
// be had for want of memory is not delivered (status 8); a read that is
// not SQL_SUCCESS follows the failure rule and the value counts only when
// the reason could be read; a cut value is reported (01004); then host
// types 4, 6 and 8 get their value through PUT_NUMBER_TEXT or PUT_INT, and
// `count` rises.
void finish_value(RowFetch& f, int a, int32_t k, const Outcome& o,
                  int32_t* delivered) {
    if (o.lacked) {
        report_no_memory(f, k);
        return;
    }
    if (o.rc == SQL_SUCCESS) {
        f.last = o.rc;
    } else {
        // A driver warning or a failed read: the host learns which column,
        // and why; the value still goes out when the reason could be read.
        f.last = report_column_failure(f, k);
        if (!SQL_SUCCEEDED(f.last)) return;
    }
    if (o.cut) report_truncation(f, k);
    if (o.follow_up == ARG_TYPE_NUMBER_TEXT)
        svc_put_number_text(f.cmd, a, o.number_text);
    else if (o.follow_up != 0)
        svc_put_int(f.cmd, a, static_cast<int64_t>(o.work));
    ++*delivered;
}

// Host types 6 and 8: the integer, read whole so that a value the 32-bit
// work integer cannot hold is told apart (drivers wrap such values read
// as 32 bits without a word) and fails with 22003.  At most `size` bytes
// (up to four) of the work integer reach the value, so a 2-byte host
// integer gets the low 16 bits; a NULL gives 0.
void deliver_integer(RowFetch& f, int a, int32_t k, int type, uint32_t size,
                     int32_t* delivered) {
    // The work buffer has room past the 8 bytes for read_value's
    // terminator.
    alignas(SQLBIGINT) uint8_t work[2 * sizeof(SQLBIGINT)];
    const ValueRead v = read_value(f.slot.data_buffer, f.statement,
                                   static_cast<SQLUSMALLINT>(k), SQL_C_SBIGINT,
                                   {work, static_cast<SQLLEN>(sizeof work)});
    Outcome o;
    o.rc = v.rc;
    o.lacked = v.lacked;
    if (SQL_SUCCEEDED(v.rc) && v.length >= 0 && v.bytes == work) {
        SQLBIGINT value = 0;
        std::memcpy(&value, work, sizeof value);
        if (!work_integer_holds(type, value)) {
            report_out_of_range(f, k);
            return;
        }
        const auto whole = static_cast<int32_t>(
            static_cast<uint32_t>(static_cast<uint64_t>(value)));
        if (size >= sizeof o.work)
            o.work = whole;
        else
            std::memcpy(&o.work, &whole, size);
    }
    if (o.rc == SQL_SUCCESS) {
        f.last = o.rc;
        svc_put_int(f.cmd, a, static_cast<int64_t>(o.work));
        ++*delivered;
        return;
    }
    o.follow_up = type;
    finish_value(f, a, k, o, delivered);
}

// Text (host type 2) or bytes (the byte types) into the storage of an
// argument without ARG_CALLBACK, from one read: the storage is written
// once the whole value is had, as far as it fits.
void deliver_stored(RowFetch& f, int a, int32_t k, const ArgView& target,
                    int32_t* delivered) {
    const SQLSMALLINT c_type =
        (target.type_flags & ARG_TYPE_MASK) == ARG_TYPE_STRING ? SQL_C_CHAR
                                                               : SQL_C_BINARY;
    const ValueRead v = read_value(f.slot.data_buffer, f.statement,
                                   static_cast<SQLUSMALLINT>(k), c_type);
    Outcome o;
    o.rc = v.rc;
    o.lacked = v.lacked;
    if (v.rc == SQL_SUCCESS && !v.lacked && v.length >= 0 &&
        v.length < static_cast<SQLLEN>(target.size)) {
        // The common value: whole, and its terminator with it, in the
        // storage.
        arg_write(target, 0, v.bytes, static_cast<std::size_t>(v.length) + 1);
        f.last = v.rc;
        ++*delivered;
        return;
    }
    if (SQL_SUCCEEDED(v.rc) && !v.lacked) {
        store_value(f.slot.data_buffer, target, v, c_type);
        if (v.length == SQL_NULL_DATA && (f.subcode & FETCH_NULL_TEXT) != 0 &&
            target.size >= kNullText.size())
            arg_write_text(target, null_value_text(true));
        o.cut = v.length > static_cast<SQLLEN>(target.size);
    }
    if (o.rc == SQL_SUCCESS && !o.lacked && !o.cut) {
        f.last = o.rc;
        ++*delivered;
        return;
    }
    finish_value(f, a, k, o, delivered);
}

// Where a value read whole goes when it is not the common case: `room`
// bytes of dst (the storage, or the number text's work buffer) as c_type;
// with ARG_CALLBACK a value longer than `room` goes whole through
// PUT_STRING instead.
struct Place {
    ArgView dst;
    SQLLEN room;
    SQLSMALLINT c_type;
    bool callback;
    bool null_text;
};

// Puts a value read whole into the retrieval buffer (v as read_value left
// it) as `p` says.  Returns true when it went into dst, with *cut telling
// whether it was cut to the room; false when it went through PUT_STRING.
bool place_value(RowFetch& f, int a, const Place& p, const ValueRead& v,
                 bool* cut) {
    if (p.callback && v.length > p.room) {
        // It does not fit, whatever the width said: whole, through the
        // host.
        put_value(f, a, value_text(f.slot.data_buffer, v, false));
        return false;
    }
    store_value(f.slot.data_buffer, p.dst, v, p.c_type);
    if (v.length == SQL_NULL_DATA && p.null_text &&
        p.dst.size >= kNullText.size())
        arg_write_text(p.dst, null_value_text(true));
    *cut = v.length > p.room;
    return true;
}

// Host type 4: the number text, read straight into the 32-byte work
// buffer and handed over with PUT_NUMBER_TEXT.  One that does not fit
// there is read on whole and then kept to 31 characters when only digits
// after its decimal point are cut (01004); an integer digit or an exponent
// cut fails with 22003.  With ARG_CALLBACK a text longer than 31
// characters goes whole through PUT_STRING.
void deliver_number_text(RowFetch& f, int a, int32_t k, bool callback,
                         int32_t* delivered) {
    char number_text[kNumberTextSize];
    auto* const work = reinterpret_cast<uint8_t*>(number_text);
    const auto size = static_cast<SQLLEN>(kNumberTextSize);
    const ValueRead v =
        read_value(f.slot.data_buffer, f.statement,
                   static_cast<SQLUSMALLINT>(k), SQL_C_CHAR, {work, size});
    if (v.rc == SQL_SUCCESS && v.bytes == work) {
        // The common number: read whole, terminated, handed over.
        f.last = v.rc;
        svc_put_number_text(f.cmd, a, number_text);
        ++*delivered;
        return;
    }
    const Place p{
        ArgView{0, work, static_cast<uint32_t>(kNumberTextSize), true},
        size - 1, SQL_C_CHAR, callback, (f.subcode & FETCH_NULL_TEXT) != 0};
    Outcome o;
    o.rc = v.rc;
    o.lacked = v.lacked;
    if (!SQL_SUCCEEDED(v.rc) || v.lacked) {
        // Nothing to hand over.
    } else if (v.length == SQL_NULL_DATA) {
        arg_fill(p.dst, 0, p.dst.size, 0);
        if (p.null_text) arg_write_text(p.dst, null_value_text(true));
        o.follow_up = ARG_TYPE_NUMBER_TEXT;
    } else if (v.bytes == work) {
        // Whole in the work buffer, with a warning.
        o.follow_up = ARG_TYPE_NUMBER_TEXT;
    } else {
        // Read on whole in the retrieval buffer.
        if (v.length > p.room &&
            !cut_keeps_number(value_text(f.slot.data_buffer, v, false),
                              static_cast<std::size_t>(p.room))) {
            report_out_of_range(f, k);
            return;
        }
        if (place_value(f, a, p, v, &o.cut)) o.follow_up = ARG_TYPE_NUMBER_TEXT;
    }
    number_text[kNumberTextSize - 1] = 0;
    o.number_text = number_text;
    finish_value(f, a, k, o, delivered);
}

// Delivers column k into argument a (3..arg_count).  Reads a's
// descriptor and, for an argument with ARG_CALLBACK, record k's width.  With
// ARG_CALLBACK and a storage no larger than the width, the value goes through
// PUT_STRING. Otherwise host types 6 and 8 receive an integer through PUT_INT;
// text (host types 2 and 4) and bytes (the other types) go into the storage, or
// the number text's work buffer followed by PUT_NUMBER_TEXT, as far as they
// fit: a value that does not fit goes whole through PUT_STRING when the
// argument has ARG_CALLBACK, else is cut and reported with sqlstate 01004.
// Raises `count` for a delivered value and applies the failure rule to a
// read that is not SQL_SUCCESS; a value that could not be read for want of
// memory is not delivered (status 8).
void deliver_argument(RowFetch& f, int a, int32_t k, const ColumnDesc& rec,
                      int32_t* delivered) {
    const ArgView target = arg_within(f.cmd, a);
    const bool callback = (target.type_flags & ARG_CALLBACK) != 0;
    const int type = target.type_flags & ARG_TYPE_MASK;
    const bool null_text = (f.subcode & FETCH_NULL_TEXT) != 0;
    Outcome o;
    if (callback && static_cast<int64_t>(target.size) <= rec.width) {
        // Callback delivery: the whole value, through the host.
        const ValueRead v =
            read_value(f.slot.data_buffer, f.statement,
                       static_cast<SQLUSMALLINT>(k), SQL_C_CHAR);
        o.rc = v.rc;
        o.lacked = v.lacked;
        if (!o.lacked)
            put_value(f, a, value_text(f.slot.data_buffer, v, null_text));
    } else if (type == ARG_TYPE_UNSIGNED || type == ARG_TYPE_SIGNED) {
        deliver_integer(f, a, k, type, target.size, delivered);
        return;
    } else if (type == ARG_TYPE_NUMBER_TEXT) {
        deliver_number_text(f, a, k, callback, delivered);
        return;
    } else if (!callback && target.data != nullptr && target.size != 0) {
        deliver_stored(f, a, k, target, delivered);
        return;
    } else {
        // Text or bytes for an argument with ARG_CALLBACK and room beyond
        // the width, or without storage: read whole, then placed.
        const Place p{target, static_cast<SQLLEN>(target.size),
                      static_cast<SQLSMALLINT>(
                          type == ARG_TYPE_STRING ? SQL_C_CHAR : SQL_C_BINARY),
                      callback, null_text};
        const ValueRead v = read_value(f.slot.data_buffer, f.statement,
                                       static_cast<SQLUSMALLINT>(k), p.c_type);
        o.rc = v.rc;
        o.lacked = v.lacked;
        if (SQL_SUCCEEDED(o.rc) && !o.lacked) place_value(f, a, p, v, &o.cut);
    }
    finish_value(f, a, k, o, delivered);
}

}  // namespace

SQLRETURN report_column_failure(RowFetch& f, int32_t column) {
    hdr_set_status(f.cmd, ORV_ODBC_ERROR);
    hdr_set_native_error(f.cmd, column);
    DiagRecord record;
    const SQLRETURN rc =
        read_diagnostic(&f.slot, DiagSource::kMostSpecific, record);
    if (SQL_SUCCEEDED(rc)) store_sqlstate(f.cmd, record);
    return rc;
}

void report_truncation(RowFetch& f, int32_t column) {
    if (hdr_status(f.cmd) == ORV_ODBC_ERROR) return;
    hdr_set_sqlstate(f.cmd, kTruncatedState);
    hdr_set_native_error(f.cmd, column);
}

void report_no_memory(RowFetch& f, int32_t column) {
    hdr_set_status(f.cmd, ORV_NO_MEMORY);
    if (column != 0) hdr_set_native_error(f.cmd, column);
}

// Per-argument layout: arguments 3, 4, ... receive columns 1, 2, ... each
// in its own host type, up to the last argument or the last column,
// whichever comes first.  `count` = the number of values delivered.
void fetch_per_argument(RowFetch& f) {
    int32_t delivered = 0;
    // The column table holds at least the result's columns.
    const int32_t last = std::min({arg_count(f.cmd), kLastNamedArgument,
                                   f.columns + 2, f.slot.column_capacity + 3});
    auto* recs = column_record(f.slot, 0);
    if (recs == nullptr) {
        hdr_set_count(f.cmd, 0);
        return;
    }
    // A width of 0 becomes the text width in the table for every column
    // delivered, once per result.
    ResultCache& cache = f.cache;
    for (int32_t k = cache.widths_fixed + 1; k <= last - 2; ++k) {
        if (recs[k].width == 0) {
            recs[k].width = COLTYPE_TEXT_WIDTH;
            // The pairs record's first size follows from the widths.
            cache.pairs = false;
        }
        cache.widths_fixed = k;
    }
    for (int a = 3; a <= last; ++a)
        deliver_argument(f, a, a - 2, recs[a - 2], &delivered);
    hdr_set_count(f.cmd, delivered);
}

// Command 12.  Reads `slot`, `subcode`, `param`, `row_number` and `number`
// of the header and the host arguments from 3 on.  Positions the cursor
// (the next row for row_number 0.0, else that absolute row), describes the
// result into the column table when it is not described yet, updates the
// running row number in `number` and delivers the row in the chosen
// layout.  End of data: `number` 0.0, status 0 and the common tail with
// SQL_NO_DATA.  A cancel asked while the row was fetched or delivered
// (from another thread, or from one of this command's callbacks) ends the
// command with status 2, sqlstate "HY008", and the dispatcher closes the
// cursor, so that the host's row loop ends.  Returns the last ODBC code
// for the common tail.
SQLRETURN run_fetch_row(Command& cmd) {
    ConnectionSlot& slot = *cmd.slot;

    const double row_number = hdr_row_number(cmd);
    SQLRETURN rc = row_number == 0.0
                       ? SQLFetchScroll(slot.statement, SQL_FETCH_NEXT, 0)
                       : SQLFetchScroll(slot.statement, SQL_FETCH_ABSOLUTE,
                                        absolute_row(row_number));
    if (rc == SQL_NO_DATA) {
        hdr_set_number(cmd, 0.0);
        return rc;
    }
    if (!SQL_SUCCEEDED(rc) && cancel_asked(slot)) {
        report_cancelled(cmd, slot);
        return SQL_SUCCESS;
    }
    if (!SQL_SUCCEEDED(rc)) {
        // No row was fetched: the host must not take its (unchanged)
        // variables for a new row.
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }

    // The column count and description hold for every row of the result:
    // they are had on its first row and kept in the slot's result cache
    // until a command that changes the result forgets it.
    ResultCache& cache = result_cache(slot);
    int32_t n = cache.columns;
    if (!cache.made) {
        SQLSMALLINT c = 0;
        if (!SQL_SUCCEEDED(SQLNumResultCols(slot.statement, &c))) c = 0;
        cache = ResultCache{};
        if (int16_t status = prepare_columns(slot, c); status != ORV_OK) {
            hdr_set_status(cmd, status);
            return SQL_SUCCESS;
        }
        n = c;
        cache.made = true;
        cache.columns = n;
    }

    if (row_number == 0.0)
        hdr_set_number(cmd, hdr_number(cmd) + 1.0);
    else
        hdr_set_number(cmd, row_number);

    RowFetch f{cmd, slot, slot.statement, n, hdr_subcode(cmd), rc, cache};
    if (f.subcode & FETCH_ARRAY)
        fetch_array(f);
    else if (f.subcode & FETCH_FIXED)
        fetch_fixed(f);
    else if (f.subcode & FETCH_PAIRS)
        fetch_pairs(f);
    else
        fetch_per_argument(f);
    if (cancel_asked(slot)) {
        forget_result(slot);
        report_cancelled(cmd, slot);
        return SQL_SUCCESS;
    }
    return f.last;
}

}  // namespace orv
