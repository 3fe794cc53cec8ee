// Command 8 against the test bed's drivers: the driver's own texts with
// their version numbers, the statement items, the connector's fixed
// answers and the order of the checks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "orv_version.h"
#include "testbed.h"

namespace {

using hostkit::ArgSpec;

class Info : public testbed::DriverTest {
  protected:
    CmdHdr info(int16_t item,
                std::vector<ArgSpec> args = {hostkit::buffer(240)}) {
        CmdHdr hdr = testbed::command(host, ORV_CMD_DRIVER_INFO, slot,
                                      std::move(args), item);
        EXPECT_FALSE(host.bad_call_seen);
        return hdr;
    }
    // What the driver itself answers, asked directly.
    std::string driver_says(SQLUSMALLINT type) {
        SQLCHAR text[240] = {};
        SQLSMALLINT length = 0;
        EXPECT_TRUE(SQL_SUCCEEDED(SQLGetInfo(
            orv::slot_at(slot)->connection, type, text, sizeof text, &length)));
        return reinterpret_cast<const char*>(text);
    }
};

// ##.##.#### read as major x 1000000 + minor x 100 + release, each part
// taken as atoi takes it; 0 unless the third character is '.'.
int32_t expected_version(std::string text) {
    if (text.size() < 3 || text[2] != '.') return 0;
    text.resize(text.size() + 8, '\0');  // parts past the end read as ""
    return std::atoi(text.c_str()) * 1000000 +
           std::atoi(text.c_str() + 3) * 100 + std::atoi(text.c_str() + 6);
}

// Items 1 to 3 deliver the driver's name, the server's version and the
// driver's version, each with its parsed number.
TEST_P(Info, DriverTexts) {
    const SQLUSMALLINT types[] = {SQL_DRIVER_NAME, SQL_DBMS_VER,
                                  SQL_DRIVER_VER};
    for (int16_t item = 1; item <= 3; ++item) {
        SCOPED_TRACE(item);
        const std::string expected = driver_says(types[item - 1]);
        ASSERT_FALSE(expected.empty());
        CmdHdr hdr = info(item);
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::sqlstate(hdr), "");
        EXPECT_EQ(hostkit::put_text(host, 3), expected);
        EXPECT_EQ(hostkit::count(hdr), expected_version(expected)) << expected;
    }
    // The driver names ("sqlite3odbc.so", ...) carry no version.
    EXPECT_EQ(hostkit::count(info(1)), 0);
}

// Items 5, 6 and 10 need a statement: 14 before the first one, and work
// with or without argument 3 afterwards.
TEST_P(Info, StatementItems) {
    for (int16_t item : {5, 6, 10}) {
        EXPECT_EQ(info(item).status, ORV_NO_STATEMENT) << item;
        EXPECT_EQ(info(item, {}).status, ORV_NO_STATEMENT) << item;
    }
    testbed::exec_ok(
        host, slot, "CREATE TEMPORARY TABLE info_rows (id INTEGER, n INTEGER)");
    testbed::exec_ok(host, slot,
                     "INSERT INTO info_rows VALUES (1, 10), (2, 20), (3, 30)");
    testbed::exec_ok(host, slot, "UPDATE info_rows SET n = n + 1");
    for (int16_t item : {6, 10}) {
        for (bool with_argument : {true, false}) {
            CmdHdr hdr = with_argument ? info(item) : info(item, {});
            EXPECT_EQ(hdr.status, ORV_OK) << item;
            EXPECT_EQ(hdr.number, 3.0) << item;
            EXPECT_EQ(hostkit::count(hdr), 0);
        }
    }
    testbed::exec_ok(host, slot, "SELECT id, n, id + n FROM info_rows");
    for (bool with_argument : {true, false}) {
        CmdHdr hdr = with_argument ? info(5) : info(5, {});
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::count(hdr), 3);
        EXPECT_EQ(hdr.number, 0.0);
    }
}

// The connector's own answers, item 4, and the checks: the argument check
// comes before the item check.
TEST_P(Info, FixedAnswersAndChecks) {
    struct Case {
        int16_t item;
        bool with_argument;
        int16_t status;
        const char* text;  // nullptr: nothing delivered
        int32_t count;
    };
    const Case cases[] = {
        {7, true, 0, "DOREVIVEZO", 0},
        {8, true, 0, ORV_VERSION_TEXT, ORV_VERSION_NUMBER},
        {9, true, 0, "ODBC", 0},
        {4, true, 15, "", 0},
        {0, true, 11, nullptr, 0},
        {11, true, 11, nullptr, 0},
        {-1, true, 11, nullptr, 0},
        {0, false, 3, nullptr, 0},
        {7, false, 3, nullptr, 0},
        {1, false, 3, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.item << " " << c.with_argument);
        CmdHdr hdr = c.with_argument ? info(c.item) : info(c.item, {});
        EXPECT_EQ(hdr.status, c.status);
        EXPECT_EQ(hostkit::count(hdr), c.count);
        const auto put = hostkit::calls_of(host, PUT_STRING);
        if (c.text == nullptr) {
            EXPECT_TRUE(put.empty());
        } else {
            ASSERT_EQ(put.size(), 1u);
            EXPECT_EQ(hostkit::put_text(host, 3), c.text);
        }
    }
    // Item 5 needs no argument 3 once a statement exists.
    testbed::exec_ok(host, slot, "SELECT 1");
    CmdHdr hdr = info(5, {});
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::count(hdr), 1);
}

INSTANTIATE_TEST_SUITE_P(Drivers, Info,
                         ::testing::ValuesIn(testbed::kAllSources),
                         testbed::SourceName());

}  // namespace
