// Command 6 against the test bed's data sources.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "conn/decode.h"
#include "conn/encode.h"
#include "testbed.h"

namespace {

using testbed::command;

// Allocates the environment (if needed) and a slot; returns the slot, 0
// when either fails.
int new_slot(hostkit::Host& host) {
    if (command(host, ORV_CMD_ALLOC_ENV, 0).status != 0) return 0;
    return command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
}
// Connect command with a connection string passed as raw bytes.
CmdHdr connect_with(hostkit::Host& host, int slot, const std::string& s) {
    return command(host, ORV_CMD_CONNECT, slot, {hostkit::text(s)});
}
// The value of an environment variable, "" when it is not set.
std::string env(const char* name) {
    const char* v = std::getenv(name);
    return std::string(v == nullptr ? "" : v);
}

class Connect : public testbed::ConnectorTest {};

// Encodes a password the way a host author does with orvsql-encode.
std::string encoded(int scheme, const std::string& text,
                    const std::string& user) {
    char out[128];
    const uint8_t filler[44] = {};
    orv::EncodeStatus st = orv::encode_value(scheme, text.c_str(), user.c_str(),
                                             "Ab12", filler, out, sizeof out);
    EXPECT_EQ(st, orv::EncodeStatus::kOk) << "scheme " << scheme;
    return out;
}

TEST_F(Connect, SqliteByDataSourceName) {
    REQUIRE_DSN("orv_sqlite");
    int slot = new_slot(host);
    CmdHdr hdr = connect_with(host, slot, "-host=orv_sqlite");
    EXPECT_EQ(hdr.status, ORV_OK) << hostkit::sqlstate(hdr);
    // The host's argument holds the cut-up string afterwards.
    std::vector<uint8_t> bytes = hostkit::arg_bytes(host, 3);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              std::string("-host\0orv_sqlite\0", 17));
    EXPECT_EQ(testbed::exec(host, slot, "SELECT 1").status, ORV_OK);
}

// Servers with a password: the plain value and the three encodings all
// connect; a wrong password fails with the driver's login SQLSTATE.
struct ServerCase {
    const char* dsn;
    const char* login_failure_state;  // what the driver reports
};
const ServerCase kServers[] = {
    {"orv_pg", "08001"},
    {"orv_maria", "28000"},
};

class ConnectServer : public testbed::ConnectorTest,
                      public ::testing::WithParamInterface<ServerCase> {};

TEST_P(ConnectServer, PlainAndEncodedPasswords) {
    const ServerCase& server = GetParam();
    REQUIRE_DSN(server.dsn);
    std::string user = testbed::user_of(server.dsn);
    std::string pw = testbed::password_of(server.dsn);
    const std::string passwords[] = {
        pw, encoded(1, pw, user), encoded(2, pw, user), encoded(3, pw, user)};
    for (const std::string& p : passwords) {
        int slot = new_slot(host);
        CmdHdr hdr = connect_with(host, slot,
                                  "-host=" + std::string(server.dsn) +
                                      " -user=" + user + " -pw=" + p);
        EXPECT_EQ(hdr.status, ORV_OK)
            << "scheme byte " << int(p[0]) << ": " << hostkit::sqlstate(hdr)
            << " " << testbed::last_message(host, slot);
        command(host, ORV_CMD_DISCONNECT, slot);
    }

    int slot = new_slot(host);
    CmdHdr hdr = connect_with(host, slot,
                              "-host=" + std::string(server.dsn) +
                                  " -user=" + user + " -pw=wrong" + pw);
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), server.login_failure_state);
    std::string message = testbed::last_message(host, slot);
    EXPECT_FALSE(message.empty());
    // A scheme-3 password made for another user decodes to
    // "<bad decryption>", which the server refuses like any wrong one.
    hdr = connect_with(host, slot,
                       "-host=" + std::string(server.dsn) + " -user=" + user +
                           " -pw=" + encoded(3, pw, "other"));
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
}

INSTANTIATE_TEST_SUITE_P(Servers, ConnectServer, ::testing::ValuesIn(kServers),
                         testbed::SourceName());

// A connection string and what the connect command makes of it.  Status 0
// or 13 leaves the slot connected (SELECT 1 runs); status 2 gives the
// driver's SQLSTATE; other statuses are checked alone.
struct OutcomeCase {
    const char* dsn;  // the data source the case needs ("": none)
    std::string input;
    int16_t status;
    const char* sqlstate = "";  // of a status 2
    const char* message = "";   // text the driver's message holds ("": any)
};

