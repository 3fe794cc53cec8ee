// Command 25 reading rowsets through bound arrays against the same
// command reading value by value: the blocks must be the same bytes, the
// cursor must stand where the blocks end, and the statement must keep
// its own settings.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "odbc_api.h"
#include "stmt/fetch_block.h"
#include "testbed.h"

namespace {

using testbed::command;

// Rows of the generated table: more than one block of about 2 MB.
constexpr long kRows = 40000;

// One command 25 as the host saw it.
struct Delivery {
    int16_t status;
    std::string sqlstate;
    double number;
    int32_t count;
    std::string bytes;  // the block through its closing zero byte
    bool operator==(const Delivery&) const = default;
};

class FetchBound : public testbed::ConnectorTest,
                   public testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        REQUIRE_DSN(GetParam());
        slot = testbed::connect(host, GetParam());
        ASSERT_NE(slot, 0);
    }
    void TearDown() override {
        orv::set_block_rowsets(true);
        testbed::ConnectorTest::TearDown();
    }
    bool is(const char* dsn) const { return std::strcmp(GetParam(), dsn) == 0; }
    void query(const std::string& q) {
        command(host, ORV_CMD_RESET_STATEMENT, slot);
        testbed::exec_ok(host, slot, q);
    }

    // A table of kRows rows shaped like a typical result: integers, a
    // decimal, texts with NULLs, a date.
    void make_table() {
        const std::string columns =
            "(id INTEGER, qty INTEGER, price DECIMAL(10,2), name VARCHAR(20), "
            "note VARCHAR(60), d DATE)";
        const std::string n = std::to_string(kRows);
        if (is("orv_pg")) {
            query("CREATE TEMPORARY TABLE fb_t " + columns);
            query(
                "INSERT INTO fb_t SELECT i, i * 7 % 1000, (i % 10000) + "
                "(i % 100) / 100.0, 'name-' || i, CASE WHEN i % 10 = 0 THEN "
                "NULL ELSE repeat('n', 20 + i % 40) END, DATE '2020-01-01' + "
                "(i % 3000) FROM generate_series(1, " +
                n + ") AS i");
            return;
        }
        const std::string rows =
            "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s "
            "WHERE i < " +
            n + ") ";
        if (is("orv_maria")) {
            query("SET SESSION max_recursive_iterations = 1000000");
            query("CREATE TEMPORARY TABLE fb_t " + columns);
            query("INSERT INTO fb_t " + rows +
                  "SELECT i, i * 7 % 1000, (i % 10000) + (i % 100) / 100, "
                  "concat('name-', i), CASE WHEN i % 10 = 0 THEN NULL ELSE "
                  "repeat('n', 20 + i % 40) END, date_add('2020-01-01', "
                  "INTERVAL (i % 3000) DAY) FROM s");
            return;
        }
        query("CREATE TEMPORARY TABLE fb_t " + columns);
        query("INSERT INTO fb_t " + rows +
              "SELECT i, i * 7 % 1000, printf('%d.%02d', i % 10000, i % 100), "
              "'name-' || i, CASE WHEN i % 10 = 0 THEN NULL ELSE "
              "printf('%.*c', 20 + i % 40, 'n') END, date('2020-01-01', '+' || "
              "(i % 3000) || ' days') FROM s");
    }

    // Runs command 25 once on a result of `names` columns.
    Delivery block(int16_t subcode, int names = 6) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot), subcode);
        hostkit::run(host, ORV_CMD_FETCH_BLOCK, hdr,
                     {hostkit::buffer(sizeof(void*))});
        Delivery d{hdr.status,
                   hostkit::sqlstate(hdr),
                   hdr.number,
                   hostkit::count(hdr),
                   {}};
        const orv::ConnectionSlot* s = orv::slot_at(slot);
        // Header items, then number x count items, then the closing byte.
        const auto* base = reinterpret_cast<const char*>(s->row_buffer);
        std::size_t p = 0;
        const double items = names + hdr.number * d.count;
        for (double i = 0; i < items; ++i) p += std::strlen(base + p) + 1;
        d.bytes.assign(base, p + 1);
        return d;
    }

    // Every block of `q` (a result of `names` columns), to the end of its
    // rows.
    std::vector<Delivery> all_blocks(const std::string& q, int16_t subcode,
                                     bool rowsets, int names = 6) {
        orv::set_block_rowsets(rowsets);
        query(q);
        std::vector<Delivery> out;
        do {
            out.push_back(block(subcode, names));
        } while (out.back().status == 0 && out.back().sqlstate == "01004" &&
                 out.size() < 10);
        orv::set_block_rowsets(true);
        return out;
    }

    int slot = 0;
};

