// Statement commands 9, 10, 11, 13 and 18 against the test bed's data
// sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "stmt/columns.h"
#include "testbed.h"

namespace {

using hostkit::ArgSpec;
using testbed::command;

// What each data source answers, as found by running these tests.
struct Source {
    const char* dsn;
    double select_rows;        // SQLRowCount after a SELECT of two rows
    bool update_no_data;       // an UPDATE that changes no rows answers
                               // SQL_NO_DATA (with no diagnostic record)
    const char* syntax_state;  // SQLSTATE of a syntax error
    bool server_shows;         // the server itself runs "SHOW TABLES"
    bool lists_tables;         // SQLTables("", "", "%", "") lists tables
    const char* open_cursor;   // SQLSTATE of a second execution while a
                               // cursor is open ("" = it is allowed)
};
const Source kSources[] = {
    {"orv_sqlite", 0.0, true, "HY000", false, true, ""},
    {"orv_pg", -1.0, true, "42601", false, false, "HY010"},
    {"orv_maria", 2.0, false, "42000", true, false, ""},
};

// Test names and messages show the data source.
void PrintTo(const Source& x, std::ostream* os) { *os << x.dsn; }

class ExecuteDb : public testbed::ConnectorTest,
                  public ::testing::WithParamInterface<Source> {
  protected:
    void SetUp() override {
        REQUIRE_DSN(GetParam().dsn);
        slot = testbed::connect(host, GetParam().dsn);
        ASSERT_NE(slot, 0);
    }
    CmdHdr exec(std::string_view sql) { return testbed::exec(host, slot, sql); }
    void close() {
        ASSERT_EQ(command(host, ORV_CMD_RESET_STATEMENT, slot).status, ORV_OK);
    }
    orv::ConnectionSlot& state() { return *orv::slot_at(slot); }
    int slot = 0;
};

std::vector<uint8_t> bytes_of(int32_t v) {
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

// "SELECT 1 AS c1, 2 AS c2, ..." with n columns.
std::string wide_select(int n) {
    std::string sql = "SELECT 1 AS c1";
    for (int i = 2; i <= n; ++i)
        sql += ", " + std::to_string(i) + " AS c" + std::to_string(i);
    return sql;
}

TEST_P(ExecuteDb, CountsAndFailures) {
    const Source& src = GetParam();
    testbed::exec_ok(host, slot, "DROP TABLE IF EXISTS exe_counts");
    testbed::exec_ok(host, slot,
                     "CREATE TABLE exe_counts (a INTEGER, b VARCHAR(20), "
                     "c INTEGER)");

    CmdHdr hdr =
        exec("INSERT INTO exe_counts VALUES (1, 'x', 10), (2, 'y', 20)");
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.number, 2.0);
    EXPECT_EQ(hostkit::count(hdr), 0);

    hdr = exec("SELECT a, b, c FROM exe_counts");
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(bytes_of(hdr.count), (std::vector<uint8_t>{0, 0, 3, 0}));
    EXPECT_EQ(hdr.number, src.select_rows);
    close();

    hdr = exec("UPDATE exe_counts SET c = 5 WHERE a = 99");
    if (src.update_no_data) {
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::sqlstate(hdr), "?");
        EXPECT_EQ(bytes_of(hdr.native_error),
                  (std::vector<uint8_t>{0, 0, 0x64, 0}));
    } else {
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hdr.number, 0.0);
    }

    hdr = exec("SELEC nonsense");
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), src.syntax_state);
    EXPECT_EQ(hdr.number, 0.0);
    EXPECT_EQ(hdr.count, 0);
    testbed::exec_ok(host, slot, "DROP TABLE exe_counts");
}

