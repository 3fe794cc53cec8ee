// Calls of orvsql from two threads at once, and a call made from inside a
// callback, on the scripted stand-in.  Built also with ThreadSanitizer
// (ORV_TSAN), which reports any unserialized access to the connector's
// process-wide state.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "conn/slots.h"
#include "host/trace.h"
#include "standin.h"
#include "standin_fixture.h"
#include "testbed.h"

namespace {

using testbed::command;

class Threads : public testbed::StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        echo_statements();
        ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    }

    // A clean script and no slot left, as start_case, with statements
    // echoed again.
    void start_echo_case() {
        start_case();
        echo_statements();
    }

    // Every statement's result is its own SQL text, in two rows, so a
    // value that crossed to another slot shows.  "wait N" stands for a
    // statement that runs N ms (5 s without N) in the driver: it ends
    // early with HY008, as a cancelled statement does, when SQLCancel
    // reaches it.  `waits_ended` counts the waits that ended.
    static void echo_statements() {
        waits_ended = 0;
        standin::hooks.SQLExecDirect = [](SQLHSTMT s, SQLCHAR* text,
                                          SQLINTEGER len) {
            const SQLRETURN rc = standin::base::SQLExecDirect(s, text, len);
            const std::string sql(
                reinterpret_cast<const char*>(text),
                len == SQL_NTS
                    ? std::strlen(reinterpret_cast<const char*>(text))
                    : static_cast<std::size_t>(len));
            if (sql.rfind("wait", 0) == 0) {
                const int ms = sql.size() > 5 ? std::stoi(sql.substr(5)) : 5000;
                const bool cancelled = standin::wait_for_cancel(s, ms);
                ++waits_ended;
                if (cancelled) {
                    standin::push_diag(s, "HY008", 0, "cancelled");
                    return SQLRETURN{SQL_ERROR};
                }
            }
            standin::set_result(s, standin::table({"v"}, {{sql}, {sql}}));
            return rc;
        };
    }
    static inline std::atomic<int> waits_ended{0};

    // Runs `sql` on `slot` on a thread of its own, once `ready` says the
    // test is set; returns the thread, which writes the header to *out.
    std::thread exec_on_thread(int slot, std::string sql, CmdHdr* out) {
        return std::thread([slot, sql, out] {
            hostkit::Host h = testbed::make_host();
            *out = testbed::exec(h, slot, sql);
        });
    }

    // Waits until the stand-in has been asked to run `sql` (a call of
    // another thread is then inside the driver).
    static void wait_until_running(const std::string& sql) {
        for (int i = 0; i < 5000; ++i) {
            for (const standin::LogEntry& e :
                 standin::calls_to("SQLExecDirect"))
                if (e.args.at(0) == sql) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        FAIL() << sql << " never ran";
    }
};

// The items of the block whose address command 25 stored in argument 3.
std::vector<std::string> block_items(const hostkit::Host& h, int items) {
    const char* p = nullptr;
    const std::vector<uint8_t> a = hostkit::arg_bytes(h, 3);
    std::memcpy(&p, a.data(), sizeof p);
    std::vector<std::string> out;
    for (int i = 0; i < items && p != nullptr; ++i) {
        out.emplace_back(p);
        p += out.back().size() + 1;
    }
    return out;
}

// One thread's work: execute, fetch a row with command 12 and the rest as
// a block, on its own slot; returns the number of wrong answers.
int work_on(int slot, int rounds) {
    hostkit::Host h = testbed::make_host();
    int wrong = 0;
    for (int i = 0; i < rounds; ++i) {
        const std::string sql =
            "SELECT " + std::to_string(slot) + "-" + std::to_string(i);
        wrong +=
            command(h, ORV_CMD_EXECUTE, slot, {hostkit::text(sql)}).status !=
            ORV_OK;
        wrong +=
            command(h, ORV_CMD_FETCH_ROW, slot, {hostkit::buffer(32)}).status !=
            ORV_OK;
        wrong += hostkit::arg_text(h, 3) != sql;
        CmdHdr hdr = command(h, ORV_CMD_FETCH_BLOCK, slot,
                             {hostkit::buffer(sizeof(void*))});
        wrong += hdr.status != ORV_OK || hdr.number != 1.0;
        wrong += block_items(h, 2) != std::vector<std::string>{"v", sql};
    }
    return wrong;
}

