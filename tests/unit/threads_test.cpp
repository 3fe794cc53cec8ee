// Calls of orvsql from two threads at once, and a call made from inside a
// callback, on the scripted stand-in.  Built also with ThreadSanitizer
// (ORV_TSAN), which reports any unserialized access to the connector's
// process-wide state.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "standin.h"
#include "standin_fixture.h"
#include "testbed.h"

namespace {

using testbed::command;

class Threads : public testbed::StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        // Every statement's result is its own SQL text, in two rows, so a
        // value that crossed to another slot shows.
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
        ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
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

}  // namespace
