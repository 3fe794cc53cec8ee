// The reference host orvsh, driven as a user drives it: options, -e and -f,
// standard input, and an interactive session on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testbed.h"

extern char** environ;

namespace {

#ifdef ORVSH_PATH
constexpr const char* kOrvsh = ORVSH_PATH;
#else
constexpr const char* kOrvsh = nullptr;
#endif

#define REQUIRE_ORVSH()                                              \
    do {                                                             \
        if (kOrvsh == nullptr) GTEST_SKIP() << "orvsh is not built"; \
    } while (0)

struct Result {
    int exit_status = -1;
    std::string out, err;
};

std::string temp_path(const char* tag) {
    return std::string(testing::TempDir()) + "orvsh_" + tag + "_" +
           std::to_string(getpid());
}

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Runs orvsh with `args`, standard input from `input` and `env` (NAME=value
// settings) added to the environment; returns its exit status and what it
// wrote.
Result orvsh(const std::vector<std::string>& args,
             const std::string& input = "",
             const std::vector<std::string>& env = {}) {
    const std::string in = temp_path("in"), out = temp_path("out"),
                      err = temp_path("err");
    write_file(in, input);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv{const_cast<char*>(kOrvsh)};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;  // the added settings first: they win
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    Result r;
    pid_t pid = 0;
    if (posix_spawn(&pid, kOrvsh, &fa, nullptr, argv.data(), envp.data()) ==
        0) {
        int status = 0;
        waitpid(pid, &status, 0);
        r.exit_status =
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = slurp(out);
    r.err = slurp(err);
    std::remove(in.c_str());
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Standard output without the "connected" line of -c.
std::string results(const Result& r) {
    const std::string line = "connected (slot 1)\n";
    return r.out.rfind(line, 0) == 0 ? r.out.substr(line.size()) : r.out;
}

// ---- Usage
// ----------------------------------------------------------------------

TEST(OrvshUsage, BadUsageExitsTwoWithMessage) {
    REQUIRE_ORVSH();
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--layout", "rows"}, "unknown layout 'rows'"},
        {{"--format=xml"}, "unknown format 'xml'"},
        {{"-e"}, "option -e needs a value"},
        {{"-c"}, "option -c needs a value"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--null-text=yes"}, "unknown option --null-text"},
    };
    for (const Case& c : cases) {
        Result r = orvsh(c.args);
        EXPECT_EQ(r.exit_status, 2) << c.message;
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_TRUE(contains(r.err, "orvsh --help")) << r.err;
        EXPECT_EQ(r.out, "");
    }
    Result help = orvsh({"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_TRUE(contains(help.out, "--layout block|pairs|fixed|array|args"));
}

TEST(OrvshUsage, MissingLibraryIsNamed) {
    REQUIRE_ORVSH();
    const std::string path = "/nonexistent/dir/libdorevivezo.so";
    Result r = orvsh({"--library", path, "-e", "SELECT 1"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, path)) << r.err;
    // A file that is no library: the loader's reason is given too.
    const std::string junk = temp_path("junk.so");
    write_file(junk, "not a library");
    r = orvsh({"--library", junk, "-e", "SELECT 1"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "cannot load the connector library " + junk))
        << r.err;
    std::remove(junk.c_str());
}

TEST(OrvshUsage, SqlWithoutConnectionFails) {
    REQUIRE_ORVSH();
    Result r = orvsh({"-e", "SELECT 1"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "not connected")) << r.err;
}

// ---- Layouts and formats, per data source
// ---------------------------------------

class OrvshData : public testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        REQUIRE_ORVSH();
        REQUIRE_DSN(GetParam());
        conn_ = testbed::connection_string(GetParam());
        table_ = "orvsh_t" + std::to_string(getpid());
        Result r = sql(
            {"-e",
             "CREATE TABLE " + table_ +
                 " (id INTEGER, name VARCHAR(20), note "
                 "VARCHAR(20))",
             "-e", "INSERT INTO " + table_ + " VALUES (1, 'apple', NULL)", "-e",
             "INSERT INTO " + table_ + " VALUES (2, 'pear, green', 'a\"b')"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        created_ = true;
    }
    void TearDown() override {
        if (created_) sql({"-e", "DROP TABLE " + table_});
    }
    Result sql(std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", conn_});
        return orvsh(args);
    }
    std::string select() { return "SELECT * FROM " + table_ + " ORDER BY id"; }

    std::string conn_, table_;
    bool created_ = false;
};

TEST_P(OrvshData, EveryLayoutPrintsTableCsvAndRaw) {
    const std::string table =
        "id | name        | note\n"
        "---+-------------+-----\n"
        " 1 | apple       | \n"
        " 2 | pear, green | a\"b\n"
        "2 rows\n";
    const std::string csv =
        "id,name,note\n"
        "1,apple,\n"
        "2,\"pear, green\",\"a\"\"b\"\n";
    struct Case {
        const char* layout;
        std::vector<std::string> raw;  // lines; empty: checked apart
    };
    const Case cases[] = {
        {"block",
         {"id\\0name\\0note\\0", "1\\0apple\\0\\0",
          "2\\0pear, green\\0a\"b\\0\\0"}},
        {"pairs",
         {"id=1\\0name=apple\\0note=\\0\\0",
          "id=2\\0name=pear, green\\0note=a\"b\\0\\0"}},
        {"array", {"1\\0apple\\0\\0", "2\\0pear, green\\0a\"b\\0"}},
        {"args", {"1\\0apple\\0\\0", "2\\0pear, green\\0a\"b\\0"}},
        {"fixed", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        Result r = sql({"--layout", c.layout, "-e", select()});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(results(r), table);

        r = sql({"--layout", c.layout, "--format", "csv", "-e", select()});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.out, csv);  // informational lines go to stderr
        EXPECT_TRUE(contains(r.err, "2 rows")) << r.err;

        r = sql({"--layout", c.layout, "--format", "raw", "-e", select()});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        std::string expected;
        for (const std::string& line : c.raw) expected += line + "\n";
        if (!c.raw.empty()) {
            EXPECT_EQ(results(r), expected + "2 rows\n");
        } else {
            // Fixed-width records: each column padded to its width, the
            // record ended by a zero byte.
            std::istringstream lines(results(r));
            std::string first, second;
            std::getline(lines, first);
            std::getline(lines, second);
            EXPECT_EQ(first.rfind("1 ", 0), 0u) << first;
            EXPECT_TRUE(contains(first, " apple ")) << first;
            EXPECT_EQ(first.substr(first.size() - 3), " \\0") << first;
            EXPECT_TRUE(contains(second, " pear, green ")) << second;
            EXPECT_EQ(second.substr(second.size() - 2), "\\0") << second;
        }
    }
}

TEST_P(OrvshData, NullTextOptionShowsNull) {
    for (const char* layout : {"block", "pairs", "array", "args"}) {
        Result r = sql({"--layout", layout, "--null-text", "--format", "csv",
                        "-e", select()});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_TRUE(contains(r.out, "\n1,apple,NULL\n")) << layout << r.out;
    }
    // The fixed-width record shows a NULL as spaces.
    Result r = sql({"--layout", "fixed", "--null-text", "--format", "csv", "-e",
                    select()});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\n1,apple,\n")) << r.out;
}

TEST_P(OrvshData, FailureGivesStateMessageAndExitOne) {
    const std::string missing = "SELECT * FROM orvsh_no_such_table";
    Result r = sql({"-e", missing, "-e", "SELECT 7 AS seven"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "status 2")) << r.err;
    const std::string state = std::string(GetParam()) == "orv_pg"
                                  ? "SQLSTATE 42P01"
                                  : "SQLSTATE HY000";
    EXPECT_TRUE(contains(r.err, state)) << r.err;
    EXPECT_TRUE(contains(r.err, "native error")) << r.err;
    EXPECT_TRUE(contains(r.err, "orvsh_no_such_table")) << r.err;  // message
    EXPECT_FALSE(contains(r.out, "seven")) << "stopped at the failure";

    r = sql({"--keep-going", "-e", missing, "-e", "SELECT 7 AS seven"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.out, "seven")) << r.out;
}

// The cells of the first table line of `out` whose first cell is `key`.
std::vector<std::string> row_of(const std::string& out,
                                const std::string& key) {
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> cells;
        std::size_t at = 0;
        for (;;) {
            std::size_t bar = line.find(" | ", at);
            std::string cell = line.substr(
                at, bar == std::string::npos ? std::string::npos : bar - at);
            std::size_t b = cell.find_first_not_of(' ');
            std::size_t e = cell.find_last_not_of(' ');
            cells.push_back(b == std::string::npos ? ""
                                                   : cell.substr(b, e - b + 1));
            if (bar == std::string::npos) break;
            at = bar + 3;
        }
        if (cells.size() > 1 && cells[0] == key) return cells;
    }
    return {};
}

TEST_P(OrvshData, MetaCommands) {
    using Cells = std::vector<std::string>;
    Result r = sql({"-e", "\\info", "-e", "\\tables", "-e", "\\get conn 102"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    // Before any statement the statement items are not available; item 4
    // never is.
    EXPECT_EQ(row_of(r.out, "4"),
              (Cells{"4", "(item 4)", "not available", ""}));
    EXPECT_EQ(row_of(r.out, "5"),
              (Cells{"5", "result columns", "not available", ""}));
    EXPECT_EQ(row_of(r.out, "10"),
              (Cells{"10", "row count", "not available", ""}));
    EXPECT_EQ(row_of(r.out, "7"), (Cells{"7", "connector", "DOREVIVEZO", ""}));
    EXPECT_EQ(row_of(r.out, "8"),
              (Cells{"8", "connector version", "1.6.120.0", "1601200"}));
    EXPECT_EQ(row_of(r.out, "9"), (Cells{"9", "interface", "ODBC", ""}));
    EXPECT_FALSE(row_of(r.out, "1")[2].empty()) << "the driver's name";
    EXPECT_TRUE(contains(r.out, "TABLE_CAT | TABLE_SCHEM | TABLE_NAME"));
    // SHOW TABLES asks for tables with an empty schema name, which
    // PostgreSQL answers with none.
    if (std::string(GetParam()) == "orv_sqlite") {
        EXPECT_TRUE(contains(r.out, table_)) << "\\tables lists the table";
    }
    EXPECT_TRUE(contains(r.out, "conn 102 = 1\n")) << "autocommit is on";

    // After a query: its column count, and \describe shows its columns.
    r = sql({"-e", select(), "-e", "\\info", "-e", "\\describe"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(row_of(r.out, "5"), (Cells{"5", "result columns", "", "3"}));
    // The \describe table comes after \info's items 1 and 3.
    const std::size_t at = r.out.find("# | name");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string rest = r.out.substr(at);
    const Cells id = row_of(rest, "1"), note = row_of(rest, "3");
    ASSERT_EQ(id.size(), 10u) << rest;
    ASSERT_EQ(note.size(), 10u) << rest;
    EXPECT_EQ(id[1], "id");
    EXPECT_EQ(id[2], table_);
    EXPECT_EQ(id[5], "3") << "host type of an integer";
    EXPECT_EQ(note[1], "note");
    EXPECT_EQ(note[5], "15") << "host type of a varchar";
    EXPECT_EQ(note[6], "20") << "display size";
}

TEST_P(OrvshData, Attributes) {
    Result r = sql({"-e", "\\set conn 102 0", "-e", "\\get stmt 25", "-e",
                    "\\set stmt 26 1"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.out, "conn 102: a value of 0 is not passed on"))
        << r.out;
    EXPECT_TRUE(contains(r.err, "status 15 (refused)")) << r.err;
    r = sql({"--keep-going", "-e", "\\get stmt 25", "-e", "\\set stmt 26 1",
             "-e", "\\get conn 5000"});
    EXPECT_TRUE(contains(r.err, "status 15 (refused)")) << r.err;
    EXPECT_TRUE(contains(r.err, "status 11 (not supported)")) << r.err;
    r = sql({"-e", "\\get conn x"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "usage: \\get conn|stmt N")) << r.err;
}

// Block fetches stop near 2 MB and say so with 01004; orvsh calls again
// until every row is there.
TEST_P(OrvshData, LargeResultComesInSeveralBlocks) {
    const bool pg = std::string(GetParam()) == "orv_pg";
    const std::string query =
        pg ? "SELECT i, repeat('x', 100) || i AS pad FROM "
             "generate_series(1, 40000) AS s(i) ORDER BY i"
           : "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM "
             "c WHERE i < 40000) SELECT i, printf('%.100c', 'x') || i AS pad "
             "FROM c";
    Result r = sql({"--format", "csv", "-e", query});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "40000 rows")) << r.err;
    const std::string x100(100, 'x');
    EXPECT_TRUE(contains(r.out, "\n1," + x100 + "1\n"));
    EXPECT_TRUE(contains(r.out, "\n40000," + x100 + "40000\n"));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 40001);
}

TEST_P(OrvshData, ScriptFileWithCommentsAndLineNumbers) {
    const std::string file = temp_path("script.sql");
    write_file(file,
               "-- a comment line\n"
               "\\layout pairs\n"
               "SELECT id,\n"
               "       name FROM " +
                   table_ +
                   " WHERE name = 'a;b' ; SELECT\n"
                   "  'x' AS two;\n"
                   "SELECT * FROM orvsh_no_such_table;\n"
                   "SELECT 3 AS three;\n");
    Result r = sql({"-f", file});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.out, "id | name\n---+-----\n0 rows\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "two\n---\nx\n1 row\n")) << r.out;
    EXPECT_TRUE(contains(r.err, file + ":6: SQL failed")) << r.err;
    EXPECT_FALSE(contains(r.out, "three"));
    std::remove(file.c_str());
}

TEST_P(OrvshData, StatementsFromStandardInput) {
    Result r = orvsh(
        {"-c", conn_, "--format", "csv"},
        "SELECT name FROM " + table_ + " WHERE id = 2;\n\\quit\nSELECT 1;\n");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "name\n\"pear, green\"\n");
}

INSTANTIATE_TEST_SUITE_P(Sources, OrvshData,
                         testing::Values("orv_sqlite", "orv_pg"),
                         [](const auto& info) {
                             return std::string(info.param);
                         });

// SQLite keeps the bytes of a text as they are, so a value can hold the
// bytes the pairs record escapes.
TEST(OrvshPairs, EscapedBytesAreShownRawAndRestored) {
    REQUIRE_ORVSH();
    REQUIRE_DSN("orv_sqlite");
    const std::string query = "SELECT CAST(x'41FA42FB43' AS TEXT) AS v";
    Result r = orvsh({"-c", "-host=orv_sqlite", "--layout", "pairs", "--format",
                      "raw", "-e", query});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(results(r), "v=A\\xFB\\xFBB\\xFB\\xFCC\\0\\0\n1 row\n");
    r = orvsh({"-c", "-host=orv_sqlite", "--layout", "pairs", "--format", "csv",
               "-e", query});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "v\nA\xFA"
              "B\xFB"
              "C\n");
}

TEST(OrvshSources, ListsTheTestBedSources) {
    REQUIRE_ORVSH();
    REQUIRE_DSN("orv_sqlite");
    // Works without a connection too.
    Result r = orvsh({"-e", "\\sources"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "orv_sqlite")) << r.out;
    EXPECT_TRUE(contains(r.out, "| SQLite3")) << r.out;
}

// ---- The connector's trace
// ------------------------------------------------------

// The command codes of the trace lines in `text`; every line must be one.
std::vector<int> traced_commands(const std::string& text) {
    static const std::regex line(
        R"(\d{4}-\d\d-\d\dT[\d:.]{15}Z cmd=(\d+)\(\w+\) .* took=\d+us)");
    std::vector<int> codes;
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(l, m, line)) << l;
        if (m.size() > 1) codes.push_back(std::stoi(m[1].str()));
    }
    return codes;
}

TEST(OrvshTrace, OneLinePerCommandOnStandardError) {
    REQUIRE_ORVSH();
    REQUIRE_DSN("orv_sqlite");
    const std::vector<std::string> args = {"-c", "-host=orv_sqlite", "-e",
                                           "SELECT 1"};
    const Result plain = orvsh(args);
    const Result traced = orvsh(args, "", {"ORVSQL_TRACE=-"});
    ASSERT_EQ(traced.exit_status, 0) << traced.err;
    EXPECT_EQ(traced.out, plain.out);
    // Environment, slot, connect, execute, describe, block fetch,
    // disconnect, release.
    EXPECT_EQ(traced_commands(traced.err),
              (std::vector<int>{ORV_CMD_ALLOC_ENV, ORV_CMD_ALLOC_SLOT,
                                ORV_CMD_CONNECT, ORV_CMD_EXECUTE,
                                ORV_CMD_DESCRIBE, ORV_CMD_FETCH_BLOCK,
                                ORV_CMD_DISCONNECT, ORV_CMD_FREE_ENV}));
}

TEST(OrvshTrace, TraceOptionWritesTheFileWithoutThePassword) {
    REQUIRE_ORVSH();
    REQUIRE_DSN("orv_pg");
    const std::string file = temp_path("trace");
    std::remove(file.c_str());
    const std::string password = testbed::password_of("orv_pg");
    ASSERT_FALSE(password.empty());
    Result r =
        orvsh({"--trace", file, "-c", testbed::connection_string("orv_pg"),
               "-e", "SELECT 'seen' AS v"},
              "", {"ORVSQL_TRACE_VALUES=1"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const std::string trace = slurp(file);
    EXPECT_EQ(traced_commands(trace).size(), 8u) << trace;
    EXPECT_TRUE(contains(trace, " -pw=***\"")) << trace;
    EXPECT_TRUE(contains(trace, "\"SELECT 'seen' AS v\"")) << trace;
    EXPECT_FALSE(contains(trace, password)) << trace;
    std::remove(file.c_str());
}

// ---- Interactive, on a pseudo-terminal
// ------------------------------------------

// A child process on a pseudo-terminal; `read_until` collects its output.
struct Terminal {
    pid_t pid = -1;
    int fd = -1;
    std::string seen;

    bool read_until(const std::string& text) {
        while (seen.find(text) == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            // A safety limit against a hang, not a timing check.
            if (poll(&p, 1, 60000) <= 0) return false;
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return false;
            seen.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    void type(const std::string& line) {
        std::string s = line + "\r";
        ASSERT_EQ(write(fd, s.data(), s.size()),
                  static_cast<ssize_t>(s.size()));
    }
    int wait_exit() {
        std::string rest;
        read_until("\x01never\x01");  // drain until the terminal closes
        int status = 0;
        waitpid(pid, &status, 0);
        close(fd);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

Terminal start_terminal(const std::vector<std::string>& args,
                        const std::vector<std::string>& env) {
    Terminal t;
    t.pid = forkpty(&t.fd, nullptr, nullptr, nullptr);
    if (t.pid == 0) {
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        setenv("TERM", "dumb", 1);
        std::vector<char*> argv{const_cast<char*>(kOrvsh)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kOrvsh, argv.data());
        _exit(127);
    }
    return t;
}

TEST(OrvshInteractive, QueryAndQuitOnATerminal) {
    REQUIRE_ORVSH();
    REQUIRE_DSN("orv_sqlite");
    const std::string hist = temp_path("history");
    std::remove(hist.c_str());
    Terminal t =
        start_terminal({"-c", "-host=orv_sqlite", "--layout", "pairs"},
                       {"ORVSH_HISTFILE=" + hist, "ORVSH_PROGRESS_DELAY_MS=0"});
    ASSERT_GT(t.pid, 0);
    ASSERT_TRUE(t.read_until("orvsh> ")) << t.seen;
    EXPECT_TRUE(contains(t.seen, "connected (slot 1)"));
    t.type("SELECT 40 + 2");
    ASSERT_TRUE(t.read_until("...> ")) << t.seen;  // the statement goes on
    t.type("  AS answer;");
    ASSERT_TRUE(t.read_until("1 row\r\n")) << t.seen;
    EXPECT_TRUE(contains(t.seen, "answer\r\n------\r\n42\r\n")) << t.seen;
    // A failure is reported and the session goes on.
    t.type("SELECT * FROM orvsh_no_such_table;");
    ASSERT_TRUE(t.read_until("no such table")) << t.seen;
    // The row counter runs on a terminal (here from the first row on).
    t.type(
        "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c "
        "WHERE i < 300) SELECT i FROM c;");
    ASSERT_TRUE(t.read_until("300 rows")) << t.seen;
    EXPECT_TRUE(contains(t.seen, "\rfetching... row ")) << t.seen;
    t.type("\\quit");
    EXPECT_EQ(t.wait_exit(), 0);
    const std::string history = slurp(hist);
    EXPECT_TRUE(contains(history, "SELECT 40 + 2\n  AS answer;\n")) << history;
    std::remove(hist.c_str());
}

}  // namespace
