// The array, fixed-width and pairs layouts of command 12, and the bounded
// value copy that every layout writing into host storage uses.
#include "stmt/fetch_layouts.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "memory.h"
#include "stmt/columns.h"
#include "stmt/rowbuf.h"

namespace orv {

namespace {

// Subcode bits the fixed-width layout does not support (status 15).
inline constexpr int16_t kFixedUnsupported = 0x0004 | 0x0008;

// Pairs record: bytes reserved per column besides its value (table name,
// ':', column name, '=', terminator), and at the record's end.
inline constexpr uint64_t kPairsPerColumn = 68;
inline constexpr uint64_t kPairsExtra = 3;

// Escapes of the pairs record: a value byte 0x00 or one of the two escape
// bytes themselves would end or garble the record.
inline constexpr uint8_t kEscZero = 0xFA;  // 0x00 -> 0xFA
inline constexpr uint8_t kEscMark = 0xFB;  // 0xFA -> FB FB, 0xFB -> FB FC
inline constexpr uint8_t kEscMarkSelf = 0xFC;

// A column width as a byte count: negative widths (a host-edited record)
// count as 0.
uint64_t width_of(const ColumnDesc& rec) {
    return rec.width > 0 ? static_cast<uint64_t>(rec.width) : 0;
}

// Room the pairs record starts with; it grows as values need, up to the
// record's full size.
inline constexpr std::size_t kPairsInitialRoom = 16384;

// Writes the pairs record into the slot's row buffer.  The record may take
// at most `limit` bytes (its size from the column widths); the buffer
// starts smaller and grows, zero-filled, as the bytes written need it, so
// a result with very wide declared columns does not cost their full width
// on every row.  Nothing is ever written past `limit` or past the buffer.
struct RecordWriter {
    ConnectionSlot& slot;
    std::size_t limit;    // the record's full size
    std::size_t p = 0;    // next byte
    bool failed = false;  // the buffer could not grow

