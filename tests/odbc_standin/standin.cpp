// The scripted ODBC stand-in: handle records, default behaviour, rules,
// hooks and the call log.  See standin.h.
#include "standin.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <utility>

namespace standin {

Script script;
Hooks hooks;
std::vector<ParamRow> executed_rows;

namespace {

struct Diag {
    std::string state;
    SQLINTEGER native;
    std::string message;
};

// SQLGetData progress on one column of the current row.
struct Progress {
    std::size_t offset = 0;
    bool done = false;
};

// A column bound with SQLBindCol: rowset element i is at
// target + i * length, its indicator at indicator[i].
struct Binding {
    SQLSMALLINT type;
    char* target;
    SQLLEN length;
    SQLLEN* indicator;
};

constexpr uint32_t kMagic = 0x5354414E;  // "STAN"

// One SQLBindParameter.
struct Param {
    SQLSMALLINT c_type = 0;
    SQLPOINTER values = nullptr;
    SQLLEN buflen = 0;
    SQLLEN* lengths = nullptr;
};

struct Handle {
    uint32_t magic = kMagic;
    SQLSMALLINT type = 0;
    Handle* parent = nullptr;
    bool freed = false;
    std::vector<Diag> diags;
    // environment
    SQLULEN odbc_version = 0;
    std::size_t next_source = 0;
    // connection
    bool connected = false;
    // connection and statement attributes
    std::map<SQLINTEGER, SQLULEN> ints;
    std::map<SQLINTEGER, std::string> texts;
    // statement
    bool executed = false;
    Result result;
    std::size_t position = 0;  // 0: before the first row; rows+1: after
    std::map<SQLUSMALLINT, Progress> progress;
    // Bound columns and the rowset the last fetch made current (its first
    // row and its row count; SQLSetPos moves `position` inside it).
    std::map<SQLUSMALLINT, Binding> bound;
    std::size_t rowset_start = 0;
    std::size_t rowset_rows = 0;
    std::string prepared;  // SQLPrepare's text
    bool is_prepared = false;
    std::map<SQLUSMALLINT, Param> params;  // SQLBindParameter's
    bool cancelled = false;                // SQLCancel reached it
};

// The lock every call holds, and what wait_for_cancel waits on.  The
// 32-bit Windows build compiles the stand-in only to check its
// declarations against that platform's headers; its thread model has no
// std::mutex, so it gets stand-ins that do nothing.
#if defined(_WIN32) && !defined(_GLIBCXX_HAS_GTHREADS)
struct BigLock {
    void lock() {}
    void unlock() {}
};
struct CancelSignal {
    void notify_all() {}
    template <class Lock, class Duration, class Ready>
    bool wait_for(Lock&, Duration, Ready ready) {
        return ready();
    }
};
#else
using BigLock = std::recursive_mutex;
using CancelSignal = std::condition_variable_any;
#endif

BigLock& big_lock() {
    static auto* m = new BigLock;
    return *m;
}
CancelSignal& cancel_signal() {
    static auto* c = new CancelSignal;
    return *c;
}

// Every handle ever allocated; never released, so a stale handle is
// detected instead of reaching freed memory.
std::vector<Handle*>& all_handles() {
    static auto* v = new std::vector<Handle*>;
    return *v;
}
std::unordered_set<const void*>& known() {
    static auto* s = new std::unordered_set<const void*>;
    return *s;
}

std::deque<Rule> rules;
std::vector<LogEntry> call_log;
int invalid_uses = 0;

// The live handle h of the given kind, or nullptr.
Handle* find(SQLHANDLE h, SQLSMALLINT type) {
    if (h == nullptr || known().count(h) == 0) return nullptr;
    auto* p = static_cast<Handle*>(h);
    if (p->magic != kMagic || p->freed || p->type != type) return nullptr;
    return p;
}

Handle* make_handle(SQLSMALLINT type, Handle* parent);

SQLRETURN error(Handle* h, const char* state, const char* message) {
    if (h != nullptr)
        h->diags.push_back({state, 0, std::string("[standin]") + message});
    return SQL_ERROR;
}

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// ---- Text helpers ----------------------------------------------------------

// A string argument as the function sees it: NUL-terminated for SQL_NTS,
// else `len` bytes.  False for a negative length other than SQL_NTS.
bool read_text(const SQLCHAR* p, SQLINTEGER len, std::string& out) {
    out.clear();
    if (p == nullptr) return true;
    const char* c = reinterpret_cast<const char*>(p);
    if (len == SQL_NTS) {
        out = c;
        return true;
    }
    if (len < 0) return false;
    out.assign(c, static_cast<std::size_t>(len));
    return true;
}

// A string argument for the log.
std::string log_text(const SQLCHAR* p, SQLINTEGER len) {
    if (p == nullptr) return "(null)";
    std::string s;
    if (!read_text(p, len, s))
        return "(bad length " + std::to_string(len) + ")";
    return s;
}

// Copies `v` into an output buffer with ODBC's truncation rule: at most
// buflen - 1 bytes and a NUL; *outlen receives the whole length.  A value
// that does not fit gives SQL_SUCCESS_WITH_INFO (and 01004 on h when h is
// given).
template <class Len>
SQLRETURN put_text(const std::string& v, void* buf, SQLLEN buflen, Len* outlen,
                   Handle* h) {
    if (outlen != nullptr) *outlen = static_cast<Len>(v.size());
    if (buf == nullptr) return SQL_SUCCESS;
    if (buflen > 0) {
        const std::size_t n =
            std::min(v.size(), static_cast<std::size_t>(buflen) - 1);
        std::memcpy(buf, v.data(), n);
        static_cast<char*>(buf)[n] = 0;
    }
    if (static_cast<SQLLEN>(v.size()) < buflen) return SQL_SUCCESS;
    if (h != nullptr)
        h->diags.push_back(
            {"01004", 0, "[standin]String data, right truncated"});
    return SQL_SUCCESS_WITH_INFO;
}

// ---- Rules and the common path of every call -------------------------------

Rule* take_rule(const char* fn, SQLSMALLINT type) {
    for (auto it = rules.rbegin(); it != rules.rend(); ++it) {
        Rule& r = *it;
        if (r.function != fn || r.times == 0) continue;
        if (r.handle_type != 0 && r.handle_type != type) continue;
        if (r.skip > 0) {
            --r.skip;
            return nullptr;
        }
        if (r.times > 0) --r.times;
        return &r;
    }
    return nullptr;
}

void apply_diag(const Rule& r, Handle* h, const char* fn) {
    if (h == nullptr || r.state.empty() ||
        std::strcmp(fn, "SQLGetDiagRec") == 0)
        return;
    h->diags.push_back({r.state, r.native, r.message});
}

// One call: logs it, checks its handle (check_type 0: no handle to check),
// clears the handle's diagnostics, applies a rule, else runs `work`.
template <class Work>
SQLRETURN call(const char* fn, SQLHANDLE h, SQLSMALLINT check_type,
               SQLSMALLINT rule_type, std::vector<std::string> args, Work work,
               SQLHANDLE* alloc_out = nullptr) {
    const std::lock_guard<BigLock> one_call_at_a_time(big_lock());
    const std::size_t index = call_log.size();
    call_log.push_back({fn, h, std::move(args), SQL_ERROR});
    Handle* hd = nullptr;
    SQLRETURN rc;
    if (check_type != 0 && (hd = find(h, check_type)) == nullptr) {
        ++invalid_uses;
        if (alloc_out != nullptr) *alloc_out = SQL_NULL_HANDLE;
        rc = SQL_INVALID_HANDLE;
    } else {
        if (hd != nullptr && std::strcmp(fn, "SQLGetDiagRec") != 0)
            hd->diags.clear();
        const Rule* r = take_rule(fn, rule_type);
        if (r != nullptr && !succeeded(r->rc)) {
            if (alloc_out != nullptr) *alloc_out = SQL_NULL_HANDLE;
            apply_diag(*r, hd, fn);
            rc = r->rc;
        } else {
            rc = work();
            if (r != nullptr && succeeded(rc)) {
                apply_diag(*r, hd, fn);
                rc = r->rc;
            }
        }
    }
    call_log[index].rc = rc;
    return rc;
}

std::string num(long long v) { return std::to_string(v); }

// ---- Attributes -------------------------------------------------------------

enum class Kind { U32, ULen, Ptr, Text };
struct AttrInfo {
    SQLINTEGER id;
    Kind kind;
    SQLULEN initial;
    const char* initial_text;
    bool read_only;
};

// Connection attributes with the types ODBC gives them.
constexpr AttrInfo kConnAttrs[] = {
    {SQL_ATTR_ASYNC_ENABLE, Kind::ULen, 0, nullptr, false},
    {SQL_ATTR_ACCESS_MODE, Kind::U32, SQL_MODE_READ_WRITE, nullptr, false},
    {SQL_ATTR_AUTOCOMMIT, Kind::U32, SQL_AUTOCOMMIT_ON, nullptr, false},
    {SQL_ATTR_LOGIN_TIMEOUT, Kind::U32, 0, nullptr, false},
    {SQL_ATTR_TRACE, Kind::U32, SQL_OPT_TRACE_OFF, nullptr, false},
    {SQL_ATTR_TRACEFILE, Kind::Text, 0, "/tmp/SQL.LOG", false},
    {SQL_ATTR_TRANSLATE_LIB, Kind::Text, 0, "", false},
    {SQL_ATTR_TRANSLATE_OPTION, Kind::U32, 0, nullptr, false},
    {SQL_ATTR_TXN_ISOLATION, Kind::U32, SQL_TXN_READ_COMMITTED, nullptr, false},
    {SQL_ATTR_CURRENT_CATALOG, Kind::Text, 0, "main", false},
    {SQL_ATTR_ODBC_CURSORS, Kind::ULen, SQL_CUR_USE_DRIVER, nullptr, false},
    {SQL_ATTR_QUIET_MODE, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_PACKET_SIZE, Kind::U32, 4096, nullptr, false},
    {SQL_ATTR_CONNECTION_TIMEOUT, Kind::U32, 0, nullptr, false},
    {SQL_ATTR_CONNECTION_DEAD, Kind::U32, SQL_CD_TRUE, nullptr, true},
    {SQL_ATTR_AUTO_IPD, Kind::U32, SQL_FALSE, nullptr, true},
    {SQL_ATTR_METADATA_ID, Kind::U32, SQL_FALSE, nullptr, false},
};

// Statement attributes: on 64-bit every integer one is an SQLULEN.
constexpr AttrInfo kStmtAttrs[] = {
    {SQL_ATTR_CURSOR_SENSITIVITY, Kind::ULen, SQL_UNSPECIFIED, nullptr, false},
    {SQL_ATTR_CURSOR_SCROLLABLE, Kind::ULen, SQL_NONSCROLLABLE, nullptr, false},
    {SQL_ATTR_QUERY_TIMEOUT, Kind::ULen, 0, nullptr, false},
    {SQL_ATTR_MAX_ROWS, Kind::ULen, 0, nullptr, false},
    {SQL_ATTR_NOSCAN, Kind::ULen, SQL_NOSCAN_OFF, nullptr, false},
    {SQL_ATTR_MAX_LENGTH, Kind::ULen, 0, nullptr, false},
    {SQL_ATTR_ASYNC_ENABLE, Kind::ULen, 0, nullptr, false},
    {SQL_ATTR_ROW_BIND_TYPE, Kind::ULen, SQL_BIND_BY_COLUMN, nullptr, false},
    {SQL_ATTR_CURSOR_TYPE, Kind::ULen, SQL_CURSOR_FORWARD_ONLY, nullptr, false},
    {SQL_ATTR_CONCURRENCY, Kind::ULen, SQL_CONCUR_READ_ONLY, nullptr, false},
    {SQL_ATTR_KEYSET_SIZE, Kind::ULen, 0, nullptr, false},
    {SQL_ROWSET_SIZE, Kind::ULen, 1, nullptr, false},
    {SQL_ATTR_SIMULATE_CURSOR, Kind::ULen, 0, nullptr, false},
    {SQL_ATTR_RETRIEVE_DATA, Kind::ULen, SQL_RD_ON, nullptr, false},
    {SQL_ATTR_USE_BOOKMARKS, Kind::ULen, SQL_UB_OFF, nullptr, false},
    {SQL_ATTR_ROW_NUMBER, Kind::ULen, 0, nullptr, true},
    {SQL_ATTR_ENABLE_AUTO_IPD, Kind::ULen, SQL_FALSE, nullptr, false},
    {SQL_ATTR_FETCH_BOOKMARK_PTR, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_PARAM_BIND_OFFSET_PTR, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_PARAM_BIND_TYPE, Kind::ULen, SQL_PARAM_BIND_BY_COLUMN, nullptr,
     false},
    {SQL_ATTR_PARAM_OPERATION_PTR, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_PARAM_STATUS_PTR, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_PARAMS_PROCESSED_PTR, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_PARAMSET_SIZE, Kind::ULen, 1, nullptr, false},
    {SQL_ATTR_ROW_BIND_OFFSET_PTR, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_ROW_OPERATION_PTR, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_ROW_STATUS_PTR, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_ROWS_FETCHED_PTR, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_ROW_ARRAY_SIZE, Kind::ULen, 1, nullptr, false},
    {SQL_ATTR_APP_ROW_DESC, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_APP_PARAM_DESC, Kind::Ptr, 0, nullptr, false},
    {SQL_ATTR_IMP_ROW_DESC, Kind::Ptr, 0, nullptr, true},
    {SQL_ATTR_IMP_PARAM_DESC, Kind::Ptr, 0, nullptr, true},
    {SQL_ATTR_METADATA_ID, Kind::ULen, SQL_FALSE, nullptr, false},
};

const AttrInfo* attr_info(SQLSMALLINT type, SQLINTEGER id) {
    if (type == SQL_HANDLE_DBC) {
        for (const AttrInfo& a : kConnAttrs)
            if (a.id == id) return &a;
    } else {
        for (const AttrInfo& a : kStmtAttrs)
            if (a.id == id) return &a;
    }
    return nullptr;
}

void init_attrs(Handle* h) {
    h->ints.clear();
    h->texts.clear();
    if (h->type == SQL_HANDLE_DBC) {
        for (const AttrInfo& a : kConnAttrs) {
            if (a.kind == Kind::Text)
                h->texts[a.id] = a.initial_text;
            else
                h->ints[a.id] = a.initial;
        }
    } else if (h->type == SQL_HANDLE_STMT) {
        for (const AttrInfo& a : kStmtAttrs) h->ints[a.id] = a.initial;
    }
}

// The current value of an integer attribute (some follow the handle's
// state).
SQLULEN attr_value(const Handle* h, SQLINTEGER id) {
    if (h->type == SQL_HANDLE_DBC && id == SQL_ATTR_CONNECTION_DEAD)
        return h->connected ? SQL_CD_FALSE : SQL_CD_TRUE;
    if (h->type == SQL_HANDLE_STMT && id == SQL_ATTR_ROW_NUMBER)
        return h->position >= 1 && h->position <= h->result.rows.size()
                   ? h->position
                   : 0;
    const auto it = h->ints.find(id);
    return it == h->ints.end() ? 0 : it->second;
}

// The log's view of a set-attribute call.
std::vector<std::string> set_attr_args(SQLSMALLINT type, SQLINTEGER attr,
                                       SQLPOINTER value, SQLINTEGER len) {
    const AttrInfo* a = attr_info(type, attr);
    std::string v =
        a != nullptr && a->kind == Kind::Text
            ? log_text(static_cast<const SQLCHAR*>(value), len)
            : num(static_cast<long long>(reinterpret_cast<intptr_t>(value)));
    return {num(attr), v, num(len)};
}

SQLRETURN set_attr(Handle* h, SQLINTEGER attr, SQLPOINTER value,
                   SQLINTEGER len) {
    const AttrInfo* a = attr_info(h->type, attr);
    if (a == nullptr || a->read_only)
        return error(h, "HY092", "Invalid attribute/option identifier");
    if (a->kind == Kind::Text) {
        if (value == nullptr)
            return error(h, "HY009", "Invalid use of null pointer");
        std::string s;
        if (!read_text(static_cast<const SQLCHAR*>(value), len, s))
            return error(h, "HY090", "Invalid string or buffer length");
        h->texts[attr] = s;
    } else {
        h->ints[attr] =
            static_cast<SQLULEN>(reinterpret_cast<uintptr_t>(value));
    }
    return SQL_SUCCESS;
}

// Writes an attribute with its ODBC width; text with the truncation rule.
SQLRETURN get_attr(Handle* h, SQLINTEGER attr, SQLPOINTER value,
                   SQLINTEGER buflen, SQLINTEGER* outlen) {
    const AttrInfo* a = attr_info(h->type, attr);
    if (a == nullptr)
        return error(h, "HY092", "Invalid attribute/option identifier");
    if (a->kind == Kind::Text) {
        if (buflen < 0 && value != nullptr)
            return error(h, "HY090", "Invalid string or buffer length");
        return put_text(h->texts[attr], value, buflen, outlen, h);
    }
    const SQLULEN v = attr_value(h, attr);
    if (a->kind == Kind::U32) {
        const auto v32 = static_cast<SQLUINTEGER>(v);
        if (value != nullptr) std::memcpy(value, &v32, sizeof v32);
        if (outlen != nullptr) *outlen = sizeof v32;
    } else {
        if (value != nullptr) std::memcpy(value, &v, sizeof v);
        if (outlen != nullptr) *outlen = sizeof v;
    }
    return SQL_SUCCESS;
}

// ---- Statements -------------------------------------------------------------

bool cursor_open(const Handle* s) {
    return s->executed && !s->result.columns.empty();
}

void open_result(Handle* s, Result r) {
    s->result = std::move(r);
    s->executed = true;
    s->position = 0;
    s->progress.clear();
    s->rowset_start = s->rowset_rows = 0;
}

void close_cursor(Handle* s) {
    s->result = Result{};
    s->executed = false;
    s->position = 0;
    s->progress.clear();
    s->rowset_start = s->rowset_rows = 0;
}

Result next_result(Result fallback) {
    if (script.results.empty()) return fallback;
    Result r = std::move(script.results.front());
    script.results.pop_front();
    return r;
}

Result catalog_columns() {
    Result r = table(
        {"TABLE_CAT", "TABLE_SCHEM", "TABLE_NAME", "TABLE_TYPE", "REMARKS"},
        {});
    r.row_count = -1;
    return r;
}

std::string type_name(SQLLEN t) {
    switch (t) {
        case SQL_CHAR:
            return "CHAR";
        case SQL_VARCHAR:
            return "VARCHAR";
        case SQL_LONGVARCHAR:
            return "TEXT";
        case SQL_INTEGER:
            return "INTEGER";
        case SQL_SMALLINT:
            return "SMALLINT";
        case SQL_BIGINT:
            return "BIGINT";
        case SQL_DOUBLE:
            return "DOUBLE";
        case SQL_TYPE_DATE:
            return "DATE";
        case SQL_TYPE_TIMESTAMP:
            return "TIMESTAMP";
        default:
            return "";
    }
}

// Parses a column value for the 4-byte integer targets; fractions are cut
// with 01S07 as drivers do.
SQLRETURN get_long(Handle* s, const std::string& text, SQLSMALLINT c_type,
                   void* target) {
    const bool is_signed = c_type != SQL_C_ULONG;
    const bool wide = c_type == SQL_C_SBIGINT;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE)
        return error(s, end == begin ? "22018" : "22003",
                     end == begin ? "Invalid character value for cast"
                                  : "Numeric value out of range");
    bool cut = false;
    if (*end == '.') {
        ++end;
        while (*end >= '0' && *end <= '9') cut = cut || *end++ != '0';
    }
    while (*end == ' ') ++end;
    if (*end != 0) return error(s, "22018", "Invalid character value for cast");
    const long long lo = wide ? INT64_MIN : is_signed ? INT32_MIN : 0;
    const long long hi = wide ? INT64_MAX : is_signed ? INT32_MAX : UINT32_MAX;
    if (v < lo || v > hi)
        return error(s, "22003", "Numeric value out of range");
    if (wide) {
        const SQLBIGINT bits = v;
        std::memcpy(target, &bits, sizeof bits);
    } else {
        const uint32_t bits = static_cast<uint32_t>(v);
        std::memcpy(target, &bits, sizeof bits);
    }
    if (!cut) return SQL_SUCCESS;
    s->diags.push_back({"01S07", 0, "[standin]Fractional truncation"});
    return SQL_SUCCESS_WITH_INFO;
}

Handle* make_handle(SQLSMALLINT type, Handle* parent) {
    auto* h = new Handle;
    h->type = type;
    h->parent = parent;
    init_attrs(h);
    all_handles().push_back(h);
    known().insert(h);
    return h;
}

}  // namespace

