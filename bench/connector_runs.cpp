// The connector's side: libdorevivezo.so loaded with dlopen as a host
// runtime loads it.  Session commands (connect, execute, describe, close)
// go through the host kit; the fetch commands, repeated once per row or
// block, go through FetchCall, which builds the host records of a command
// once and calls orvsql with them again and again, as a host runtime does
// with the argument list of a statement in a loop.  Its service routine
// only stores what the connector hands over, so that the time measured is
// the connector's and not the bookkeeping of the test host.
#include <dlfcn.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dorevivezo.h"
#include "hostkit.h"
#include "orvbench.h"

namespace orvbench {

namespace {

constexpr std::string_view kRowsRemain = "01004";

// ---- The session ------------------------------------------------------------

struct Session {
    hostkit::Host host;  // heap mode: no guard pages
    int slot = 0;
    bool env = false;
};
Session g_session;

CmdHdr command(int32_t code, std::vector<hostkit::ArgSpec> args = {},
               int16_t subcode = 0) {
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(g_session.slot), subcode);
    hostkit::run(g_session.host, code, hdr, std::move(args));
    return hdr;
}

// "what: status S, SQLSTATE, driver message" for a failed command.
std::string failure(const char* what, const CmdHdr& hdr) {
    std::string text = std::string(what) + ": status " +
                       std::to_string(hdr.status) + ", sqlstate " +
                       hostkit::sqlstate(hdr);
    command(ORV_CMD_DIAGNOSTICS, {hostkit::buffer(240)});
    const std::string message = hostkit::put_text(g_session.host, 3);
    if (!message.empty()) text += ": " + message;
    return text;
}

bool execute(const std::string& sql, std::string& error) {
    const CmdHdr hdr = command(ORV_CMD_EXECUTE, {hostkit::text(sql)});
    if (hdr.status == ORV_OK) return true;
    error = failure(("execute " + sql).c_str(), hdr);
    return false;
}

void close_cursor() { command(ORV_CMD_RESET_STATEMENT); }

// ---- FetchCall --------------------------------------------------------------

struct ArgShape {
    int16_t type_flags;
    uint32_t size;
};

// One fetch command's host records, built once and passed to every call.
class FetchCall {
  public:
    FetchCall(int32_t code, int16_t subcode, std::vector<ArgShape> args);
    FetchCall(const FetchCall&) = delete;
    FetchCall& operator=(const FetchCall&) = delete;

    // Sets the header as a host does before each call (slot, subcode,
    // `number` carried from the last call) and runs the command.
    void run(double number);
    const CmdHdr& header() const { return *header_; }
    // Argument n's storage and size (n >= 3).
    const unsigned char* data(int n) const { return storage_[n].get(); }
    uint32_t size(int n) const { return shapes_[n].size; }
    // Argument n's address argument: the pointer the connector stored.
    const unsigned char* address(int n) const {
        const unsigned char* p = nullptr;
        std::memcpy(&p, data(n), sizeof p);
        return p;
    }
    // What PUT_INT, PUT_NUMBER_TEXT and PUT_STRING last stored for
    // argument n.
    int64_t integer(int n) const { return integers_[n]; }
    const std::string& text(int n) const { return texts_[n]; }
    // A service call the fetch commands should not make.
    bool unexpected() const { return unexpected_; }

  private:
    static int32_t ORV_CALL serve(int32_t service, HostContext* ctx,
                                  int32_t selector, int32_t a, int32_t b,
                                  void* p, int32_t n);
    static FetchCall* current_;

