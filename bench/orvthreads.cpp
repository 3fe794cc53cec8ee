// orvthreads: what commands on different connection slots gain from running
// at the same time, by wall time.  libdorevivezo.so is loaded with dlopen
// as a host runtime loads it; every thread drives its own slot through its
// own host records (hostkit, heap mode).
//
//   orvthreads --mode sleep --dsn NAME --sql TEXT [--calls 10]
//              [--threads 1,2,4,8] [--rounds N] [--label TEXT] ...
//   orvthreads --mode fetch --dsn NAME [--query TEXT] --rows N [--rounds N]
//              [--label TEXT] ...
//   common:    [--user U --password P] [--init SQL]... [--library PATH]
//
// sleep: for each thread count N, N threads each allocate and connect a
// slot (commands 4 and 6), wait for one another, run TEXT (a statement
// that waits on the server, such as SELECT pg_sleep(0.1)) `--calls` times
// through command 9, closing the cursor after each (command 13), wait for
// one another again, and free the slot (command 7).  The time is the wall
// time between the two waits: one statement after the other on every slot
// at once, so N times the time of one thread when the calls serialize and
// about the same as one thread when they overlap.
//
// fetch: two slots read the whole result of QUERY through command 25,
// once one after the other on one thread and once each on a thread of its
// own.  A checking round first compares what each read saw (row count,
// and a checksum over the block's names and values) with the other reads;
// the timed rounds only fetch.
//
// Each mode prints one markdown table row to standard output (times are
// medians over the rounds); progress goes to standard error.  Command 1
// runs once before any thread, command 2 once after them all.  Exit status
// 1 when any command failed (its status, SQLSTATE and the driver's message
// go to standard error) or the reads disagreed; 2 on bad arguments.  The
// ratios are reported, not judged.
#include <dlfcn.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dorevivezo.h"
#include "hostkit.h"
#include "text_options.h"

namespace {

struct Options {
    std::string mode, dsn, user, password, label, library = ORVTHREADS_LIBRARY;
    std::string sql;  // sleep: the waiting statement
    std::string query = "SELECT * FROM bench_t";  // fetch
    std::vector<std::string> init;  // run on every slot after connecting
    std::vector<int> threads = {1, 2, 4, 8};
    int calls = 10, rounds = 3;
    long long rows = -1;  // fetch: the rows the query must give
};

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr,
                 "orvthreads: %s\n"
                 "usage: orvthreads --mode sleep|fetch --dsn NAME [--user U]\n"
                 "         [--password P] [--init SQL]... [--label TEXT]\n"
                 "         [--rounds N] [--library PATH]\n"
                 "         sleep: --sql TEXT [--calls N] [--threads 1,2,4,8]\n"
                 "         fetch: --rows N [--query TEXT]\n",
                 problem.c_str());
    std::exit(2);
}

int positive(const std::string& flag, const std::string& v) {
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (end == v.c_str() || *end != '\0' || n < 1 || n > 1000000000)
        usage(flag + " needs a positive number");
    return static_cast<int>(n);
}

// The options that take a text as it stands, and the field each sets.
constexpr TextOption<Options> kTextOptions[] = {
    {"--mode", &Options::mode},   {"--dsn", &Options::dsn},
    {"--user", &Options::user},   {"--password", &Options::password},
    {"--label", &Options::label}, {"--library", &Options::library},
    {"--sql", &Options::sql},     {"--query", &Options::query},
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i += 2) {
        const std::string k = argv[i];
        if (i + 1 >= argc) usage(k + " needs a value");
        const std::string v = argv[i + 1];
        if (std::string* text = text_option<Options>(kTextOptions, o, k))
            *text = v;
        else if (k == "--init")
            o.init.push_back(v);
        else if (k == "--calls")
            o.calls = positive(k, v);
        else if (k == "--rounds")
            o.rounds = positive(k, v);
        else if (k == "--rows")
            o.rows = positive(k, v);
        else if (k == "--threads") {
            o.threads.clear();
            std::istringstream list(v);
            std::string n;
            while (std::getline(list, n, ','))
                o.threads.push_back(positive(k, n));
            // Ten slots, and the ratios are to the first count.
            if (o.threads.empty() || o.threads.size() > 8 ||
                *std::max_element(o.threads.begin(), o.threads.end()) > 10)
                usage("--threads takes up to 8 counts of at most 10");
        } else {
            usage("unknown argument " + k);
        }
    }
    if (o.dsn.empty()) usage("--dsn is required");
    if (o.mode == "sleep" && o.sql.empty()) usage("sleep needs --sql");
    if (o.mode == "fetch" && o.rows < 0) usage("fetch needs --rows");
    if (o.mode != "sleep" && o.mode != "fetch") usage("--mode sleep or fetch");
    if (o.label.empty()) o.label = o.dsn;
    return o;
}

