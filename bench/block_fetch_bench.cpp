// Command 25 (all rows as one block of text) against a plain ODBC loop of
// SQLFetchScroll and SQLGetData over the same 100,000-row SQLite result, in
// the same run; prints the ratio of the two times at the end.
//
//   source .testbed/env && ./block_fetch_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dorevivezo.h"
#include "hostkit.h"
#include "odbc_api.h"

namespace {

constexpr long kRows = 100000;
constexpr const char* kDsn = "orv_sqlite";
// Three text columns of about 7, 20 and 10 bytes per row.
const std::string kQuery =
    "WITH RECURSIVE s(id) AS (SELECT 1 UNION ALL SELECT id + 1 FROM s WHERE "
    "id < " +
    std::to_string(kRows) +
    ") SELECT id, printf('%020d', id) AS t, 'row ' || id AS label FROM s";

bool dsn_available() {
    const char* list = std::getenv("ORV_DSNS");
    std::istringstream words(list ? list : "");
    std::string w;
    while (words >> w)
        if (w == kDsn) return true;
    return false;
}

CmdHdr command(hostkit::Host& h, int32_t code, int slot,
               std::vector<hostkit::ArgSpec> args = {}) {
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
    hostkit::run(h, code, hdr, std::move(args));
    return hdr;
}

void BM_BlockFetch(benchmark::State& state) {
    if (!dsn_available()) {
        state.SkipWithError("orv_sqlite is not available: source .testbed/env");
        return;
    }
    hostkit::Host host = hostkit::make_test_host(&orvsql);
    host.guard_pages = false;  // as a host runtime runs
    command(host, 1, 0);
    const int slot = command(host, 4, 0).slot;
    if (command(host, 6, slot, {hostkit::text(std::string("-host=") + kDsn)})
            .status != 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    for (auto _ : state) {
        command(host, 13, slot);
        if (command(host, 9, slot, {hostkit::text(kQuery)}).status != 0) {
            state.SkipWithError("the query failed");
            break;
        }
        long rows = 0;
        double number = 0.0;
        for (;;) {
            CmdHdr b = hostkit::header(static_cast<uint8_t>(slot));
            b.number = number;
            hostkit::run(host, 25, b, {hostkit::buffer(sizeof(void*))});
            rows += static_cast<long>(b.number);
            number = b.number;
            if (b.status != 0 || hostkit::sqlstate(b) != "01004") break;
        }
        if (rows != kRows) {
            state.SkipWithError("wrong number of rows");
            break;
        }
        benchmark::DoNotOptimize(rows);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    command(host, 7, slot);
    command(host, 2, 0);
}

void BM_RawOdbcLoop(benchmark::State& state) {
    if (!dsn_available()) {
        state.SkipWithError("orv_sqlite is not available: source .testbed/env");
        return;
    }
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION,
                  reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    std::string dsn = kDsn;
    SQLRETURN rc = SQLConnect(dbc, reinterpret_cast<SQLCHAR*>(dsn.data()),
                              SQL_NTS, nullptr, 0, nullptr, 0);
    if (SQL_SUCCEEDED(rc)) SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    if (stmt == SQL_NULL_HSTMT) {
        state.SkipWithError("cannot connect");
    } else {
        // The same 4096 bytes the connector starts reading values with.
        std::vector<char> value(4096);
        std::string text = kQuery;
        for (auto _ : state) {
            SQLFreeStmt(stmt, SQL_CLOSE);
            SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()),
                          SQL_NTS);
            SQLSMALLINT n = 0;
            SQLNumResultCols(stmt, &n);
            long rows = 0;
            std::size_t bytes = 0;
            while (SQL_SUCCEEDED(SQLFetchScroll(stmt, SQL_FETCH_NEXT, 0))) {
                ++rows;
                for (SQLUSMALLINT c = 1; c <= n; ++c) {
                    SQLLEN length = 0;
                    SQLGetData(stmt, c, SQL_C_CHAR, value.data(),
                               static_cast<SQLLEN>(value.size()), &length);
                    if (length > 0) bytes += static_cast<std::size_t>(length);
                }
            }
            if (rows != kRows) {
                state.SkipWithError("wrong number of rows");
                break;
            }
            benchmark::DoNotOptimize(bytes);
        }
        state.SetItemsProcessed(state.iterations() * kRows);
    }
    if (stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
}

BENCHMARK(BM_BlockFetch)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RawOdbcLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console output, plus the mean real time of each benchmark by name.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration)
                times[r.run_name.function_name] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto block = reporter.times.find("BM_BlockFetch");
    auto raw = reporter.times.find("BM_RawOdbcLoop");
    if (block != reporter.times.end() && raw != reporter.times.end() &&
        raw->second > 0)
        std::printf("command 25 / plain ODBC loop: %.2f\n",
                    block->second / raw->second);
    benchmark::Shutdown();
    return 0;
}