    int32_t code_;
    int16_t subcode_;
    std::vector<ArgShape> shapes_;                           // index = argument
    std::vector<std::unique_ptr<unsigned char[]>> storage_;  // index = arg
    std::unique_ptr<uint64_t[]> context_;  // HostContext, 8-byte aligned
    CmdHdr* header_ = nullptr;             // argument 2's storage
    std::vector<int64_t> integers_;
    std::vector<std::string> texts_;
    bool unexpected_ = false;
};

FetchCall* FetchCall::current_ = nullptr;

FetchCall::FetchCall(int32_t code, int16_t subcode, std::vector<ArgShape> args)
    : code_(code), subcode_(subcode) {
    const int count = 2 + static_cast<int>(args.size());
    shapes_.assign(count + 1, ArgShape{0, 0});
    storage_.resize(count + 1);
    integers_.assign(count + 1, 0);
    texts_.resize(count + 1);
    const std::size_t bytes =
        offsetof(HostContext, args) + (count + 1) * sizeof(ArgDescriptor);
    context_ = std::make_unique<uint64_t[]>((bytes + 7) / 8);
    auto* ctx = reinterpret_cast<HostContext*>(context_.get());
    ctx->arg_count = count;
    storage_[2] = std::make_unique<unsigned char[]>(sizeof(CmdHdr));
    header_ = reinterpret_cast<CmdHdr*>(storage_[2].get());
    shapes_[2] = ArgShape{0, sizeof(CmdHdr)};
    for (int n = 2; n <= count; ++n) {
        if (n >= 3) {
            shapes_[n] = args[n - 3];
            storage_[n] = std::make_unique<unsigned char[]>(shapes_[n].size);
        }
        ctx->args[n].type_flags = shapes_[n].type_flags;
        ctx->args[n].data = storage_[n].get();
        ctx->args[n].size = shapes_[n].size;
    }
}

void FetchCall::run(double number) {
    std::memset(header_, 0, sizeof *header_);
    header_->slot = static_cast<uint8_t>(g_session.slot);
    header_->subcode = subcode_;
    header_->number = number;
    current_ = this;
    g_session.host.entry(reinterpret_cast<HostContext*>(context_.get()),
                         &FetchCall::serve);
    current_ = nullptr;
}

int32_t ORV_CALL FetchCall::serve(int32_t service, HostContext* /*ctx*/,
                                  int32_t selector, int32_t a, int32_t b,
                                  void* p, int32_t n) {
    FetchCall& c = *current_;
    if (service == GET_INT && selector == 1) return c.code_;
    const int arg = selector % 256;
    if (arg < 3 || arg >= static_cast<int>(c.shapes_.size())) {
        c.unexpected_ = true;
        return 1;
    }
    switch (service) {
        case PUT_INT:
            c.integers_[arg] = static_cast<int64_t>(
                (uint64_t{static_cast<uint32_t>(b)} << 32) |
                static_cast<uint32_t>(a));
            return 0;
        case PUT_NUMBER_TEXT:
        case PUT_STRING:
            if (p == nullptr || n < -1) break;
            c.texts_[arg].assign(static_cast<const char*>(p),
                                 n == -1 ? std::strlen(static_cast<char*>(p))
                                         : static_cast<std::size_t>(n));
            return 0;
        default:
            break;
    }
    c.unexpected_ = true;
    return 1;
}

// Ends a fetch loop: closes the cursor and reports a failure of the
// command, if any.
Run finish(Run r) {
    close_cursor();
    return r;
}

Run fetch_failed(const char* what, const CmdHdr& hdr) {
    Run r;
    r.error = failure(what, hdr);
    return finish(r);
}

// A value as the checksum takes it.  The fetch layouts deliver NULL as the
// empty text, so an empty value is counted as NULL; the benchmark table
// holds no empty texts, so this loses nothing there.
void take(Digest& d, const char* p, std::size_t n) {
    if (n == 0)
        d.null();
    else
        d.value(p, n);
}

// Command 12 without FETCH_ARRAY ends at the last row with `number` 0; a
// failed fetch leaves `number` as it was.  Returns false (with r.error)
// when the call failed.
bool row_fetched(FetchCall& call, double before, bool& end, Run& r) {
    const CmdHdr& h = call.header();
    end = false;
    if (h.status != ORV_OK || call.unexpected()) {
        r.error = call.unexpected() ? "unexpected service call"
                                    : failure("command 12", h);
        return false;
    }
    if (h.number == 0.0) {
        end = true;
        return true;
    }
    if (h.number == before) {
        r.error = failure("command 12 (fetch)", h);
        return false;
    }
    return true;
}

// Unescapes a pairs value (0xFA is 0x00, 0xFB 0xFB is 0xFA, 0xFB 0xFC is
// 0xFB) into `out`.
void unescape(const unsigned char* p, std::size_t n, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] == 0xFA) {
            out.push_back('\0');
        } else if (p[i] == 0xFB && i + 1 < n) {
            out.push_back(static_cast<char>(p[++i] == 0xFB ? 0xFA : 0xFB));
        } else {
            out.push_back(static_cast<char>(p[i]));
        }
    }
}

