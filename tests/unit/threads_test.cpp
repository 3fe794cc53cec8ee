// Calls of orvsql from two threads at once, and a call made from inside a
// callback, on the scripted stand-in.  Built also with ThreadSanitizer
// (ORV_TSAN), which reports any unserialized access to the connector's
// process-wide state.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
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
    // value that crossed to another slot shows.
    static void echo_statements() {
        standin::hooks.SQLExecDirect = [](SQLHSTMT s, SQLCHAR* text,
                                          SQLINTEGER len) {
            const SQLRETURN rc = standin::base::SQLExecDirect(s, text, len);
            const std::string sql(
                reinterpret_cast<const char*>(text),
                len == SQL_NTS
                    ? std::strlen(reinterpret_cast<const char*>(text))
                    : static_cast<std::size_t>(len));
            standin::set_result(s, standin::table({"v"}, {{sql}, {sql}}));
            return rc;
        };
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

}  // namespace
