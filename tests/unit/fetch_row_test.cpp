// Row fetch (command 12) paths that no real driver shows, through the
// scripted ODBC stand-in: failing reads and diagnostic calls, memory that
// cannot be had, column widths chosen to run the pairs record out of room.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "memory.h"
#include "standin.h"
#include "standin_fixture.h"
#include "stmt/columns.h"
#include "stmt/fetch_layouts.h"
#include "testbed.h"

namespace {

using hostkit::ArgSpec;
using testbed::command;

class FetchRowStandin : public testbed::StandinTest {
  protected:
    CmdHdr fetch(int slot, std::vector<ArgSpec> args, int16_t subcode = 0,
                 int32_t param = 0) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot), subcode);
        hostkit::set_param_swapped(hdr, param);
        hostkit::run(host, ORV_CMD_FETCH_ROW, hdr, std::move(args));
        return hdr;
    }

    // Makes every read of column `col` fail; with `state`, the statement
    // carries a diagnostic record for it.
    static void fail_reads_of(SQLUSMALLINT col, std::string state) {
        standin::hooks.SQLGetData = [col, state](SQLHSTMT s, SQLUSMALLINT c,
                                                 SQLSMALLINT t, SQLPOINTER p,
                                                 SQLLEN n, SQLLEN* ind) {
            if (c != col) return standin::base::SQLGetData(s, c, t, p, n, ind);
            if (!state.empty()) standin::push_diag(s, state, 7, "bad value");
            if (ind != nullptr) *ind = 0;
            return static_cast<SQLRETURN>(SQL_ERROR);
        };
    }
};

std::vector<uint8_t> bytes_of(std::string_view s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// The pairs record the slot's row buffer holds after a pairs fetch.
std::vector<uint8_t> pairs_record(int slot) {
    const orv::ConnectionSlot* s = orv::slot_at(slot);
    return std::vector<uint8_t>(s->row_buffer,
                                s->row_buffer + s->row_buffer_size);
}

// A column read that is not SQL_SUCCESS: status 2, native_error = that
// column, its SQLSTATE; the value counts only when the reason was read.
TEST_F(FetchRowStandin, FailedReadInPerArgumentLayout) {
    struct Case {
        const char* what;
        std::string state;  // "" = no diagnostic record for the failure
        int32_t count;
        const char* sqlstate;
    };
    const Case cases[] = {
        {"record readable", "22018", 3, "22018"},
        // The diagnostic call's SQL_NO_DATA reaches the common tail, which
        // finds no record either; native_error keeps the column number.
        {"no record", "", 2, "?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start_case();
        const int slot =
            open(standin::table({"a", "b", "c"}, {{"first", "second", "9"}}));
        fail_reads_of(3, c.state);
        CmdHdr hdr = fetch(slot, {hostkit::buffer(8), hostkit::buffer(8),
                                  hostkit::integer(0, 8)});
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::native_error(hdr), 3);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.sqlstate);
        EXPECT_EQ(hostkit::count(hdr), c.count);
        EXPECT_EQ(hostkit::arg_text(host, 3), "first");
        EXPECT_EQ(hostkit::arg_text(host, 4), "second");
        // A delivered failing integer column hands over 0, never garbage.
        EXPECT_EQ(host.put_ints.count(5), c.count == 3 ? 1u : 0u);
        if (c.count == 3) {
            EXPECT_EQ(host.put_ints[5], 0);
        }
        EXPECT_EQ(hdr.number, 1.0);
    }
}

TEST_F(FetchRowStandin, FailedReadInFixedLayoutShowsSpaces) {
    standin::Result r;
    r.columns = {standin::column("a", SQL_VARCHAR, 3),
                 standin::column("b", SQL_VARCHAR, 4),
                 standin::column("c", SQL_VARCHAR, 2)};
    r.rows = {{"xyz", "uvwt", "rs"}};
    const int slot = open(r);
    fail_reads_of(2, "HY000");
    CmdHdr hdr = fetch(slot, {hostkit::buffer(16)}, FETCH_FIXED);
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::native_error(hdr), 2);
    EXPECT_EQ(hostkit::sqlstate(hdr), "HY000");
    EXPECT_EQ(hostkit::count(hdr), 3);
    std::vector<uint8_t> want = bytes_of("xyz    rs");
    want.resize(16, 0);
    EXPECT_EQ(hostkit::arg_bytes(host, 3), want);
}

