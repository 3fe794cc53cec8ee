// Command 22 over the scripted stand-in: what the driver is handed (types,
// sizes, lengths), when the text is prepared again, the attributes put
// back, and the row outcomes no real driver shows on demand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "memory.h"
#include "standin.h"
#include "standin_fixture.h"
#include "testbed.h"

namespace {

using hostkit::ArgSpec;
using testbed::command;

class ParamsStandin : public testbed::StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        slot = testbed::connect(host, "standin");
        ASSERT_NE(slot, 0);
    }
    CmdHdr run22(std::string_view sql, std::vector<ArgSpec> values,
                 int32_t rows = 0) {
        return testbed::execute_params(host, slot, sql, std::move(values),
                                       rows);
    }
    SQLHSTMT statement() { return orv::slot_at(slot)->statement; }
    // A clean script for the next case; the stand-in forgets prepared
    // texts with it, so the slot must too.
    void fresh_script() {
        standin::reset();
        orv::forget_prepared(*orv::slot_at(slot));
    }
    SQLULEN attribute(SQLINTEGER a) {
        SQLULEN v = 0;
        SQLGetStmtAttr(statement(), a, &v, sizeof v, nullptr);
        return v;
    }
    int slot = 0;
};

ArgSpec raw(int16_t type, std::vector<uint8_t> bytes) {
    ArgSpec a = hostkit::buffer(static_cast<uint32_t>(bytes.size()), type);
    a.bytes = std::move(bytes);
    return a;
}

// What one value argument makes of the binding: its logged
// SQLBindParameter arguments after the number (C type, SQL type, column
// size, digits, buffer length) and the value the driver read.
struct BindCase {
    const char* name;
    ArgSpec value;
    std::vector<std::string> bind;
    std::optional<std::string> read;
};

TEST_F(ParamsStandin, ValuesBoundByHostType) {
    const std::string c = std::to_string(SQL_C_CHAR),
                      varchar = std::to_string(SQL_VARCHAR);
    const BindCase cases[] = {
        {"text stops at its zero byte",
         raw(2, {'a', 'b', 0, 'z'}),
         {c, varchar, "2", "0", "4"},
         "ab"},
        {"text without a zero byte is its whole size",
         raw(2, {'a', 'b'}),
         {c, varchar, "2", "0", "2"},
         "ab"},
        {"empty text is not NULL",
         hostkit::text(""),
         {c, varchar, "1", "0", "1"},
         ""},
        {"number text: precision and scale",
         raw(4, {'-', '1', '2', '.', '5', '0', 0}),
         {c, std::to_string(SQL_NUMERIC), "4", "2", "7"},
         "-12.50"},
        {"number with exponent",
         raw(4, {'1', 'e', '5', 0}),
         {c, std::to_string(SQL_DOUBLE), "15", "0", "4"},
         "1e5"},
        {"signed integer",
         hostkit::integer(-7),
         {std::to_string(SQL_C_SBIGINT), std::to_string(SQL_BIGINT), "19", "0",
          "8"},
         "-7"},
        {"unsigned integer",
         hostkit::integer(-1, 6),
         {std::to_string(SQL_C_SBIGINT), std::to_string(SQL_BIGINT), "19", "0",
          "8"},
         "4294967295"},
        {"bytes, all of them",
         raw(1, {0, 0xFA, 0xFB, 0xFF}),
         {std::to_string(SQL_C_BINARY), std::to_string(SQL_VARBINARY), "4", "0",
          "4"},
         std::string("\0\xFA\xFB\xFF", 4)},
        {"NULL by ARG_NULL, storage unread",
         hostkit::buffer(0, 2 | ARG_NULL),
         {c, varchar, "1", "0", "0"},
         std::nullopt},
    };
    for (const BindCase& k : cases) {
        SCOPED_TRACE(k.name);
        fresh_script();
        CmdHdr hdr = run22("INSERT INTO t VALUES (?)", {k.value});
        ASSERT_EQ(hdr.status, ORV_OK);
        std::vector<standin::LogEntry> binds =
            standin::calls_to("SQLBindParameter");
        ASSERT_EQ(binds.size(), 1u);
        EXPECT_EQ(std::vector<std::string>(binds[0].args.begin() + 1,
                                           binds[0].args.end()),
                  k.bind);
        ASSERT_EQ(standin::executed_rows.size(), 1u);
        EXPECT_EQ(standin::executed_rows[0][0], k.read);
    }
}

