// The array, fixed-width and pairs layouts of command 12, and the bounded
// value copy that every layout writing into host storage uses.
#include "stmt/fetch_layouts.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "memory.h"
#include "stmt/columns.h"
#include "stmt/result_cache.h"
#include "stmt/rowbuf.h"

namespace orv {

namespace {

// Pairs record: bytes reserved per column besides its value (table name,
// ':', column name, '=', terminator), and at the record's end.  They size
// the record's first buffer only.
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

// Most room the pairs record starts with; it grows as values need.
inline constexpr std::size_t kPairsInitialRoom = 16384;

// The first of [from, end) that is one of the escape bytes, or nullptr.
const uint8_t* next_mark(const uint8_t* from, const uint8_t* end) {
    const auto n = static_cast<std::size_t>(end - from);
    const auto* a = static_cast<const uint8_t*>(std::memchr(from, kEscZero, n));
    const auto* b = static_cast<const uint8_t*>(
        std::memchr(from, kEscMark, a != nullptr ? a - from : n));
    return b != nullptr ? b : a;
}

// The first of [from, end) that needs an escape (a zero byte or an escape
// byte), or nullptr.
const uint8_t* next_special(const uint8_t* from, const uint8_t* end) {
    const uint8_t* mark = next_mark(from, end);
    const auto* zero = static_cast<const uint8_t*>(std::memchr(
        from, 0,
        static_cast<std::size_t>((mark != nullptr ? mark : end) - from)));
    return zero != nullptr ? zero : mark;
}

// Bytes of a value the short-entry path of the pairs record takes in one
// block, and of a name array of the column table.
inline constexpr std::size_t kShortValue = 64;
inline constexpr std::size_t kNameBlock = sizeof(ColumnDesc::name);
static_assert(sizeof(ColumnDesc::alt_name) == kNameBlock);

// The first n (at most kShortValue) of the kShortValue readable bytes at
// v: non-zero when one of them may need an escape.  With SSE2 the test
// takes 0x00 and every byte from 0xFA up (0xFC to 0xFF need none, but
// UTF-8 text never holds them, and their false alarm only sends the
// value through the exact scan), with the same work for every n, so that
// nothing branches on the value's length; elsewhere the exact scan.
inline uint64_t short_value_specials(const uint8_t* v, std::size_t n) {
#if defined(__SSE2__)
    const uint64_t within =
        n >= kShortValue ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    // b - 1 (wrapping) is at least 0xF9 exactly for 0x00 and 0xFA..0xFF.
    const __m128i one = _mm_set1_epi8(1);
    const __m128i from = _mm_set1_epi8(static_cast<char>(kEscZero - 1));
    uint64_t found = 0;
    for (std::size_t i = 0; i < kShortValue / 16; ++i) {
        const __m128i x = _mm_sub_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 16 * i)), one);
        const __m128i special = _mm_cmpeq_epi8(_mm_max_epu8(x, from), x);
        found |= static_cast<uint64_t>(
                     static_cast<uint32_t>(_mm_movemask_epi8(special)))
                 << (16 * i);
    }
    return found & within;
#else
    return next_special(v, v + n) != nullptr ? 1 : 0;
#endif
}

// Writes the pairs record into the slot's row buffer, entry by entry.  The
// buffer grows, zero-filled, as the bytes written need it, whatever the
// column widths said; one byte past the write position is always kept for
// the record's closing zero byte.  When the buffer cannot grow, the entry
// being written is taken back, so the record ends, terminated, after the
// last whole entry.
struct RecordWriter {
    ConnectionSlot& slot;
    std::size_t p = 0;            // next byte; always < the buffer's size
    std::size_t entry_start = 0;  // where the current entry began
    std::size_t reach = 0;        // end of the bytes short entries wrote
    bool failed = false;          // the buffer could not grow

