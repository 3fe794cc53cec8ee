// Column description records (ColumnDesc) and the shared retrieval buffer
// through which every column value is read.
#include "stmt/columns.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "memory.h"
#include "stmt/result_cache.h"

namespace orv {

namespace {

inline constexpr SQLLEN kInitialDataBuffer = 4096;
inline constexpr int kAttrTextSize = 128;

// SQL type -> host column type code.  9, 10 and 11 are the ODBC 2 codes
// of date, time and timestamp (SQL_DATETIME and SQL_INTERVAL today);
// 246 to 248 are codes some drivers report for their own types.
struct TypeMapping {
    int16_t sql_type;
    int32_t host_type;
};
inline constexpr int16_t kOdbc2Date = 9, kOdbc2Time = 10, kOdbc2Timestamp = 11;
inline constexpr int16_t kDriverBinary = 246, kDriverVarText = 247,
                         kDriverChar = 248;
constexpr std::array<TypeMapping, 24> kTypeMap{{
    {SQL_CHAR, COLTYPE_CHAR},
    {SQL_NUMERIC, COLTYPE_DECIMAL},
    {SQL_DECIMAL, COLTYPE_DECIMAL},
    {SQL_INTEGER, COLTYPE_INTEGER},
    {SQL_SMALLINT, COLTYPE_SMALLINT},
    {SQL_FLOAT, COLTYPE_FLOAT},
    {SQL_REAL, COLTYPE_DOUBLE},
    {SQL_DOUBLE, COLTYPE_DOUBLE},
    {kOdbc2Date, COLTYPE_DATETIME},
    {kOdbc2Time, COLTYPE_TIME},
    {SQL_TYPE_TIME, COLTYPE_TIME},
    {kOdbc2Timestamp, COLTYPE_TIMESTAMP},
    {SQL_TYPE_TIMESTAMP, COLTYPE_TIMESTAMP},
    {SQL_TYPE_DATE, COLTYPE_DATE},
    {SQL_VARCHAR, COLTYPE_TEXT},
    {SQL_LONGVARCHAR, COLTYPE_TEXT},
    {SQL_WVARCHAR, COLTYPE_TEXT},
    {SQL_BIT, COLTYPE_BIT},
    {SQL_BIGINT, COLTYPE_BIGINT},
    {SQL_VARBINARY, COLTYPE_BINARY},
    {SQL_LONGVARBINARY, COLTYPE_BINARY},
    {kDriverBinary, COLTYPE_BINARY},
    {kDriverVarText, COLTYPE_VAR_TEXT},
    {kDriverChar, COLTYPE_CHAR},
}};
static_assert(kOdbc2Date == SQL_DATETIME && kOdbc2Time == SQL_INTERVAL);

// Copies text into a fixed field of n bytes: zero-filled after the text,
// not terminated when the text has n or more characters.
void copy_field(char* field, std::size_t n, const char* text) {
    std::size_t len = strnlen(text, n);
    std::memcpy(field, text, len);
    std::memset(field + len, 0, n - len);
}

// Reads a text attribute of column i; an empty text when the call fails,
// so that a failed call never leaves another attribute's text behind.
void text_attribute(SQLHSTMT statement, SQLUSMALLINT i, SQLUSMALLINT id,
                    char (&text)[kAttrTextSize]) {
    SQLSMALLINT length = 0;
    text[0] = 0;
    SQLRETURN rc = SQLColAttribute(statement, i, id, text, kAttrTextSize,
                                   &length, nullptr);
    if (!SQL_SUCCEEDED(rc)) text[0] = 0;
    text[kAttrTextSize - 1] = 0;
}

// Reads a numeric attribute of column i; `fallback` when the call fails.
SQLLEN numeric_attribute(SQLHSTMT statement, SQLUSMALLINT i, SQLUSMALLINT id,
                         SQLLEN fallback = 0) {
    SQLLEN value = 0;
    SQLRETURN rc =
        SQLColAttribute(statement, i, id, nullptr, 0, nullptr, &value);
    return SQL_SUCCEEDED(rc) ? value : fallback;
}

// A display size as the record's 32-bit field holds it.  Sizes beyond the
// field saturate rather than wrap to a negative width; SQL_NO_TOTAL (a
// binary column of PostgreSQL) and other negative answers mean "unknown"
// and become 0.
int32_t display_size_field(SQLLEN size) {
    if (size < 0) return 0;
    return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

// True when the column name, read as the date rule reads it, contains
// DATE in any letter case: up to 63 characters from the start of the
// record.  A name that fills its 32 bytes without a terminator runs on
// into alt_name, which holds the same name.
bool name_says_date(const ColumnDesc& rec) {
    static_assert(offsetof(ColumnDesc, alt_name) == sizeof rec.name);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&rec);
    char upper[64] = {};
    for (int k = 0; k < 63 && bytes[k] != 0; ++k)
        upper[k] = static_cast<char>(std::toupper(bytes[k]));
    return std::strstr(upper, "DATE") != nullptr;
}

// Fills one record from the driver's description of column i.
void describe_one(SQLHSTMT statement, SQLUSMALLINT i, ColumnDesc& rec) {
    char text[kAttrTextSize];
    text_attribute(statement, i, SQL_DESC_SCHEMA_NAME, text);
    copy_field(rec.schema, sizeof rec.schema, text);
    text_attribute(statement, i, SQL_DESC_NAME, text);
    copy_field(rec.name, sizeof rec.name, text);
    copy_field(rec.alt_name, sizeof rec.alt_name, text);
    text_attribute(statement, i, SQL_DESC_TABLE_NAME, text);
    copy_field(rec.table, sizeof rec.table, text);
    copy_field(rec.alt_table, sizeof rec.alt_table, text);
    text_attribute(statement, i, SQL_DESC_CATALOG_NAME, text);
    copy_field(rec.catalog, sizeof rec.catalog, text);
    std::memset(rec.default_text, 0, sizeof rec.default_text);

    rec.display_size = display_size_field(
        numeric_attribute(statement, i, SQL_DESC_DISPLAY_SIZE));
    rec.width = display_size_field(
        numeric_attribute(statement, i, SQL_DESC_DISPLAY_SIZE));
    rec.flags = 0;
    if (numeric_attribute(statement, i, SQL_DESC_AUTO_UNIQUE_VALUE) == SQL_TRUE)
        rec.flags |= COLF_AUTO_INCREMENT;
    // A nullability that cannot be had is unknown, not NOT NULL.
    if (numeric_attribute(statement, i, SQL_DESC_NULLABLE,
                          SQL_NULLABLE_UNKNOWN) == SQL_NO_NULLS)
        rec.flags |= COLF_NOT_NULL;
    rec.precision = static_cast<uint16_t>(
        numeric_attribute(statement, i, SQL_DESC_PRECISION));
    rec.reserved = 0;

    auto t = static_cast<int16_t>(
        numeric_attribute(statement, i, SQL_DESC_TYPE) & 0xFFFF);
    if (t < 0) {
        // Drivers that report dates as wide text: trust the concise type,
        // else a 10-character column whose name says DATE.
        SQLLEN d = numeric_attribute(statement, i, SQL_DESC_CONCISE_TYPE);
        if (d == SQL_TYPE_DATE || d == SQL_TYPE_TIME ||
            d == SQL_TYPE_TIMESTAMP) {
            t = static_cast<int16_t>(d);
        } else if (rec.width == 10 && name_says_date(rec)) {
            t = SQL_TYPE_DATE;
        }
    }
    rec.type = host_column_type(t);
    if (rec.width == 0 && rec.type == COLTYPE_TEXT)
        rec.width = COLTYPE_TEXT_WIDTH;
}

// Gives the slot a zero-filled table of n + 2 records.  On failure the
// slot is left without a table and with capacity 0.
bool resize_table(ConnectionSlot& slot, int32_t n) {
    std::size_t bytes = static_cast<std::size_t>(n + 2) * kColumnDescSize;
    auto* table = static_cast<uint8_t*>(orv_realloc(slot.columns, bytes));
    if (table == nullptr) {
        orv_free(slot.columns);
        slot.columns = nullptr;
        slot.column_capacity = 0;
        return false;
    }
    std::memset(table, 0, bytes);
    slot.columns = table;
    slot.column_capacity = n;
    return true;
}

}  // namespace

int32_t host_column_type(int16_t sql_type) {
    for (const TypeMapping& m : kTypeMap)
        if (m.sql_type == sql_type) return m.host_type;
    return COLTYPE_OTHER;
}

bool create_column_table(ConnectionSlot& slot) {
    orv_free(slot.columns);
    slot.columns = nullptr;
    slot.column_capacity = 0;
    return resize_table(slot, kInitialColumnCapacity);
}

void forget_description(ConnectionSlot& slot) {
    // Command 12's cache was made from the description it replaces.
    forget_result(slot);
    if (slot.columns == nullptr || slot.columns[0] == 0) return;
    std::memset(
        slot.columns, 0,
        static_cast<std::size_t>(slot.column_capacity) * kColumnDescSize);
}

int32_t describe_columns(ConnectionSlot& slot, uint8_t* dest, int32_t wanted) {
    SQLSMALLINT c = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(slot.statement, &c))) c = 0;
    int32_t n = std::max<int32_t>(0, std::min<int32_t>(wanted, c));
    if (n > slot.column_capacity || slot.columns == nullptr) {
        if (!resize_table(slot, n)) return 0;
    }
    std::memcpy(slot.columns, "bookmarks", 10);
    for (int32_t i = 1; i <= n; ++i) {
        ColumnDesc* rec = column_record(slot, i);
        describe_one(slot.statement, static_cast<SQLUSMALLINT>(i), *rec);
        if (dest != nullptr)
            std::memcpy(
                dest + static_cast<std::size_t>(i - 1) * kColumnDescSize, rec,
                kColumnDescSize);
    }
    return c;
}

