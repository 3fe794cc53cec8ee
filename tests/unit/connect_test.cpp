// The connection-string parse, seen through what SQLConnect receives and
// what the host's buffer holds afterwards.
#include <gtest/gtest.h>

#include <string>

#include "conn/decode.h"
#include "conn/encode.h"
#include "standin.h"
#include "standin_fixture.h"
#include "testbed.h"

namespace {

using namespace std::string_literals;
using testbed::command;

struct ParseCase {
    std::string input;
    std::string server, user, password;  // as SQLConnect received them
    int16_t status;
    std::string after;  // the host's buffer afterwards, terminator included
};

// A user or password the string does not give reaches SQLConnect as a null
// pointer, so that the driver takes the data source's own.
const std::string kNone = "(null)";

const ParseCase kParseCases[] = {
    {"-host=sales -user=clerk", "sales", "clerk", kNone, 0,
     "-host\0sales\0-user\0clerk\0"s},
    {"sales", "sales", kNone, kNone, 0, "sales\0"s},
    {"", "", kNone, kNone, 0, "\0"s},
    {"-user=clerk", "-user", "clerk", kNone, 0, "-user\0clerk\0"s},
    {"host=sales", "host", kNone, kNone, 13, "host\0sales\0"s},
    {"-Host=sales", "-Host", kNone, kNone, 13, "-Host\0sales\0"s},
    {"-host=a=b -user=x", "a=b", "x", kNone, 0, "-host\0a=b\0-user\0x\0"s},
    {"-host=my db -user=x", "my db", "x", kNone, 0,
     "-host\0my db\0-user\0x\0"s},
    // Given, even empty: passed as it stands.
    {"-pw= -user=clerk", "-pw", "clerk", "", 0, "-pw\0\0-user\0clerk\0"s},
    {"-host=s -user= -pw=", "s", "", "", 0, "-host\0s\0-user\0\0-pw\0\0"s},
    {"-host=sales   ", "sales", kNone, kNone, 0, "-host\0sales\0\0\0\0"s},
    {"-db=x -port=5 -flags=1 -sockfile=y -host=sales", "sales", kNone, kNone, 0,
     "-db\0x\0-port\0005\0-flags\0001\0-sockfile\0y\0-host\0sales\0"s},
    {"-host=a -host=b", "b", kNone, kNone, 0, "-host\0a\0-host\0b\0"s},
    {"-host=sales -bad=1 -user=clerk", "sales", kNone, kNone, 13,
     "-host\0sales\0-bad\0001\0-user=clerk\0"s},
    // A run of spaces before the next pair counts as one separator.
    {"-host=sales   -user=clerk", "sales", "clerk", kNone, 0,
     "-host\0sales\0\0\0-user\0clerk\0"s},
    {"-host=s -user=u -pw=p", "s", "u", "p", 0,
     "-host\0s\0-user\0u\0-pw\0p\0"s},
    // A value may hold a lone '-' inside it and spaces not followed by '-'.
    {"-pw=a-b c", "-pw", kNone, "a-b c", 0, "-pw\0a-b c\0"s},
    {"=x", "", kNone, kNone, 13, "\0x\0"s},
};

class ConnectParse : public testbed::StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
        slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
    }
    // A fresh, unconnected slot for the next case.
    void renew() {
        command(host, ORV_CMD_DISCONNECT, slot);
        standin::reset();
        slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
    }
    // The connect command on a fresh slot, with a text argument.
    CmdHdr connect_afresh(const std::string& input) {
        renew();
        return command(host, ORV_CMD_CONNECT, slot, {hostkit::text(input)});
    }
    int slot = 0;
};

TEST_F(ConnectParse, Table) {
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE("input '" + c.input + "'");
        CmdHdr hdr = connect_afresh(c.input);
        EXPECT_EQ(hdr.status, c.status);
        std::vector<standin::LogEntry> calls = standin::calls_to("SQLConnect");
        ASSERT_EQ(calls.size(), 1u);
        ASSERT_EQ(calls[0].args.size(), 3u);
        EXPECT_EQ(calls[0].args[0], c.server);
        EXPECT_EQ(calls[0].args[1], c.user);
        EXPECT_EQ(calls[0].args[2], c.password);
        std::vector<uint8_t> bytes = hostkit::arg_bytes(host, 3);
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.after);
    }
}

TEST_F(ConnectParse, DecodesHostUserThenPasswordKeyedByDecodedUser) {
    char user[64], pw[128], dsn[64];
    const uint8_t filler[44] = {};
    ASSERT_EQ(orv::encode_value(2, "clerk", nullptr, nullptr, nullptr, user,
                                sizeof user),
              orv::EncodeStatus::kOk);
    ASSERT_EQ(
        orv::encode_value(3, "s3cret", "clerk", "Zz09", filler, pw, sizeof pw),
        orv::EncodeStatus::kOk);
    ASSERT_EQ(orv::encode_value(1, "sales", nullptr, nullptr, nullptr, dsn,
                                sizeof dsn),
              orv::EncodeStatus::kOk);
    std::string s = "-host="s + dsn + " -user=" + user + " -pw=" + pw;
    CmdHdr hdr = command(host, ORV_CMD_CONNECT, slot, {hostkit::text(s)});
    EXPECT_EQ(hdr.status, ORV_OK);
    std::vector<standin::LogEntry> calls = standin::calls_to("SQLConnect");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args,
              (std::vector<std::string>{"sales", "clerk", "s3cret"}));
}