    // Makes sure n more bytes and the closing byte fit in the buffer.
    bool room(std::size_t n) {
        if (failed) return false;
        const std::size_t have = slot.row_buffer_size;
        if (n < have - p) return true;
        if (n > std::numeric_limits<std::size_t>::max() / 4 - p) {
            failed = true;
            return false;
        }
        const std::size_t want = std::max(p + n + 1, have * 2);
        if (!resize_row_buffer(slot, want)) {
            failed = true;
            return false;
        }
        std::memset(slot.row_buffer + have, 0, want - have);
        return true;
    }
    void byte(uint8_t b) {
        if (!room(1)) return;
        slot.row_buffer[p++] = b;
    }
    // The value's bytes with their escapes, `first` being the first byte
    // that needs one: the runs between such bytes are copied whole.
    void escaped(std::string_view value, const uint8_t* first) {
        const auto* v = reinterpret_cast<const uint8_t*>(value.data());
        const std::size_t n = value.size();
        std::size_t marks = 0;
        for (const uint8_t* q = v; (q = next_mark(q, v + n)) != nullptr; ++q)
            ++marks;
        if (!room(n + marks)) return;
        uint8_t* out = slot.row_buffer + p;
        std::size_t at = 0;
        const uint8_t* special = first;
        while (at < n) {
            if (at != 0) special = next_special(v + at, v + n);
            const std::size_t run =
                (special != nullptr ? static_cast<std::size_t>(special - v)
                                    : n) -
                at;
            std::memcpy(out, v + at, run);
            out += run;
            at += run;
            if (special == nullptr) break;
            const uint8_t b = *special;
            if (b == 0x00) {
                *out++ = kEscZero;
            } else {
                *out++ = kEscMark;
                *out++ = b == kEscZero ? kEscMark : kEscMarkSelf;
            }
            ++at;
        }
        p = static_cast<std::size_t>(out - slot.row_buffer);
    }
    // Writes the entry's head, the table name and ':' when `prefix`, the
    // column name and '=': h bytes for which room() was had.
    void head(bool prefix, std::string_view table, std::string_view name,
              std::size_t h) {
        uint8_t* at = slot.row_buffer + p;
        if (prefix) {
            std::memcpy(at, table.data(), table.size());
            at += table.size();
            *at++ = ':';
        }
        std::memcpy(at, name.data(), name.size());
        at[name.size()] = '=';
        p += h;
    }
    // One whole entry: the head as head() writes it, the value (with its
    // escapes when `escape`) and the entry's end.  Returns false, with
    // the entry taken back, when it could not be written whole.  A value
    // that needs no escape (the common one) is written after one check
    // for room.
    bool entry(bool prefix, std::string_view table, std::string_view name,
               std::string_view value, bool escape) {
        begin_entry();
        const std::size_t n = value.size();
        const std::size_t h = (prefix ? table.size() + 1 : 0) + name.size() + 1;
        const auto* v = reinterpret_cast<const uint8_t*>(value.data());
        const uint8_t* first = escape ? next_special(v, v + n) : nullptr;
        if (first != nullptr) {
            if (!room(h)) return end_entry(false);
            head(prefix, table, name, h);
            escaped(value, first);
            return end_entry(true);
        }
        if (!room(h + n + 1)) return end_entry(false);
        head(prefix, table, name, h);
        if (n != 0) std::memcpy(slot.row_buffer + p, v, n);
        p += n;
        slot.row_buffer[p++] = 0;
        return true;
    }
    // The common entry, written without a branch on the lengths: a name
    // read from its whole name array `name_block` (name_length bytes of
    // it count) and a value of at most kShortValue bytes at the start of
    // the retrieval buffer, each copied as a whole block.  What the blocks
    // put past the entry is overwritten by the next one or cleared with
    // the rest of the record (`reach` marks how far it goes).  Returns
    // false, having written nothing, when the value is longer, may need
    // an escape, or the blocks do not fit without growing the buffer.
    bool short_entry(const char* name_block, std::size_t name_length,
                     const uint8_t* v, std::size_t n) {
        // Held in locals: the byte stores below could otherwise alias them.
        const std::size_t at_p = p;
        if (n > kShortValue || name_length >= kNameBlock ||
            slot.row_buffer_size - at_p <= kNameBlock + kShortValue + 1 ||
            short_value_specials(v, n) != 0)
            return false;
        uint8_t* at = slot.row_buffer + at_p;
        std::memcpy(at, name_block, kNameBlock);
        at[name_length] = '=';
        std::memcpy(at + name_length + 1, v, kShortValue);
        at[name_length + 1 + n] = 0;
        // Entries only move forward, each block's end past the last one's.
        reach = at_p + name_length + 1 + kShortValue;
        p = at_p + name_length + n + 2;
        return true;
    }
    void begin_entry() { entry_start = p; }
    // Ends the entry with its zero byte.  Returns false, with the entry
    // taken back (its bytes cleared again), when it could not be written
    // whole or `whole` is false.
    bool end_entry(bool whole) {
        if (whole) byte(0);
        if (whole && !failed) return true;
        std::memset(slot.row_buffer + entry_start, 0, p - entry_start);
        p = entry_start;
        return false;
    }
};

