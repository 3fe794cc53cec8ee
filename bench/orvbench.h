// orvbench: measures the connector's fetch commands against raw ODBC loops
// over the same result, in one process, and proves with one checksum that
// every way of reading saw the same values.
#pragma once
#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvbench {

// CRC-32 (the zlib polynomial) over a stream of values, in row and column
// order: a value adds its bytes and a zero byte, a NULL adds 0xFF and a
// zero byte.  bench/pyodbc_fetchall.py computes the same with zlib.crc32.
class Digest {
  public:
    void value(const char* p, std::size_t n);
    void null();
    uint32_t sum() const { return ~crc_; }
    uint64_t values() const { return values_; }

  private:
    void add(const unsigned char* p, std::size_t n);
    uint32_t crc_ = 0xFFFFFFFFu;
    uint64_t values_ = 0;
};

// What one run of a variant did.  `digest` is null in the timed rounds:
// the values are then delivered but nobody looks at them.
struct Run {
    bool ok = false;
    std::string error;
    uint64_t rows = 0;
};

// A result column as the raw session described it.
struct Column {
    std::string name;
    SQLSMALLINT sql_type = 0;
    SQLLEN display_size = 0;  // characters of the value as text
    int32_t width = 0;        // the connector's column width (command 10)
};

struct Settings {
    std::string dsn, user, password;
    std::string query;
    std::vector<std::string> init_sql;  // run on every connection first
    std::string library;                // path of libdorevivezo.so
};

// ---- Raw ODBC loops (raw_odbc.cpp) ---------------------------------------

struct RawSession {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
};

// Connects and runs the init statements; false with `error` set on failure.
bool raw_connect(RawSession& s, const Settings& cfg, std::string& error);
void raw_disconnect(RawSession& s);
// Executes the query once and describes its columns.
bool raw_describe(RawSession& s, const Settings& cfg,
                  std::vector<Column>& columns, std::string& error);
// SQLFetchScroll, then SQLGetData as SQL_C_CHAR into one reused buffer
// for every value.
Run raw_getdata(RawSession& s, const Settings& cfg, Digest* digest);
// SQLBindCol arrays of kBoundRows rows, SQL_C_CHAR, column-wise.
inline constexpr SQLULEN kBoundRows = 1000;
Run raw_bound(RawSession& s, const Settings& cfg,
              const std::vector<Column>& columns, Digest* digest);

// ---- The connector (connector_runs.cpp) ----------------------------------

// Loads the library and connects a slot; false with `error` set.
bool connector_open(const Settings& cfg, std::string& error);
void connector_close();
// Takes the connector's column widths (command 10) into `columns`.
bool connector_describe(const Settings& cfg, std::vector<Column>& columns,
                        std::string& error);
// Command 25 until the result is exhausted.
Run connector_block(const Settings& cfg, const std::vector<Column>& columns,
                    Digest* digest);
// Command 12 per row, one host argument per column: integers as host type
// 8, other numbers as type 4, everything else as text (type 2).
Run connector_args(const Settings& cfg, const std::vector<Column>& columns,
                   Digest* digest);
// Command 12 per row with FETCH_PAIRS.
Run connector_pairs(const Settings& cfg, const std::vector<Column>& columns,
                    Digest* digest);
// Command 12 per row with FETCH_FIXED.
Run connector_fixed(const Settings& cfg, const std::vector<Column>& columns,
                    Digest* digest);

// ---- Profiling -----------------------------------------------------------

// Brackets one measured run under callgrind: only the instructions between
// the two calls are counted, and each run is dumped under its own name.
// Without valgrind both do nothing.
void profile_start();
void profile_stop(const char* name);

}  // namespace orvbench
