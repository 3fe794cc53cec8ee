// The command trace (ORVSQL_TRACE): the line of each call, password values
// masked, texts cut to 64 bytes, an unopenable file, and a host that sees
// the same with tracing on as with it off.
#include "host/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "conn/decode.h"
#include "conn/encode.h"
#include "standin_fixture.h"

namespace {

using testbed::command;

class Trace : public testbed::StandinTest {
  protected:
    void TearDown() override {
        testbed::set_env("ORVSQL_TRACE", nullptr);
        testbed::set_env("ORVSQL_TRACE_VALUES", nullptr);
        orv::trace_restart();
        std::remove(path_.c_str());
        StandinTest::TearDown();
    }

    // Traces into a fresh file from the next call on.
    void start(bool values) {
        std::remove(path_.c_str());
        testbed::set_env("ORVSQL_TRACE", path_.c_str());
        testbed::set_env("ORVSQL_TRACE_VALUES", values ? "1" : "0");
        orv::trace_restart();
        read_ = 0;
    }

    // The lines written since the last call, without their line ends (the
    // trace is a text file: Windows ends its lines with CR LF).
    std::vector<std::string> new_lines() {
        std::ifstream f(path_, std::ios::binary);
        std::ostringstream all;
        all << f.rdbuf();
        const std::string text = all.str().substr(read_);
        read_ += text.size();
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

    // The one line of the last call without its time stamp and duration;
    // fails when the line does not have that shape.
    std::string last_line() {
        std::vector<std::string> lines = new_lines();
        EXPECT_EQ(lines.size(), 1u);
        if (lines.empty()) return {};
        static const std::regex shape(
            R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (.*) took=\d+us$)");
        std::smatch m;
        EXPECT_TRUE(std::regex_match(lines.back(), m, shape)) << lines.back();
        return m.size() > 1 ? m[1].str() : lines.back();
    }

    const std::string path_ = std::string(testing::TempDir()) + "orv_trace_" +
                              std::to_string(getpid());
    std::size_t read_ = 0;
};

const char kOk[] = "status=0(OK) sqlstate=\"\" native_error=0 count=0 number=0";

// Each call's line: the inputs as the host gave them, the outcome as the
// host finds it.
TEST_F(Trace, OneLinePerCall) {
    start(false);
    struct Case {
        const char* what;
        int32_t code;
        int slot;
        std::vector<hostkit::ArgSpec> args;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"environment",
         ORV_CMD_ALLOC_ENV,
         0,
         {},
         "cmd=1(ALLOC_ENV) slot=0 subcode=0 param=0 row_number=0 arg_count=2 "
         "args=[2:0x0000/48] -> " +
             std::string(kOk)},
        {"slot",
         ORV_CMD_ALLOC_SLOT,
         0,
         {},
         "cmd=4(ALLOC_SLOT) slot=0 subcode=0 param=0 row_number=0 arg_count=2 "
         "args=[2:0x0000/48] -> status=0(OK) slot=1 sqlstate=\"\" "
         "native_error=0 count=0 number=0"},
        {"connect",
         ORV_CMD_CONNECT,
         1,
         {hostkit::text("-host=x -pw=p")},
         "cmd=6(CONNECT) slot=1 subcode=0 param=0 row_number=0 arg_count=3 "
         "args=[2:0x0000/48 3:0x0002/14] -> " +
             std::string(kOk)},
        {"no such command",
         26,
         1,
         {},
         "cmd=26(?) slot=1 subcode=0 param=0 row_number=0 arg_count=2 "
         "args=[2:0x0000/48] -> status=9(BAD_COMMAND) sqlstate=\"\" "
         "native_error=0 count=0 number=0"},
        {"failure",
         ORV_CMD_EXECUTE,
         1,
         {hostkit::text("SELECT 1")},
         "cmd=9(EXECUTE) slot=1 subcode=0 param=0 row_number=0 arg_count=3 "
         "args=[2:0x0000/48 3:0x0002/9] -> status=2(ODBC_ERROR) "
         "sqlstate=\"42S02\" native_error=1146 count=0 number=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.code == ORV_CMD_EXECUTE)
            standin::fail("SQLExecDirect", SQL_ERROR, "42S02", 1146);
        command(host, c.code, c.slot, c.args);
        EXPECT_EQ(last_line(), c.line);
    }

    // The row fetch reads param word-swapped, and the line shows it so.
    CmdHdr hdr = hostkit::header(1, FETCH_ARRAY);
    hostkit::set_param_swapped(hdr, 5);
    hdr.row_number = 3;
    hostkit::run(host, ORV_CMD_FETCH_ROW, hdr, {hostkit::integer(0)});
    EXPECT_EQ(last_line().rfind("cmd=12(FETCH_ROW) slot=1 subcode=1 param=5 "
                                "row_number=3 arg_count=3 ",
                                0),
              0u);

    // A header under 48 bytes is traced without its fields.
    host.header_size = 47;
    testing::internal::CaptureStdout();
    command(host, ORV_CMD_EXECUTE, 1, {hostkit::text("SELECT 1")});
    testing::internal::GetCapturedStdout();
    host.header_size = 48;
    EXPECT_EQ(last_line(),
              "cmd=9(EXECUTE) arg_count=3 args=[2:0x0000/47 3:0x0002/9] -> "
              "status=11(UNSUPPORTED) header of 47 bytes, under 48");
}

// With values, a password never reaches the trace: not as given, not
// encoded, not decoded (the connect command decodes it into the host's
// storage), not cut in half at the 64-byte limit.
TEST_F(Trace, PasswordsAreMasked) {
    char encoded[128];
    const uint8_t filler[44] = {};
    ASSERT_EQ(orv::encode_value(3, "QsecretQ", "clerk", "Zz09", filler, encoded,
                                sizeof encoded),
              orv::EncodeStatus::kOk);
    const std::string pad(52, 'h');
    struct Case {
        std::string connection;
        std::string shown;  // the argument as traced
    };
    const Case cases[] = {
        {"-host=x -user=clerk -pw=QsecretQ", "\"-host=x -user=clerk -pw=***\""},
        {"-host=x -user=clerk -pw=" + std::string(encoded),
         "\"-host=x -user=clerk -pw=***\"..."},
        {"-pw=Qa-b cQ -host=x", "\"-pw=*** -host=x\""},
        {"-pw=QQ   -host=x", "\"-pw=*** -host=x\""},
        {"Xpw=QsecretQ", "\"Xpw=***\""},
        {"-host=" + pad + " -pw=QsecretQ", "\"-host=" + pad + " -pw=***\"..."},
        {"-host=x -bad=1 -pw=QsecretQ", "\"-host=x -bad=1 -pw=***\""},
        {"-odbc=A=1;PWD=QsQ;B=2", "\"-odbc=A=1;PWD=***;B=2\""},
        {"-odbc=Password={Q;Q}}Q};B=2", "\"-odbc=Password=***;B=2\""},
        {"-odbc=pwd={Q;Q -host=x", "\"-odbc=pwd=***\""},
        {"-odbc=PwD=QQ -host=x", "\"-odbc=PwD=*** -host=x\""},
    };
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    start(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.connection);
        const int slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
        new_lines();
        command(host, ORV_CMD_CONNECT, slot, {hostkit::text(c.connection)});
        const std::string line = last_line();
        EXPECT_NE(line.find(" " + c.shown + "] -> "), std::string::npos)
            << line;
        EXPECT_EQ(line.find('Q'), std::string::npos) << line;
        command(host, ORV_CMD_DISCONNECT, slot);
    }
    // A driver's message that repeats the connection string.
    const int slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
    new_lines();
    standin::fail("SQLConnect", SQL_ERROR, "28000", 1,
                  "login failed for -user=clerk -pw=QsecretQ");
    command(host, ORV_CMD_CONNECT, slot, {hostkit::text("-pw=QsecretQ")});
    command(host, ORV_CMD_DIAGNOSTICS, slot, {hostkit::buffer(240)});
    const std::vector<std::string> lines = new_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("put=[3:\"login failed for -user=clerk -pw=***\"]"),
              std::string::npos)
        << lines[1];
    for (const std::string& line : lines)
        EXPECT_EQ(line.find('Q'), std::string::npos) << line;
}

