// The stateful fuzz program: reads commands from the input and runs them
// through the hostile host kit.  See program.h.
#include "program.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "conn/decode.h"
#include "conn/encode.h"
#include "conn/slots.h"
#include "dorevivezo.h"
#include "hostkit.h"
#include "memory.h"

namespace fuzzprog {

namespace {

constexpr int kMaxCommands = 24;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz program: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void abort_on_violation(const hostkit::Host&, const std::string& what) {
    fail(what);
}

constexpr int32_t swapped(int32_t v) {
    return static_cast<int32_t>(hostkit::swap_halves(static_cast<uint32_t>(v)));
}

// ---- The choices, as tables (repeated entries are chosen more often) ------

constexpr int32_t kCodes[] = {1,  2,  3,  4,  6,       7,  8,  9,  9,  9,
                              10, 11, 12, 12, 12,      12, 13, 14, 15, 16,
                              17, 18, 22, 22, 22,      25, 25, 25, 0,  5,
                              19, 24, 26, -1, 0x10019, 20, 20, 21};

constexpr int16_t kSubcodes[] = {
    0,
    0,
    FETCH_ARRAY,
    FETCH_FIXED,
    FETCH_PAIRS,
    FETCH_PAIRS,
    FETCH_PAIRS | FETCH_ALT_NAMES,
    FETCH_PAIRS | FETCH_TABLE_PREFIX,
    FETCH_PAIRS | FETCH_NULL_TEXT | FETCH_TABLE_PREFIX | FETCH_ALT_NAMES,
    FETCH_NULL_TEXT,
    FETCH_ARRAY | FETCH_NULL_TEXT,
    FETCH_FIXED | FETCH_NULL_TEXT,
    FETCH_FIXED | 0x0004,
    FETCH_FIXED | 0x0008,
    FETCH_ALT_NAMES | FETCH_NULL_TEXT,
    1,
    2,
    3,
    4,
    5,
    6,
    7,
    8,
    9,
    10,
    11,
    SQL_ATTR_ROW_ARRAY_SIZE,
    SQL_ATTR_PARAMSET_SIZE,
    SQL_ATTR_QUERY_TIMEOUT,
    ORV_DIAG_RECORD | 1,
    ORV_DIAG_RECORD | 2,
    ORV_ATTR_ZERO | 0xFF,
    SQL_ATTR_MAX_ROWS,
    SQL_ATTR_CURSOR_TYPE,
    SQL_ATTR_ROW_NUMBER,
    SQL_ATTR_APP_ROW_DESC,
    -1,
    0x7fff,
    SHRT_MIN,
};

constexpr int32_t kParams[] = {0,
                               swapped(1),
                               swapped(2),
                               swapped(3),
                               swapped(40),
                               swapped(300),
                               swapped(-1),
                               SQL_ATTR_AUTOCOMMIT,
                               ORV_ATTR_ZERO,
                               SQL_ATTR_ACCESS_MODE,
                               SQL_ATTR_TXN_ISOLATION,
                               SQL_ATTR_CURRENT_CATALOG,
                               SQL_ATTR_LOGIN_TIMEOUT,
                               SQL_ATTR_CONNECTION_DEAD,
                               SQL_ATTR_PACKET_SIZE,
                               -1,
                               INT_MIN};

constexpr double kRowNumbers[] = {0,  0,     0,    0,   1,   2,    7,
                                  -1, 1e300, kNaN, 0.5, 3e9, -3e9, kInf};
constexpr double kNumbers[] = {0, 0, 0, 1, 3, 10, 1e9, -1, kNaN, 1e300, kInf};

constexpr uint32_t kHeaderSizes[] = {48, 48, 48, 48, 48, 47, 0, 1, 49, 64};

// arg_count: INT_MAX stands for "as many as there are arguments".
constexpr int32_t kArgCounts[] = {INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX,
                                  INT_MAX, -1,      -100,    INT_MIN, 0,
                                  1,       2,       3,       4,       40};

constexpr uint32_t kSizes[] = {0,  1,  3,   4,   7,   8,   16,  31,   32,
                               33, 64, 224, 239, 240, 241, 448, 4096, 70000};

constexpr int16_t kFlags[] = {2,
                              2,
                              2,
                              4,
                              6,
                              8,
                              0,
                              1,
                              3,
                              15,
                              2 | ARG_CALLBACK,
                              2 | ARG_CALLBACK,
                              4 | ARG_CALLBACK,
                              8 | ARG_CALLBACK,
                              6 | ARG_CALLBACK,
                              2 | ARG_ARRAY,
                              2 | ARG_ARRAY | ARG_CALLBACK,
                              8 | ARG_ARRAY,
                              2 | ARG_NULL,
                              2 | ARG_ARRAY | ARG_NULL,
                              6 | ARG_ARRAY | ARG_NULL,
                              1 | ARG_ARRAY,
                              4 | ARG_ARRAY,
                              -1};

constexpr int32_t kInts[] = {
    0,   1,   -1,      2,       3,       5,       22,      27,
    100, 102, INT_MAX, INT_MIN, SQL_NTS, 1 << 20, 0x10000, -1831574066};

enum class Kind : uint8_t {
    Sql,
    Connect,
    RawText,  // input bytes, not terminated within the storage
    Buffer,
    Integer,
    Array,
    NullStorage,    // a size, but no storage
    ColumnRecords,  // whole column records with input bytes
};
constexpr Kind kKinds[] = {
    Kind::Sql,     Kind::Sql,    Kind::Connect,     Kind::RawText,
    Kind::Buffer,  Kind::Buffer, Kind::Buffer,      Kind::Integer,
    Kind::Integer, Kind::Array,  Kind::NullStorage, Kind::ColumnRecords};

template <class T, std::size_t N>
T pick(FuzzedDataProvider& in, const T (&table)[N]) {
    return table[in.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

// ---- Arguments -------------------------------------------------------------

const std::string& pick_text(FuzzedDataProvider& in,
                             const std::vector<std::string>& pool) {
    static const std::string none;
    if (pool.empty()) return none;
    return pool[in.ConsumeIntegralInRange<std::size_t>(0, pool.size() - 1)];
}

// SQL text: from the pool, or generated: very long, or the pool's text
// repeated.
std::string sql_text(FuzzedDataProvider& in, const Target& t) {
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0: {
            std::string s = "SELECT 1";
            const int n = in.ConsumeIntegralInRange<int>(1, 3000);
            for (int i = 0; i < n; ++i) s += ", 1";
            return s;
        }
        case 1:
            return std::string(in.ConsumeIntegralInRange<std::size_t>(0, 70000),
                               ' ') +
                   pick_text(in, t.sql);
        default:
            return pick_text(in, t.sql);
    }
}

// What the host answers to GET_INT and GET_STRING for an argument, now and
// then garbage instead of the argument's own value.
void garbage_answers(FuzzedDataProvider& in, hostkit::ArgSpec& a) {
    if (chance(in, 20))
        a.int_value =
            chance(in, 50) ? pick(in, kInts) : in.ConsumeIntegral<int32_t>();
    if (chance(in, 20)) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                a.text_value = in.ConsumeBytesAsString(
                    in.ConsumeIntegralInRange<std::size_t>(0, 400));
                break;
            case 1:
                a.text_value = "99999999999999999999999";
                break;
            case 2:
                a.text_value = std::to_string(pick(in, kInts));
                break;
            default:
                a.text_value.clear();
        }
    }
}

hostkit::ArgSpec make_arg(FuzzedDataProvider& in, const Target& t, Kind* kind) {
    hostkit::ArgSpec a;
    *kind = pick(in, kKinds);
    switch (*kind) {
        case Kind::Sql:
            a = hostkit::text(sql_text(in, t));
            break;
        case Kind::Connect:
            a = hostkit::text(pick_text(in, t.connect));
            break;
        case Kind::RawText: {
            std::string s =
                !t.free_text || chance(in, 50)
                    ? pick_text(in, chance(in, 50) ? t.sql : t.connect)
                    : in.ConsumeBytesAsString(
                          in.ConsumeIntegralInRange<std::size_t>(0, 300));
            a = hostkit::text(s);
            a.bytes.pop_back();
            a.size = static_cast<uint32_t>(a.bytes.size());
            break;
        }
        case Kind::Buffer:
            a = hostkit::buffer(pick(in, kSizes), pick(in, kFlags));
            break;
        case Kind::Integer:
            a = hostkit::integer(pick(in, kInts), pick(in, kFlags));
            if (chance(in, 30)) a.size = pick(in, kSizes);
            break;
        case Kind::Array:
            a = hostkit::array(std::min<uint32_t>(pick(in, kSizes), 4096),
                               in.ConsumeIntegralInRange<uint32_t>(1, 40),
                               pick(in, kFlags));
            break;
        case Kind::NullStorage:
            a = hostkit::buffer(pick(in, kSizes), pick(in, kFlags));
            a.null_data = true;
            break;
        case Kind::ColumnRecords: {
            const uint32_t records = in.ConsumeIntegralInRange<uint32_t>(0, 40);
            a = hostkit::buffer(records * sizeof(ColumnDesc) +
                                    in.ConsumeIntegralInRange<uint32_t>(0, 3),
                                pick(in, kFlags));
            const std::string bytes = in.ConsumeBytesAsString(a.size);
            a.bytes.assign(bytes.begin(), bytes.end());
            break;
        }
    }
    garbage_answers(in, a);
    return a;
}

// ---- One command -----------------------------------------------------------

// Statement attributes whose value is an address the driver writes to or
// reads from later: a host passes its own storage, never a made-up number.
constexpr int16_t kPointerAttributes[] = {
    SQL_ATTR_FETCH_BOOKMARK_PTR, SQL_ATTR_PARAM_BIND_OFFSET_PTR,
    SQL_ATTR_PARAMS_PROCESSED_PTR, SQL_ATTR_ROW_BIND_OFFSET_PTR,
    SQL_ATTR_ROW_OPERATION_PTR};

struct Command {
    int32_t code;
    CmdHdr hdr;
    std::vector<hostkit::ArgSpec> args;
    std::vector<Kind> kinds;  // how each argument was made
};

// Command 22's rows (`param`) are at most what every array argument laid
// out: its elements, and room for the null map behind them with ARG_NULL.
void limit_parameter_rows(Command& c) {
    int64_t rows = swapped(c.hdr.param);
    for (std::size_t i = 1; i < c.args.size(); ++i) {
        const hostkit::ArgSpec& a = c.args[i];
        if (!(a.type_flags & ARG_ARRAY)) continue;
        const uint64_t total = uint64_t{a.size} * a.elements;
        const uint64_t per_row = a.size + ((a.type_flags & ARG_NULL) ? 1 : 0);
        rows = std::min<int64_t>(
            rows,
            static_cast<int64_t>(std::min<uint64_t>(
                a.elements, per_row == 0 ? a.elements : total / per_row)));
    }
    if (rows >= 0) c.hdr.param = swapped(static_cast<int32_t>(rows));
}

// What a host may do to its own process stays out of the programs:
// made-up addresses for the pointer attributes become null; tracing and
// translation libraries (files and libraries named by the host) are not
// set; the array layout's element limit (`param`) is at most the elements
// the host laid out (the connector cannot know their number); and without
// free text, the SQL of command 9 and the connection string of command 6
// come from the pools.
void keep_to_the_host_contract(Command& c, const Target& t,
                               FuzzedDataProvider& in) {
    if (c.code == 12 && (c.hdr.subcode & FETCH_ARRAY) && !c.args.empty()) {
        const int32_t limit = swapped(c.hdr.param);
        const auto elements = static_cast<int32_t>(c.args[0].elements);
        if (limit > elements) c.hdr.param = swapped(elements);
    }
    if (c.code == 22) limit_parameter_rows(c);
    if (c.code == 17 &&
        std::find(std::begin(kPointerAttributes), std::end(kPointerAttributes),
                  c.hdr.subcode) != std::end(kPointerAttributes))
        for (hostkit::ArgSpec& a : c.args) a.int_value = 0;
    if (c.code == 15 &&
        (c.hdr.param == SQL_ATTR_TRACE || c.hdr.param == SQL_ATTR_TRACEFILE ||
         c.hdr.param == SQL_ATTR_TRANSLATE_LIB))
        c.hdr.param = SQL_ATTR_AUTOCOMMIT;
    const bool pool_text = !c.kinds.empty() && (c.kinds[0] == Kind::Sql ||
                                                c.kinds[0] == Kind::Connect ||
                                                c.kinds[0] == Kind::RawText);
    const bool sql = c.code == 9 || c.code == 22;
    if (!t.free_text && (sql || c.code == 6) && !c.args.empty() && !pool_text) {
        hostkit::ArgSpec& a = c.args[0];
        const bool null_data = a.null_data;
        a = hostkit::text(pick_text(in, sql ? t.sql : t.connect));
        a.null_data = null_data;
    }
}

Command make_command(FuzzedDataProvider& in, const Target& t, int last_slot,
                     hostkit::Host& h) {
    Command c{pick(in, kCodes), hostkit::header(), {}, {}};
    CmdHdr& hdr = c.hdr;
    if (chance(in, 5)) {
        const std::string raw = in.ConsumeBytesAsString(sizeof hdr);
        std::memcpy(&hdr, raw.data(), raw.size());
    } else {
        hdr.slot = chance(in, 80) ? static_cast<uint8_t>(last_slot)
                                  : in.ConsumeIntegralInRange<uint8_t>(0, 12);
        hdr.subcode = pick(in, kSubcodes);
        hdr.param = pick(in, kParams);
        hdr.row_number = pick(in, kRowNumbers);
        hdr.number = pick(in, kNumbers);
    }

    h.header_size = pick(in, kHeaderSizes);
    h.header_null_data = chance(in, 2);
    const int32_t count = pick(in, kArgCounts);
    if (count == INT_MAX)
        h.arg_count_override.reset();
    else
        h.arg_count_override = count;
    h.refuse_put_string = chance(in, 5);
    h.refuse_resize = chance(in, 5);

    const int args = chance(in, 5) ? in.ConsumeIntegralInRange<int>(0, 40)
                                   : in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < args && in.remaining_bytes() > 0; ++i) {
        Kind kind;
        c.args.push_back(make_arg(in, t, &kind));
        c.kinds.push_back(kind);
    }
    keep_to_the_host_contract(c, t, in);
    return c;
}

