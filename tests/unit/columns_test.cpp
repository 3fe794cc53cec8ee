// Column description and the retrieval buffer: type mapping, the date
// rule, failing attribute calls, table enlargement and its failure, and
// reads the real drivers never produce (no total length, no memory),
// through the scripted ODBC stand-in.
#include "stmt/columns.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "memory.h"
#include "standin.h"
#include "standin_fixture.h"
#include "testbed.h"

namespace {

using standin::Column;
using standin::Result;

class ColumnsStandin : public testbed::StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        slot = testbed::connect(host, "standin");
        ASSERT_NE(slot, 0);
        ASSERT_TRUE(SQL_SUCCEEDED(orv::ensure_statement(state())));
    }
    orv::ConnectionSlot& state() { return *orv::slot_at(slot); }
    // Makes `r` the statement's current result, positioned on its first row
    // when it has one.
    void open(Result r) {
        bool rows = !r.rows.empty();
        standin::set_result(state().statement, std::move(r));
        if (rows) SQLFetchScroll(state().statement, SQL_FETCH_NEXT, 0);
    }
    const ColumnDesc& rec(int k) { return *orv::column_record(state(), k); }
    int slot = 0;
};

std::string field(const char* f, std::size_t n) {
    return std::string(f, strnlen(f, n));
}

TEST(ColumnsMapping, HostColumnTypes) {
    const std::pair<int16_t, int32_t> cases[] = {
        {1, 254}, {2, 0},    {3, 0},    {4, 3},     {5, 2},     {6, 4},
        {7, 5},   {8, 5},    {9, 12},   {10, 11},   {92, 11},   {11, 7},
        {93, 7},  {91, 10},  {12, 15},  {-1, 15},   {-9, 15},   {-7, 16},
        {-5, 8},  {-3, 252}, {-4, 252}, {246, 252}, {247, 253}, {248, 254},
        {-6, 1},  {-2, 1},   {-8, 1},   {-10, 1},   {-11, 1},   {0, 1},
        {13, 1},  {90, 1},   {94, 1},   {245, 1},   {249, 1},   {-32768, 1},
    };
    for (auto [sql, host] : cases)
        EXPECT_EQ(orv::host_column_type(sql), host) << "SQL type " << sql;
}

// SQL_DESC_TYPE, the concise type and the name decide the host type; the
// concise type and the name count only for negative SQL types.
TEST_F(ColumnsStandin, TypeAndDateRule) {
    struct Case {
        SQLLEN type, concise, display;
        const char* name;
        int32_t host_type, width;
    };
    const Case cases[] = {
        {SQL_WVARCHAR, SQL_WVARCHAR, 10, "birth_date", 10, 10},
        {SQL_WVARCHAR, SQL_WVARCHAR, 10, "Birth_Date", 10, 10},
        {SQL_WVARCHAR, SQL_WVARCHAR, 11, "birth_date", 15, 11},
        {SQL_WVARCHAR, SQL_WVARCHAR, 10, "born", 15, 10},
        {SQL_LONGVARCHAR, SQL_LONGVARCHAR, 10, "changed", 15, 10},
        {SQL_LONGVARCHAR, SQL_LONGVARCHAR, 10, "update_date", 10, 10},
        {SQL_WCHAR, SQL_TYPE_DATE, 10, "d", 10, 10},
        {SQL_WCHAR, SQL_TYPE_TIME, 8, "t", 11, 8},
        {SQL_WCHAR, SQL_TYPE_TIMESTAMP, 26, "ts", 7, 26},
        {SQL_WCHAR, SQL_WCHAR, 10, "w", 1, 10},
        {SQL_TINYINT, SQL_TINYINT, 4, "tiny", 1, 4},
        {SQL_DATETIME, SQL_TYPE_DATE, 10, "d", 12, 10},
        {SQL_DATETIME, SQL_TYPE_TIMESTAMP, 26, "ts", 12, 26},
        // Positive SQL types ignore the name.
        {SQL_VARCHAR, SQL_VARCHAR, 10, "birth_date", 15, 10},
        {SQL_VARCHAR, SQL_VARCHAR, 0, "v", 15, 4096},
        {SQL_WVARCHAR, SQL_WVARCHAR, 0, "wv", 15, 4096},
        {SQL_INTEGER, SQL_INTEGER, 0, "i", 3, 0},
    };
    Result r;
    for (const Case& c : cases) {
        Column col = standin::column(c.name, c.type, c.display);
        col.concise_type = c.concise;
        r.columns.push_back(col);
    }
    open(r);
    const int n = static_cast<int>(std::size(cases));
    ASSERT_EQ(orv::describe_columns(state(), nullptr, n), n);
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(std::string(cases[i].name) + " " +
                     std::to_string(cases[i].type));
        EXPECT_EQ(rec(i + 1).type, cases[i].host_type);
        EXPECT_EQ(rec(i + 1).width, cases[i].width);
        EXPECT_EQ(rec(i + 1).display_size, cases[i].display);
    }
}