// The fixed-width record over storage the host left bytes in, row after
// row: each value up to its first zero byte and cut to its width, a NULL
// as spaces, the record's zero byte, and every byte after it cleared.
TEST_F(FetchRowStandin, FixedRecordOverUsedStorage) {
    standin::Result r;
    r.columns = {standin::column("a", SQL_VARCHAR, 4),
                 standin::column("b", SQL_VARCHAR, 3)};
    r.rows = {{"wxyz", "abc"},
              {std::string("p\0q", 3), std::nullopt},
              {"toolong", "z"},
              {"", "ab"}};
    const int slot = open(r);
    struct Want {
        const char* record;
        int32_t native_error;
        const char* sqlstate;
    };
    const Want wants[] = {
        {"wxyzabc", 0, ""},
        {"p      ", 0, ""},
        {"toolz  ", 1, "01004"},
        {"    ab ", 0, ""},
    };
    for (const Want& w : wants) {
        CmdHdr hdr =
            fetch(slot, {hostkit::text(std::string(15, '#'))}, FETCH_FIXED);
        EXPECT_EQ(hdr.status, ORV_OK) << w.record;
        EXPECT_EQ(hostkit::count(hdr), 2);
        EXPECT_EQ(hostkit::native_error(hdr), w.native_error) << w.record;
        EXPECT_EQ(hostkit::sqlstate(hdr), w.sqlstate) << w.record;
        std::vector<uint8_t> want = bytes_of(w.record);
        want.resize(16, 0);
        EXPECT_EQ(hostkit::arg_bytes(host, 3), want) << w.record;
    }
}

// A failed read in the array and pairs layouts contributes an empty value,
// never the previous column's value left in the retrieval buffer.
TEST_F(FetchRowStandin, FailedReadGivesEmptyValueInArrayAndPairs) {
    struct Case {
        const char* what;
        int16_t subcode;
        int16_t flags;
    };
    const Case cases[] = {
        {"array elements", FETCH_ARRAY, 2 | ARG_ARRAY},
        {"array through PUT_STRING", FETCH_ARRAY, 2 | ARG_ARRAY | ARG_CALLBACK},
        {"pairs", FETCH_PAIRS, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start_case();
        const int slot = open(
            standin::table({"a", "b", "c"}, {{"first", "second", "third"}}));
        fail_reads_of(2, "HY000");
        ArgSpec target = c.subcode == FETCH_PAIRS
                             ? hostkit::buffer(sizeof(void*))
                             : hostkit::array(8, 3, c.flags);
        CmdHdr hdr = fetch(slot, {target}, c.subcode, 3);
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::count(hdr), 3);
        if (c.subcode == FETCH_PAIRS) {
            std::vector<uint8_t> want = bytes_of("a=first");
            for (std::string_view e : {"b=", "c=third"}) {
                want.push_back(0);
                want.insert(want.end(), e.begin(), e.end());
            }
            want.resize(orv::slot_at(slot)->row_buffer_size, 0);
            EXPECT_EQ(pairs_record(slot), want);
        } else if (c.flags & ARG_CALLBACK) {
            EXPECT_EQ(hostkit::put_text(host, 3), "first");
            ASSERT_EQ(host.put_strings.count(259), 1u);
            EXPECT_EQ(hostkit::put_text(host, 259), "");
            EXPECT_EQ(hostkit::put_text(host, 515), "third");
        } else {
            std::vector<uint8_t> want(24, 0);
            std::memcpy(want.data(), "first", 5);
            std::memcpy(want.data() + 16, "third", 5);
            EXPECT_EQ(hostkit::arg_bytes(host, 3), want);
        }
    }
}

