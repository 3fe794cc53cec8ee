// Commands 14 to 17 through the scripted ODBC stand-in: which numbers reach
// the driver and how, the width of the values a get reads, the zero rule,
// driver answers no test bed driver gives, and statement creation.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "standin.h"
#include "standin_fixture.h"
#include "testbed.h"

namespace {

using hostkit::ArgSpec;
using testbed::command;
using Args = std::vector<std::string>;

constexpr bool kWide = sizeof(void*) > 4;  // pointers and SQLULEN: 8 bytes

class AttributesStandin : public testbed::StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        ASSERT_EQ(connect_slot(), 1);
    }
    // Commands 14 and 15 take the number from `param`, 16 and 17 from
    // `subcode`.
    CmdHdr run(int32_t code, int32_t number, std::vector<ArgSpec> args) {
        CmdHdr hdr = hostkit::header(1);
        if (code <= ORV_CMD_SET_CONN_ATTR)
            hostkit::set_param_plain(hdr, number);
        else
            hdr.subcode = static_cast<int16_t>(number);
        hostkit::run(host, code, hdr, std::move(args));
        return hdr;
    }
    std::optional<int64_t> delivered() const {
        auto it = host.put_ints.find(3);
        if (it == host.put_ints.end()) return std::nullopt;
        return it->second;
    }
    // GET_INT and GET_STRING calls on argument 3.
    std::size_t reads() const {
        return hostkit::calls_of(host, GET_INT).size() - 1 +  // 1: the code
               hostkit::calls_of(host, GET_STRING).size();
    }
    SQLHSTMT statement() const { return orv::slot_at(1)->statement; }
};

SQLRETURN accept_conn(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER) {
    return SQL_SUCCESS;
}
SQLRETURN accept_stmt(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER) {
    return SQL_SUCCESS;
}

// Each connection number reaches the driver with its kind's value and
// length; every other number ends with 11 before anything is read.
TEST_F(AttributesStandin, ConnectionTable) {
    for (int32_t n = -1; n <= 10015; ++n) {
        const bool text = n == 105 || n == 106 || n == 109;
        const bool integer = n == 4 || (n >= 101 && n <= 113 && !text) ||
                             n == 1209 || n == 10014;
        if (!text && !integer && n > 120 && n != 1207 && n != 10001 &&
            n < 10013)
            continue;  // a sample of the unsupported numbers is enough
        SCOPED_TRACE(n);
        standin::reset();
        standin::hooks.SQLSetConnectAttr = accept_conn;
        CmdHdr hdr =
            run(ORV_CMD_SET_CONN_ATTR, n,
                {text ? hostkit::text("orvtest") : hostkit::integer(7)});
        auto calls = standin::calls_to("SQLSetConnectAttr");
        if (!text && !integer) {
            EXPECT_EQ(hdr.status, ORV_UNSUPPORTED);
            EXPECT_TRUE(standin::log().empty());
            EXPECT_EQ(reads(), 0u);
            continue;
        }
        EXPECT_EQ(hdr.status, ORV_OK);
        ASSERT_EQ(calls.size(), 1u);
        const std::string number = std::to_string(n);
        const Args expected =
            text ? Args{number, "orvtest", "-3"} : Args{number, "7", "-5"};
        EXPECT_EQ(calls[0].args, expected);
    }
}

// A get passes the size of argument 3 as buffer length (240 for text) and
// delivers -99 for a text attribute; an empty text is still set.
TEST_F(AttributesStandin, ConnectionBufferLengthsAndText) {
    ArgSpec wide = hostkit::integer(1);
    wide.size = 16;
    run(ORV_CMD_GET_CONN_ATTR, SQL_ATTR_TXN_ISOLATION, {wide});
    EXPECT_EQ(standin::calls_to("SQLGetConnectAttr")[0].args,
              (Args{"108", "16"}));
    EXPECT_EQ(delivered(), SQL_TXN_READ_COMMITTED);

    EXPECT_EQ(run(ORV_CMD_GET_CONN_ATTR, 109, {hostkit::integer(1)}).status,
              ORV_OK);
    EXPECT_EQ(standin::calls_to("SQLGetConnectAttr")[1].args,
              (Args{"109", "240"}));
    EXPECT_EQ(delivered(), -99);

    EXPECT_EQ(run(ORV_CMD_SET_CONN_ATTR, 109, {hostkit::text("")}).status,
              ORV_OK);
    EXPECT_EQ(standin::calls_to("SQLSetConnectAttr")[0].args,
              (Args{"109", "", "-3"}));
}

