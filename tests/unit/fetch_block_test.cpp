// Block fetch (command 25) paths that no real driver shows, through the
// scripted ODBC stand-in: reads that fail inside a row, fetch warnings,
// values of unknown length, a description that disagrees with the result.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "memory.h"
#include "standin.h"
#include "standin_fixture.h"
#include "stmt/columns.h"
#include "testbed.h"

namespace {

using testbed::command;

class FetchBlockStandin : public testbed::StandinTest {
  protected:
    CmdHdr fetch_block(int slot, int16_t subcode = 0) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot), subcode);
        hostkit::run(host, ORV_CMD_FETCH_BLOCK, hdr,
                     {hostkit::buffer(sizeof(void*))});
        return hdr;
    }

    // Makes the read of column `col` in row `row` fail, with a diagnostic
    // record.
    static void fail_read(SQLUSMALLINT col, int row) {
        standin::hooks.SQLGetData =
            [col, row, reads = 0](SQLHSTMT s, SQLUSMALLINT c, SQLSMALLINT t,
                                  SQLPOINTER p, SQLLEN n, SQLLEN* ind) mutable {
                if (c != col || ++reads != row)
                    return standin::base::SQLGetData(s, c, t, p, n, ind);
                standin::push_diag(s, "HY000", 7, "bad value");
                if (ind != nullptr) *ind = 0;
                return static_cast<SQLRETURN>(SQL_ERROR);
            };
    }
};

// The block in the slot's row buffer, `length` bytes of it.
std::string block(int slot, std::size_t length) {
    const orv::ConnectionSlot* s = orv::slot_at(slot);
    EXPECT_LE(length + 4, s->row_buffer_size);
    return std::string(reinterpret_cast<const char*>(s->row_buffer), length);
}

std::string block_bytes(const std::vector<std::string>& items) {
    std::string s;
    for (const std::string& v : items) s += v + '\0';
    return s + '\0';
}

// A fetch or a value read that fails in the middle of the result ends
// the block with the whole rows before it, counted; status 2 with the
// failing call's diagnostics.  Whatever column fails, its row is left out.
TEST_F(FetchBlockStandin, FailureInTheMiddleEndsTheBlockWithStatus2) {
    struct Case {
        const char* what;
        SQLUSMALLINT failing_column;  // 0: the third fetch fails
        const char* sqlstate;
        int32_t native;
    };
    const Case cases[] = {
        {"first column", 1, "HY000", 7},
        {"middle column", 2, "HY000", 7},
        {"last column", 3, "HY000", 7},
        {"fetch", 0, "08S01", 57},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        standin::reset();
        const int slot = open(standin::table(
            {"a", "b", "c"},
            {{"1", "2", "3"}, {"4", "5", "6"}, {"7", "8", "9"}}));
        if (c.failing_column != 0)
            fail_read(c.failing_column, 3);
        else
            standin::fail("SQLFetchScroll", SQL_ERROR, "08S01", 57, "gone")
                .after(2)
                .once();
        CmdHdr hdr = fetch_block(slot);
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hdr.number, 2.0);
        EXPECT_EQ(hostkit::count(hdr), 3);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.sqlstate);
        EXPECT_EQ(hostkit::native_error(hdr), c.native);
        std::string expected =
            block_bytes({"a", "b", "c", "1", "2", "3", "4", "5", "6"});
        EXPECT_EQ(block(slot, expected.size()), expected);
        EXPECT_EQ(hostkit::arg_bytes(host, 3).size(), sizeof(void*));
        // The rest of the result is still there for the next command 25.
        standin::hooks.SQLGetData = nullptr;
        hdr = fetch_block(slot);
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hdr.number, c.failing_column != 0 ? 0.0 : 1.0);
        testbed::release_all(host);
    }
}