// A value the retrieval buffer cannot grow for is never handed over cut
// short: status 8 (native_error the column where the layout names
// columns).  The per-argument layout still delivers the other columns; the
// pairs record ends before the entry.
TEST_F(FetchRowStandin, ValueLeftOutWhenBufferCannotGrow) {
    struct Case {
        const char* what;
        int16_t subcode;
        int32_t native_error;
        // The value is number text longer than its work buffer, read while
        // no retrieval buffer exists for its rest.
        bool number_text = false;
    };
    const Case cases[] = {
        {"per-argument", 0, 1},
        {"pairs", FETCH_PAIRS, 0},
        {"number text, no buffer for its rest", 0, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start_case();
        // Make sure the buffer exists, then ask for more than it holds.
        const int first = open(standin::table({"a"}, {{"x"}}));
        ASSERT_EQ(fetch(first, {hostkit::buffer(4)}).status, ORV_OK);
        const auto big =
            static_cast<std::size_t>(testbed::largest_retrieval_buffer()) + 100;
        start_case();
        const std::string value =
            c.number_text ? "1." + std::string(40, '5') : std::string(big, 'v');
        const int slot = open(standin::table({"a", "b"}, {{value, "ok"}}));
        if (c.number_text) orv::release_data_buffers();
        // The pairs record's first size comes first.
        orv::orv_fail_allocation(c.subcode == FETCH_PAIRS ? 2 : 1);
        CmdHdr hdr =
            c.subcode == FETCH_PAIRS
                ? fetch(slot, {hostkit::buffer(sizeof(void*))}, FETCH_PAIRS)
                : fetch(slot, {hostkit::buffer(10, c.number_text ? 4 : 2),
                               hostkit::buffer(4)});
        EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
        EXPECT_EQ(hostkit::native_error(hdr), c.native_error);
        EXPECT_EQ(hostkit::sqlstate(hdr), "");
        if (c.subcode == FETCH_PAIRS) {
            // The record ends before the entry that could not be whole.
            EXPECT_EQ(hostkit::count(hdr), 0);
            const std::vector<uint8_t> record = pairs_record(slot);
            EXPECT_EQ(record, std::vector<uint8_t>(record.size(), 0));
        } else {
            EXPECT_EQ(hostkit::count(hdr), 1);
            EXPECT_EQ(hostkit::arg_bytes(host, 3), std::vector<uint8_t>(10, 0));
            EXPECT_EQ(host.put_numbers.count(3), 0u) << "nothing handed over";
            EXPECT_EQ(hostkit::arg_text(host, 4), "ok");
        }
    }
}

// A row buffer that cannot be had: status 8, nothing written anywhere, and
// the previous record left as it was.  (The first row's long value grew
// the buffer; the second row's record wants its first size back.)
TEST_F(FetchRowStandin, RowBufferAllocationFailure) {
    const int slot =
        open(standin::table({"id"}, {{std::string(20000, 'x')}, {"2"}}));
    CmdHdr hdr = fetch(slot, {hostkit::buffer(sizeof(void*))}, FETCH_PAIRS);
    ASSERT_EQ(hdr.status, ORV_OK);
    const std::vector<uint8_t> before = pairs_record(slot);
    const uint8_t* buffer = orv::slot_at(slot)->row_buffer;

    orv::orv_fail_allocation(1);
    hdr = fetch(slot, {hostkit::buffer(sizeof(void*))}, FETCH_PAIRS);
    EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
    EXPECT_EQ(hostkit::count(hdr), 0);
    EXPECT_EQ(hostkit::arg_bytes(host, 3),
              std::vector<uint8_t>(sizeof(void*), 0));
    EXPECT_EQ(orv::slot_at(slot)->row_buffer, buffer);
    EXPECT_EQ(pairs_record(slot), before);
}

// The widths only size the record's first buffer: values longer than
// their width, escapes included, go in whole, and the record ends with its
// two zero bytes.
TEST_F(FetchRowStandin, PairsRecordGrowsForWholeValues) {
    struct Case {
        std::string value;
        std::string escaped;
    };
    const Case cases[] = {
        {std::string(40, '\xFA'), std::string(80, '\xFB')},
        {std::string(68, 'a') + "\xFB" + "b",
         std::string(68, 'a') + "\xFB\xFC" + "b"},
    };
    for (const Case& c : cases) {
        start_case();
        standin::Result r;
        // Width 1: the record's first buffer has 3 + 68 + 1 = 72 bytes.
        r.columns = {standin::column("v", SQL_VARCHAR, 1),
                     standin::column("w", SQL_VARCHAR, 1)};
        r.rows = {{c.value, "z"}};
        const int slot = open(r);
        CmdHdr hdr = fetch(slot, {hostkit::buffer(sizeof(void*))}, FETCH_PAIRS);
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::count(hdr), 2);
        const std::vector<uint8_t> record = pairs_record(slot);
        EXPECT_GT(record.size(), 72u);
        std::string entries = "v=";
        entries += c.escaped;
        entries.append("\0w=z\0\0", 6);
        std::vector<uint8_t> want = bytes_of(entries);
        want.resize(record.size(), 0);
        EXPECT_EQ(record, want);
    }
}

