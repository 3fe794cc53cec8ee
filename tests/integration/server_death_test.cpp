// Servers that die: the backend of a slot's session is terminated from a
// second slot in the middle of a command 25 loop or a command 12 loop.
// The slot reports status 2 with a connection-failure sqlstate (the rows
// it delivered before are whole and in order), command 3 reads the
// driver's message, command 7 frees the slot, the other slot goes on
// working and a new slot connects.
//
// PostgreSQL streams the result (the test bed's data source fetches
// through a cursor, 10000 rows at a time), so the loop itself meets the
// dead backend.  MariaDB Connector/ODBC holds the whole result on the
// client once executed: the loop may then deliver every row, whole, and
// the slot's next statement meets the dead connection.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "testbed.h"

namespace {

using testbed::command;

struct Server {
    const char* dsn;
    const char* session_id_sql;  // the session's backend / connection id
    const char* kill_sql;        // %ld: that id
    const char* alive_sql;       // %ld: that id; counts the session
    const char* rows_sql;        // %d: rows of (i, 100 characters)
    bool streams;                // the loop itself meets the dead backend
};

const Server kServers[] = {
    {"orv_pg", "SELECT pg_backend_pid()", "SELECT pg_terminate_backend(%ld)",
     "SELECT count(*) FROM pg_stat_activity WHERE pid = %ld",
     "SELECT i, repeat('y', 100) FROM generate_series(1, %d) AS i", true},
    {"orv_maria", "SELECT CONNECTION_ID()", "KILL CONNECTION %ld",
     "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = %ld",
     "SELECT seq, REPEAT('y', 100) FROM seq_1_to_%d", false},
};

enum class Loop { Block, Row };

std::string format(const char* pattern, long value) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// A lost connection, as the drivers report it: class 08, PostgreSQL's
// operator intervention (57P01 and kin), or the MariaDB client's "server
// has gone away", "lost connection" and network read and write errors
// (HY000 with native codes 2006, 2013, 5013 and 5014).
bool connection_failure(const CmdHdr& hdr) {
    const std::string s = hostkit::sqlstate(hdr);
    const int32_t native = hostkit::native_error(hdr);
    return s.rfind("08", 0) == 0 || s.rfind("57P0", 0) == 0 ||
           (s == "HY000" && (native == 2006 || native == 2013 ||
                             native == 5013 || native == 5014));
}

// Runs SQL that yields one value and returns it as text ("" on failure).
std::string single_value(hostkit::Host& h, int slot, const std::string& sql) {
    if (testbed::exec(h, slot, sql).status != ORV_OK) return "";
    const CmdHdr hdr =
        command(h, ORV_CMD_FETCH_ROW, slot, {hostkit::buffer(32)});
    std::string v = hdr.status == ORV_OK ? hostkit::arg_text(h, 3) : "";
    command(h, ORV_CMD_RESET_STATEMENT, slot);
    return v;
}

class ServerDeath
    : public testbed::ConnectorTest,
      public ::testing::WithParamInterface<std::tuple<Server, Loop>> {
  protected:
    const Server& server() const { return std::get<0>(GetParam()); }

    // Terminates the session with id `victim` from slot `other` and waits
    // until the server no longer lists it.
    void kill(int other, long victim) {
        testbed::exec_ok(host, other, format(server().kill_sql, victim));
        command(host, ORV_CMD_RESET_STATEMENT, other);
        const std::string alive = format(server().alive_sql, victim);
        for (int i = 0; i < 200 && single_value(host, other, alive) != "0"; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(single_value(host, other, alive), "0");
    }

    // Command 25 until it no longer says "call again"; checks that the rows
    // come in order, none lost or repeated.  Returns the last header.
    CmdHdr block_loop(int slot, long* rows,
                      const std::function<void()>& after_first) {
        CmdHdr hdr{};
        for (int call = 0; call < 20; ++call) {
            hdr = hostkit::header(static_cast<uint8_t>(slot));
            hostkit::run(host, ORV_CMD_FETCH_BLOCK, hdr,
                         {hostkit::buffer(sizeof(void*))});
            if (hdr.status == ORV_OK || hdr.status == ORV_ODBC_ERROR)
                check_block(hdr, rows);
            if (call == 0) after_first();
            if (hdr.status != ORV_OK || hostkit::sqlstate(hdr) != "01004")
                break;
        }
        return hdr;
    }

    // The block's rows continue from row `*rows`.
    void check_block(const CmdHdr& hdr, long* rows) {
        const char* p = nullptr;
        const std::vector<uint8_t> a = hostkit::arg_bytes(host, 3);
        std::memcpy(&p, a.data(), sizeof p);
        ASSERT_NE(p, nullptr);
        p += std::strlen(p) + 1;  // the two column names
        p += std::strlen(p) + 1;
        for (long r = 0; r < static_cast<long>(hdr.number); ++r) {
            ASSERT_EQ(std::string(p), std::to_string(*rows + 1));
            ++*rows;
            p += std::strlen(p) + 1;
            ASSERT_EQ(std::strlen(p), 100u);
            p += 101;
        }
    }

    // Command 12 until it fails or the rows end.  Returns the last header.
    CmdHdr row_loop(int slot, long* rows,
                    const std::function<void()>& after_first) {
        CmdHdr hdr{};
        for (;;) {
            hdr = command(host, ORV_CMD_FETCH_ROW, slot, {hostkit::buffer(16)});
            if (hdr.status != ORV_OK || hdr.number == 0.0) break;
            EXPECT_EQ(hostkit::arg_text(host, 3), std::to_string(*rows + 1));
            if (++*rows == 1) after_first();
        }
        return hdr;
    }
};

TEST_P(ServerDeath, SlotReportsTheLostConnectionAndTheRestGoesOn) {
    REQUIRE_DSN(server().dsn);
    const Loop loop = std::get<1>(GetParam());
    const int victim = testbed::connect(host, server().dsn);
    const int other = testbed::connect(host, server().dsn);
    ASSERT_NE(victim, 0);
    ASSERT_NE(other, 0);
    std::string digits = "0";  // a failed query shows as id 0
    digits += single_value(host, victim, server().session_id_sql);
    const long id = std::stol(digits);
    ASSERT_NE(id, 0);

    // More rows than one block (about 2 MB) or one cursor batch (10000).
    const int total = loop == Loop::Block ? 40000 : 12000;
    testbed::exec_ok(host, victim, format(server().rows_sql, total));
    long rows = 0;
    const auto kill_it = [&] { kill(other, id); };
    CmdHdr hdr = loop == Loop::Block ? block_loop(victim, &rows, kill_it)
                                     : row_loop(victim, &rows, kill_it);
    EXPECT_TRUE(hdr.status == ORV_ODBC_ERROR || !server().streams);
    if (hdr.status == ORV_OK) {
        // The driver held the whole result: every row came, whole; the
        // next statement meets the dead connection.
        EXPECT_EQ(rows, total);
        hdr = testbed::exec(host, victim, "SELECT 1");
    } else {
        EXPECT_LT(rows, total);
    }
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_TRUE(connection_failure(hdr))
        << "sqlstate " << hostkit::sqlstate(hdr) << ", native "
        << hostkit::native_error(hdr) << ": "
        << testbed::last_message(host, victim);

    EXPECT_NE(testbed::last_message(host, victim), "(no message)");
    EXPECT_EQ(command(host, ORV_CMD_DISCONNECT, victim).status, ORV_OK);
    EXPECT_EQ(single_value(host, other, "SELECT 1"), "1");
    const int fresh = testbed::connect(host, server().dsn);
    ASSERT_NE(fresh, 0);
    EXPECT_EQ(single_value(host, fresh, "SELECT 2"), "2");
}

INSTANTIATE_TEST_SUITE_P(
    Servers, ServerDeath,
    ::testing::Combine(::testing::ValuesIn(kServers),
                       ::testing::Values(Loop::Block, Loop::Row)),
    [](const ::testing::TestParamInfo<std::tuple<Server, Loop>>& info) {
        return std::string(std::get<0>(info.param).dsn) +
               (std::get<1>(info.param) == Loop::Block ? "_block" : "_row");
    });

}  // namespace
