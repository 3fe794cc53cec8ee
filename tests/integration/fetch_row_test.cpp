// Command 12 against real drivers: the running row number, absolute rows,
// end of data, and the exact bytes of the four layouts.  Every host
// argument ends at a guard page, so a write past its size fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "memory.h"
#include "stmt/columns.h"
#include "testbed.h"

namespace {

using hostkit::ArgSpec;

constexpr int16_t kNullText = FETCH_NULL_TEXT;

std::vector<uint8_t> bytes_of(std::string_view s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// `s` followed by zero bytes up to `size`.
std::vector<uint8_t> padded(std::string_view s, std::size_t size) {
    std::vector<uint8_t> b = bytes_of(s);
    b.resize(size, 0);
    return b;
}

ArgSpec with_flags(ArgSpec a, int16_t flags) {
    a.type_flags = flags;
    return a;
}

class FetchRow : public testbed::DriverTest {
  protected:
    void TearDown() override {
        orv::orv_fail_allocation(0);
        testbed::DriverTest::TearDown();
    }
    bool is_pg() const { return std::string_view(GetParam()) == "orv_pg"; }

    // Closes the cursor of the previous query (command 13), then executes.
    void exec(std::string_view sql) {
        testbed::command(host, ORV_CMD_RESET_STATEMENT, slot);
        testbed::exec_ok(host, slot, sql);
    }

    // A fetch with the given arguments; `number` carries the running row
    // number in from the previous fetch.
    CmdHdr fetch(std::vector<ArgSpec> args, int16_t subcode = 0,
                 double row_number = 0.0, double number = 0.0,
                 int32_t param = 0) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot), subcode);
        hdr.row_number = row_number;
        hdr.number = number;
        hostkit::set_param_swapped(hdr, param);
        hostkit::run(host, ORV_CMD_FETCH_ROW, hdr, std::move(args));
        EXPECT_FALSE(host.bad_call_seen);
        return hdr;
    }

    // The slot's pairs record, whose address the last fetch stored into
    // argument 3.
    std::vector<uint8_t> pairs_record() {
        std::vector<uint8_t> arg = hostkit::arg_bytes(host, 3);
        EXPECT_EQ(arg.size(), sizeof(void*));
        const uint8_t* p = nullptr;
        std::memcpy(&p, arg.data(), sizeof p);
        const orv::ConnectionSlot* s = orv::slot_at(slot);
        EXPECT_EQ(p, s->row_buffer);
        if (p == nullptr) return {};
        return std::vector<uint8_t>(p, p + s->row_buffer_size);
    }
};

// A pairs record: the entries, each ended by a zero byte, one more zero
// byte, then the cleared rest of a buffer of `size` bytes.  Never shorter
// than the entries and the closing zero byte, so that a record cut short
// does not compare equal.
std::vector<uint8_t> record_of(std::vector<std::string> entries,
                               std::size_t size) {
    std::vector<uint8_t> b;
    for (const std::string& e : entries) {
        b.insert(b.end(), e.begin(), e.end());
        b.push_back(0);
    }
    b.resize(std::max(size, b.size() + 1), 0);
    return b;
}

TEST_P(FetchRow, RunningRowNumberAndEndOfData) {
    exec("CREATE TEMPORARY TABLE fr_n (x INTEGER)");
    exec("INSERT INTO fr_n VALUES (1), (2), (3)");
    exec("SELECT x FROM fr_n ORDER BY x");
    double number = 0.0;
    for (int row = 1; row <= 3; ++row) {
        CmdHdr hdr = fetch({hostkit::integer(0)}, 0, 0.0, number);
        ASSERT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hdr.number, row);
        EXPECT_EQ(host.put_ints[3], row);
        EXPECT_EQ(hostkit::count(hdr), 1);
        number = hdr.number;
    }
    CmdHdr hdr = fetch({hostkit::integer(0)}, 0, 0.0, number);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.number, 0.0);
    EXPECT_EQ(hostkit::count(hdr), 0);
    EXPECT_TRUE(host.put_ints.empty());
    // No diagnostic record: the return code 100 stands in native_error.
    EXPECT_EQ(hostkit::sqlstate(hdr), "?");
    uint8_t native[4];
    std::memcpy(native, &hdr.native_error, 4);
    EXPECT_EQ(std::vector<uint8_t>(native, native + 4),
              (std::vector<uint8_t>{0x00, 0x00, 0x64, 0x00}));
}

// Absolute rows on each driver's default (forward-only) cursor, with the
// test bed's settings: the MariaDB driver positions it; the SQLite driver
// (streaming, StepAPI=1) answers "wrong fetch direction" and the
// PostgreSQL driver (UseDeclareFetch=1) HY106.  A refused fetch fetched no
// row: status 2 and `number` as it was.  The scrollable cursor type set
// through the statement attribute commands is tested with those.
class FetchRowAbsolute : public FetchRow {};

TEST_P(FetchRowAbsolute, AbsoluteRowOnTheDefaultCursor) {
    struct Expect {
        const char* dsn;
        bool allows;
        const char* refusal_state;
    };
    const Expect expectations[] = {
        {"orv_maria", true, ""},
        {"orv_sqlite", false, "01000"},
        {"orv_pg", false, "HY106"},
    };
    const Expect* e = nullptr;
    for (const Expect& x : expectations)
        if (std::string_view(x.dsn) == GetParam()) e = &x;
    ASSERT_NE(e, nullptr);

    exec("CREATE TEMPORARY TABLE fr_a (x INTEGER)");
    exec("INSERT INTO fr_a VALUES (1), (2), (3), (4), (5), (6), (7), (8), (9)");
    exec("SELECT x FROM fr_a ORDER BY x");
    CmdHdr hdr = fetch({hostkit::integer(0)}, 0, 7.0, 2.0);
    if (!e->allows) {
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::sqlstate(hdr), e->refusal_state);
        EXPECT_EQ(hdr.number, 2.0);
        EXPECT_TRUE(host.put_ints.empty());
        return;
    }
    ASSERT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.number, 7.0);
    EXPECT_EQ(host.put_ints[3], 7);
    hdr = fetch({hostkit::integer(0)}, 0, 0.0, hdr.number);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.number, 8.0);
    EXPECT_EQ(host.put_ints[3], 8);
    // A fractional row number is truncated toward zero.
    hdr = fetch({hostkit::integer(0)}, 0, 3.9, 0.0);
    EXPECT_EQ(host.put_ints[3], 3);
    EXPECT_EQ(hdr.number, 3.9);
    // Past the end: end of data.
    hdr = fetch({hostkit::integer(0)}, 0, 40.0, 3.0);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.number, 0.0);
    EXPECT_TRUE(host.put_ints.empty());
}