TEST_F(ColumnsStandin, RecordFields) {
    Column a = standin::column("a_forty_character_column_name_0123456789",
                               SQL_INTEGER, 11);
    a.table = "orders";
    a.schema = "sales";
    a.catalog = "a_long_catalog_name";
    a.nullable = SQL_NO_NULLS;
    a.auto_unique = SQL_TRUE;
    a.precision = 70000;  // the record keeps the low 16 bits
    // The largest size the driver can report: past the record's 32-bit
    // field where SQLLEN is 64 bits wide, its very top where it is 32.
    Column b = standin::column("huge", SQL_LONGVARCHAR,
                               std::numeric_limits<SQLLEN>::max());
    Column c = standin::column("unknown", SQL_VARCHAR, SQL_NO_TOTAL);
    c.nullable = SQL_NULLABLE_UNKNOWN;
    open(Result{{a, b, c}, {}, {}, false});
    ASSERT_EQ(orv::describe_columns(state(), nullptr, 3), 3);
    EXPECT_EQ(std::memcmp(state().columns, "bookmarks", 10), 0);

    const ColumnDesc& r1 = rec(1);
    EXPECT_EQ(std::string(r1.name, 32), "a_forty_character_column_name_01");
    EXPECT_EQ(std::string(r1.alt_name, 32), std::string(r1.name, 32));
    EXPECT_EQ(field(r1.table, 32), "orders");
    EXPECT_EQ(field(r1.alt_table, 32), "orders");
    EXPECT_EQ(field(r1.schema, 32), "sales");
    EXPECT_EQ(std::string(r1.catalog, 12), "a_long_catal");
    EXPECT_EQ(std::string(r1.default_text, 32), std::string(32, '\0'));
    EXPECT_EQ(r1.flags, COLF_NOT_NULL | COLF_AUTO_INCREMENT);
    EXPECT_EQ(r1.precision, 70000 & 0xFFFF);
    EXPECT_EQ(r1.reserved, 0);
    EXPECT_EQ(r1.type, 3);
    // Display sizes beyond the 32-bit field saturate; "unknown" becomes 0.
    EXPECT_EQ(rec(2).display_size, INT32_MAX);
    EXPECT_EQ(rec(2).width, INT32_MAX);
    EXPECT_EQ(rec(3).display_size, 0);
    EXPECT_EQ(rec(3).width, 4096);
    EXPECT_EQ(rec(3).flags, 0u);
}