bool is_integer_type(SQLSMALLINT t) {
    return t == SQL_INTEGER || t == SQL_SMALLINT || t == SQL_TINYINT;
}

bool is_number_type(SQLSMALLINT t) {
    return t == SQL_DECIMAL || t == SQL_NUMERIC || t == SQL_FLOAT ||
           t == SQL_REAL || t == SQL_DOUBLE || t == SQL_BIGINT;
}

// The host argument a per-argument fetch gives a column.
ArgShape argument_for(const Column& c) {
    if (is_integer_type(c.sql_type)) return {ARG_TYPE_SIGNED, 4};
    if (is_number_type(c.sql_type)) return {ARG_TYPE_NUMBER_TEXT, 8};
    const SQLLEN display = c.display_size;
    return {ARG_TYPE_STRING, display > 0 && display < 65536
                                 ? static_cast<uint32_t>(display + 1)
                                 : 4096u};
}

}  // namespace

// ---- Session
// ------------------------------------------------------------------

bool connector_open(const Settings& cfg, std::string& error) {
    void* lib = dlopen(cfg.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        error = std::string("cannot load ") + cfg.library + ": " + dlerror();
        return false;
    }
    void* entry = dlsym(lib, "orvsql");
    if (entry == nullptr) {
        error = cfg.library + " has no orvsql";
        return false;
    }
    // The library stays loaded for the life of the process.
    g_session.host =
        hostkit::make_test_host(reinterpret_cast<hostkit::Entry>(entry));
    g_session.host.guard_pages = false;
    g_session.slot = 0;
    CmdHdr hdr = command(ORV_CMD_ALLOC_ENV);
    if (hdr.status != ORV_OK) {
        error = failure("command 1", hdr);
        return false;
    }
    g_session.env = true;
    hdr = command(ORV_CMD_ALLOC_SLOT);
    if (hdr.status != ORV_OK) {
        error = failure("command 4", hdr);
        return false;
    }
    g_session.slot = hdr.slot;
    std::string connection = "-host=" + cfg.dsn;
    if (!cfg.user.empty())
        connection += " -user=" + cfg.user + " -pw=" + cfg.password;
    hdr = command(ORV_CMD_CONNECT, {hostkit::text(connection)});
    if (hdr.status != ORV_OK) {
        error = failure(("connect to " + cfg.dsn).c_str(), hdr);
        return false;
    }
    for (const std::string& sql : cfg.init_sql) {
        if (!execute(sql, error)) return false;
        close_cursor();
    }
    return true;
}

void connector_close() {
    if (g_session.slot != 0) command(ORV_CMD_DISCONNECT);
    g_session.slot = 0;
    if (g_session.env) command(ORV_CMD_FREE_ENV);
    g_session.env = false;
}

bool connector_describe(const Settings& cfg, std::vector<Column>& columns,
                        std::string& error) {
    if (!execute(cfg.query, error)) return false;
    const auto n = static_cast<uint32_t>(columns.size());
    const CmdHdr hdr = command(ORV_CMD_DESCRIBE, {hostkit::buffer(n * 224)});
    if (hdr.status != ORV_OK || hostkit::count(hdr) != static_cast<int>(n)) {
        error = failure("command 10", hdr);
        close_cursor();
        return false;
    }
    const std::vector<uint8_t> records = hostkit::arg_bytes(g_session.host, 3);
    for (uint32_t k = 0; k < n; ++k) {
        ColumnDesc d;
        std::memcpy(&d, records.data() + k * sizeof d, sizeof d);
        columns[k].width = d.width;
    }
    close_cursor();
    return true;
}

// ---- The fetch variants -----------------------------------------------------

