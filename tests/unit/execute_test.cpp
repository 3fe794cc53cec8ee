// Statement commands 9, 10, 11, 13 and 18: paths that no real driver
// shows, through the scripted ODBC stand-in (a driver named "my...", calls
// that fail or warn at one exact point, records left on other handles).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "standin.h"
#include "standin_fixture.h"
#include "stmt/columns.h"
#include "testbed.h"

namespace {

using hostkit::ArgSpec;
using testbed::command;

class ExecuteStandin : public testbed::StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        slot = testbed::connect(host, "standin");
        ASSERT_NE(slot, 0);
    }
    CmdHdr exec(std::string_view sql) { return testbed::exec(host, slot, sql); }
    orv::ConnectionSlot& state() { return *orv::slot_at(slot); }
    int slot = 0;
};

uint32_t raw_count(const CmdHdr& h) {
    uint32_t v;
    std::memcpy(&v, &h.count, 4);
    return v;
}

TEST_F(ExecuteStandin, ShowStatementsAreRoutedByTextAndDriverName) {
    struct Case {
        const char* driver;
        const char* sql;
        bool asks_driver;  // SQLGetInfo(SQL_DRIVER_NAME) is called
        std::vector<std::string> tables_args;  // empty: SQLExecDirect
    };
    const std::vector<std::string> schemas = {"", "%", "", ""};
    const Case cases[] = {
        {"libstandin.so", "show tables", true, {"", "", "%", ""}},
        {"libstandin.so", "SHOW DATABASES", true, schemas},
        {"libstandin.so", "Show Schemas", true, schemas},
        {"libstandin.so", "SHOW CATALOGS", true, {"%", "", "", ""}},
        {"libstandin.so", "SHOW TABLES;", true, {}},
        {"libstandin.so", "SHOW  TABLES", true, {}},
        {"libstandin.so", "SHOW GRANTS", true, {}},
        {"libstandin.so", " SHOW TABLES", false, {}},
        {"libstandin.so", "SHOWTABLES", false, {}},
        {"libstandin.so", "SHOW\nTABLES", false, {}},
        {"MyDriver.so", "SHOW TABLES", true, {}},
        {"MYODBC5", "show databases", true, {}},
        {"mYsql", "SHOW CATALOGS", true, {}},
        {"m", "SHOW TABLES", true, {"", "", "%", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.driver) + " / " + c.sql);
        standin::reset();
        standin::script.info[SQL_DRIVER_NAME] = c.driver;
        CmdHdr hdr = exec(c.sql);
        EXPECT_EQ(hdr.status, ORV_OK);
        auto info = standin::calls_to("SQLGetInfo");
        ASSERT_EQ(info.size(), c.asks_driver ? 1u : 0u);
        if (c.asks_driver) {
            EXPECT_EQ(info[0].args, (std::vector<std::string>{"6", "240"}));
        }
        auto tables = standin::calls_to("SQLTables");
        auto direct = standin::calls_to("SQLExecDirect");
        if (c.tables_args.empty()) {
            EXPECT_TRUE(tables.empty());
            ASSERT_EQ(direct.size(), 1u);
            EXPECT_EQ(direct[0].args[0], c.sql);
        } else {
            ASSERT_EQ(tables.size(), 1u);
            EXPECT_EQ(tables[0].args, c.tables_args);
            EXPECT_TRUE(direct.empty());
            EXPECT_EQ(hostkit::count(hdr), 5);  // the catalog columns
        }
        command(host, ORV_CMD_RESET_STATEMENT, slot);  // close the cursor
    }
}

// A name request that fails counts as an empty name, whatever the driver
// left in the buffer.
TEST_F(ExecuteStandin, FailedDriverNameRequestGivesCatalogCall) {
    standin::hooks.SQLGetInfo = [](SQLHDBC, SQLUSMALLINT, SQLPOINTER value,
                                   SQLSMALLINT, SQLSMALLINT*) {
        std::memcpy(value, "myodbc", 7);
        return static_cast<SQLRETURN>(SQL_ERROR);
    };
    EXPECT_EQ(exec("SHOW TABLES").status, ORV_OK);
    EXPECT_EQ(standin::calls_to("SQLTables").size(), 1u);
    EXPECT_TRUE(standin::calls_to("SQLExecDirect").empty());
}

