// The diagnostics command (3) through the scripted ODBC stand-in: which
// handle it reads, a message longer than its buffer, a failing read.
#include <gtest/gtest.h>

#include <string>

#include "conn/slots.h"
#include "memory.h"
#include "standin.h"
#include "standin_fixture.h"
#include "testbed.h"

namespace {

using testbed::command;

class DiagCommandStandin : public testbed::StandinTest {
  protected:
    // Slot 1 connected with a statement, slot 2 connected without one.
    void open_two() {
        for (int slot : {1, 2}) ASSERT_EQ(connect_slot(), slot);
        ASSERT_TRUE(SQL_SUCCEEDED(orv::ensure_statement(*orv::slot_at(1))));
    }

    CmdHdr diagnostics(int slot, int32_t native_in = 0) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
        hdr.native_error =
            static_cast<int32_t>(hostkit::swap_halves(native_in));
        hostkit::run(host, ORV_CMD_DIAGNOSTICS, hdr, {hostkit::buffer(4)});
        return hdr;
    }
};

// The record is read from the most specific handle the named slot has:
// its statement, else its connection, else the environment.
TEST_F(DiagCommandStandin, ReadsTheMostSpecificHandle) {
    open_two();
    struct Case {
        int slot;
        SQLSMALLINT type;
        SQLHANDLE handle;
        const char* state;
    };
    const Case cases[] = {
        {1, SQL_HANDLE_STMT, orv::slot_at(1)->statement, "42S02"},
        {2, SQL_HANDLE_DBC, orv::slot_at(2)->connection, "08S01"},
        {3, SQL_HANDLE_ENV, orv::env_handle(), "HY001"},   // free slot
        {0, SQL_HANDLE_ENV, orv::env_handle(), "HY013"},   // no slot
        {11, SQL_HANDLE_ENV, orv::env_handle(), "HY014"},  // beyond the table
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.slot);
        standin::push_diag(c.handle, c.state, 42,
                           std::string("msg ") + c.state);
        CmdHdr hdr = diagnostics(c.slot);
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.state);
        EXPECT_EQ(hostkit::native_error(hdr), 42);
        EXPECT_EQ(hostkit::put_text(host, 3), std::string("msg ") + c.state);
        const auto put = hostkit::calls_of(host, PUT_STRING);
        ASSERT_EQ(put.size(), 1u);
        EXPECT_EQ(put[0].selector, 3);
        EXPECT_EQ(put[0].n, -1);
        const standin::LogEntry diag =
            standin::calls_to("SQLGetDiagRec").back();
        EXPECT_EQ(diag.handle, c.handle);
        EXPECT_EQ(diag.args, (std::vector<std::string>{std::to_string(c.type),
                                                       "1", "240"}));
        // The record stays: the same one comes again.
        EXPECT_EQ(hostkit::sqlstate(diagnostics(c.slot)), c.state);
        standin::reset();
    }
}

TEST_F(DiagCommandStandin, LongMessageArrivesCutTo239Characters) {
    open_two();
    std::string message;
    for (int i = 0; message.size() < 300; ++i)
        message += std::to_string(i % 10);
    standin::push_diag(orv::slot_at(1)->statement, "HY000", 7, message);
    CmdHdr hdr = diagnostics(1);
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "HY000");
    EXPECT_EQ(hostkit::put_text(host, 3), message.substr(0, 239));
}

// No record, or a failing read: "?", native_error as the host passed it,
// nothing delivered, status 2.
TEST_F(DiagCommandStandin, NoRecordGivesQuestionMark) {
    open_two();
    struct Case {
        const char* what;
        SQLRETURN rc;  // what SQLGetDiagRec answers; 0 = the default
    };
    const Case cases[] = {
        {"no record", 0},
        {"failing read", SQL_ERROR},
        {"invalid handle", SQL_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        standin::reset();
        if (c.rc != 0)
            standin::hooks.SQLGetDiagRec =
                [rc = c.rc](SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLCHAR*,
                            SQLINTEGER*, SQLCHAR*, SQLSMALLINT,
                            SQLSMALLINT*) { return rc; };
        CmdHdr hdr = diagnostics(1, 0x12345);
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::sqlstate(hdr), "?");
        EXPECT_EQ(hostkit::native_error(hdr), 0x12345);
        EXPECT_TRUE(hostkit::calls_of(host, PUT_STRING).empty());
    }
}

// With ORV_DIAG_RECORD: the records of a handle in order, each whole
// (no driver of the test bed posts more than one record per failure), the
// count of them, and numbers outside it.
TEST_F(DiagCommandStandin, EachRecordByNumber) {
    open_two();
    const std::string long_text(5000, 'm');
    const SQLHANDLE stmt = orv::slot_at(1)->statement;
    struct Case {
        int number;
        const char* state;  // "?" for none
        int32_t native;
        std::string text;
    };
    const Case cases[] = {
        {1, "01000", 1, "notice one"}, {2, "01000", 2, "notice two"},
        {3, "23505", 3, long_text},    {4, "?", 0x777, ""},
        {0, "?", 0x777, ""},           {255, "?", 0x777, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        standin::reset();
        standin::push_diag(stmt, "01000", 1, "notice one");
        standin::push_diag(stmt, "01000", 2, "notice two");
        standin::push_diag(stmt, "23505", 3, long_text);
        CmdHdr hdr = hostkit::header(
            1, static_cast<int16_t>(ORV_DIAG_RECORD | c.number));
        hdr.native_error = static_cast<int32_t>(hostkit::swap_halves(0x777));
        hostkit::run(host, ORV_CMD_DIAGNOSTICS, hdr, {hostkit::buffer(4)});
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        EXPECT_EQ(hostkit::count(hdr), 3);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.state);
        EXPECT_EQ(hostkit::native_error(hdr), c.native);
        EXPECT_EQ(hostkit::put_text(host, 3), c.text);
        EXPECT_EQ(hostkit::calls_of(host, PUT_STRING).size(),
                  c.text.empty() ? 0u : 1u);
    }
    // The memory for the message cannot be had: status 8, nothing cut.
    orv::orv_fail_allocation(1);
    CmdHdr hdr = hostkit::header(1, ORV_DIAG_RECORD | 1);
    hostkit::run(host, ORV_CMD_DIAGNOSTICS, hdr, {hostkit::buffer(4)});
    orv::orv_fail_allocation(0);
    EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
    EXPECT_TRUE(hostkit::calls_of(host, PUT_STRING).empty());
}

}  // namespace
