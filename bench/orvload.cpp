// orvload: loading rows, the connector's parameter arrays (command 22)
// against a raw ODBC loop binding the same arrays, in one process,
// interleaved, by CPU time of the process; and command 22 one row per call
// (the prepared statement kept), to show what arrays buy.
//
// The rows come from a tab-separated file (bench/bench_table.py --tsv, \N
// for NULL) and are laid out once, before any timing, as a host lays out
// its arrays: per batch of rows and per column, the elements (text, one
// byte longer than the column's longest value) and behind them the null
// map.  Both variants read exactly that memory.
//
//   orvload --dsn NAME [--user U --password P] --tsv FILE --table NAME
//           [--columns "SQL column list"] [--rounds N] [--batch N]
//           [--single N] [--library PATH] [--init SQL] [--only VARIANT]
//
// --rounds N timed rounds follow one untimed round that checks the rows
// each variant wrote; --only runs one variant (raw_arrays,
// connector_arrays, connector_single), for a profiler.  Prints one line
// per variant: name, rows, median CPU ms.
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "dorevivezo.h"
#include "text_options.h"

namespace {

struct Options {
    std::string dsn, user, password, tsv, table = "bench_load", columns;
    std::string library = ORVLOAD_LIBRARY;
    std::vector<std::string> init;  // run on the raw connection first
    std::string only;               // one variant alone (for a profiler)
    int rounds = 3;
    std::size_t batch = 1000, single = 20000;
};

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "orvload: %s\n", what.c_str());
    std::exit(1);
}

double cpu_ms() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// One batch of rows as host arrays: per column, `rows` elements of `size`
// bytes, then `rows` bytes of null map.
struct Batch {
    std::size_t rows = 0;
    std::vector<uint32_t> size;             // per column
    std::vector<std::vector<char>> column;  // elements and null map
};

std::vector<Batch> read_batches(const std::string& path, std::size_t per) {
    std::ifstream in(path);
    if (!in) die("cannot read " + path);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    std::vector<Batch> out;
    auto flush = [&] {
        if (rows.empty()) return;
        Batch b;
        b.rows = rows.size();
        const std::size_t n = rows[0].size();
        for (std::size_t c = 0; c < n; ++c) {
            std::size_t longest = 0;
            for (auto& r : rows) longest = std::max(longest, r[c].size());
            const auto size = static_cast<uint32_t>(longest + 1);
            std::vector<char> col(b.rows * size + b.rows, 0);
            for (std::size_t k = 0; k < b.rows; ++k) {
                if (rows[k][c] == "\\N")
                    col[b.rows * size + k] = 1;
                else
                    std::memcpy(&col[k * size], rows[k][c].data(),
                                rows[k][c].size());
            }
            b.size.push_back(size);
            b.column.push_back(std::move(col));
        }
        out.push_back(std::move(b));
        rows.clear();
    };
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::size_t at = 0;
        for (;;) {
            const std::size_t tab = line.find('\t', at);
            f.push_back(line.substr(at, tab - at));
            if (tab == std::string::npos) break;
            at = tab + 1;
        }
        rows.push_back(std::move(f));
        if (rows.size() == per) flush();
    }
    flush();
    return out;
}

// ---- Raw ODBC
// ----------------------------------------------------------------

struct Raw {
    SQLHENV env = nullptr;
    SQLHDBC dbc = nullptr;
    SQLHSTMT stmt = nullptr;
};