// ---- Checks after a command ------------------------------------------------

bool documented_status(int32_t s) {
    switch (s) {
        case 0:
        case 2:
        case 3:
        case 5:
        case 7:
        case 8:
        case 9:
        case 10:
        case 11:
        case 13:
        case 14:
        case 15:
        case 16:
            return true;
        default:
            return false;
    }
}

// The address the command stored into argument 3, when it is the slot's
// row buffer; nullptr otherwise.
const uint8_t* stored_row_buffer(const hostkit::Host& h, int slot) {
    const orv::ConnectionSlot* s = orv::slot_at(slot);
    const std::vector<uint8_t> a = hostkit::arg_bytes(h, 3);
    if (s == nullptr || s->row_buffer == nullptr || a.size() < sizeof(void*))
        return nullptr;
    const uint8_t* p = nullptr;
    std::memcpy(&p, a.data(), sizeof p);
    return p == s->row_buffer ? p : nullptr;
}

// A pairs record: non-empty "name=value" entries, each ending in a zero
// byte, then one more zero byte, all inside the row buffer; `count` says
// how many (every column's, unless status 8 says the record could not be
// held whole).
void check_pairs(const uint8_t* p, std::size_t limit, int32_t count) {
    std::size_t at = 0;
    int32_t entries = 0;
    for (;;) {
        if (at >= limit) fail("pairs record: no closing zero byte");
        const std::size_t len =
            strnlen(reinterpret_cast<const char*>(p + at), limit - at);
        if (at + len >= limit) fail("pairs record: entry not terminated");
        if (len == 0) break;
        if (std::memchr(p + at, '=', len) == nullptr)
            fail("pairs record: entry without '='");
        ++entries;
        at += len + 1;
    }
    if (entries != count)
        fail("pairs record: " + std::to_string(entries) + " entries, count " +
             std::to_string(count));
}