// ---- Public helpers ---------------------------------------------------------

Column column(std::string name, SQLLEN sql_type, SQLLEN display_size) {
    Column c;
    c.name = std::move(name);
    c.sql_type = sql_type;
    c.display_size = display_size;
    return c;
}

Result table(std::vector<std::string> names,
             std::vector<std::vector<Value>> rows) {
    Result r;
    for (std::string& n : names) r.columns.push_back(column(std::move(n)));
    r.rows = std::move(rows);
    return r;
}

Rule& fail(std::string function, SQLRETURN rc, std::string state,
           SQLINTEGER native, std::string message) {
    Rule r;
    r.function = std::move(function);
    r.rc = rc;
    r.state = std::move(state);
    r.native = native;
    r.message = std::move(message);
    rules.push_back(std::move(r));
    return rules.back();
}

void push_diag(SQLHANDLE h, std::string state, SQLINTEGER native,
               std::string message) {
    if (h == nullptr || known().count(h) == 0) return;
    static_cast<Handle*>(h)->diags.push_back(
        {std::move(state), native, std::move(message)});
}

SQLHANDLE last_handle(SQLSMALLINT type) {
    const auto& v = all_handles();
    for (auto it = v.rbegin(); it != v.rend(); ++it)
        if ((*it)->type == type) return *it;
    return SQL_NULL_HANDLE;
}