TEST_P(ExecuteDb, ShowForms) {
    const Source& src = GetParam();
    testbed::exec_ok(host, slot, "DROP TABLE IF EXISTS exe_show_probe");
    testbed::exec_ok(host, slot, "CREATE TABLE exe_show_probe (a INTEGER)");

    // Answered by SQLTables: the five catalog columns.
    for (const char* sql :
         {"show tables", "SHOW SCHEMAS", "Show Databases", "SHOW CATALOGS"}) {
        SCOPED_TRACE(sql);
        CmdHdr hdr = exec(sql);
        EXPECT_EQ(hdr.status, ORV_OK) << testbed::last_message(host, slot);
        EXPECT_EQ(hostkit::count(hdr), 5);
        close();
    }
    exec("show tables");
    hostkit::ArgSpec area = hostkit::buffer(5 * 224);
    EXPECT_EQ(hostkit::count(command(host, ORV_CMD_DESCRIBE, slot, {area})), 5);
    std::string third(reinterpret_cast<const char*>(
                          hostkit::arg_bytes(host, 3).data() + 2 * 224),
                      10);
    std::transform(third.begin(), third.end(), third.begin(), ::toupper);
    EXPECT_EQ(third, "TABLE_NAME");
    std::set<std::string> tables;
    SQLHSTMT st = state().statement;
    while (SQL_SUCCEEDED(SQLFetchScroll(st, SQL_FETCH_NEXT, 0))) {
        tables.insert(reinterpret_cast<const char*>(
            orv::read_value(state().data_buffer, st, 3, SQL_C_CHAR).bytes));
    }
    EXPECT_EQ(tables.count("exe_show_probe"), src.lists_tables ? 1u : 0u);
    close();

    // Not one of the four forms: the text goes to the server.
    for (const char* sql : {"SHOW TABLES;", "SHOW  TABLES", " SHOW TABLES"}) {
        SCOPED_TRACE(sql);
        CmdHdr hdr = exec(sql);
        if (src.server_shows) {
            EXPECT_EQ(hdr.status, ORV_OK);
            EXPECT_EQ(hostkit::count(hdr), 1);
            close();
        } else {
            EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        }
    }
    testbed::exec_ok(host, slot, "DROP TABLE exe_show_probe");
}

TEST_P(ExecuteDb, ExecutingWithOpenCursor) {
    const Source& src = GetParam();
    ASSERT_EQ(exec("SELECT 1").status, ORV_OK);
    CmdHdr hdr = exec("SELECT 2");
    if (*src.open_cursor) {
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::sqlstate(hdr), src.open_cursor);
    } else {
        EXPECT_EQ(hdr.status, ORV_OK);
    }
    close();
    EXPECT_EQ(exec("SELECT 3").status, ORV_OK);
}

TEST_P(ExecuteDb, ResetStatement) {
    // No statement yet: 14 for every command that needs one.
    for (int code :
         {ORV_CMD_DESCRIBE, ORV_CMD_IMPORT_COLUMNS, ORV_CMD_RESET_STATEMENT})
        EXPECT_EQ(command(host, code, slot, {hostkit::buffer(224)}).status,
                  ORV_NO_STATEMENT);
    ASSERT_EQ(exec("SELECT 1").status, ORV_OK);
    SQLHSTMT first = state().statement;
    for (int16_t mode : {0, 2, 3}) {
        EXPECT_EQ(command(host, ORV_CMD_RESET_STATEMENT, slot, {}, mode).status,
                  ORV_OK);
        EXPECT_EQ(state().statement, first);
        EXPECT_EQ(exec("SELECT 1").status, ORV_OK);
    }
    CmdHdr hdr = command(host, ORV_CMD_RESET_STATEMENT, slot, {}, 1);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(state().statement, nullptr);
    EXPECT_EQ(command(host, ORV_CMD_RESET_STATEMENT, slot).status,
              ORV_NO_STATEMENT);

    // Any other mode frees the statement too and reports 15, read from the
    // connection (which holds no record here).
    ASSERT_EQ(exec("SELECT 1").status, ORV_OK);
    hdr = command(host, ORV_CMD_RESET_STATEMENT, slot, {}, 7);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(state().statement, nullptr);
    EXPECT_EQ(hostkit::sqlstate(hdr), "?");
    EXPECT_EQ(hostkit::native_error(hdr), 15);
    EXPECT_EQ(exec("SELECT 1").status, ORV_OK);
}

