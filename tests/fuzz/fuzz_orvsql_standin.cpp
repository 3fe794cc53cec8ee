// Stateful fuzzing of orvsql over the scripted ODBC stand-in: besides the
// program of commands (see program.h), the input picks the driver's
// answers: results of 0 to 300 columns with empty and long names and
// unusual types and widths, values holding 0x00, 0xFA and 0xFB, long
// values and NULLs, failing or warning calls with their records, value
// lengths past the buffer, SQL_NO_TOTAL, SQL_NULL_DATA, column counts that
// disagree with the description, driver names and data sources, and
// whether the block may read through bound rowsets.
#include <climits>
#include <cstdint>
#include <string>

#include "program.h"
#include "standin.h"

namespace {

constexpr const char* kFunctions[] = {
    "SQLFetchScroll",    "SQLFetchScroll",    "SQLGetData",
    "SQLGetData",        "SQLExecDirect",     "SQLTables",
    "SQLConnect",        "SQLDisconnect",     "SQLAllocHandle",
    "SQLFreeHandle",     "SQLSetEnvAttr",     "SQLNumResultCols",
    "SQLRowCount",       "SQLColAttribute",   "SQLGetDiagRec",
    "SQLGetInfo",        "SQLFreeStmt",       "SQLDataSources",
    "SQLGetConnectAttr", "SQLSetConnectAttr", "SQLGetStmtAttr",
    "SQLSetStmtAttr",    "SQLBindCol",        "SQLSetPos",
    "SQLPrepare",        "SQLExecute",        "SQLNumParams",
    "SQLBindParameter",  "SQLMoreResults",    "SQLEndTran",
    "SQLDriverConnect"};

constexpr SQLRETURN kReturnCodes[] = {SQL_ERROR,
                                      SQL_ERROR,
                                      SQL_SUCCESS_WITH_INFO,
                                      SQL_SUCCESS_WITH_INFO,
                                      SQL_NO_DATA,
                                      SQL_INVALID_HANDLE,
                                      SQL_STILL_EXECUTING,
                                      SQL_NEED_DATA,
                                      SQL_PARAM_DATA_AVAILABLE,
                                      3,
                                      -7};

constexpr const char* kStates[] = {"",      "01004", "08S01", "57P01", "HY000",
                                   "HY001", "24000", "01S02", "22003", "IM001"};

constexpr SQLLEN kSqlTypes[] = {
    SQL_VARCHAR,        SQL_VARCHAR,  SQL_CHAR,      SQL_LONGVARCHAR,
    SQL_WVARCHAR,       SQL_INTEGER,  SQL_BIGINT,    SQL_SMALLINT,
    SQL_DOUBLE,         SQL_DECIMAL,  SQL_BIT,       SQL_TYPE_DATE,
    SQL_TYPE_TIMESTAMP, SQL_DATETIME, SQL_VARBINARY, SQL_LONGVARBINARY,
    SQL_BINARY,         SQL_GUID,     -99,           32000};

constexpr SQLLEN kDisplaySizes[] = {
    0, 1, 4, 10, 255, 255, 4096, 65536, 1 << 20, INT_MAX, -1, -5, SQL_NO_TOTAL};

// How SQLGetData misreports the length of a value.
enum class Lie : uint8_t {
    PastTheBuffer,  // the whole length plus some, with the data unchanged
    Huge,
    NoTotal,   // SQL_NO_TOTAL even where the value fits
    NullData,  // SQL_NULL_DATA with data written
    Negative,  // -7
    Zero,      // 0 while data were written
};
constexpr Lie kLies[] = {Lie::PastTheBuffer, Lie::Huge,     Lie::NoTotal,
                         Lie::NullData,      Lie::Negative, Lie::Zero};

std::string name(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
            return "";
        case 1:
            return std::string(31, 'n');
        case 2:
            return std::string(32, 'n');
        case 3:
            return std::string(200, 'n');
        case 4:
            return "a=b";
        case 5:
            return in.ConsumeBytesAsString(
                in.ConsumeIntegralInRange<std::size_t>(0, 40));
        default:
            return "c" + std::to_string(in.ConsumeIntegralInRange<int>(0, 99));
    }
}

