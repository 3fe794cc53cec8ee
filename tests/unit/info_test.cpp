// Command 8 through the scripted ODBC stand-in: the version-number parse of
// driver texts chosen by the test, and failing and warning driver answers
// that no test bed driver gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conn/slots.h"
#include "standin.h"
#include "standin_fixture.h"
#include "testbed.h"

namespace {

using hostkit::ArgSpec;
using testbed::command;

class InfoStandin : public testbed::StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        ASSERT_EQ(connect_slot(), 1);
        standin::reset();
    }
    CmdHdr info(int16_t item,
                std::vector<ArgSpec> args = {hostkit::buffer(64)}) {
        return command(host, ORV_CMD_DRIVER_INFO, 1, std::move(args), item);
    }
    // Gives the slot a statement whose current result is r.
    void statement_with(standin::Result r) {
        ASSERT_TRUE(SQL_SUCCEEDED(orv::ensure_statement(*orv::slot_at(1))));
        standin::set_result(orv::slot_at(1)->statement, std::move(r));
    }
};

// Items 1 to 3 ask SQLGetInfo for their type and parse the answer as
// ##.##.####; only a '.' as third character makes a number.
TEST_F(InfoStandin, DriverTextsAndTheirVersionNumbers) {
    struct Case {
        const char* text;
        int32_t count;
    };
    const Case cases[] = {
        {"03.80.0000", 3008000},
        {"09.02.0100", 9000300},
        {"01.02.0003 extra", 1000203},  // text after the release
        {"12.34", 12003400},            // the release would start past the end
        {"03.", 3000000},
        {" 1.02.0003", 1000203},  // atoi skips leading space
        {"01.-2.0003", 999803},   // and takes a sign
        {"3.80.0000", 0},         // third character not '.'
        {"psqlodbcw.so", 0},
        {"10.11.6-MariaDB", 10001106},
        {"ab.cd.efgh", 0},
        {"", 0},
    };
    const SQLUSMALLINT types[] = {SQL_DRIVER_NAME, SQL_DBMS_VER,
                                  SQL_DRIVER_VER};
    for (int16_t item = 1; item <= 3; ++item) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << item << " '" << c.text << "'");
            standin::reset();
            standin::script.info[types[item - 1]] = c.text;
            CmdHdr hdr = info(item);
            EXPECT_EQ(hdr.status, ORV_OK);
            EXPECT_EQ(hostkit::count(hdr), c.count);
            EXPECT_EQ(hostkit::sqlstate(hdr), "");
            EXPECT_EQ(hostkit::put_text(host, 3), c.text);
            auto calls = standin::calls_to("SQLGetInfo");
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].handle, orv::slot_at(1)->connection);
            EXPECT_EQ(calls[0].args,
                      (std::vector<std::string>{std::to_string(types[item - 1]),
                                                "240"}));
        }
    }
}

// Long digit runs stay defined (the sanitizer build checks for overflow).
TEST_F(InfoStandin, HugeVersionPartsDoNotOverflow) {
    standin::script.info[SQL_DRIVER_VER] = "99.99999999999999.99999999999";
    EXPECT_EQ(info(3).status, ORV_OK);
    standin::script.info[SQL_DRIVER_VER] = "-99999999999.0.0";
    EXPECT_EQ(info(3).status, ORV_OK);
}

// A failing or warning SQLGetInfo still ends with status 0: the text (empty
// when the driver wrote none) and its number are delivered, then the
// driver's message replaces the text in argument 3's storage, cut to fit.
TEST_F(InfoStandin, DriverAnswerOtherThanSuccess) {
    struct Case {
        SQLRETURN rc;
        uint32_t size;
        const char* delivered;
        int32_t count;
        const char* storage;
    };
    const Case cases[] = {
        {SQL_ERROR, 64, "", 0, "info type out of range"},
        {SQL_ERROR, 5, "", 0, "info"},
        {SQL_SUCCESS_WITH_INFO, 64, "03.80.0000", 3008000,
         "info type out of range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rc << " " << c.size);
        standin::reset();
        standin::script.info[SQL_DRIVER_VER] = "03.80.0000";
        standin::fail("SQLGetInfo", c.rc, "HY096", 77,
                      "info type out of range");
        CmdHdr hdr = info(3, {hostkit::buffer(c.size)});
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::sqlstate(hdr), "HY096");
        EXPECT_EQ(hostkit::native_error(hdr), 77);
        EXPECT_EQ(hostkit::put_text(host, 3), c.delivered);
        EXPECT_EQ(hostkit::count(hdr), c.count);
        EXPECT_EQ(hostkit::arg_text(host, 3), c.storage);
    }
}

// The message comes from the connection even when the slot holds a
// statement with an older record of its own.
TEST_F(InfoStandin, DriverMessageComesFromTheConnection) {
    statement_with(standin::table({"a"}, {{"1"}}));
    standin::push_diag(orv::slot_at(1)->statement, "01004", 1, "stale");
    standin::fail("SQLGetInfo", SQL_ERROR, "HYT01", 5, "timeout");
    CmdHdr hdr = info(1);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(hdr), "HYT01");
    EXPECT_EQ(hostkit::arg_text(host, 3), "timeout");
}

// Items 5, 6 and 10 on the statement's current result; the row count is
// taken only on SQL_SUCCESS, the column count on a warning too.
TEST_F(InfoStandin, StatementItems) {
    standin::Result r = standin::table({"a", "b", "c"}, {{"1"}, {"2"}});
    r.row_count = -1;
    statement_with(r);
    EXPECT_EQ(hostkit::count(info(5, {})), 3);
    EXPECT_EQ(info(6, {}).number, -1.0);
    EXPECT_EQ(info(10).number, -1.0);

    struct Case {
        const char* function;
        SQLRETURN rc;
        int16_t item;
        int16_t status;
        int32_t count;
    };
    const Case cases[] = {
        {"SQLNumResultCols", SQL_SUCCESS_WITH_INFO, 5, 0, 3},
        {"SQLNumResultCols", SQL_ERROR, 5, 2, 0},
        {"SQLRowCount", SQL_SUCCESS_WITH_INFO, 6, 2, 0},
        {"SQLRowCount", SQL_SUCCESS_WITH_INFO, 10, 2, 0},
        {"SQLRowCount", SQL_ERROR, 10, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.function << " " << c.rc);
        standin::fail(c.function, c.rc, "01000", 3, "note").once();
        CmdHdr hdr = info(c.item);
        EXPECT_EQ(hdr.status, c.status);
        EXPECT_EQ(hostkit::count(hdr), c.count);
        EXPECT_EQ(hdr.number, 0.0);
        EXPECT_EQ(hostkit::sqlstate(hdr), "01000");
        EXPECT_EQ(hostkit::native_error(hdr), 3);
        // This command's common tail copies the message into argument 3.
        EXPECT_EQ(hostkit::arg_text(host, 3), "note");
    }
}

}  // namespace