std::string raw_error(SQLSMALLINT type, SQLHANDLE h) {
    SQLCHAR state[6] = {}, msg[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    SQLGetDiagRec(type, h, 1, state, &native, msg, sizeof msg, &len);
    return std::string(reinterpret_cast<char*>(state)) + " " +
           reinterpret_cast<char*>(msg);
}

void raw_exec(Raw& r, const std::string& sql) {
    SQLFreeStmt(r.stmt, SQL_CLOSE);
    SQLRETURN rc = SQLExecDirect(
        r.stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
        SQL_NTS);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
        die(sql + ": " + raw_error(SQL_HANDLE_STMT, r.stmt));
    SQLFreeStmt(r.stmt, SQL_CLOSE);
}

long long raw_count(Raw& r, const std::string& table) {
    SQLExecDirect(r.stmt,
                  reinterpret_cast<SQLCHAR*>(const_cast<char*>(
                      ("SELECT COUNT(*) FROM " + table).c_str())),
                  SQL_NTS);
    SQLBIGINT n = -1;
    SQLFetch(r.stmt);
    SQLGetData(r.stmt, 1, SQL_C_SBIGINT, &n, sizeof n, nullptr);
    SQLFreeStmt(r.stmt, SQL_CLOSE);
    return n;
}

// A digest of the table's first `limit` rows in the order of column 1,
// every value as text (NULL apart from the empty text): what a load wrote,
// compared between the variants.
uint64_t raw_digest(Raw& r, const std::string& table, std::size_t limit) {
    const std::string sql = "SELECT * FROM " + table + " ORDER BY 1";
    SQLExecDirect(r.stmt,
                  reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                  SQL_NTS);
    SQLSMALLINT columns = 0;
    SQLNumResultCols(r.stmt, &columns);
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    auto add = [&h](const char* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    };
    char buf[256];
    for (std::size_t row = 0; row < limit && SQL_SUCCEEDED(SQLFetch(r.stmt));
         ++row) {
        for (SQLUSMALLINT c = 1; c <= columns; ++c) {
            SQLLEN len = 0;
            SQLGetData(r.stmt, c, SQL_C_CHAR, buf, sizeof buf, &len);
            if (len == SQL_NULL_DATA)
                add("\xff", 1);
            else
                add(buf, std::strlen(buf));
            add("", 1);
        }
    }
    SQLFreeStmt(r.stmt, SQL_CLOSE);
    return h;
}

Raw raw_connect(const Options& o) {
    Raw r;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &r.env);
    SQLSetEnvAttr(r.env, SQL_ATTR_ODBC_VERSION,
                  reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, r.env, &r.dbc);
    auto str = [](const std::string& s) {
        return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
    };
    if (!SQL_SUCCEEDED(SQLConnect(r.dbc, str(o.dsn), SQL_NTS, str(o.user),
                                  SQL_NTS, str(o.password), SQL_NTS)))
        die("connect: " + raw_error(SQL_HANDLE_DBC, r.dbc));
    SQLAllocHandle(SQL_HANDLE_STMT, r.dbc, &r.stmt);
    return r;
}

// The raw loop: prepared once, the batch's arrays bound column-wise as
// SQL_C_CHAR, SQL_ATTR_PARAMSET_SIZE rows, indicators from the null map.
void raw_load(Raw& r, const std::string& insert,
              const std::vector<Batch>& batches) {
    SQLPrepare(r.stmt,
               reinterpret_cast<SQLCHAR*>(const_cast<char*>(insert.c_str())),
               SQL_NTS);
    std::vector<std::vector<SQLLEN>> ind(batches[0].column.size());
    for (const Batch& b : batches) {
        SQLSetStmtAttr(r.stmt, SQL_ATTR_PARAMSET_SIZE,
                       reinterpret_cast<SQLPOINTER>(b.rows), 0);
        for (std::size_t c = 0; c < b.column.size(); ++c) {
            ind[c].resize(b.rows);
            const char* map = b.column[c].data() + b.rows * b.size[c];
            for (std::size_t k = 0; k < b.rows; ++k)
                ind[c][k] = map[k] ? SQL_NULL_DATA : SQL_NTS;
            SQLBindParameter(r.stmt, static_cast<SQLUSMALLINT>(c + 1),
                             SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                             b.size[c], 0,
                             const_cast<char*>(b.column[c].data()), b.size[c],
                             ind[c].data());
        }
        if (!SQL_SUCCEEDED(SQLExecute(r.stmt)))
            die("raw execute: " + raw_error(SQL_HANDLE_STMT, r.stmt));
    }
    SQLFreeStmt(r.stmt, SQL_RESET_PARAMS);
    SQLSetStmtAttr(r.stmt, SQL_ATTR_PARAMSET_SIZE,
                   reinterpret_cast<SQLPOINTER>(1), 0);
}

// ---- The connector
// -------------------------------------------------------------

using Entry = int32_t (*)(HostContext*, HostCallback);
Entry g_orvsql = nullptr;
int32_t g_code = 0;

int32_t ORV_CALL serve(int32_t service, HostContext*, int32_t selector, int32_t,
                       int32_t, void*, int32_t) {
    return service == GET_INT && selector == 1 ? g_code : 0;
}