// One entry of the pairs record, written as entry() writes it from the
// value read (v): escaped unless it is a NULL; a value that could not be
// had for want of memory makes no entry.  Sets f.last to the read's code
// when the value was had.  Returns false when no whole entry was written.
// Out of line, and given the outcome by value: the loop of short entries
// stays small and keeps its outcome in registers.
[[gnu::noinline]] bool pairs_entry(RowFetch& f, RecordWriter& out,
                                   std::string_view table,
                                   std::string_view name, bool null_text,
                                   ValueRead v) {
    if (v.lacked) return false;
    f.last = v.rc;
    return out.entry((f.subcode & FETCH_TABLE_PREFIX) != 0, table, name,
                     value_text(v, null_text), v.length != SQL_NULL_DATA);
}

}  // namespace

void put_value(RowFetch& f, int32_t selector, std::string_view text) {
    const auto len = static_cast<int32_t>(std::min<std::size_t>(
        text.size(),
        static_cast<std::size_t>(std::numeric_limits<int32_t>::max())));
    if (svc_put_string(f.cmd, selector, text.data(), len) != 0)
        hdr_set_status(f.cmd, ORV_NO_MEMORY);
}

void store_value(const ArgView& dst, const ValueRead& v, SQLSMALLINT c_type) {
    if (v.length < 0) {
        arg_fill(dst, 0, dst.size, 0);
        return;
    }
    // A value the buffer holds whole is followed there by its terminator:
    // one copy takes both.
    if (v.length < data_buffer_capacity()) {
        arg_write(dst, 0, v.bytes, static_cast<std::size_t>(v.length) + 1);
        return;
    }
    // The buffer holds what fitted of a value it could not grow for
    // (character data keeps its terminator).
    SQLLEN held = data_buffer_capacity() - (c_type == SQL_C_CHAR ? 1 : 0);
    auto n =
        static_cast<std::size_t>(std::min(v.length, std::max<SQLLEN>(held, 0)));
    std::size_t written = arg_write(dst, 0, v.bytes, n);
    if (written == n) {
        const uint8_t zero = 0;
        arg_write(dst, n, &zero, 1);
    }
}

// Array layout: columns 1..m, m = min(n, param), as text into elements
// 0..m-1 of array argument 3 (through PUT_STRING with selector 3 + 256·k
// when the argument has ARG_CALLBACK, else into each element's `size`
// bytes, cleared first).  A failed read gives an empty element; a value
// cut to its element is reported with sqlstate 01004 (status 0), one that
// could not be read for want of memory with status 8 (the element stays
// empty, nothing handed over).  `count` = m.  Status 11 when argument 3 is
// not an array.
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
        const bool callback = (target.type_flags & ARG_CALLBACK) != 0;
        // The element's place; the host gives room for `param` elements.
        const ArgView element =
            arg_element(target, static_cast<std::size_t>(k - 1));
        if (!callback) arg_fill(element, 0, element.size, 0);
        const ValueRead v =
            read_value(f.statement, static_cast<SQLUSMALLINT>(k), SQL_C_CHAR);
        if (v.lacked) {
            report_no_memory(f, 0);
            continue;
        }
        f.last = v.rc;
        if (callback) {
            put_value(f, 3 + 256 * (k - 1), value_text(v, null_text));
            continue;
        }
        if (!SQL_SUCCEEDED(v.rc)) continue;
        store_value(element, v, SQL_C_CHAR);
        if (v.length == SQL_NULL_DATA && null_text)
            arg_write_text(element, null_value_text(true));
        if (v.length > static_cast<SQLLEN>(element.size))
            report_truncation(f, k);
    }
    hdr_set_count(f.cmd, m);
}