TEST_P(FetchBound, BlocksAreTheSameBytesEitherWay) {
    make_table();
    for (int16_t subcode : {int16_t{0}, int16_t{FETCH_NULL_TEXT}}) {
        SCOPED_TRACE(subcode);
        const std::string q = "SELECT * FROM fb_t ORDER BY id";
        const std::vector<Delivery> bound = all_blocks(q, subcode, true);
        const std::vector<Delivery> plain = all_blocks(q, subcode, false);
        ASSERT_GE(bound.size(), 2u) << "the rows fill more than one block";
        double rows = 0;
        for (const Delivery& d : bound) rows += d.number;
        EXPECT_EQ(rows, static_cast<double>(kRows));
        EXPECT_EQ(bound.back().sqlstate, "");
        EXPECT_TRUE(bound == plain);
    }
}

// After a full block the next row comes from command 12, and the
// statement has its own rowset size, row pointers and no bound columns.
TEST_P(FetchBound, CursorAndStatementAsTheHostLeftThem) {
    make_table();
    query("SELECT id, note, name, note AS again FROM fb_t ORDER BY id");
    const Delivery first = block(0, 4);
    ASSERT_EQ(first.sqlstate, "01004");
    SQLHSTMT st = orv::slot_at(slot)->statement;
    SQLULEN size = 0;
    SQLPOINTER fetched = &size, status = &size;
    ASSERT_TRUE(SQL_SUCCEEDED(
        SQLGetStmtAttr(st, SQL_ATTR_ROW_ARRAY_SIZE, &size, 0, nullptr)));
    SQLGetStmtAttr(st, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0, nullptr);
    SQLGetStmtAttr(st, SQL_ATTR_ROW_STATUS_PTR, &status, 0, nullptr);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(fetched, nullptr);
    EXPECT_EQ(status, nullptr);

    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
    hostkit::run(host, ORV_CMD_FETCH_ROW, hdr, {hostkit::buffer(16, 2)});
    ASSERT_EQ(hdr.status, 0);
    const std::vector<uint8_t> id = hostkit::arg_bytes(host, 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(id.data())),
              std::to_string(static_cast<long>(first.number) + 1));
    // The rest goes on after that row.
    const Delivery rest = block(0, 4);
    EXPECT_EQ(rest.status, 0);
    EXPECT_EQ(first.number + 1 + rest.number, static_cast<double>(kRows));
}

// Values longer than their column's width (SQLite does not hold values to
// their declared width; PostgreSQL's unconstrained numbers are wider than
// the width it reports) are read again whole.
TEST_P(FetchBound, ValuesLongerThanTheirWidthComeWhole) {
    std::string q;
    if (is("orv_sqlite")) {
        query("CREATE TEMPORARY TABLE fb_lie (id INTEGER, s VARCHAR(4))");
        query(
            "INSERT INTO fb_lie VALUES (1, 'ab'), (2, printf('%.*c', 5000, "
            "'x')), (3, NULL), ('a text where a number belongs', 'cd'), "
            "(5, printf('%.*c', 100000, 'y')), (6, 'ef')");
        q = "SELECT id, s FROM fb_lie";
    } else if (is("orv_pg")) {
        q = "SELECT i, (10::numeric ^ 60 + i)::numeric AS n FROM "
            "generate_series(1, 50) AS i";
    } else {
        q = "SELECT 1 AS a, 'x' AS b";
    }
    const std::vector<Delivery> bound = all_blocks(q, FETCH_NULL_TEXT, true, 2);
    const std::vector<Delivery> plain =
        all_blocks(q, FETCH_NULL_TEXT, false, 2);
    EXPECT_TRUE(bound == plain);
    if (is("orv_sqlite")) {
        ASSERT_EQ(bound.size(), 1u);
        const std::string& b = bound[0].bytes;
        EXPECT_NE(b.find(std::string(5000, 'x') + '\0'), std::string::npos);
        EXPECT_NE(b.find(std::string(100000, 'y') + '\0'), std::string::npos);
        EXPECT_NE(b.find(std::string("a text where a number belongs\0cd", 32)),
                  std::string::npos);
        EXPECT_EQ(bound[0].number, 6.0);
    }
}