// The rows, built when the tests are listed: they take credentials, ports
// and paths from the test bed's environment.
std::vector<OutcomeCase> outcome_cases() {
    const std::string pg_user = testbed::user_of("orv_pg");
    const std::string pg =
        "-user=" + pg_user + " -pw=" + testbed::password_of("orv_pg");
    const std::string maria = "-user=" + testbed::user_of("orv_maria") +
                              " -pw=" + testbed::password_of("orv_maria");
    const std::string semi =
        "-user=" + env("ORV_SEMI_USER") + " -pw=" + env("ORV_SEMI_PASSWORD");
    // A '}' inside braces is written twice.
    std::string semi_braced;
    for (const char ch : env("ORV_SEMI_PASSWORD")) {
        semi_braced += ch;
        if (ch == '}') semi_braced += '}';
    }
    return {
        // The driver manager reports a data source it does not know.
        {"", "-host=orv_nowhere -user=a -pw=b", 2, "IM002", "Data source name"},
        // An unknown key still connects, and reports 13.
        {"orv_sqlite", "-host=orv_sqlite -bad=1 -user=clerk", 13},
        // A user or password the string leaves out is the data source's
        // own; one it gives, even empty, is the one used.  The test bed's
        // *_dsncred data sources hold their credentials.
        {"orv_sqlite", "-host=orv_sqlite", 0},
        {"orv_pg", "-host=orv_pg_dsncred", 0},
        {"orv_pg", "-host=orv_pg_dsncred -user=" + pg_user, 0},
        {"orv_pg", "-host=orv_pg_dsncred -pw=wrong", 2, "08001"},
        {"orv_maria", "-host=orv_maria_dsncred", 0},
        {"orv_maria", "-host=orv_maria_dsncred -user= -pw=", 2, "28000"},
        // -odbc=: driver attributes, DSN-less connections and values a
        // connection string must brace, as each driver answers.
        {"orv_sqlite",
         "-odbc=Driver={SQLite3};Database=" + env("ORV_SQLITE_DB"), 0},
        {"orv_pg",
         pg + " -odbc=Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=" +
             env("ORV_PG_PORT") + ";Database=orvtest;SSLmode=disable",
         0},
        {"orv_maria",
         maria + " -odbc=Driver={MariaDB Unicode};SERVER=127.0.0.1;PORT=" +
             env("ORV_MARIA_PORT") + ";DATABASE=orvtest",
         0},
        {"orv_sqlite", "-host=orv_sqlite -odbc=StepAPI=0;Timeout=1000", 0},
        {"orv_pg", "-host=orv_pg " + pg + " -odbc=UseDeclareFetch=0", 0},
        {"orv_pg", "-host=orv_pg_dsncred -odbc=", 0},
        // A password holding ';' and '}', from -pw= and braced by hand.
        {"orv_pg", "-host=orv_pg " + semi + " -odbc=", 0},
        {"orv_maria", "-host=orv_maria " + semi + " -odbc=", 0},
        {"orv_pg",
         "-host=orv_pg -odbc=UID=" + env("ORV_SEMI_USER") + ";PWD={" +
             semi_braced + "}",
         0},
        {"orv_pg", "-host=orv_pg " + semi + "x -odbc=", 2, "08001"},
        {"orv_maria", "-host=orv_maria " + semi + "x -odbc=", 2, "28000"},
        {"orv_sqlite", "-host=orv_sqlite -odbc=Timeout={1", 3},
        {"orv_sqlite", "-odbc=Driver={NoSuchDriver}", 2, "01000"},
    };
}

class ConnectOutcome : public testbed::ConnectorTest,
                       public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ConnectOutcome, AsEachDriverAnswers) {
    const OutcomeCase& c = GetParam();
    SCOPED_TRACE(c.input);
    if (c.dsn[0] != 0) REQUIRE_DSN(c.dsn);
    int slot = new_slot(host);
    CmdHdr hdr = connect_with(host, slot, c.input);
    EXPECT_EQ(hdr.status, c.status)
        << hostkit::sqlstate(hdr) << " " << testbed::last_message(host, slot);
    if (c.status == ORV_OK || c.status == ORV_BAD_KEYWORD) {
        EXPECT_EQ(testbed::exec(host, slot, "SELECT 1").status, ORV_OK);
    } else if (c.status == ORV_ODBC_ERROR) {
        EXPECT_EQ(hostkit::sqlstate(hdr), c.sqlstate)
            << testbed::last_message(host, slot);
    }
    if (c.message[0] != 0) {
        EXPECT_NE(testbed::last_message(host, slot).find(c.message),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ConnectOutcome,
                         ::testing::ValuesIn(outcome_cases()),
                         testbed::RowName());

TEST_F(Connect, MissingArgumentAndUnterminatedString) {
    int slot = new_slot(host);
    EXPECT_EQ(command(host, ORV_CMD_CONNECT, slot).status, ORV_MISSING_ARG);
    if (!testbed::available("orv_sqlite")) return;
    // No terminator within the storage: its last byte ends the string.
    hostkit::ArgSpec raw;
    raw.size = 17;
    std::string s = "-host=orv_sqliteX";
    raw.bytes.assign(s.begin(), s.end());
    CmdHdr hdr = command(host, ORV_CMD_CONNECT, slot, {raw});
    EXPECT_EQ(hdr.status, ORV_OK) << hostkit::sqlstate(hdr);
}

// A character set chosen through -odbc= turns 'Ä' (UTF-8 C3 84) into the
// single byte C4; without it the test bed's UTF-8 arrives.
TEST_F(Connect, CharacterSetThroughDriverAttributes) {
    struct Case {
        const char* dsn;
        const char* odbc;  // appended as -odbc= when not empty
        const char* sql;
        std::string bytes;
    };
    const char* maria = "SELECT CONVERT(UNHEX('C384') USING utf8mb4) AS v";
    const char* pg = "SELECT convert_from('\\xc384'::bytea, 'UTF8') AS v";
    const Case cases[] = {
        {"orv_maria", "", maria, "\xC3\x84"},
        {"orv_maria", "CHARSET=latin1", maria, "\xC4"},
        {"orv_pg", "", pg, "\xC3\x84"},
        {"orv_pg", "ConnSettings={SET client_encoding TO 'LATIN1'}", pg,
         "\xC4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dsn) + " " + c.odbc);
        if (!testbed::available(c.dsn)) continue;
        int slot = new_slot(host);
        std::string input = testbed::connection_string(c.dsn);
        if (c.odbc[0] != 0) input += std::string(" -odbc=") + c.odbc;
        ASSERT_EQ(connect_with(host, slot, input).status, ORV_OK)
            << testbed::last_message(host, slot);
        testbed::exec_ok(host, slot, c.sql);
        CmdHdr hdr =
            command(host, ORV_CMD_FETCH_ROW, slot, {hostkit::buffer(16)});
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::arg_text(host, 3), c.bytes);
        command(host, ORV_CMD_DISCONNECT, slot);
    }
}

}  // namespace
