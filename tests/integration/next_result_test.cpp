// Command 20 against the test bed's drivers: statements and procedures
// that give several results, each read in turn, as each driver answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testbed.h"

namespace {

using testbed::command;

// One statement and what the host sees of each of its results: "c=<column
// count> n=<row count>" and the first row's values, then "end" after the
// last (status 0, count 0, native_error 100), or "error <sqlstate>".
struct NextCase {
    const char* dsn;
    const char* setup;  // run first when not empty (its failure is ignored)
    const char* sql;
    std::vector<std::string> results;
};

const char kTwoSelects[] = "SELECT 1 AS a; SELECT 'x' AS b, 2 AS c";
const char kInsertSelect[] =
    "INSERT INTO orv_next (id) VALUES (7); SELECT id FROM orv_next";

const NextCase kCases[] = {
    {"orv_pg", "", kTwoSelects, {"c=1 n=1 [1]", "c=2 n=1 [x|2]", "end"}},
    {"orv_pg",
     "CREATE TEMP TABLE orv_next (id INT)",
     kInsertSelect,
     {"c=0 n=1", "c=1 n=1 [7]", "end"}},
    // A lone SELECT through the streaming cursor has no row count yet.
    {"orv_pg", "", "SELECT 1 AS a", {"c=1 n=-1 [1]", "end"}},
    // Without the MULTI_STATEMENTS option the server refuses the text.
    {"orv_maria", "", kTwoSelects, {"error 42000"}},
    {"orv_maria",
     "CREATE OR REPLACE PROCEDURE orv_two() BEGIN SELECT 1 AS a; "
     "SELECT 'x' AS b, 2 AS c; END",
     // The procedure's own status comes last, as a result without columns.
     "CALL orv_two()",
     {"c=1 n=1 [1]", "c=2 n=0 [x|2]", "c=0 n=0", "end"}},
    {"orv_maria", "", "SELECT 1 AS a", {"c=1 n=1 [1]", "end"}},
    // SQLite's driver refuses a text of several statements.
    {"orv_sqlite", "", kTwoSelects, {"error HY000"}},
    {"orv_sqlite", "", "SELECT 1 AS a", {"c=1 n=0 [1]", "end"}},
};

class NextResult : public testbed::RowTest<NextCase> {
  protected:
    // The shape of the result a command 9 or 20 just reported, with its
    // first row's values.
    std::string shape(int slot, const CmdHdr& hdr) {
        const int columns = hostkit::count(hdr);
        char head[64];
        std::snprintf(head, sizeof head, "c=%d n=%g", columns, hdr.number);
        std::string s = head;
        if (columns <= 0) return s;
        std::vector<hostkit::ArgSpec> args(static_cast<std::size_t>(columns),
                                           hostkit::buffer(64));
        CmdHdr row = command(host, ORV_CMD_FETCH_ROW, slot, args);
        if (row.status != ORV_OK) return s + " fetch " + hostkit::sqlstate(row);
        s += " [";
        for (int i = 0; i < columns; ++i) {
            if (i > 0) s += '|';
            s += hostkit::arg_text(host, 3 + i);
        }
        return s + "]";
    }
    // Every result of `sql` on the slot, in turn.
    std::vector<std::string> results(int slot, const char* sql) {
        std::vector<std::string> seen;
        CmdHdr hdr = testbed::exec(host, slot, sql);
        for (int n = 0; n < 8; ++n) {
            if (hdr.status != ORV_OK) {
                seen.push_back("error " + hostkit::sqlstate(hdr));
                break;
            }
            if (n > 0 && hostkit::count(hdr) == 0 &&
                hostkit::native_error(hdr) == 100) {
                seen.push_back("end");
                break;
            }
            seen.push_back(shape(slot, hdr));
            hdr = command(host, ORV_CMD_NEXT_RESULT, slot);
        }
        return seen;
    }
};

TEST_P(NextResult, EachResultInTurnThenTheSlotGoesOn) {
    const NextCase& c = GetParam();
    SCOPED_TRACE(c.sql);
    if (c.setup[0] != 0) testbed::exec(host, slot, c.setup);
    EXPECT_EQ(results(slot, c.sql), c.results);
    // The slot's next statement runs, whatever stayed pending.
    testbed::exec_ok(host, slot, "SELECT 5");
}

INSTANTIATE_TEST_SUITE_P(Rows, NextResult, ::testing::ValuesIn(kCases),
                         testbed::RowName());

class NextResultSqlite : public testbed::ConnectorTest {};

TEST_F(NextResultSqlite, NeedsAStatement) {
    REQUIRE_DSN("orv_sqlite");
    const int slot = testbed::connect(host, "orv_sqlite");
    EXPECT_EQ(command(host, ORV_CMD_NEXT_RESULT, slot).status,
              ORV_NO_STATEMENT);
}

}  // namespace