TEST_F(ExecuteStandin, FailedCatalogCallRunsTheTextInstead) {
    standin::fail("SQLTables", SQL_ERROR, "HYC00");
    CmdHdr hdr = exec("show schemas");
    EXPECT_EQ(hdr.status, ORV_OK);
    auto direct = standin::calls_to("SQLExecDirect");
    ASSERT_EQ(direct.size(), 1u);
    EXPECT_EQ(direct[0].args[0], "show schemas");
}

TEST_F(ExecuteStandin, ExecutionOutcomes) {
    struct Case {
        SQLRETURN rc;
        const char* state;  // record posted with it ("" = none)
        SQLINTEGER native;
        int16_t status;
        const char* sqlstate;
        int32_t native_error;
    };
    const Case cases[] = {
        {SQL_NO_DATA, "", 0, 2, "?", 100},
        {SQL_NEED_DATA, "", 0, 2, "?", 99},
        {SQL_ERROR, "42000", 1064, 2, "42000", 1064},
        {SQL_ERROR, "HY000", 0, 2, "HY000", -1},
        // A warning from the execution itself is not captured: the later
        // count calls decide.
        {SQL_SUCCESS_WITH_INFO, "01000", 5, 0, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rc);
        standin::reset();
        standin::fail("SQLExecDirect", c.rc, c.state, c.native).once();
        CmdHdr hdr = exec("UPDATE t SET a = 1 WHERE 0 = 1");
        EXPECT_EQ(hdr.status, c.status);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.sqlstate);
        EXPECT_EQ(hostkit::native_error(hdr), c.native_error);
        EXPECT_EQ(hdr.number, 0.0);
        EXPECT_EQ(hdr.count, 0);
    }
}

TEST_F(ExecuteStandin, RowAndColumnCounts) {
    // A row count past 32 bits where SQLLEN is 64 bits wide, the largest
    // SQLLEN where it is 32; a double holds either exactly.
    constexpr SQLLEN kLarge = static_cast<SQLLEN>(
        std::min<long long>(5000000000LL, std::numeric_limits<SQLLEN>::max()));
    struct Case {
        SQLLEN rows;
        const char* fail;  // a count call that answers otherwise
        SQLRETURN rc;
        double number;
        uint32_t count;  // as stored: word-swapped
        const char* sqlstate;
    };
    const Case cases[] = {
        {-1, "", 0, -1.0, 0x00030000u, ""},
        {7, "", 0, 7.0, 0x00030000u, ""},
        // Large row counts are kept whole.
        {kLarge, "", 0, static_cast<double>(kLarge), 0x00030000u, ""},
        {7, "SQLRowCount", SQL_SUCCESS_WITH_INFO, 0.0, 0x00030000u, ""},
        {7, "SQLRowCount", SQL_ERROR, 0.0, 0x00030000u, ""},
        {7, "SQLNumResultCols", SQL_SUCCESS_WITH_INFO, 7.0, 0, "01000"},
        {7, "SQLNumResultCols", SQL_ERROR, 7.0, 0, "01000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rows) + " " + c.fail);
        standin::reset();
        standin::Result r = standin::table({"a", "b", "c"}, {});
        r.row_count = c.rows;
        standin::script.results.push_back(r);
        if (*c.fail) standin::fail(c.fail, c.rc, "01000");
        CmdHdr hdr = exec("SELECT a, b, c FROM t");
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hdr.number, c.number);
        EXPECT_EQ(raw_count(hdr), c.count);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.sqlstate);
        command(host, ORV_CMD_RESET_STATEMENT, slot);
    }
}

TEST_F(ExecuteStandin, FailedStatementAllocation) {
    standin::fail("SQLAllocHandle", SQL_ERROR, "HY001").on(SQL_HANDLE_STMT);
    CmdHdr hdr = exec("SELECT 1");
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "HY001");
    EXPECT_EQ(state().statement, nullptr);
    EXPECT_TRUE(standin::calls_to("SQLExecDirect").empty());
}