double now(clockid_t clock = CLOCK_MONOTONIC) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) +
           static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

hostkit::Entry g_orvsql = nullptr;

// ---- One slot driven by one host --------------------------------------------

// A host's records and the slot it drives.  One thread at a time uses it.
// `error` keeps the first failure; a client that failed runs nothing more.
struct Client {
    hostkit::Host host;
    uint8_t slot = 0;
    std::string error;

    Client() : host(hostkit::make_test_host(g_orvsql)) {
        host.guard_pages = false;  // heap mode: no page per argument
    }

    // Runs `code` on the client's slot; on failure records what failed
    // (status, SQLSTATE, the slot's first diagnostic) and returns false.
    bool run(int32_t code, const std::string& what, CmdHdr& hdr,
             std::vector<hostkit::ArgSpec> args = {}) {
        if (!error.empty()) return false;
        hdr = hostkit::header(slot);
        hostkit::run(host, code, hdr, std::move(args));
        if (hdr.status == ORV_OK) return true;
        error = what + ": status " + std::to_string(hdr.status) +
                ", sqlstate " + hostkit::sqlstate(hdr);
        CmdHdr diag = hostkit::header(slot);
        hostkit::run(host, ORV_CMD_DIAGNOSTICS, diag, {hostkit::buffer(240)});
        const std::string message = hostkit::put_text(host, 3);
        // Command 3 ends with status 2 whether or not it found a record.
        if (!message.empty()) error += ": " + message;
        return false;
    }
    bool run(int32_t code, const std::string& what) {
        CmdHdr hdr{};
        return run(code, what, hdr);
    }

    // Commands 4 and 6, then the init statements.
    bool connect(const Options& o) {
        CmdHdr hdr{};
        if (!run(ORV_CMD_ALLOC_SLOT, "command 4", hdr)) return false;
        slot = hdr.slot;
        std::string text = "-host=" + o.dsn;
        if (!o.user.empty()) text += " -user=" + o.user + " -pw=" + o.password;
        if (!run(ORV_CMD_CONNECT, "command 6 (connect to " + o.dsn + ")", hdr,
                 {hostkit::text(text)}))
            return false;
        for (const std::string& sql : o.init)
            if (!execute(sql)) return false;
        return true;
    }

    // Command 9, then command 13 to close the cursor.
    bool execute(const std::string& sql) {
        CmdHdr hdr{};
        return run(ORV_CMD_EXECUTE, "command 9 (" + sql + ")", hdr,
                   {hostkit::text(sql)}) &&
               run(ORV_CMD_RESET_STATEMENT, "command 13");
    }

    // Command 7.  Runs even after a failure, so that the slot is freed.
    void disconnect() {
        if (slot == 0) return;
        const std::string kept = std::exchange(error, std::string());
        run(ORV_CMD_DISCONNECT, "command 7");
        if (!kept.empty()) error = kept;
        slot = 0;
    }

    bool read(const std::string& query, long long& rows, uint64_t* sum);
};

// FNV-1a over `n` bytes.
void add(uint64_t& h, const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
}