// A row block: `names` column names, then `rows` x `values` items, each
// ending in a zero byte, then the closing zero byte, inside the buffer
// short of its reserved tail.
void check_block(const uint8_t* p, std::size_t limit, int32_t names,
                 double rows, int32_t values) {
    if (limit < 4) fail("row block: buffer under 4 bytes");
    limit -= 4;
    if (!(rows >= 0) || rows != std::floor(rows))
        fail("row block: row count " + std::to_string(rows));
    const double items = names + rows * values;
    std::size_t at = 0;
    for (double i = 0; i < items; ++i) {
        if (at >= limit) fail("row block: items run past the buffer");
        const std::size_t len =
            strnlen(reinterpret_cast<const char*>(p + at), limit - at);
        if (at + len >= limit) fail("row block: item not terminated");
        at += len + 1;
    }
    if (at >= limit || p[at] != 0) fail("row block: no closing zero byte");
}

// The result columns of the slot's statement, or -1 when unknown.
int32_t result_columns(const Target& t, int slot) {
    const orv::ConnectionSlot* s = orv::slot_at(slot);
    if (s == nullptr || s->statement == nullptr) return -1;
    SQLSMALLINT n = 0;
    if (!SQL_SUCCEEDED(t.num_result_cols(s->statement, &n))) return -1;
    return n;
}

