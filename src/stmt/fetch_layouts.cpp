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
                     value_text(f.slot.data_buffer, v, null_text),
                     v.length != SQL_NULL_DATA);
}

// The bytes of argument 3 the fixed-width record may fill, its closing
// zero byte not counted.  With `may_resize` the host is first asked to
// enlarge the storage to the whole record (1 + the columns' widths) and
// `target` is read again when it did.  Reads the column table; returns the
// room.
std::size_t fixed_room(RowFetch& f, ArgView& target, bool may_resize) {
    std::size_t s = target.size > 0 ? target.size - 1 : 0;
    if (!may_resize) return s;
    uint64_t needed = 1;
    for (int32_t k = 1; k <= f.columns; ++k)
        if (const ColumnDesc* rec = column_record(f.slot, k))
            needed += width_of(*rec);
    if (s < needed &&
        needed <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) &&
        svc_resize_arg(f.cmd, 3, static_cast<int32_t>(needed)) == 0) {
        target = arg(f.cmd, 3);
        // The record then fills the enlarged storage exactly; a host
        // that gave less than asked is held to what it gave.
        s = target.size >= needed ? static_cast<std::size_t>(needed)
            : target.size > 0     ? target.size - 1
                                  : 0;
    }
    return s;
}

// Column k of the fixed-width record: reads its value and writes w bytes
// of `target` from p, the value's text up to its first zero byte and at
// most w bytes when the driver reported a length, then spaces (a NULL or
// a failed read shows as w spaces).  Sets f.last and reports a failed
// read, a value cut to w, or one that lacked memory.  Inlined: it runs
// once per value.
[[gnu::always_inline]] inline void fixed_column(RowFetch& f,
                                                const ArgView& target,
                                                int32_t k, std::size_t p,
                                                std::size_t w) {
    const ValueRead v = read_value(f.slot.data_buffer, f.statement,
                                   static_cast<SQLUSMALLINT>(k), SQL_C_CHAR);
    const bool read = !v.lacked;
    if (!read) {
        report_no_memory(f, k);
    } else {
        f.last = v.rc == SQL_SUCCESS ? v.rc : report_column_failure(f, k);
        if (SQL_SUCCEEDED(v.rc) && v.length > static_cast<SQLLEN>(w))
            report_truncation(f, k);
    }
    // The bytes go into the storage once, the padding after them.
    std::size_t l = 0;
    if (read && SQL_SUCCEEDED(v.rc) && v.length > 0) {
        const std::string_view text = value_text(f.slot.data_buffer, v, false);
        l = strnlen(text.data(), std::min(text.size(), w));
        arg_write(target, p, text.data(), l);
    }
    arg_fill(target, p + l, w - l, ' ');
}

// The pairs record's plan for a result's first row: the record's first
// size from the column widths (at most kPairsInitialRoom), and the
// buffer's bytes past the last record marked as not known.  Reads the
// column table; writes f.cache.
void pairs_plan(RowFetch& f) {
    uint64_t estimate = kPairsExtra;
    for (int32_t k = 1; k <= f.columns; ++k) {
        const ColumnDesc* rec = column_record(f.slot, k);
        if (rec == nullptr) break;
        uint64_t w = width_of(*rec);
        estimate +=
            kPairsPerColumn + w + (column_type_is_binary(rec->type) ? w : 0);
    }
    f.cache.pairs_start = static_cast<std::size_t>(
        std::min<uint64_t>(estimate, kPairsInitialRoom));
    f.cache.pairs_clean_from = std::numeric_limits<std::size_t>::max();
}

// Gives the slot's row buffer the record's first size.  Bytes it gains
// hold anything: f.cache.pairs_clean_from then marks them.  The record's
// bytes are written later and the rest cleared then.  Returns false when
// the buffer cannot be had.
bool pairs_buffer(RowFetch& f) {
    const std::size_t start = f.cache.pairs_start;
    const std::size_t had = f.slot.row_buffer_size;
    if (had == start) return true;
    if (!resize_row_buffer(f.slot, start)) return false;
    if (start > had) f.cache.pairs_clean_from = start;
    return true;
}