// Executes `query` and fetches its rows with command 25 until no rows
// remain, then closes the cursor.  `rows` gets the rows delivered; with
// `sum`, a checksum of each block's names and values (NUL-terminated items
// behind the address in argument 3).
bool Client::read(const std::string& query, long long& rows, uint64_t* sum) {
    CmdHdr hdr{};
    rows = 0;
    if (!run(ORV_CMD_EXECUTE, "command 9 (" + query + ")", hdr,
             {hostkit::text(query)}))
        return false;
    for (;;) {
        if (!run(ORV_CMD_FETCH_BLOCK, "command 25", hdr,
                 {hostkit::buffer(sizeof(void*), ARG_TYPE_SIGNED)}))
            return false;
        const auto got = static_cast<long long>(hdr.number);
        rows += got;
        if (sum != nullptr) {
            const std::vector<uint8_t> arg = hostkit::arg_bytes(host, 3);
            const char* p = nullptr;
            std::memcpy(&p, arg.data(), sizeof p);
            const long long items = (got + 1) * hostkit::count(hdr);
            for (long long i = 0; p != nullptr && i < items; ++i) {
                const std::size_t n = std::strlen(p) + 1;
                add(*sum, p, n);
                p += n;
            }
        }
        const std::string state = hostkit::sqlstate(hdr);
        if (state == "01004") continue;  // more rows remain
        if (!state.empty() && state.compare(0, 2, "01") != 0) {
            error = "command 25: status 0 with sqlstate " + state;
            return false;
        }
        break;
    }
    return run(ORV_CMD_RESET_STATEMENT, "command 13");
}

// The failures of some clients, one line each; empty when none failed.
std::string failures(const std::vector<Client>& clients) {
    std::string all;
    for (const Client& c : clients)
        if (!c.error.empty()) all += (all.empty() ? "" : "\n") + c.error;
    return all;
}

// ---- sleep ------------------------------------------------------------------

// One thread count: the wall seconds of every slot's statements at once,
// or a negative number with `error` set.
double sleep_round(const Options& o, int n, std::string& error) {
    std::vector<Client> clients(static_cast<std::size_t>(n));
    double start = 0, end = 0;
    bool started = false;
    // The completion runs once each time every thread has arrived.
    auto mark = [&]() noexcept {
        (started ? end : start) = now();
        started = true;
    };
    std::barrier sync(n, mark);
    std::vector<std::thread> threads;
    for (Client& c : clients)
        threads.emplace_back([&o, &c, &sync] {
            c.connect(o);
            sync.arrive_and_wait();
            for (int k = 0; k < o.calls && c.execute(o.sql); ++k) {
            }
            sync.arrive_and_wait();
            c.disconnect();
        });
    for (std::thread& t : threads) t.join();
    error = failures(clients);
    return error.empty() ? end - start : -1.0;
}

std::string ms(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", seconds * 1e3);
    return text;
}

std::string ratio(double a, double b) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", b > 0 ? a / b : 0.0);
    return text;
}

// Prints | label | ms of the first count | ms (ratio) of each other | the
// highest ratio |.
int sleep_main(const Options& o) {
    std::vector<std::vector<double>> wall(o.threads.size());
    for (int round = 1; round <= o.rounds; ++round) {
        for (std::size_t i = 0; i < o.threads.size(); ++i) {
            std::string error;
            const double t = sleep_round(o, o.threads[i], error);
            if (t < 0) {
                std::fprintf(stderr, "orvthreads: %s, %d threads: %s\n",
                             o.label.c_str(), o.threads[i], error.c_str());
                return 1;
            }
            wall[i].push_back(t);
        }
        std::fprintf(stderr, "orvthreads: %s: round %d of %d done\n",
                     o.label.c_str(), round, o.rounds);
    }
    const double first = median(wall[0]);
    double worst = 0;
    std::printf("| %s | %s |", o.label.c_str(), ms(first).c_str());
    for (std::size_t i = 1; i < wall.size(); ++i) {
        const double t = median(wall[i]);
        worst = std::max(worst, t / first);
        std::printf(" %s (%s) |", ms(t).c_str(), ratio(t, first).c_str());
    }
    std::printf(" %s |\n", ratio(worst, 1.0).c_str());
    return 0;
}

// ---- fetch ------------------------------------------------------------------