// Per-argument layout: one column into one argument of each host type.
TEST_P(FetchRow, PerArgumentHostTypes) {
    exec(
        "CREATE TEMPORARY TABLE fr_v (i INTEGER, u BIGINT, s VARCHAR(25), "
        "z VARCHAR(10), w INTEGER, l VARCHAR(40))");
    exec(
        "INSERT INTO fr_v VALUES (-5, 2147483648, 'abcdefghijklmnopqrstuvwxy', "
        "NULL, 70000, '1234567890.12345678901234567890123456789')");
    const std::string s25 = "abcdefghijklmnopqrstuvwxy";
    // Integers are read whole and their low 32 bits sign-extended.
    const uint32_t ulong_low = 0x80000000u;
    const uint32_t ulong_high = 0xFFFFFFFFu;
    struct Case {
        const char* what;
        const char* column;
        ArgSpec arg;
        int16_t subcode;
        // Expectations: argument bytes, PUT_INT halves, number text,
        // PUT_STRING text; empty/unset when none is expected.
        std::vector<uint8_t> bytes;
        bool put_int;
        uint32_t low, high;
        const char* number_text;
        const char* put_string;
        // A value the connector cut to the room given: 01004, status 0,
        // native_error the column.
        const char* sqlstate = "";
    };
    const Case cases[] = {
        {"signed -5",
         "i",
         hostkit::integer(0, 8),
         0,
         {},
         true,
         0xFFFFFFFBu,
         0xFFFFFFFFu,
         nullptr,
         nullptr},
        {"unsigned 2^31",
         "u",
         hostkit::integer(0, 6),
         0,
         {},
         true,
         ulong_low,
         ulong_high,
         nullptr,
         nullptr},
        {"2-byte integer gets the low 16 bits",
         "w",
         with_flags(hostkit::buffer(2), 8),
         0,
         {},
         true,
         70000u & 0xFFFFu,
         0,
         nullptr,
         nullptr},
        {"10-byte string, 25 characters: cut, no terminator", "s",
         hostkit::buffer(10), 0, bytes_of(s25.substr(0, 10)), false, 0, 0,
         nullptr, nullptr, "01004"},
        {"10-byte string with ARG_CALLBACK, width 25: PUT_STRING", "s",
         hostkit::buffer(10, 2 | ARG_CALLBACK), 0, padded("", 10), false, 0, 0,
         nullptr, s25.c_str()},
        {"string that fits gets its terminator", "i", hostkit::buffer(4), 0,
         bytes_of(std::string("-5\0\0", 4)), false, 0, 0, nullptr, nullptr},
        {"NULL into 10 bytes", "z", hostkit::buffer(10), 0, padded("", 10),
         false, 0, 0, nullptr, nullptr},
        {"NULL through PUT_STRING is an empty text", "z",
         hostkit::buffer(10, 2 | ARG_CALLBACK), 0, padded("", 10), false, 0, 0,
         nullptr, ""},
        {"NULL into 10 bytes as text", "z", hostkit::buffer(10), kNullText,
         padded("NULL", 10), false, 0, 0, nullptr, nullptr},
        {"NULL as text into 4 bytes keeps its terminator", "z",
         hostkit::buffer(4), kNullText, padded("NUL", 4), false, 0, 0, nullptr,
         nullptr},
        {"NULL as text never into an integer",
         "z",
         hostkit::integer(7, 8),
         kNullText,
         {},
         true,
         0,
         0,
         nullptr,
         nullptr},
        {"NULL as text into an unsigned integer",
         "z",
         hostkit::integer(7, 6),
         kNullText,
         {},
         true,
         0,
         0,
         nullptr,
         nullptr},
        {"number text", "i", hostkit::buffer(8, 4), 0, padded("", 8), false, 0,
         0, "-5", nullptr},
        {"number text of 40 characters arrives cut to 31", "l",
         hostkit::buffer(8, 4), 0, padded("", 8), false, 0, 0,
         "1234567890.12345678901234567890", nullptr, "01004"},
        {"NULL as number text", "z", hostkit::buffer(8, 4), kNullText,
         padded("", 8), false, 0, 0, "NULL", nullptr},
        {"other host type: the bytes", "s", hostkit::buffer(4, 1), 0,
         bytes_of("abcd"), false, 0, 0, nullptr, nullptr, "01004"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        exec(std::string("SELECT ") + c.column + " FROM fr_v");
        CmdHdr hdr = fetch({c.arg}, c.subcode);
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::count(hdr), 1);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.sqlstate);
        EXPECT_EQ(hostkit::native_error(hdr), *c.sqlstate ? 1 : 0);
        if (!c.bytes.empty()) {
            EXPECT_EQ(hostkit::arg_bytes(host, 3), c.bytes);
        }
        const auto ints = hostkit::calls_of(host, PUT_INT);
        ASSERT_EQ(ints.size(), c.put_int ? 1u : 0u);
        if (c.put_int) {
            EXPECT_EQ(ints[0].selector, 3);
            EXPECT_EQ(static_cast<uint32_t>(ints[0].a), c.low);
            EXPECT_EQ(static_cast<uint32_t>(ints[0].b), c.high);
        }
        const auto numbers = hostkit::calls_of(host, PUT_NUMBER_TEXT);
        ASSERT_EQ(numbers.size(), c.number_text ? 1u : 0u);
        if (c.number_text) {
            EXPECT_EQ(host.put_numbers[3], c.number_text);
            EXPECT_EQ(numbers[0].n, -1);
        }
        const auto strings = hostkit::calls_of(host, PUT_STRING);
        ASSERT_EQ(strings.size(), c.put_string ? 1u : 0u);
        if (c.put_string) {
            EXPECT_EQ(hostkit::put_text(host, 3), c.put_string);
            EXPECT_EQ(strings[0].n,
                      static_cast<int32_t>(std::strlen(c.put_string)));
        }
    }
}

