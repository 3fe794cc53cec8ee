// Commands 14 to 17 against the test bed's drivers: values set and read
// back, what each driver keeps or changes, the numbers the connector never
// passes on, and a scrollable cursor chosen through command 17.  Every
// host argument ends at a guard page, and the sanitizer build watches the
// connector's own storage, into which the drivers write with their own
// idea of each attribute's width.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "conn/slots.h"
#include "testbed.h"

namespace {

using hostkit::ArgSpec;

class Attributes : public testbed::DriverTest {
  protected:
    CmdHdr conn(int32_t code, int32_t number, std::vector<ArgSpec> args) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
        hostkit::set_param_plain(hdr, number);
        hostkit::run(host, code, hdr, std::move(args));
        EXPECT_FALSE(host.bad_call_seen);
        return hdr;
    }
    CmdHdr stmt(int32_t code, int16_t number, std::vector<ArgSpec> args) {
        CmdHdr hdr =
            testbed::command(host, code, slot, std::move(args), number);
        EXPECT_FALSE(host.bad_call_seen);
        return hdr;
    }
    // Gets an attribute; the value delivered to argument 3, if any.
    std::optional<int64_t> get_conn(int32_t number) {
        CmdHdr hdr = conn(ORV_CMD_GET_CONN_ATTR, number, {hostkit::integer(1)});
        EXPECT_EQ(hdr.status, ORV_OK)
            << number << " " << hostkit::sqlstate(hdr);
        return delivered();
    }
    std::optional<int64_t> get_stmt(int16_t number) {
        CmdHdr hdr = stmt(ORV_CMD_GET_STMT_ATTR, number, {hostkit::integer(1)});
        EXPECT_EQ(hdr.status, ORV_OK)
            << number << " " << hostkit::sqlstate(hdr);
        return delivered();
    }
    std::optional<int64_t> delivered() const {
        auto it = host.put_ints.find(3);
        if (it == host.put_ints.end()) return std::nullopt;
        return it->second;
    }
    CmdHdr fetch(double row_number, double number) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
        hdr.row_number = row_number;
        hdr.number = number;
        hostkit::run(host, ORV_CMD_FETCH_ROW, hdr, {hostkit::integer(0)});
        return hdr;
    }
};

