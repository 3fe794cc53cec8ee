// The reference loops: a plain ODBC program reading the same result as the
// connector does, with nothing of the connector in between.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "orvbench.h"

namespace orvbench {

namespace {

// The driver's first diagnostic record for `handle`, as "SQLSTATE: text".
std::string diagnostic(SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {0};
    SQLCHAR text[512] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLGetDiagRec(type, handle, 1, state, &native, text,
                                       sizeof text, &length);
    if (!SQL_SUCCEEDED(rc)) return "no diagnostic record";
    return std::string(reinterpret_cast<char*>(state)) + ": " +
           reinterpret_cast<char*>(text);
}

Run failed(SQLHSTMT stmt, const char* what) {
    Run r;
    r.error =
        std::string(what) + " failed: " + diagnostic(SQL_HANDLE_STMT, stmt);
    SQLFreeStmt(stmt, SQL_CLOSE);
    return r;
}

SQLRETURN execute(SQLHSTMT stmt, const std::string& sql) {
    std::string text = sql;  // the ODBC signature is not const
    return SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()),
                         SQL_NTS);
}

// Reads what remains of a value after a first read that filled `buffer`
// (SQLGetData returned SQL_SUCCESS_WITH_INFO): appends every further part
// to `whole`.  Returns the last SQLGetData result.
SQLRETURN read_rest(SQLHSTMT stmt, SQLUSMALLINT column, char* buffer,
                    SQLLEN size, std::string& whole) {
    whole.assign(buffer, static_cast<std::size_t>(size - 1));
    SQLRETURN rc = SQL_SUCCESS_WITH_INFO;
    while (rc == SQL_SUCCESS_WITH_INFO) {
        SQLLEN length = 0;
        rc = SQLGetData(stmt, column, SQL_C_CHAR, buffer, size, &length);
        if (!SQL_SUCCEEDED(rc)) break;
        const SQLLEN part =
            length == SQL_NO_TOTAL || length >= size ? size - 1 : length;
        whole.append(buffer, static_cast<std::size_t>(part));
    }
    return rc == SQL_NO_DATA ? SQL_SUCCESS : rc;
}

}  // namespace

bool raw_connect(RawSession& s, const Settings& cfg, std::string& error) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &s.env);
    SQLSetEnvAttr(s.env, SQL_ATTR_ODBC_VERSION,
                  reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, s.env, &s.dbc);
    std::string dsn = cfg.dsn, user = cfg.user, password = cfg.password;
    const SQLRETURN rc =
        SQLConnect(s.dbc, reinterpret_cast<SQLCHAR*>(dsn.data()), SQL_NTS,
                   reinterpret_cast<SQLCHAR*>(user.data()), SQL_NTS,
                   reinterpret_cast<SQLCHAR*>(password.data()), SQL_NTS);
    if (!SQL_SUCCEEDED(rc)) {
        error = "raw connect to " + cfg.dsn + ": " +
                diagnostic(SQL_HANDLE_DBC, s.dbc);
        return false;
    }
    SQLAllocHandle(SQL_HANDLE_STMT, s.dbc, &s.stmt);
    for (const std::string& sql : cfg.init_sql) {
        if (!SQL_SUCCEEDED(execute(s.stmt, sql))) {
            error = "raw " + sql + ": " + diagnostic(SQL_HANDLE_STMT, s.stmt);
            return false;
        }
        SQLFreeStmt(s.stmt, SQL_CLOSE);
    }
    return true;
}

void raw_disconnect(RawSession& s) {
    if (s.stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, s.stmt);
    if (s.dbc != SQL_NULL_HDBC) {
        SQLDisconnect(s.dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, s.dbc);
    }
    if (s.env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, s.env);
    s = RawSession{};
}

bool raw_describe(RawSession& s, const Settings& cfg,
                  std::vector<Column>& columns, std::string& error) {
    if (!SQL_SUCCEEDED(execute(s.stmt, cfg.query))) {
        error = "raw execute: " + diagnostic(SQL_HANDLE_STMT, s.stmt);
        SQLFreeStmt(s.stmt, SQL_CLOSE);
        return false;
    }
    SQLSMALLINT n = 0;
    SQLNumResultCols(s.stmt, &n);
    columns.clear();
    for (SQLUSMALLINT c = 1; c <= n; ++c) {
        SQLCHAR name[256] = {0};
        SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        SQLLEN display = 0;
        SQLDescribeCol(s.stmt, c, name, sizeof name, &name_length, &type, &size,
                       &digits, &nullable);
        SQLColAttribute(s.stmt, c, SQL_DESC_DISPLAY_SIZE, nullptr, 0, nullptr,
                        &display);
        Column col;
        col.name = reinterpret_cast<char*>(name);
        col.sql_type = type;
        col.display_size = display;
        columns.push_back(col);
    }
    SQLFreeStmt(s.stmt, SQL_CLOSE);
    if (columns.empty()) {
        error = "the query has no result columns";
        return false;
    }
    return true;
}

