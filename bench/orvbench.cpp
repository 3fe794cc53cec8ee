// orvbench: how fast the connector moves a result into a host, next to a
// plain ODBC program reading the same result in the same process.
//
//   orvbench --dsn NAME [--user U --password P] [--query SQL] [--rounds N]
//
// Variants, run interleaved (A B C ... A B C) after one checking round:
//   getdata  raw loop: SQLFetchScroll, SQLGetData as SQL_C_CHAR per value
//   bound    raw loop: SQLBindCol arrays of 1000 rows
//   block    command 25 until the result is exhausted
//   args     command 12, one host argument per column
//   pairs    command 12, FETCH_PAIRS
//   fixed    command 12, FETCH_FIXED
//   pyodbc   Debian's python3-pyodbc fetchall, in a child process
//
// The checking round hands every value to a checksum; the run fails (exit
// 1) when two variants saw different values or row counts.  The timed
// rounds only fetch.  Each variant's time covers executing the query,
// fetching every row and closing the cursor: CPU time of the whole
// process (the driver and the driver manager run in it too) and wall
// time, as the median and range over the rounds, and the ratio of the raw
// SQLGetData loop's median to the variant's (above 1: faster than the raw
// loop), also for the fastest rounds of each.  Peak memory is measured
// afterwards, one variant per fresh process (this program again, or the pyodbc
// script): the growth of the resident set from just before the query to its
// high-water mark.
//
// The timing process keeps the heap it has grown: the drivers hold a
// buffered result of many megabytes, and the C library would otherwise give
// that memory back when a variant closes its cursor and fault it in again
// for the next one, so that which variant pays for the page faults would
// depend on the order they run in, not on what they do.
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define ORVBENCH_CALLGRIND 1
#endif

#include "orvbench.h"

namespace orvbench {

// ---- Checksum ---------------------------------------------------------------

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

struct CrcTable {
    uint32_t entry[256];
    constexpr CrcTable() : entry() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? kCrcPolynomial ^ (c >> 1) : c >> 1;
            entry[i] = c;
        }
    }
};
constexpr CrcTable kCrc;

}  // namespace

