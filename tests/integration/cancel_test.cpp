// Command 19 against each driver: a long statement cancelled from another
// thread, a block fetch cancelled while rows arrive, and a cancel of a
// slot that runs nothing, holds no statement or holds no connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "conn/slots.h"
#include "testbed.h"

namespace {

using testbed::command;
using Clock = std::chrono::steady_clock;

enum class Cancelled {
    kStatement,    // `sql` runs long; one cancel after 200 ms
    kBlockFetch,   // `sql` gives many rows, read by command 25 in a loop;
                   // cancels every 20 ms until the loop ends
    kIdle,         // `sql` has run and its result waits to be read
    kNoStatement,  // a connected slot that never ran a statement
    kEmptySlot,    // a slot number that holds no connection
};

struct CancelCase {
    const char* dsn;
    Cancelled kind;
    const char* sql;
    // The sqlstates the cancelled command may end with (kStatement,
    // kBlockFetch), or the status command 19 answers (others).
    std::vector<std::string> states;
    int16_t status = ORV_OK;
};

// SQLite runs a SELECT as its rows are fetched, where a cancel stops it
// between rows; a statement that makes a table runs whole as it executes.
constexpr char kSqliteCount[] =
    "CREATE TEMP TABLE orv_cancel_count AS WITH RECURSIVE c(x) AS (SELECT 1 "
    "UNION ALL SELECT x + 1 FROM c WHERE x < 1000000000) SELECT COUNT(*) AS n "
    "FROM c";
constexpr char kSqliteRows[] =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE "
    "x < 1000000) SELECT x, 'row' || x FROM c";
constexpr char kPgRows[] =
    "SELECT x, 'row' || x FROM generate_series(1, 1000000) AS x";

// A cancelled statement: PostgreSQL's "canceling statement due to user
// request", MariaDB's "Query execution was interrupted", SQLite's
// "interrupted" (HY000) while it executes; a row fetch that a cancel
// stopped answers HY008.
const CancelCase kCancelCases[] = {
    {"orv_pg", Cancelled::kStatement, "SELECT pg_sleep(30)", {"57014"}},
    {"orv_maria",
     Cancelled::kStatement,
     "SELECT SLEEP(30)",
     {"HY018", "70100"}},
    {"orv_sqlite", Cancelled::kStatement, kSqliteCount, {"HY000"}},
    {"orv_pg", Cancelled::kBlockFetch, kPgRows, {"HY008"}},
    {"orv_sqlite", Cancelled::kBlockFetch, kSqliteRows, {"HY008"}},
    {"orv_pg", Cancelled::kIdle, "SELECT 1", {}},
    {"orv_maria", Cancelled::kIdle, "SELECT 1", {}},
    {"orv_sqlite", Cancelled::kIdle, "SELECT 1", {}},
    {"orv_pg", Cancelled::kNoStatement, "", {}, ORV_NO_STATEMENT},
    {"orv_maria", Cancelled::kNoStatement, "", {}, ORV_NO_STATEMENT},
    {"orv_sqlite", Cancelled::kEmptySlot, "", {}, ORV_BAD_SLOT},
};

class Cancel : public testbed::RowTest<CancelCase> {
  protected:
    const CancelCase& row() const { return GetParam(); }

    // The sqlstate `hdr` ended with is one the row allows.
    void expect_cancelled_state(const CmdHdr& hdr) {
        EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
        const std::string state = hostkit::sqlstate(hdr);
        EXPECT_NE(std::find(row().states.begin(), row().states.end(), state),
                  row().states.end())
            << state << ": " << testbed::last_message(host, slot);
    }
};

// Reads the result in blocks until a block ends it or fails; checks that
// every row arrives whole and in order (x counts up from 1, then "rowx").
// Returns the header of the last command 25.
CmdHdr read_blocks(hostkit::Host& h, int slot, long* rows, int* wrong) {
    CmdHdr hdr{};
    for (;;) {
        hdr = hostkit::header(static_cast<uint8_t>(slot));
        hostkit::run(h, ORV_CMD_FETCH_BLOCK, hdr,
                     {hostkit::buffer(sizeof(void*))});
        const char* p = nullptr;
        const std::vector<uint8_t> a = hostkit::arg_bytes(h, 3);
        std::memcpy(&p, a.data(), sizeof p);
        for (int name = 0; name < 2 && p != nullptr; ++name)
            p += std::strlen(p) + 1;
        for (long r = 0; r < static_cast<long>(hdr.number) && p != nullptr;
             ++r) {
            const std::string x = p;
            p += x.size() + 1;
            const std::string text = p;
            p += text.size() + 1;
            ++*rows;
            *wrong += x != std::to_string(*rows) || text != "row" + x;
        }
        if (hdr.status != ORV_OK || hostkit::sqlstate(hdr) != "01004")
            return hdr;
    }
}

TEST_P(Cancel, Table) {
    hostkit::Host other = testbed::make_host();
    switch (row().kind) {
        case Cancelled::kStatement: {
            CmdHdr ran{};
            std::thread t([&] { ran = testbed::exec(other, slot, row().sql); });
            // 200 ms into the statement, however late its thread starts.
            while (!orv::slot_at(slot)->running)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const Clock::time_point asked = Clock::now();
            EXPECT_EQ(command(host, ORV_CMD_CANCEL, slot).status, ORV_OK);
            t.join();
            EXPECT_LT(Clock::now() - asked, std::chrono::seconds(2));
            expect_cancelled_state(ran);
            break;
        }
        case Cancelled::kBlockFetch: {
            testbed::exec_ok(host, slot, row().sql);
            std::atomic<bool> done{false};
            long rows = 0;
            int wrong = 0;
            CmdHdr last{};
            std::thread t([&] {
                last = read_blocks(other, slot, &rows, &wrong);
                done = true;
            });
            while (!done) {
                command(host, ORV_CMD_CANCEL, slot);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            t.join();
            expect_cancelled_state(last);
            EXPECT_LT(rows, 1000000);
            EXPECT_EQ(wrong, 0);
            break;
        }
        case Cancelled::kIdle: {
            testbed::exec_ok(host, slot, row().sql);
            EXPECT_EQ(command(host, ORV_CMD_CANCEL, slot).status, ORV_OK);
            // The result is still there, as if nothing had been asked.
            CmdHdr hdr =
                command(host, ORV_CMD_FETCH_ROW, slot, {hostkit::buffer(16)});
            EXPECT_EQ(hdr.status, ORV_OK);
            EXPECT_EQ(hostkit::arg_text(host, 3), "1");
            command(host, ORV_CMD_RESET_STATEMENT, slot);
            break;
        }
        case Cancelled::kNoStatement:
            EXPECT_EQ(command(host, ORV_CMD_CANCEL, slot).status, row().status);
            break;
        case Cancelled::kEmptySlot:
            EXPECT_EQ(command(host, ORV_CMD_CANCEL, slot + 1).status,
                      row().status);
            break;
    }
    // The slot's next statement works.
    testbed::exec_ok(host, slot, "SELECT 2");
}

INSTANTIATE_TEST_SUITE_P(Drivers, Cancel, ::testing::ValuesIn(kCancelCases),
                         testbed::RowName());

}  // namespace