// Fixed-width layout: the columns as text, each padded with spaces to its
// width, one after another in argument 3, ending with a zero byte; one
// byte of the storage is kept for that end.  With ARG_CALLBACK the host is
// first asked to enlarge the storage to the whole record.  When the space
// runs out the last column is cut and `count` is the number of columns
// written; otherwise `count` = n.  A value longer than its width is cut to
// it and reported with sqlstate 01004 (status 0, native_error = the
// column).  A read that is not SQL_SUCCESS follows the failure rule
// (status 2, native_error = the column); a value that could not be read
// for want of memory shows as spaces, with status 8.
void fetch_fixed(RowFetch& f) {
    ArgView target = arg(f.cmd, 3);
    // The storage ends up cleared past the record.  Storage the host may
    // replace below is cleared first; otherwise only the bytes the record
    // does not cover are, once it is written.
    const bool may_resize = (target.type_flags & ARG_CALLBACK) != 0;
    if (may_resize) arg_fill(target, 0, target.size, 0);
    std::size_t s = target.size > 0 ? target.size - 1 : 0;

    if (may_resize) {
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
    if (f.subcode & (FETCH_FIXED_REFUSED_4 | FETCH_FIXED_REFUSED_8)) {
        if (!may_resize) arg_fill(target, 0, target.size, 0);
        hdr_set_status(f.cmd, ORV_REFUSED);
        return;
    }
    hdr_set_count(f.cmd, f.columns);
    const uint8_t zero = 0;
    std::size_t p = 0;
    if (f.columns < 1 || s == 0) {
        if (!may_resize) arg_fill(target, 0, target.size, 0);
        if (s == 0) hdr_set_count(f.cmd, 0);
        arg_write(target, 0, &zero, 1);
        return;
    }
    for (int32_t k = 1; k <= f.columns; ++k) {
        const ColumnDesc* rec = column_record(f.slot, k);
        if (rec == nullptr) break;
        const std::size_t w =
            static_cast<std::size_t>(std::min<uint64_t>(width_of(*rec), s));
        const ValueRead v =
            read_value(f.statement, static_cast<SQLUSMALLINT>(k), SQL_C_CHAR);
        const bool read = !v.lacked;
        if (!read) {
            report_no_memory(f, k);
        } else {
            f.last = v.rc == SQL_SUCCESS ? v.rc : report_column_failure(f, k);
            if (SQL_SUCCEEDED(v.rc) && v.length > static_cast<SQLLEN>(w))
                report_truncation(f, k);
        }
        // The value's text, up to its first zero byte and at most w bytes,
        // when the driver reported a length; a NULL or a failed read shows
        // as w spaces.  The bytes go into the storage once, the padding
        // after them.
        std::size_t l = 0;
        if (read && SQL_SUCCEEDED(v.rc) && v.length > 0) {
            const std::string_view text = value_text(v, false);
            l = strnlen(text.data(), std::min(text.size(), w));
            arg_write(target, p, text.data(), l);
        }
        arg_fill(target, p + l, w - l, ' ');
        p += w;
        s -= w;
        if (s == 0) {
            hdr_set_count(f.cmd, k);
            break;
        }
    }
    arg_write(target, p, &zero, 1);
    if (!may_resize && p + 1 < target.size)
        arg_fill(target, p + 1, target.size - (p + 1), 0);
}

// Pairs layout: the row as name=value entries in the slot's row buffer,
// its address stored into argument 3.  Names come from the column table
// (alt_name/alt_table with FETCH_ALT_NAMES, the table name and ':' first
// with FETCH_TABLE_PREFIX, "expr-N" for an empty name, kept in the table).
// Values are escaped and always whole: the buffer starts at the size the
// column widths give (at most kPairsInitialRoom), cleared, and grows as
// values need.  `count` = n.  When the buffer cannot be had at all: status
// 8, count 0, nothing written, no address.  When it cannot grow for an
// entry, or a value cannot be read for want of memory: status 8, the
// record ends after the last whole entry, `count` = the entries it holds.
void fetch_pairs(RowFetch& f) {
    const bool alt = (f.subcode & FETCH_ALT_NAMES) != 0;
    const bool prefix = (f.subcode & FETCH_TABLE_PREFIX) != 0;
    const bool null_text = (f.subcode & FETCH_NULL_TEXT) != 0;
    ResultCache& plan = f.cache;
    const bool planned = plan.pairs && plan.pairs_subcode == f.subcode;

    if (!planned) {
        uint64_t estimate = kPairsExtra;
        for (int32_t k = 1; k <= f.columns; ++k) {
            const ColumnDesc* rec = column_record(f.slot, k);
            if (rec == nullptr) break;
            uint64_t w = width_of(*rec);
            estimate += kPairsPerColumn + w +
                        (column_type_is_binary(rec->type) ? w : 0);
        }
        plan.pairs_start = static_cast<std::size_t>(
            std::min<uint64_t>(estimate, kPairsInitialRoom));
        // What the buffer holds past the last record is not known.
        plan.pairs_clean_from = std::numeric_limits<std::size_t>::max();
    }
    const std::size_t start = plan.pairs_start;
    // The record's bytes are written below and the rest cleared then.
    if (f.slot.row_buffer_size != start) {
        const std::size_t had = f.slot.row_buffer_size;
        if (!resize_row_buffer(f.slot, start)) {
            hdr_set_status(f.cmd, ORV_NO_MEMORY);
            return;
        }
        // Bytes the buffer gained hold anything.
        if (start > had) plan.pairs_clean_from = start;
    }

    RecordWriter out{f.slot};
    int counter = 0;
    int32_t entries = 0;
    // The column table holds at least the result's columns.
    ColumnDesc* const recs = column_record(f.slot, 0);
    const int32_t last =
        recs == nullptr ? 0 : std::min(f.columns, f.slot.column_capacity + 1);
    bool every_name = last == f.columns;  // every column's names measured
    // On the rows after the first, without table names, entries whose
    // values one read gets whole are written as short entries while the
    // retrieval buffer holds a whole block (it only grows during the row);
    // the names are then those the first row measured, in their arrays.
    const bool short_entries = planned && !prefix &&
                               last <= kCachedNameColumns &&
                               retrieval_block_readable(kShortValue);
    for (int32_t k = 1; k <= last; ++k) {
        ColumnDesc* rec = recs + k;
        const std::size_t i = static_cast<std::size_t>(k - 1);
        bool whole;
        if (short_entries) {
            const char* name = alt ? rec->alt_name : rec->name;
            const std::size_t name_length = plan.name_length[i];
            const ValueRead v = read_value(
                f.statement, static_cast<SQLUSMALLINT>(k), SQL_C_CHAR);
            // A value read whole with SQL_SUCCESS is at the buffer's start.
            if (v.rc == SQL_SUCCESS && v.length >= 0 &&
                out.short_entry(name, name_length, v.bytes,
                                static_cast<std::size_t>(v.length))) {
                f.last = v.rc;
                ++entries;
                continue;
            }
            whole = pairs_entry(f, out, {}, {name, name_length}, null_text, v);
        } else {
            // The names, measured on the result's first row (which also
            // gives an empty name its generated one) and taken as they are
            // after it.
            std::string_view table;
            std::string_view name;
            if (planned && k <= kCachedNameColumns) {
                if (prefix)
                    table = std::string_view(alt ? rec->alt_table : rec->table,
                                             plan.table_length[i]);
                name = std::string_view(alt ? rec->alt_name : rec->name,
                                        plan.name_length[i]);
            } else {
                if (prefix) table = fetch_table_name(*rec, alt);
                name = fetch_column_name(*rec, alt, &counter);
                if (k <= kCachedNameColumns) {
                    plan.table_length[i] = static_cast<uint8_t>(
                        fetch_table_name(*rec, alt).size());
                    plan.name_length[i] = static_cast<uint8_t>(name.size());
                }
            }
            whole = pairs_entry(
                f, out, table, name, null_text,
                read_value(f.statement, static_cast<SQLUSMALLINT>(k),
                           SQL_C_CHAR));
        }
        if (!whole) {
            hdr_set_status(f.cmd, ORV_NO_MEMORY);
            every_name = every_name && k == f.columns;
            break;
        }
        ++entries;
    }
    if (!planned && every_name) {
        plan.pairs = true;
        plan.pairs_subcode = f.subcode;
    }
    // The closing zero byte (the writer always kept room for it) and the
    // rest of the buffer cleared, as far as the last record left bytes
    // there; the bytes the writer grew the buffer by it cleared itself.
    const std::size_t dirty_end = std::max(
        std::min(plan.pairs_clean_from, f.slot.row_buffer_size), out.reach);
    if (dirty_end > out.p)
        std::memset(f.slot.row_buffer + out.p, 0, dirty_end - out.p);
    else
        f.slot.row_buffer[out.p] = 0;
    plan.pairs_clean_from = out.p;
    hdr_set_count(f.cmd, entries);
    // The buffer may have moved while it grew: the address goes to the
    // host once the record is complete.
    arg_store_address(arg(f.cmd, 3), f.slot.row_buffer);
}

}  // namespace orv