// A value longer than its element, read again, takes space the row's
// check did not count: the bound values after it must still find room.
// The long value stands in each of three columns (narrow, wide, narrow),
// with lengths around the first block's capacity and, after rows that
// bring the block near its size limit, at the limit; every block must be
// the bytes the plain path gives.
TEST_P(FetchBound, ReadAgainValueBeforeBoundOnesInEveryPosition) {
    if (!is("orv_sqlite")) GTEST_SKIP() << "its widths bound the values";
    struct Case {
        long length;  // of the long value
        int filler;   // rows of 100,000 characters before it
    };
    const Case cases[] = {{16300, 0}, {16370, 0}, {16379, 0},  {16381, 0},
                          {16500, 0}, {65600, 0}, {90000, 20}, {99000, 20}};
    for (int position = 0; position < 3; ++position) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << "position " << position << " length " << c.length
                         << " filler " << c.filler);
            query("DROP TABLE IF EXISTS fb_over");
            query(
                "CREATE TEMPORARY TABLE fb_over (a VARCHAR(4), "
                "b VARCHAR(200), c VARCHAR(4))");
            const std::string filler = "printf('%.*c', 100000, 'f')";
            for (int i = 0; i < c.filler; ++i)
                query("INSERT INTO fb_over VALUES ('1', " + filler + ", '2')");
            std::string v[3] = {"'a'", "printf('%.*c', 150, 'y')", "NULL"};
            v[position] =
                "printf('%.*c', " + std::to_string(c.length) + ", 'x')";
            query("INSERT INTO fb_over VALUES (" + v[0] + ", " + v[1] + ", " +
                  v[2] + ")");
            query("INSERT INTO fb_over VALUES ('ab', 'cd', 'ef')");
            const std::string q = "SELECT a, b, c FROM fb_over";
            const std::vector<Delivery> bound =
                all_blocks(q, FETCH_NULL_TEXT, true, 3);
            const std::vector<Delivery> plain =
                all_blocks(q, FETCH_NULL_TEXT, false, 3);
            EXPECT_TRUE(bound == plain);
            double rows = 0;
            for (const Delivery& d : bound) rows += d.number;
            EXPECT_EQ(rows, c.filler + 2.0);
        }
    }
}

// An item ends at the value's first zero byte, whatever length the driver
// reports (MariaDB hands bit values over as raw bytes; SQLite keeps text
// with a zero byte in a number column): every row holds exactly its
// column count of items, either way of reading.
TEST_P(FetchBound, ZeroBytesEndTheirItemSoRowsKeepTheirColumns) {
    std::string q;
    std::string items;  // the rows' items, each with its terminator
    if (is("orv_maria")) {
        query(
            "CREATE TEMPORARY TABLE fb_bit (x BIT(1), y BIT(64), "
            "z CHAR(2), w VARCHAR(10))");
        query(
            "INSERT INTO fb_bit VALUES (0, 0, 'ab', 'cd'), "
            "(1, 258, 'ef', 'gh')");
        q = "SELECT x, y, z, w FROM fb_bit";
        items = std::string("\0\0ab\0cd\0\x01\0\0ef\0gh\0", 17);
    } else if (is("orv_sqlite")) {
        query(
            "CREATE TEMPORARY TABLE fb_zero (n INTEGER, t VARCHAR(3), "
            "u VARCHAR(3))");
        query(
            "INSERT INTO fb_zero VALUES ('a' || char(0) || 'b', "
            "'c' || char(0) || 'd', 'e'), (1, 'f', 'g')");
        q = "SELECT n, t, u FROM fb_zero";
        items = std::string(
            "a\0c\0e\0"
            "1\0f\0g\0",
            12);
    } else {
        GTEST_SKIP() << "its values hold no zero byte";
    }
    const int names = is("orv_maria") ? 4 : 3;
    for (bool rowsets : {true, false}) {
        SCOPED_TRACE(rowsets ? "bound arrays" : "value by value");
        const std::vector<Delivery> d = all_blocks(q, 0, rowsets, names);
        ASSERT_EQ(d.size(), 1u);
        EXPECT_EQ(d[0].number, 2.0);
        EXPECT_EQ(d[0].count, names);
        const std::string& b = d[0].bytes;
        ASSERT_GE(b.size(), items.size() + 1);
        EXPECT_EQ(b.substr(b.size() - items.size() - 1), items + '\0');
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers, FetchBound,
                         testing::Values("orv_sqlite", "orv_pg", "orv_maria"),
                         [](const testing::TestParamInfo<const char*>& i) {
                             return std::string(i.param);
                         });

}  // namespace