// The records of one command with up to 16 value arguments.
struct Call {
    CmdHdr hdr{};
    alignas(HostContext) unsigned char room[sizeof(HostContext) +
                                            20 * sizeof(ArgDescriptor)] = {};
    HostContext* ctx() { return reinterpret_cast<HostContext*>(room); }
    void arg(int n, int16_t flags, const void* data, uint32_t size) {
        ctx()->args[n].type_flags = flags;
        ctx()->args[n].data = const_cast<void*>(data);
        ctx()->args[n].size = size;
    }
    int run(int32_t code, uint8_t slot, int args) {
        g_code = code;
        hdr = CmdHdr{};
        hdr.slot = slot;
        ctx()->arg_count = args;
        arg(2, 0, &hdr, sizeof hdr);
        return g_orvsql(ctx(), serve);
    }
};

uint8_t connector_connect(const Options& o) {
    void* lib = dlopen(o.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) die(dlerror());
    g_orvsql = reinterpret_cast<Entry>(dlsym(lib, "orvsql"));
    if (g_orvsql == nullptr) die("no orvsql");
    Call c;
    c.run(ORV_CMD_ALLOC_ENV, 0, 2);
    c.run(ORV_CMD_ALLOC_SLOT, 0, 2);
    const uint8_t slot = c.hdr.slot;
    std::string conn = "-host=" + o.dsn;
    if (!o.user.empty()) conn += " -user=" + o.user + " -pw=" + o.password;
    c.arg(3, 2, conn.c_str(), static_cast<uint32_t>(conn.size() + 1));
    if (c.run(ORV_CMD_CONNECT, slot, 3) != ORV_OK) die("connector connect");
    return slot;
}

std::string connector_failure(const Call& c) {
    return "status " + std::to_string(c.hdr.status) + ", sqlstate " +
           std::string(c.hdr.sqlstate, strnlen(c.hdr.sqlstate, 6)) +
           ", native error " +
           std::to_string(static_cast<int32_t>(
               swap_halves(static_cast<uint32_t>(c.hdr.native_error))));
}

// Command 22 with the batch's arrays, one call per batch.
void connector_arrays(uint8_t slot, const std::string& insert,
                      const std::vector<Batch>& batches) {
    Call c;
    for (const Batch& b : batches) {
        c.arg(3, 2, insert.c_str(), static_cast<uint32_t>(insert.size() + 1));
        for (std::size_t k = 0; k < b.column.size(); ++k)
            c.arg(static_cast<int>(k + 4), 2 | ARG_ARRAY | ARG_NULL,
                  b.column[k].data(), b.size[k]);
        const auto args = static_cast<int>(3 + b.column.size());
        g_code = ORV_CMD_EXECUTE_PARAMS;
        c.hdr = CmdHdr{};
        c.hdr.slot = slot;
        c.hdr.param =
            static_cast<int32_t>(swap_halves(static_cast<uint32_t>(b.rows)));
        c.ctx()->arg_count = args;
        c.arg(2, 0, &c.hdr, sizeof c.hdr);
        if (g_orvsql(c.ctx(), serve) != ORV_OK)
            die("command 22: " + connector_failure(c));
    }
}