TEST_F(ParamsStandin, PreparedOnceUntilForgotten) {
    // Each step, and the SQLPrepare calls made by then.
    struct Step {
        const char* what;
        int code;  // 22, or the command that comes between
        int16_t subcode;
        const char* sql;
        std::size_t prepares;
    };
    const Step steps[] = {
        {"first run", 22, 0, "SELECT ?", 1},
        {"same text", 22, 0, "SELECT ?", 1},
        {"cursor closed", ORV_CMD_RESET_STATEMENT, 0, nullptr, 1},
        {"still prepared", 22, 0, "SELECT ?", 1},
        {"other text", 22, 0, "SELECT ? ", 2},
        {"command 9", ORV_CMD_EXECUTE, 0, "SELECT 1", 2},
        {"after 9", 22, 0, "SELECT ? ", 3},
        {"statement freed", ORV_CMD_RESET_STATEMENT, 1, nullptr, 3},
        {"after the free", 22, 0, "SELECT ? ", 4},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.code == 22) {
            EXPECT_EQ(run22(s.sql, {hostkit::integer(1)}).status, ORV_OK);
        } else {
            std::vector<ArgSpec> args;
            if (s.sql != nullptr) args.push_back(hostkit::text(s.sql));
            command(host, s.code, slot, args, s.subcode);
        }
        EXPECT_EQ(standin::calls_to("SQLPrepare").size(), s.prepares);
    }
}

TEST_F(ParamsStandin, MismatchesAndShapesRunNothing) {
    ArgSpec array = hostkit::array(4, 2, 8 | ARG_ARRAY);
    EXPECT_EQ(
        run22("INSERT INTO t VALUES (?, ?)", {hostkit::integer(1)}).status,
        ORV_MISSING_ARG);
    EXPECT_EQ(run22("INSERT INTO t VALUES (?)",
                    {hostkit::integer(1), hostkit::integer(2)})
                  .status,
              ORV_MISSING_ARG);
    EXPECT_EQ(
        run22("INSERT INTO t VALUES (?, ?)", {array, hostkit::integer(2)}, 2)
            .status,
        ORV_MISSING_ARG);
    EXPECT_EQ(run22("INSERT INTO t VALUES (?)", {array}, -1).status,
              ORV_MISSING_ARG);
    EXPECT_EQ(run22("INSERT INTO t VALUES (?)", {array}, 0x800000).status,
              ORV_MISSING_ARG);
    CmdHdr hdr = run22("INSERT INTO t VALUES (?)", {array}, 0);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::count(hdr), 0);
    EXPECT_TRUE(standin::calls_to("SQLExecute").empty());
}

// Three rows of one integer array, 10, 11, 12.
ArgSpec three_rows() {
    ArgSpec a = hostkit::array(4, 3, 8 | ARG_ARRAY);
    a.bytes = {10, 0, 0, 0, 11, 0, 0, 0, 12, 0, 0, 0};
    return a;
}

TEST_F(ParamsStandin, ArraysRunAsOneSetAndPutAttributesBack) {
    ASSERT_TRUE(SQL_SUCCEEDED(orv::ensure_statement(*orv::slot_at(slot))));
    SQLLEN offset = 0;
    SQLSetStmtAttr(statement(), SQL_ATTR_PARAM_BIND_OFFSET_PTR, &offset, 0);
    CmdHdr hdr = run22("INSERT INTO t VALUES (?)", {three_rows()}, 3);
    ASSERT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::count(hdr), 3);
    EXPECT_EQ(hdr.number, 3.0);
    EXPECT_EQ(standin::calls_to("SQLExecute").size(), 1u);
    ASSERT_EQ(standin::executed_rows.size(), 3u);
    EXPECT_EQ(standin::executed_rows[2][0], "12");
    EXPECT_EQ(attribute(SQL_ATTR_PARAMSET_SIZE), 1u);
    EXPECT_EQ(attribute(SQL_ATTR_PARAM_STATUS_PTR), 0u);
    EXPECT_EQ(attribute(SQL_ATTR_PARAMS_PROCESSED_PTR), 0u);
    EXPECT_EQ(attribute(SQL_ATTR_PARAM_BIND_OFFSET_PTR),
              reinterpret_cast<SQLULEN>(&offset));
    EXPECT_EQ(standin::calls_to("SQLFreeStmt").back().args[0],
              std::to_string(SQL_RESET_PARAMS));
}