// Both clients read the query, one after the other on one thread or each
// on a thread of its own.  Returns the wall seconds (and the process's CPU
// seconds in `cpu`), or a negative number when a read failed or delivered
// other than `rows` rows.
double fetch_round(const Options& o, std::vector<Client>& clients,
                   bool together, std::vector<uint64_t>* sums, double& cpu) {
    std::vector<long long> rows(clients.size(), 0);
    auto read = [&](std::size_t i) {
        clients[i].read(o.query, rows[i], sums ? &(*sums)[i] : nullptr);
    };
    const double start = now(), cpu_start = now(CLOCK_PROCESS_CPUTIME_ID);
    if (together) {
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < clients.size(); ++i)
            threads.emplace_back(read, i);
        for (std::thread& t : threads) t.join();
    } else {
        // On a thread too, not on the main one: glibc serves a thread from
        // an arena of its own, whose largest blocks are mappings faulted in
        // afresh on every read, where the main heap would keep them.
        std::thread one([&] {
            for (std::size_t i = 0; i < clients.size(); ++i) read(i);
        });
        one.join();
    }
    const double wall = now() - start;
    cpu = now(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    for (std::size_t i = 0; i < clients.size(); ++i)
        if (clients[i].error.empty() && rows[i] != o.rows)
            clients[i].error = "command 25 delivered " +
                               std::to_string(rows[i]) + " rows, not " +
                               std::to_string(o.rows);
    return failures(clients).empty() ? wall : -1.0;
}

// A checking round (each way of reading, checksums compared), then the
// timed rounds, the order of the two ways alternating.  Prints | label |
// rows | one thread ms | two threads ms | ratio | CPU ms of each |.
int fetch_rounds(const Options& o, std::vector<Client>& clients) {
    std::vector<uint64_t> alone(2, 1469598103934665603ull), together = alone;
    double cpu = 0;
    if (fetch_round(o, clients, false, &alone, cpu) < 0 ||
        fetch_round(o, clients, true, &together, cpu) < 0)
        return 1;
    if (alone[0] != alone[1] || together[0] != alone[0] ||
        together[1] != alone[0]) {
        std::fprintf(stderr, "orvthreads: %s: the reads saw different values\n",
                     o.label.c_str());
        return 1;
    }
    std::vector<double> seq, par, seq_cpu, par_cpu;
    for (int round = 1; round <= o.rounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            const bool two = (k == 0) == (round % 2 == 0);
            const double t = fetch_round(o, clients, two, nullptr, cpu);
            if (t < 0) return 1;
            (two ? par : seq).push_back(t);
            (two ? par_cpu : seq_cpu).push_back(cpu);
        }
        std::fprintf(stderr, "orvthreads: %s: round %d of %d done\n",
                     o.label.c_str(), round, o.rounds);
    }
    std::printf("| %s | %lld | %s | %s | %s | %s / %s |\n", o.label.c_str(),
                o.rows, ms(median(seq)).c_str(), ms(median(par)).c_str(),
                ratio(median(par), median(seq)).c_str(),
                ms(median(seq_cpu)).c_str(), ms(median(par_cpu)).c_str());
    return 0;
}

int fetch_main(const Options& o) {
    std::vector<Client> clients(2);
    int rc = 0;
    for (Client& c : clients)
        if (!c.connect(o)) rc = 1;
    if (rc == 0) rc = fetch_rounds(o, clients);
    for (Client& c : clients) c.disconnect();
    const std::string error = failures(clients);
    if (!error.empty()) {
        std::fprintf(stderr, "orvthreads: %s: %s\n", o.label.c_str(),
                     error.c_str());
        rc = 1;
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
#if defined(__GLIBC__)
    // As in orvbench: memory freed stays in the heap, and large blocks come
    // from it rather than from mappings of their own, so that the page
    // faults of a buffered result fall on neither way of reading.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(4 * 1024 * 1024 * sizeof(long)));
    mallopt(M_TOP_PAD, 64 << 20);
#endif
    void* lib = dlopen(o.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "orvthreads: %s\n", dlerror());
        return 1;
    }
    g_orvsql = reinterpret_cast<hostkit::Entry>(dlsym(lib, "orvsql"));
    if (g_orvsql == nullptr) {
        std::fprintf(stderr, "orvthreads: %s has no orvsql\n",
                     o.library.c_str());
        return 1;
    }
    // The environment outlives every thread; the library stays loaded.
    Client env;
    if (!env.run(ORV_CMD_ALLOC_ENV, "command 1")) {
        std::fprintf(stderr, "orvthreads: %s\n", env.error.c_str());
        return 1;
    }
    int rc = o.mode == "sleep" ? sleep_main(o) : fetch_main(o);
    if (!env.run(ORV_CMD_FREE_ENV, "command 2")) {
        std::fprintf(stderr, "orvthreads: %s\n", env.error.c_str());
        rc = 1;
    }
    return rc;
}