// The width mend.  A 32-bit attribute arrives sign-extended; an SQLULEN or
// a pointer whole.  A driver writing a full SQLULEN into a 32-bit attribute
// stays inside the connector's storage (the sanitizer build checks).
TEST_F(AttributesStandin, ConnectionGetReadsEachWidth) {
    standin::hooks.SQLGetConnectAttr = [](SQLHDBC, SQLINTEGER attr,
                                          SQLPOINTER value, SQLINTEGER,
                                          SQLINTEGER*) {
        uint64_t v = 0;
        if (attr == SQL_ATTR_ODBC_CURSORS || attr == SQL_ATTR_ASYNC_ENABLE ||
            attr == SQL_ATTR_QUIET_MODE)
            v = kWide ? 0x100000002ull : 2;
        else if (attr == SQL_ATTR_AUTOCOMMIT)
            v = 0x00000007'FFFFFFFEull;  // more than 32 bits written
        else
            v = 0xFFFFFFFEu;
        std::memcpy(value, &v,
                    attr == SQL_ATTR_PACKET_SIZE ? 4 : sizeof(SQLULEN));
        return SQL_SUCCESS;
    };
    const std::pair<int32_t, int64_t> cases[] = {
        {SQL_ATTR_PACKET_SIZE, -2},
        {SQL_ATTR_AUTOCOMMIT, -2},
        {SQL_ATTR_ODBC_CURSORS, kWide ? 0x100000002ll : 2},
        {SQL_ATTR_ASYNC_ENABLE, kWide ? 0x100000002ll : 2},
        {SQL_ATTR_QUIET_MODE, kWide ? 0x100000002ll : 2},
    };
    for (const auto& [number, expected] : cases) {
        SCOPED_TRACE(number);
        EXPECT_EQ(
            run(ORV_CMD_GET_CONN_ATTR, number, {hostkit::integer(1)}).status,
            ORV_OK);
        EXPECT_EQ(delivered(), expected);
    }
}

// Per statement number: 'p' passed on, 'u' unsupported (11), 'r' refused
// (15), 'a' an address (passed on where a host value can hold one, else
// refused before anything is read), '1' a size that may only be set to 1
// (the value 9 used here is read, then refused with 15).  Get and set, from
// -3 to 28 and around the descriptor range.
struct StmtCase {
    int16_t number;
    char get, set;
};
const StmtCase kStmtCases[] = {
    {-3, 'u', 'u'},    {-2, 'p', 'p'},    {-1, 'p', 'p'},    {0, 'p', 'p'},
    {1, 'p', 'p'},     {2, 'p', 'p'},     {3, 'p', 'p'},     {4, 'p', 'p'},
    {5, 'p', 'p'},     {6, 'p', 'p'},     {7, 'p', 'p'},     {8, 'p', 'p'},
    {9, 'u', 'u'},     {10, 'p', 'p'},    {11, 'p', 'p'},    {12, 'p', 'p'},
    {13, 'u', 'u'},    {14, 'p', 'u'},    {15, 'p', 'p'},    {16, 'p', 'a'},
    {17, 'p', 'a'},    {18, 'p', 'p'},    {19, 'r', 'r'},    {20, 'r', 'r'},
    {21, 'p', 'a'},    {22, 'p', '1'},    {23, 'p', 'a'},    {24, 'p', 'a'},
    {25, 'r', 'r'},    {26, 'u', 'u'},    {27, 'p', '1'},    {28, 'u', 'u'},
    {10009, 'u', 'u'}, {10010, 'r', 'r'}, {10011, 'r', 'r'}, {10012, 'r', 'r'},
    {10013, 'r', 'r'}, {10014, 'p', 'p'}, {10015, 'u', 'u'}, {-32768, 'u', 'u'},
};

