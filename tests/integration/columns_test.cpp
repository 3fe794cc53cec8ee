// Column description and value reads against the test bed's data sources:
// what each driver reports for the common column types, and how the
// records and the retrieval buffer carry it.
#include "stmt/columns.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "testbed.h"

namespace {

using testbed::command;

constexpr uint32_t NN = COLF_NOT_NULL;
constexpr uint32_t AI = COLF_AUTO_INCREMENT;

// One column as the driver reports it (SQL_DESC_TYPE, display size) and
// the record the connector makes of it.
struct Expect {
    const char* name;
    SQLLEN sql_type;  // the driver's SQL_DESC_TYPE
    int32_t type;     // host column type
    int32_t width;
    uint32_t flags;
    uint16_t precision;
};

struct Layout {
    const char* dsn;
    const char* ddl;  // creates col_types
    const char* schema;
    const char* catalog;
    std::vector<Expect> columns;
    const char* repeat;  // SQL giving 10,000 'x' and 10,000,000 'y'
};

// Worth knowing, per driver:
//  - SQLite reports dates, times and timestamps with their ODBC 3 types
//    (91..93), the others as SQL_DATETIME (9), which maps all three to
//    host type 12.
//  - SQLite turns CHAR into VARCHAR and REAL and NUMERIC into DOUBLE, and
//    a BLOB into SQL_BINARY (host type 1); TEXT(10) is SQL_LONGVARCHAR of
//    display size 10, so the date rule makes "birth_date" a date.
//  - PostgreSQL reports DOUBLE PRECISION as SQL_FLOAT (host type 4),
//    BOOLEAN as VARCHAR(5), BYTEA with display size SQL_NO_TOTAL (kept as
//    0), TEXT with the data source's MaxLongVarcharSize.
//  - MariaDB reports an AUTO_INCREMENT key as nullable, BOOLEAN as
//    TINYINT (host type 1), REAL as DOUBLE, VARBINARY(n) with display
//    size 2n; a VARBINARY(5) named birth_date is thereby taken for a date.
//  - Through the driver manager's narrow entry points the Unicode drivers
//    report VARCHAR, not SQL_WVARCHAR.
const Layout kLayouts[] = {
    {"orv_sqlite",
     "CREATE TABLE col_types (id INTEGER PRIMARY KEY AUTOINCREMENT, "
     "i INTEGER NOT NULL, si SMALLINT, bi BIGINT, d DOUBLE, r REAL, "
     "n NUMERIC(10,2), c CHAR(5), vc VARCHAR(20), t TEXT, dt DATE, tm TIME, "
     "ts TIMESTAMP, b BLOB, bo BOOLEAN, birth_date TEXT(10), born TEXT(10))",
     "",
     "main",
     {{"id", 4, 3, 10, AI, 10},
      {"i", 4, 3, 10, NN, 10},
      {"si", 5, 2, 6, 0, 5},
      {"bi", -5, 8, 20, 0, 19},
      {"d", 8, 5, 54, 0, 15},
      {"r", 8, 5, 54, 0, 15},
      {"n", 8, 5, 10, 0, 15},
      {"c", 12, 15, 5, 0, 5},
      {"vc", 12, 15, 20, 0, 20},
      {"t", -1, 15, 65536, 0, 0},
      {"dt", 91, 10, 10, 0, 0},
      {"tm", 92, 11, 8, 0, 0},
      {"ts", 93, 7, 32, 0, 3},
      {"b", -2, 1, 255, 0, 0},
      {"bo", -7, 16, 1, 0, 1},
      {"birth_date", -1, 10, 10, 0, 10},
      {"born", -1, 15, 10, 0, 10}},
     "SELECT printf('%.*c', 10000, 'x'), printf('%.*c', 10000000, 'y')"},
    {"orv_pg",
     "CREATE TABLE col_types (id SERIAL PRIMARY KEY, i INTEGER NOT NULL, "
     "si SMALLINT, bi BIGINT, d DOUBLE PRECISION, r REAL, n NUMERIC(10,2), "
     "c CHAR(5), vc VARCHAR(20), t TEXT, dt DATE, tm TIME, ts TIMESTAMP, "
     "b BYTEA, bo BOOLEAN, birth_date VARCHAR(10), born VARCHAR(10))",
     "public",
     "orvtest",
     {{"id", 4, 3, 11, NN | AI, 0},
      {"i", 4, 3, 11, NN, 0},
      {"si", 5, 2, 6, 0, 0},
      {"bi", -5, 8, 20, 0, 0},
      {"d", 6, 4, 24, 0, 0},
      {"r", 7, 5, 15, 0, 0},
      {"n", 2, 0, 12, 0, 10},
      {"c", 1, 254, 5, 0, 0},
      {"vc", 12, 15, 20, 0, 0},
      {"t", -1, 15, 1073741823, 0, 0},
      {"dt", 9, 12, 10, 0, 0},
      {"tm", 9, 12, 8, 0, 6},
      {"ts", 9, 12, 26, 0, 6},
      {"b", -4, 252, 0, 0, 0},
      {"bo", 12, 15, 5, 0, 0},
      {"birth_date", 12, 15, 10, 0, 0},
      {"born", 12, 15, 10, 0, 0}},
     "SELECT repeat('x', 10000), repeat('y', 10000000)"},
    {"orv_maria",
     "CREATE TABLE col_types (id INT AUTO_INCREMENT PRIMARY KEY, "
     "i INTEGER NOT NULL, si SMALLINT, bi BIGINT, d DOUBLE, r REAL, "
     "n NUMERIC(10,2), c CHAR(5), vc VARCHAR(20), t TEXT, dt DATE, tm TIME, "
     "ts TIMESTAMP NULL, b VARBINARY(16), bo BOOLEAN, bt BIT(1), "
     "birth_date VARBINARY(5), born VARBINARY(5))",
     "",
     "orvtest",
     {{"id", 4, 3, 11, AI, 0},
      {"i", 4, 3, 11, NN, 0},
      {"si", 5, 2, 6, 0, 0},
      {"bi", -5, 8, 20, 0, 0},
      {"d", 8, 5, 15, 0, 0},
      {"r", 8, 5, 15, 0, 0},
      {"n", 3, 0, 12, 0, 10},
      {"c", 1, 254, 5, 0, 0},
      {"vc", 12, 15, 20, 0, 0},
      {"t", -1, 15, 65535, 0, 0},
      {"dt", 9, 12, 10, 0, 0},
      {"tm", 9, 12, 8, 0, 0},
      {"ts", 9, 12, 19, 0, 0},
      {"b", -3, 252, 32, 0, 0},
      {"bo", -6, 1, 4, 0, 0},
      {"bt", -7, 16, 1, 0, 0},
      {"birth_date", -3, 10, 10, 0, 0},
      {"born", -3, 252, 10, 0, 0}},
     "SELECT REPEAT('x', 10000), REPEAT('y', 10000000)"},
};

// Test names and messages show the data source.
void PrintTo(const Layout& x, std::ostream* os) { *os << x.dsn; }

class ColumnsDb : public testbed::ConnectorTest,
                  public ::testing::WithParamInterface<Layout> {
  protected:
    void SetUp() override {
        REQUIRE_DSN(GetParam().dsn);
        slot = testbed::connect(host, GetParam().dsn);
        ASSERT_NE(slot, 0);
    }
    orv::ConnectionSlot& state() { return *orv::slot_at(slot); }
    // Executes sql and moves to its first row.
    SQLHSTMT first_row(std::string_view sql) {
        testbed::exec_ok(host, slot, sql);
        SQLHSTMT st = state().statement;
        EXPECT_EQ(SQLFetchScroll(st, SQL_FETCH_NEXT, 0), SQL_SUCCESS);
        return st;
    }
    int slot = 0;
};

std::string field(const char* f, std::size_t n) {
    return std::string(f, strnlen(f, n));
}

TEST_P(ColumnsDb, DescriptionOfCommonTypes) {
    const Layout& layout = GetParam();
    testbed::exec_ok(host, slot, "DROP TABLE IF EXISTS col_types");
    testbed::exec_ok(host, slot, layout.ddl);
    testbed::exec_ok(host, slot, "SELECT * FROM col_types");
    const int n = static_cast<int>(layout.columns.size());
    CmdHdr hdr =
        command(host, ORV_CMD_DESCRIBE, slot, {hostkit::buffer(n * 224)});
    ASSERT_EQ(hostkit::count(hdr), n);
    const std::vector<uint8_t> area = hostkit::arg_bytes(host, 3);
    for (int k = 1; k <= n; ++k) {
        const Expect& e = layout.columns[k - 1];
        SCOPED_TRACE(e.name);
        SQLLEN sql_type = 0;
        SQLColAttribute(state().statement, static_cast<SQLUSMALLINT>(k),
                        SQL_DESC_TYPE, nullptr, 0, nullptr, &sql_type);
        EXPECT_EQ(sql_type, e.sql_type);
        ColumnDesc rec;
        std::memcpy(&rec, area.data() + (k - 1) * 224, 224);
        EXPECT_EQ(field(rec.name, 32), e.name);
        EXPECT_EQ(field(rec.alt_name, 32), e.name);
        EXPECT_EQ(field(rec.table, 32), "col_types");
        EXPECT_EQ(field(rec.alt_table, 32), "col_types");
        EXPECT_EQ(field(rec.schema, 32), layout.schema);
        EXPECT_EQ(field(rec.catalog, 12), layout.catalog);
        EXPECT_EQ(std::string(rec.default_text, 32), std::string(32, '\0'));
        EXPECT_EQ(rec.type, e.type);
        EXPECT_EQ(rec.width, e.width);
        EXPECT_EQ(rec.display_size, e.width);
        EXPECT_EQ(rec.flags, e.flags);
        EXPECT_EQ(rec.precision, e.precision);
        EXPECT_EQ(rec.reserved, 0);
    }
    EXPECT_EQ(std::memcmp(state().columns, "bookmarks", 10), 0);
    ASSERT_EQ(command(host, ORV_CMD_RESET_STATEMENT, slot).status, ORV_OK);
    testbed::exec_ok(host, slot, "DROP TABLE col_types");
}

// Long values come back whole and terminated, and the
// buffer keeps its size for later reads.
TEST_P(ColumnsDb, PointerModeLongValues) {
    SQLHSTMT st = first_row(GetParam().repeat);
    const std::pair<char, SQLLEN> cases[] = {{'x', 10000}, {'y', 10000000}};
    SQLUSMALLINT column = 1;
    for (auto [ch, size] : cases) {
        SCOPED_TRACE(size);
        const orv::ValueRead v =
            orv::read_value(state().data_buffer, st, column++, SQL_C_CHAR);
        EXPECT_EQ(v.rc, SQL_SUCCESS);
        ASSERT_EQ(v.length, size);
        const char* text = reinterpret_cast<const char*>(v.bytes);
        EXPECT_EQ(strnlen(text, size + 1), static_cast<std::size_t>(size));
        EXPECT_EQ(std::string(text, size), std::string(size, ch));
    }
    const SQLLEN grown = state().data_buffer.capacity;
    EXPECT_GT(grown, 10000000);
    ASSERT_EQ(command(host, ORV_CMD_RESET_STATEMENT, slot).status, ORV_OK);
    st = first_row("SELECT 'short'");
    EXPECT_STREQ(
        reinterpret_cast<const char*>(
            orv::read_value(state().data_buffer, st, 1, SQL_C_CHAR).bytes),
        "short");
    EXPECT_EQ(state().data_buffer.capacity, grown);
}

INSTANTIATE_TEST_SUITE_P(Sources, ColumnsDb, ::testing::ValuesIn(kLayouts),
                         testbed::SourceName());

}  // namespace