Run raw_getdata(RawSession& s, const Settings& cfg, Digest* digest) {
    // The size the connector starts reading values with.
    static char buffer[4096];
    constexpr SQLLEN kSize = sizeof buffer;
    std::string whole;
    if (!SQL_SUCCEEDED(execute(s.stmt, cfg.query)))
        return failed(s.stmt, "execute");
    SQLSMALLINT n = 0;
    SQLNumResultCols(s.stmt, &n);
    Run r;
    SQLRETURN rc;
    while (SQL_SUCCEEDED(rc = SQLFetchScroll(s.stmt, SQL_FETCH_NEXT, 0))) {
        ++r.rows;
        for (SQLUSMALLINT c = 1; c <= n; ++c) {
            SQLLEN length = 0;
            rc = SQLGetData(s.stmt, c, SQL_C_CHAR, buffer, kSize, &length);
            if (!SQL_SUCCEEDED(rc)) return failed(s.stmt, "SQLGetData");
            const bool partial = rc == SQL_SUCCESS_WITH_INFO &&
                                 (length == SQL_NO_TOTAL || length >= kSize);
            if (partial) {
                rc = read_rest(s.stmt, c, buffer, kSize, whole);
                if (!SQL_SUCCEEDED(rc)) return failed(s.stmt, "SQLGetData");
            }
            if (digest == nullptr) continue;
            if (length == SQL_NULL_DATA)
                digest->null();
            else if (partial)
                digest->value(whole.data(), whole.size());
            else
                digest->value(buffer, static_cast<std::size_t>(length));
        }
    }
    if (rc != SQL_NO_DATA) return failed(s.stmt, "SQLFetchScroll");
    SQLFreeStmt(s.stmt, SQL_CLOSE);
    r.ok = true;
    return r;
}

Run raw_bound(RawSession& s, const Settings& cfg,
              const std::vector<Column>& columns, Digest* digest) {
    struct Bound {
        SQLLEN width;  // bytes per row, terminator included
        std::vector<char> data;
        std::vector<SQLLEN> indicator;
    };
    std::vector<Bound> bound(columns.size());
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const SQLLEN display = columns[k].display_size;
        bound[k].width =
            display > 0 && display < 65536 ? display + 1 : SQLLEN{4096};
        bound[k].data.resize(static_cast<std::size_t>(bound[k].width) *
                             kBoundRows);
        bound[k].indicator.resize(kBoundRows);
    }
    std::vector<SQLUSMALLINT> status(kBoundRows);
    SQLULEN fetched = 0;
    SQLSetStmtAttr(s.stmt, SQL_ATTR_ROW_BIND_TYPE,
                   reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0);
    SQLSetStmtAttr(s.stmt, SQL_ATTR_ROW_ARRAY_SIZE,
                   reinterpret_cast<SQLPOINTER>(kBoundRows), 0);
    SQLSetStmtAttr(s.stmt, SQL_ATTR_ROW_STATUS_PTR, status.data(), 0);
    SQLSetStmtAttr(s.stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    // Every way out puts the statement back as the other loops expect it.
    auto restore = [&s] {
        SQLFreeStmt(s.stmt, SQL_CLOSE);
        SQLFreeStmt(s.stmt, SQL_UNBIND);
        SQLSetStmtAttr(s.stmt, SQL_ATTR_ROW_ARRAY_SIZE,
                       reinterpret_cast<SQLPOINTER>(SQLULEN{1}), 0);
        SQLSetStmtAttr(s.stmt, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
        SQLSetStmtAttr(s.stmt, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
    };
    Run r;
    if (!SQL_SUCCEEDED(execute(s.stmt, cfg.query))) {
        r = failed(s.stmt, "execute");
        restore();
        return r;
    }
    for (std::size_t k = 0; k < bound.size(); ++k)
        SQLBindCol(s.stmt, static_cast<SQLUSMALLINT>(k + 1), SQL_C_CHAR,
                   bound[k].data.data(), bound[k].width,
                   bound[k].indicator.data());
    SQLRETURN rc;
    while (SQL_SUCCEEDED(rc = SQLFetchScroll(s.stmt, SQL_FETCH_NEXT, 0))) {
        r.rows += fetched;
        if (digest == nullptr) continue;
        for (SQLULEN row = 0; row < fetched; ++row) {
            for (const Bound& b : bound) {
                const SQLLEN length = b.indicator[row];
                if (length == SQL_NULL_DATA) {
                    digest->null();
                    continue;
                }
                if (length == SQL_NO_TOTAL || length >= b.width) {
                    r.error = "a value is longer than its bound buffer";
                    restore();
                    return r;
                }
                digest->value(&b.data[row * b.width],
                              static_cast<std::size_t>(length));
            }
        }
    }
    if (rc != SQL_NO_DATA) {
        r = failed(s.stmt, "SQLFetchScroll");
    } else {
        r.ok = true;
    }
    restore();
    return r;
}

}  // namespace orvbench
