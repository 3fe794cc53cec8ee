// Checks of the ODBC stand-in's less obvious behaviour, on which the unit
// tests of the connector rely.
#include "standin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class Standin : public ::testing::Test {
  protected:
    void SetUp() override {
        standin::reset();
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), 0);
        SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION,
                      reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), 0);
        ASSERT_EQ(SQLConnect(dbc, (SQLCHAR*)"dsn", SQL_NTS, (SQLCHAR*)"u", 1,
                             (SQLCHAR*)"pw", SQL_NTS),
                  0);
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), 0);
    }
    void TearDown() override {
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        SQLDisconnect(dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
    std::string state(SQLSMALLINT type, SQLHANDLE h) {
        SQLCHAR s[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR msg[16];
        SQLSMALLINT len = 0;
        if (!SQL_SUCCEEDED(
                SQLGetDiagRec(type, h, 1, s, &native, msg, sizeof msg, &len)))
            return "none";
        return reinterpret_cast<char*>(s);
    }
    SQLHENV env = nullptr;
    SQLHDBC dbc = nullptr;
    SQLHSTMT stmt = nullptr;
};

TEST_F(Standin, GetDataDeliversLongValuesPiecewise) {
    standin::script.results.push_back(standin::table(
        {"t", "b", "n"}, {{"abcdefgh", "123456", std::nullopt}}));
    ASSERT_EQ(SQLExecDirect(stmt, (SQLCHAR*)"SELECT", SQL_NTS), SQL_SUCCESS);
    ASSERT_EQ(SQLFetchScroll(stmt, SQL_FETCH_NEXT, 0), SQL_SUCCESS);
    char buf[5];
    SQLLEN ind = 0;
    EXPECT_EQ(SQLGetData(stmt, 1, SQL_C_CHAR, buf, 5, &ind),
              SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(std::string(buf), "abcd");
    EXPECT_EQ(ind, 8);
    EXPECT_EQ(state(SQL_HANDLE_STMT, stmt), "01004");
    EXPECT_EQ(SQLGetData(stmt, 1, SQL_C_CHAR, buf, 5, &ind), SQL_SUCCESS);
    EXPECT_EQ(std::string(buf), "efgh");
    EXPECT_EQ(ind, 4);
    EXPECT_EQ(SQLGetData(stmt, 1, SQL_C_CHAR, buf, 5, &ind), SQL_NO_DATA);

    EXPECT_EQ(SQLGetData(stmt, 2, SQL_C_BINARY, buf, 4, &ind),
              SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(std::string(buf, 4), "1234");
    EXPECT_EQ(ind, 6);
    EXPECT_EQ(SQLGetData(stmt, 2, SQL_C_BINARY, buf, 4, &ind), SQL_SUCCESS);
    EXPECT_EQ(std::string(buf, 2), "56");
    EXPECT_EQ(ind, 2);

    EXPECT_EQ(SQLGetData(stmt, 3, SQL_C_CHAR, buf, 5, &ind), SQL_SUCCESS);
    EXPECT_EQ(ind, SQL_NULL_DATA);
    EXPECT_EQ(SQLFetchScroll(stmt, SQL_FETCH_NEXT, 0), SQL_NO_DATA);
    EXPECT_EQ(SQLFetchScroll(stmt, SQL_FETCH_ABSOLUTE, 1), SQL_SUCCESS);
    int32_t n = 0;
    EXPECT_EQ(SQLGetData(stmt, 2, SQL_C_SLONG, &n, 0, &ind), SQL_SUCCESS);
    EXPECT_EQ(n, 123456);
}

TEST_F(Standin, ColAttributeCutsTextWithAWarning) {
    standin::Result r = standin::table({std::string(40, 'n')}, {});
    standin::set_result(stmt, r);
    char name[32];
    SQLSMALLINT len = 0;
    EXPECT_EQ(SQLColAttribute(stmt, 1, SQL_DESC_NAME, name, sizeof name, &len,
                              nullptr),
              SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(std::string(name), std::string(31, 'n'));
    EXPECT_EQ(len, 40);
    SQLLEN type = 0;
    EXPECT_EQ(
        SQLColAttribute(stmt, 1, SQL_DESC_TYPE, nullptr, 0, nullptr, &type),
        SQL_SUCCESS);
    EXPECT_EQ(type, SQL_VARCHAR);
}

TEST_F(Standin, RulesWarnAfterTheWorkOrFailInsteadOfIt) {
    standin::fail("SQLAllocHandle", SQL_SUCCESS_WITH_INFO, "01000")
        .on(SQL_HANDLE_STMT)
        .once();
    SQLHSTMT s2 = nullptr;
    EXPECT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &s2), SQL_SUCCESS_WITH_INFO);
    EXPECT_NE(s2, nullptr);
    EXPECT_EQ(state(SQL_HANDLE_DBC, dbc), "01000");

    standin::fail("SQLAllocHandle", SQL_ERROR, "HY001", 7, "no memory");
    SQLHSTMT s3 = &s3;
    EXPECT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &s3), SQL_ERROR);
    EXPECT_EQ(s3, nullptr);
    EXPECT_EQ(state(SQL_HANDLE_DBC, dbc), "HY001");
    // The next call on the connection clears its diagnostics.
    SQLCHAR info[8];
    SQLGetInfo(dbc, SQL_DRIVER_NAME, info, sizeof info, nullptr);
    EXPECT_EQ(state(SQL_HANDLE_DBC, dbc), "01004");  // cut driver name
    SQLFreeHandle(SQL_HANDLE_STMT, s2);
}

TEST_F(Standin, MisuseIsRefusedAndCounted) {
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    EXPECT_EQ(SQLExecDirect(stmt, (SQLCHAR*)"x", SQL_NTS), SQL_INVALID_HANDLE);
    EXPECT_EQ(standin::invalid_handle_uses(), 1);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_ERROR);  // connected
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_SUCCESS);
    // Statement attributes are SQLULEN wide.
    unsigned char bytes[sizeof(SQLULEN) + 1];
    std::memset(bytes, 0xEE, sizeof bytes);
    SQLGetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, bytes, 4, nullptr);
    EXPECT_EQ(bytes[sizeof(SQLULEN)], 0xEE);
    EXPECT_EQ(bytes[sizeof(SQLULEN) - 1], 0);
    const auto log = standin::calls_to("SQLConnect");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].args, (std::vector<std::string>{"dsn", "u", "pw"}));
}

}  // namespace