// A warning from the fetch counts as success, also for a row that has only
// binary columns; the block ends normally without a capture.
TEST_F(FetchBlockStandin, FetchWarningsDoNotEndTheBlock) {
    standin::Result r;
    r.columns = {standin::column("bin", SQL_VARBINARY, 4),
                 standin::column("t", SQL_VARCHAR, 4)};
    r.rows = {{"\x01", "x"}, {"\x02", "y"}};
    const int slot = open(r);
    standin::fail("SQLFetchScroll", SQL_SUCCESS_WITH_INFO, "01S01").once();
    CmdHdr hdr = fetch_block(slot);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.number, 2.0);
    EXPECT_EQ(hostkit::count(hdr), 1);
    EXPECT_EQ(hostkit::sqlstate(hdr), "");
    std::string expected = block_bytes({"bin", "t", "x", "y"});
    EXPECT_EQ(block(slot, expected.size()), expected);

    standin::reset();
    r.columns.pop_back();
    const int only_binary = open(r);
    standin::fail("SQLFetchScroll", SQL_SUCCESS_WITH_INFO, "01S01");
    hdr = fetch_block(only_binary);
    EXPECT_EQ(hdr.number, 2.0);
    EXPECT_EQ(hostkit::count(hdr), 0);
    EXPECT_EQ(block(only_binary, 5), std::string("bin\0\0", 5));
}

// A value whose length the driver cannot tell comes whole; one that cannot
// be read whole (no memory) ends the block before its row, status 8.
TEST_F(FetchBlockStandin, ValuesOfUnknownLength) {
    const std::size_t big =
        static_cast<std::size_t>(testbed::largest_retrieval_buffer()) + 5000;
    standin::Result r = standin::table(
        {"id", "v"}, {{"1", std::string(big, 'q') + "!"}, {"2", "two"}});
    r.no_total = true;
    int slot = open(r);
    CmdHdr hdr = fetch_block(slot);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.number, 2.0);
    std::string expected =
        block_bytes({"id", "v", "1", std::string(big, 'q') + "!", "2", "two"});
    EXPECT_TRUE(block(slot, expected.size()) == expected);

    standin::reset();
    // Longer than the block's first size, so that the value needs memory.
    const std::size_t bigger =
        static_cast<std::size_t>(testbed::largest_retrieval_buffer()) + 70000;
    r = standin::table(
        {"id", "v"},
        {{"1", "one"}, {"2", std::string(bigger, 'q')}, {"3", "x"}});
    r.no_total = true;
    slot = open(r);
    orv::orv_fail_allocation(2);  // 1: the row buffer; 2: the value's room
    hdr = fetch_block(slot);
    orv::orv_fail_allocation(0);
    EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
    EXPECT_EQ(hdr.number, 1.0);
    expected = block_bytes({"id", "v", "1", "one"});
    EXPECT_EQ(block(slot, expected.size()), expected);
}

// A value holding a zero byte ends there: items carry no escapes.
TEST_F(FetchBlockStandin, ValueEndsAtItsFirstZeroByte) {
    const int slot =
        open(standin::table({"v"}, {{std::string("ab\0cd", 5)}, {"e"}}));
    CmdHdr hdr = fetch_block(slot);
    EXPECT_EQ(hdr.number, 2.0);
    std::string expected = block_bytes({"v", "ab", "e"});
    EXPECT_EQ(block(slot, expected.size()), expected);
}

// A description that does not match the column count: 16, nothing fetched.
TEST_F(FetchBlockStandin, DescriptionMismatchFetchesNothing) {
    const int slot = open(standin::table({"a", "b"}, {{"1", "2"}}));
    int calls = 0;
    standin::hooks.SQLNumResultCols = [&calls](SQLHSTMT s, SQLSMALLINT* n) {
        SQLRETURN rc = standin::base::SQLNumResultCols(s, n);
        if (++calls > 1) *n = 3;  // the description sees another count
        return rc;
    };
    CmdHdr hdr = fetch_block(slot);
    EXPECT_EQ(hdr.status, ORV_COLUMN_MISMATCH);
    EXPECT_EQ(hostkit::count(hdr), 2);
    EXPECT_TRUE(standin::calls_to("SQLFetchScroll").empty());
    EXPECT_EQ(hostkit::arg_bytes(host, 3), std::vector<uint8_t>(sizeof(void*)));
}

// ---- Reading through bound rowsets ------------------------------------------

// The items of every block command 25 gives for the current result, to its
// end: each block's rows (names left out), and the blocks' count.
struct Blocks {
    std::vector<std::string> items;
    int blocks = 0;
    int16_t status = 0;
};