// A failed attribute call leaves its field empty (never the text of the
// attribute read before it) and sets no flag.
TEST_F(ColumnsStandin, FailedAttributeLeavesFieldEmpty) {
    standin::hooks.SQLColAttribute =
        [](SQLHSTMT s, SQLUSMALLINT col, SQLUSMALLINT id, SQLPOINTER text,
           SQLSMALLINT len, SQLSMALLINT* out, SQLLEN* num) -> SQLRETURN {
        if (id == SQL_DESC_TABLE_NAME || id == SQL_DESC_NULLABLE ||
            id == SQL_DESC_DISPLAY_SIZE)
            return SQL_ERROR;
        return standin::base::SQLColAttribute(s, col, id, text, len, out, num);
    };
    Column a = standin::column("amount", SQL_VARCHAR, 20);
    a.table = "orders";
    a.nullable = SQL_NO_NULLS;
    open(Result{{a}, {}, {}, false});
    ASSERT_EQ(orv::describe_columns(state(), nullptr, 1), 1);
    EXPECT_EQ(field(rec(1).name, 32), "amount");
    EXPECT_EQ(field(rec(1).table, 32), "");
    EXPECT_EQ(field(rec(1).alt_table, 32), "");
    EXPECT_EQ(rec(1).flags, 0u);
    EXPECT_EQ(rec(1).display_size, 0);
    EXPECT_EQ(rec(1).width, 4096);
}

TEST_F(ColumnsStandin, WantedNumberAndTableSize) {
    Result five = standin::table({"c1", "c2", "c3", "c4", "c5"}, {});
    open(five);
    std::vector<uint8_t> dest(3 * 224, 0xEE);
    EXPECT_EQ(orv::describe_columns(state(), dest.data(), 2), 5);
    EXPECT_EQ(field(rec(2).name, 32), "c2");
    EXPECT_EQ(rec(3).name[0], 0);
    EXPECT_EQ(std::memcmp(dest.data(), &rec(1), 224), 0);
    EXPECT_EQ(std::memcmp(dest.data() + 224, &rec(2), 224), 0);
    EXPECT_EQ(dest[448], 0xEE);

    EXPECT_EQ(orv::describe_columns(state(), nullptr, 40), 5);
    EXPECT_EQ(state().column_capacity, 32);

    std::vector<std::string> names;
    for (int i = 1; i <= 40; ++i) names.push_back(testbed::numbered("n", i));
    open(standin::table(names, {}));
    EXPECT_EQ(orv::describe_columns(state(), nullptr, 40), 40);
    EXPECT_EQ(state().column_capacity, 40);
    EXPECT_EQ(field(rec(40).name, 32), "n40");
}

TEST_F(ColumnsStandin, FailedEnlargementDropsTheTable) {
    std::vector<std::string> names(40, "x");
    open(standin::table(names, {}));
    orv::orv_fail_allocation(1);
    EXPECT_EQ(orv::describe_columns(state(), nullptr, 40), 0);
    EXPECT_EQ(state().columns, nullptr);
    EXPECT_EQ(state().column_capacity, 0);
    // The commands say so: 11 has no table to take records into, 10 cannot
    // describe (a count of 0 with status 0 would mean no columns).
    EXPECT_EQ(testbed::command(host, ORV_CMD_IMPORT_COLUMNS, slot,
                               {hostkit::buffer(sizeof(ColumnDesc))})
                  .status,
              ORV_NO_MEMORY);
    orv::orv_fail_allocation(1);
    CmdHdr hdr = testbed::command(host, ORV_CMD_DESCRIBE, slot,
                                  {hostkit::buffer(sizeof(ColumnDesc))});
    EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
    EXPECT_EQ(hostkit::count(hdr), 0);
    // The slot goes on working: execution and a fresh description.
    EXPECT_EQ(testbed::exec(host, slot, "SELECT 1").status, ORV_OK);
    open(standin::table(names, {}));
    EXPECT_EQ(orv::prepare_columns(state(), 40), 0);
    EXPECT_EQ(state().column_capacity, 40);
}

TEST_F(ColumnsStandin, PrepareColumns) {
    std::vector<std::string> names;
    for (int i = 1; i <= 40; ++i) names.push_back(testbed::numbered("n", i));
    open(standin::table(names, {}));
    // Not described: described whole, the table enlarged past 32.
    EXPECT_EQ(orv::prepare_columns(state(), 40), 0);
    EXPECT_EQ(field(rec(40).name, 32), "n40");
    // Described and wide enough: the records stay as the host left them.
    std::memcpy(orv::column_record(state(), 1)->name, "edited", 7);
    standin::reset();
    EXPECT_EQ(orv::prepare_columns(state(), 40), 0);
    EXPECT_TRUE(standin::calls_to("SQLColAttribute").empty());
    EXPECT_EQ(field(rec(1).name, 32), "edited");
    // The table cannot grow: nothing described.
    state().columns[0] = 0;
    names.push_back("n41");
    open(standin::table(names, {}));
    orv::orv_fail_allocation(1);
    EXPECT_EQ(orv::prepare_columns(state(), 41), ORV_NO_MEMORY);
}