// Arguments and columns pair up from the first; the shorter list ends
// the delivery, and `count` says how many values went out.
TEST_P(FetchRow, PerArgumentStopsAtTheShorterList) {
    exec("SELECT 'a', 'b'");
    CmdHdr hdr =
        fetch({hostkit::buffer(4), hostkit::buffer(4),
               hostkit::buffer(4, 2 | ARG_CALLBACK), hostkit::integer(0)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::count(hdr), 2);
    EXPECT_EQ(hostkit::arg_text(host, 3), "a");
    EXPECT_EQ(hostkit::arg_text(host, 4), "b");
    EXPECT_EQ(hostkit::arg_bytes(host, 5), padded("", 4));
    EXPECT_TRUE(hostkit::calls_of(host, PUT_STRING).empty());
    EXPECT_TRUE(hostkit::calls_of(host, PUT_INT).empty());

    exec("SELECT 'a', 'b', 'c'");
    hdr = fetch({hostkit::buffer(4)});
    EXPECT_EQ(hostkit::count(hdr), 1);
    EXPECT_EQ(hostkit::arg_text(host, 3), "a");
}

// A value the host refuses: status 8, and the other columns still go out.
TEST_P(FetchRow, PutStringRefusalKeepsDelivering) {
    exec("SELECT 'first', 'second', 'third'");
    host.on_call = [](hostkit::Host&,
                      const hostkit::Call& c) -> std::optional<int32_t> {
        if (c.service == PUT_STRING && c.selector == 3) return 1;
        return std::nullopt;
    };
    CmdHdr hdr =
        fetch({hostkit::buffer(4, 2 | ARG_CALLBACK),
               hostkit::buffer(4, 2 | ARG_CALLBACK), hostkit::buffer(8)});
    host.on_call = nullptr;
    EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
    EXPECT_EQ(hostkit::count(hdr), 3);
    EXPECT_EQ(hostkit::calls_of(host, PUT_STRING).size(), 2u);
    EXPECT_EQ(hostkit::put_text(host, 4), "second");
    EXPECT_EQ(hostkit::arg_text(host, 5), "third");
}

// A value larger than the retrieval buffer's first size comes whole.
TEST_P(FetchRow, LongValueThroughPutString) {
    exec(is_pg() ? "SELECT repeat('x', 10000)"
                 : "SELECT replace(hex(zeroblob(5000)), '0', 'x')");
    CmdHdr hdr = fetch({hostkit::buffer(4, 2 | ARG_CALLBACK)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::put_text(host, 3), std::string(10000, 'x'));
}

TEST_P(FetchRow, ArrayLayout) {
    exec("SELECT 'v1', 'v2', 'v3', 'v4', 'v5'");
    CmdHdr hdr = fetch({hostkit::array(4, 5)}, FETCH_ARRAY, 0.0, 0.0, 2);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::count(hdr), 2);
    std::vector<uint8_t> want(20, 0);
    std::memcpy(want.data(), "v1", 2);
    std::memcpy(want.data() + 4, "v2", 2);
    EXPECT_EQ(hostkit::arg_bytes(host, 3), want);

    // Elements handed over with PUT_STRING, by element selector.
    exec("SELECT 'v1', 'v2', 'v3', 'v4', 'v5'");
    hdr = fetch({hostkit::array(4, 5, 2 | ARG_ARRAY | ARG_CALLBACK)},
                FETCH_ARRAY, 0.0, 0.0, 3);
    EXPECT_EQ(hostkit::count(hdr), 3);
    EXPECT_EQ(hostkit::put_text(host, 3), "v1");
    EXPECT_EQ(hostkit::put_text(host, 259), "v2");
    EXPECT_EQ(hostkit::put_text(host, 515), "v3");
    EXPECT_EQ(host.put_strings.size(), 3u);

    // A NULL goes over as an empty text, never a null pointer.
    exec("SELECT 'v1', NULL");
    hdr = fetch({hostkit::array(4, 2, 2 | ARG_ARRAY | ARG_CALLBACK)},
                FETCH_ARRAY, 0.0, 0.0, 2);
    EXPECT_EQ(hostkit::count(hdr), 2);
    ASSERT_EQ(host.put_strings.count(259), 1u);
    EXPECT_EQ(hostkit::put_text(host, 259), "");

    // `param` beyond the column count stops at the last column; each
    // element is cleared before its value goes in, and a value longer
    // than the element is cut.
    exec("SELECT 'abcdef', NULL");
    ArgSpec pre = hostkit::array(4, 2);
    pre.bytes.assign(8, 'x');
    hdr = fetch({pre}, FETCH_ARRAY | kNullText, 0.0, 0.0, 9);
    EXPECT_EQ(hostkit::count(hdr), 2);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(hdr), "01004");
    EXPECT_EQ(hostkit::native_error(hdr), 1);
    EXPECT_EQ(hostkit::arg_bytes(host, 3),
              (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'N', 'U', 'L', 0}));

    // Argument 3 must be an array.
    exec("SELECT 'v1'");
    hdr = fetch({hostkit::buffer(8)}, FETCH_ARRAY, 0.0, 0.0, 1);
    EXPECT_EQ(hdr.status, ORV_UNSUPPORTED);
    EXPECT_EQ(hostkit::arg_bytes(host, 3), padded("", 8));
}

TEST_P(FetchRow, FixedWidthLayout) {
    exec("CREATE TEMPORARY TABLE fr_f (a VARCHAR(4), b VARCHAR(6))");
    exec("INSERT INTO fr_f VALUES ('ab', NULL), ('abcd', 'efghij')");
    struct Case {
        const char* what;
        const char* where;
        ArgSpec arg;
        int16_t subcode;
        int16_t status;
        int32_t count;
        std::vector<uint8_t> bytes;
        const char* sqlstate = "";  // 01004: a value was cut
    };
    const Case cases[] = {
        {"padded with spaces, NULL as spaces", "b IS NULL", hostkit::buffer(20),
         0, 0, 2, padded("ab        ", 20)},
        {"NULL shows as spaces under FETCH_NULL_TEXT too", "b IS NULL",
         hostkit::buffer(20), kNullText, 0, 2, padded("ab        ", 20)},
        // Space runs out in column 2: it takes the 3 bytes left, the record
        // ends in the last byte, and both columns were written.
        {"8 bytes", "b IS NOT NULL", hostkit::buffer(8), 0, 0, 2,
         bytes_of(std::string("abcdefg\0", 8)), "01004"},
        {"space runs out exactly after column 1", "b IS NOT NULL",
         hostkit::buffer(5), 0, 0, 1, bytes_of(std::string("abcd\0", 5))},
        {"one byte: only the end", "b IS NOT NULL", hostkit::buffer(1), 0, 0, 0,
         padded("", 1)},
        {"option 0x0004 is refused, storage cleared", "b IS NOT NULL",
         [] {
             ArgSpec a = hostkit::buffer(12);
             a.bytes.assign(12, 'x');
             return a;
         }(),
         0x0004, 15, 0, padded("", 12)},
        {"option 0x0008 is refused", "b IS NOT NULL", hostkit::buffer(12),
         0x0008, 15, 0, padded("", 12)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        exec(std::string("SELECT a, b FROM fr_f WHERE ") + c.where);
        CmdHdr hdr = fetch({c.arg}, FETCH_FIXED | c.subcode);
        EXPECT_EQ(hdr.status, c.status);
        EXPECT_EQ(hostkit::count(hdr), c.count);
        EXPECT_EQ(hostkit::arg_bytes(host, 3), c.bytes);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.sqlstate);
    }
}