TEST_F(AttributesStandin, StatementTable) {
    for (const StmtCase& c : kStmtCases) {
        for (int32_t code : {ORV_CMD_GET_STMT_ATTR, ORV_CMD_SET_STMT_ATTR}) {
            SCOPED_TRACE(testing::Message() << code << "/" << c.number);
            standin::reset();
            standin::hooks.SQLSetStmtAttr = accept_stmt;
            char e = code == ORV_CMD_GET_STMT_ATTR ? c.get : c.set;
            if (e == 'a' && kWide) e = 'r';
            CmdHdr hdr = run(code, c.number, {hostkit::integer(9)});
            auto calls = standin::calls_to(code == ORV_CMD_GET_STMT_ATTR
                                               ? "SQLGetStmtAttr"
                                               : "SQLSetStmtAttr");
            if (e == 'u' || e == 'r') {
                EXPECT_EQ(hdr.status, e == 'r' ? 15 : 11);
                EXPECT_TRUE(calls.empty());
                EXPECT_EQ(reads(), 0u);
                continue;
            }
            if (e == '1') {
                EXPECT_EQ(hdr.status, ORV_REFUSED);
                EXPECT_TRUE(calls.empty());
                EXPECT_EQ(reads(), 1u);
                continue;
            }
            EXPECT_EQ(hdr.status, ORV_OK);
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].handle, statement());
            const std::string n = std::to_string(c.number);
            const Args expected = code == ORV_CMD_GET_STMT_ATTR ? Args{n, "4"}
                                  : e == 'a' ? Args{n, "9", "-4"}
                                             : Args{n, "9", "-5"};
            EXPECT_EQ(calls[0].args, expected);
            EXPECT_EQ(delivered().has_value(), code == ORV_CMD_GET_STMT_ATTR);
        }
    }
}

// The width mend for statements: an SQLULEN written whole (0x1_0000_0005)
// arrives whole through PUT_INT's halves; an address too.  A driver that
// writes only 32 bits, or nothing, leaves the rest zero.
TEST_F(AttributesStandin, StatementGetReadsTheWholeSqlulen) {
    static SQLULEN target = 0;
    standin::hooks.SQLGetStmtAttr = [](SQLHSTMT, SQLINTEGER attr,
                                       SQLPOINTER value, SQLINTEGER,
                                       SQLINTEGER*) {
        if (attr == SQL_ATTR_ROW_BIND_OFFSET_PTR) {
            SQLPOINTER p = &target;
            std::memcpy(value, &p, sizeof p);
        } else if (attr == SQL_ATTR_CURSOR_TYPE) {
            SQLUINTEGER v = SQL_CURSOR_STATIC;
            std::memcpy(value, &v, sizeof v);
        } else if (attr != SQL_ATTR_ROW_NUMBER) {
            SQLULEN v = static_cast<SQLULEN>(0x100000005ull);
            std::memcpy(value, &v, sizeof v);
        }
        return SQL_SUCCESS;
    };
    for (int16_t n : {SQL_ATTR_QUERY_TIMEOUT, SQL_ATTR_MAX_ROWS,
                      SQL_ATTR_MAX_LENGTH, SQL_ATTR_KEYSET_SIZE,
                      SQL_ATTR_ROW_ARRAY_SIZE, SQL_ATTR_CONCURRENCY}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(run(ORV_CMD_GET_STMT_ATTR, n, {hostkit::integer(1)}).status,
                  ORV_OK);
        const auto put = hostkit::calls_of(host, PUT_INT);
        ASSERT_EQ(put.size(), 1u);
        EXPECT_EQ(put[0].selector, 3);
        EXPECT_EQ(put[0].a, 5);
        EXPECT_EQ(put[0].b, kWide ? 1 : 0);
    }
    run(ORV_CMD_GET_STMT_ATTR, SQL_ATTR_ROW_BIND_OFFSET_PTR,
        {hostkit::integer(1)});
    const auto address = reinterpret_cast<uintptr_t>(&target);
    EXPECT_EQ(delivered(), kWide ? static_cast<int64_t>(address)
                                 : static_cast<int32_t>(address));
    run(ORV_CMD_GET_STMT_ATTR, SQL_ATTR_CURSOR_TYPE, {hostkit::integer(1)});
    EXPECT_EQ(delivered(), SQL_CURSOR_STATIC);
    run(ORV_CMD_GET_STMT_ATTR, SQL_ATTR_ROW_NUMBER, {hostkit::integer(1)});
    EXPECT_EQ(delivered(), 0);
}