void Digest::add(const unsigned char* p, std::size_t n) {
    uint32_t c = crc_;
    for (std::size_t i = 0; i < n; ++i)
        c = kCrc.entry[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    crc_ = c;
}

void Digest::value(const char* p, std::size_t n) {
    static constexpr unsigned char kEnd = 0;
    add(reinterpret_cast<const unsigned char*>(p), n);
    add(&kEnd, 1);
    ++values_;
}

void Digest::null() {
    static constexpr unsigned char kNull[2] = {0xFF, 0};
    add(kNull, 2);
    ++values_;
}

// ---- Profiling --------------------------------------------------------------

void profile_start() {
#ifdef ORVBENCH_CALLGRIND
    CALLGRIND_ZERO_STATS;
    CALLGRIND_START_INSTRUMENTATION;
#endif
}

void profile_stop(const char* name) {
#ifdef ORVBENCH_CALLGRIND
    CALLGRIND_DUMP_STATS_AT(name);
    CALLGRIND_STOP_INSTRUMENTATION;
#else
    (void)name;
#endif
}

namespace {

// ---- Options ----------------------------------------------------------------

const char* const kVariantKeys[] = {"getdata", "bound", "block", "args",
                                    "pairs",   "fixed", "pyodbc"};
const char* const kVariantTitles[] = {"raw SQLGetData loop",
                                      "raw bound arrays (1000 rows)",
                                      "command 25 (block)",
                                      "command 12 per argument",
                                      "command 12 pairs",
                                      "command 12 fixed width",
                                      "pyodbc fetchall (child process)"};
// Indexes of the two tables above.
enum : int {
    kGetdata,
    kBound,
    kBlock,
    kArgs,
    kPairs,
    kFixed,
    kPyodbc,
    kVariants
};

struct Options {
    Settings cfg;
    int rounds = 5;
    std::string label;
    std::vector<int> variants;  // indexes into kVariantKeys, in run order
    std::string python = "/usr/bin/python3";
    std::string pyodbc_script;
    bool memory = true;
    bool profile = false;
    std::string summary;      // file to append the summary row to
    int memory_child = -1;    // internal: measure this variant's memory
    std::string columns_arg;  // internal: the parent's column description
};

[[noreturn]] void usage(const char* problem) {
    if (problem != nullptr) std::fprintf(stderr, "orvbench: %s\n", problem);
    std::fprintf(
        stderr,
        "usage: orvbench --dsn NAME [--user U] [--password P] [--query SQL]\n"
        "                [--init SQL]... [--rounds N] [--label TEXT]\n"
        "                [--only getdata,bound,block,args,pairs,fixed,pyodbc]\n"
        "                [--library PATH] [--python PATH] [--no-pyodbc]\n"
        "                [--pyodbc-script PATH] [--no-memory]\n"
        "                [--summary FILE] [--profile]\n");
    std::exit(2);
}

int variant_index(const std::string& key) {
    for (int i = 0; i < kVariants; ++i)
        if (key == kVariantKeys[i]) return i;
    return -1;
}

std::string beside_program(const char* file) {
    char buf[4096];
    const ssize_t len = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string dir = ".";
    if (len > 0) {
        dir.assign(buf, static_cast<std::size_t>(len));
        dir.erase(dir.rfind('/'));
    }
    return dir + "/" + file;
}

Options parse(int argc, char** argv) {
    Options o;
    o.cfg.query = "SELECT * FROM bench_t";
    o.cfg.library = beside_program("libdorevivezo.so");
#ifdef ORVBENCH_SOURCE_DIR
    o.pyodbc_script = ORVBENCH_SOURCE_DIR "/pyodbc_fetchall.py";
#endif
    bool pyodbc = true;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage((a + " needs a value").c_str());
            return argv[++i];
        };
        if (a == "--dsn") {
            o.cfg.dsn = value();
        } else if (a == "--user") {
            o.cfg.user = value();
        } else if (a == "--password") {
            o.cfg.password = value();
        } else if (a == "--query") {
            o.cfg.query = value();
        } else if (a == "--init") {
            o.cfg.init_sql.push_back(value());
        } else if (a == "--rounds") {
            o.rounds = std::atoi(value().c_str());
            if (o.rounds < 1) usage("--rounds must be at least 1");
        } else if (a == "--label") {
            o.label = value();
        } else if (a == "--only") {
            only = value();
        } else if (a == "--library") {
            o.cfg.library = value();
        } else if (a == "--python") {
            o.python = value();
        } else if (a == "--pyodbc-script") {
            o.pyodbc_script = value();
        } else if (a == "--no-pyodbc") {
            pyodbc = false;
        } else if (a == "--no-memory") {
            o.memory = false;
        } else if (a == "--summary") {
            o.summary = value();
        } else if (a == "--profile") {
            o.profile = true;
        } else if (a == "--memory-child") {
            o.memory_child = variant_index(value());
            if (o.memory_child < 0) usage("unknown variant");
        } else if (a == "--columns") {
            o.columns_arg = value();
        } else if (a == "-h" || a == "--help") {
            usage(nullptr);
        } else {
            usage(("unknown argument " + a).c_str());
        }
    }
    if (o.cfg.dsn.empty()) usage("--dsn is required");
    if (o.label.empty()) o.label = o.cfg.dsn;
    if (only.empty()) {
        for (int i = 0; i < kVariants; ++i) o.variants.push_back(i);
    } else {
        std::istringstream list(only);
        std::string key;
        while (std::getline(list, key, ',')) {
            const int v = variant_index(key);
            if (v < 0) usage(("unknown variant " + key).c_str());
            o.variants.push_back(v);
        }
    }
    if (!pyodbc || o.profile)
        o.variants.erase(
            std::remove(o.variants.begin(), o.variants.end(), kPyodbc),
            o.variants.end());
    if (o.profile) o.memory = false;
    return o;
}

// ---- Measuring --------------------------------------------------------------

double seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) +
           static_cast<double>(t.tv_nsec) * 1e-9;
}

// A field of /proc/self/status in kB (VmRSS, VmHWM), or 0.
long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return std::atol(line.c_str() + n + 1);
    return 0;
}

// Everything measured of one variant.
struct Result {
    std::vector<double> cpu, wall;  // seconds, one per timed round
    bool checked = false;           // ran in the checking round
    uint32_t checksum = 0;
    uint64_t rows = 0;
    std::string error;  // the first failure
    std::string note;   // shown under the table
    long rss_before_kb = -1, peak_kb = -1;
};

// Output of a child process run to its end.  Returns its exit status
// (-1 when it could not be started or was killed).
int run_child(const std::vector<std::string>& argv, std::string& out) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    // posix_spawn, not fork: a forked copy would share this process's
    // pages copy-on-write, and the next measured run would pay for
    // write-faulting them back.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        std::fprintf(stderr, "orvbench: cannot run %s: %s\n", args[0],
                     std::strerror(spawned));
        close(fds[0]);
        return -1;
    }
    out.clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// key=value words of a child's last output line.
std::map<std::string, std::string> fields_of(const std::string& out) {
    std::map<std::string, std::string> f;
    std::istringstream words(out);
    std::string w;
    while (words >> w) {
        const std::size_t eq = w.find('=');
        if (eq != std::string::npos) f[w.substr(0, eq)] = w.substr(eq + 1);
    }
    return f;
}

// ---- The variants -----------------------------------------------------------

struct Bench {
    Options opt;
    RawSession raw;
    std::vector<Column> columns;
    bool connector = false;  // the library is loaded and connected
};

Run run_in_process(Bench& b, int v, Digest* digest) {
    switch (v) {
        case kGetdata:
            return raw_getdata(b.raw, b.opt.cfg, digest);
        case kBound:
            return raw_bound(b.raw, b.opt.cfg, b.columns, digest);
        case kBlock:
            return connector_block(b.opt.cfg, b.columns, digest);
        case kArgs:
            return connector_args(b.opt.cfg, b.columns, digest);
        case kPairs:
            return connector_pairs(b.opt.cfg, b.columns, digest);
        case kFixed:
            return connector_fixed(b.opt.cfg, b.columns, digest);
        default:
            break;
    }
    Run r;
    r.error = "not an in-process variant";
    return r;
}

bool needs_connector(int v) { return v >= kBlock && v <= kFixed; }

std::string odbc_connection_string(const Settings& cfg) {
    std::string s = "DSN=" + cfg.dsn;
    if (!cfg.user.empty()) s += ";UID=" + cfg.user + ";PWD=" + cfg.password;
    return s;
}

// Runs the pyodbc script once; fills the round's figures into `r`.
bool run_pyodbc(const Options& o, bool checksum, Result& r, double& cpu,
                double& wall) {
    std::vector<std::string> argv = {o.python,    o.pyodbc_script,
                                     "--connect", odbc_connection_string(o.cfg),
                                     "--query",   o.cfg.query};
    for (const std::string& sql : o.cfg.init_sql) {
        argv.push_back("--init");
        argv.push_back(sql);
    }
    if (checksum) argv.push_back("--checksum");
    std::string out;
    const int rc = run_child(argv, out);
    auto f = fields_of(out);
    if (rc != 0 || f.count("rows") == 0) {
        r.error = "the pyodbc script failed (exit " + std::to_string(rc) + ")";
        return false;
    }
    r.rows = std::strtoull(f["rows"].c_str(), nullptr, 10);
    cpu = std::atof(f["cpu"].c_str());
    wall = std::atof(f["wall"].c_str());
    r.rss_before_kb = std::atol(f["rss_before_kb"].c_str());
    r.peak_kb = std::atol(f["peak_kb"].c_str());
    if (checksum) {
        r.checksum = static_cast<uint32_t>(
            std::strtoul(f["checksum"].c_str(), nullptr, 16));
        r.checked = true;
    }
    return true;
}