int16_t prepare_columns(ConnectionSlot& slot, int32_t n) {
    bool described = slot.columns != nullptr && slot.columns[0] != 0;
    // A described table narrower than the result (described for a smaller
    // host area) is described afresh at full width, so that no column is
    // ever looked up beyond the table.
    if (described && slot.column_capacity >= n) return ORV_OK;
    int32_t r =
        describe_columns(slot, nullptr, std::max(slot.column_capacity, n));
    if (r == n) return ORV_OK;
    return r == 0 ? ORV_NO_MEMORY : ORV_COLUMN_MISMATCH;
}

void release_data_buffers() {
    for (ConnectionSlot& slot : SlotTable) {
        orv_free(slot.data_buffer.buffer);
        slot.data_buffer = DataBufferState{};
    }
}

namespace {

// The text handed out for a NULL, a failed read or one that lacked memory.
constexpr uint8_t kEmptyValue[1] = {0};

// Gives the retrieval buffer at least `need` bytes (creating it, cleared,
// when it does not exist).  Returns false, with the buffer as it was, when
// the memory cannot be had.
bool grow_data_buffer(DataBufferState& buf, SQLLEN need) {
    if (buf.buffer != nullptr && need <= buf.capacity) return true;
    const bool fresh = buf.buffer == nullptr;
    if (fresh) need = std::max(need, kInitialDataBuffer);
    auto* grown = static_cast<uint8_t*>(
        orv_realloc(buf.buffer, static_cast<std::size_t>(need)));
    if (grown == nullptr) return false;
    // A new buffer is cleared once, so that a reader looking at a whole
    // block of its start (see retrieval_block_readable) never meets unset
    // bytes.
    if (fresh) std::memset(grown, 0, static_cast<std::size_t>(need));
    buf.buffer = grown;
    buf.capacity = need;
    return true;
}

// Goes on reading column `column` into `buf` (which exists) after a
// read of `room` bytes at `offset` (the bytes of the value already held)
// that returned v.rc and the indicator v.length, growing the buffer until
// the whole value fits: a value cut short is read on after the part
// already received (over that part's terminator for character data).
// When the buffer cannot grow, it keeps the first, shortened part and
// v.lacked is set.  A driver that cannot tell the length (SQL_NO_TOTAL) is
// read in doubling steps.  v.length receives the whole value's length or
// the indicator, v.rc the code of the last SQLGetData call.
void read_on(DataBufferState& buf, SQLHSTMT statement, SQLUSMALLINT column,
             SQLSMALLINT c_type, SQLLEN offset, SQLLEN room, ValueRead& v) {
    const bool is_char = c_type == SQL_C_CHAR;
    SQLLEN remaining = v.length;
    while (v.rc == SQL_SUCCESS_WITH_INFO) {
        bool cut = remaining == SQL_NO_TOTAL ||
                   (remaining >= 0 &&
                    (is_char ? remaining >= room : remaining > room));
        if (!cut) break;
        SQLLEN got = is_char ? room - 1 : room;
        SQLLEN need;
        if (remaining == SQL_NO_TOTAL) {
            // Unknown length: the rest of the buffer, doubled when this
            // read already reached its end.
            need = offset + got + 1 < buf.capacity ? buf.capacity
                                                   : buf.capacity * 2;
        } else {
            // The whole value and a terminator; guard the sum.
            if (remaining > PTRDIFF_MAX - offset - 1) {
                v.lacked = true;
                break;
            }
            need = offset + remaining + 1;
        }
        if (!grow_data_buffer(buf, need)) {  // the shortened part stays
            v.lacked = true;
            break;
        }
        offset += got;
        room = buf.capacity - offset;
        v.rc = SQLGetData(statement, column, c_type, buf.buffer + offset, room,
                          &remaining);
    }
    v.length = remaining >= 0 ? offset + remaining : remaining;
    // Binary and fixed-size values carry no terminator of their own; one
    // is added when it fits so that no byte of an earlier value follows.
    if (SQL_SUCCEEDED(v.rc) && !is_char && v.length >= 0 &&
        v.length < buf.capacity)
        buf.buffer[v.length] = 0;
}

// True when a first read of `room` bytes that gave the indicator `length`
// and succeeded holds the whole value.
bool whole_in(SQLLEN length, SQLLEN room, bool is_char) {
    if (length == SQL_NO_TOTAL) return false;
    return length < 0 || (is_char ? length < room : length <= room);
}

// Moves the head of a value cut at `to` (the bytes its first read
// received) into the retrieval buffer and reads the rest after it, as
// read_on goes on.  Sets v.lacked, with v.rc SQL_ERROR, when the buffer
// cannot be had for the head.
void read_rest(DataBufferState& buf, SQLHSTMT statement, SQLUSMALLINT column,
               SQLSMALLINT c_type, ReadTarget to, ValueRead& v) {
    const SQLLEN held =
        c_type == SQL_C_CHAR ? std::max<SQLLEN>(to.room - 1, 0) : to.room;
    // Room for the head and as much again for the rest to start with.
    if (!grow_data_buffer(buf, std::max(kInitialDataBuffer, 2 * held + 2))) {
        v.lacked = true;
        v.rc = SQL_ERROR;
        return;
    }
    if (held > 0)
        std::memcpy(buf.buffer, to.at, static_cast<std::size_t>(held));
    const SQLLEN room = held == 0 ? first_read_room(buf) : buf.capacity - held;
    v.rc = SQLGetData(statement, column, c_type, buf.buffer + held, room,
                      &v.length);
    read_on(buf, statement, column, c_type, held, room, v);
}

}  // namespace

