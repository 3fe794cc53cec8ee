// Command 25 (rows as one block of text) against real drivers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "conn/slots.h"
#include "memory.h"
#include "stmt/columns.h"
#include "testbed.h"

namespace {

using testbed::command;

constexpr std::size_t kReserved = 4;
constexpr std::size_t kMaxAllocation = 2097152;

// What one command 25 delivered.
struct Block {
    CmdHdr hdr{};
    const char* base = nullptr;  // the address found in argument 3
    std::size_t length = 0;      // bytes through the closing zero byte
};

// Runs command 25 on the slot and reads the address from argument 3.
Block run_block(hostkit::Host& host, int slot, int16_t subcode = 0,
                double number = 0.0, uint32_t arg_size = sizeof(void*)) {
    Block b;
    b.hdr = hostkit::header(static_cast<uint8_t>(slot), subcode);
    b.hdr.number = number;
    hostkit::run(host, ORV_CMD_FETCH_BLOCK, b.hdr, {hostkit::buffer(arg_size)});
    std::vector<uint8_t> a = hostkit::arg_bytes(host, 3);
    if (a.size() >= sizeof b.base)
        std::memcpy(&b.base, a.data(), sizeof b.base);
    return b;
}

// Walks the block as a host does: `names` header items, then `number` rows
// of `count` values, then the closing zero byte; every read stays inside
// the slot's row buffer.  Calls `item` for each item with its index.
// Returns false (after a test failure) when the block is malformed.
bool walk(Block& b, int slot, int names,
          const std::function<void(std::size_t, std::string_view)>& item) {
    const orv::ConnectionSlot* s = orv::slot_at(slot);
    if (b.base == nullptr || b.base != reinterpret_cast<char*>(s->row_buffer)) {
        ADD_FAILURE() << "argument 3 does not hold the row buffer's address";
        return false;
    }
    const std::size_t limit = s->row_buffer_size - kReserved;
    const auto rows = static_cast<std::size_t>(b.hdr.number);
    const std::size_t total =
        static_cast<std::size_t>(names) +
        rows * static_cast<std::size_t>(hostkit::count(b.hdr));
    std::size_t p = 0;
    for (std::size_t i = 0; i < total; ++i) {
        std::size_t len = strnlen(b.base + p, limit - p);
        if (p + len >= limit) {
            ADD_FAILURE() << "item " << i << " runs past the block";
            return false;
        }
        item(i, std::string_view(b.base + p, len));
        p += len + 1;
    }
    if (p >= limit || b.base[p] != 0) {
        ADD_FAILURE() << "no closing zero byte at " << p;
        return false;
    }
    b.length = p + 1;
    return true;
}

// The items of the block, header first.
std::vector<std::string> items(Block& b, int slot, int names) {
    std::vector<std::string> out;
    walk(b, slot, names,
         [&](std::size_t, std::string_view v) { out.emplace_back(v); });
    return out;
}

// The block bytes a list of items makes: each item and a zero byte, then
// the closing zero byte.
std::string block_bytes(const std::vector<std::string>& list) {
    std::string s;
    for (const std::string& v : list) s += v + '\0';
    return s + '\0';
}

// The raw bytes of the block, as long as `expected`.
std::string raw(const Block& b, const std::string& expected) {
    return b.base ? std::string(b.base, expected.size()) : std::string();
}

// Per-driver SQL for generated data.
struct Dialect {
    const char* dsn;
    // A text of 2k characters "abab..." followed by "END".
    std::string (*long_text)(std::size_t k);
    // Rows id = 1..n with a 20-digit zero-padded text of the id.
    std::string (*numbered_rows)(long n);
    // The driver itself types a bytea/blob column as binary (code 252).
    bool binary_from_driver;
};

const Dialect kSqlite{
    "orv_sqlite",
    [](std::size_t k) {
        return "replace(hex(zeroblob(" + std::to_string(k) +
               ")), '00', 'ab') || 'END'";
    },
    [](long n) {
        return "WITH RECURSIVE s(id) AS (SELECT 1 UNION ALL SELECT id + 1 "
               "FROM s WHERE id < " +
               std::to_string(n) +
               ") SELECT id, printf('%020d', id) AS t FROM s";
    },
    false};
const Dialect kPg{"orv_pg",
                  [](std::size_t k) {
                      return "repeat('ab', " + std::to_string(k) + ") || 'END'";
                  },
                  [](long n) {
                      return "SELECT id, lpad(id::text, 20, '0') AS t FROM "
                             "generate_series(1, " +
                             std::to_string(n) + ") AS id";
                  },
                  true};

std::string expected_long(std::size_t k) {
    std::string s;
    for (std::size_t i = 0; i < k; ++i) s += "ab";
    return s + "END";
}

class FetchBlock : public testbed::ConnectorTest,
                   public testing::WithParamInterface<const Dialect*> {
  protected:
    void SetUp() override {
        REQUIRE_DSN(GetParam()->dsn);
        slot = testbed::connect(host, GetParam()->dsn);
        ASSERT_NE(slot, 0);
    }
    void TearDown() override {
        orv::orv_fail_allocation(0);
        testbed::ConnectorTest::TearDown();
    }
    const Dialect& sql() const { return *GetParam(); }
    // Closes the cursor of the previous result (some drivers refuse to
    // execute while it is open) and executes `q`.
    void query(const std::string& q) {
        command(host, ORV_CMD_RESET_STATEMENT, slot);
        testbed::exec_ok(host, slot, q);
    }
    int slot = 0;
};

TEST_P(FetchBlock, ExampleRowsByteForByte) {
    struct Case {
        int16_t subcode;
        std::vector<std::string> items;
    };
    const Case cases[] = {
        {FETCH_NULL_TEXT, {"a", "b", "1", "x", "2", "NULL"}},
        {0, {"a", "b", "1", "x", "2", ""}},
        {FETCH_ALT_NAMES, {"a", "b", "1", "x", "2", ""}},
        {0x7FFF & ~FETCH_NULL_TEXT, {"a", "b", "1", "x", "2", ""}},
    };
    for (const Case& c : cases) {
        query("SELECT 1 AS a, 'x' AS b UNION ALL SELECT 2, NULL");
        Block b = run_block(host, slot, c.subcode);
        EXPECT_EQ(b.hdr.status, ORV_OK) << c.subcode;
        EXPECT_EQ(hostkit::sqlstate(b.hdr), "");
        EXPECT_EQ(b.hdr.native_error, 0);
        EXPECT_EQ(b.hdr.number, 2.0);
        const uint8_t count_bytes[4] = {0, 0, 2, 0};
        EXPECT_EQ(std::memcmp(&b.hdr.count, count_bytes, 4), 0);
        std::string expected = block_bytes(c.items);
        EXPECT_EQ(raw(b, expected), expected) << "subcode " << c.subcode;
        EXPECT_EQ(items(b, slot, 2), c.items);
    }
}

TEST_P(FetchBlock, EmptyResultHoldsHeaderAndClosingByte) {
    query("SELECT 1 AS a, 'x' AS b WHERE 1 = 0");
    Block b = run_block(host, slot, 0, 5.0);
    EXPECT_EQ(b.hdr.status, ORV_OK);
    EXPECT_EQ(b.hdr.number, 0.0);
    EXPECT_EQ(hostkit::count(b.hdr), 2);
    EXPECT_EQ(hostkit::sqlstate(b.hdr), "");
    std::string expected("a\0b\0\0", 5);
    EXPECT_EQ(raw(b, expected), expected);
}

// Describes the result with command 10, lets `edit` change the records and
// sends them back with command 11, as a host that adjusts records does.
void import_edited(hostkit::Host& host, int slot, int columns,
                   const std::function<void(ColumnDesc*)>& edit) {
    CmdHdr d =
        command(host, ORV_CMD_DESCRIBE, slot, {hostkit::buffer(224 * columns)});
    ASSERT_EQ(d.status, ORV_OK);
    ASSERT_EQ(hostkit::count(d), columns);
    std::vector<uint8_t> bytes = hostkit::arg_bytes(host, 3);
    std::vector<ColumnDesc> recs(static_cast<std::size_t>(columns));
    std::memcpy(recs.data(), bytes.data(), bytes.size());
    edit(recs.data());
    hostkit::ArgSpec in = hostkit::buffer(224 * columns);
    in.bytes.assign(reinterpret_cast<uint8_t*>(recs.data()),
                    reinterpret_cast<uint8_t*>(recs.data()) + bytes.size());
    ASSERT_EQ(command(host, ORV_CMD_IMPORT_COLUMNS, slot, {in}).status, ORV_OK);
}

TEST_P(FetchBlock, BinaryColumnNamedButLeftOutOfRows) {
    const std::string bin = GetParam() == &kPg ? "'\\x0102'::bytea" : "x'0102'";
    query("SELECT 1 AS a, " + bin + " AS bin, 'z' AS c");
    import_edited(host, slot, 3, [&](ColumnDesc* recs) {
        if (sql().binary_from_driver) {
            EXPECT_EQ(recs[1].type, 252);
        }
        recs[1].type = 252;
    });
    Block b = run_block(host, slot);
    EXPECT_EQ(b.hdr.status, ORV_OK);
    EXPECT_EQ(b.hdr.number, 1.0);
    EXPECT_EQ(hostkit::count(b.hdr), 2);
    std::string expected = block_bytes({"a", "bin", "c", "1", "z"});
    EXPECT_EQ(raw(b, expected), expected);
}

TEST_P(FetchBlock, UnnamedColumnsGetGeneratedNamesThatStay) {
    struct Case {
        int16_t subcode;
        std::vector<std::string> header;
    };
    // Column 2 keeps its name under both name fields; 1 and 3 lose the
    // one that is cleared.
    const Case cases[] = {
        {0, {"expr-1", "b", "expr-2"}},
        {FETCH_ALT_NAMES, {"alt", "b", "expr-1"}},
    };
    for (const Case& c : cases) {
        query("SELECT 1 AS a, 2 AS b, 3 AS c");
        import_edited(host, slot, 3, [](ColumnDesc* recs) {
            std::memset(recs[0].name, 0, sizeof recs[0].name);
            std::memcpy(recs[0].alt_name, "alt", 4);
            std::memset(recs[2].name, 0, sizeof recs[2].name);
            std::memset(recs[2].alt_name, 0, sizeof recs[2].alt_name);
        });
        Block b = run_block(host, slot, c.subcode);
        std::vector<std::string> want = c.header;
        want.insert(want.end(), {"1", "2", "3"});
        EXPECT_EQ(items(b, slot, 3), want) << c.subcode;
        orv::ConnectionSlot& s = *orv::slot_at(slot);
        const ColumnDesc* rec1 = orv::column_record(s, 1);
        const ColumnDesc* rec3 = orv::column_record(s, 3);
        bool alt = c.subcode & FETCH_ALT_NAMES;
        EXPECT_EQ(std::string(alt ? rec1->alt_name : rec1->name), c.header[0]);
        EXPECT_EQ(std::string(alt ? rec3->alt_name : rec3->name), c.header[2]);
    }
}

TEST_P(FetchBlock, InitialSizeFollowsRowEstimate) {
    query("CREATE TEMP TABLE fb_sizes (v varchar(1000))");
    struct Case {
        double number;
        double rows;  // rows the estimate is made for
    };
    const Case cases[] = {{0.0, 10}, {-3.0, 10}, {2.9, 2},
                          {0.5, 0},  {25.0, 25}, {1e300, 1e300}};
    for (const Case& c : cases) {
        query("SELECT v, 1 AS i FROM fb_sizes");
        Block b = run_block(host, slot, 0, c.number);
        ASSERT_EQ(b.hdr.status, ORV_OK);
        orv::ConnectionSlot& s = *orv::slot_at(slot);
        double e = 2.0 * orv::column_record(s, 1)->width +
                   2.0 * orv::column_record(s, 2)->width;
        ASSERT_GT(orv::column_record(s, 1)->width, 0);
        double cap =
            std::min(std::max(c.rows * e + 2 * 68, 16380.0), 1024572.0);
        EXPECT_EQ(s.row_buffer_size, static_cast<std::size_t>(cap) + kReserved)
            << "number " << c.number;
    }
    // A tiny result still gets the smallest capacity.
    query("SELECT 1 AS i");
    run_block(host, slot, 0, 0.0);
    EXPECT_EQ(orv::slot_at(slot)->row_buffer_size, 16380u + kReserved);
}

TEST_P(FetchBlock, LongValuesGrowBlockByGrowthRule) {
    // The same columns without rows give the initial allocation.
    const std::string cols = "SELECT 7 AS id, ";
    query(cols + sql().long_text(1) + " AS v WHERE 1 = 0");
    run_block(host, slot, 0, 1.0);
    const std::size_t initial = orv::slot_at(slot)->row_buffer_size;

    struct Case {
        std::size_t k;     // the value has 2k + 3 bytes
        std::size_t size;  // the allocation it ends in
    };
    const Case cases[] = {
        {initial / 2 + 50, 2 * initial},  // one doubling
        {1025000, kMaxAllocation},        // several steps, up to the limit
    };
    for (const Case& c : cases) {
        query(cols + sql().long_text(c.k) + " AS v");
        Block b = run_block(host, slot, 0, 1.0);
        EXPECT_EQ(b.hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::sqlstate(b.hdr), "") << c.k;
        EXPECT_EQ(b.hdr.number, 1.0);
        EXPECT_EQ(orv::slot_at(slot)->row_buffer_size, c.size) << c.k;
        std::vector<std::string> got = items(b, slot, 2);
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[2], "7");
        EXPECT_TRUE(got[3] == expected_long(c.k))
            << "value of " << got[3].size() << " bytes, cut or changed";
    }
}

