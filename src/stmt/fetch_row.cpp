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

// The end of a column's delivery into argument a after its read returned
// rc: a value that could not be had for want of memory is not delivered
// (status 8); a read that is not SQL_SUCCESS follows the failure rule and
// the value counts only when the reason could be read; a cut value is
// reported (01004); then host types 4, 6 and 8 (`follow_up`, 0 for none)
// get their value through PUT_NUMBER_TEXT or PUT_INT, and `count` rises.
void finish_value(RowFetch& f, int a, int32_t k, SQLRETURN rc, bool lacked,
                  bool cut, int follow_up, int32_t work,
                  const char* number_text, int32_t* delivered) {
    if (lacked) {
        report_no_memory(f, k);
        return;
    }
    bool counted = true;
    if (rc == SQL_SUCCESS) {
        f.last = rc;
    } else {
        // A driver warning or a failed read: the host learns which column,
        // and why; the value still goes out when the reason could be read.
        f.last = report_column_failure(f, k);
        counted = SQL_SUCCEEDED(f.last);
    }
    if (!counted) return;
    if (cut) report_truncation(f, k);
    if (follow_up == ARG_TYPE_NUMBER_TEXT)
        svc_put_number_text(f.cmd, a, number_text);
    else if (follow_up != 0)
        svc_put_int(f.cmd, a, static_cast<int64_t>(work));
    ++*delivered;
}