// Command 22 one row per call, the same text each time (prepared once).
void connector_single(uint8_t slot, const std::string& insert,
                      const std::vector<Batch>& batches, std::size_t rows) {
    Call c;
    std::size_t done = 0;
    for (const Batch& b : batches) {
        for (std::size_t k = 0; k < b.rows && done < rows; ++k, ++done) {
            c.arg(3, 2, insert.c_str(),
                  static_cast<uint32_t>(insert.size() + 1));
            for (std::size_t col = 0; col < b.column.size(); ++col) {
                const char* base = b.column[col].data();
                const bool null = base[b.rows * b.size[col] + k] != 0;
                c.arg(static_cast<int>(col + 4), null ? 2 | ARG_NULL : 2,
                      base + k * b.size[col], b.size[col]);
            }
            if (c.run(ORV_CMD_EXECUTE_PARAMS, slot,
                      static_cast<int>(3 + b.column.size())) != ORV_OK)
                die("command 22: " + connector_failure(c));
        }
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The options that take a text as it stands, and the field each sets.
constexpr TextOption<Options> kTextOptions[] = {
    {"--dsn", &Options::dsn},           {"--user", &Options::user},
    {"--password", &Options::password}, {"--tsv", &Options::tsv},
    {"--table", &Options::table},       {"--columns", &Options::columns},
    {"--library", &Options::library},   {"--only", &Options::only},
};

// Sets option `k` of `o` to `v`; false when no option has that name.
bool set_option(Options& o, const std::string& k, const std::string& v) {
    if (std::string* text = text_option<Options>(kTextOptions, o, k)) {
        *text = v;
        return true;
    }
    if (k == "--init")
        o.init.push_back(v);
    else if (k == "--rounds")
        o.rounds = std::atoi(v.c_str());
    else if (k == "--batch")
        o.batch = std::strtoul(v.c_str(), nullptr, 10);
    else if (k == "--single")
        o.single = std::strtoul(v.c_str(), nullptr, 10);
    else
        return false;
    return true;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (!set_option(o, k, v)) die("unknown option " + k);
    }
    if (o.dsn.empty() || o.tsv.empty() || o.columns.empty() || o.batch == 0)
        die("usage: orvload --dsn NAME --tsv FILE --columns LIST ...");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const std::vector<Batch> batches = read_batches(o.tsv, o.batch);
    if (batches.empty()) die("no rows in " + o.tsv);
    std::size_t rows = 0;
    for (const Batch& b : batches) rows += b.rows;
    std::string insert = "INSERT INTO " + o.table + " VALUES (?";
    for (std::size_t k = 1; k < batches[0].column.size(); ++k) insert += ", ?";
    insert += ")";

    Raw raw = raw_connect(o);
    for (const std::string& sql : o.init) raw_exec(raw, sql);
    raw_exec(raw, "DROP TABLE IF EXISTS " + o.table);
    raw_exec(raw, "CREATE TABLE " + o.table + " (" + o.columns + ")");
    const uint8_t slot = connector_connect(o);

    // Each variant loads the empty table; the count is checked after it.
    // Round 0 compares what each wrote with what the raw loop wrote and is
    // not timed: a variant's first load in the process meets the heap as
    // the loads and checks before it left it.  MariaDB's driver takes and
    // gives back some 100 KB in every execution; where that block ends up
    // at the top of the heap the C library returns its pages to the system
    // and faults them in again on the next execution, three times the CPU
    // time of the load, and with one round per process (scripts/bench)
    // that fell on the variant that runs second every time.
    std::vector<double> t_raw, t_arrays, t_single;
    const std::size_t single = std::min(o.single, rows);
    uint64_t raw_all = 0, raw_first = 0;
    int round = 0;
    auto timed = [&](std::vector<double>& out, std::size_t want, auto&& load) {
        raw_exec(raw, "DELETE FROM " + o.table);
        const double start = cpu_ms();
        load();
        if (round > 0) out.push_back(cpu_ms() - start);
        const long long got = raw_count(raw, o.table);
        if (got != static_cast<long long>(want))
            die("loaded " + std::to_string(got) + " rows, not " +
                std::to_string(want));
        if (round > 0) return;
        const uint64_t d = raw_digest(raw, o.table, want);
        if (&out == &t_raw) {
            raw_all = d;
            raw_first = raw_digest(raw, o.table, single);
        } else if ((o.only.empty() || o.only == "raw_arrays") &&
                   d != (want == rows ? raw_all : raw_first)) {
            die("the connector wrote other values than the raw loop");
        }
    };
    for (round = 0; round <= o.rounds; ++round) {
        if (o.only.empty() || o.only == "raw_arrays")
            timed(t_raw, rows, [&] { raw_load(raw, insert, batches); });
        if (o.only.empty() || o.only == "connector_arrays")
            timed(t_arrays, rows,
                  [&] { connector_arrays(slot, insert, batches); });
        if (o.only.empty() || o.only == "connector_single")
            timed(t_single, single,
                  [&] { connector_single(slot, insert, batches, single); });
    }
    raw_exec(raw, "DELETE FROM " + o.table);
    auto print = [](const char* name, std::size_t n,
                    const std::vector<double>& t) {
        if (!t.empty()) std::printf("%s %zu %.1f\n", name, n, median(t));
    };
    print("raw_arrays", rows, t_raw);
    print("connector_arrays", rows, t_arrays);
    print("connector_single", single, t_single);
    return 0;
}