std::vector<SQLHANDLE> live_handles(SQLSMALLINT type) {
    std::vector<SQLHANDLE> out;
    for (Handle* h : all_handles())
        if (h->type == type && !h->freed) out.push_back(h);
    return out;
}

void set_result(SQLHSTMT stmt, Result r) {
    if (Handle* s = find(stmt, SQL_HANDLE_STMT)) open_result(s, std::move(r));
}

bool connected(SQLHDBC dbc) {
    const Handle* h = find(dbc, SQL_HANDLE_DBC);
    return h != nullptr && h->connected;
}

std::optional<SQLULEN> int_attr(SQLHANDLE h, SQLINTEGER attr) {
    Handle* p = find(h, SQL_HANDLE_DBC);
    if (p == nullptr) p = find(h, SQL_HANDLE_STMT);
    if (p == nullptr) return std::nullopt;
    const AttrInfo* a = attr_info(p->type, attr);
    if (a == nullptr || a->kind == Kind::Text) return std::nullopt;
    return attr_value(p, attr);
}

std::optional<std::string> text_attr(SQLHDBC h, SQLINTEGER attr) {
    const Handle* p = find(h, SQL_HANDLE_DBC);
    if (p == nullptr) return std::nullopt;
    const auto it = p->texts.find(attr);
    if (it == p->texts.end()) return std::nullopt;
    return it->second;
}

const std::vector<LogEntry>& log() { return call_log; }

std::vector<LogEntry> calls_to(const std::string& function) {
    const std::lock_guard<BigLock> no_call_meanwhile(big_lock());
    std::vector<LogEntry> out;
    for (const LogEntry& e : call_log)
        if (e.function == function) out.push_back(e);
    return out;
}

std::vector<std::string> call_names() {
    std::vector<std::string> out;
    for (const LogEntry& e : call_log) out.push_back(e.function);
    return out;
}

int invalid_handle_uses() {
    const std::lock_guard<BigLock> no_call_meanwhile(big_lock());
    return invalid_uses;
}

void reset() {
    script = Script{};
    hooks = Hooks{};
    rules.clear();
    call_log.clear();
    executed_rows.clear();
    invalid_uses = 0;
    for (Handle* h : all_handles()) {
        h->diags.clear();
        h->next_source = 0;
        h->executed = false;
        h->result = Result{};
        h->position = 0;
        h->progress.clear();
        h->bound.clear();
        h->rowset_start = h->rowset_rows = 0;
        h->prepared.clear();
        h->is_prepared = false;
        h->params.clear();
        h->cancelled = false;
    }
}

