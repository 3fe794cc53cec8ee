// The diagnostics command (3) against real drivers: the message of the
// failure the previous command reported, read from the handle it came from.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testbed.h"

namespace {

using testbed::command;

class Diagnostics : public testbed::DriverTest {
  protected:
    // Command 3 on slot `s`, with `native_in` as the incoming native_error.
    CmdHdr diagnostics(int s, int32_t native_in = 0) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(s));
        hdr.native_error =
            static_cast<int32_t>(hostkit::swap_halves(native_in));
        hostkit::run(host, ORV_CMD_DIAGNOSTICS, hdr, {hostkit::buffer(4)});
        EXPECT_FALSE(host.bad_call_seen);
        return hdr;
    }
};

// After a failed statement the statement's record comes, twice alike,
// with the state and native code the failing command reported.
TEST_P(Diagnostics, MessageOfAFailedStatement) {
    CmdHdr failed = testbed::exec(host, slot, "SELECT * FROM fr_no_such_table");
    ASSERT_EQ(failed.status, ORV_ODBC_ERROR);
    ASSERT_NE(hostkit::sqlstate(failed), "?");
    std::string first;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        CmdHdr hdr = diagnostics(slot, 0x777);
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::sqlstate(hdr), hostkit::sqlstate(failed));
        EXPECT_EQ(hdr.native_error, failed.native_error);
        const auto put = hostkit::calls_of(host, PUT_STRING);
        ASSERT_EQ(put.size(), 1u);
        EXPECT_EQ(put[0].selector, 3);
        EXPECT_EQ(put[0].n, -1);
        const std::string message = hostkit::put_text(host, 3);
        EXPECT_NE(message.find("fr_no_such_table"), std::string::npos)
            << message;
        EXPECT_LE(message.size(), 239u);
        if (round == 0) first = message;
        EXPECT_EQ(message, first);
    }
    // A host may ask for the state and native code alone: without
    // argument 3 nothing is handed over, the header is filled all the same.
    host.arg_count_override = 2;
    CmdHdr hdr = diagnostics(slot, 0x777);
    host.arg_count_override = -1;
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), hostkit::sqlstate(failed));
    EXPECT_EQ(hdr.native_error, failed.native_error);
    EXPECT_TRUE(host.calls.size() == 1 && host.calls[0].selector == 1)
        << "only the command code is read";
}

// A handle without records: "?", no text, native_error as the host gave
// it, status 2.  A connected slot without a statement is read through its
// connection; slot 0 and numbers beyond the table through the environment.
TEST_P(Diagnostics, HandleWithoutRecords) {
    for (int s : {slot, 0, 11, 200}) {
        SCOPED_TRACE(s);
        CmdHdr hdr = diagnostics(s, 0x12345);
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::sqlstate(hdr), "?");
        EXPECT_EQ(hostkit::native_error(hdr), 0x12345);
        EXPECT_TRUE(hostkit::calls_of(host, PUT_STRING).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers, Diagnostics,
                         ::testing::ValuesIn(testbed::kAllSources),
                         testbed::SourceName());

// A slot whose connection failed has no statement: its connection's
// record is the one delivered.
class DiagnosticsConnection : public testbed::ConnectorTest {};

TEST_F(DiagnosticsConnection, RecordOfAFailedConnect) {
    REQUIRE_DSN("orv_pg");
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    const int slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
    ASSERT_NE(slot, 0);
    CmdHdr failed = command(
        host, ORV_CMD_CONNECT, slot,
        {hostkit::text("-host=orv_pg -user=" + testbed::user_of("orv_pg") +
                       " -pw=wrong-password")});
    ASSERT_EQ(failed.status, ORV_ODBC_ERROR);
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
    hostkit::run(host, ORV_CMD_DIAGNOSTICS, hdr, {hostkit::buffer(4)});
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), hostkit::sqlstate(failed));
    EXPECT_EQ(hdr.native_error, failed.native_error);
    EXPECT_NE(hostkit::put_text(host, 3).find("password"), std::string::npos)
        << hostkit::put_text(host, 3);
}