TEST_F(ConnectParse, OutcomeTable) {
    struct Case {
        SQLRETURN rc;
        const char* input;
        int16_t status;
        const char* sqlstate;
    };
    const Case cases[] = {
        {SQL_SUCCESS_WITH_INFO, "-host=a", 0, "01S00"},
        {SQL_SUCCESS_WITH_INFO, "-host=a -x=1", 13, "01S00"},
        {SQL_ERROR, "-host=a -x=1", 2, "01S00"},
        {SQL_SUCCESS, "-host=a -x=1", 13, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        renew();
        if (c.rc != SQL_SUCCESS) standin::fail("SQLConnect", c.rc, "01S00", 5);
        CmdHdr hdr =
            command(host, ORV_CMD_CONNECT, slot, {hostkit::text(c.input)});
        EXPECT_EQ(hdr.status, c.status);
        EXPECT_EQ(hostkit::sqlstate(hdr), c.sqlstate);
    }
}

TEST_F(ConnectParse, BadStorageNeverReadsOrWritesOutside) {
    // No terminator: the storage's last byte is taken as the end.
    hostkit::ArgSpec raw;
    std::string s = "-host=salesX";
    raw.bytes.assign(s.begin(), s.end());
    raw.size = static_cast<uint32_t>(s.size());
    command(host, ORV_CMD_CONNECT, slot, {raw});
    EXPECT_EQ(standin::calls_to("SQLConnect").back().args[0], "sales");

    // Null storage and size 0: an empty connection string.
    renew();
    hostkit::ArgSpec none;
    none.null_data = true;
    none.size = 64;
    EXPECT_EQ(command(host, ORV_CMD_CONNECT, slot, {none}).status, ORV_OK);
    command(host, ORV_CMD_DISCONNECT, slot);
    slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
    hostkit::ArgSpec empty;
    empty.size = 0;
    EXPECT_EQ(command(host, ORV_CMD_CONNECT, slot, {empty}).status, ORV_OK);
    for (const standin::LogEntry& e : standin::calls_to("SQLConnect"))
        EXPECT_EQ(e.args[0], "");
}

// -odbc=: what SQLDriverConnect receives (no call when the value breaks
// the ODBC grammar: status 3), and what SQLConnect never sees.
TEST_F(ConnectParse, DriverAttributesTable) {
    struct Case {
        std::string input;
        const char* sent;  // nullptr: no driver call
        int16_t status;
    };
    const Case cases[] = {
        {"-host=s -user=u -pw=p -odbc=A=1", "DSN=s;UID=u;PWD=p;A=1", 0},
        {"-host=s -odbc=A=1;B={x;y}", "DSN=s;A=1;B={x;y}", 0},
        {"-odbc=Driver={SQLite3};Database=/t/x.db",
         "Driver={SQLite3};Database=/t/x.db", 0},
        {"-user=u -pw= -odbc=Driver=d", "UID=u;PWD=;Driver=d", 0},
        // Values holding ';', braces or outer spaces travel braced.
        {"-host=s -pw=a;b} -odbc=", "DSN=s;PWD={a;b}}};", 0},
        {"-pw= x -odbc=K=v", "PWD={ x};K=v", 0},
        {"-odbc=A={a}}b};B=2", "A={a}}b};B=2", 0},
        {"-odbc=A={x} ;", "A={x} ;", 0},
        {"-odbc=;;A=1;", ";;A=1;", 0},
        {"-host=s -odbc=A=1 -bad=2", "DSN=s;A=1", 13},
        {"-odbc=A={x", nullptr, 3},
        {"-odbc=A={x}y", nullptr, 3},
        {"-odbc=A", nullptr, 3},
        {"-odbc=A;B=1", nullptr, 3},
        {"-odbc==1", nullptr, 3},
        {"-odbc=A=x}", nullptr, 3},
        {"-odbc={A}=1", nullptr, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("input '" + c.input + "'");
        CmdHdr hdr = connect_afresh(c.input);
        EXPECT_EQ(hdr.status, c.status);
        EXPECT_TRUE(standin::calls_to("SQLConnect").empty());
        std::vector<standin::LogEntry> calls =
            standin::calls_to("SQLDriverConnect");
        if (c.sent == nullptr) {
            EXPECT_TRUE(calls.empty());
            EXPECT_FALSE(
                standin::connected(standin::last_handle(SQL_HANDLE_DBC)));
            continue;
        }
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].args,
                  (std::vector<std::string>{c.sent, "0"}));  // NOPROMPT
    }
}

}  // namespace