// With ARG_CALLBACK the host is asked for room for the whole record; a
// refusal keeps the original space.
TEST_P(FetchRow, FixedWidthResize) {
    exec("CREATE TEMPORARY TABLE fr_r (a VARCHAR(4), b VARCHAR(6))");
    exec("INSERT INTO fr_r VALUES ('abcd', 'efghij')");
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "refused" : "granted");
        host.refuse_resize = refuse;
        exec("SELECT a, b FROM fr_r");
        ArgSpec a = hostkit::buffer(8, 2 | ARG_CALLBACK);
        a.bytes.assign(8, 'x');
        CmdHdr hdr = fetch({a}, FETCH_FIXED);
        host.refuse_resize = false;
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::count(hdr), 2);
        const auto resize = hostkit::calls_of(host, RESIZE_ARG);
        ASSERT_EQ(resize.size(), 1u);
        EXPECT_EQ(resize[0].selector, 3);
        EXPECT_EQ(resize[0].n, 11);  // 1 + 4 + 6
        EXPECT_EQ(hostkit::arg_bytes(host, 3),
                  refuse ? bytes_of(std::string("abcdefg\0", 8))
                         : bytes_of(std::string("abcdefghij\0", 11)));
    }
    // Room enough already: no request.
    exec("SELECT a, b FROM fr_r");
    CmdHdr hdr = fetch({hostkit::buffer(12, 2 | ARG_CALLBACK)}, FETCH_FIXED);
    EXPECT_TRUE(hostkit::calls_of(host, RESIZE_ARG).empty());
    EXPECT_EQ(hostkit::arg_bytes(host, 3), padded("abcdefghij", 12));
    EXPECT_EQ(hostkit::count(hdr), 2);
}

// The pairs example: a named column and an unnamed NULL one; the unnamed
// column's record keeps its generated name.
TEST_P(FetchRow, PairsLayoutNamesAndNull) {
    exec("CREATE TEMPORARY TABLE fr_p (id INTEGER)");
    exec("INSERT INTO fr_p VALUES (1)");
    if (is_pg()) {
        // The server names every column; the host blanks the second name
        // through the column records (describe, edit, import).
        exec("SELECT id, CAST(NULL AS VARCHAR(4)) FROM fr_p");
        CmdHdr d = testbed::command(host, ORV_CMD_DESCRIBE, slot,
                                    {hostkit::buffer(448)});
        ASSERT_EQ(d.status, ORV_OK);
        std::vector<uint8_t> records = hostkit::arg_bytes(host, 3);
        std::memset(records.data() + 224, 0, 64);  // name and alt_name
        ArgSpec edited = hostkit::buffer(448);
        edited.bytes = records;
        ASSERT_EQ(testbed::command(host, ORV_CMD_IMPORT_COLUMNS, slot, {edited})
                      .status,
                  ORV_OK);
    } else {
        exec("SELECT id, CAST(NULL AS VARCHAR(4)) AS \"\" FROM fr_p");
    }
    CmdHdr hdr =
        fetch({hostkit::buffer(sizeof(void*))}, FETCH_PAIRS | kNullText);
    ASSERT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::count(hdr), 2);
    const std::size_t size = orv::slot_at(slot)->row_buffer_size;
    EXPECT_EQ(pairs_record(), record_of({"id=1", "expr-1=NULL"}, size));
    const ColumnDesc* rec = orv::column_record(*orv::slot_at(slot), 2);
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(rec->name, "expr-1");

    // Without FETCH_NULL_TEXT a NULL is nothing at all.
    exec("SELECT id, CAST(NULL AS VARCHAR(4)) AS e FROM fr_p");
    hdr = fetch({hostkit::buffer(sizeof(void*))}, FETCH_PAIRS);
    EXPECT_EQ(pairs_record(),
              record_of({"id=1", "e="}, orv::slot_at(slot)->row_buffer_size));
}

// The buffer holds 3 + 68 + width (twice the width for binary columns)
// per column, and the table prefix puts the table name and ':' first.
TEST_P(FetchRow, PairsLayoutTablePrefixAndSize) {
    exec("CREATE TEMPORARY TABLE fr_t (id INTEGER, name VARCHAR(12))");
    exec("INSERT INTO fr_t VALUES (7, 'seven')");
    exec("SELECT id, name FROM fr_t");
    CmdHdr hdr = fetch({hostkit::buffer(sizeof(void*))},
                       FETCH_PAIRS | FETCH_TABLE_PREFIX);
    ASSERT_EQ(hdr.status, ORV_OK);
    orv::ConnectionSlot* s = orv::slot_at(slot);
    const ColumnDesc* id = orv::column_record(*s, 1);
    const ColumnDesc* name = orv::column_record(*s, 2);
    EXPECT_EQ(s->row_buffer_size,
              static_cast<std::size_t>(3 + 68 + id->width + 68 + name->width));
    const std::string table = id->table;
    if (!is_pg()) {
        EXPECT_EQ(table, "fr_t");
    }
    EXPECT_EQ(
        pairs_record(),
        record_of({table + ":id=7", std::string(name->table) + ":name=seven"},
                  s->row_buffer_size));
}