ValueRead read_value_on(DataBufferState& buf, SQLHSTMT statement,
                        SQLUSMALLINT column, SQLSMALLINT c_type, ReadTarget to,
                        ValueRead v) {
    const bool is_char = c_type == SQL_C_CHAR;
    if (to.at == nullptr) {
        // No retrieval buffer yet: made here, or nowhere to put the value.
        if (!grow_data_buffer(buf, kInitialDataBuffer)) {
            v.rc = SQL_ERROR;
            v.lacked = true;
        } else {
            return read_value(buf, statement, column, c_type);
        }
    } else if (SQL_SUCCEEDED(v.rc) && whole_in(v.length, to.room, is_char)) {
        // Whole at the target, with a warning, or a NULL.
        if (v.length == SQL_NULL_DATA) {
            v.bytes = kEmptyValue;
            return v;
        }
        const SQLLEN end = to.at == buf.buffer ? buf.capacity : to.room;
        if (!is_char && v.length >= 0 && v.length < end) to.at[v.length] = 0;
        v.bytes = to.at;
        return v;
    } else if (SQL_SUCCEEDED(v.rc) && to.at == buf.buffer) {
        read_on(buf, statement, column, c_type, 0, to.room, v);
    } else if (SQL_SUCCEEDED(v.rc)) {
        read_rest(buf, statement, column, c_type, to, v);
    }
    v.bytes = buf.buffer;
    // A failed read yields an empty value, never a stale one.
    if (!SQL_SUCCEEDED(v.rc)) v.length = 0;
    if (!SQL_SUCCEEDED(v.rc) || v.length == SQL_NULL_DATA)
        v.bytes = kEmptyValue;
    return v;
}

}  // namespace orv