// The pairs record of the rows after a result's first, whose short values
// are copied in whole blocks past their ends: every length around the
// blocks' sizes, escape bytes at either end, bytes near them that need no
// escape, a name filling its array, and each row's record after a longer
// one must come out as the escape rule says, with nothing of an earlier
// row left in the buffer past the record's end.
TEST_F(FetchRowStandin, PairsRecordOfLaterRowsAtEveryLength) {
    const auto escaped = [](const std::string& v) {
        std::string out;
        for (char c : v) {
            if (c == '\0')
                out += '\xFA';
            else if (c == '\xFA')
                out += "\xFB\xFB";
            else if (c == '\xFB')
                out += "\xFB\xFC";
            else
                out += c;
        }
        return out;
    };
    std::vector<std::string> values;
    for (std::size_t n : {0,  1,  3,  4,  7,  8,  9,  15,  16, 17,
                          31, 32, 33, 48, 63, 64, 65, 100, 5,  2}) {
        values.push_back(std::string(n, 'a'));
        values.push_back(std::string(n, '\xFC'));  // near, but no escape
        if (n == 0) continue;
        std::string first(n, 'b');
        first[0] = '\xFA';
        values.push_back(first);
        std::string last(n, 'c');
        last[n - 1] = '\xFB';
        values.push_back(last);
        std::string zero(n, 'd');
        zero[n / 2] = '\0';
        values.push_back(zero);
    }
    const std::string name(31, 'n');
    std::vector<std::vector<standin::Value>> rows;
    for (const std::string& v : values) {
        rows.push_back({v, "z"});
        if (v.size() % 16 == 1) rows.push_back({std::nullopt, "z"});
    }
    // Without and with FETCH_NULL_TEXT: a NULL between the values.
    for (const int subcode :
         {int{FETCH_PAIRS}, FETCH_PAIRS | FETCH_NULL_TEXT}) {
        start_case();
        const int slot = open(standin::table({name, "w"}, rows));
        for (const std::vector<standin::Value>& row : rows) {
            CmdHdr hdr = fetch(slot, {hostkit::buffer(sizeof(void*))},
                               static_cast<int16_t>(subcode));
            ASSERT_EQ(hdr.status, ORV_OK);
            EXPECT_EQ(hostkit::count(hdr), 2);
            std::string entries = name + "=";
            if (row[0].has_value())
                entries += escaped(*row[0]);
            else if (subcode & FETCH_NULL_TEXT)
                entries += orv::kNullText;
            entries.append("\0w=z\0\0", 6);
            const std::vector<uint8_t> record = pairs_record(slot);
            std::vector<uint8_t> want = bytes_of(entries);
            ASSERT_LE(want.size(), record.size());
            want.resize(record.size(), 0);
            EXPECT_EQ(record, want)
                << (row[0] ? std::to_string(row[0]->size()) + " bytes"
                           : "NULL");
        }
    }
}