TEST_P(ExecuteDb, DescribeIntoHostArea) {
    ASSERT_EQ(exec(wide_select(40)).status, ORV_OK);
    EXPECT_EQ(state().column_capacity, 32);
    // Less than one record: nothing written, the count all the same.
    CmdHdr hdr = command(host, ORV_CMD_DESCRIBE, slot, {hostkit::buffer(223)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::count(hdr), 40);
    EXPECT_EQ(hostkit::arg_bytes(host, 3), std::vector<uint8_t>(223, 0));
    // A 40-column result is described whole.
    hdr = command(host, ORV_CMD_DESCRIBE, slot,
                  {hostkit::buffer(40 * 224 + 100)});
    EXPECT_EQ(hostkit::count(hdr), 40);
    EXPECT_EQ(state().column_capacity, 40);
    std::vector<uint8_t> area = hostkit::arg_bytes(host, 3);
    for (int k = 1; k <= 40; ++k) {
        ColumnDesc rec;
        std::memcpy(&rec, area.data() + (k - 1) * 224, 224);
        EXPECT_EQ(std::string(rec.name), testbed::numbered("c", k));
        EXPECT_EQ(std::memcmp(&rec, orv::column_record(state(), k), 224), 0);
    }
    EXPECT_EQ(std::vector<uint8_t>(area.end() - 100, area.end()),
              std::vector<uint8_t>(100, 0));
    close();
}

TEST_P(ExecuteDb, ImportColumnRecords) {
    // 40 records offered while the table holds 32: records 1..31 taken.
    std::vector<uint8_t> records(40 * 224);
    for (int k = 0; k < 40; ++k) {
        std::string name = testbed::numbered("imported", k + 1);
        std::memcpy(records.data() + k * 224, name.c_str(), name.size());
    }
    ArgSpec area = hostkit::buffer(40 * 224);
    area.bytes = records;
    ASSERT_EQ(exec("SELECT 1 AS a, 2 AS b").status, ORV_OK);
    ASSERT_EQ(hostkit::count(command(host, ORV_CMD_DESCRIBE, slot,
                                     {hostkit::buffer(224)})),
              2);
    EXPECT_EQ(command(host, ORV_CMD_IMPORT_COLUMNS, slot, {area}).status,
              ORV_OK);
    orv::ConnectionSlot& s = state();
    EXPECT_EQ(std::memcmp(s.columns, "bookmarks", 10), 0);
    EXPECT_EQ(std::memcmp(s.columns + 224, records.data(), 31 * 224), 0);
    EXPECT_EQ(std::string(orv::column_record(s, 32)->name), "");
    // Described, then imported: the fetch keeps the host's records.
    EXPECT_EQ(orv::prepare_columns(s, 2), 0);
    EXPECT_EQ(std::string(orv::column_record(s, 1)->name), "imported1");
    close();

    // Imported after the execution but before any description: the next
    // fetch describes the result afresh.
    ASSERT_EQ(exec("SELECT 1 AS a, 2 AS b").status, ORV_OK);
    EXPECT_EQ(command(host, ORV_CMD_IMPORT_COLUMNS, slot, {area}).status,
              ORV_OK);
    EXPECT_EQ(std::string(orv::column_record(s, 1)->name), "imported1");
    EXPECT_EQ(orv::prepare_columns(s, 2), 0);
    EXPECT_EQ(std::string(orv::column_record(s, 1)->name), "a");
    EXPECT_EQ(std::string(orv::column_record(s, 2)->name), "b");
    // Smaller than one record: nothing taken.
    EXPECT_EQ(
        command(host, ORV_CMD_IMPORT_COLUMNS, slot, {hostkit::buffer(223)})
            .status,
        ORV_OK);
    EXPECT_EQ(std::string(orv::column_record(s, 1)->name), "a");
    close();
}

INSTANTIATE_TEST_SUITE_P(Sources, ExecuteDb, ::testing::ValuesIn(kSources),
                         testbed::SourceName());

class DataSourcesDb : public testbed::ConnectorTest {
  protected:
    void SetUp() override {
        REQUIRE_DSN("orv_sqlite");
        slot = testbed::connect(host, "orv_sqlite");
        ASSERT_NE(slot, 0);
    }
    CmdHdr list(int16_t direction, uint32_t name_size = 64) {
        return command(host, ORV_CMD_LIST_SOURCES, slot,
                       {hostkit::buffer(name_size), hostkit::buffer(128)},
                       direction);
    }
    int slot = 0;
};

TEST_F(DataSourcesDb, ListsEveryDataSourceThenNoData) {
    std::set<std::string> names;
    CmdHdr hdr = list(SQL_FETCH_FIRST);
    while (hdr.status == 0) {
        names.insert(hostkit::arg_text(host, 3));
        EXPECT_NE(hostkit::arg_text(host, 4), "");
        ASSERT_LT(names.size(), 100u);
        hdr = list(SQL_FETCH_NEXT);
    }
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(bytes_of(hdr.native_error),
              (std::vector<uint8_t>{0, 0, 0x64, 0}));
    EXPECT_EQ(hostkit::sqlstate(hdr), "");
    for (const char* dsn : {"orv_sqlite", "orv_pg", "orv_maria"})
        EXPECT_EQ(names.count(dsn), 1u) << dsn;
}

TEST_F(DataSourcesDb, WarningsAndErrorsOfTheDriverManager) {
    ASSERT_EQ(testbed::exec(host, slot, "SELEC nonsense").status,
              ORV_ODBC_ERROR);
    // A name cut short: status 0, the warning from the environment.
    CmdHdr hdr = list(SQL_FETCH_FIRST, 4);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(hdr), "01004");
    EXPECT_EQ(hostkit::arg_text(host, 3).size(), 3u);
    // An unknown direction.
    hdr = list(99);
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "HY103");
    // Fewer than four arguments.
    hdr = command(host, ORV_CMD_LIST_SOURCES, slot, {hostkit::buffer(64)},
                  SQL_FETCH_FIRST);
    EXPECT_EQ(hdr.status, ORV_MISSING_ARG);
}

}  // namespace