void check_command(const hostkit::Host& h, const Target& t, const Command& c,
                   int32_t result, const CmdHdr& hdr) {
    const bool answered =
        h.header_size >= 48 && !h.header_null_data && h.ctx->arg_count >= 2;
    if (!answered) return;  // the host kit checked result and header
    if (!documented_status(hdr.status))
        fail("command " + std::to_string(c.code) + ": undocumented status " +
             std::to_string(hdr.status) + " (returned " +
             std::to_string(result) + ")");
    const int code = c.code, slot = c.hdr.slot;
    if (code == 4 && hdr.status == ORV_OK && (hdr.slot < 1 || hdr.slot > 10))
        fail("command 4: status 0 with slot " + std::to_string(hdr.slot));
    const bool pairs = (c.hdr.subcode & (FETCH_ARRAY | FETCH_FIXED)) == 0 &&
                       (c.hdr.subcode & FETCH_PAIRS) != 0;
    if (code == 12 && pairs &&
        (hdr.status == ORV_OK || hdr.status == ORV_NO_MEMORY)) {
        if (const uint8_t* p = stored_row_buffer(h, slot))
            check_pairs(p, orv::slot_at(slot)->row_buffer_size,
                        hostkit::count(hdr));
    }
    if (code == 25 && (hdr.status == ORV_OK || hdr.status == ORV_ODBC_ERROR)) {
        const uint8_t* p = stored_row_buffer(h, slot);
        const int32_t n = result_columns(t, slot);
        if (p != nullptr && n >= 0)
            check_block(p, orv::slot_at(slot)->row_buffer_size, n, hdr.number,
                        hostkit::count(hdr));
    }
}