    std::size_t left() const { return failed ? 0 : limit - p; }
    // Makes sure n more bytes fit in the buffer (n <= left()).
    bool room(std::size_t n) {
        std::size_t have = slot.row_buffer_size;
        if (p + n <= have) return true;
        std::size_t want = std::min(limit, std::max(p + n, have * 2));
        if (!resize_row_buffer(slot, want)) {
            failed = true;
            return false;
        }
        std::memset(slot.row_buffer + have, 0, want - have);
        return true;
    }
    void bytes(std::string_view text) {
        std::size_t n = std::min(text.size(), left());
        if (n == 0 || !room(n)) return;  // an empty text may have no storage
        std::memcpy(slot.row_buffer + p, text.data(), n);
        p += n;
    }
    void byte(uint8_t b) {
        if (left() == 0 || !room(1)) return;
        slot.row_buffer[p++] = b;
    }
    // The value's bytes with their escapes, as far as they fit; an escape
    // pair goes in whole or not at all, and nothing follows a byte that
    // did not fit.
    void escaped(std::string_view value) {
        for (char c : value) {
            auto b = static_cast<uint8_t>(c);
            if (b == 0x00 || (b != kEscZero && b != kEscMark)) {
                if (left() < 1) return;
                byte(b == 0x00 ? kEscZero : b);
            } else {
                if (left() < 2) return;
                byte(kEscMark);
                byte(b == kEscZero ? kEscMark : kEscMarkSelf);
            }
        }
    }
};

}  // namespace

std::string_view value_text(const void* value, SQLLEN length, bool null_text) {
    if (length == SQL_NULL_DATA)
        return null_text ? kNullText : std::string_view();
    const auto* text = static_cast<const char*>(value);
    // Character data keeps its terminator inside the buffer.
    const SQLLEN held = std::max<SQLLEN>(data_buffer_capacity() - 1, 0);
    if (length < 0) return std::string_view(text, strnlen(text, held));
    return std::string_view(text,
                            static_cast<std::size_t>(std::min(length, held)));
}

void put_value(RowFetch& f, int32_t selector, std::string_view text) {
    const auto len = static_cast<int32_t>(std::min<std::size_t>(
        text.size(),
        static_cast<std::size_t>(std::numeric_limits<int32_t>::max())));
    if (svc_put_string(f.cmd, selector, text.data(), len) != 0)
        hdr_set_status(f.cmd, ORV_NO_MEMORY);
}

ArgView sub_view(const ArgView& a, std::size_t at, std::size_t len) {
    ArgView v = a;
    if (a.data == nullptr || at >= a.size) {
        v.size = 0;
        return v;
    }
    v.data = a.data + at;
    v.size = static_cast<uint32_t>(std::min<std::size_t>(len, a.size - at));
    return v;
}

SQLRETURN read_into(SQLHSTMT statement, int32_t column, SQLSMALLINT c_type,
                    const ArgView& dst, SQLLEN* length) {
    void* value = nullptr;
    SQLRETURN rc = read_column(statement, static_cast<SQLUSMALLINT>(column),
                               c_type, &value, 0, length);
    if (!SQL_SUCCEEDED(rc)) return rc;
    if (*length < 0) {
        arg_fill(dst, 0, dst.size, 0);
        return rc;
    }
    // The buffer holds the whole value unless it could not grow; then it
    // holds what fitted (character data keeps its terminator).
    SQLLEN held = data_buffer_capacity() - (c_type == SQL_C_CHAR ? 1 : 0);
    auto n =
        static_cast<std::size_t>(std::min(*length, std::max<SQLLEN>(held, 0)));
    std::size_t written = arg_write(dst, 0, value, n);
    if (written == n) {
        const uint8_t zero = 0;
        arg_write(dst, n, &zero, 1);
    }
    return rc;
}

// Array layout: columns 1..m, m = min(n, param), as text into elements
// 0..m-1 of array argument 3 (through PUT_STRING with selector 3 + 256·k
// when the argument has ARG_CALLBACK, else into each element's `size`
// bytes, cleared first).  A failed read gives an empty element.  `count`
// = m.  Status 11 when argument 3 is not an array.
void fetch_array(RowFetch& f) {
    const ArgView target = arg(f.cmd, 3);
    if (!(target.type_flags & ARG_ARRAY)) {
        hdr_set_status(f.cmd, ORV_UNSUPPORTED);
        return;
    }
    const bool null_text = (f.subcode & FETCH_NULL_TEXT) != 0;
    const int32_t m =
        std::max<int32_t>(0, std::min(f.columns, hdr_param_swapped(f.cmd)));
    for (int32_t k = 1; k <= m; ++k) {
        SQLLEN length = 0;
        if (target.type_flags & ARG_CALLBACK) {
            void* value = nullptr;
            f.last = read_column(f.statement, static_cast<SQLUSMALLINT>(k),
                                 SQL_C_CHAR, &value, 0, &length);
            put_value(f, 3 + 256 * (k - 1),
                      value_text(value, length, null_text));
            continue;
        }
        // The element's place; the host gives room for `param` elements.
        ArgView element = target;
        if (target.data != nullptr)
            element.data =
                target.data + static_cast<std::size_t>(k - 1) * target.size;
        arg_fill(element, 0, element.size, 0);
        f.last = read_into(f.statement, k, SQL_C_CHAR, element, &length);
        if (SQL_SUCCEEDED(f.last) && length == SQL_NULL_DATA && null_text)
            arg_write_text(element, kNullText);
    }
    hdr_set_count(f.cmd, m);
}

// Fixed-width layout: the columns as text, each padded with spaces to its
// width, one after another in argument 3, ending with a zero byte; one
// byte of the storage is kept for that end.  With ARG_CALLBACK the host is
// first asked to enlarge the storage to the whole record.  When the space
// runs out the last column is cut and `count` is the number of columns
// written; otherwise `count` = n.  A read that is not SQL_SUCCESS follows
// the failure rule (status 2, native_error = the column).
void fetch_fixed(RowFetch& f) {
    ArgView target = arg(f.cmd, 3);
    arg_fill(target, 0, target.size, 0);
    std::size_t s = target.size > 0 ? target.size - 1 : 0;

    if (target.type_flags & ARG_CALLBACK) {
        uint64_t needed = 1;
        for (int32_t k = 1; k <= f.columns; ++k)
            if (const ColumnDesc* rec = column_record(f.slot, k))
                needed += width_of(*rec);
        if (s < needed &&
            needed <=
                static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) &&
            svc_resize_arg(f.cmd, 3, static_cast<int32_t>(needed)) == 0) {
            target = arg(f.cmd, 3);
            // The record then fills the enlarged storage exactly; a host
            // that gave less than asked is held to what it gave.
            s = target.size >= needed ? static_cast<std::size_t>(needed)
                : target.size > 0     ? target.size - 1
                                      : 0;
        }
    }
    if (f.subcode & kFixedUnsupported) {
        hdr_set_status(f.cmd, ORV_REFUSED);
        return;
    }
    hdr_set_count(f.cmd, f.columns);
    const uint8_t zero = 0;
    std::size_t p = 0;
    if (f.columns < 1 || s == 0) {
        if (s == 0) hdr_set_count(f.cmd, 0);
        arg_write(target, 0, &zero, 1);
        return;
    }
    for (int32_t k = 1; k <= f.columns; ++k) {
        const ColumnDesc* rec = column_record(f.slot, k);
        if (rec == nullptr) break;
        const std::size_t w =
            static_cast<std::size_t>(std::min<uint64_t>(width_of(*rec), s));
        SQLLEN length = 0;
        SQLRETURN rc =
            read_into(f.statement, k, SQL_C_CHAR,
                      sub_view(target, p, std::min(w + 1, s)), &length);
        f.last = rc == SQL_SUCCESS ? rc : report_column_failure(f, k);
        // What the read left at p counts when the driver reported a
        // length; a NULL or a failed read shows as w spaces.
        std::size_t l = 0;
        if (SQL_SUCCEEDED(rc) && length > 0 && target.data != nullptr)
            l = strnlen(reinterpret_cast<const char*>(target.data + p), w);
        arg_fill(target, p + l, w - l, ' ');
        p += w;
        s -= w;
        if (s == 0) {
            hdr_set_count(f.cmd, k);
            break;
        }
    }
    arg_write(target, p, &zero, 1);
}