TEST_P(FetchBlock, ValueBeyondLimitComesWholeThenRowsRemain) {
    const std::size_t k = 1500000;  // a 3,000,003-byte value
    query("SELECT 1 AS id, 'small' AS v UNION ALL SELECT 2, " +
          sql().long_text(k) + " UNION ALL SELECT 3, 'last'");
    Block b = run_block(host, slot);
    EXPECT_EQ(b.hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(b.hdr), "01004");
    EXPECT_EQ(b.hdr.native_error, 0);
    EXPECT_EQ(b.hdr.number, 2.0);
    std::vector<std::string> got = items(b, slot, 2);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[4], "2");
    EXPECT_TRUE(got[5] == expected_long(k));
    // Grown just enough to finish the row: only the reserved tail is left.
    EXPECT_EQ(orv::slot_at(slot)->row_buffer_size, b.length + kReserved);

    Block rest = run_block(host, slot, 0, b.hdr.number);
    EXPECT_EQ(rest.hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(rest.hdr), "");
    EXPECT_EQ(rest.hdr.number, 1.0);
    EXPECT_EQ(items(rest, slot, 2),
              (std::vector<std::string>{"id", "v", "3", "last"}));
}

TEST_P(FetchBlock, WideResultBeyondColumnTable) {
    std::string q = "SELECT 1 AS c1";
    std::vector<std::string> want = {"c1"};
    for (int i = 2; i <= 40; ++i) {
        q += ", " + std::to_string(i) + " AS c" + std::to_string(i);
        want.push_back(testbed::numbered("c", i));
    }
    for (int i = 1; i <= 40; ++i) want.push_back(std::to_string(i));
    query(q);
    Block b = run_block(host, slot);
    EXPECT_EQ(b.hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::count(b.hdr), 40);
    EXPECT_EQ(items(b, slot, 40), want);
}