void forget_freed_handles() {
    std::unordered_set<const Handle*> parents;
    for (const Handle* h : all_handles())
        if (!h->freed) parents.insert(h->parent);
    std::erase_if(all_handles(), [&](Handle* h) {
        if (!h->freed || parents.count(h) != 0) return false;
        known().erase(h);
        delete h;
        return true;
    });
}

// ---- Default behaviour ------------------------------------------------------

namespace base {

SQLRETURN SQLAllocHandle(SQLSMALLINT type, SQLHANDLE in, SQLHANDLE* out) {
    Handle* parent = nullptr;
    if (type == SQL_HANDLE_DBC) parent = find(in, SQL_HANDLE_ENV);
    if (type == SQL_HANDLE_STMT) parent = find(in, SQL_HANDLE_DBC);
    if (out == nullptr)
        return error(parent, "HY009", "Invalid use of null pointer");
    *out = SQL_NULL_HANDLE;
    switch (type) {
        case SQL_HANDLE_ENV:
            break;
        case SQL_HANDLE_DBC:
            if (parent == nullptr) return SQL_INVALID_HANDLE;
            if (parent->odbc_version == 0)
                return error(parent, "HY010", "Function sequence error");
            break;
        case SQL_HANDLE_STMT:
            if (parent == nullptr) return SQL_INVALID_HANDLE;
            if (!parent->connected)
                return error(parent, "08003", "Connection not open");
            break;
        default:
            return error(find(in, SQL_HANDLE_DBC), "HY092",
                         "Invalid attribute/option identifier");
    }
    *out = make_handle(type, parent);
    return SQL_SUCCESS;
}

SQLRETURN SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle) {
    Handle* h = find(handle, type);
    if (h == nullptr) return SQL_INVALID_HANDLE;
    if (type == SQL_HANDLE_ENV) {
        for (const Handle* c : all_handles())
            if (c->parent == h && !c->freed)
                return error(h, "HY010", "Function sequence error");
    }
    if (type == SQL_HANDLE_DBC && h->connected)
        return error(h, "HY010", "Function sequence error");
    h->freed = true;
    return SQL_SUCCESS;
}

SQLRETURN SQLSetEnvAttr(SQLHENV env, SQLINTEGER attr, SQLPOINTER value,
                        SQLINTEGER) {
    Handle* h = find(env, SQL_HANDLE_ENV);
    if (h == nullptr) return SQL_INVALID_HANDLE;
    const auto v = static_cast<SQLULEN>(reinterpret_cast<uintptr_t>(value));
    switch (attr) {
        case SQL_ATTR_ODBC_VERSION:
            if (v != SQL_OV_ODBC2 && v != SQL_OV_ODBC3 && v != 380)
                return error(h, "HY024", "Invalid attribute value");
            h->odbc_version = v;
            return SQL_SUCCESS;
        case SQL_ATTR_CONNECTION_POOLING:
        case SQL_ATTR_CP_MATCH:
        case SQL_ATTR_OUTPUT_NTS:
            return SQL_SUCCESS;
        default:
            return error(h, "HY092", "Invalid attribute/option identifier");
    }
}

SQLRETURN SQLConnect(SQLHDBC dbc, SQLCHAR* server, SQLSMALLINT l1,
                     SQLCHAR* user, SQLSMALLINT l2, SQLCHAR* pw,
                     SQLSMALLINT l3) {
    Handle* h = find(dbc, SQL_HANDLE_DBC);
    if (h == nullptr) return SQL_INVALID_HANDLE;
    std::string s;
    if (!read_text(server, l1, s) || !read_text(user, l2, s) ||
        !read_text(pw, l3, s))
        return error(h, "HY090", "Invalid string or buffer length");
    if (h->connected) return error(h, "08002", "Connection name in use");
    h->connected = true;
    return SQL_SUCCESS;
}

SQLRETURN SQLDisconnect(SQLHDBC dbc) {
    Handle* h = find(dbc, SQL_HANDLE_DBC);
    if (h == nullptr) return SQL_INVALID_HANDLE;
    if (!h->connected) return error(h, "08003", "Connection not open");
    // Disconnecting frees the connection's statements.
    for (Handle* c : all_handles())
        if (c->parent == h) c->freed = true;
    h->connected = false;
    return SQL_SUCCESS;
}

SQLRETURN SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT rec,
                        SQLCHAR* state, SQLINTEGER* native, SQLCHAR* message,
                        SQLSMALLINT buflen, SQLSMALLINT* textlen) {
    Handle* h = find(handle, type);
    if (h == nullptr) return SQL_INVALID_HANDLE;
    if (rec < 1 || buflen < 0) return SQL_ERROR;
    if (static_cast<std::size_t>(rec) > h->diags.size()) return SQL_NO_DATA;
    const Diag& d = h->diags[rec - 1];
    if (state != nullptr) {
        const std::size_t n = std::min<std::size_t>(d.state.size(), 5);
        std::memcpy(state, d.state.data(), n);
        state[n] = 0;
    }
    if (native != nullptr) *native = d.native;
    return put_text(d.message, message, buflen, textlen, nullptr);
}

SQLRETURN SQLGetInfo(SQLHDBC dbc, SQLUSMALLINT type, SQLPOINTER value,
                     SQLSMALLINT buflen, SQLSMALLINT* outlen) {
    Handle* h = find(dbc, SQL_HANDLE_DBC);
    if (h == nullptr) return SQL_INVALID_HANDLE;
    if (!h->connected && type != SQL_ODBC_VER)
        return error(h, "08003", "Connection not open");
    if (const auto n = script.info_numbers.find(type);
        n != script.info_numbers.end()) {
        if (value != nullptr) std::memcpy(value, &n->second, sizeof n->second);
        if (outlen != nullptr) *outlen = sizeof n->second;
        return SQL_SUCCESS;
    }
    const auto it = script.info.find(type);
    if (it == script.info.end())
        return error(h, "HY096", "Information type out of range");
    if (buflen < 0) return error(h, "HY090", "Invalid string or buffer length");
    return put_text(it->second, value, buflen, outlen, h);
}

SQLRETURN SQLExecDirect(SQLHSTMT stmt, SQLCHAR* text, SQLINTEGER len) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    std::string sql;
    if (text == nullptr)
        return error(s, "HY009", "Invalid use of null pointer");
    if (!read_text(text, len, sql))
        return error(s, "HY090", "Invalid string or buffer length");
    if (script.refuse_exec_with_open_cursor && cursor_open(s))
        return error(s, "24000", "Invalid cursor state");
    s->is_prepared = false;
    Result none;
    none.row_count = 0;
    open_result(s, next_result(std::move(none)));
    return SQL_SUCCESS;
}

SQLRETURN SQLPrepare(SQLHSTMT stmt, SQLCHAR* text, SQLINTEGER len) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (text == nullptr)
        return error(s, "HY009", "Invalid use of null pointer");
    if (!read_text(text, len, s->prepared))
        return error(s, "HY090", "Invalid string or buffer length");
    s->is_prepared = true;
    return SQL_SUCCESS;
}

// The markers of the prepared text: its question marks.
SQLSMALLINT marker_count(const Handle* s) {
    return static_cast<SQLSMALLINT>(
        std::count(s->prepared.begin(), s->prepared.end(), '?'));
}

// Reads row r of a bound parameter, as the driver would at execution:
// every byte its length names, from row r's element.
std::optional<std::string> read_param(const Handle* s, const Param& p,
                                      SQLULEN r) {
    const SQLULEN offset_ptr = attr_value(s, SQL_ATTR_PARAM_BIND_OFFSET_PTR);
    SQLLEN offset = 0;
    if (offset_ptr != 0)
        std::memcpy(&offset, reinterpret_cast<void*>(offset_ptr),
                    sizeof offset);
    SQLLEN len = 0;
    std::memcpy(&len, reinterpret_cast<const char*>(p.lengths + r) + offset,
                sizeof len);
    if (len == SQL_NULL_DATA) return std::nullopt;
    const char* at = static_cast<const char*>(p.values) + offset;
    if (p.c_type == SQL_C_SBIGINT) {
        int64_t v;
        std::memcpy(&v, at + r * sizeof v, sizeof v);
        return std::to_string(v);
    }
    return std::string(at + r * static_cast<SQLULEN>(p.buflen),
                       static_cast<std::size_t>(len));
}