TEST_F(ColumnsStandin, ValueWithoutTotalLengthIsReadWhole) {
    const std::string big(20000, 'q');
    Result r = standin::table({"v"}, {{big}});
    r.no_total = true;
    open(r);
    const orv::ValueRead v =
        orv::read_value(state().data_buffer, state().statement, 1, SQL_C_CHAR);
    EXPECT_EQ(v.rc, SQL_SUCCESS);
    EXPECT_EQ(v.length, 20000);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.bytes)), big);
}

// The buffer cannot grow: the caller gets the first part, terminated, and
// the warning; the buffer stays usable.
TEST_F(ColumnsStandin, GrowthFailureKeepsTheFirstPart) {
    orv::release_data_buffers();
    const std::string big(5000, 'z');
    open(standin::table({"v", "w"}, {{big, std::string("ok")}}));
    orv::orv_fail_allocation(2);  // the first allocation succeeds
    orv::ValueRead v =
        orv::read_value(state().data_buffer, state().statement, 1, SQL_C_CHAR);
    EXPECT_EQ(v.rc, SQL_SUCCESS_WITH_INFO);
    EXPECT_TRUE(v.lacked);
    EXPECT_EQ(v.length, 5000);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.bytes)),
              std::string(4095, 'z'));
    // The next column reads whole from the part-grown buffer.
    v = orv::read_value(state().data_buffer, state().statement, 2, SQL_C_CHAR);
    EXPECT_EQ(v.rc, SQL_SUCCESS);
    EXPECT_FALSE(v.lacked);
    EXPECT_STREQ(reinterpret_cast<const char*>(v.bytes), "ok");
}

TEST_F(ColumnsStandin, NoBufferAtAll) {
    orv::release_data_buffers();
    open(standin::table({"v", "w", "n"},
                        {{std::string("abc"), std::string("xyz"), {}}}));
    orv::orv_fail_allocation(1);
    // An empty text and a failure, never a value left from before.
    orv::ValueRead v =
        orv::read_value(state().data_buffer, state().statement, 1, SQL_C_CHAR);
    EXPECT_EQ(v.rc, SQL_ERROR);
    ASSERT_NE(v.bytes, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(v.bytes), "");
    EXPECT_EQ(v.length, 0);
    EXPECT_TRUE(v.lacked);
    EXPECT_EQ(state().data_buffer.capacity, 0);
    // The next read gets its buffer and the value.
    v = orv::read_value(state().data_buffer, state().statement, 2, SQL_C_CHAR);
    EXPECT_EQ(v.rc, SQL_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<const char*>(v.bytes), "xyz");
    EXPECT_FALSE(v.lacked);
}

// A NULL or a failed read in pointer mode gives an empty text, never the
// value read before it.
TEST_F(ColumnsStandin, PointerModeNeverShowsAStaleValue) {
    open(standin::table({"v", "n", "w"},
                        {{std::string("previous"), {}, std::string("x")}}));
    auto read = [this](SQLUSMALLINT col, SQLRETURN want) {
        const orv::ValueRead v = orv::read_value(
            state().data_buffer, state().statement, col, SQL_C_CHAR);
        EXPECT_EQ(v.rc, want);
        return std::string(reinterpret_cast<const char*>(v.bytes));
    };
    EXPECT_EQ(read(1, SQL_SUCCESS), "previous");
    EXPECT_EQ(read(2, SQL_SUCCESS), "");  // NULL
    EXPECT_EQ(read(3, SQL_SUCCESS), "x");
    standin::fail("SQLGetData", SQL_ERROR, "HY000");
    EXPECT_EQ(read(1, SQL_ERROR), "");
}

}  // namespace