Run connector_block(const Settings& cfg, const std::vector<Column>& columns,
                    Digest* digest) {
    Run r;
    if (!execute(cfg.query, r.error)) return finish(r);
    FetchCall call(ORV_CMD_FETCH_BLOCK, 0, {{ARG_TYPE_SIGNED, sizeof(void*)}});
    double number = 0.0;
    for (;;) {
        call.run(number);
        const CmdHdr& h = call.header();
        const std::string state = hostkit::sqlstate(h);
        if (h.status != ORV_OK || call.unexpected())
            return fetch_failed("command 25", h);
        const auto rows = static_cast<uint64_t>(h.number);
        r.rows += rows;
        if (digest != nullptr) {
            const int values = hostkit::count(h);
            const auto* p = reinterpret_cast<const char*>(call.address(3));
            for (std::size_t k = 0; k < columns.size(); ++k)
                p += std::strlen(p) + 1;  // the header's names
            for (uint64_t i = 0; i < rows * values; ++i) {
                const std::size_t n = std::strlen(p);
                take(*digest, p, n);
                p += n + 1;
            }
        }
        number = h.number;
        if (state == kRowsRemain) continue;
        // Anything but a warning is a failed fetch.
        if (!state.empty() && state.compare(0, 2, "01") != 0)
            return fetch_failed("command 25", h);
        break;
    }
    r.ok = true;
    return finish(r);
}

namespace {

// Executes the query and runs `call` (command 12) once per row to the end.
// In the checking round `digest_row(digest, r)` takes the row's values
// from the call's storage; it returns false (with r.error) when the row
// cannot be read.
template <typename RowDigest>
Run fetch_rows(const Settings& cfg, FetchCall& call, Digest* digest,
               RowDigest digest_row) {
    Run r;
    if (!execute(cfg.query, r.error)) return finish(r);
    double number = 0.0;
    for (;;) {
        call.run(number);
        bool end = false;
        if (!row_fetched(call, number, end, r)) return finish(r);
        if (end) break;
        number = call.header().number;
        ++r.rows;
        if (digest != nullptr && !digest_row(*digest, r)) return finish(r);
    }
    r.ok = true;
    return finish(r);
}

}  // namespace

Run connector_args(const Settings& cfg, const std::vector<Column>& columns,
                   Digest* digest) {
    std::vector<ArgShape> shapes;
    for (const Column& c : columns) shapes.push_back(argument_for(c));
    FetchCall call(ORV_CMD_FETCH_ROW, 0, shapes);
    return fetch_rows(cfg, call, digest, [&](Digest& d, Run&) {
        char digits[24];
        for (std::size_t k = 0; k < shapes.size(); ++k) {
            const int arg = static_cast<int>(k) + 3;
            if (shapes[k].type_flags == ARG_TYPE_SIGNED) {
                const auto res = std::to_chars(digits, digits + sizeof digits,
                                               call.integer(arg));
                take(d, digits, static_cast<std::size_t>(res.ptr - digits));
            } else if (shapes[k].type_flags == ARG_TYPE_NUMBER_TEXT) {
                take(d, call.text(arg).data(), call.text(arg).size());
            } else {
                const auto* p = reinterpret_cast<const char*>(call.data(arg));
                take(d, p, strnlen(p, call.size(arg)));
            }
        }
        return true;
    });
}

Run connector_pairs(const Settings& cfg, const std::vector<Column>& columns,
                    Digest* digest) {
    FetchCall call(ORV_CMD_FETCH_ROW, FETCH_PAIRS,
                   {{ARG_TYPE_SIGNED, sizeof(void*)}});
    std::string value;
    return fetch_rows(cfg, call, digest, [&](Digest& d, Run& r) {
        const unsigned char* p = call.address(3);
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const std::size_t n = std::strlen(reinterpret_cast<const char*>(p));
            const auto* eq =
                static_cast<const unsigned char*>(std::memchr(p, '=', n));
            if (eq == nullptr) {
                r.error = "a pairs entry without '='";
                return false;
            }
            unescape(eq + 1, n - static_cast<std::size_t>(eq + 1 - p), value);
            take(d, value.data(), value.size());
            p += n + 1;
        }
        return true;
    });
}

Run connector_fixed(const Settings& cfg, const std::vector<Column>& columns,
                    Digest* digest) {
    uint32_t record = 1;
    for (const Column& c : columns) record += static_cast<uint32_t>(c.width);
    FetchCall call(ORV_CMD_FETCH_ROW, FETCH_FIXED, {{ARG_TYPE_STRING, record}});
    return fetch_rows(cfg, call, digest, [&](Digest& d, Run&) {
        const auto* p = reinterpret_cast<const char*>(call.data(3));
        for (const Column& c : columns) {
            // Values are padded with spaces to the column's width.
            std::size_t n = static_cast<std::size_t>(c.width);
            while (n > 0 && p[n - 1] == ' ') --n;
            take(d, p, n);
            p += c.width;
        }
        return true;
    });
}

}  // namespace orvbench