SQLRETURN SQLExecute(SQLHSTMT stmt) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (!s->is_prepared) return error(s, "HY010", "Function sequence error");
    const SQLSMALLINT markers = marker_count(s);
    for (SQLSMALLINT m = 1; m <= markers; ++m)
        if (s->params.count(static_cast<SQLUSMALLINT>(m)) == 0)
            return error(s, "07002", "COUNT field incorrect");
    const SQLULEN rows = attr_value(s, SQL_ATTR_PARAMSET_SIZE);
    auto* status = reinterpret_cast<SQLUSMALLINT*>(
        attr_value(s, SQL_ATTR_PARAM_STATUS_PTR));
    for (SQLULEN r = 0; r < rows; ++r) {
        ParamRow row;
        for (SQLSMALLINT m = 1; m <= markers; ++m)
            row.push_back(
                read_param(s, s->params[static_cast<SQLUSMALLINT>(m)], r));
        executed_rows.push_back(std::move(row));
        if (status != nullptr) status[r] = SQL_PARAM_SUCCESS;
    }
    if (auto* done = reinterpret_cast<SQLULEN*>(
            attr_value(s, SQL_ATTR_PARAMS_PROCESSED_PTR)))
        *done = rows;
    Result none;
    none.row_count = static_cast<SQLLEN>(rows);
    open_result(s, next_result(std::move(none)));
    return hooks.SQLExecute ? hooks.SQLExecute(stmt, SQL_SUCCESS) : SQL_SUCCESS;
}

SQLRETURN SQLNumParams(SQLHSTMT stmt, SQLSMALLINT* count) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (!s->is_prepared) return error(s, "HY010", "Function sequence error");
    if (count != nullptr) *count = marker_count(s);
    return SQL_SUCCESS;
}

SQLRETURN SQLBindParameter(SQLHSTMT stmt, SQLUSMALLINT number,
                           SQLSMALLINT c_type, SQLPOINTER values, SQLLEN buflen,
                           SQLLEN* lengths) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (number == 0) return error(s, "07009", "Invalid descriptor index");
    if (lengths == nullptr)
        return error(s, "HY009", "Invalid use of null pointer");
    s->params[number] = Param{c_type, values, buflen, lengths};
    return SQL_SUCCESS;
}

SQLRETURN SQLTables(SQLHSTMT stmt, SQLCHAR* cat, SQLSMALLINT l1,
                    SQLCHAR* schema, SQLSMALLINT l2, SQLCHAR* table,
                    SQLSMALLINT l3, SQLCHAR* type, SQLSMALLINT l4) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    std::string t;
    if (!read_text(cat, l1, t) || !read_text(schema, l2, t) ||
        !read_text(table, l3, t) || !read_text(type, l4, t))
        return error(s, "HY090", "Invalid string or buffer length");
    if (script.refuse_exec_with_open_cursor && cursor_open(s))
        return error(s, "24000", "Invalid cursor state");
    open_result(s, next_result(catalog_columns()));
    return SQL_SUCCESS;
}

SQLRETURN SQLDataSources(SQLHENV env, SQLUSMALLINT direction, SQLCHAR* name,
                         SQLSMALLINT l1, SQLSMALLINT* out1, SQLCHAR* desc,
                         SQLSMALLINT l2, SQLSMALLINT* out2) {
    Handle* h = find(env, SQL_HANDLE_ENV);
    if (h == nullptr) return SQL_INVALID_HANDLE;
    if (direction == SQL_FETCH_FIRST || direction == SQL_FETCH_FIRST_USER ||
        direction == SQL_FETCH_FIRST_SYSTEM)
        h->next_source = 0;
    else if (direction != SQL_FETCH_NEXT)
        return error(h, "HY103", "Invalid retrieval code");
    if (l1 < 0 || l2 < 0)
        return error(h, "HY090", "Invalid string or buffer length");
    if (h->next_source >= script.data_sources.size()) {
        h->next_source = 0;  // the next SQL_FETCH_NEXT starts again
        return SQL_NO_DATA;
    }
    const auto& [dsn, text] = script.data_sources[h->next_source++];
    const SQLRETURN a = put_text(dsn, name, l1, out1, h);
    const SQLRETURN b = put_text(text, desc, l2, out2, h);
    return a == SQL_SUCCESS && b == SQL_SUCCESS ? SQL_SUCCESS
                                                : SQL_SUCCESS_WITH_INFO;
}

SQLRETURN SQLFreeStmt(SQLHSTMT stmt, SQLUSMALLINT option) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    switch (option) {
        case SQL_CLOSE:
            close_cursor(s);
            return SQL_SUCCESS;
        case SQL_DROP:
            s->freed = true;
            return SQL_SUCCESS;
        case SQL_UNBIND:
            s->bound.clear();
            return SQL_SUCCESS;
        case SQL_RESET_PARAMS:
            s->params.clear();
            return SQL_SUCCESS;
        default:
            return error(s, "HY092", "Invalid attribute/option identifier");
    }
}

SQLRETURN SQLRowCount(SQLHSTMT stmt, SQLLEN* count) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (!s->executed) return error(s, "HY010", "Function sequence error");
    if (count != nullptr)
        *count = s->result.row_count.value_or(
            static_cast<SQLLEN>(s->result.rows.size()));
    return SQL_SUCCESS;
}

SQLRETURN SQLNumResultCols(SQLHSTMT stmt, SQLSMALLINT* count) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (!s->executed) return error(s, "HY010", "Function sequence error");
    if (count != nullptr)
        *count = static_cast<SQLSMALLINT>(s->result.columns.size());
    return SQL_SUCCESS;
}

SQLRETURN SQLGetConnectAttr(SQLHDBC dbc, SQLINTEGER attr, SQLPOINTER value,
                            SQLINTEGER buflen, SQLINTEGER* outlen) {
    Handle* h = find(dbc, SQL_HANDLE_DBC);
    if (h == nullptr) return SQL_INVALID_HANDLE;
    return get_attr(h, attr, value, buflen, outlen);
}

SQLRETURN SQLSetConnectAttr(SQLHDBC dbc, SQLINTEGER attr, SQLPOINTER value,
                            SQLINTEGER len) {
    Handle* h = find(dbc, SQL_HANDLE_DBC);
    if (h == nullptr) return SQL_INVALID_HANDLE;
    return set_attr(h, attr, value, len);
}

SQLRETURN SQLGetStmtAttr(SQLHSTMT stmt, SQLINTEGER attr, SQLPOINTER value,
                         SQLINTEGER buflen, SQLINTEGER* outlen) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    return get_attr(s, attr, value, buflen, outlen);
}

SQLRETURN SQLSetStmtAttr(SQLHSTMT stmt, SQLINTEGER attr, SQLPOINTER value,
                         SQLINTEGER len) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    return set_attr(s, attr, value, len);
}

SQLRETURN SQLColAttribute(SQLHSTMT stmt, SQLUSMALLINT col, SQLUSMALLINT field,
                          SQLPOINTER text, SQLSMALLINT buflen,
                          SQLSMALLINT* textlen, SQLLEN* number) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (!s->executed) return error(s, "HY010", "Function sequence error");
    const auto& cols = s->result.columns;
    if (cols.empty())
        return error(s, "07005", "Prepared statement does not open a cursor");
    if (col < 1 || col > cols.size())
        return error(s, "07009", "Invalid descriptor index");
    const Column& c = cols[col - 1];
    const std::string* str = nullptr;
    std::string tname;
    SQLLEN n = 0;
    switch (field) {
        case SQL_DESC_NAME:
        case SQL_DESC_LABEL:
        case SQL_DESC_BASE_COLUMN_NAME:
            str = &c.name;
            break;
        case SQL_DESC_TABLE_NAME:
        case SQL_DESC_BASE_TABLE_NAME:
            str = &c.table;
            break;
        case SQL_DESC_SCHEMA_NAME:
            str = &c.schema;
            break;
        case SQL_DESC_CATALOG_NAME:
            str = &c.catalog;
            break;
        case SQL_DESC_TYPE_NAME:
            tname = type_name(c.concise_type.value_or(c.sql_type));
            str = &tname;
            break;
        case SQL_DESC_COUNT:
            n = static_cast<SQLLEN>(cols.size());
            break;
        case SQL_DESC_DISPLAY_SIZE:
        case SQL_DESC_LENGTH:
        case SQL_DESC_OCTET_LENGTH:
            n = c.display_size;
            break;
        case SQL_DESC_TYPE:
            n = c.sql_type;
            break;
        case SQL_DESC_CONCISE_TYPE:
            n = c.concise_type.value_or(c.sql_type);
            break;
        case SQL_DESC_NULLABLE:
            n = c.nullable;
            break;
        case SQL_DESC_AUTO_UNIQUE_VALUE:
            n = c.auto_unique;
            break;
        case SQL_DESC_PRECISION:
            n = c.precision;
            break;
        case SQL_DESC_SCALE:
            n = 0;
            break;
        case SQL_DESC_UNSIGNED:
            n = SQL_FALSE;
            break;
        case SQL_DESC_FIXED_PREC_SCALE:
            n = SQL_FALSE;
            break;
        case SQL_DESC_CASE_SENSITIVE:
            n = SQL_TRUE;
            break;
        case SQL_DESC_SEARCHABLE:
            n = SQL_PRED_SEARCHABLE;
            break;
        case SQL_DESC_UPDATABLE:
            n = SQL_ATTR_READWRITE_UNKNOWN;
            break;
        case SQL_DESC_UNNAMED:
            n = c.name.empty() ? SQL_UNNAMED : SQL_NAMED;
            break;
        default:
            return error(s, "HY091", "Invalid descriptor field identifier");
    }
    if (str == nullptr) {
        if (number != nullptr) *number = n;
        return SQL_SUCCESS;
    }
    if (buflen < 0 && text != nullptr)
        return error(s, "HY090", "Invalid string or buffer length");
    return put_text(*str, text, buflen, textlen, s);
}