TEST_F(Threads, OverlappingCallsOnDifferentSlotsStayApart) {
    const int a = connect_slot(), b = connect_slot();
    int wrong_a = -1, wrong_b = -1;
    std::thread ta([&] { wrong_a = work_on(a, 150); });
    std::thread tb([&] { wrong_b = work_on(b, 150); });
    ta.join();
    tb.join();
    EXPECT_EQ(wrong_a, 0);
    EXPECT_EQ(wrong_b, 0);
}

// A host that calls orvsql again from inside a callback, on the same
// thread, gets its answer at once: the outer call's lock does not block it.
TEST_F(Threads, CallFromInsideACallbackRunsAtOnce) {
    const int outer = connect_slot(), inner = connect_slot();
    ASSERT_EQ(testbed::exec(host, outer, "outer").status, ORV_OK);
    ASSERT_EQ(testbed::exec(host, inner, "inner").status, ORV_OK);
    hostkit::Host nested = testbed::make_host();
    std::string nested_value;
    host.on_call = [&](hostkit::Host&,
                       const hostkit::Call& c) -> std::optional<int32_t> {
        if (c.service == PUT_STRING && nested_value.empty()) {
            EXPECT_EQ(
                command(nested, ORV_CMD_FETCH_ROW, inner, {hostkit::buffer(16)})
                    .status,
                0);
            nested_value = hostkit::arg_text(nested, 3);
        }
        return std::nullopt;
    };
    hostkit::ArgSpec through_callback = hostkit::buffer(4, 2 | ARG_CALLBACK);
    EXPECT_EQ(
        command(host, ORV_CMD_FETCH_ROW, outer, {through_callback}).status,
        ORV_OK);
    host.on_call = nullptr;
    EXPECT_EQ(hostkit::put_text(host, 3), "outer");
    EXPECT_EQ(nested_value, "inner");
}

// One command a host may run from inside a callback, with arguments that
// let it do its work.
struct NestedCommand {
    int32_t code;
    std::vector<hostkit::ArgSpec> args;
};

const std::vector<NestedCommand>& nested_commands() {
    static const std::vector<NestedCommand> rows = {
        {ORV_CMD_DIAGNOSTICS, {hostkit::buffer(64)}},
        {ORV_CMD_ALLOC_SLOT, {}},
        {ORV_CMD_CONNECT, {hostkit::text("-host=x")}},
        {ORV_CMD_DISCONNECT, {}},
        {ORV_CMD_DRIVER_INFO, {hostkit::buffer(64)}},
        {ORV_CMD_EXECUTE, {hostkit::text("nested")}},
        {ORV_CMD_DESCRIBE, {hostkit::buffer(2 * 224)}},
        {ORV_CMD_IMPORT_COLUMNS, {hostkit::buffer(224)}},
        {ORV_CMD_FETCH_ROW, {hostkit::buffer(16)}},
        {ORV_CMD_RESET_STATEMENT, {}},
        {ORV_CMD_GET_CONN_ATTR, {hostkit::buffer(4)}},
        {ORV_CMD_SET_CONN_ATTR, {hostkit::integer(1)}},
        {ORV_CMD_GET_STMT_ATTR, {hostkit::buffer(8)}},
        {ORV_CMD_SET_STMT_ATTR, {hostkit::integer(1)}},
        {ORV_CMD_LIST_SOURCES, {hostkit::buffer(64), hostkit::buffer(64)}},
        {ORV_CMD_FETCH_BLOCK, {hostkit::buffer(sizeof(void*))}},
    };
    return rows;
}

// What a slot holds, to show that a refused call changed none of it.
struct SlotSnapshot {
    SQLHDBC connection;
    SQLHSTMT statement;
    uint8_t* columns;
    int32_t column_capacity;
    uint8_t* row_buffer;
    std::size_t row_buffer_size;
    bool operator==(const SlotSnapshot&) const = default;
};
SlotSnapshot snapshot(int slot) {
    const orv::ConnectionSlot& s = *orv::slot_at(slot);
    return {s.connection,      s.statement,  s.columns,
            s.column_capacity, s.row_buffer, s.row_buffer_size};
}