// What the pairs layout keeps from a result's first row (its record size,
// its names) must not outlive what it was taken from: between two rows of
// one result another command or another layout runs, or the flags
// change, and the second record is what a first row would give, its
// buffer holding nothing of the record before.
TEST_P(FetchRow, PairsRecordAfterWhatRanBetweenTwoRows) {
    enum class Between {
        kNothing,
        kPerArgument,
        kPrefix,
        kQuery,
        kImport,
        kDescribe,
        kOtherCommands
    };
    struct Case {
        const char* what;
        Between between;
        std::vector<std::string> second;  // "" + table name: the prefix
    };
    const Case cases[] = {
        {"nothing: a shorter value after a longer one",
         Between::kNothing,
         {"id=2", "name=b"}},
        {"a per-argument fetch",
         Between::kPerArgument,
         {"id=3", "name=gamma-delta-epsilon"}},
        {"the table prefix asked for", Between::kPrefix, {":id=2", ":name=b"}},
        {"another query executed",
         Between::kQuery,
         {"other=alpha-beta-gamma-delta", "id=1"}},
        {"names imported by the host", Between::kImport, {"id=2", "renamed=b"}},
        {"the result described again", Between::kDescribe, {"id=2", "name=b"}},
        {"commands that leave the result alone",
         Between::kOtherCommands,
         {"id=2", "name=b"}},
    };
    exec("CREATE TEMPORARY TABLE fr_plan (id INTEGER, name VARCHAR(30))");
    exec("INSERT INTO fr_plan VALUES (1, 'alpha-beta-gamma-delta')");
    exec("INSERT INTO fr_plan VALUES (2, 'b')");
    exec("INSERT INTO fr_plan VALUES (3, 'gamma-delta-epsilon')");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        exec("SELECT id, name FROM fr_plan ORDER BY id");
        ASSERT_EQ(fetch({hostkit::buffer(sizeof(void*))}, FETCH_PAIRS).status,
                  ORV_OK);
        ASSERT_EQ(pairs_record(),
                  record_of({"id=1", "name=alpha-beta-gamma-delta"},
                            orv::slot_at(slot)->row_buffer_size));
        int16_t subcode = FETCH_PAIRS;
        switch (c.between) {
            case Between::kNothing:
                break;
            case Between::kPerArgument:
                EXPECT_EQ(
                    fetch({hostkit::integer(0), hostkit::buffer(8)}).status,
                    ORV_OK);
                EXPECT_EQ(hostkit::arg_text(host, 4), "b");
                break;
            case Between::kPrefix:
                subcode |= FETCH_TABLE_PREFIX;
                break;
            case Between::kQuery:
                exec("SELECT name AS other, id FROM fr_plan ORDER BY id");
                break;
            case Between::kDescribe:
                EXPECT_EQ(hostkit::count(testbed::command(
                              host, ORV_CMD_DESCRIBE, slot,
                              {hostkit::buffer(sizeof(ColumnDesc))})),
                          2);
                break;
            case Between::kOtherCommands:
                // Whatever they answer, they leave the result as it was.
                testbed::command(host, ORV_CMD_DRIVER_INFO, slot,
                                 {hostkit::buffer(64)});
                testbed::command(host, ORV_CMD_GET_STMT_ATTR, slot,
                                 {hostkit::buffer(8)});
                testbed::command(host, ORV_CMD_DIAGNOSTICS, slot,
                                 {hostkit::buffer(64)});
                break;
            case Between::kImport: {
                // The description with column 2 renamed, taken back.
                constexpr uint32_t kSize = 2 * sizeof(ColumnDesc);
                ASSERT_EQ(hostkit::count(
                              testbed::command(host, ORV_CMD_DESCRIBE, slot,
                                               {hostkit::buffer(kSize)})),
                          2);
                ArgSpec area = hostkit::buffer(kSize);
                area.bytes = hostkit::arg_bytes(host, 3);
                for (std::size_t at : {offsetof(ColumnDesc, name),
                                       offsetof(ColumnDesc, alt_name)}) {
                    uint8_t* field =
                        area.bytes.data() + sizeof(ColumnDesc) + at;
                    std::memset(field, 0, 32);
                    std::memcpy(field, "renamed", 7);
                }
                ASSERT_EQ(
                    testbed::command(host, ORV_CMD_IMPORT_COLUMNS, slot, {area})
                        .status,
                    ORV_OK);
                break;
            }
        }
        const CmdHdr hdr = fetch({hostkit::buffer(sizeof(void*))}, subcode);
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::count(hdr), 2);
        std::vector<std::string> second = c.second;
        const orv::ConnectionSlot& s = *orv::slot_at(slot);
        if (c.between == Between::kPrefix) {
            // The table name as the driver reports it.
            const std::string table =
                orv::column_record(*orv::slot_at(slot), 1)->table;
            for (std::string& e : second) e = table + e;
        }
        EXPECT_EQ(pairs_record(), record_of(second, s.row_buffer_size));
    }
}

// Columns declared very wide (TEXT: 64 KB on SQLite, the data source's
// long-varchar limit on PostgreSQL) cost only the room their values take:
// the record is the same, the buffer far smaller than the widths add up to.
TEST_P(FetchRow, PairsLayoutWideColumnsTakeOnlyTheRoomTheyUse) {
    std::string_view driver = GetParam();
    std::string long_value;
    for (int i = 0; i < 10000; ++i) long_value += "xy";
    exec("CREATE TEMPORARY TABLE fr_w (t TEXT, u TEXT)");
    if (driver == "orv_sqlite")
        exec(
            "INSERT INTO fr_w VALUES ('abc', "
            "replace(hex(zeroblob(10000)), '00', 'xy'))");
    else
        exec("INSERT INTO fr_w VALUES ('abc', repeat('xy', 10000))");
    exec("SELECT t, u FROM fr_w");
    CmdHdr hdr = fetch({hostkit::buffer(sizeof(void*))}, FETCH_PAIRS);
    ASSERT_EQ(hdr.status, ORV_OK);
    orv::ConnectionSlot* s = orv::slot_at(slot);
    std::size_t widths = 3;
    for (int k = 1; k <= 2; ++k)
        widths +=
            68 + static_cast<std::size_t>(orv::column_record(*s, k)->width);
    ASSERT_GT(widths, 20000u + 2 * 68 + 3) << "the columns are not wide here";
    EXPECT_LT(s->row_buffer_size, std::min<std::size_t>(widths, 64 * 1024));
    std::vector<uint8_t> record = pairs_record();
    std::vector<uint8_t> want =
        record_of({"t=abc", "u=" + long_value}, record.size());
    EXPECT_EQ(record, want);
}