// Puts value `v` into element `i` of a bound column as SQLGetData would
// put a whole value: cut to the element (character data keeps a byte for
// its terminator) with the whole length, or SQL_NO_TOTAL when the script
// says so, as indicator.  Returns whether it was cut.
bool put_bound(const Binding& b, std::size_t i, const Value& v, bool no_total) {
    SQLLEN* ind = b.indicator != nullptr ? b.indicator + i : nullptr;
    if (!v) {
        if (ind != nullptr) *ind = SQL_NULL_DATA;
        return false;
    }
    const bool text = b.type == SQL_C_CHAR;
    const auto room = static_cast<std::size_t>(b.length);
    const bool fits = text ? v->size() < room : v->size() <= room;
    const std::size_t n = fits ? v->size() : room - (text && room > 0 ? 1 : 0);
    char* to = b.target + i * room;
    if (!(text && room == 0)) {
        std::memcpy(to, v->data(), n);
        if (text) to[n] = 0;
    }
    if (ind != nullptr)
        *ind =
            !fits && no_total ? SQL_NO_TOTAL : static_cast<SQLLEN>(v->size());
    return !fits;
}

// Makes the rows from `rowset_start` on the current rowset, as many as
// SQL_ATTR_ROW_ARRAY_SIZE asks for and the result holds: fills the bound
// columns, the rows-fetched count and the row status array.
SQLRETURN fill_rowset(Handle* s) {
    const Result& r = s->result;
    const std::size_t size =
        std::max<SQLULEN>(attr_value(s, SQL_ATTR_ROW_ARRAY_SIZE), 1);
    const std::size_t rows =
        std::min(size, r.rows.size() + 1 - s->rowset_start);
    s->rowset_rows = rows;
    bool cut = false;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::vector<Value>& row = r.rows[s->rowset_start - 1 + i];
        for (const auto& [col, b] : s->bound) {
            const Value v = col <= row.size() ? row[col - 1] : Value{};
            cut = put_bound(b, i, v, r.no_total) || cut;
        }
    }
    if (auto* fetched = reinterpret_cast<SQLULEN*>(
            attr_value(s, SQL_ATTR_ROWS_FETCHED_PTR)))
        *fetched = rows;
    if (auto* status = reinterpret_cast<SQLUSMALLINT*>(
            attr_value(s, SQL_ATTR_ROW_STATUS_PTR)))
        for (std::size_t i = 0; i < size; ++i)
            status[i] = i < rows ? SQL_ROW_SUCCESS : SQL_ROW_NOROW;
    if (!cut) return SQL_SUCCESS;
    s->diags.push_back({"01004", 0, "[standin]String data, right truncated"});
    return SQL_SUCCESS_WITH_INFO;
}

SQLRETURN SQLGetData(SQLHSTMT stmt, SQLUSMALLINT col, SQLSMALLINT target_type,
                     SQLPOINTER target, SQLLEN buflen, SQLLEN* ind) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (!s->executed) return error(s, "HY010", "Function sequence error");
    const Result& r = s->result;
    if (r.columns.empty() || s->position < 1 || s->position > r.rows.size())
        return error(s, "24000", "Invalid cursor state");
    if (col < 1 || col > r.columns.size())
        return error(s, "07009", "Invalid descriptor index");
    if (target == nullptr)
        return error(s, "HY009", "Invalid use of null pointer");
    if (buflen < 0) return error(s, "HY090", "Invalid string or buffer length");
    const std::vector<Value>& row = r.rows[s->position - 1];
    const Value& v = col <= row.size() ? row[col - 1] : Value{};
    Progress& p = s->progress[col];
    if (p.done) return SQL_NO_DATA;
    if (!v) {
        if (ind == nullptr)
            return error(s, "22002",
                         "Indicator variable required but not supplied");
        *ind = SQL_NULL_DATA;
        p.done = true;
        return SQL_SUCCESS;
    }
    const std::string& value = *v;
    const std::size_t remaining = value.size() - p.offset;
    const char* from = value.data() + p.offset;
    auto* to = static_cast<char*>(target);
    switch (target_type) {
        case SQL_C_CHAR:
        case SQL_C_BINARY: {
            // Character data keeps one byte of the buffer for its NUL.
            const bool text = target_type == SQL_C_CHAR;
            const std::size_t room =
                static_cast<std::size_t>(buflen) - (text && buflen > 0 ? 1 : 0);
            const bool fits =
                text ? remaining < static_cast<std::size_t>(buflen)
                     : remaining <= static_cast<std::size_t>(buflen);
            const std::size_t n = fits ? remaining : room;
            if (!(text && buflen == 0)) {
                std::memcpy(to, from, n);
                if (text) to[n] = 0;
            }
            if (ind != nullptr)
                *ind = !fits && r.no_total ? SQL_NO_TOTAL
                                           : static_cast<SQLLEN>(remaining);
            if (fits) {
                p.done = true;
                return SQL_SUCCESS;
            }
            p.offset += n;
            s->diags.push_back(
                {"01004", 0, "[standin]String data, right truncated"});
            return SQL_SUCCESS_WITH_INFO;
        }
        case SQL_C_SLONG:
        case SQL_C_LONG:
        case SQL_C_ULONG:
        case SQL_C_SBIGINT: {
            const SQLRETURN rc = get_long(s, value, target_type, target);
            if (succeeded(rc)) {
                if (ind != nullptr) *ind = target_type == SQL_C_SBIGINT ? 8 : 4;
                p.done = true;
            }
            return rc;
        }
        default:
            return error(s, "07006",
                         "Restricted data type attribute violation");
    }
}

SQLRETURN SQLFetchScroll(SQLHSTMT stmt, SQLSMALLINT orientation,
                         SQLLEN offset) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (!s->executed) return error(s, "HY010", "Function sequence error");
    if (s->result.columns.empty())
        return error(s, "24000", "Invalid cursor state");
    if (script.forward_only && orientation != SQL_FETCH_NEXT)
        return error(s, "HY106", "Fetch type out of range");
    const auto n = static_cast<SQLLEN>(s->result.rows.size());
    const auto pos = static_cast<SQLLEN>(s->position);
    SQLLEN target;
    switch (orientation) {
        case SQL_FETCH_NEXT:
            target = s->rowset_rows > 0
                         ? static_cast<SQLLEN>(s->rowset_start + s->rowset_rows)
                         : pos + 1;
            break;
        case SQL_FETCH_PRIOR:
            target = pos - 1;
            break;
        case SQL_FETCH_FIRST:
            target = 1;
            break;
        case SQL_FETCH_LAST:
            target = n == 0 ? n + 1 : n;
            break;
        case SQL_FETCH_ABSOLUTE:
            target = offset >= 0 ? offset : n + 1 + offset;
            break;
        case SQL_FETCH_RELATIVE:
            target = pos + offset;
            break;
        default:
            return error(s, "HY106", "Fetch type out of range");
    }
    s->progress.clear();
    s->rowset_rows = 0;
    if (target < 1) {
        s->position = s->rowset_start = 0;
        return SQL_NO_DATA;
    }
    if (target > n) {
        s->position = s->rowset_start = static_cast<std::size_t>(n) + 1;
        return SQL_NO_DATA;
    }
    s->position = s->rowset_start = static_cast<std::size_t>(target);
    return fill_rowset(s);
}