// ---- Clean-up ---------------------------------------------------------------

// Every handle the connector held during the program.  Command 2 releases
// only the named slot's handles, and command 1 forgets the slots' handles
// of an environment that is gone: the clean-up releases those directly.
// Freed handles are told apart by the driver manager (and the stand-in),
// so releasing one twice is harmless.
struct Handles {
    std::vector<SQLHANDLE> envs, connections, statements;
};
Handles g_seen;

void remember(std::vector<SQLHANDLE>& list, SQLHANDLE h) {
    if (h != nullptr && std::find(list.begin(), list.end(), h) == list.end())
        list.push_back(h);
}

void note_handles() {
    remember(g_seen.envs, orv::env_handle());
    for (int slot = 1; slot <= 10; ++slot) {
        remember(g_seen.connections, orv::slot_at(slot)->connection);
        remember(g_seen.statements, orv::slot_at(slot)->statement);
    }
}

// Frees every slot and the environment through the connector, then every
// handle it left behind.
void release_everything(const Target& t) {
    orv::orv_fail_allocation(0);
    if (t.reset != nullptr) t.reset();
    hostkit::Host h = hostkit::make_test_host(&orvsql);
    if (orv::env_handle() != nullptr) {
        for (int slot = 1; slot <= 10; ++slot) {
            if (orv::slot_at(slot)->connection == nullptr) continue;
            CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
            hostkit::run(h, ORV_CMD_DISCONNECT, hdr);
            if (hdr.status != ORV_OK)
                fail("command 7 on slot " + std::to_string(slot) + ": status " +
                     std::to_string(hdr.status));
        }
        CmdHdr hdr = hostkit::header();
        hostkit::run(h, ORV_CMD_FREE_ENV, hdr);
    }
    if (orv::env_handle() != nullptr) fail("command 2 left the environment");
    for (SQLHANDLE s : g_seen.statements) SQLFreeHandle(SQL_HANDLE_STMT, s);
    for (SQLHANDLE c : g_seen.connections) {
        SQLDisconnect(c);
        SQLFreeHandle(SQL_HANDLE_DBC, c);
    }
    for (SQLHANDLE e : g_seen.envs) SQLFreeHandle(SQL_HANDLE_ENV, e);
    g_seen = Handles{};
    for (int slot = 1; slot <= 10; ++slot) {
        orv::slot_at(slot)->connection = nullptr;
        orv::slot_at(slot)->statement = nullptr;
    }
    if (t.after_program != nullptr) t.after_program();
}