// `rows` texts "v0", "v1", ... (below a million rows) in 8-byte elements.
ArgSpec text_rows(uint32_t rows) {
    ArgSpec a = hostkit::array(8, rows, 2 | ARG_ARRAY);
    a.bytes.assign(std::size_t{8} * rows, 0);
    for (uint32_t r = 0; r < rows; ++r) {
        std::string v = "v";
        v += std::to_string(r % 1000000);
        std::memcpy(&a.bytes[8 * r], v.data(), v.size());
    }
    return a;
}

// Batches of a load, smaller and larger than the block the slot keeps for
// them: every row arrives as the host gave it, and a batch no larger than
// one before it takes no memory.
TEST_F(ParamsStandin, BatchesReuseTheSlotsWorkBlock) {
    const std::vector<uint32_t> batches{3, 1000, 1, 70000, 1000, 3};
    long allocations = 0;
    for (std::size_t k = 0; k < batches.size(); ++k) {
        const uint32_t rows = batches[k];
        fresh_script();
        run22("INSERT INTO t VALUES (?)", {text_rows(1)}, 1);  // prepared
        const long before = orv::orv_allocation_count();
        CmdHdr hdr = run22("INSERT INTO t VALUES (?)", {text_rows(rows)},
                           static_cast<int32_t>(rows));
        ASSERT_EQ(hdr.status, ORV_OK) << "batch " << k;
        EXPECT_EQ(hostkit::count(hdr), static_cast<int32_t>(rows));
        ASSERT_EQ(standin::executed_rows.size(), rows + 1);
        std::string last = "v";
        last += std::to_string(rows - 1);
        EXPECT_EQ(standin::executed_rows.back()[0], last);
        if (k >= 4) allocations += orv::orv_allocation_count() - before;
    }
    EXPECT_EQ(allocations, 0);
}

// Row statuses a driver might write, and what command 22 reports: its
// native_error (the failing row) and count (rows done).
struct RowCase {
    const char* name;
    std::vector<SQLUSMALLINT> status;
    int32_t failing_row;
    int32_t done;
    std::size_t executions;  // SQLExecute calls, retries included
};

TEST_F(ParamsStandin, FailingRowsAsTheStatusArraySays) {
    const SQLUSMALLINT ok = SQL_PARAM_SUCCESS, bad = SQL_PARAM_ERROR,
                       unused = SQL_PARAM_UNUSED;
    const RowCase cases[] = {
        {"one row marked failed", {ok, bad, unused}, 2, 1, 1},
        {"a failed batch runs again row by row", {ok, bad, bad}, 3, 2, 3},
    };
    for (const RowCase& k : cases) {
        SCOPED_TRACE(k.name);
        fresh_script();
        int calls = 0;
        standin::hooks.SQLExecute = [&](SQLHSTMT st, SQLRETURN) {
            SQLPOINTER p = nullptr;
            SQLGetStmtAttr(st, SQL_ATTR_PARAM_STATUS_PTR, &p, 0, nullptr);
            const SQLULEN rows = attribute(SQL_ATTR_PARAMSET_SIZE);
            ++calls;
            if (rows == 1) {  // a retry: the second row fails
                if (calls != 3) return SQL_SUCCESS;
                standin::push_diag(st, "23000", 7, "duplicate");
                return SQL_ERROR;
            }
            std::memcpy(p, k.status.data(), 3 * sizeof(SQLUSMALLINT));
            standin::push_diag(st, "23000", 7, "duplicate");
            return SQL_ERROR;
        };
        CmdHdr hdr = run22("INSERT INTO t VALUES (?)", {three_rows()}, 3);
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::native_error(hdr), k.failing_row);
        EXPECT_EQ(hostkit::count(hdr), k.done);
        EXPECT_EQ(hostkit::sqlstate(hdr), "23000");
        EXPECT_EQ(standin::calls_to("SQLExecute").size(), k.executions);
        EXPECT_EQ(testbed::last_message(host, slot), "duplicate");
    }
}

}  // namespace