TEST_P(FetchBlock, MissingArgumentOrStatementDeliversNothing) {
    EXPECT_EQ(
        command(host, ORV_CMD_FETCH_BLOCK, slot, {hostkit::buffer(8)}).status,
        ORV_NO_STATEMENT);
    query("SELECT 1 AS a");
    EXPECT_EQ(command(host, ORV_CMD_FETCH_BLOCK, slot).status, ORV_MISSING_ARG);
    // Nothing was fetched: the row is still there.
    Block b = run_block(host, slot);
    EXPECT_EQ(b.hdr.number, 1.0);
}

// The block's address is the host's only way to the rows: an argument 3
// without room for it (null storage, or smaller than a pointer) gives
// status 3 before anything is fetched, so the next command 25 still finds
// the first row.  Larger storage gets the address in its first bytes.
TEST_P(FetchBlock, ArgumentWithoutRoomForTheAddressFetchesNothing) {
    struct Case {
        uint32_t size;
        bool null_data;
    };
    const Case cases[] = {{0, false}, {4, false}, {sizeof(void*) - 1, false},
                          {8, true},  {16, true}, {sizeof(void*), false},
                          {16, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.null_data ? " null" : ""));
        query("SELECT 1 AS a UNION ALL SELECT 2");
        hostkit::ArgSpec target = hostkit::buffer(c.size);
        target.null_data = c.null_data;
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
        hostkit::run(host, ORV_CMD_FETCH_BLOCK, hdr, {target});
        std::vector<uint8_t> a = hostkit::arg_bytes(host, 3);
        if (c.null_data || c.size < sizeof(void*)) {
            EXPECT_EQ(hdr.status, ORV_MISSING_ARG);
            EXPECT_EQ(hdr.number, 0.0);
            for (uint8_t byte : a) EXPECT_EQ(byte, 0);
            Block b = run_block(host, slot);
            EXPECT_EQ(b.hdr.number, 2.0);
            EXPECT_EQ(items(b, slot, 1),
                      (std::vector<std::string>{"a", "1", "2"}));
            continue;
        }
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hdr.number, 2.0);
        const uint8_t* base = nullptr;
        std::memcpy(&base, a.data(), sizeof base);
        EXPECT_EQ(base, orv::slot_at(slot)->row_buffer);
        for (std::size_t i = sizeof(void*); i < a.size(); ++i)
            EXPECT_EQ(a[i], 0) << "byte " << i;
    }
}

