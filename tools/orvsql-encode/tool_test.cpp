// Runs the built orvsql-encode and decodes what it prints with the
// connector's own decoder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "conn/decode.h"
#include "conn/encoding_keys.h"
#include "emulator.h"

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return s;
}

// Runs the tool with `args`, capturing both output streams.
ToolRun run_tool(const std::vector<std::string>& args) {
    // The emulator's words first when the tool is built for another
    // machine; execvp finds an emulator named without a path.
    std::vector<std::string> full = {ORV_EMULATOR_WORDS ORVSQL_ENCODE_TOOL};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    ToolRun r;
    if (pipe(out) != 0 || pipe(err) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]), close(out[1]), close(err[0]), close(err[1]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    r.out = drain(out[0]);  // outputs are small: no pipe fills up
    r.err = drain(err[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    return r;
}

std::string decoded(std::string value, const char* user) {
    orv::decode_password(value.data(), user);
    return std::string(value.c_str());
}

// Reads back a C string literal as the tool prints it.
std::string from_literal(const std::string& lit) {
    std::string s;
    EXPECT_GE(lit.size(), 3u);
    EXPECT_EQ(lit.front(), '"');
    EXPECT_EQ(lit.substr(lit.size() - 2), "\"\n");
    for (std::size_t i = 1; i + 2 < lit.size(); ++i) {
        if (lit[i] != '\\') {
            s += lit[i];
        } else if (lit[i + 1] == '"' || lit[i + 1] == '\\') {
            s += lit[++i];
        } else {
            s += static_cast<char>(std::stoi(lit.substr(i + 1, 3), nullptr, 8));
            i += 3;
        }
    }
    return s;
}

TEST(OrvsqlEncodeTool, HelpExplainsSchemesAndLimit) {
    ToolRun r = run_tool({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"1, 2", "3", "44", "--raw", "--user", "20"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST(OrvsqlEncodeTool, BadInputGetsStatus2AndAMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    // Under scheme 1 these bytes encode to a space and a '-'.
    const auto& k = orv::encoding::kScheme1Key;
    std::string cut = {static_cast<char>(' ' ^ k[0]),
                       static_cast<char>('-' ^ k[1])};
    std::string trailing = {'a', static_cast<char>(' ' ^ k[1])};
    const Case cases[] = {
        {{}, "--scheme"},
        {{"secret"}, "--scheme"},
        {{"--scheme", "4", "secret"}, "unknown scheme"},
        {{"--scheme", "x", "secret"}, "unknown scheme"},
        {{"--scheme"}, "needs a value"},
        {{"--scheme", "1"}, "no TEXT"},
        {{"--scheme", "1", ""}, "empty"},
        {{"--scheme", "3", "--user", "clerk", ""}, "empty"},
        {{"--scheme", "3", std::string(45, 'x')}, "44"},
        {{"--scheme", "1", "--user", "clerk", "secret"}, "scheme 3 only"},
        {{"--scheme", "1", "a", "b"}, "more than one"},
        {{"--bogus", "--scheme", "1", "a"}, "unknown option"},
        {{"--scheme", "1", cut}, "space followed by '-'"},
        {{"--scheme", "1", trailing}, "ending in a space"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        ToolRun r = run_tool(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

TEST(OrvsqlEncodeTool, XorValueAsRawBytesAndAsLiteral) {
    ToolRun raw = run_tool({"--raw", "--scheme", "1", "secret"});
    ASSERT_EQ(raw.status, 0) << raw.err;
    EXPECT_EQ(raw.out, "\x01\xEF\xE2\xF9\xE4\xC0\xE1");
    EXPECT_EQ(decoded(raw.out, nullptr), "secret");

    ToolRun lit = run_tool({"--scheme=2", "--", "-x\"\\7"});
    ASSERT_EQ(lit.status, 0) << lit.err;
    EXPECT_EQ(lit.out.substr(0, 5), "\"\\002");
    EXPECT_EQ(decoded(from_literal(lit.out), nullptr), "-x\"\\7");
}

TEST(OrvsqlEncodeTool, Scheme3ValuesDecodeOnlyForTheirUser) {
    std::string text(44, 'p');
    text[0] = 'Q';
    ToolRun a = run_tool({"--scheme", "3", "--user", "clerk", text});
    ToolRun b = run_tool({"--raw", "--scheme", "3", "--user=clerk", text});
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    std::string va = from_literal(a.out);
    ASSERT_EQ(va.size(), 69u);
    ASSERT_EQ(b.out.size(), 69u);
    EXPECT_EQ(va[0], '\x03');
    for (int i = 1; i <= 4; ++i)
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(b.out[i])));
    EXPECT_NE(va, b.out);  // fresh check value and filler each run
    EXPECT_EQ(decoded(va, "clerk"), text);
    EXPECT_EQ(decoded(b.out, "clerk"), text);
    EXPECT_EQ(decoded(b.out, "clark"), "<bad decryption>");

    ToolRun none = run_tool({"--raw", "--scheme", "3", "pw"});
    ASSERT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(decoded(none.out, ""), "pw");
    EXPECT_EQ(decoded(none.out, nullptr), "pw");
}

}  // namespace