// Pairs layout: the row as name=value entries in the slot's row buffer,
// sized and cleared first, its address stored into argument 3.  Names come
// from the column table (alt_name/alt_table with FETCH_ALT_NAMES, the table
// name and ':' first with FETCH_TABLE_PREFIX, "expr-N" for an empty name,
// kept in the table).  Values are escaped; nothing is written past the
// buffer.  `count` = n.  Status 8, and nothing written, when the buffer
// cannot be had.
void fetch_pairs(RowFetch& f) {
    const bool alt = (f.subcode & FETCH_ALT_NAMES) != 0;
    const bool prefix = (f.subcode & FETCH_TABLE_PREFIX) != 0;
    const bool null_text = (f.subcode & FETCH_NULL_TEXT) != 0;

    uint64_t size = kPairsExtra;
    for (int32_t k = 1; k <= f.columns; ++k) {
        const ColumnDesc* rec = column_record(f.slot, k);
        if (rec == nullptr) break;
        uint64_t w = width_of(*rec);
        size += kPairsPerColumn + w + (is_binary_host_type(rec->type) ? w : 0);
    }
    if (size > std::numeric_limits<std::size_t>::max() / 2) {
        hdr_set_status(f.cmd, ORV_NO_MEMORY);
        return;
    }
    const auto limit = static_cast<std::size_t>(size);
    const std::size_t start = std::min(limit, kPairsInitialRoom);
    if (!resize_row_buffer(f.slot, start)) {
        hdr_set_status(f.cmd, ORV_NO_MEMORY);
        return;
    }
    std::memset(f.slot.row_buffer, 0, f.slot.row_buffer_size);

    hdr_set_count(f.cmd, f.columns);
    RecordWriter out{f.slot, limit};
    int counter = 0;
    for (int32_t k = 1; k <= f.columns; ++k) {
        ColumnDesc* rec = column_record(f.slot, k);
        if (rec == nullptr) break;
        if (prefix) {
            out.bytes(fetch_table_name(*rec, alt));
            out.byte(':');
        }
        out.bytes(fetch_column_name(*rec, alt, &counter));
        out.byte('=');
        void* value = nullptr;
        SQLLEN length = 0;
        // A failed read gives an empty value (pointer mode never hands out
        // the previous column's bytes).
        f.last = read_column(f.statement, static_cast<SQLUSMALLINT>(k),
                             SQL_C_CHAR, &value, 0, &length);
        if (length == SQL_NULL_DATA)
            out.bytes(value_text(value, length, null_text));  // no escapes
        else
            out.escaped(value_text(value, length, null_text));
        out.byte(0);
    }
    out.byte(0);
    if (out.failed) {
        hdr_set_status(f.cmd, ORV_NO_MEMORY);
        hdr_set_count(f.cmd, 0);
        return;
    }
    // The buffer may have moved while it grew: the address goes to the
    // host once the record is complete.
    const ArgView target = arg(f.cmd, 3);
    if (target.size >= 4) arg_store_address(target, f.slot.row_buffer);
}

}  // namespace orv