TEST_P(FetchBlock, FailingFetchHandsOverRowsSoFar) {
    // Row 20005 fails.  SQLite meets it stepping to that row; the PostgreSQL
    // driver reads ahead in batches and meets it at the batch holding it.
    // The rows before come whole and counted, with status 2: they are not
    // the whole result.
    const std::string q =
        GetParam() == &kPg
            ? "SELECT id, 10 / (20005 - id) AS q FROM generate_series(1, "
              "30000) AS id"
            : "WITH RECURSIVE s(id) AS (SELECT 1 UNION ALL SELECT id + 1 FROM "
              "s WHERE id < 30000) SELECT id, CASE WHEN id = 20005 THEN "
              "abs(-9223372036854775807 - 1) ELSE 1 END AS q FROM s";
    query(q);
    Block b = run_block(host, slot);
    EXPECT_EQ(b.hdr.status, ORV_ODBC_ERROR);
    const std::string state = hostkit::sqlstate(b.hdr);
    EXPECT_NE(state, "");
    EXPECT_NE(state, "01004");
    if (GetParam() == &kPg) {
        EXPECT_EQ(state, "22012");
    }
    EXPECT_GE(b.hdr.number, 1.0);
    EXPECT_LE(b.hdr.number, 20004.0);
    if (GetParam() == &kSqlite) {
        EXPECT_EQ(b.hdr.number, 20004.0);
    }
    long next = 1;
    walk(b, slot, 2, [&](std::size_t i, std::string_view v) {
        if (i >= 2 && i % 2 == 0) {
            EXPECT_EQ(v, std::to_string(next++));
        }
    });
    EXPECT_EQ(next - 1, static_cast<long>(b.hdr.number));
    // Command 3 then reads the failure's own record, its text included.
    EXPECT_NE(testbed::last_message(host, slot), "(no message)");
}