// The common deliveries, each from one read: an integer (host types 6
// and 8), or text and bytes into the storage (host type 2 and the byte
// types) of an argument without ARG_CALLBACK.  Returns false, having read
// nothing, for any other argument.  Delivers as deliver_argument does;
// the caller has ruled out delivery through PUT_STRING.
bool deliver_common(RowFetch& f, int a, int32_t k, const ArgView& target,
                    int32_t* delivered) {
    const int type = target.type_flags & ARG_TYPE_MASK;
    const auto column = static_cast<SQLUSMALLINT>(k);
    SQLLEN length = 0;
    if (type == ARG_TYPE_UNSIGNED || type == ARG_TYPE_SIGNED) {
        // At most four bytes of the driver's integer reach the value, so a
        // 2-byte host integer gets the low 16 bits; a NULL gives 0.
        SQLINTEGER value = 0;
        const SQLRETURN rc =
            SQLGetData(f.statement, column,
                       type == ARG_TYPE_UNSIGNED ? SQL_C_ULONG : SQL_C_SLONG,
                       &value, sizeof value, &length);
        int32_t work = 0;
        if (SQL_SUCCEEDED(rc) && length >= 0) {
            if (target.size >= sizeof work)
                work = value;
            else
                std::memcpy(&work, &value, target.size);
        }
        if (rc == SQL_SUCCESS) {
            f.last = rc;
            svc_put_int(f.cmd, a, static_cast<int64_t>(work));
            ++*delivered;
        } else {
            finish_value(f, a, k, rc, false, false, type, work, nullptr,
                         delivered);
        }
        return true;
    }
    if (type == ARG_TYPE_NUMBER_TEXT || (target.type_flags & ARG_CALLBACK) ||
        target.data == nullptr || target.size == 0)
        return false;
    // Text or bytes: the storage is written once the whole value is had.
    const SQLSMALLINT c_type =
        type == ARG_TYPE_STRING ? SQL_C_CHAR : SQL_C_BINARY;
    void* value = nullptr;
    const SQLRETURN rc =
        read_value(f.statement, column, c_type, &value, &length);
    const bool lacked = read_lacked_memory();
    if (rc == SQL_SUCCESS && !lacked && length >= 0 &&
        length < static_cast<SQLLEN>(target.size)) {
        // The common value: whole, and its terminator with it, in the
        // storage.
        arg_write(target, 0, value, static_cast<std::size_t>(length) + 1);
        f.last = rc;
        ++*delivered;
        return true;
    }
    bool cut = false;
    if (SQL_SUCCEEDED(rc) && !lacked) {
        // A value the buffer holds whole is followed there by its
        // terminator: one copy takes both (as store_value does).
        if (length >= 0 && length < data_buffer_capacity())
            arg_write(target, 0, value, static_cast<std::size_t>(length) + 1);
        else
            store_value(target, value, length, c_type);
        if (length == SQL_NULL_DATA && (f.subcode & FETCH_NULL_TEXT) != 0 &&
            target.size >= kNullText.size())
            arg_write_text(target, kNullText);
        cut = length > static_cast<SQLLEN>(target.size);
    }
    if (rc == SQL_SUCCESS && !lacked && !cut) {
        f.last = rc;
        ++*delivered;
    } else {
        finish_value(f, a, k, rc, lacked, cut, 0, 0, nullptr, delivered);
    }
    return true;
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
void deliver_argument(RowFetch& f, int a, int32_t k, ColumnDesc& rec,
                      int32_t* delivered) {
    const ArgView target = arg_within(f.cmd, a);
    const bool callback = (target.type_flags & ARG_CALLBACK) != 0;
    const int type = target.type_flags & ARG_TYPE_MASK;
    const bool through_host =
        callback && static_cast<int64_t>(target.size) <= rec.width;
    if (!through_host && deliver_common(f, a, k, target, delivered)) return;
    const bool null_text = (f.subcode & FETCH_NULL_TEXT) != 0;

    SQLLEN length = 0;
    SQLRETURN rc;
    bool follow_up = false;
    bool cut = false;
    char number_text[kNumberTextSize];
    bool lacked = false;  // the value could not be had for want of memory

    if (through_host) {
        // Callback delivery: the whole value, through the host.
        void* value = nullptr;
        rc = read_value(f.statement, static_cast<SQLUSMALLINT>(k), SQL_C_CHAR,
                        &value, &length);
        lacked = read_lacked_memory();
        if (!lacked) put_value(f, a, value_text(value, length, null_text));
    } else {
        // Text into the storage (host type 2) or the number text's work
        // buffer, at most 31 characters (host type 4); bytes into the
        // storage (other types).  A number text is read straight into the
        // work buffer; one that does not fit there is read on whole and
        // then stored as far as it fits.  The storage is written only once
        // the whole value is had, so that a value that cannot be read for
        // want of memory leaves it as it was.
        const bool number = type == ARG_TYPE_NUMBER_TEXT;
        const SQLSMALLINT c_type =
            number || type == ARG_TYPE_STRING ? SQL_C_CHAR : SQL_C_BINARY;
        const ArgView dst =
            number ? ArgView{0, reinterpret_cast<uint8_t*>(number_text),
                             static_cast<uint32_t>(kNumberTextSize), true}
                   : target;
        const auto room =
            static_cast<SQLLEN>(number ? kNumberTextSize - 1 : target.size);
        void* value = nullptr;
        bool in_place = false;
        if (number) {
            const auto size = static_cast<SQLLEN>(kNumberTextSize);
            rc = SQLGetData(f.statement, static_cast<SQLUSMALLINT>(k),
                            SQL_C_CHAR, number_text, size, &length);
            if (rc == SQL_SUCCESS && length >= 0 && length < size) {
                // The common number: read whole, terminated, handed over.
                f.last = rc;
                svc_put_number_text(f.cmd, a, number_text);
                ++*delivered;
                return;
            }
            in_place =
                !SQL_SUCCEEDED(rc) || (length != SQL_NO_TOTAL && length < size);
            if (!in_place)
                rc = read_column_rest(
                    f.statement, static_cast<SQLUSMALLINT>(k), SQL_C_CHAR,
                    std::string_view(number_text, size - 1), &value, &length);
        } else {
            rc = read_value(f.statement, static_cast<SQLUSMALLINT>(k), c_type,
                            &value, &length);
        }
        lacked = !in_place && read_lacked_memory();
        if (in_place) {
            if (SQL_SUCCEEDED(rc)) {
                if (length == SQL_NULL_DATA) {
                    arg_fill(dst, 0, dst.size, 0);
                    if (null_text && dst.size >= kNullText.size())
                        arg_write_text(dst, kNullText);
                }
                follow_up = number;
            }
        } else if (SQL_SUCCEEDED(rc) && !lacked) {
            if (callback && length > room) {
                // It does not fit, whatever the width said: whole, through
                // the host.
                put_value(f, a, value_text(value, length, false));
            } else {
                store_value(dst, value, length, c_type);
                if (length == SQL_NULL_DATA && null_text &&
                    dst.size >= kNullText.size())
                    arg_write_text(dst, kNullText);
                cut = length > room;
                follow_up = number;
            }
        }
        number_text[kNumberTextSize - 1] = 0;
    }

    finish_value(f, a, k, rc, lacked, cut, follow_up ? type : 0, 0, number_text,
                 delivered);
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
// SQL_NO_DATA.  Returns the last ODBC code for the common tail.
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
    return f.last;
}

}  // namespace orv