standin::Value value(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0:
            return std::nullopt;
        case 1:
            return std::string();
        case 2:
            return std::string(
                "a\0b\xFA"
                "c\xFB\xFB\xFC",
                8);
        case 3:
            return std::string(
                in.ConsumeIntegralInRange<std::size_t>(200, 70000), 'v');
        case 4:
            return std::string(in.ConsumeIntegralInRange<std::size_t>(0, 3),
                               '\0');
        case 5:
            return in.ConsumeBytesAsString(
                in.ConsumeIntegralInRange<std::size_t>(0, 300));
        case 6:
            return std::to_string(in.ConsumeIntegral<int64_t>());
        case 7:
            return "-1.5e300";
        default:
            return std::to_string(in.ConsumeIntegralInRange<int>(-9, 999));
    }
}

standin::Result result(FuzzedDataProvider& in) {
    standin::Result r;
    const int columns = fuzzprog::chance(in, 5)
                            ? in.ConsumeIntegralInRange<int>(0, 300)
                            : in.ConsumeIntegralInRange<int>(0, 5);
    for (int k = 0; k < columns; ++k) {
        standin::Column c = standin::column(
            name(in),
            kSqlTypes[in.ConsumeIntegralInRange<std::size_t>(
                0, std::size(kSqlTypes) - 1)],
            kDisplaySizes[in.ConsumeIntegralInRange<std::size_t>(
                0, std::size(kDisplaySizes) - 1)]);
        if (fuzzprog::chance(in, 20)) c.table = name(in);
        if (fuzzprog::chance(in, 10))
            c.precision = in.ConsumeIntegral<int16_t>();
        if (fuzzprog::chance(in, 10)) c.nullable = SQL_NO_NULLS;
        if (fuzzprog::chance(in, 5)) c.auto_unique = SQL_TRUE;
        r.columns.push_back(std::move(c));
    }
    const int rows = in.ConsumeIntegralInRange<int>(0, columns > 20 ? 2 : 6);
    for (int i = 0; i < rows; ++i) {
        std::vector<standin::Value> row;
        const int values = fuzzprog::chance(in, 90)
                               ? columns
                               : in.ConsumeIntegralInRange<int>(0, columns);
        for (int k = 0; k < values; ++k) row.push_back(value(in));
        r.rows.push_back(std::move(row));
    }
    r.no_total = fuzzprog::chance(in, 20);
    if (fuzzprog::chance(in, 10)) r.row_count = in.ConsumeIntegral<int64_t>();
    return r;
}

// Wraps SQLGetData so that it misreports lengths as `lie` says.
void lie_about_lengths(Lie lie, SQLLEN extra) {
    standin::hooks.SQLGetData = [lie, extra](SQLHSTMT s, SQLUSMALLINT c,
                                             SQLSMALLINT t, SQLPOINTER p,
                                             SQLLEN n, SQLLEN* ind) {
        const SQLRETURN rc = standin::base::SQLGetData(s, c, t, p, n, ind);
        if (ind == nullptr || !SQL_SUCCEEDED(rc)) return rc;
        switch (lie) {
            case Lie::PastTheBuffer:
                if (*ind >= 0) *ind += extra;
                break;
            case Lie::Huge:
                *ind = static_cast<SQLLEN>(1) << 40;
                break;
            case Lie::NoTotal:
                *ind = SQL_NO_TOTAL;
                break;
            case Lie::NullData:
                *ind = SQL_NULL_DATA;
                break;
            case Lie::Negative:
                *ind = -7;
                break;
            case Lie::Zero:
                *ind = 0;
                break;
        }
        return rc;
    };
}

// Command 22's parameter sets: the driver writes row statuses of the
// input's choosing (valid ones and others), a processed count, and ends
// with any return code.
void script_row_statuses(FuzzedDataProvider& in) {
    const std::vector<uint8_t> marks = in.ConsumeBytes<uint8_t>(24);
    const SQLRETURN rc = kReturnCodes[in.ConsumeIntegralInRange<std::size_t>(
        0, std::size(kReturnCodes) - 1)];
    const SQLULEN processed = in.ConsumeIntegralInRange<SQLULEN>(0, 30);
    standin::hooks.SQLExecute = [marks, rc, processed](SQLHSTMT s, SQLRETURN) {
        SQLULEN rows = 0;
        SQLPOINTER status = nullptr, done = nullptr;
        standin::base::SQLGetStmtAttr(s, SQL_ATTR_PARAMSET_SIZE, &rows, 0,
                                      nullptr);
        standin::base::SQLGetStmtAttr(s, SQL_ATTR_PARAM_STATUS_PTR, &status, 0,
                                      nullptr);
        standin::base::SQLGetStmtAttr(s, SQL_ATTR_PARAMS_PROCESSED_PTR, &done,
                                      0, nullptr);
        for (SQLULEN r = 0; status != nullptr && r < rows && r < marks.size();
             ++r)
            static_cast<SQLUSMALLINT*>(status)[r] =
                marks[r] < 200 ? static_cast<SQLUSMALLINT>(marks[r] % 8)
                               : static_cast<SQLUSMALLINT>(0xFFFF - marks[r]);
        if (done != nullptr)
            *static_cast<SQLULEN*>(done) = std::min(processed, rows);
        return rc;
    };
}