TEST_P(FetchBlock, RowBufferAllocationFailureWritesNothing) {
    query("SELECT 1 AS a");
    orv::orv_fail_allocation(1);
    Block b = run_block(host, slot, 0, 3.0);
    orv::orv_fail_allocation(0);
    EXPECT_EQ(b.hdr.status, ORV_NO_MEMORY);
    EXPECT_EQ(b.base, nullptr);
    EXPECT_EQ(b.hdr.number, 3.0);
    // The row was not fetched.
    EXPECT_EQ(run_block(host, slot).hdr.number, 1.0);
}

TEST_P(FetchBlock, GrowthFailureEndsBlockWithWholeRows) {
    const std::size_t k = 600000;  // longer than any initial block
    const std::string q = "SELECT 1 AS id, 'small' AS v UNION ALL SELECT 2, " +
                          sql().long_text(k) + " UNION ALL SELECT 3, 'c'";
    struct Case {
        const char* what;
        long fail_at;  // the allocation of the command that fails
    };
    // 1 is the row buffer's initial size; 2 the block growth for row 2 (the
    // retrieval buffer holds that value already), or with a fresh value
    // size the retrieval buffer's own growth.
    const Case cases[] = {{"block growth", 2}, {"retrieval growth", 2}};
    for (const Case& c : cases) {
        std::string text = q;
        if (std::string(c.what) == "block growth") {
            query(q);  // warms the retrieval buffer
            ASSERT_EQ(run_block(host, slot).hdr.status, ORV_OK);
        } else {
            std::size_t big = static_cast<std::size_t>(
                                  orv::slot_at(slot)->data_buffer.capacity) /
                                  2 +
                              100;
            text = "SELECT 1 AS id, 'small' AS v UNION ALL SELECT 2, " +
                   sql().long_text(big) + " UNION ALL SELECT 3, 'c'";
        }
        query(text);
        orv::orv_fail_allocation(c.fail_at);
        Block b = run_block(host, slot, 0, 1.0);
        orv::orv_fail_allocation(0);
        EXPECT_EQ(b.hdr.status, ORV_NO_MEMORY) << c.what;
        EXPECT_EQ(b.hdr.number, 1.0) << c.what;
        EXPECT_EQ(items(b, slot, 2),
                  (std::vector<std::string>{"id", "v", "1", "small"}))
            << c.what;
        std::string expected = block_bytes({"id", "v", "1", "small"});
        EXPECT_EQ(raw(b, expected), expected);
        // The row that could not be delivered is gone; the next command
        // goes on after it.
        Block rest = run_block(host, slot);
        EXPECT_EQ(rest.hdr.status, ORV_OK);
        EXPECT_EQ(items(rest, slot, 2),
                  (std::vector<std::string>{"id", "v", "3", "c"}));
    }
}