// Autocommit set to 1 and read back; a value of 0 changes nothing and
// calls nothing, for a set and for a get alike.
TEST_P(Attributes, AutocommitSetAndReadBack) {
    CmdHdr hdr =
        conn(ORV_CMD_SET_CONN_ATTR, SQL_ATTR_AUTOCOMMIT, {hostkit::integer(1)});
    EXPECT_EQ(hdr.status, ORV_OK) << hostkit::sqlstate(hdr);
    EXPECT_EQ(get_conn(SQL_ATTR_AUTOCOMMIT), SQL_AUTOCOMMIT_ON);

    hdr =
        conn(ORV_CMD_SET_CONN_ATTR, SQL_ATTR_AUTOCOMMIT, {hostkit::integer(0)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(hdr), "");
    EXPECT_EQ(get_conn(SQL_ATTR_AUTOCOMMIT), SQL_AUTOCOMMIT_ON);

    hdr =
        conn(ORV_CMD_GET_CONN_ATTR, SQL_ATTR_AUTOCOMMIT, {hostkit::integer(0)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_FALSE(delivered());
}

// `param` is a plain little-endian number: 66 00 00 00 is autocommit.
TEST_P(Attributes, ParamBytesSelectTheAttribute) {
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
    const uint8_t bytes[4] = {0x66, 0x00, 0x00, 0x00};
    std::memcpy(&hdr.param, bytes, sizeof bytes);
    hostkit::run(host, ORV_CMD_GET_CONN_ATTR, hdr, {hostkit::integer(1)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(delivered(), SQL_AUTOCOMMIT_ON);
}

// The cursor-library setting lives in the driver manager, which writes it
// as a full SQLULEN; it arrives whole.
TEST_P(Attributes, WideConnectionAttribute) {
    EXPECT_EQ(get_conn(SQL_ATTR_ODBC_CURSORS), SQL_CUR_USE_DRIVER);
    EXPECT_EQ(get_conn(SQL_ATTR_CONNECTION_DEAD), SQL_CD_FALSE);
}

// What each driver does with the catalog text and a 30-second timeout.
struct DriverKeeps {
    const char* dsn;
    const char* catalog_state;  // sqlstate after setting the catalog
    const char* timeout_state;  // sqlstate after setting the timeout
    int64_t timeout;            // the timeout read back
    int64_t row_number;         // after two fetches
};
const DriverKeeps kKeeps[] = {
    {"orv_sqlite", "01S02", "", 0, 2},
    {"orv_pg", "", "", 30, 2},
    {"orv_maria", "", "01S02", 0, 0},
};
const DriverKeeps& keeps(std::string_view dsn) {
    for (const DriverKeeps& k : kKeeps)
        if (dsn == k.dsn) return k;
    return kKeeps[0];
}

// The catalog goes over as text; a get of a text attribute stores -99.
TEST_P(Attributes, CurrentCatalogIsText) {
    CmdHdr hdr = conn(ORV_CMD_SET_CONN_ATTR, SQL_ATTR_CURRENT_CATALOG,
                      {hostkit::text("orvtest")});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(hdr), keeps(dsn()).catalog_state);

    hdr = conn(ORV_CMD_GET_CONN_ATTR, SQL_ATTR_CURRENT_CATALOG,
               {hostkit::integer(1)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(delivered(), -99);
    const auto put = hostkit::calls_of(host, PUT_INT);
    ASSERT_EQ(put.size(), 1u);
    EXPECT_EQ(static_cast<uint32_t>(put[0].a), 0xFFFFFF9Du);
    EXPECT_EQ(static_cast<uint32_t>(put[0].b), 0xFFFFFFFFu);
}

// A query timeout of 30 seconds, read back where the driver keeps it; a
// driver that cannot keep it warns with 01S02 and status 0.
TEST_P(Attributes, QueryTimeout) {
    CmdHdr hdr = stmt(ORV_CMD_SET_STMT_ATTR, SQL_ATTR_QUERY_TIMEOUT,
                      {hostkit::integer(30)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(hdr), keeps(dsn()).timeout_state);
    EXPECT_EQ(get_stmt(SQL_ATTR_QUERY_TIMEOUT), keeps(dsn()).timeout);

    // 0 leaves it as it is.
    hdr = stmt(ORV_CMD_SET_STMT_ATTR, SQL_ATTR_QUERY_TIMEOUT,
               {hostkit::integer(0)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(get_stmt(SQL_ATTR_QUERY_TIMEOUT), keeps(dsn()).timeout);
}

// A dynamic cursor is beyond every test bed driver: each substitutes a
// static one with 01S02, status 0, and the get delivers the new type.  The
// PostgreSQL driver writes only 32 bits of this SQLULEN attribute; the
// rest of the connector's storage stays zero.
TEST_P(Attributes, DriverWarningLeavesStatusZero) {
    CmdHdr hdr = stmt(ORV_CMD_SET_STMT_ATTR, SQL_ATTR_CURSOR_TYPE,
                      {hostkit::integer(SQL_CURSOR_DYNAMIC)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(hdr), "01S02");
    EXPECT_EQ(get_stmt(SQL_ATTR_CURSOR_TYPE), SQL_CURSOR_STATIC);
}

// The row number can only be read: a set gives 11.  Without a cursor the
// driver manager refuses the get (24000); after two fetches it is 2 where
// the driver tracks it.
TEST_P(Attributes, RowNumber) {
    EXPECT_EQ(
        stmt(ORV_CMD_SET_STMT_ATTR, SQL_ATTR_ROW_NUMBER, {hostkit::integer(3)})
            .status,
        11);
    CmdHdr hdr =
        stmt(ORV_CMD_GET_STMT_ATTR, SQL_ATTR_ROW_NUMBER, {hostkit::integer(1)});
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "24000");
    EXPECT_FALSE(delivered());

    testbed::exec_ok(host, slot,
                     "SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3");
    ASSERT_EQ(fetch(0.0, 0.0).status, ORV_OK);
    ASSERT_EQ(fetch(0.0, 1.0).status, ORV_OK);
    EXPECT_EQ(get_stmt(SQL_ATTR_ROW_NUMBER), keeps(dsn()).row_number);
}

// Numbers the connector refuses (15) or does not handle (11) never reach
// the driver; the statement and connection stay usable.
TEST_P(Attributes, RefusedAndUnsupportedNumbers) {
    for (int32_t code : {ORV_CMD_GET_STMT_ATTR, ORV_CMD_SET_STMT_ATTR}) {
        for (int16_t n : {SQL_ATTR_ROW_STATUS_PTR, SQL_ATTR_APP_ROW_DESC})
            EXPECT_EQ(stmt(code, n, {hostkit::integer(1)}).status, ORV_REFUSED)
                << n;
        for (int16_t n : {26, 28})
            EXPECT_EQ(stmt(code, n, {hostkit::integer(1)}).status,
                      ORV_UNSUPPORTED)
                << n;
    }
    for (int32_t code : {ORV_CMD_GET_CONN_ATTR, ORV_CMD_SET_CONN_ATTR}) {
        for (int32_t n : {SQL_ATTR_DISCONNECT_BEHAVIOR, SQL_ATTR_ENLIST_IN_DTC,
                          SQL_ATTR_AUTO_IPD}) {
            CmdHdr hdr = conn(code, n, {hostkit::integer(1)});
            EXPECT_EQ(hdr.status, ORV_UNSUPPORTED) << n;
            EXPECT_EQ(hostkit::sqlstate(hdr), "") << n;
        }
    }
    EXPECT_TRUE(hostkit::calls_of(host, PUT_INT).empty());
    testbed::exec_ok(host, slot, "SELECT 1");
}

// The row array and parameter set sizes stay 1: the connector fetches one
// row at a time and binds no parameters, so a larger size would make each
// fetch move rows nobody reads, or one INSERT run once per parameter set.
// Any other value is refused (15) before the driver sees it; 0 keeps the
// zero rule; a get reads the driver's value.
TEST_P(Attributes, RowArrayAndParameterSetSizesStayOne) {
    testbed::exec_ok(host, slot, "CREATE TEMPORARY TABLE attr_one (x INTEGER)");
    for (int16_t n : {SQL_ATTR_ROW_ARRAY_SIZE, SQL_ATTR_PARAMSET_SIZE}) {
        SCOPED_TRACE(n);
        for (int32_t v : {2, 1000, 2147483647, -1831574066, -1}) {
            CmdHdr hdr = stmt(ORV_CMD_SET_STMT_ATTR, n, {hostkit::integer(v)});
            EXPECT_EQ(hdr.status, ORV_REFUSED) << v;
            EXPECT_EQ(hostkit::sqlstate(hdr), "") << v;
        }
        EXPECT_EQ(stmt(ORV_CMD_SET_STMT_ATTR, n, {hostkit::integer(0)}).status,
                  ORV_OK);
        EXPECT_EQ(stmt(ORV_CMD_SET_STMT_ATTR, n, {hostkit::integer(1)}).status,
                  ORV_OK);
        EXPECT_EQ(get_stmt(n), 1);
    }
    testbed::exec_ok(host, slot, "INSERT INTO attr_one VALUES (5)");
    testbed::exec_ok(host, slot, "INSERT INTO attr_one VALUES (6)");
    testbed::exec_ok(host, slot, "SELECT x FROM attr_one ORDER BY x");
    for (int row = 1; row <= 2; ++row) {
        CmdHdr hdr = fetch(0.0, row - 1.0);
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(host.put_ints[3], 4 + row);
    }
    EXPECT_EQ(fetch(0.0, 2.0).number, 0.0);  // two rows, no more
}

// Command 16 with only two arguments ends with 3, yet leaves the statement
// it created, so command 13 finds one.
TEST_P(Attributes, TooFewArgumentsStillLeaveAStatement) {
    ASSERT_EQ(orv::slot_at(slot)->statement, nullptr);
    EXPECT_EQ(stmt(ORV_CMD_GET_STMT_ATTR, SQL_ATTR_QUERY_TIMEOUT, {}).status,
              ORV_MISSING_ARG);
    EXPECT_NE(orv::slot_at(slot)->statement, nullptr);
    EXPECT_EQ(testbed::command(host, ORV_CMD_RESET_STATEMENT, slot).status,
              ORV_OK);
}

// A static cursor chosen through command 17 lets command 12 fetch an
// absolute row, and the plain fetch after it goes on from there.
TEST_P(Attributes, ScrollableCursorForAbsoluteFetch) {
    testbed::exec_ok(host, slot,
                     "CREATE TEMPORARY TABLE attr_rows (x INTEGER)");
    testbed::exec_ok(host, slot,
                     "INSERT INTO attr_rows VALUES (1), (2), (3), (4), (5), "
                     "(6), (7), (8), (9), (10)");
    ASSERT_EQ(
        testbed::command(host, ORV_CMD_RESET_STATEMENT, slot, {}, 1).status,
        ORV_OK);  // free it
    CmdHdr hdr = stmt(ORV_CMD_SET_STMT_ATTR, SQL_ATTR_CURSOR_TYPE,
                      {hostkit::integer(SQL_CURSOR_STATIC)});
    ASSERT_EQ(hdr.status, ORV_OK) << hostkit::sqlstate(hdr);
    EXPECT_EQ(get_stmt(SQL_ATTR_CURSOR_TYPE), SQL_CURSOR_STATIC);
    testbed::exec_ok(host, slot, "SELECT x FROM attr_rows ORDER BY x");

    hdr = fetch(7.0, 0.0);
    ASSERT_EQ(hdr.status, ORV_OK)
        << hostkit::sqlstate(hdr) << " " << testbed::last_message(host, slot);
    EXPECT_EQ(hdr.number, 7.0);
    EXPECT_EQ(host.put_ints[3], 7);
    hdr = fetch(0.0, hdr.number);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.number, 8.0);
    EXPECT_EQ(host.put_ints[3], 8);
}

INSTANTIATE_TEST_SUITE_P(Drivers, Attributes,
                         ::testing::ValuesIn(testbed::kAllSources),
                         testbed::SourceName());

}  // namespace