// Bytes that would end or garble the record are escaped: 0xFA becomes
// 0xFB 0xFB and 0xFB becomes 0xFB 0xFC.  (No driver hands a zero byte out
// inside character data; the unit tests cover 0x00 -> 0xFA.)
TEST_P(FetchRow, PairsLayoutEscapes) {
    if (is_pg()) {
        // Latin-1 on the wire gives the two bytes for these two letters.
        exec("SET client_encoding TO 'LATIN1'");
        exec(
            "SELECT CAST('A' || chr(250) || 'B' || chr(251) || 'C' AS "
            "VARCHAR(8)) AS v");
    } else {
        exec("SELECT CAST(x'41FA42FB43' AS TEXT) AS v");
    }
    CmdHdr hdr = fetch({hostkit::buffer(sizeof(void*))}, FETCH_PAIRS);
    ASSERT_EQ(hdr.status, ORV_OK);
    std::vector<uint8_t> want = {'v',  '=',  'A', 0xFB, 0xFB, 'B',
                                 0xFB, 0xFC, 'C', 0,    0};
    want.resize(orv::slot_at(slot)->row_buffer_size, 0);
    EXPECT_EQ(pairs_record(), want);
}

// An argument smaller than an address receives none; the record is built.
TEST_P(FetchRow, PairsLayoutSmallArgumentGetsNoAddress) {
    exec("SELECT CAST('x' AS VARCHAR(1)) AS a");
    CmdHdr hdr = fetch({hostkit::buffer(sizeof(void*) - 1)}, FETCH_PAIRS);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::arg_bytes(host, 3), padded("", sizeof(void*) - 1));
    const orv::ConnectionSlot* s = orv::slot_at(slot);
    EXPECT_EQ(std::vector<uint8_t>(s->row_buffer, s->row_buffer + 5),
              (std::vector<uint8_t>{'a', '=', 'x', 0, 0}));
}

// Values longer than the width their driver reports (SQLite does not
// enforce declared lengths; the PostgreSQL driver counts characters, not
// UTF-8 bytes, and gives some types short or fixed widths) arrive whole in
// the pairs record, as a plain read delivers them, and the record always
// ends with its two zero bytes.
TEST_P(FetchRow, PairsRecordHoldsValuesLongerThanTheirWidths) {
    std::vector<std::string> exprs;
    std::string from;
    if (is_pg()) {
        exec("SET lc_monetary TO 'C'");
        exprs = {
            "'\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
            "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
            "\xF0\x9F\x98\x80\xF0\x9F\x98\x80'::varchar(10)",
            "'\xC3\x84\xC3\x96\xC3\x9C\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F\xC3\x84"
            "xy'::char(10)",
            "'-92233720368547758.08'::money",
            "'23:59:59.999999'::time",
            "repeat('\xC3\xA9', 6000)::varchar",
        };
    } else {
        exec("CREATE TEMPORARY TABLE fr_long (v VARCHAR(10))");
        exec("INSERT INTO fr_long VALUES (printf('%.*c', 100, 'v'))");
        exprs = {"v", "printf('%.*c', 100000, 'x')"};
        from = " FROM fr_long";
    }
    std::string select = "SELECT ";
    for (std::size_t i = 0; i < exprs.size(); ++i)
        select += (i ? ", " : "") + exprs[i] + " AS c" + std::to_string(i + 1);
    select += from;

    // The plain read: each value whole into storage far larger.
    exec(select);
    std::vector<ArgSpec> args(exprs.size(), hostkit::buffer(200001));
    CmdHdr hdr = fetch(args);
    ASSERT_EQ(hdr.status, ORV_OK) << hostkit::sqlstate(hdr);
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < exprs.size(); ++i) {
        std::string value = hostkit::arg_text(host, static_cast<int>(i) + 3);
        const ColumnDesc* rec =
            orv::column_record(*orv::slot_at(slot), static_cast<int>(i) + 1);
        EXPECT_GT(value.size(), static_cast<std::size_t>(rec->width))
            << exprs[i] << ": not longer than its width";
        entries.push_back("c" + std::to_string(i + 1) + "=" + value);
    }

    exec(select);
    hdr = fetch({hostkit::buffer(sizeof(void*))}, FETCH_PAIRS);
    ASSERT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.sqlstate[0], 0);
    EXPECT_EQ(hostkit::count(hdr), static_cast<int32_t>(exprs.size()));
    std::vector<uint8_t> record = pairs_record();
    EXPECT_EQ(record, record_of(entries, record.size()));
}

// A record the row buffer cannot grow for ends, terminated, after the last
// whole entry: status 8, `count` the entries it holds, its address given.
TEST_P(FetchRow, PairsRecordThatCannotGrowEndsAfterTheLastWholeEntry) {
    const std::string select =
        is_pg() ? "SELECT 'a' AS a, repeat('x', 20000) AS b, 'c' AS c"
                : "SELECT 'a' AS a, printf('%.*c', 20000, 'x') AS b, 'c' AS c";
    // The first fetch grows the retrieval buffer for the long value, so
    // that the second fetch's allocations are the row buffer's: its first
    // size (1), then its growth (2).
    exec(select);
    ASSERT_EQ(fetch({hostkit::buffer(sizeof(void*))}, FETCH_PAIRS).status,
              ORV_OK);
    exec(select);
    orv::orv_fail_allocation(2);
    CmdHdr hdr = fetch({hostkit::buffer(sizeof(void*))}, FETCH_PAIRS);
    orv::orv_fail_allocation(0);
    EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
    EXPECT_EQ(hostkit::count(hdr), 1);
    std::vector<uint8_t> record = pairs_record();
    EXPECT_EQ(record, record_of({"a=a"}, record.size()));
}