// Runs command 12 on `outer` with a callback argument, and `inner` (a
// command on slot `on`) from inside its PUT_STRING; returns the inner
// call's header.  The outer call must deliver "outer" whatever the inner
// one did.
CmdHdr run_inside_fetch(hostkit::Host& host, int outer, int on,
                        const NestedCommand& inner) {
    hostkit::Host nested = testbed::make_host();
    CmdHdr answer{};
    bool ran = false;
    host.on_call = [&](hostkit::Host&,
                       const hostkit::Call& c) -> std::optional<int32_t> {
        if (c.service == PUT_STRING && !ran) {
            ran = true;
            answer = command(nested, inner.code, on, inner.args);
        }
        return std::nullopt;
    };
    hostkit::ArgSpec through_callback = hostkit::buffer(4, 2 | ARG_CALLBACK);
    EXPECT_EQ(
        command(host, ORV_CMD_FETCH_ROW, outer, {through_callback}).status,
        ORV_OK);
    host.on_call = nullptr;
    EXPECT_TRUE(ran);
    EXPECT_EQ(hostkit::put_text(host, 3), "outer");
    return answer;
}

// Every command on the slot whose command is running is refused with 15
// and changes nothing there: the outer command goes on with its result.
// Command 2, which would release the environment under it, is refused
// too.
TEST_F(Threads, CallOnTheRunningSlotIsRefused) {
    std::vector<NestedCommand> rows = nested_commands();
    rows.push_back({ORV_CMD_FREE_ENV, {}});
    for (const NestedCommand& row : rows) {
        // Command 4 works on no slot of its own: it opens a free one.
        if (row.code == ORV_CMD_ALLOC_SLOT) continue;
        SCOPED_TRACE(row.code);
        start_echo_case();
        ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
        const int outer = connect_slot();
        ASSERT_EQ(testbed::exec(host, outer, "outer").status, ORV_OK);
        const int on = row.code == ORV_CMD_FREE_ENV ? 0 : outer;
        ASSERT_EQ(command(host, ORV_CMD_FETCH_ROW, outer, {hostkit::buffer(8)})
                      .status,
                  ORV_OK);
        const SlotSnapshot before = snapshot(outer);
        const CmdHdr inner = run_inside_fetch(host, outer, on, row);
        EXPECT_EQ(inner.status, ORV_REFUSED);
        EXPECT_TRUE(snapshot(outer) == before);
        // The result runs out as it would have: the statement was never
        // touched.
        EXPECT_EQ(command(host, ORV_CMD_FETCH_ROW, outer, {hostkit::buffer(8)})
                      .number,
                  0.0);
    }
}

// Every command on another slot runs from inside a callback as it runs
// outside one: the same status and count as on a slot set up alike.
TEST_F(Threads, CallOnAnotherSlotWorks) {
    for (const NestedCommand& row : nested_commands()) {
        SCOPED_TRACE(row.code);
        start_echo_case();
        ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
        const int outer = connect_slot(), inner = connect_slot(),
                  alike = connect_slot();
        for (int s : {outer, inner, alike})
            ASSERT_EQ(
                testbed::exec(host, s, s == outer ? "outer" : "inner").status,
                ORV_OK);
        const CmdHdr nested = run_inside_fetch(host, outer, inner, row);
        const CmdHdr plain = command(host, row.code, alike, row.args);
        EXPECT_NE(nested.status, ORV_REFUSED);
        EXPECT_EQ(nested.status, plain.status);
        EXPECT_EQ(hostkit::count(nested), hostkit::count(plain));
    }
}