Blocks all_blocks(hostkit::Host& host, int slot, int names, int16_t subcode) {
    Blocks out;
    for (;;) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot), subcode);
        hostkit::run(host, ORV_CMD_FETCH_BLOCK, hdr,
                     {hostkit::buffer(sizeof(void*))});
        ++out.blocks;
        out.status = hdr.status;
        const orv::ConnectionSlot* s = orv::slot_at(slot);
        const auto* p = reinterpret_cast<const char*>(s->row_buffer);
        const double items = names + hdr.number * hostkit::count(hdr);
        for (double i = 0; i < items; ++i) {
            const std::size_t n = std::strlen(p);
            if (i >= names) out.items.emplace_back(p, n);
            p += n + 1;
        }
        if (hdr.status != 0 || hostkit::sqlstate(hdr) != "01004" ||
            out.blocks == 10)
            return out;
    }
}

// Rows read through bound arrays give the items reading value by value
// gives, whatever a row holds where: a value longer than its element
// (read again whole) ending at the block's last bytes or past the block's
// size limit, followed by bound, NULL and read-again values, in every
// column position; with the drivers' lengths or SQL_NO_TOTAL, with
// rowsets of many rows or of one.
TEST_F(FetchBlockStandin, BoundRowsetsDeliverEveryValueWhole) {
    // The first block holds 16380 bytes; the names take 6 ("a", "b", "c"),
    // and a row before the long one 4 ("1", "", "" with NULLs).
    constexpr long kLastBytes = 16380 - 6 - 4;
    struct Case {
        const char* what;
        long length;      // of the long value
        int filler;       // rows of 100,000 characters before its row
        bool positioned;  // SQL_GD_BLOCK: rowsets of more than one row
        bool no_total;
    };
    const Case cases[] = {
        {"ends 3 bytes before the block's end", kLastBytes - 3, 0, true, false},
        {"ends 2 bytes before the block's end", kLastBytes - 2, 0, true, false},
        {"ends 1 byte before the block's end", kLastBytes - 1, 0, true, false},
        {"ends at the block's end", kLastBytes, 0, true, false},
        {"ends past the block's end", kLastBytes + 1, 0, true, false},
        {"longer than a first read", 70000, 0, true, false},
        {"just before the size limit", 97000, 20, true, false},
        {"at the size limit", 97010, 20, true, false},
        {"past the size limit", 150000, 20, true, false},
        {"unknown length at the block's end", kLastBytes - 1, 0, true, true},
        {"unknown length at the size limit", 97010, 20, true, true},
        {"rowsets of one row", kLastBytes - 2, 0, false, false},
        {"rowsets of one row at the size limit", 97010, 20, false, false},
    };
    for (const Case& c : cases) {
        for (int position = 0; position < 3; ++position) {
            for (int follower = 0; follower < 3; ++follower) {
                SCOPED_TRACE(testing::Message()
                             << c.what << ", column " << position + 1
                             << ", followed by "
                             << (follower == 0   ? "bound"
                                 : follower == 1 ? "NULL"
                                                 : "read again"));
                std::vector<std::vector<standin::Value>> rows;
                rows.push_back({"1", std::nullopt, std::nullopt});
                for (int i = 0; i < c.filler; ++i)
                    rows.push_back({"f", std::string(100000, 'f'), "g"});
                std::vector<standin::Value> row = {"ab", "cd", "ef"};
                row[position] = std::string(c.length, 'x');
                const std::string after[3] = {"yz", "", std::string(300, 'w')};
                for (int k = position + 1; k < 3; ++k)
                    row[k] = follower == 1 ? standin::Value{}
                                           : standin::Value{after[follower]};
                rows.push_back(row);
                rows.push_back({"2", "3", "4"});
                std::vector<std::string> expected;
                for (const auto& r : rows)
                    for (const auto& v : r) expected.push_back(v.value_or(""));

                start_case();
                standin::script.info_numbers[SQL_GETDATA_EXTENSIONS] =
                    SQL_GD_BOUND | (c.positioned ? SQL_GD_BLOCK : 0);
                standin::Result r;
                r.columns = {standin::column("a", SQL_VARCHAR, 4),
                             standin::column("b", SQL_VARCHAR, 40),
                             standin::column("c", SQL_VARCHAR, 4)};
                r.rows = rows;
                r.no_total = c.no_total;
                const int slot = open(r);
                const Blocks got = all_blocks(host, slot, 3, 0);
                EXPECT_EQ(got.status, ORV_OK);
                EXPECT_FALSE(standin::calls_to("SQLBindCol").empty());
                EXPECT_TRUE(got.items == expected);
                EXPECT_LE(got.blocks, c.filler > 0 ? 2 : 1);
            }
        }
    }
}

}  // namespace