// When the retrieval buffer cannot be had, no layout hands an empty value
// over as if it had been read: status 8 (with the column in native_error
// where the layout names columns), the host's storage as it was or
// cleared, nothing passed through PUT_STRING.
TEST_P(FetchRow, NoRetrievalBufferMeansStatusEightNeverAnEmptyValue) {
    ArgSpec filled = hostkit::buffer(8);
    filled.bytes.assign(8, 'x');
    struct Case {
        const char* what;
        int32_t code;
        int16_t subcode;
        ArgSpec arg;
        long fail_at;  // the retrieval buffer's allocation in the command
        int32_t native_error;
        int32_t count;
        std::vector<uint8_t> bytes;  // argument 3 afterwards; empty: unchecked
    };
    const Case cases[] = {
        {"per-argument into storage", ORV_CMD_FETCH_ROW, 0, filled, 1, 1, 0,
         bytes_of("xxxxxxxx")},
        {"per-argument through PUT_STRING", ORV_CMD_FETCH_ROW, 0,
         hostkit::buffer(2, 2 | ARG_CALLBACK), 1, 1, 0, padded("", 2)},
        {"fixed-width", ORV_CMD_FETCH_ROW, FETCH_FIXED, filled, 1, 1, 1,
         bytes_of(std::string("   \0\0\0\0\0", 8))},
        {"array elements", ORV_CMD_FETCH_ROW, FETCH_ARRAY, hostkit::array(4, 1),
         1, 0, 1, padded("", 4)},
        {"array through PUT_STRING", ORV_CMD_FETCH_ROW, FETCH_ARRAY,
         hostkit::array(4, 1, 2 | ARG_ARRAY | ARG_CALLBACK), 1, 0, 1,
         padded("", 4)},
        {"pairs",
         ORV_CMD_FETCH_ROW,
         FETCH_PAIRS,
         hostkit::buffer(sizeof(void*)),
         1,
         0,
         0,
         {}},
    };
    exec("CREATE TEMPORARY TABLE fr_nb (v VARCHAR(3))");
    exec("INSERT INTO fr_nb VALUES ('abc')");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        exec("SELECT v FROM fr_nb");
        if (c.subcode == FETCH_PAIRS) {
            // A first record gives the row buffer the record's size, so
            // that the retrieval buffer is the next allocation.
            ASSERT_EQ(
                fetch({hostkit::buffer(sizeof(void*))}, FETCH_PAIRS).status, 0);
            exec("SELECT v FROM fr_nb");
        }
        orv::release_data_buffers();
        orv::orv_fail_allocation(c.fail_at);
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot), c.subcode);
        hostkit::set_param_swapped(hdr, 1);
        hostkit::run(host, c.code, hdr, {c.arg});
        orv::orv_fail_allocation(0);
        EXPECT_EQ(orv::slot_at(slot)->data_buffer.capacity, 0)
            << "not the buffer failing";
        EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
        EXPECT_EQ(hostkit::native_error(hdr), c.native_error);
        EXPECT_EQ(hostkit::count(hdr), c.count);
        EXPECT_TRUE(hostkit::calls_of(host, PUT_STRING).empty());
        if (!c.bytes.empty()) {
            EXPECT_EQ(hostkit::arg_bytes(host, 3), c.bytes);
        }
        if (c.subcode == FETCH_PAIRS) {
            const std::vector<uint8_t> record = pairs_record();
            EXPECT_EQ(record, record_of({}, record.size()));
        }
        if (c.code == 25) {
            EXPECT_EQ(hdr.number, 0.0);  // no row delivered
        }
    }
}

// Selectors carry the argument number in 8 bits: arguments from 256 on
// cannot be named, so the per-argument layout ends at argument 255 rather
// than hand a value to element 1 of argument 1, 2, ...
TEST_P(FetchRow, PerArgumentEndsAtTheLastNameableArgument) {
    std::string select = "SELECT 1";
    for (int k = 2; k <= 260; ++k) select += ", " + std::to_string(k);
    exec(select);
    std::vector<ArgSpec> args(260, hostkit::integer(0));
    CmdHdr hdr = fetch(args);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::count(hdr), 253);
    const auto ints = hostkit::calls_of(host, PUT_INT);
    ASSERT_EQ(ints.size(), 253u);
    EXPECT_EQ(ints.back().selector, 255);
    EXPECT_EQ(host.put_ints[255], 253);
}

TEST_P(FetchRow, MissingArgumentAndStatement) {
    // A fresh slot has no statement yet.
    CmdHdr hdr = fetch({hostkit::buffer(4)});
    EXPECT_EQ(hdr.status, ORV_NO_STATEMENT);
    exec("SELECT 1");
    hdr = fetch({});
    EXPECT_EQ(hdr.status, ORV_MISSING_ARG);
    EXPECT_EQ(hdr.number, 0.0);
}

// Values longer than the room the host gave, on every driver, where the
// driver's reported width is shorter than the value: with ARG_CALLBACK the
// whole value goes through PUT_STRING; without it the value is cut to the
// storage and sqlstate 01004 (status 0, native_error = the column) says so.
// The fixed-width layout cuts to the widths and reports the same way.
class FetchRowCut : public FetchRow {};

TEST_P(FetchRowCut, ValueLongerThanItsRoom) {
    struct Case {
        const char* dsn;
        const char* select;  // one row; its first column is the long value
        int16_t subcode;
        ArgSpec arg;
        const char* put_string;      // the whole value, or nullptr
        std::vector<uint8_t> bytes;  // argument 3 afterwards
        const char* sqlstate;
    };
    const char* time = "SELECT '23:59:59.999999'::time";
    const char* dbl = "SELECT CAST(1.2345678901234567 AS DOUBLE)";
    const char* flt = "SELECT CAST(-1.2345e-20 AS FLOAT)";
    const char* hundred = "SELECT v FROM fr_cut";
    const std::string v100(100, 'v');
    const Case cases[] = {
        {"orv_pg", time, 0, hostkit::buffer(9, 2 | ARG_CALLBACK),
         "23:59:59.999999", padded("", 9), ""},
        {"orv_pg", time, 0, hostkit::buffer(9), nullptr, bytes_of("23:59:59."),
         "01004"},
        {"orv_pg", time, FETCH_FIXED, hostkit::buffer(12), nullptr,
         padded("23:59:59", 12), "01004"},
        {"orv_maria", dbl, 0, hostkit::buffer(16, 2 | ARG_CALLBACK),
         "1.2345678901234567", padded("", 16), ""},
        {"orv_maria", dbl, 0, hostkit::buffer(16), nullptr,
         bytes_of("1.23456789012345"), "01004"},
        {"orv_maria", flt, 0, hostkit::buffer(8, 2 | ARG_CALLBACK),
         "-1.2345e-20", padded("", 8), ""},
        {"orv_sqlite", hundred, 0, hostkit::buffer(11, 2 | ARG_CALLBACK),
         v100.c_str(), padded("", 11), ""},
        {"orv_sqlite", hundred, 0, hostkit::buffer(11), nullptr,
         bytes_of(v100.substr(0, 11)), "01004"},
        {"orv_sqlite", hundred, FETCH_FIXED, hostkit::buffer(12), nullptr,
         padded(v100.substr(0, 10), 12), "01004"},
    };
    if (dsn() == "orv_sqlite") {
        exec("CREATE TEMPORARY TABLE fr_cut (v VARCHAR(10))");
        exec("INSERT INTO fr_cut VALUES (printf('%.*c', 100, 'v'))");
    }
    for (const Case& c : cases) {
        if (dsn() != c.dsn) continue;
        SCOPED_TRACE(std::string(c.select) + " into " +
                     std::to_string(c.arg.size) + " bytes, flags " +
                     std::to_string(c.arg.type_flags));
        exec(c.select);
        CmdHdr hdr = fetch({c.arg}, c.subcode);
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::count(hdr), 1);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.sqlstate);
        EXPECT_EQ(hostkit::native_error(hdr), *c.sqlstate ? 1 : 0);
        const auto strings = hostkit::calls_of(host, PUT_STRING);
        ASSERT_EQ(strings.size(), c.put_string ? 1u : 0u);
        if (c.put_string) {
            EXPECT_EQ(hostkit::put_text(host, 3), c.put_string);
        }
        EXPECT_EQ(hostkit::arg_bytes(host, 3), c.bytes);
    }
}

