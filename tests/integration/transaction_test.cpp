// Transactions across statements: autocommit switched off through the
// zero bit of command 15, commit and rollback by command 21, the zero bit
// of command 17, and what a disconnect does with work not committed, as
// each driver answers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "testbed.h"

namespace {

using testbed::command;

constexpr int16_t kQueryTimeout = 0;  // SQL_ATTR_QUERY_TIMEOUT

// What a driver does at a disconnect (command 7) with work that was not
// committed, seen as the rows another connection then counts: none.  The
// servers roll back as the connection closes; SQLite's driver refuses to
// disconnect (25000), and the connector rolls back and disconnects, so
// that no connection keeps its locks.
constexpr int kRowsAfterDisconnect = 0;

class Transactions : public testbed::DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        if (slot == 0) return;
        table = testbed::numbered("orv_tx_", static_cast<long long>(getpid()));
        testbed::exec(host, slot, "DROP TABLE IF EXISTS " + table);
        testbed::exec_ok(host, slot, "CREATE TABLE " + table + " (id INT)");
        reader = testbed::connect(host, dsn());
    }
    void TearDown() override {
        if (reader != 0) testbed::exec(host, reader, "DROP TABLE " + table);
        DriverTest::TearDown();
    }
    // Command 15 on SQL_ATTR_AUTOCOMMIT with the zero bit.
    CmdHdr autocommit(int32_t on) {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot), ORV_ATTR_ZERO);
        hostkit::set_param_plain(hdr, 102);
        hostkit::run(host, ORV_CMD_SET_CONN_ATTR, hdr, {hostkit::integer(on)});
        return hdr;
    }
    // The autocommit setting as command 14 reads it back.
    int64_t autocommit_now() {
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
        hostkit::set_param_plain(hdr, 102);
        hostkit::run(host, ORV_CMD_GET_CONN_ATTR, hdr, {hostkit::integer(1)});
        EXPECT_EQ(hdr.status, ORV_OK);
        return host.put_ints[3];
    }
    // Rows of the table as the slot `from` counts them.
    int rows(int from) {
        CmdHdr hdr = testbed::exec(host, from, "SELECT COUNT(*) FROM " + table);
        EXPECT_EQ(hdr.status, ORV_OK) << testbed::last_message(host, from);
        command(host, ORV_CMD_FETCH_ROW, from, {hostkit::buffer(32)});
        const int n = std::stoi("0" + hostkit::arg_text(host, 3));
        command(host, ORV_CMD_RESET_STATEMENT, from);
        return n;
    }
    std::string insert() const {
        return "INSERT INTO " + table + " VALUES (1)";
    }
    std::string table;
    int reader = 0;
};

TEST_P(Transactions, RollbackCommitAndAutocommitReadBack) {
    ASSERT_NE(reader, 0);
    // Autocommit on: nothing to end, and the drivers answer success.
    EXPECT_EQ(command(host, ORV_CMD_END_TRAN, slot, {}, 0).status, ORV_OK);
    EXPECT_EQ(command(host, ORV_CMD_END_TRAN, slot, {}, 7).status,
              ORV_UNSUPPORTED);

    ASSERT_EQ(autocommit(0).status, ORV_OK);
    EXPECT_EQ(autocommit_now(), 0);
    testbed::exec_ok(host, slot, insert());
    CmdHdr hdr = command(host, ORV_CMD_END_TRAN, slot, {}, 1);
    EXPECT_EQ(hdr.status, ORV_OK) << hostkit::sqlstate(hdr);
    EXPECT_EQ(rows(reader), 0);
    testbed::exec_ok(host, slot, insert());
    EXPECT_EQ(command(host, ORV_CMD_END_TRAN, slot, {}, 0).status, ORV_OK);
    EXPECT_EQ(rows(reader), 1);

    ASSERT_EQ(autocommit(1).status, ORV_OK);
    EXPECT_EQ(autocommit_now(), 1);
    testbed::exec_ok(host, slot, insert());
    EXPECT_EQ(rows(reader), 2);
}

TEST_P(Transactions, DisconnectWithWorkNotCommitted) {
    ASSERT_NE(reader, 0);
    ASSERT_EQ(autocommit(0).status, ORV_OK);
    testbed::exec_ok(host, slot, insert());
    EXPECT_EQ(command(host, ORV_CMD_DISCONNECT, slot).status, ORV_OK);
    slot = 0;
    EXPECT_EQ(rows(reader), kRowsAfterDisconnect);
    // Nothing holds a lock on the table any more.
    testbed::exec_ok(host, reader, insert());
}

// The zero bit of command 17: a query timeout goes back to 0.
TEST_P(Transactions, StatementAttributeZeroBit) {
    CmdHdr hdr = command(host, ORV_CMD_SET_STMT_ATTR, slot,
                         {hostkit::integer(30)}, kQueryTimeout);
    ASSERT_EQ(hdr.status, ORV_OK);
    hdr = hostkit::header(static_cast<uint8_t>(slot), kQueryTimeout);
    hostkit::set_param_plain(hdr, ORV_ATTR_ZERO);
    hostkit::run(host, ORV_CMD_SET_STMT_ATTR, hdr, {hostkit::integer(0)});
    EXPECT_EQ(hdr.status, ORV_OK) << hostkit::sqlstate(hdr);
    command(host, ORV_CMD_GET_STMT_ATTR, slot, {hostkit::integer(1)},
            kQueryTimeout);
    EXPECT_EQ(host.put_ints[3], 0);
}

INSTANTIATE_TEST_SUITE_P(Drivers, Transactions,
                         ::testing::ValuesIn(testbed::kAllSources),
                         testbed::SourceName());

}  // namespace