int32_t run_one(hostkit::Host& h, const Target& t, Command& c,
                FuzzedDataProvider& in) {
    if (t.before_command != nullptr) t.before_command(in, c.code);
    if (chance(in, 3))
        orv::orv_fail_allocation(in.ConsumeIntegralInRange<long>(1, 8));
    const int32_t result = hostkit::run(h, c.code, c.hdr, c.args);
    orv::orv_fail_allocation(0);
    note_handles();
    check_command(h, t, c, result, c.hdr);
    return result;
}

}  // namespace

bool chance(FuzzedDataProvider& in, int percent) {
    return in.ConsumeIntegralInRange<int>(0, 99) < percent;
}

std::vector<std::string> common_sql() {
    return {"",
            " ",
            "SELEC 1",
            "SELECT * FROM no_such_table",
            "SELECT 1 +",
            "SHOW TABLES",
            "SHOW DATABASES",
            "SHOW SCHEMAS",
            "SHOW CATALOGS",
            "show tables like 't%'",
            "SHOW",
            "SHOW TABLES FROM",
            ";",
            "'unterminated",
            "SELECT '\xFA\xFB\xFC'",
            "SELECT ?",
            "SELECT ?, ?",
            "SELECT ? AS a, ? AS b, ? AS c",
            std::string(300, 'x')};
}

std::vector<std::string> connection_strings(const std::string& dsn) {
    std::vector<std::string> out = {
        "-host=" + dsn,
        "-host=" + dsn + " -user=fz -pw=secret",
        dsn,
        "-host=" + dsn +
            " -db=x -port=99999999999 -sockfile=/nonexistent "
            "-flags=3",
        "-host=" + dsn + " -bogus=1",
        "-host=" + dsn + "   -user=",
        "-host=",
        "-",
        "=",
        "-host==" + dsn,
        "-host=no_such_source",
        "-host=" + dsn + " -pw=" + std::string(300, 'p'),
        "host=" + dsn,
        "-HOST=" + dsn,
    };
    const uint8_t filler[44] = {};
    for (int scheme = 1; scheme <= 3; ++scheme) {
        char encoded[80];
        const char* text = scheme == 3 ? "secret" : dsn.c_str();
        if (orv::encode_value(scheme, text, "fz", "abcd", filler, encoded,
                              sizeof encoded) != orv::EncodeStatus::kOk)
            continue;
        out.push_back(scheme == 3 ? "-host=" + dsn + " -user=fz -pw=" + encoded
                                  : "-host=" + std::string(encoded));
        // The same value under another user: "<bad decryption>".
        if (scheme == 3)
            out.push_back("-host=" + dsn + " -user=other -pw=" + encoded);
    }
    out.push_back("-host=" + dsn + " -pw=\x03" + std::string(68, 'A'));
    out.push_back("-host=\x01");
    out.push_back("-host=\x02\x01\x02\x03");
    return out;
}

void run_program(const uint8_t* data, std::size_t size, const Target& t) {
    static const bool installed =
        (hostkit::set_violation_reporter(&abort_on_violation), true);
    (void)installed;
    FuzzedDataProvider in(data, size);
    if (t.reset != nullptr) t.reset();

    hostkit::Host h = hostkit::make_test_host(&orvsql);
    int last_slot = 0;
    // The prelude: what most programs need before anything else happens.
    const uint8_t prelude = in.ConsumeIntegral<uint8_t>();
    std::vector<Command> start;
    if (prelude & 1) start.push_back({1, hostkit::header(), {}, {}});
    if (prelude & 2) {
        start.push_back({4, hostkit::header(), {}, {}});
        start.push_back(
            {6, hostkit::header(), {hostkit::text(t.connect[0])}, {}});
    }
    if (prelude & 4)
        start.push_back(
            {9, hostkit::header(), {hostkit::text(sql_text(in, t))}, {}});
    for (Command& c : start) {
        c.hdr.slot = static_cast<uint8_t>(last_slot);
        run_one(h, t, c, in);
        if (c.code == 4 && c.hdr.status == ORV_OK) last_slot = c.hdr.slot;
    }

    for (int i = 0; i < kMaxCommands && in.remaining_bytes() > 0; ++i) {
        hostkit::Host host = hostkit::make_test_host(&orvsql);
        Command c = make_command(in, t, last_slot, host);
        run_one(host, t, c, in);
        if (c.code == 4 && c.hdr.status == ORV_OK) last_slot = c.hdr.slot;
    }
    release_everything(t);
}

}  // namespace fuzzprog