// A host value is passed on as unsigned: -1 sets the largest 32-bit value.
TEST_F(AttributesStandin, SetValueIsUnsigned) {
    EXPECT_EQ(
        run(ORV_CMD_SET_STMT_ATTR, SQL_ATTR_MAX_LENGTH, {hostkit::integer(-1)})
            .status,
        0);
    EXPECT_EQ(standin::int_attr(statement(), SQL_ATTR_MAX_LENGTH),
              SQLULEN{0xFFFFFFFFu});
}

// A value of 0 ends every command before the driver is called.
TEST_F(AttributesStandin, ZeroValueCallsNothing) {
    ASSERT_TRUE(SQL_SUCCEEDED(orv::ensure_statement(*orv::slot_at(1))));
    const std::pair<int32_t, int32_t> cases[] = {
        {ORV_CMD_GET_CONN_ATTR, SQL_ATTR_AUTOCOMMIT},
        {ORV_CMD_SET_CONN_ATTR, SQL_ATTR_AUTOCOMMIT},
        {ORV_CMD_GET_STMT_ATTR, SQL_ATTR_QUERY_TIMEOUT},
        {ORV_CMD_SET_STMT_ATTR, SQL_ATTR_QUERY_TIMEOUT},
        {ORV_CMD_GET_STMT_ATTR, SQL_ATTR_ROW_BIND_OFFSET_PTR}};
    for (const auto& [code, number] : cases) {
        SCOPED_TRACE(code);
        standin::reset();
        CmdHdr hdr = run(code, number, {hostkit::integer(0)});
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::sqlstate(hdr), "");
        EXPECT_TRUE(standin::log().empty());
        EXPECT_FALSE(delivered());
    }
}

// A warning leaves status 0, fills sqlstate and still delivers a get's
// value; a refusal gives 2 and delivers nothing.  A connection call's
// diagnostics come from the connection even when the slot holds a
// statement with an older record of its own.
TEST_F(AttributesStandin, DriverAnswers) {
    struct Case {
        int32_t code;
        const char* function;
        SQLRETURN rc;
        int16_t status;
        bool delivers;
    };
    const Case cases[] = {
        {ORV_CMD_GET_CONN_ATTR, "SQLGetConnectAttr", SQL_SUCCESS_WITH_INFO, 0,
         true},
        {ORV_CMD_SET_CONN_ATTR, "SQLSetConnectAttr", SQL_SUCCESS_WITH_INFO, 0,
         false},
        {ORV_CMD_GET_STMT_ATTR, "SQLGetStmtAttr", SQL_SUCCESS_WITH_INFO, 0,
         true},
        {ORV_CMD_SET_STMT_ATTR, "SQLSetStmtAttr", SQL_SUCCESS_WITH_INFO, 0,
         false},
        {ORV_CMD_GET_CONN_ATTR, "SQLGetConnectAttr", SQL_ERROR, 2, false},
        {ORV_CMD_SET_CONN_ATTR, "SQLSetConnectAttr", SQL_ERROR, 2, false},
        {ORV_CMD_GET_STMT_ATTR, "SQLGetStmtAttr", SQL_ERROR, 2, false},
        {ORV_CMD_SET_STMT_ATTR, "SQLSetStmtAttr", SQL_NO_DATA, 2, false},
    };
    for (bool with_statement : {false, true}) {
        if (with_statement) {
            ASSERT_TRUE(SQL_SUCCEEDED(orv::ensure_statement(*orv::slot_at(1))));
        }
        for (const Case& c : cases) {
            if (c.code >= ORV_CMD_GET_STMT_ATTR && !with_statement) continue;
            SCOPED_TRACE(testing::Message() << c.function << " " << c.rc);
            standin::reset();
            if (with_statement) standin::push_diag(statement(), "01004", 1);
            standin::fail(c.function, c.rc, "01S02", 7);
            CmdHdr hdr =
                run(c.code,
                    c.code <= ORV_CMD_SET_CONN_ATTR ? SQL_ATTR_AUTOCOMMIT
                                                    : SQL_ATTR_CONCURRENCY,
                    {hostkit::integer(2)});
            EXPECT_EQ(hdr.status, c.status);
            EXPECT_EQ(delivered().has_value(), c.delivers);
            EXPECT_EQ(hostkit::sqlstate(hdr), "01S02");
            EXPECT_EQ(hostkit::native_error(hdr), 7);
        }
    }
}