SQLRETURN SQLBindCol(SQLHSTMT stmt, SQLUSMALLINT col, SQLSMALLINT type,
                     SQLPOINTER target, SQLLEN length, SQLLEN* indicator) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (target == nullptr) {
        s->bound.erase(col);
        return SQL_SUCCESS;
    }
    if (type != SQL_C_CHAR && type != SQL_C_BINARY)
        return error(s, "HY003", "Invalid application buffer type");
    if (length < 0) return error(s, "HY090", "Invalid string or buffer length");
    s->bound[col] = {type, static_cast<char*>(target), length, indicator};
    return SQL_SUCCESS;
}

SQLRETURN SQLSetPos(SQLHSTMT stmt, SQLSETPOSIROW row, SQLUSMALLINT operation,
                    SQLUSMALLINT) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (!s->executed) return error(s, "HY010", "Function sequence error");
    if (operation != SQL_POSITION)
        return error(s, "HYC00", "Optional feature not implemented");
    if (s->rowset_rows == 0) return error(s, "24000", "Invalid cursor state");
    if (row < 1 || row > s->rowset_rows)
        return error(s, "HY107", "Row value out of range");
    s->position = s->rowset_start + static_cast<std::size_t>(row) - 1;
    s->progress.clear();
    return SQL_SUCCESS;
}

SQLRETURN SQLCancel(SQLHSTMT stmt) {
    find(stmt, SQL_HANDLE_STMT)->cancelled = true;
    cancel_signal().notify_all();
    return SQL_SUCCESS;
}

}  // namespace base

bool wait_for_cancel(SQLHSTMT stmt, int ms) {
    Handle* s = find(stmt, SQL_HANDLE_STMT);
    if (s == nullptr) return false;
    // The caller's call holds big_lock() once: the wait lets it go.
    std::unique_lock<BigLock> held(big_lock(), std::adopt_lock);
    const bool cancelled = cancel_signal().wait_for(
        held, std::chrono::milliseconds(ms), [s] { return s->cancelled; });
    held.release();
    s->cancelled = false;
    return cancelled;
}
}  // namespace standin

// ---- The ODBC entry points --------------------------------------------------

using namespace standin;

namespace {

SQLSMALLINT parent_type(SQLSMALLINT type) {
    return type == SQL_HANDLE_DBC    ? SQL_HANDLE_ENV
           : type == SQL_HANDLE_STMT ? SQL_HANDLE_DBC
                                     : 0;
}
}  // namespace

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE in,
                                 SQLHANDLE* out) {
    return call(
        "SQLAllocHandle", in, parent_type(type), type, {num(type)},
        [&] {
            return hooks.SQLAllocHandle ? hooks.SQLAllocHandle(type, in, out)
                                        : base::SQLAllocHandle(type, in, out);
        },
        out);
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE h) {
    return call("SQLFreeHandle", h, type, type, {num(type)}, [&] {
        return hooks.SQLFreeHandle ? hooks.SQLFreeHandle(type, h)
                                   : base::SQLFreeHandle(type, h);
    });
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV env, SQLINTEGER attr, SQLPOINTER value,
                                SQLINTEGER len) {
    return call("SQLSetEnvAttr", env, SQL_HANDLE_ENV, SQL_HANDLE_ENV,
                {num(attr), num(reinterpret_cast<intptr_t>(value))}, [&] {
                    return hooks.SQLSetEnvAttr
                               ? hooks.SQLSetEnvAttr(env, attr, value, len)
                               : base::SQLSetEnvAttr(env, attr, value, len);
                });
}

SQLRETURN SQL_API SQLConnect(SQLHDBC dbc, SQLCHAR* server, SQLSMALLINT l1,
                             SQLCHAR* user, SQLSMALLINT l2, SQLCHAR* pw,
                             SQLSMALLINT l3) {
    return call(
        "SQLConnect", dbc, SQL_HANDLE_DBC, SQL_HANDLE_DBC,
        {log_text(server, l1), log_text(user, l2), log_text(pw, l3)}, [&] {
            return hooks.SQLConnect
                       ? hooks.SQLConnect(dbc, server, l1, user, l2, pw, l3)
                       : base::SQLConnect(dbc, server, l1, user, l2, pw, l3);
        });
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC dbc) {
    return call("SQLDisconnect", dbc, SQL_HANDLE_DBC, SQL_HANDLE_DBC, {}, [&] {
        return hooks.SQLDisconnect ? hooks.SQLDisconnect(dbc)
                                   : base::SQLDisconnect(dbc);
    });
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec,
                                SQLCHAR* state, SQLINTEGER* native,
                                SQLCHAR* message, SQLSMALLINT buflen,
                                SQLSMALLINT* textlen) {
    return call(
        "SQLGetDiagRec", h, type, type, {num(type), num(rec), num(buflen)},
        [&] {
            return hooks.SQLGetDiagRec
                       ? hooks.SQLGetDiagRec(type, h, rec, state, native,
                                             message, buflen, textlen)
                       : base::SQLGetDiagRec(type, h, rec, state, native,
                                             message, buflen, textlen);
        });
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC dbc, SQLUSMALLINT type, SQLPOINTER value,
                             SQLSMALLINT buflen, SQLSMALLINT* outlen) {
    return call(
        "SQLGetInfo", dbc, SQL_HANDLE_DBC, SQL_HANDLE_DBC,
        {num(type), num(buflen)}, [&] {
            return hooks.SQLGetInfo
                       ? hooks.SQLGetInfo(dbc, type, value, buflen, outlen)
                       : base::SQLGetInfo(dbc, type, value, buflen, outlen);
        });
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT stmt, SQLCHAR* text, SQLINTEGER len) {
    return call("SQLExecDirect", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {log_text(text, len)}, [&] {
                    return hooks.SQLExecDirect
                               ? hooks.SQLExecDirect(stmt, text, len)
                               : base::SQLExecDirect(stmt, text, len);
                });
}

SQLRETURN SQL_API SQLPrepare(SQLHSTMT stmt, SQLCHAR* text, SQLINTEGER len) {
    return call("SQLPrepare", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {log_text(text, len)},
                [&] { return base::SQLPrepare(stmt, text, len); });
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT stmt) {
    return call("SQLExecute", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT, {},
                [&] { return base::SQLExecute(stmt); });
}

SQLRETURN SQL_API SQLNumParams(SQLHSTMT stmt, SQLSMALLINT* count) {
    return call("SQLNumParams", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT, {},
                [&] { return base::SQLNumParams(stmt, count); });
}

SQLRETURN SQL_API SQLBindParameter(SQLHSTMT stmt, SQLUSMALLINT number,
                                   SQLSMALLINT io, SQLSMALLINT c_type,
                                   SQLSMALLINT sql_type, SQLULEN size,
                                   SQLSMALLINT digits, SQLPOINTER values,
                                   SQLLEN buflen, SQLLEN* lengths) {
    (void)io;
    return call("SQLBindParameter", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {num(number), num(c_type), num(sql_type), num(size),
                 num(digits), num(buflen)},
                [&] {
                    return base::SQLBindParameter(stmt, number, c_type, values,
                                                  buflen, lengths);
                });
}

SQLRETURN SQL_API SQLTables(SQLHSTMT stmt, SQLCHAR* cat, SQLSMALLINT l1,
                            SQLCHAR* schema, SQLSMALLINT l2, SQLCHAR* table,
                            SQLSMALLINT l3, SQLCHAR* type, SQLSMALLINT l4) {
    return call("SQLTables", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {log_text(cat, l1), log_text(schema, l2), log_text(table, l3),
                 log_text(type, l4)},
                [&] {
                    return hooks.SQLTables
                               ? hooks.SQLTables(stmt, cat, l1, schema, l2,
                                                 table, l3, type, l4)
                               : base::SQLTables(stmt, cat, l1, schema, l2,
                                                 table, l3, type, l4);
                });
}