// Argument and result texts are cut to 64 bytes; bytes outside printable
// ASCII are escaped.
TEST_F(Trace, TextsAreCutTo64Bytes) {
    const std::string a64(64, 'a'), long_message(300, 'm');
    struct Case {
        std::string sql;
        std::string shown;
    };
    const Case cases[] = {
        {a64, "\"" + a64 + "\"]"},
        {a64 + "b", "\"" + a64 + "\"...]"},
        {"SELECT '\"\\\x01'", "\"SELECT '\\\"\\\\\\x01'\"]"},
    };
    open(standin::table({"a"}, {{"1"}}));
    start(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        command(host, ORV_CMD_EXECUTE, 1, {hostkit::text(c.sql)});
        const std::string line = last_line();
        EXPECT_NE(line.find(" 3:0x0002/" + std::to_string(c.sql.size() + 1) +
                            " " + c.shown),
                  std::string::npos)
            << line;
    }
    standin::fail("SQLExecDirect", SQL_ERROR, "42000", 7, long_message);
    command(host, ORV_CMD_EXECUTE, 1, {hostkit::text("x")});
    new_lines();
    command(host, ORV_CMD_DIAGNOSTICS, 1, {hostkit::buffer(240)});
    const std::string line = last_line();
    EXPECT_NE(line.find(" put=[3:\"" + long_message.substr(0, 64) + "\"...]"),
              std::string::npos)
        << line;
}