// Command 3 with ORV_DIAG_RECORD: each record of a failure in turn, with
// its own state and whole message, as each driver posts them.  A record
// is shown as "<sqlstate>:<text the message holds>"; the message must hold
// that text and, for a run of 'x', no longer run.
struct RecordCase {
    const char* dsn;
    std::string sql;
    int16_t status;  // of the statement
    std::vector<std::string> records;
};

std::string raise_x(int n) {
    return "DO $$ BEGIN RAISE EXCEPTION '%', repeat('x', " + std::to_string(n) +
           "); END $$";
}

const RecordCase kRecordCases[] = {
    {"orv_pg",
     "DO $$ BEGIN RAISE NOTICE 'one'; RAISE NOTICE 'two'; RAISE NOTICE "
     "'three'; RAISE EXCEPTION 'the cause'; END $$",
     2,
     {"P0001:the cause"}},
    {"orv_pg",
     "DO $$ BEGIN RAISE NOTICE 'one'; RAISE NOTICE 'two'; END $$",
     0,
     {}},
    {"orv_pg", raise_x(239), 2, {"P0001:239"}},
    {"orv_pg", raise_x(240), 2, {"P0001:240"}},
    {"orv_pg", raise_x(241), 2, {"P0001:241"}},
    {"orv_pg", raise_x(1000), 2, {"P0001:1000"}},
    {"orv_maria",
     "SELECT * FROM fr_no_such_table",
     2,
     {"42S02:fr_no_such_table"}},
    {"orv_sqlite",
     "SELECT * FROM fr_no_such_table",
     2,
     {"HY000:fr_no_such_table"}},
};

class DiagnosticRecords : public testbed::RowTest<RecordCase> {};

TEST_P(DiagnosticRecords, EveryRecordWhole) {
    const RecordCase& c = GetParam();
    SCOPED_TRACE(c.sql);
    CmdHdr failed = testbed::exec(host, slot, c.sql);
    ASSERT_EQ(failed.status, c.status);
    const int records = static_cast<int>(c.records.size());
    for (int n = 1; n <= records + 1; ++n) {
        SCOPED_TRACE(n);
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot),
                                     static_cast<int16_t>(ORV_DIAG_RECORD | n));
        hdr.native_error = static_cast<int32_t>(hostkit::swap_halves(0x777));
        hostkit::run(host, ORV_CMD_DIAGNOSTICS, hdr, {hostkit::buffer(4)});
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::count(hdr), records);
        const std::string text = hostkit::put_text(host, 3);
        if (n > records) {
            // Past the count: "?", no text, native_error untouched.
            EXPECT_EQ(hostkit::sqlstate(hdr), "?");
            EXPECT_TRUE(hostkit::calls_of(host, PUT_STRING).empty());
            EXPECT_EQ(hostkit::native_error(hdr), 0x777);
            continue;
        }
        const std::string& want = c.records[static_cast<std::size_t>(n - 1)];
        EXPECT_EQ(hostkit::sqlstate(hdr), want.substr(0, 5));
        std::string held = want.substr(6);
        if (held[0] >= '0' && held[0] <= '9') {
            const std::size_t x = std::stoul(held);
            EXPECT_NE(text.find(std::string(x, 'x')), std::string::npos)
                << text.size();
            EXPECT_EQ(text.find(std::string(x + 1, 'x')), std::string::npos);
        } else {
            EXPECT_NE(text.find(held), std::string::npos) << text;
        }
        if (n == 1) {
            // Record 1 is the one the failing command reported.
            EXPECT_EQ(hdr.native_error, failed.native_error);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DiagnosticRecords,
                         ::testing::ValuesIn(kRecordCases), testbed::RowName());

}  // namespace