// Execution clears records 0 .. capacity-1 of a described table; a table
// whose first byte is 0 (imported records) is left alone.
TEST_F(ExecuteStandin, ExecutionForgetsTheDescription) {
    orv::ConnectionSlot& s = state();
    const std::size_t table =
        static_cast<std::size_t>(s.column_capacity + 2) * orv::kColumnDescSize;
    const std::size_t cleared =
        static_cast<std::size_t>(s.column_capacity) * orv::kColumnDescSize;
    for (bool described : {true, false}) {
        SCOPED_TRACE(described);
        std::memset(s.columns, 0xAB, table);
        if (!described) s.columns[0] = 0;
        exec("SELECT 1");
        command(host, ORV_CMD_RESET_STATEMENT, slot);
        for (std::size_t i = 1; i < table; ++i) {
            uint8_t want = described && i < cleared ? 0 : 0xAB;
            ASSERT_EQ(s.columns[i], want) << "byte " << i;
        }
    }
}

TEST_F(ExecuteStandin, TextThatCannotBeReadIsRefused) {
    ArgSpec unterminated;
    unterminated.size = 8;
    unterminated.bytes = {'S', 'E', 'L', 'E', 'C', 'T', ' ', '1'};
    ArgSpec null_storage = hostkit::text("SELECT 1");
    null_storage.null_data = true;
    const std::vector<std::vector<ArgSpec>> cases = {
        {}, {unterminated}, {null_storage}, {hostkit::buffer(0)}};
    for (const auto& args : cases) {
        CmdHdr hdr = command(host, ORV_CMD_EXECUTE, slot, args);
        EXPECT_EQ(hdr.status, ORV_MISSING_ARG);
    }
    EXPECT_TRUE(standin::calls_to("SQLExecDirect").empty());
}

// The driver manager posts SQLDataSources' diagnostics on the environment:
// a stale record on the slot's statement must not stand in for them.
TEST_F(ExecuteStandin, DataSourceDiagnosticsComeFromTheEnvironment) {
    standin::script.data_sources = {{"alpha", "first"}};
    exec("SELECT 1");
    standin::push_diag(state().statement, "42S02", 1146);
    CmdHdr hdr =
        command(host, ORV_CMD_LIST_SOURCES, slot,
                {hostkit::buffer(3), hostkit::buffer(40)}, SQL_FETCH_FIRST);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(hdr), "01004");
    EXPECT_EQ(hostkit::arg_text(host, 3), "al");
    EXPECT_EQ(hostkit::arg_text(host, 4), "first");

    standin::push_diag(state().statement, "42S02", 1146);
    hdr = command(host, ORV_CMD_LIST_SOURCES, slot,
                  {hostkit::buffer(8), hostkit::buffer(8)}, 99);
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "HY103");
}

// Storage is offered to the driver manager with its size, at most 32767
// bytes (its lengths are 16-bit); none at all when there is no storage.
TEST_F(ExecuteStandin, DataSourceBufferLengths) {
    std::vector<int> lengths;
    standin::hooks.SQLDataSources =
        [&lengths](SQLHENV env, SQLUSMALLINT dir, SQLCHAR* name, SQLSMALLINT l1,
                   SQLSMALLINT* o1, SQLCHAR* desc, SQLSMALLINT l2,
                   SQLSMALLINT* o2) {
            lengths = {name ? l1 : -1, desc ? l2 : -1};
            return standin::base::SQLDataSources(env, dir, name, l1, o1, desc,
                                                 l2, o2);
        };
    standin::script.data_sources = {{"alpha", "first"}};
    ArgSpec none = hostkit::buffer(16);
    none.null_data = true;
    command(host, ORV_CMD_LIST_SOURCES, slot, {hostkit::buffer(70000), none},
            SQL_FETCH_FIRST);
    EXPECT_EQ(lengths, (std::vector<int>{32767, -1}));
    command(host, ORV_CMD_LIST_SOURCES, slot,
            {hostkit::buffer(0), hostkit::buffer(65537)}, SQL_FETCH_FIRST);
    EXPECT_EQ(lengths, (std::vector<int>{-1, 32767}));
}

}  // namespace