TEST_F(Trace, UnopenableFileIsReportedOnceAndTracingStaysOff) {
    testbed::set_env("ORVSQL_TRACE", "/nonexistent-dir/trace");
    orv::trace_restart();
    testing::internal::CaptureStderr();
    EXPECT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    EXPECT_EQ(command(host, ORV_CMD_ALLOC_SLOT, 0).slot, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "orvsql: cannot open the trace file /nonexistent-dir/trace: No "
              "such file or directory; tracing is off\n");
}

// The host sees the same service calls, answers and header bytes with
// values traced as without a trace.
TEST_F(Trace, HostSeesTheSameWithTracingOn) {
    struct Run {
        std::vector<hostkit::Call> calls;
        std::vector<uint8_t> header;
    };
    auto run_all = [&] {
        std::vector<Run> runs;
        const int slot = open(standin::table({"a", "b"}, {{"1", "x"}}));
        auto keep = [&](CmdHdr hdr) {
            const auto* b = reinterpret_cast<const uint8_t*>(&hdr);
            runs.push_back({host.calls, {b, b + sizeof hdr}});
        };
        keep(command(host, ORV_CMD_DRIVER_INFO, slot, {hostkit::buffer(240)},
                     7));
        keep(command(host, ORV_CMD_FETCH_ROW, slot,
                     {hostkit::buffer(8, ARG_TYPE_STRING | ARG_CALLBACK),
                      hostkit::buffer(8, ARG_TYPE_STRING | ARG_CALLBACK)}));
        host.refuse_put_string = true;
        standin::push_diag(orv::slot_at(slot)->statement, "01004", 3, "cut");
        keep(command(host, ORV_CMD_DIAGNOSTICS, slot, {hostkit::buffer(240)}));
        host.refuse_put_string = false;
        testbed::release_all(host);
        standin::reset();
        return runs;
    };
    const std::vector<Run> plain = run_all();
    start(true);
    const std::vector<Run> traced = run_all();
    ASSERT_EQ(plain.size(), traced.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(plain[i].calls.size(), traced[i].calls.size());
        for (std::size_t k = 0; k < plain[i].calls.size(); ++k) {
            const hostkit::Call &p = plain[i].calls[k], &t = traced[i].calls[k];
            EXPECT_EQ(std::tie(p.service, p.selector, p.a, p.b, p.bytes, p.n,
                               p.result),
                      std::tie(t.service, t.selector, t.a, t.b, t.bytes, t.n,
                               t.result));
        }
        EXPECT_EQ(plain[i].header, traced[i].header);
    }
    EXPECT_FALSE(host.foreign_context_seen);
    const std::vector<std::string> lines = new_lines();
    // The lines of the row fetch and of the diagnostics command.
    std::vector<std::string> puts;
    for (const std::string& line : lines)
        if (line.find(" put=[") != std::string::npos) puts.push_back(line);
    ASSERT_EQ(puts.size(), 3u);
    EXPECT_NE(puts[1].find("cmd=12(FETCH_ROW) "), std::string::npos);
    EXPECT_NE(puts[1].find(" put=[3:\"1\" 4:\"x\"] -> "), std::string::npos)
        << puts[1];
    EXPECT_NE(puts[2].find(" put=[3:\"cut\"(refused)] -> "), std::string::npos)
        << puts[2];
}

}  // namespace