// A call from inside PUT_STRING that reads a value far larger than the
// retrieval buffer held, with every value traced: the outer value is
// traced as it was handed over, and both calls get their own line (the
// inner one first, since it ends first).
TEST_F(Threads, LargeReadFromInsideACallbackLeavesTheTracedValueAlone) {
    const std::string path = std::string(testing::TempDir()) +
                             "orv_nested_trace_" + std::to_string(getpid());
    std::remove(path.c_str());
    testbed::set_env("ORVSQL_TRACE", path.c_str());
    testbed::set_env("ORVSQL_TRACE_VALUES", "1");
    orv::trace_restart();
    const int outer = connect_slot(), inner = connect_slot();
    const std::string large(300000, 'x');
    ASSERT_EQ(testbed::exec(host, outer, "outer").status, ORV_OK);
    ASSERT_EQ(testbed::exec(host, inner, large).status, ORV_OK);
    hostkit::Host nested = testbed::make_host();
    const CmdHdr answer = run_inside_fetch(
        host, outer, inner,
        {ORV_CMD_FETCH_ROW, {hostkit::buffer(4, 2 | ARG_CALLBACK)}});
    EXPECT_EQ(answer.status, ORV_OK);
    testbed::set_env("ORVSQL_TRACE", nullptr);
    testbed::set_env("ORVSQL_TRACE_VALUES", nullptr);
    orv::trace_restart();
    std::ifstream f(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    std::remove(path.c_str());
    ASSERT_GE(lines.size(), 2u);
    const std::string& inner_line = lines[lines.size() - 2];
    const std::string& outer_line = lines.back();
    EXPECT_NE(inner_line.find(" put=[3:\"xxxx"), std::string::npos)
        << inner_line;
    EXPECT_NE(outer_line.find(" put=[3:\"outer\"]"), std::string::npos)
        << outer_line;
    EXPECT_NE(outer_line.find("slot=" + std::to_string(outer)),
              std::string::npos);
}

// A statement waiting in the driver holds back its own slot only: another
// slot works meanwhile, command 19 from a second thread ends the wait at
// once with the driver's answer (HY008 here), and the slot works again.
TEST_F(Threads, CancelEndsAStatementWhileOtherSlotsWork) {
    const int a = connect_slot(), b = connect_slot();
    CmdHdr waited{};
    std::thread t = exec_on_thread(a, "wait", &waited);
    wait_until_running("wait");
    EXPECT_EQ(work_on(b, 20), 0);
    EXPECT_EQ(waits_ended, 0) << "slot b waited for slot a";
    EXPECT_EQ(command(host, ORV_CMD_CANCEL, a).status, ORV_OK);
    t.join();
    EXPECT_EQ(waited.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(waited), "HY008");
    EXPECT_EQ(testbed::exec(host, a, "after").status, ORV_OK);
    EXPECT_EQ(standin::calls_to("SQLCancel").size(), 1u);
}

// Two threads calling on one slot take turns: the second call waits for
// the first to end and is not refused.
TEST_F(Threads, CallsOnOneSlotTakeTurns) {
    const int a = connect_slot();
    CmdHdr first{};
    std::thread t = exec_on_thread(a, "wait 300", &first);
    wait_until_running("wait 300");
    const CmdHdr second = testbed::exec(host, a, "second");
    EXPECT_EQ(waits_ended, 1) << "the second call ran during the first";
    t.join();
    EXPECT_EQ(first.status, ORV_OK);
    EXPECT_EQ(second.status, ORV_OK);
}

// Command 2 waits for the running call, then releases every slot's
// handles and the environment: no handle is left behind.
TEST_F(Threads, FreeEnvWaitsAndReleasesEverySlot) {
    const int a = connect_slot(), b = connect_slot();
    ASSERT_EQ(testbed::exec(host, b, "rows").status, ORV_OK);
    const std::vector<SQLHANDLE> held = {
        orv::slot_at(a)->connection, orv::slot_at(b)->connection,
        orv::slot_at(b)->statement, orv::env_handle()};
    CmdHdr running{};
    std::thread t = exec_on_thread(a, "wait 300", &running);
    wait_until_running("wait 300");
    const SQLHANDLE held_statement = orv::slot_at(a)->statement;
    EXPECT_EQ(command(host, ORV_CMD_FREE_ENV, 0).status, ORV_OK);
    EXPECT_EQ(waits_ended, 1);
    t.join();
    EXPECT_EQ(running.status, ORV_OK);
    for (SQLSMALLINT type : {SQL_HANDLE_STMT, SQL_HANDLE_DBC, SQL_HANDLE_ENV})
        for (SQLHANDLE live : standin::live_handles(type)) {
            EXPECT_EQ(std::count(held.begin(), held.end(), live), 0) << type;
            EXPECT_NE(live, held_statement);
        }
}

// A single-threaded host cancels from a callback: the row fetch that
// called back ends with HY008 and its result is closed, so the host's row
// loop ends; the slot's next statement works.
TEST_F(Threads, CancelFromACallbackEndsTheRowLoop) {
    const int a = connect_slot();
    ASSERT_EQ(testbed::exec(host, a, "rows").status, ORV_OK);
    hostkit::Host nested = testbed::make_host();
    int16_t cancel_status = -1;
    host.on_call = [&](hostkit::Host&,
                       const hostkit::Call& c) -> std::optional<int32_t> {
        if (c.service == PUT_STRING && cancel_status < 0)
            cancel_status = command(nested, ORV_CMD_CANCEL, a).status;
        return std::nullopt;
    };
    const CmdHdr fetched = command(host, ORV_CMD_FETCH_ROW, a,
                                   {hostkit::buffer(8, 2 | ARG_CALLBACK)});
    host.on_call = nullptr;
    EXPECT_EQ(cancel_status, ORV_OK);
    EXPECT_EQ(fetched.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(fetched), "HY008");
    EXPECT_EQ(command(host, ORV_CMD_FETCH_ROW, a, {hostkit::buffer(8)}).status,
              ORV_ODBC_ERROR);
    EXPECT_EQ(testbed::exec(host, a, "after").status, ORV_OK);
}

// Eight threads run random commands on four slots, cancels among them
// racing the commands that free a statement (13), a connection (7) and
// everything (2).  Under ThreadSanitizer this finds any state two threads
// reach without a lock; everywhere it finds a cancel that reached a freed
// handle (the stand-in counts every use of one), a crash or a hang.
TEST_F(Threads, RandomCommandsOnSharedSlots) {
    for (int i = 0; i < 4; ++i) connect_slot();
    constexpr int kThreads = 8, kRounds = 300;
    std::atomic<int> wrong{0};
    auto run = [&](unsigned seed) {
        hostkit::Host h = testbed::make_host();
        std::mt19937 random(seed);
        const int own = static_cast<int>(seed % 4) + 1;
        for (int i = 0; i < kRounds; ++i) {
            const int other = static_cast<int>(random() % 4) + 1;
            CmdHdr r{};
            switch (random() % 12) {
                case 0:
                    r = command(h, ORV_CMD_RESET_STATEMENT, own);
                    break;
                case 1:
                    r = command(h, ORV_CMD_DISCONNECT, own);
                    break;
                case 2:
                    r = command(
                        h, random() % 8 ? ORV_CMD_ALLOC_SLOT : ORV_CMD_FREE_ENV,
                        0);
                    break;
                case 3:
                    r = command(h, ORV_CMD_ALLOC_ENV, 0);
                    break;
                case 4:
                    r = command(h, ORV_CMD_CONNECT, own,
                                {hostkit::text("-host=x")});
                    break;
                case 5:
                case 6:
                    r = command(h, ORV_CMD_CANCEL, other);
                    break;
                case 7:
                    r = command(h, ORV_CMD_FETCH_BLOCK, own,
                                {hostkit::buffer(sizeof(void*))});
                    break;
                case 8:
                    r = command(h, ORV_CMD_FETCH_ROW, own,
                                {hostkit::buffer(8)});
                    break;
                default:
                    r = testbed::exec(h, own, i % 7 ? "rows" : "wait 2");
                    break;
            }
            // Every answer is one a host can meet on a slot another thread
            // shares: nothing refused, nothing malformed.
            wrong += r.status == ORV_REFUSED || r.status == ORV_UNSUPPORTED ||
                     r.status == ORV_MISSING_ARG;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(run, static_cast<unsigned>(t));
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(standin::invalid_handle_uses(), 0);
}

}  // namespace