// Integers and number texts the host's type cannot hold are failed reads
// of their column (status 2, 22003, native_error the column, nothing
// delivered), never another number with status 0.
class FetchRowRange : public FetchRow {};

TEST_P(FetchRowRange, IntegersOutsideTheWorkIntegerFail) {
    struct Case {
        const char* value;
        bool signed_holds;    // host type 8's 32-bit work integer holds it
        bool unsigned_holds;  // host type 6's holds it
        uint32_t low32;       // its low 32 bits
    };
    const Case cases[] = {
        {"2147483647", true, true, 0x7FFFFFFFu},
        {"2147483648", false, true, 0x80000000u},
        {"-2147483648", true, false, 0x80000000u},
        {"-2147483649", false, false, 0},
        {"4294967295", false, true, 0xFFFFFFFFu},
        {"4294967296", false, false, 0},
        {"5000000000", false, false, 0},
        {"-1", true, false, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        for (int16_t type : {int16_t{8}, int16_t{6}}) {
            for (uint32_t size : {4u, 2u}) {
                SCOPED_TRACE(testing::Message() << c.value << " into type "
                                                << type << " of " << size);
                exec(std::string("SELECT ") + c.value);
                const CmdHdr hdr =
                    fetch({with_flags(hostkit::buffer(size), type)});
                const auto ints = hostkit::calls_of(host, PUT_INT);
                const bool holds =
                    type == 8 ? c.signed_holds : c.unsigned_holds;
                if (!holds) {
                    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
                    EXPECT_EQ(hostkit::sqlstate(hdr), "22003");
                    EXPECT_EQ(hostkit::native_error(hdr), 1);
                    EXPECT_EQ(hostkit::count(hdr), 0);
                    EXPECT_TRUE(ints.empty());
                    continue;
                }
                // The work integer keeps `size` bytes and widens by the
                // sign of its 32 bits.
                const uint32_t work = size == 4 ? c.low32 : c.low32 & 0xFFFFu;
                EXPECT_EQ(hdr.status, ORV_OK);
                EXPECT_EQ(hostkit::sqlstate(hdr), "");
                EXPECT_EQ(hostkit::count(hdr), 1);
                ASSERT_EQ(ints.size(), 1u);
                EXPECT_EQ(static_cast<uint32_t>(ints[0].a), work);
                EXPECT_EQ(static_cast<uint32_t>(ints[0].b),
                          (work & 0x80000000u) ? 0xFFFFFFFFu : 0u);
            }
        }
    }
}

TEST_P(FetchRowRange, NumberTextCutOnlyInItsFraction) {
    const std::string digits38 = "12345678901234567890123456789012345678";
    struct Case {
        std::string select;
        const char* number_text;  // nullptr: a failed read (22003)
        const char* sqlstate;
    };
    std::vector<Case> cases = {
        {"SELECT '" + digits38 + "'", nullptr, "22003"},
        {"SELECT '" + digits38 + ".5'", nullptr, "22003"},
        {"SELECT '0." + digits38 + "'", "0.12345678901234567890123456789",
         "01004"},
        {"SELECT '-1.23456789012345678901234567890123E+100'", nullptr, "22003"},
        {"SELECT '1234567890123456789012345678901'",
         "1234567890123456789012345678901", ""},
        {"SELECT '123456789012345678901234567890.9'",
         "123456789012345678901234567890.", "01004"},
    };
    if (dsn() != "orv_sqlite") {
        cases.push_back({"SELECT " + digits38 + ".5", nullptr, "22003"});
        cases.push_back({"SELECT 0." + digits38,
                         "0.12345678901234567890123456789", "01004"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.select);
        exec(c.select);
        const CmdHdr hdr = fetch({hostkit::buffer(8, 4)});
        const auto numbers = hostkit::calls_of(host, PUT_NUMBER_TEXT);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.sqlstate);
        EXPECT_EQ(hostkit::native_error(hdr), *c.sqlstate ? 1 : 0);
        if (c.number_text == nullptr) {
            EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
            EXPECT_EQ(hostkit::count(hdr), 0);
            EXPECT_TRUE(numbers.empty());
            continue;
        }
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::count(hdr), 1);
        ASSERT_EQ(numbers.size(), 1u);
        EXPECT_EQ(host.put_numbers[3], c.number_text);
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers, FetchRowRange,
                         ::testing::Values("orv_maria", "orv_sqlite", "orv_pg"),
                         testbed::SourceName());

INSTANTIATE_TEST_SUITE_P(Drivers, FetchRowCut,
                         ::testing::Values("orv_maria", "orv_sqlite", "orv_pg"),
                         testbed::SourceName());

INSTANTIATE_TEST_SUITE_P(Drivers, FetchRowAbsolute,
                         ::testing::Values("orv_maria", "orv_sqlite", "orv_pg"),
                         testbed::SourceName());

INSTANTIATE_TEST_SUITE_P(Drivers, FetchRow,
                         ::testing::Values("orv_sqlite", "orv_pg"),
                         testbed::SourceName());

}  // namespace
