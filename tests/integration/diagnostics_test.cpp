// The diagnostics command (3) against real drivers: the message of the
// failure the previous command reported, read from the handle it came from.
#include <gtest/gtest.h>

#include <string>

#include "testbed.h"

namespace {

using testbed::command;

class Diagnostics : public testbed::ConnectorTest,
                    public ::testing::WithParamInterface<const char*> {
  protected:
    // Command 3 on `slot`, with `native_in` as the incoming native_error.
    CmdHdr diagnostics(int slot, int32_t native_in = 0) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
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
    REQUIRE_DSN(GetParam());
    const int slot = testbed::connect(host, GetParam());
    ASSERT_NE(slot, 0);
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
    REQUIRE_DSN(GetParam());
    const int slot = testbed::connect(host, GetParam());
    ASSERT_NE(slot, 0);
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

}  // namespace