SQLRETURN SQL_API SQLDataSources(SQLHENV env, SQLUSMALLINT direction,
                                 SQLCHAR* name, SQLSMALLINT l1,
                                 SQLSMALLINT* out1, SQLCHAR* desc,
                                 SQLSMALLINT l2, SQLSMALLINT* out2) {
    return call("SQLDataSources", env, SQL_HANDLE_ENV, SQL_HANDLE_ENV,
                {num(direction)}, [&] {
                    return hooks.SQLDataSources
                               ? hooks.SQLDataSources(env, direction, name, l1,
                                                      out1, desc, l2, out2)
                               : base::SQLDataSources(env, direction, name, l1,
                                                      out1, desc, l2, out2);
                });
}

SQLRETURN SQL_API SQLBindCol(SQLHSTMT stmt, SQLUSMALLINT col, SQLSMALLINT type,
                             SQLPOINTER target, SQLLEN length,
                             SQLLEN* indicator) {
    return call("SQLBindCol", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {num(col), num(type), num(length)}, [&] {
                    return base::SQLBindCol(stmt, col, type, target, length,
                                            indicator);
                });
}

SQLRETURN SQL_API SQLSetPos(SQLHSTMT stmt, SQLSETPOSIROW row,
                            SQLUSMALLINT operation, SQLUSMALLINT lock) {
    return call("SQLSetPos", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {num(static_cast<long long>(row)), num(operation), num(lock)},
                [&] { return base::SQLSetPos(stmt, row, operation, lock); });
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT stmt) {
    return call("SQLCancel", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT, {}, [&] {
        return hooks.SQLCancel ? hooks.SQLCancel(stmt) : base::SQLCancel(stmt);
    });
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT stmt, SQLUSMALLINT option) {
    return call("SQLFreeStmt", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {num(option)}, [&] {
                    return hooks.SQLFreeStmt ? hooks.SQLFreeStmt(stmt, option)
                                             : base::SQLFreeStmt(stmt, option);
                });
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT stmt, SQLLEN* count) {
    return call("SQLRowCount", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT, {}, [&] {
        return hooks.SQLRowCount ? hooks.SQLRowCount(stmt, count)
                                 : base::SQLRowCount(stmt, count);
    });
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT stmt, SQLSMALLINT* count) {
    return call(
        "SQLNumResultCols", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT, {}, [&] {
            return hooks.SQLNumResultCols ? hooks.SQLNumResultCols(stmt, count)
                                          : base::SQLNumResultCols(stmt, count);
        });
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC dbc, SQLINTEGER attr,
                                    SQLPOINTER value, SQLINTEGER buflen,
                                    SQLINTEGER* outlen) {
    return call("SQLGetConnectAttr", dbc, SQL_HANDLE_DBC, SQL_HANDLE_DBC,
                {num(attr), num(buflen)}, [&] {
                    return hooks.SQLGetConnectAttr
                               ? hooks.SQLGetConnectAttr(dbc, attr, value,
                                                         buflen, outlen)
                               : base::SQLGetConnectAttr(dbc, attr, value,
                                                         buflen, outlen);
                });
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC dbc, SQLINTEGER attr,
                                    SQLPOINTER value, SQLINTEGER len) {
    return call("SQLSetConnectAttr", dbc, SQL_HANDLE_DBC, SQL_HANDLE_DBC,
                set_attr_args(SQL_HANDLE_DBC, attr, value, len), [&] {
                    return hooks.SQLSetConnectAttr
                               ? hooks.SQLSetConnectAttr(dbc, attr, value, len)
                               : base::SQLSetConnectAttr(dbc, attr, value, len);
                });
}

SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT stmt, SQLINTEGER attr,
                                 SQLPOINTER value, SQLINTEGER buflen,
                                 SQLINTEGER* outlen) {
    return call("SQLGetStmtAttr", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {num(attr), num(buflen)}, [&] {
                    return hooks.SQLGetStmtAttr
                               ? hooks.SQLGetStmtAttr(stmt, attr, value, buflen,
                                                      outlen)
                               : base::SQLGetStmtAttr(stmt, attr, value, buflen,
                                                      outlen);
                });
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT stmt, SQLINTEGER attr,
                                 SQLPOINTER value, SQLINTEGER len) {
    return call("SQLSetStmtAttr", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                set_attr_args(SQL_HANDLE_STMT, attr, value, len), [&] {
                    return hooks.SQLSetStmtAttr
                               ? hooks.SQLSetStmtAttr(stmt, attr, value, len)
                               : base::SQLSetStmtAttr(stmt, attr, value, len);
                });
}

// The last parameter of SQLColAttribute as the platform's ODBC header
// declares it: a plain pointer on 32-bit Windows, SQLLEN* elsewhere.  The
// hooks and the default behaviour always see SQLLEN*.
#if defined(_WIN32) && !defined(_WIN64)
using ColAttributeNumber = SQLPOINTER;
#else
using ColAttributeNumber = SQLLEN*;
#endif

SQLRETURN SQL_API SQLColAttribute(SQLHSTMT stmt, SQLUSMALLINT col,
                                  SQLUSMALLINT field, SQLPOINTER text,
                                  SQLSMALLINT buflen, SQLSMALLINT* textlen,
                                  ColAttributeNumber number_out) {
    SQLLEN* number = static_cast<SQLLEN*>(number_out);
    return call("SQLColAttribute", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {num(col), num(field), num(buflen)}, [&] {
                    return hooks.SQLColAttribute
                               ? hooks.SQLColAttribute(stmt, col, field, text,
                                                       buflen, textlen, number)
                               : base::SQLColAttribute(stmt, col, field, text,
                                                       buflen, textlen, number);
                });
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT stmt, SQLUSMALLINT col,
                             SQLSMALLINT target_type, SQLPOINTER target,
                             SQLLEN buflen, SQLLEN* ind) {
    return call("SQLGetData", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {num(col), num(target_type), num(buflen)}, [&] {
                    return hooks.SQLGetData
                               ? hooks.SQLGetData(stmt, col, target_type,
                                                  target, buflen, ind)
                               : base::SQLGetData(stmt, col, target_type,
                                                  target, buflen, ind);
                });
}

SQLRETURN SQL_API SQLFetchScroll(SQLHSTMT stmt, SQLSMALLINT orientation,
                                 SQLLEN offset) {
    return call("SQLFetchScroll", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT,
                {num(orientation), num(offset)}, [&] {
                    return hooks.SQLFetchScroll
                               ? hooks.SQLFetchScroll(stmt, orientation, offset)
                               : base::SQLFetchScroll(stmt, orientation,
                                                      offset);
                });
}

// Connects like SQLConnect; the connection string is logged whole.
SQLRETURN SQL_API SQLDriverConnect(SQLHDBC dbc, SQLHWND, SQLCHAR* in,
                                   SQLSMALLINT in_len, SQLCHAR*, SQLSMALLINT,
                                   SQLSMALLINT*, SQLUSMALLINT completion) {
    return call("SQLDriverConnect", dbc, SQL_HANDLE_DBC, SQL_HANDLE_DBC,
                {log_text(in, in_len), num(completion)}, [&]() -> SQLRETURN {
                    Handle* h = find(dbc, SQL_HANDLE_DBC);
                    if (h->connected)
                        return error(h, "08002", "Connection name in use");
                    h->connected = true;
                    return SQL_SUCCESS;
                });
}

// Commits or rolls back on a connected connection.
SQLRETURN SQL_API SQLEndTran(SQLSMALLINT type, SQLHANDLE h,
                             SQLSMALLINT completion) {
    return call("SQLEndTran", h, type, type, {num(type), num(completion)},
                [&]() -> SQLRETURN {
                    Handle* c = find(h, type);
                    if (type == SQL_HANDLE_DBC && !c->connected)
                        return error(c, "08003", "Connection not open");
                    return SQL_SUCCESS;
                });
}

// One result per statement: the next one never exists.
SQLRETURN SQL_API SQLMoreResults(SQLHSTMT stmt) {
    return call("SQLMoreResults", stmt, SQL_HANDLE_STMT, SQL_HANDLE_STMT, {},
                [&]() -> SQLRETURN {
                    close_cursor(find(stmt, SQL_HANDLE_STMT));
                    return SQL_NO_DATA;
                });
}

}  // extern "C"