// The column description handed to a memory child, so that it need not
// execute the query before its measured run.
std::string encode_columns(const std::vector<Column>& columns) {
    std::string s;
    for (const Column& c : columns)
        s += std::to_string(c.sql_type) + ":" + std::to_string(c.display_size) +
             ":" + std::to_string(c.width) + ";";
    return s;
}

std::vector<Column> decode_columns(const std::string& s) {
    std::vector<Column> columns;
    std::istringstream list(s);
    std::string item;
    while (std::getline(list, item, ';')) {
        Column c;
        long type = 0, display = 0, width = 0;
        if (std::sscanf(item.c_str(), "%ld:%ld:%ld", &type, &display, &width) !=
            3)
            continue;
        c.sql_type = static_cast<SQLSMALLINT>(type);
        c.display_size = display;
        c.width = static_cast<int32_t>(width);
        columns.push_back(c);
    }
    return columns;
}

// Measures one in-process variant's memory in a fresh run of this program.
void measure_memory(const Bench& b, int v, Result& r) {
    std::vector<std::string> argv = {beside_program("orvbench"),
                                     "--dsn",
                                     b.opt.cfg.dsn,
                                     "--query",
                                     b.opt.cfg.query,
                                     "--library",
                                     b.opt.cfg.library,
                                     "--memory-child",
                                     kVariantKeys[v],
                                     "--columns",
                                     encode_columns(b.columns)};
    if (!b.opt.cfg.user.empty()) {
        argv.insert(argv.end(), {"--user", b.opt.cfg.user, "--password",
                                 b.opt.cfg.password});
    }
    for (const std::string& sql : b.opt.cfg.init_sql)
        argv.insert(argv.end(), {"--init", sql});
    std::string out;
    const int rc = run_child(argv, out);
    auto f = fields_of(out);
    if (rc != 0 || f.count("peak_kb") == 0) {
        if (r.error.empty())
            r.error = "the memory run failed (exit " + std::to_string(rc) + ")";
        return;
    }
    r.rss_before_kb = std::atol(f["rss_before_kb"].c_str());
    r.peak_kb = std::atol(f["peak_kb"].c_str());
}

// The child of measure_memory: connects, runs the variant once and prints
// the resident set before it and its high-water mark after it.
int memory_child(Options& o) {
    Bench b;
    b.opt = o;
    b.columns = decode_columns(o.columns_arg);
    std::string error;
    const int v = o.memory_child;
    if (b.columns.empty() || v == kPyodbc) {
        std::fprintf(stderr, "orvbench: bad memory child arguments\n");
        return 2;
    }
    bool ok = needs_connector(v) ? connector_open(b.opt.cfg, error)
                                 : raw_connect(b.raw, b.opt.cfg, error);
    if (!ok) {
        std::fprintf(stderr, "orvbench: %s\n", error.c_str());
        return 1;
    }
    const long before = status_kb("VmRSS");
    const Run r = run_in_process(b, v, nullptr);
    const long peak = status_kb("VmHWM");
    if (!r.ok) {
        std::fprintf(stderr, "orvbench: %s\n", r.error.c_str());
        return 1;
    }
    std::printf("rows=%llu rss_before_kb=%ld peak_kb=%ld\n",
                static_cast<unsigned long long>(r.rows), before, peak);
    return 0;
}

// ---- Report -----------------------------------------------------------------

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string fmt(const char* format, double a) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a);
    return buf;
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(v));
    return buf;
}

// Seconds as milliseconds, with a decimal below 10 ms.
std::string ms(double s) { return fmt(s < 0.01 ? "%.1f" : "%.0f", s * 1e3); }

std::string spread(const std::vector<double>& v) {
    if (v.empty()) return "-";
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return ms(median(v)) + " (" + ms(*lo) + "–" + ms(*hi) + ")";
}

std::string ratio(const std::vector<double>& reference,
                  const std::vector<double>& v) {
    if (reference.empty() || v.empty() || median(v) <= 0) return "-";
    return fmt("%.2f", median(reference) / median(v));
}