// 16 and 17 create the statement first: status 3 without argument 3 and a
// refused number still leave one behind, which later commands reuse.  A
// failed creation gives 14 with the driver's reason.
TEST_F(AttributesStandin, StatementCreation) {
    standin::fail("SQLAllocHandle", SQL_ERROR, "HY001", 12).on(SQL_HANDLE_STMT);
    for (int32_t code : {ORV_CMD_GET_STMT_ATTR, ORV_CMD_SET_STMT_ATTR}) {
        CmdHdr hdr = run(code, SQL_ATTR_QUERY_TIMEOUT, {hostkit::integer(1)});
        EXPECT_EQ(hdr.status, ORV_NO_STATEMENT);
        EXPECT_EQ(hostkit::sqlstate(hdr), "HY001");
        EXPECT_EQ(hostkit::native_error(hdr), 12);
        EXPECT_EQ(statement(), nullptr);
        EXPECT_EQ(reads(), 0u);
    }
    standin::reset();

    EXPECT_EQ(run(ORV_CMD_GET_STMT_ATTR, SQL_ATTR_QUERY_TIMEOUT, {}).status,
              ORV_MISSING_ARG);
    SQLHSTMT created = statement();
    EXPECT_NE(created, nullptr);
    EXPECT_EQ(run(ORV_CMD_SET_STMT_ATTR, SQL_ATTR_ROW_STATUS_PTR,
                  {hostkit::integer(5)})
                  .status,
              15);
    EXPECT_EQ(run(ORV_CMD_GET_STMT_ATTR, SQL_ATTR_QUERY_TIMEOUT,
                  {hostkit::integer(1)})
                  .status,
              ORV_OK);
    EXPECT_EQ(statement(), created);
    EXPECT_EQ(standin::calls_to("SQLAllocHandle").size(), 1u);
}

// Without argument 3 the connection commands end with 3 before the table
// is consulted; a status the host sets while serving a read stops any
// command before the driver call.
TEST_F(AttributesStandin, ArgumentThree) {
    for (int32_t code : {ORV_CMD_GET_CONN_ATTR, ORV_CMD_SET_CONN_ATTR})
        for (int32_t n : {SQL_ATTR_AUTOCOMMIT, 114})
            EXPECT_EQ(run(code, n, {}).status, ORV_MISSING_ARG);

    ASSERT_TRUE(SQL_SUCCEEDED(orv::ensure_statement(*orv::slot_at(1))));
    standin::reset();
    host.on_call = [](hostkit::Host& h, const hostkit::Call& c) {
        if (c.selector == 3) {
            const int16_t status = 8;
            std::memcpy(static_cast<uint8_t*>(h.ctx->args[2].data) +
                            offsetof(CmdHdr, status),
                        &status, sizeof status);
        }
        return std::optional<int32_t>();
    };
    EXPECT_EQ(run(ORV_CMD_SET_STMT_ATTR, SQL_ATTR_QUERY_TIMEOUT,
                  {hostkit::integer(5)})
                  .status,
              ORV_NO_MEMORY);
    EXPECT_EQ(run(ORV_CMD_SET_CONN_ATTR, 109, {hostkit::text("x")}).status,
              ORV_NO_MEMORY);
    EXPECT_TRUE(standin::log().empty());
}

}  // namespace