// A zero byte inside character data (which no real driver hands out)
// becomes 0xFA, so that the record's terminators stay unambiguous.
TEST_F(FetchRowStandin, PairsEscapeZeroByte) {
    const int slot = open(standin::table(
        {"v"}, {{std::string("a\0b\xFA\xFB", 5)}, {std::string(1, '\0')}}));
    CmdHdr hdr = fetch(slot, {hostkit::buffer(sizeof(void*))}, FETCH_PAIRS);
    ASSERT_EQ(hdr.status, ORV_OK);
    std::vector<uint8_t> want = {'v',  '=',  'a',  0xFA, 'b', 0xFB,
                                 0xFB, 0xFB, 0xFC, 0,    0};
    want.resize(orv::slot_at(slot)->row_buffer_size, 0);
    EXPECT_EQ(pairs_record(slot), want);
    hdr = fetch(slot, {hostkit::buffer(sizeof(void*))}, FETCH_PAIRS);
    want = {'v', '=', 0xFA, 0, 0};
    want.resize(orv::slot_at(slot)->row_buffer_size, 0);
    EXPECT_EQ(pairs_record(slot), want);
}

// The description of the result must match its column count: status 16
// when it does not, status 8 when the column table cannot be enlarged;
// nothing is delivered either way.
TEST_F(FetchRowStandin, DescriptionMismatchAndTableFailure) {
    // A count that changes between the fetch and the description.
    {
        const int slot = open(standin::table({"a", "b"}, {{"1", "2"}}));
        auto calls = std::make_shared<int>(0);
        standin::hooks.SQLNumResultCols = [calls](SQLHSTMT s, SQLSMALLINT* n) {
            SQLRETURN rc = standin::base::SQLNumResultCols(s, n);
            if (++*calls > 1) *n = 1;
            return rc;
        };
        CmdHdr hdr = fetch(slot, {hostkit::buffer(4), hostkit::buffer(4)});
        EXPECT_EQ(hdr.status, ORV_COLUMN_MISMATCH);
        EXPECT_TRUE(hostkit::calls_of(host, PUT_STRING).empty());
        EXPECT_EQ(hostkit::arg_bytes(host, 3), std::vector<uint8_t>(4, 0));
        EXPECT_EQ(hostkit::count(hdr), 0);
    }
    start_case();
    // A result wider than the table, and no memory to enlarge it.
    {
        std::vector<std::string> names;
        for (int i = 0; i < orv::kInitialColumnCapacity + 8; ++i)
            names.push_back(testbed::numbered("c", i));
        const int slot = open(standin::table(names, {{"1"}}));
        orv::orv_fail_allocation(1);
        CmdHdr hdr = fetch(slot, {hostkit::buffer(4)});
        EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
        EXPECT_EQ(hostkit::arg_bytes(host, 3), std::vector<uint8_t>(4, 0));
    }
}

// A fetch the driver refuses fetched no row: the host is told so.
TEST_F(FetchRowStandin, RefusedFetchIsAFailure) {
    standin::script.forward_only = true;
    const int slot = open(standin::table({"a"}, {{"1"}, {"2"}}));
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
    hdr.row_number = 2.0;
    hdr.number = 5.0;
    hostkit::run(host, ORV_CMD_FETCH_ROW, hdr, {hostkit::buffer(4)});
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "HY106");
    EXPECT_EQ(hdr.number, 5.0);
    EXPECT_EQ(hostkit::arg_bytes(host, 3), std::vector<uint8_t>(4, 0));
    // Row numbers beyond 32 bits are held to its range, never undefined.
    const auto scrolls = standin::calls_to("SQLFetchScroll");
    ASSERT_FALSE(scrolls.empty());
    EXPECT_EQ(scrolls.back().args.at(1), "2");
    standin::script.forward_only = false;
    hdr = hostkit::header(static_cast<uint8_t>(slot));
    hdr.row_number = 1e12;
    hostkit::run(host, ORV_CMD_FETCH_ROW, hdr, {hostkit::buffer(4)});
    EXPECT_EQ(standin::calls_to("SQLFetchScroll").back().args.at(1),
              "2147483647");
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::native_error(hdr), SQL_NO_DATA);
}

}  // namespace