// The same for the fastest round of each: the round least disturbed by
// other programs on the same cores.
std::string min_ratio(const std::vector<double>& reference,
                      const std::vector<double>& v) {
    if (reference.empty() || v.empty()) return "-";
    const double lo = *std::min_element(v.begin(), v.end());
    if (lo <= 0) return "-";
    return fmt("%.2f",
               *std::min_element(reference.begin(), reference.end()) / lo);
}

std::string memory_text(const Result& r) {
    if (r.peak_kb < 0) return "-";
    return "+" + fmt("%.1f", (r.peak_kb - r.rss_before_kb) / 1024.0) + " (" +
           fmt("%.0f", r.peak_kb / 1024.0) + ")";
}

void print_report(const Bench& b, const std::vector<Result>& results,
                  uint64_t rows, std::size_t values) {
    const Options& o = b.opt;
    std::printf("\n### %s\n\n", o.label.c_str());
    std::printf(
        "%llu rows x %zu columns, %d timed rounds after a checking round. "
        "Times in ms: median (min–max) of executing, fetching every row and "
        "closing. Ratio: the raw SQLGetData loop's median / the variant's "
        "(above 1: faster); min ratio: the same for the fastest rounds. "
        "Memory in MB: growth of the resident set during the run (its "
        "peak), one fresh process per variant.\n\n",
        static_cast<unsigned long long>(rows), values, o.rounds);
    std::printf(
        "| variant | CPU ms | CPU ratio | min ratio | wall ms | wall ratio | "
        "memory MB | checksum |\n|---|---|---|---|---|---|---|---|\n");
    const std::vector<double>& ref_cpu = results[kGetdata].cpu;
    const std::vector<double>& ref_wall = results[kGetdata].wall;
    for (int v : o.variants) {
        const Result& r = results[v];
        std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n",
                    kVariantTitles[v], spread(r.cpu).c_str(),
                    ratio(ref_cpu, r.cpu).c_str(),
                    min_ratio(ref_cpu, r.cpu).c_str(), spread(r.wall).c_str(),
                    ratio(ref_wall, r.wall).c_str(), memory_text(r).c_str(),
                    r.checked ? hex(r.checksum).c_str() : "-");
    }
    for (int v : o.variants) {
        if (!results[v].error.empty())
            std::printf("\n%s FAILED: %s\n", kVariantKeys[v],
                        results[v].error.c_str());
        if (!results[v].note.empty())
            std::printf("\n%s: %s\n", kVariantKeys[v], results[v].note.c_str());
    }
    std::fflush(stdout);
    if (o.summary.empty()) return;
    // One row of the summary table: CPU ratios, variants in fixed order.
    FILE* f = std::fopen(o.summary.c_str(), "a");
    if (f == nullptr) {
        std::fprintf(stderr, "orvbench: cannot append to %s\n",
                     o.summary.c_str());
        return;
    }
    std::fprintf(f, "| %s |", o.label.c_str());
    for (int v = kBound; v < kVariants; ++v)
        std::fprintf(f, " %s |", ratio(ref_cpu, results[v].cpu).c_str());
    std::fprintf(
        f, " %s |\n",
        results[kGetdata].cpu.empty() ? "-" : ms(median(ref_cpu)).c_str());
    std::fclose(f);
}

// ---- The run ----------------------------------------------------------------

int profile_run(Bench& b) {
    int failures = 0;
    for (int v : b.opt.variants) {
        profile_start();
        const Run r = run_in_process(b, v, nullptr);
        profile_stop(kVariantKeys[v]);
        std::printf("%s rows=%llu%s%s\n", kVariantKeys[v],
                    static_cast<unsigned long long>(r.rows),
                    r.ok ? "" : " FAILED: ", r.ok ? "" : r.error.c_str());
        if (!r.ok) ++failures;
    }
    return failures == 0 ? 0 : 1;
}