// Names of a pairs entry: the table's (empty without FETCH_TABLE_PREFIX)
// and the column's.
struct PairsNames {
    std::string_view table;
    std::string_view name;
};

// The names of column k (record rec): measured on the result's first row,
// which also gives an empty name its generated one (numbered through
// *counter) and keeps their lengths in f.cache, and taken as they are after
// it (`planned`).
PairsNames pairs_names(RowFetch& f, ColumnDesc& rec, int32_t k, bool planned,
                       int* counter) {
    const bool alt = (f.subcode & FETCH_ALT_NAMES) != 0;
    const bool prefix = (f.subcode & FETCH_TABLE_PREFIX) != 0;
    const std::size_t i = static_cast<std::size_t>(k - 1);
    PairsNames names;
    if (planned && k <= kCachedNameColumns) {
        if (prefix)
            names.table = std::string_view(alt ? rec.alt_table : rec.table,
                                           f.cache.table_length[i]);
        names.name = std::string_view(alt ? rec.alt_name : rec.name,
                                      f.cache.name_length[i]);
        return names;
    }
    if (prefix) names.table = fetch_table_name(rec, alt);
    names.name = fetch_column_name(rec, alt, counter);
    if (k <= kCachedNameColumns) {
        f.cache.table_length[i] =
            static_cast<uint8_t>(fetch_table_name(rec, alt).size());
        f.cache.name_length[i] = static_cast<uint8_t>(names.name.size());
    }
    return names;
}

// Entries of columns 1..last (records recs[1..last]) with the names
// pairs_names gives.  Returns the entries written whole: fewer than last
// when one could not be.
int32_t pairs_named_row(RowFetch& f, RecordWriter& out, ColumnDesc* recs,
                        int32_t last, bool planned) {
    const bool null_text = (f.subcode & FETCH_NULL_TEXT) != 0;
    int counter = 0;
    for (int32_t k = 1; k <= last; ++k) {
        const PairsNames names = pairs_names(f, recs[k], k, planned, &counter);
        if (!pairs_entry(f, out, names.table, names.name, null_text,
                         read_value(f.slot.data_buffer, f.statement,
                                    static_cast<SQLUSMALLINT>(k), SQL_C_CHAR)))
            return k - 1;
    }
    return last;
}

// Entries of columns 1..last (records recs[1..last], at most
// kCachedNameColumns, no table names) on a row after the first: a value
// one read gets whole with SQL_SUCCESS is at the retrieval buffer's start
// and is written as a short entry, with the name the first row measured
// in its array; any other through pairs_entry.  The retrieval buffer must
// hold a whole block of kShortValue bytes (it only grows during the row).
// Returns the entries written whole: fewer than last when one could not be.
int32_t pairs_short_row(RowFetch& f, RecordWriter& out, const ColumnDesc* recs,
                        int32_t last) {
    const bool alt = (f.subcode & FETCH_ALT_NAMES) != 0;
    const bool null_text = (f.subcode & FETCH_NULL_TEXT) != 0;
    for (int32_t k = 1; k <= last; ++k) {
        const char* name = alt ? recs[k].alt_name : recs[k].name;
        const std::size_t name_length =
            f.cache.name_length[static_cast<std::size_t>(k - 1)];
        const ValueRead v =
            read_value(f.slot.data_buffer, f.statement,
                       static_cast<SQLUSMALLINT>(k), SQL_C_CHAR);
        if (v.rc == SQL_SUCCESS && v.length >= 0 &&
            out.short_entry(name, name_length, v.bytes,
                            static_cast<std::size_t>(v.length))) {
            f.last = v.rc;
            continue;
        }
        if (!pairs_entry(f, out, {}, {name, name_length}, null_text, v))
            return k - 1;
    }
    return last;
}

