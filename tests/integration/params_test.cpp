// Command 22 against the test bed's drivers: values round-trip unchanged
// through bound parameters and back through commands 12 and 25; marker
// count mismatches, refusals and a failing row in the middle of an array.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testbed.h"

namespace {

using hostkit::ArgSpec;
using testbed::command;

// Index of a data source in the per-driver columns below.
int driver_index(std::string_view dsn) {
    return dsn == "orv_sqlite" ? 0 : dsn == "orv_pg" ? 1 : 2;
}

ArgSpec typed_text(std::string_view s, int16_t type) {
    ArgSpec a = hostkit::text(s);
    a.type_flags = type;
    return a;
}

ArgSpec bytes(std::vector<uint8_t> b) {
    ArgSpec a = hostkit::buffer(static_cast<uint32_t>(b.size()), 1);
    a.bytes = std::move(b);
    return a;
}

ArgSpec null_value() { return hostkit::buffer(0, 2 | ARG_NULL); }

class Params : public testbed::DriverTest {
  protected:
    CmdHdr run22(std::string_view sql, std::vector<ArgSpec> values,
                 int32_t rows = 0) {
        CmdHdr hdr =
            testbed::execute_params(host, slot, sql, std::move(values), rows);
        EXPECT_FALSE(host.bad_call_seen);
        return hdr;
    }
    void table(std::string_view name, std::string_view value_type) {
        testbed::exec_ok(host, slot,
                         "DROP TABLE IF EXISTS " + std::string(name));
        testbed::exec_ok(host, slot,
                         "CREATE TABLE " + std::string(name) +
                             " (id INTEGER PRIMARY KEY, v " +
                             std::string(value_type) + ")");
    }
    // One value of a one-row result: fetched with command 12 into storage
    // of `size` bytes and host type `type`.
    std::vector<uint8_t> fetch_one(std::string_view sql, uint32_t size,
                                   int16_t type) {
        testbed::exec_ok(host, slot, sql);
        CmdHdr hdr = command(host, ORV_CMD_FETCH_ROW, slot,
                             {hostkit::buffer(size, type)});
        EXPECT_EQ(hdr.status, ORV_OK) << testbed::last_message(host, slot);
        std::vector<uint8_t> got = hostkit::arg_bytes(host, 3);
        command(host, ORV_CMD_RESET_STATEMENT, slot);
        return got;
    }
    std::string text_of(std::string_view sql, uint32_t size = 64) {
        std::vector<uint8_t> b = fetch_one(sql, size, 2);
        return std::string(
            reinterpret_cast<const char*>(b.data()),
            strnlen(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    // The value of the first row through command 25: items after the
    // column names.
    std::string block_value(std::string_view sql, int columns, int column) {
        testbed::exec_ok(host, slot, sql);
        CmdHdr hdr = command(host, ORV_CMD_FETCH_BLOCK, slot,
                             {hostkit::buffer(sizeof(void*))});
        EXPECT_EQ(hdr.status, ORV_OK);
        const char* base = nullptr;
        std::memcpy(&base, hostkit::arg_bytes(host, 3).data(), sizeof base);
        command(host, ORV_CMD_RESET_STATEMENT, slot);
        if (base == nullptr) return "(no block)";
        for (int i = 0; i < columns + column - 1; ++i)
            base += std::strlen(base) + 1;
        return base;
    }
};

// A value, its column type on SQLite, PostgreSQL and MariaDB, and what a
// fetch gives back as text (or bytes, for a binary column).
struct RoundTrip {
    const char* name;
    const char* column[3];
    ArgSpec value;
    std::string expected;
    bool binary = false;
    bool null = false;
};

std::vector<RoundTrip> round_trips() {
    const std::string big(1 << 20, 'q');
    const std::string injection = "x'); DROP TABLE prm_rt; --";
    const std::string quotes = "it's \"quoted\"; -- not a comment";
    const char* text3[3] = {"TEXT", "TEXT", "LONGTEXT"};
    const char* bigint3[3] = {"BIGINT", "BIGINT", "BIGINT"};
    std::vector<RoundTrip> v;
    auto add = [&](const char* name, const char* const(&col)[3], ArgSpec a,
                   std::string want) {
        v.push_back({name, {col[0], col[1], col[2]}, std::move(a), want});
    };
    add("quotes", text3, hostkit::text(quotes), quotes);
    add("injection", text3, hostkit::text(injection), injection);
    add("megabyte", text3, hostkit::text(big), big);
    add("empty", text3, hostkit::text(""), "");
    add("max_int64", bigint3, typed_text("9223372036854775807", 4),
        "9223372036854775807");
    add("min_int64", bigint3, typed_text("-9223372036854775808", 4),
        "-9223372036854775808");
    const std::string digits38 = "12345678901234567890123456789012345678";
    add("digits38", {"TEXT", "NUMERIC(38,0)", "DECIMAL(38,0)"},
        typed_text(digits38, 4), digits38);
    add("signed", bigint3, hostkit::integer(-5), "-5");
    add("unsigned", bigint3, hostkit::integer(-1, 6), "4294967295");
    add("null", text3, null_value(), "");
    v.back().null = true;
    add("bytes", {"BLOB", "BYTEA", "BLOB"}, bytes({0x00, 0xFA, 0xFB, 0xFF}),
        std::string("\x00\xFA\xFB\xFF", 4));
    v.back().binary = true;
    return v;
}

TEST_P(Params, ValuesRoundTripUnchanged) {
    const int d = driver_index(dsn());
    for (RoundTrip& c : round_trips()) {
        SCOPED_TRACE(c.name);
        table("prm_rt", c.column[d]);
        CmdHdr hdr = run22("INSERT INTO prm_rt (id, v) VALUES (?, ?)",
                           {hostkit::integer(1), c.value});
        ASSERT_EQ(hdr.status, ORV_OK) << testbed::last_message(host, slot);
        EXPECT_EQ(hdr.number, 1.0);
        EXPECT_EQ(hostkit::count(hdr), 0);

        const auto size = static_cast<uint32_t>(c.expected.size() + 1);
        EXPECT_EQ(text_of("SELECT COUNT(*) FROM prm_rt WHERE v IS NULL"),
                  c.null ? "1" : "0");
        if (c.binary) {
            std::vector<uint8_t> got = fetch_one("SELECT v FROM prm_rt", 4, 1);
            EXPECT_EQ(std::string(got.begin(), got.end()), c.expected);
            continue;
        }
        EXPECT_TRUE(text_of("SELECT v FROM prm_rt", size) == c.expected);
        EXPECT_TRUE(block_value("SELECT id, v FROM prm_rt", 2, 2) ==
                    c.expected);
    }
    // The would-be injection left the table where it was.
    EXPECT_EQ(text_of("SELECT COUNT(*) FROM prm_rt"), "1");
    testbed::exec_ok(host, slot, "DROP TABLE prm_rt");
}

TEST_P(Params, ResultsAsExecuteAndPreparedTextRunsAgain) {
    table("prm_sel", "VARCHAR(20)");
    for (int i = 1; i <= 3; ++i) {
        CmdHdr hdr = run22("INSERT INTO prm_sel (id, v) VALUES (?, ?)",
                           {hostkit::integer(i), hostkit::text("v")});
        ASSERT_EQ(hdr.status, ORV_OK) << testbed::last_message(host, slot);
    }
    CmdHdr hdr = run22("SELECT id, v FROM prm_sel WHERE id >= ? ORDER BY id",
                       {hostkit::integer(2)});
    ASSERT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::count(hdr), 2);
    hdr = command(host, ORV_CMD_FETCH_ROW, slot,
                  {hostkit::buffer(8), hostkit::buffer(8)});
    EXPECT_EQ(hostkit::arg_text(host, 3), "2");
    command(host, ORV_CMD_RESET_STATEMENT, slot);
    EXPECT_EQ(text_of("SELECT COUNT(*) FROM prm_sel"), "3");
    testbed::exec_ok(host, slot, "DROP TABLE prm_sel");
}

TEST_P(Params, MismatchAndRefusal) {
    table("prm_bad", "INTEGER");
    for (int values : {1, 3}) {
        std::vector<ArgSpec> args(static_cast<std::size_t>(values),
                                  hostkit::integer(7));
        CmdHdr hdr =
            run22("INSERT INTO prm_bad (id, v) VALUES (?, ?)", std::move(args));
        EXPECT_EQ(hdr.status, ORV_MISSING_ARG) << values;
    }
    EXPECT_EQ(text_of("SELECT COUNT(*) FROM prm_bad"), "0");

    CmdHdr hdr = run22("INSERT INTO prm_no_such_table VALUES (?)",
                       {hostkit::integer(1)});
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_NE(hostkit::sqlstate(hdr), "");
    EXPECT_NE(testbed::last_message(host, slot), "");

    // A driver refusal at execution (a duplicate key): its diagnostics
    // stay readable by command 3.
    ASSERT_EQ(run22("INSERT INTO prm_bad (id, v) VALUES (?, ?)",
                    {hostkit::integer(1), hostkit::integer(1)})
                  .status,
              ORV_OK);
    hdr = run22("INSERT INTO prm_bad (id, v) VALUES (?, ?)",
                {hostkit::integer(1), hostkit::integer(2)});
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_NE(hostkit::sqlstate(hdr), "?");
    EXPECT_NE(testbed::last_message(host, slot), "");
    testbed::exec_ok(host, slot, "DROP TABLE prm_bad");
}

// An array of `rows` integers (type 8) from `first` on.
ArgSpec id_array(int rows, int first) {
    ArgSpec a = hostkit::array(4, static_cast<uint32_t>(rows), 8 | ARG_ARRAY);
    for (int i = 0; i < rows; ++i) {
        const int32_t v = first + i;
        const auto* p = reinterpret_cast<const uint8_t*>(&v);
        a.bytes.insert(a.bytes.end(), p, p + 4);
    }
    return a;
}

// An array of texts in elements of `size` bytes; every `null_every`-th row
// NULL through the null map.
ArgSpec text_array(const std::vector<std::string>& texts, uint32_t size,
                   int null_every = 0) {
    const auto rows = static_cast<uint32_t>(texts.size());
    ArgSpec a = hostkit::array(size, rows + (rows + size - 1) / size);
    a.type_flags = static_cast<int16_t>(2 | ARG_ARRAY | ARG_NULL);
    a.bytes.assign(std::size_t{size} * a.elements, 0);
    for (uint32_t r = 0; r < rows; ++r) {
        std::memcpy(&a.bytes[r * size], texts[r].data(),
                    std::min<std::size_t>(texts[r].size(), size));
        if (null_every != 0 && (r + 1) % null_every == 0)
            a.bytes[std::size_t{size} * rows + r] = 1;
    }
    return a;
}

TEST_P(Params, ArrayLoadsEveryRow) {
    table("prm_arr", "VARCHAR(16)");
    std::vector<std::string> texts;
    for (int i = 1; i <= 1000; ++i) texts.push_back(testbed::numbered("t", i));
    CmdHdr hdr = run22("INSERT INTO prm_arr (id, v) VALUES (?, ?)",
                       {id_array(1000, 1), text_array(texts, 8, 10)}, 1000);
    ASSERT_EQ(hdr.status, ORV_OK) << testbed::last_message(host, slot);
    EXPECT_EQ(hostkit::count(hdr), 1000);
    EXPECT_EQ(text_of("SELECT COUNT(*) FROM prm_arr"), "1000");
    EXPECT_EQ(text_of("SELECT COUNT(*) FROM prm_arr WHERE v IS NULL"), "100");
    EXPECT_EQ(text_of("SELECT v FROM prm_arr WHERE id = 999"), "t999");
    EXPECT_EQ(text_of("SELECT v FROM prm_arr WHERE id = 1000"), "");
    testbed::exec_ok(host, slot, "DROP TABLE prm_arr");
}

TEST_P(Params, FailingRowInTheMiddleOfAnArray) {
    table("prm_fail", "INTEGER");
    testbed::exec_ok(host, slot, "INSERT INTO prm_fail VALUES (500, 0)");
    CmdHdr hdr = run22("INSERT INTO prm_fail (id, v) VALUES (?, ?)",
                       {id_array(1000, 1), id_array(1000, 1)}, 1000);
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::native_error(hdr), 500);
    EXPECT_EQ(hostkit::count(hdr), 499);
    EXPECT_NE(testbed::last_message(host, slot), "");
    // The rows before it are in, none after it.
    EXPECT_EQ(text_of("SELECT COUNT(*) FROM prm_fail"), "500");
    EXPECT_EQ(text_of("SELECT MAX(id) FROM prm_fail"), "500");
    // The statement's attributes are back: a later statement runs once.
    hdr = run22("INSERT INTO prm_fail (id, v) VALUES (?, ?)",
                {hostkit::integer(2000), hostkit::integer(1)});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.number, 1.0);
    testbed::exec_ok(host, slot, "DROP TABLE prm_fail");
}

INSTANTIATE_TEST_SUITE_P(Drivers, Params,
                         ::testing::ValuesIn(testbed::kAllSources),
                         testbed::SourceName());

}  // namespace