// Fetches `total` numbered rows in consecutive commands and checks that
// every row arrives exactly once, in order, in blocks of about 2 MB.
void fetch_all_numbered_rows(hostkit::Host& host, int slot, long total) {
    long next = 1;
    long long sum = 0;
    int calls = 0;
    double number = 0.0;
    for (;;) {
        Block b = run_block(host, slot, 0, number);
        ++calls;
        ASSERT_EQ(b.hdr.status, ORV_OK) << "call " << calls;
        ASSERT_EQ(hostkit::count(b.hdr), 2);
        const std::string state = hostkit::sqlstate(b.hdr);
        bool ok = walk(b, slot, 2, [&](std::size_t i, std::string_view v) {
            if (i < 2) {
                EXPECT_EQ(v, i == 0 ? "id" : "t");
                return;
            }
            if (i % 2 == 0) {
                long id = std::stol(std::string(v));
                if (id != next) {
                    ADD_FAILURE()
                        << "row " << id << " where " << next << " was due";
                    next = id;
                }
                sum += id;
            } else {
                std::string t = std::to_string(next);
                t.insert(0, 20 - t.size(), '0');
                if (v != t)
                    ADD_FAILURE() << "text " << v << " for row " << next;
                ++next;
            }
        });
        ASSERT_TRUE(ok);
        // About 2 MB plus one row (a row here is under 30 bytes).
        EXPECT_LE(b.length, kMaxAllocation - kReserved + 64)
            << "call " << calls;
        number = b.hdr.number;
        if (state.empty()) break;
        ASSERT_EQ(state, "01004");
        ASSERT_GT(b.hdr.number, 0.0);
        ASSERT_LT(calls, 1000);
    }
    EXPECT_EQ(next, total + 1);
    EXPECT_EQ(sum, static_cast<long long>(total) * (total + 1) / 2);
    EXPECT_GT(calls, 1);
}

// About 30 MB of text in blocks of about 2 MB.
TEST_P(FetchBlock, MillionRowsInConsecutiveBlocks) {
    query(sql().numbered_rows(1000000));
    fetch_all_numbered_rows(host, slot, 1000000);
}

// Not MariaDB: its driver reads a whole result when the statement runs, so
// a row that fails fails the execution and no block fetch ever meets it.
INSTANTIATE_TEST_SUITE_P(Drivers, FetchBlock, testing::Values(&kSqlite, &kPg),
                         testbed::SourceName());

}  // namespace