// Ends the record: its closing zero byte (the writer always kept room for
// it) and the rest of the buffer cleared, as far as the last record left
// bytes there; the bytes the writer grew the buffer by it cleared itself.
// Writes f.cache.pairs_clean_from.
void pairs_close(RowFetch& f, const RecordWriter& out) {
    const std::size_t dirty_end = std::max(
        std::min(f.cache.pairs_clean_from, f.slot.row_buffer_size), out.reach);
    if (dirty_end > out.p)
        std::memset(f.slot.row_buffer + out.p, 0, dirty_end - out.p);
    else
        f.slot.row_buffer[out.p] = 0;
    f.cache.pairs_clean_from = out.p;
}

}  // namespace

void put_value(RowFetch& f, int32_t selector, std::string_view text) {
    const auto len = static_cast<int32_t>(std::min<std::size_t>(
        text.size(),
        static_cast<std::size_t>(std::numeric_limits<int32_t>::max())));
    if (svc_put_string(f.cmd, selector, text.data(), len) != 0)
        hdr_set_status(f.cmd, ORV_NO_MEMORY);
}

void store_value(const DataBufferState& buf, const ArgView& dst,
                 const ValueRead& v, SQLSMALLINT c_type) {
    if (v.length < 0) {
        arg_fill(dst, 0, dst.size, 0);
        return;
    }
    // A value the buffer holds whole is followed there by its terminator:
    // one copy takes both.
    if (v.length < buf.capacity) {
        arg_write(dst, 0, v.bytes, static_cast<std::size_t>(v.length) + 1);
        return;
    }
    // The buffer holds what fitted of a value it could not grow for
    // (character data keeps its terminator).
    SQLLEN held = buf.capacity - (c_type == SQL_C_CHAR ? 1 : 0);
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
            read_value(f.slot.data_buffer, f.statement,
                       static_cast<SQLUSMALLINT>(k), SQL_C_CHAR);
        if (v.lacked) {
            report_no_memory(f, 0);
            continue;
        }
        f.last = v.rc;
        if (callback) {
            put_value(f, 3 + 256 * (k - 1),
                      value_text(f.slot.data_buffer, v, null_text));
            continue;
        }
        if (!SQL_SUCCEEDED(v.rc)) continue;
        store_value(f.slot.data_buffer, element, v, SQL_C_CHAR);
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
    std::size_t s = fixed_room(f, target, may_resize);
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
        fixed_column(f, target, k, p, w);
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
    ResultCache& plan = f.cache;
    const bool planned = plan.pairs && plan.pairs_subcode == f.subcode;
    if (!planned) pairs_plan(f);
    if (!pairs_buffer(f)) {
        hdr_set_status(f.cmd, ORV_NO_MEMORY);
        return;
    }
    RecordWriter out{f.slot};
    // The column table holds at least the result's columns.
    ColumnDesc* const recs = column_record(f.slot, 0);
    const int32_t last =
        recs == nullptr ? 0 : std::min(f.columns, f.slot.column_capacity + 1);
    const bool short_entries =
        planned && (f.subcode & FETCH_TABLE_PREFIX) == 0 &&
        last <= kCachedNameColumns &&
        retrieval_block_readable(f.slot.data_buffer, kShortValue);
    const int32_t entries = short_entries
                                ? pairs_short_row(f, out, recs, last)
                                : pairs_named_row(f, out, recs, last, planned);
    const bool whole = entries == last;
    if (!whole) hdr_set_status(f.cmd, ORV_NO_MEMORY);
    // Every column's names were measured when the row reached the last
    // column (an entry's names are had before it is written).
    if (!planned && (whole ? last : entries + 1) == f.columns) {
        plan.pairs = true;
        plan.pairs_subcode = f.subcode;
    }
    pairs_close(f, out);
    hdr_set_count(f.cmd, entries);
    // The buffer may have moved while it grew: the address goes to the
    // host once the record is complete.
    arg_store_address(arg(f.cmd, 3), f.slot.row_buffer);
}

}  // namespace orv