void script_driver(FuzzedDataProvider& in, int32_t code) {
    if (fuzzprog::chance(in, 20)) {
        standin::Rule& rule = standin::fail(
            kFunctions[in.ConsumeIntegralInRange<std::size_t>(
                0, std::size(kFunctions) - 1)],
            kReturnCodes[in.ConsumeIntegralInRange<std::size_t>(
                0, std::size(kReturnCodes) - 1)],
            kStates[in.ConsumeIntegralInRange<std::size_t>(
                0, std::size(kStates) - 1)],
            in.ConsumeIntegral<int32_t>(),
            fuzzprog::chance(in, 20) ? std::string(300, 'm') : "message");
        rule.after(in.ConsumeIntegralInRange<int>(0, 7));
        if (fuzzprog::chance(in, 70)) rule.once();
    }
    if (code == 22 && fuzzprog::chance(in, 40)) script_row_statuses(in);
    if ((code == 9 || code == 18) && fuzzprog::chance(in, 80))
        standin::script.results.push_back(result(in));
    if (fuzzprog::chance(in, 8))
        lie_about_lengths(kLies[in.ConsumeIntegralInRange<std::size_t>(
                              0, std::size(kLies) - 1)],
                          in.ConsumeIntegralInRange<SQLLEN>(1, 100000));
    if (fuzzprog::chance(in, 4)) {
        const SQLSMALLINT count = in.ConsumeIntegral<SQLSMALLINT>();
        standin::hooks.SQLNumResultCols = [count](SQLHSTMT s, SQLSMALLINT* n) {
            const SQLRETURN rc = standin::base::SQLNumResultCols(s, n);
            if (SQL_SUCCEEDED(rc) && n != nullptr) *n = count;
            return rc;
        };
    }
    if (fuzzprog::chance(in, 5))
        standin::script.info[SQL_DRIVER_NAME] =
            fuzzprog::chance(in, 50) ? "myodbc8a.so" : name(in);
    if (fuzzprog::chance(in, 5))
        standin::script.info[SQL_DBMS_NAME] = std::string(300, 'd');
    if (code == 18 && fuzzprog::chance(in, 50)) {
        standin::script.data_sources.clear();
        const int n = in.ConsumeIntegralInRange<int>(0, 3);
        for (int i = 0; i < n; ++i)
            standin::script.data_sources.emplace_back(name(in), name(in));
    }
    // The block reads through bound rowsets where the driver says it can
    // read bound columns of any row again.
    if (fuzzprog::chance(in, 40))
        standin::script.info_numbers[SQL_GETDATA_EXTENSIONS] =
            SQL_GD_BOUND | (fuzzprog::chance(in, 70) ? SQL_GD_BLOCK : 0);
    if (fuzzprog::chance(in, 3)) standin::script.forward_only = true;
    if (fuzzprog::chance(in, 3))
        standin::script.refuse_exec_with_open_cursor = true;
}

const fuzzprog::Target& target() {
    static const fuzzprog::Target t = [] {
        fuzzprog::Target t;
        t.sql = fuzzprog::common_sql();
        t.sql.insert(t.sql.end(), {"SELECT a, b FROM t", "SELECT 1",
                                   "INSERT INTO t VALUES (1)"});
        t.connect = fuzzprog::connection_strings("standin");
        t.before_command = &script_driver;
        t.reset = &standin::reset;
        t.after_program = &standin::forget_freed_handles;
        // The count the connector was told, a lie included: the block's
        // header has that many names.
        t.num_result_cols = [](SQLHSTMT s, SQLSMALLINT* n) {
            return standin::hooks.SQLNumResultCols
                       ? standin::hooks.SQLNumResultCols(s, n)
                       : standin::base::SQLNumResultCols(s, n);
        };
        return t;
    }();
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzprog::run_program(data, size, target());
    return 0;
}
