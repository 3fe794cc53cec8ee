// The command trace: one line per orvsql call (see trace.h), here wrapped:
//
//   2026-12-08T11:55:36.309646Z cmd=9(EXECUTE) slot=1 subcode=0 param=0
//   row_number=0 arg_count=3 args=[2:0x0000/48 3:0x0002/16 "SELECT 1 AS one"]
//   -> status=0(OK) sqlstate="" native_error=0 count=1 number=0 took=157us
//
// Each argument from 2 on shows as number:type_flags/size; its text (from 3
// on) and the texts handed to the host (put=[selector:"text" ...], before
// the arrow) appear with ORVSQL_TRACE_VALUES only.  A call whose header is
// refused shows no header fields.
#include "host/trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "host/hostio.h"
#include "memory.h"
#include "process_state.h"

namespace orv {

std::atomic<TraceMode> TraceSwitch{TraceMode::kUnread};

namespace {

inline constexpr std::size_t kValueBytes = 64;  // bytes of a text shown
inline constexpr int kMaxListedArgs = 32;       // arguments 2.. per line
inline constexpr std::size_t kLineSize = 16384;
inline constexpr char kLineCut[] = " ...\n";  // ends a line that was cut

#if defined(_WIN32)
inline constexpr char kAppendMode[] = "a";
#else
inline constexpr char kAppendMode[] = "ae";  // not inherited by children
#endif

// The line of a call, built piece by piece.  Kept out of the host's
// stack: a host may call from a thread with little of it.
struct Line {
    char text[kLineSize];
    std::size_t used = 0;
    bool cut = false;        // something did not fit
    bool puts_open = false;  // " put=[" written, "]" not yet
};

// The trace's process-wide state, set once when the trace is opened.
struct TraceState {
    std::FILE* out = nullptr;  // the trace file, or stderr
    bool values = false;       // texts are traced too
};
TraceState Trace;

// The running call of each thread: its line and the host's callback.
// Every call has a line of its own, so that threads never write into one
// another's lines, and a call made from inside a callback leaves the line
// of the call it interrupts as it was.  Each line goes out in one write
// when its call ends, so lines of calls running at once never mix.
struct RunningCall {
    HostCallback host_callback = nullptr;
    Line* line = nullptr;
};
thread_local RunningCall ThisThreadsCall;

struct Named {
    int32_t code;
    const char* name;
};

constexpr Named kCommandNames[] = {
    {ORV_CMD_ALLOC_ENV, "ALLOC_ENV"},
    {ORV_CMD_FREE_ENV, "FREE_ENV"},
    {ORV_CMD_DIAGNOSTICS, "DIAGNOSTICS"},
    {ORV_CMD_ALLOC_SLOT, "ALLOC_SLOT"},
    {ORV_CMD_CONNECT, "CONNECT"},
    {ORV_CMD_DISCONNECT, "DISCONNECT"},
    {ORV_CMD_DRIVER_INFO, "DRIVER_INFO"},
    {ORV_CMD_EXECUTE, "EXECUTE"},
    {ORV_CMD_DESCRIBE, "DESCRIBE"},
    {ORV_CMD_IMPORT_COLUMNS, "IMPORT_COLUMNS"},
    {ORV_CMD_FETCH_ROW, "FETCH_ROW"},
    {ORV_CMD_RESET_STATEMENT, "RESET_STATEMENT"},
    {ORV_CMD_GET_CONN_ATTR, "GET_CONN_ATTR"},
    {ORV_CMD_SET_CONN_ATTR, "SET_CONN_ATTR"},
    {ORV_CMD_GET_STMT_ATTR, "GET_STMT_ATTR"},
    {ORV_CMD_SET_STMT_ATTR, "SET_STMT_ATTR"},
    {ORV_CMD_LIST_SOURCES, "LIST_SOURCES"},
    {ORV_CMD_CANCEL, "CANCEL"},
    {ORV_CMD_NEXT_RESULT, "NEXT_RESULT"},
    {ORV_CMD_END_TRAN, "END_TRAN"},
    {ORV_CMD_EXECUTE_PARAMS, "EXECUTE_PARAMS"},
    {ORV_CMD_FETCH_BLOCK, "FETCH_BLOCK"},
};

constexpr Named kStatusNames[] = {
    {ORV_OK, "OK"},
    {ORV_ODBC_ERROR, "ODBC_ERROR"},
    {ORV_MISSING_ARG, "MISSING_ARG"},
    {ORV_NO_ENV, "NO_ENV"},
    {ORV_NO_FREE_SLOT, "NO_FREE_SLOT"},
    {ORV_NO_MEMORY, "NO_MEMORY"},
    {ORV_BAD_COMMAND, "BAD_COMMAND"},
    {ORV_BAD_SLOT, "BAD_SLOT"},
    {ORV_UNSUPPORTED, "UNSUPPORTED"},
    {ORV_BAD_KEYWORD, "BAD_KEYWORD"},
    {ORV_NO_STATEMENT, "NO_STATEMENT"},
    {ORV_REFUSED, "REFUSED"},
    {ORV_COLUMN_MISMATCH, "COLUMN_MISMATCH"},
};

// The name of `code` in `table` (its name in dorevivezo.h without the
// prefix), or "?".
const char* name_of(std::span<const Named> table, int32_t code) {
    for (const Named& n : table)
        if (n.code == code) return n.name;
    return "?";
}

// Appends formatted text to the line.  What does not fit is dropped and
// the line is marked as cut; room for kLineCut is always left.
[[gnu::format(printf, 2, 3)]] void add(Line& l, const char* format, ...) {
    if (l.cut) return;
    const std::size_t room = kLineSize - sizeof kLineCut - l.used;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(l.text + l.used, room, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= room) {
        l.cut = true;
        return;
    }
    l.used += static_cast<std::size_t>(n);
}

// Marks secret[from, to) as password bytes.
void mark(bool* secret, std::size_t from, std::size_t to) {
    std::fill(secret + from, secret + std::max(from, to), true);
}

// Where a connection-string value starting at `from` ends: before the next
// " -" (the spaces before it counted in), else at the end of the text.
std::size_t value_end(std::string_view t, std::size_t from) {
    const std::size_t e = t.find(" -", from);
    return e == std::string_view::npos ? t.size() : e;
}

// True when t holds `key` (lower case) at `at`, in any letter case.
bool holds_key(std::string_view t, std::size_t at, std::string_view key) {
    if (t.size() - at < key.size()) return false;
    for (std::size_t i = 0; i < key.size(); ++i) {
        char c = t[at + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != key[i]) return false;
    }
    return true;
}

// Marks the values of ODBC password attributes (PWD= and PASSWORD=, any
// letter case) wherever t holds them: a braced value to its closing brace
// (or the end of the text), a plain one to the next ';' or " -".
void mark_attribute_passwords(std::string_view t, bool* secret) {
    for (std::size_t at = 0; at < t.size(); ++at) {
        std::size_t from = std::string_view::npos;
        if (holds_key(t, at, "pwd="))
            from = at + 4;
        else if (holds_key(t, at, "password="))
            from = at + 9;
        if (from == std::string_view::npos) continue;
        std::size_t to = std::min(t.find(';', from), value_end(t, from));
        if (from < t.size() && t[from] == '{') {
            to = t.size();
            for (std::size_t i = from + 1; i < t.size(); ++i) {
                if (t[i] != '}') continue;
                if (i + 1 < t.size() && t[i + 1] == '}') {
                    ++i;
                    continue;
                }
                to = i + 1;
                break;
            }
        }
        mark(secret, from, to);
    }
}

// Marks in secret[0, t.size()) the bytes that belong to a password: the
// value of every pair whose key is "pw", the pairs taken as the connect
// command takes them (a lead character, the key up to '=', the value up to
// the next " -"); and, wherever a text holds it, whatever follows "-pw="
// or a leading "pw=", and ODBC password attributes (an -odbc= value).
// Errs towards masking too much.
void mark_passwords(std::string_view t, bool* secret) {
    std::fill(secret, secret + t.size(), false);
    std::size_t cursor = 0;
    while (cursor < t.size()) {
        const std::size_t eq = t.find('=', cursor);
        if (eq == std::string_view::npos) break;
        const std::string_view key = eq > cursor
                                         ? t.substr(cursor + 1, eq - cursor - 1)
                                         : std::string_view();
        const std::size_t end = value_end(t, eq + 1);
        if (key == "pw") mark(secret, eq + 1, end);
        cursor = end + 1;
    }
    for (std::size_t at = t.find("-pw="); at != std::string_view::npos;
         at = t.find("-pw=", at + 1))
        mark(secret, at + 4, value_end(t, at + 4));
    if (t.starts_with("pw=")) mark(secret, 3, value_end(t, 3));
    mark_attribute_passwords(t, secret);
}

// Appends the first kValueBytes bytes of text[0, len) in double quotes:
// each run of password bytes as ***, '"' and '\' escaped with '\', bytes
// outside printable ASCII as \xHH; "..." follows when the text went on.
void add_text(Line& l, const char* text, std::size_t len) {
    const bool went_on = len > kValueBytes;
    len = std::min(len, kValueBytes);
    bool secret[kValueBytes];
    mark_passwords(std::string_view(text, len), secret);
    char shown[kValueBytes * 4 + 1];
    std::size_t n = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (secret[i]) {
            if (i == 0 || !secret[i - 1])
                n += std::snprintf(shown + n, 4, "***");
        } else if (c == '"' || c == '\\') {
            shown[n++] = '\\';
            shown[n++] = static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            shown[n++] = static_cast<char>(c);
        } else {
            n += std::snprintf(shown + n, 5, "\\x%02X", c);
        }
    }
    shown[n] = 0;
    add(l, "\"%s\"%s", shown, went_on ? "..." : "");
}

// Appends the text at the start of argument a's storage, up to its first
// zero byte: as the host passed it, since the command may rewrite it.
void add_argument_text(Line& l, const ArgView& a) {
    if (!arg_has_storage(a)) {
        add(l, " null");
        return;
    }
    char bytes[kValueBytes + 1];
    std::size_t n = arg_read(a, 0, bytes, sizeof bytes);
    if (const void* nul = std::memchr(bytes, 0, n))
        n = static_cast<std::size_t>(static_cast<const char*>(nul) - bytes);
    add(l, " ");
    add_text(l, bytes, n);
}

// Appends the moment the call began, in UTC with microseconds.  Every
// field is formatted as an int: 64-bit conversions differ between C
// libraries.
void add_time(Line& l) {
    using namespace std::chrono;
    const auto now = time_point_cast<microseconds>(system_clock::now());
    const auto day = std::chrono::floor<days>(now);
    const year_month_day date{day};
    const auto since_midnight = now - day;
    const auto h = duration_cast<hours>(since_midnight);
    const auto m = duration_cast<minutes>(since_midnight - h);
    const auto sec = duration_cast<seconds>(since_midnight - h - m);
    const auto us = since_midnight - h - m - sec;
    add(l, "%04d-%02u-%02uT%02d:%02d:%02d.%06dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(h.count()), static_cast<int>(m.count()),
        static_cast<int>(sec.count()), static_cast<int>(us.count()));
}

// What the beginning of a call leaves for its end.
struct CallStart {
    std::chrono::steady_clock::time_point when;
    uint8_t slot = 0;      // `slot` as the host passed it
    uint32_t header_size;  // argument 2's size
};

// Starts the line with the time, the command and its inputs: the header's
// input fields when the header can be read (param as the command reads it,
// word-swapped for the row fetch), then argument 2 on with type flags and
// size and, with values on, the texts of arguments 3 on.
CallStart begin_line(Line& l, const Command& cmd) {
    CallStart s;
    s.when = std::chrono::steady_clock::now();
    l.used = 0;
    l.cut = false;
    l.puts_open = false;
    add_time(l);
    add(l, " cmd=%d(%s)", cmd.code, name_of(kCommandNames, cmd.code));
    const ArgView header = arg(cmd, 2);
    s.header_size = header.size;
    if (Command view = cmd; hdr_attach(view)) {
        s.slot = hdr_slot(view);
        add(l, " slot=%u subcode=%d param=%d row_number=%.15g", s.slot,
            hdr_subcode(view),
            cmd.code == ORV_CMD_FETCH_ROW ? hdr_param_swapped(view)
                                          : hdr_param_plain(view),
            hdr_row_number(view));
    }
    const int32_t count = arg_count(cmd);
    add(l, " arg_count=%d args=[", count);
    const int32_t last = std::min(count, 1 + kMaxListedArgs);
    for (int n = 2; n <= last; ++n) {
        const ArgView a = arg(cmd, n);
        add(l, "%s%d:0x%04X/%u", n > 2 ? " " : "", n,
            static_cast<unsigned>(static_cast<uint16_t>(a.type_flags)), a.size);
        if (Trace.values && n >= 3) add_argument_text(l, a);
    }
    if (count > last) add(l, " +%d more", count - last);
    add(l, "]");
    return s;
}

// Stands between the connector and the host's callback while values are
// traced: notes the text of a PUT_STRING or PUT_NUMBER_TEXT, passes the
// call through unchanged and, when the host refused the text, notes that
// too.  The text is noted before the host runs: what the host does in the
// callback (a call of its own, say) may change the memory it lies in.
int32_t ORV_CALL forward_callback(int32_t service, HostContext* ctx,
                                  int32_t selector, int32_t a, int32_t b,
                                  void* p, int32_t n) {
    const bool text_put =
        (service == PUT_STRING || service == PUT_NUMBER_TEXT) && p != nullptr;
    Line& l = *ThisThreadsCall.line;
    if (text_put) {
        const auto* text = static_cast<const char*>(p);
        const std::size_t len = n >= 0 ? static_cast<std::size_t>(n)
                                       : strnlen(text, kValueBytes + 1);
        add(l, l.puts_open ? " %d:" : " put=[%d:", selector);
        l.puts_open = true;
        add_text(l, text, len);
    }
    const int32_t answer =
        ThisThreadsCall.host_callback(service, ctx, selector, a, b, p, n);
    if (text_put && service == PUT_STRING && answer != 0) add(l, "(refused)");
    return answer;
}

// Ends the line with the outcome and the duration, and writes it.
void end_line(Line& l, Command& cmd, int32_t result, const CallStart& s) {
    if (l.puts_open) add(l, "]");
    add(l, " -> status=%d(%s)", result, name_of(kStatusNames, result));
    if (cmd.hdr != nullptr) {
        const uint8_t slot = hdr_slot(cmd);
        if (slot != s.slot) add(l, " slot=%u", slot);
        char state[7];
        hdr_get_sqlstate(cmd, state);
        add(l, " sqlstate=");
        add_text(l, state, std::strlen(state));
        add(l, " native_error=%d count=%d number=%.15g", hdr_native_error(cmd),
            hdr_count(cmd), hdr_number(cmd));
    } else if (s.header_size < kHeaderSize) {
        add(l, " header of %u bytes, under %u", s.header_size, kHeaderSize);
    } else {
        add(l, " header without storage");
    }
    const std::chrono::duration<double, std::micro> took =
        std::chrono::steady_clock::now() - s.when;
    add(l, " took=%.0fus\n", took.count());
    if (l.cut) {
        std::memcpy(l.text + l.used, kLineCut, sizeof kLineCut - 1);
        l.used += sizeof kLineCut - 1;
    }
    std::fwrite(l.text, 1, l.used, Trace.out);
    std::fflush(Trace.out);
}

// Reads ORVSQL_TRACE and ORVSQL_TRACE_VALUES and opens the trace; sets
// TraceSwitch.  A file that cannot be opened is reported on stderr, once,
// since the mode then stays Off.  The caller holds ProcessLock.
void open_trace() {
    TraceSwitch.store(TraceMode::kOff, std::memory_order_release);
    const char* target = std::getenv("ORVSQL_TRACE");
    if (target == nullptr || target[0] == 0) return;
    if (std::strcmp(target, "-") == 0) {
        Trace.out = stderr;
    } else {
        Trace.out = std::fopen(target, kAppendMode);
        if (Trace.out == nullptr) {
            std::fprintf(stderr,
                         "orvsql: cannot open the trace file %s: %s; tracing "
                         "is off\n",
                         target, std::strerror(errno));
            return;
        }
        // Each line goes out in one write, as soon as it is complete.
        std::setvbuf(Trace.out, nullptr, _IONBF, 0);
    }
    const char* values = std::getenv("ORVSQL_TRACE_VALUES");
    Trace.values =
        values != nullptr && values[0] != 0 && std::strcmp(values, "0") != 0;
    TraceSwitch.store(TraceMode::kOn, std::memory_order_release);
}

// Opens the trace on the process's first call; threads that call first at
// once open it once.
void open_trace_once() {
    take_again(ProcessLock);
    if (TraceSwitch.load(std::memory_order_acquire) == TraceMode::kUnread)
        open_trace();
    give_back_once(ProcessLock);
}

}  // namespace

int32_t trace_command(Command& cmd, CommandRunner run) {
    if (TraceSwitch.load(std::memory_order_acquire) == TraceMode::kUnread)
        open_trace_once();
    if (TraceSwitch.load(std::memory_order_acquire) != TraceMode::kOn)
        return run(cmd);
    // Without memory for its line a call goes untraced.
    auto* const line = static_cast<Line*>(orv_alloc(sizeof(Line)));
    if (line == nullptr) return run(cmd);
    RunningCall& running = ThisThreadsCall;
    const RunningCall outer = running;
    running.line = line;
    const CallStart start = begin_line(*line, cmd);
    if (Trace.values) {
        running.host_callback = cmd.callback;
        cmd.callback = forward_callback;
    }
    const int32_t result = run(cmd);
    if (Trace.values) cmd.callback = running.host_callback;
    end_line(*line, cmd, result, start);
    running = outer;
    orv_free(line);
    return result;
}

void trace_restart() {
    if (Trace.out != nullptr && Trace.out != stderr) std::fclose(Trace.out);
    Trace = TraceState{};
    TraceSwitch.store(TraceMode::kUnread, std::memory_order_release);
}

}  // namespace orv