int bench_main(Options& o) {
    Bench b;
    b.opt = o;
    std::string error;
    if (!raw_connect(b.raw, o.cfg, error) ||
        !raw_describe(b.raw, o.cfg, b.columns, error)) {
        std::fprintf(stderr, "orvbench: %s\n", error.c_str());
        return 1;
    }
    if (std::any_of(o.variants.begin(), o.variants.end(), needs_connector)) {
        if (!connector_open(o.cfg, error) ||
            !connector_describe(o.cfg, b.columns, error)) {
            std::fprintf(stderr, "orvbench: %s\n", error.c_str());
            return 1;
        }
        b.connector = true;
    }
    if (o.profile) return profile_run(b);

    std::vector<Result> results(kVariants);
    auto timed = [&](int v, Digest* digest) {
        Result& r = results[v];
        double cpu = 0, wall = 0;
        if (v == kPyodbc) {
            if (!run_pyodbc(o, digest != nullptr, r, cpu, wall)) return;
        } else {
            const double c0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
            const double w0 = seconds(CLOCK_MONOTONIC);
            const Run run = run_in_process(b, v, digest);
            cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
            wall = seconds(CLOCK_MONOTONIC) - w0;
            if (!run.ok) {
                if (r.error.empty()) r.error = run.error;
                return;
            }
            if (digest != nullptr) {
                r.rows = run.rows;
                r.checksum = digest->sum();
                r.checked = true;
            } else if (run.rows != r.rows) {
                r.error = "a timed round fetched " + std::to_string(run.rows) +
                          " rows, the checking round " + std::to_string(r.rows);
                return;
            }
        }
        if (digest == nullptr) {
            r.cpu.push_back(cpu);
            r.wall.push_back(wall);
        }
    };

    // The checking round, which also warms up every cache.
    std::size_t values = b.columns.size();
    for (int v : o.variants) {
        Digest d;
        timed(v, &d);
        std::fprintf(stderr, "orvbench: %s: checked %s\n", o.label.c_str(),
                     kVariantKeys[v]);
    }
    for (int round = 1; round <= o.rounds; ++round) {
        for (int v : o.variants)
            if (results[v].error.empty()) timed(v, nullptr);
        std::fprintf(stderr, "orvbench: %s: round %d of %d done\n",
                     o.label.c_str(), round, o.rounds);
    }
    if (o.memory)
        for (int v : o.variants)
            if (v != kPyodbc && results[v].error.empty())
                measure_memory(b, v, results[v]);

    // Every in-process variant must have seen the same rows and values.
    int failures = 0;
    const Result* reference = nullptr;
    for (int v : o.variants) {
        Result& r = results[v];
        if (!r.error.empty()) {
            ++failures;
            continue;
        }
        if (v == kPyodbc) continue;
        if (reference == nullptr) {
            reference = &r;
        } else if (r.checksum != reference->checksum ||
                   r.rows != reference->rows) {
            r.error = "its checksum or row count differs from the others'";
            ++failures;
        }
    }
    // pyodbc hands typed values over, turned back into text by the script;
    // a different checksum there is noted, not failed.
    Result& py = results[kPyodbc];
    if (reference != nullptr && py.checked && py.error.empty()) {
        if (py.rows != reference->rows) {
            py.error = "pyodbc fetched " + std::to_string(py.rows) + " rows";
            ++failures;
        } else if (py.checksum != reference->checksum) {
            py.note =
                "its values, formatted from Python objects, differ "
                "from the text the driver gives";
        }
    }
    print_report(b, results, reference ? reference->rows : 0, values);
    if (b.connector) connector_close();
    raw_disconnect(b.raw);
    return failures == 0 ? 0 : 1;
}

}  // namespace

}  // namespace orvbench

int main(int argc, char** argv) {
    orvbench::Options o = orvbench::parse(argc, argv);
    if (o.memory_child >= 0) return orvbench::memory_child(o);
#if defined(__GLIBC__)
    // See the head of this file: memory freed stays in the heap, and large
    // blocks come from it rather than from mappings of their own.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(4 * 1024 * 1024 * sizeof(long)));
    mallopt(M_TOP_PAD, 64 << 20);
#endif
    return orvbench::bench_main(o);
}
