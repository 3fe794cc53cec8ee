// orvsh: everything that goes through the connector.  Each function builds
// the host records of one or more commands with the host kit (heap mode),
// calls orvsql through it, and turns the results into text.
#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "orvsh.h"

namespace orvsh {

namespace {

using hostkit::ArgSpec;

constexpr int16_t kCloseCursor = 0;         // command 13: SQL_CLOSE
constexpr int16_t kFetchFirst = 2;          // SQL_FETCH_FIRST
constexpr int16_t kFetchNext = 1;           // SQL_FETCH_NEXT
constexpr int32_t kNoData = 100;            // SQL_NO_DATA
constexpr char kSequenceError[] = "HY010";  // no result to ask about
constexpr int32_t kAutocommit = 102;        // SQL_ATTR_AUTOCOMMIT
constexpr int32_t kTextAttrValue = -99;     // what a text attribute's get gives
constexpr int32_t kFixedWidthCap = 8192;    // widest column in a fixed record
constexpr int32_t kFixedWidthDefault = 4096;  // for widths of 0 or less

// The address argument of the pairs and block fetches: pointer-sized, so
// the connector stores the address into it.
ArgSpec address_arg() { return hostkit::buffer(sizeof(void*), 8); }

// Runs one command on `slot` and returns the header as the connector left
// it.  `number` is passed in (the fetch commands read it).
CmdHdr command(Session& s, int32_t code, int slot,
               std::vector<ArgSpec> args = {}, int16_t subcode = 0,
               double number = 0.0) {
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot), subcode);
    hdr.number = number;
    hostkit::run(s.host, code, hdr, std::move(args));
    return hdr;
}

// The driver's message of the slot's first diagnostic record (command 3),
// or "" when there is none.
std::string driver_message(Session& s, int slot) {
    if (!s.env) return {};
    command(s, ORV_CMD_DIAGNOSTICS, slot, {hostkit::buffer(240)});
    return hostkit::put_text(s.host, 3);
}

std::string state_of(const CmdHdr& hdr) {
    std::string st = hostkit::sqlstate(hdr);
    return st.empty() ? "-" : st;
}

// The whole message of every diagnostic record of the slot, in order
// (command 3 with ORV_DIAG_RECORD); the second and later ones after their
// SQLSTATE.
std::vector<std::string> driver_messages(Session& s, int slot) {
    std::vector<std::string> out;
    if (!s.env) return out;
    for (int n = 1; n <= 0xFF; ++n) {
        CmdHdr hdr =
            command(s, ORV_CMD_DIAGNOSTICS, slot, {hostkit::buffer(240)},
                    static_cast<int16_t>(ORV_DIAG_RECORD | n));
        if (hostkit::sqlstate(hdr) == "?") break;
        std::string text = hostkit::put_text(s.host, 3);
        out.push_back(n == 1 ? text : hostkit::sqlstate(hdr) + ": " + text);
        if (n >= hostkit::count(hdr)) break;
    }
    return out;
}

// Prints a failure of `what` on stderr: status, SQLSTATE, native error and,
// when the connector captured a diagnostic record, the driver's message of
// each record the handle holds.  Counts the failure.
void report(Session& s, const char* what, const CmdHdr& hdr, int slot) {
    std::fflush(stdout);  // keeps the order where both go to one place
    std::fprintf(stderr,
                 "orvsh: %s%s failed: status %d (%s), SQLSTATE %s, native "
                 "error %d\n",
                 s.where.c_str(), what, hdr.status, status_text(hdr.status),
                 state_of(hdr).c_str(), hostkit::native_error(hdr));
    if (!hostkit::sqlstate(hdr).empty()) {
        for (const std::string& message : driver_messages(s, slot))
            if (!message.empty())
                std::fprintf(stderr, "orvsh: %s\n", message.c_str());
    }
    ++s.failures;
}

// Prints a warning (a success that came with a diagnostic record).
void warn(Session& s, const char* what, const CmdHdr& hdr, int slot) {
    std::fflush(stdout);
    std::string message = driver_message(s, slot);
    std::fprintf(stderr,
                 "orvsh: %swarning from %s: SQLSTATE %s, native error %d%s%s\n",
                 s.where.c_str(), what, state_of(hdr).c_str(),
                 hostkit::native_error(hdr), message.empty() ? "" : ": ",
                 message.c_str());
}

// A failure of the shell's own (no command was run for it).
void fail(Session& s, const char* text) {
    std::fflush(stdout);
    std::fprintf(stderr, "orvsh: %s%s\n", s.where.c_str(), text);
    ++s.failures;
}

// Reports that a result could not be written out in full; returns false.
bool write_failed(Session& s, const Output& o) {
    std::fprintf(stderr, "orvsh: %swriting the result failed: %s\n",
                 s.where.c_str(), std::strerror(o.write_error));
    ++s.failures;
    return false;
}

bool require_connection(Session& s) {
    if (s.slot != 0) return true;
    fail(s, "not connected (use \\connect or -c)");
    return false;
}

// A fixed-size text field of a ColumnDesc (not terminated when full).
std::string field(const char* p, std::size_t size) {
    return std::string(p, strnlen(p, size));
}

// The display names of the records: their names, or "expr-N" for the
// unnamed ones, counted as the connector counts them.
std::vector<std::string> record_names(const std::vector<ColumnDesc>& recs) {
    std::vector<std::string> names;
    int unnamed = 0;
    for (const ColumnDesc& c : recs) {
        std::string name = field(c.name, sizeof c.name);
        if (name.empty()) name = "expr-" + std::to_string(++unnamed);
        names.push_back(name);
    }
    return names;
}

// Describes the current result (command 10) into `out`, every column.
bool describe(Session& s, std::vector<ColumnDesc>& out) {
    uint32_t room = 32;
    for (int attempt = 0; attempt < 2; ++attempt) {
        CmdHdr hdr = command(s, ORV_CMD_DESCRIBE, s.slot,
                             {hostkit::buffer(room * sizeof(ColumnDesc))});
        if (hdr.status != ORV_OK) {
            report(s, "describing the columns", hdr, s.slot);
            return false;
        }
        const int32_t n = hostkit::count(hdr);
        if (n > static_cast<int32_t>(room) && attempt == 0) {
            room = static_cast<uint32_t>(n);
            continue;
        }
        const uint32_t have = std::min<uint32_t>(room, std::max(n, 0));
        std::vector<uint8_t> bytes = hostkit::arg_bytes(s.host, 3);
        out.assign(have, ColumnDesc{});
        std::memcpy(out.data(), bytes.data(), have * sizeof(ColumnDesc));
        return true;
    }
    return false;
}

// Reads the address the connector stored into argument 3.
const uint8_t* stored_address(const Session& s) {
    std::vector<uint8_t> bytes = hostkit::arg_bytes(s.host, 3);
    const uint8_t* p = nullptr;
    if (bytes.size() >= sizeof p) std::memcpy(&p, bytes.data(), sizeof p);
    return p;
}

// After Ctrl-C: ends the fetching (the rows so far are still shown) and
// reports it; false while no cancel was asked.
bool stopped(Session& s, Output& o) {
    if (!cancel_asked()) return false;
    progress_end(o.progress);
    fail(s, "fetching the rows: cancelled");
    return true;
}

// The row fetch (command 12) said: a row came (the running number rose by
// one), the result ended, or the fetch failed.
enum class RowOutcome { row, end, failure };

RowOutcome row_outcome(const CmdHdr& hdr, int64_t before) {
    if (hdr.number == static_cast<double>(before + 1)) return RowOutcome::row;
    const std::string st = hostkit::sqlstate(hdr);
    const int32_t native = hostkit::native_error(hdr);
    if (hdr.number == 0.0 &&
        (st.empty() || st == "02000" || (st == "?" && native == kNoData)))
        return RowOutcome::end;
    return RowOutcome::failure;
}

// Classifies one row fetch after `rows` rows.  A status other than 0
// (unless `status_tolerated`, for a warning the caller has shown) counts as
// a failure; a failure is reported here, with the progress line cleared.
RowOutcome fetched_row(Session& s, const CmdHdr& hdr, int64_t rows,
                       Progress& progress, bool status_tolerated = false) {
    RowOutcome outcome = hdr.status != ORV_OK && !status_tolerated
                             ? RowOutcome::failure
                             : row_outcome(hdr, rows);
    if (outcome == RowOutcome::failure) {
        progress_end(progress);
        report(s, "fetching a row", hdr, s.slot);
    }
    return outcome;
}

// ---- The five layouts ------------------------------------------------------
// Each fetches every remaining row of the current result and hands the
// names, then each row (and its raw bytes) to `o` as it arrives; nothing is
// kept beyond the block or row at hand.  Returns false after reporting a
// failure.

// The `len` bytes at `p` (an item of a block or a record) as text.
std::string_view item_at(const uint8_t* p, std::size_t len) {
    return std::string_view(reinterpret_cast<const char*>(p), len);
}

bool fetch_block(Session& s, const std::vector<ColumnDesc>& recs, Output& o) {
    const int16_t flags = s.null_text ? FETCH_NULL_TEXT : 0;
    const bool raw = s.format == Format::raw;
    const std::size_t n = recs.size();
    double estimate = 0.0;
    bool named = false;
    std::vector<std::string> header(n), values;
    std::string raw_line;
    for (;;) {
        if (stopped(s, o)) return false;
        CmdHdr hdr = command(s, ORV_CMD_FETCH_BLOCK, s.slot, {address_arg()},
                             flags, estimate);
        if (hdr.status != ORV_OK) {
            progress_end(o.progress);
            report(s, "fetching the rows", hdr, s.slot);
            return false;
        }
        const uint8_t* p = stored_address(s);
        const int32_t per_row = hostkit::count(hdr);
        const int64_t rows = static_cast<int64_t>(hdr.number);
        if (p == nullptr || per_row < 0) {
            progress_end(o.progress);
            fail(s, "the block fetch delivered no block");
            return false;
        }
        // The header: every column's name, binary ones included.
        raw_line.clear();
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t len =
                std::strlen(reinterpret_cast<const char*>(p));
            header[k].assign(item_at(p, len));
            if (raw) raw_line += visible(item_at(p, len + 1));
            p += len + 1;
        }
        if (raw) output_raw(o, raw_line);
        if (!named) {
            // The rows carry the non-binary columns only.
            std::vector<std::string> names;
            std::vector<bool> right;
            for (std::size_t k = 0; k < n; ++k) {
                if (column_type_is_binary(recs[k].type)) continue;
                names.push_back(header[k]);
                right.push_back(numeric_type(recs[k].type));
            }
            if (names.size() != static_cast<std::size_t>(per_row)) {
                names.assign(
                    header.begin(),
                    header.begin() + std::min<std::size_t>(n, per_row));
                right.assign(names.size(), false);
                while (names.size() < static_cast<std::size_t>(per_row))
                    names.push_back("?");
                right.resize(per_row, false);
            }
            output_columns(o, std::move(names), std::move(right));
            values.resize(per_row);
            named = true;
        }
        for (int64_t row = 0; row < rows; ++row) {
            raw_line.clear();
            for (int32_t k = 0; k < per_row; ++k) {
                const std::size_t len =
                    std::strlen(reinterpret_cast<const char*>(p));
                if (static_cast<std::size_t>(k) < values.size())
                    values[k].assign(item_at(p, len));
                if (raw) raw_line += visible(item_at(p, len + 1));
                p += len + 1;
            }
            output_row(o, values);
            if (raw) output_raw(o, raw_line);
        }
        // The closing zero byte of the block.
        if (*p == 0) output_raw_append(o, "\\0");
        const std::string st = hostkit::sqlstate(hdr);
        if (st == "01004" && hostkit::native_error(hdr) == 0) {
            // Rows remain that did not fit: the next call goes on.
            estimate = static_cast<double>(rows);
            output_tick(o);
            continue;
        }
        progress_end(o.progress);
        if (!st.empty()) {
            report(s, "fetching the rows", hdr, s.slot);
            return false;
        }
        return true;
    }
}

// The names and alignment of the description's columns.
void describe_output(Output& o, const std::vector<ColumnDesc>& recs) {
    std::vector<bool> right;
    for (const ColumnDesc& c : recs) right.push_back(numeric_type(c.type));
    output_columns(o, record_names(recs), std::move(right));
}

bool fetch_pairs(Session& s, const std::vector<ColumnDesc>& recs, Output& o) {
    const int16_t flags = FETCH_PAIRS | (s.null_text ? FETCH_NULL_TEXT : 0);
    int64_t rows = 0;
    std::vector<std::string> names, values;
    std::string raw;
    for (;;) {
        if (stopped(s, o)) return false;
        CmdHdr hdr = command(s, ORV_CMD_FETCH_ROW, s.slot, {address_arg()},
                             flags, static_cast<double>(rows));
        RowOutcome outcome = fetched_row(s, hdr, rows, o.progress);
        if (outcome == RowOutcome::end) break;
        if (outcome == RowOutcome::failure) return false;
        const uint8_t* p = stored_address(s);
        const int32_t n = hostkit::count(hdr);
        if (p == nullptr) {
            progress_end(o.progress);
            fail(s, "the pairs fetch delivered no record");
            return false;
        }
        // Entries "name=value", each ending in a zero byte; then one more.
        names.clear();
        values.clear();
        raw.clear();
        for (int32_t k = 0; k < n; ++k) {
            const std::size_t len =
                std::strlen(reinterpret_cast<const char*>(p));
            const std::string_view entry = item_at(p, len);
            raw += visible(item_at(p, len + 1));
            p += len + 1;
            std::size_t eq = entry.find('=');
            if (eq == std::string_view::npos) eq = entry.size();
            names.emplace_back(entry.substr(0, eq));
            // Undo the escapes: FA -> 00, FB FB -> FA, FB FC -> FB.
            std::string value;
            for (std::size_t i = eq + 1; i < entry.size(); ++i) {
                uint8_t b = static_cast<uint8_t>(entry[i]);
                if (b == 0xFA) {
                    value += '\0';
                } else if (b == 0xFB && i + 1 < entry.size()) {
                    uint8_t next = static_cast<uint8_t>(entry[++i]);
                    value += static_cast<char>(next == 0xFB ? 0xFA : 0xFB);
                } else {
                    value += static_cast<char>(b);
                }
            }
            values.push_back(std::move(value));
        }
        if (*p == 0) raw += "\\0";
        if (rows == 0) {
            // The first record names the columns.
            std::vector<bool> right;
            for (std::size_t k = 0; k < names.size(); ++k)
                right.push_back(k < recs.size() && numeric_type(recs[k].type));
            output_columns(o, names, std::move(right));
        }
        output_row(o, values);
        if (s.format == Format::raw) output_raw(o, raw);
        ++rows;
        output_tick(o);
    }
    progress_end(o.progress);
    if (rows == 0) describe_output(o, recs);
    return true;
}

// Fixed-width records: widths from the description, made usable first
// (a width of 0 or less would show nothing, a huge one would need a huge
// record) and sent back with command 11 when any was changed.
bool fetch_fixed(Session& s, std::vector<ColumnDesc> recs, Output& o) {
    bool changed = false;
    uint64_t size = 1;
    for (ColumnDesc& c : recs) {
        if (c.width <= 0 || c.width > kFixedWidthCap) {
            c.width = c.width <= 0 ? kFixedWidthDefault : kFixedWidthCap;
            changed = true;
        }
        size += static_cast<uint64_t>(c.width);
    }
    if (changed) {
        ArgSpec records = hostkit::buffer(
            static_cast<uint32_t>(recs.size() * sizeof(ColumnDesc)));
        records.bytes.resize(recs.size() * sizeof(ColumnDesc));
        std::memcpy(records.bytes.data(), recs.data(), records.bytes.size());
        CmdHdr hdr = command(s, ORV_CMD_IMPORT_COLUMNS, s.slot, {records});
        if (hdr.status != ORV_OK) {
            report(s, "sending the column widths", hdr, s.slot);
            return false;
        }
    }
    describe_output(o, recs);
    const int16_t flags = FETCH_FIXED;
    int64_t rows = 0;
    std::vector<std::string> values(recs.size());
    for (;;) {
        if (stopped(s, o)) return false;
        CmdHdr hdr = command(s, ORV_CMD_FETCH_ROW, s.slot,
                             {hostkit::buffer(static_cast<uint32_t>(size))},
                             flags, static_cast<double>(rows));
        const bool cut =
            hdr.status == ORV_ODBC_ERROR && hostkit::sqlstate(hdr) == "01004";
        if (cut) {
            // A value longer than its column's width arrives cut.
            std::fflush(stdout);
            std::fprintf(stderr,
                         "orvsh: %srow %lld, column %d: value cut to its "
                         "column's width\n",
                         s.where.c_str(), static_cast<long long>(rows + 1),
                         hostkit::native_error(hdr));
        }
        RowOutcome outcome = fetched_row(s, hdr, rows, o.progress, cut);
        if (outcome == RowOutcome::end) break;
        if (outcome == RowOutcome::failure) return false;
        const std::vector<uint8_t> rec = hostkit::arg_bytes(s.host, 3);
        std::size_t at = 0;
        for (std::size_t k = 0; k < recs.size(); ++k) {
            std::size_t w =
                std::min<std::size_t>(recs[k].width, rec.size() - at);
            std::string_view cell = item_at(rec.data() + at, w);
            cell = cell.substr(0, std::min(cell.find('\0'), cell.size()));
            while (!cell.empty() && cell.back() == ' ') cell.remove_suffix(1);
            values[k].assign(cell);
            at += w;
        }
        output_row(o, values);
        if (s.format == Format::raw)
            output_raw(
                o, visible(item_at(rec.data(), std::min(at + 1, rec.size()))));
        ++rows;
        output_tick(o);
    }
    progress_end(o.progress);
    return true;
}

// The array and per-argument layouts: every value is handed over with
// PUT_STRING, into element k of argument 3 (selector 3 + 256 k) or into
// argument 3 + k.
bool fetch_values(Session& s, const std::vector<ColumnDesc>& recs, Output& o,
                  bool array) {
    const int32_t n = static_cast<int32_t>(recs.size());
    const int16_t null_flag = s.null_text ? FETCH_NULL_TEXT : 0;
    describe_output(o, recs);
    int64_t rows = 0;
    std::vector<std::string> values(recs.size());
    std::string raw;
    for (;;) {
        if (stopped(s, o)) return false;
        std::vector<ArgSpec> args;
        CmdHdr hdr = hostkit::header(static_cast<uint8_t>(s.slot));
        hdr.number = static_cast<double>(rows);
        if (array) {
            hdr.subcode = static_cast<int16_t>(FETCH_ARRAY | null_flag);
            hostkit::set_param_swapped(hdr, n);
            args.push_back(hostkit::array(1, static_cast<uint32_t>(n),
                                          2 | ARG_ARRAY | ARG_CALLBACK));
        } else {
            hdr.subcode = null_flag;
            for (int32_t k = 0; k < n; ++k)
                args.push_back(hostkit::buffer(1, 2 | ARG_CALLBACK));
        }
        hostkit::run(s.host, ORV_CMD_FETCH_ROW, hdr, std::move(args));
        RowOutcome outcome = fetched_row(s, hdr, rows, o.progress);
        if (outcome == RowOutcome::end) break;
        if (outcome == RowOutcome::failure) return false;
        raw.clear();
        for (int32_t k = 0; k < n; ++k) {
            const int32_t selector = array ? 3 + 256 * k : 3 + k;
            auto it = s.host.put_strings.find(selector);
            if (it != s.host.put_strings.end())
                values[k].assign(it->second.begin(), it->second.end());
            else
                values[k].clear();
            raw += visible(values[k]) + "\\0";
        }
        output_row(o, values);
        if (s.format == Format::raw) output_raw(o, raw);
        ++rows;
        output_tick(o);
    }
    progress_end(o.progress);
    return true;
}

}  // namespace

// ---- Loading
// ------------------------------------------------------------------

std::string default_library_path() {
    std::string dir = ".";
    char buf[4096];
    ssize_t len = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (len > 0) {
        std::string exe(buf, static_cast<std::size_t>(len));
        std::size_t slash = exe.rfind('/');
        if (slash != std::string::npos) dir = exe.substr(0, slash);
    }
    // In the build folder the library lies beside orvsh; installed, it is
    // in the library folder of the same prefix.
    std::string beside = dir + "/libdorevivezo.so";
#ifdef ORVSH_INSTALLED_LIBRARY
    if (access(beside.c_str(), F_OK) != 0)
        return dir + "/" + ORVSH_INSTALLED_LIBRARY;
#endif
    return beside;
}

bool load_connector(Session& s, const std::string& path) {
    if (access(path.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "orvsh: connector library not found: %s\n",
                     path.c_str());
        return false;
    }
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr,
                     "orvsh: cannot load the connector library %s: %s\n",
                     path.c_str(), dlerror());
        return false;
    }
    void* entry = dlsym(lib, "orvsql");
    if (entry == nullptr) {
        std::fprintf(stderr, "orvsh: %s has no entry point orvsql\n",
                     path.c_str());
        return false;
    }
    // The library stays loaded for the life of the process.
    s.host = hostkit::make_test_host(reinterpret_cast<hostkit::Entry>(entry));
    s.host.guard_pages = false;
    return true;
}

// ---- Session
// ------------------------------------------------------------------

bool start(Session& s) {
    CmdHdr hdr = command(s, ORV_CMD_ALLOC_ENV, 0);
    if (hdr.status != ORV_OK) {
        report(s, "allocating the ODBC environment", hdr, 0);
        return false;
    }
    s.env = true;
    return true;
}

void shutdown(Session& s) {
    if (s.slot != 0) disconnect(s);
    if (s.env) command(s, ORV_CMD_FREE_ENV, 0);
    s.env = false;
}

bool disconnect(Session& s) {
    if (s.slot == 0) {
        fail(s, "not connected");
        return false;
    }
    CmdHdr hdr = command(s, ORV_CMD_DISCONNECT, s.slot);
    const int slot = s.slot;
    s.slot = 0;
    s.has_result = false;
    if (hdr.status != ORV_OK) {
        report(s, "disconnecting", hdr, slot);
        return false;
    }
    return true;
}

bool connect(Session& s, const std::string& connection) {
    if (s.slot != 0) disconnect(s);
    CmdHdr hdr = command(s, ORV_CMD_ALLOC_SLOT, 0);
    if (hdr.status != ORV_OK) {
        report(s, "allocating a connection slot", hdr, 0);
        return false;
    }
    const int slot = hdr.slot;
    hdr = command(s, ORV_CMD_CONNECT, slot, {hostkit::text(connection)});
    if (hdr.status != ORV_OK) {
        report(s, "connecting", hdr, slot);
        command(s, ORV_CMD_DISCONNECT, slot);
        return false;
    }
    if (!hostkit::sqlstate(hdr).empty()) warn(s, "connecting", hdr, slot);
    s.slot = slot;
    std::fprintf(info_stream(s), "connected (slot %d)\n", slot);
    return true;
}

// ---- Statements
// ------------------------------------------------------------------

// Prints the result a command 9 or 20 reported in `hdr`: its rows, or the
// rows it affected.  Keeps the column records for \describe.
bool print_result(Session& s, const CmdHdr& hdr) {
    const int32_t columns = hostkit::count(hdr);
    if (columns <= 0) {
        if (hdr.number >= 0)
            std::fprintf(info_stream(s), "OK, %.0f row%s affected\n",
                         hdr.number, hdr.number == 1 ? "" : "s");
        else
            std::fprintf(info_stream(s), "OK\n");
        return true;
    }
    s.has_result = true;
    std::vector<ColumnDesc> recs;
    if (!describe(s, recs)) return false;
    s.last_columns = recs;
    Output o = output_begin(s);
    bool ok = false;
    switch (s.layout) {
        case Layout::block:
            ok = fetch_block(s, recs, o);
            break;
        case Layout::pairs:
            ok = fetch_pairs(s, recs, o);
            break;
        case Layout::fixed:
            ok = fetch_fixed(s, recs, o);
            break;
        case Layout::array:
            ok = fetch_values(s, recs, o, true);
            break;
        case Layout::args:
            ok = fetch_values(s, recs, o, false);
            break;
    }
    // Rows fetched before a failure are still shown.
    if (!output_end(o, ok)) return write_failed(s, o);
    return ok;
}

bool run_sql(Session& s, const std::string& sql) {
    if (!require_connection(s)) return false;
    Running running(s);  // Ctrl-C cancels it from here on
    // The previous result's cursor stays open until the next statement.
    if (s.has_result)
        command(s, ORV_CMD_RESET_STATEMENT, s.slot, {}, kCloseCursor);
    s.has_result = false;
    s.last_columns.clear();
    CmdHdr hdr =
        s.has_bind ? execute_bound(s, sql)
                   : command(s, ORV_CMD_EXECUTE, s.slot, {hostkit::text(sql)});
    if (hdr.status != ORV_OK) {
        report(s, "SQL", hdr, s.slot);
        return false;
    }
    // Every result of the statement in turn (a procedure or a batch may
    // give several); command 20 ends with count 0 and native_error 100.
    for (;;) {
        if (!print_result(s, hdr)) return false;
        hdr = command(s, ORV_CMD_NEXT_RESULT, s.slot);
        if (hdr.status != ORV_OK) {
            report(s, "reading the next result", hdr, s.slot);
            return false;
        }
        if (hostkit::count(hdr) == 0 && hostkit::native_error(hdr) == 100)
            return true;
    }
}

// Commits (command 21, subcode 0) or rolls back (subcode 1) the
// connection's transaction.
bool end_transaction(Session& s, bool commit) {
    if (!require_connection(s)) return false;
    CmdHdr hdr = command(s, ORV_CMD_END_TRAN, s.slot, {}, commit ? 0 : 1);
    if (hdr.status != ORV_OK) {
        report(s, commit ? "committing" : "rolling back", hdr, s.slot);
        return false;
    }
    std::fprintf(info_stream(s), "OK\n");
    return true;
}

// Switches autocommit on or off (command 15 on SQL_ATTR_AUTOCOMMIT, with
// ORV_ATTR_ZERO so that off, a value of 0, is passed on).
bool set_autocommit(Session& s, bool on) {
    if (!require_connection(s)) return false;
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(s.slot), ORV_ATTR_ZERO);
    hostkit::set_param_plain(hdr, kAutocommit);
    hostkit::run(s.host, ORV_CMD_SET_CONN_ATTR, hdr,
                 {hostkit::integer(on ? 1 : 0)});
    if (hdr.status != ORV_OK) {
        report(s, "setting autocommit", hdr, s.slot);
        return false;
    }
    std::fprintf(info_stream(s), "autocommit %s\n", on ? "on" : "off");
    return true;
}

// ---- Meta-commands
// ----------------------------------------------------------------

bool list_sources(Session& s) {
    // The command needs a slot with a connection handle; without a
    // connection a slot is allocated (not connected) just for the listing.
    int slot = s.slot;
    if (slot == 0) {
        CmdHdr hdr = command(s, ORV_CMD_ALLOC_SLOT, 0);
        if (hdr.status != ORV_OK) {
            report(s, "allocating a connection slot", hdr, 0);
            return false;
        }
        slot = hdr.slot;
    }
    Output o = output_begin(s);
    output_columns(o, {"name", "description"}, {false, false});
    bool ok = true;
    for (int16_t direction = kFetchFirst;; direction = kFetchNext) {
        CmdHdr hdr =
            command(s, ORV_CMD_LIST_SOURCES, slot,
                    {hostkit::buffer(256), hostkit::buffer(1024)}, direction);
        if (hdr.status == ORV_ODBC_ERROR &&
            hostkit::native_error(hdr) == kNoData &&
            hostkit::sqlstate(hdr).empty())
            break;
        if (hdr.status != ORV_OK) {
            report(s, "listing the data sources", hdr, slot);
            ok = false;
            break;
        }
        std::string name = hostkit::arg_text(s.host, 3);
        std::string description = hostkit::arg_text(s.host, 4);
        output_row(o, {name, description});
        if (s.format == Format::raw)
            output_raw(o, visible(name) + "\\0" + visible(description) + "\\0");
    }
    if (slot != s.slot) command(s, ORV_CMD_DISCONNECT, slot);
    if (!output_end(o, ok)) return write_failed(s, o);
    return ok;
}

bool need_connection(Session& s) { return require_connection(s); }

void report_command(Session& s, const char* what, const CmdHdr& hdr) {
    report(s, what, hdr, s.slot);
}

void report_text(Session& s, const std::string& text) { fail(s, text.c_str()); }

bool describe_query(Session& s, const std::string& sql,
                    std::vector<ColumnDesc>& out) {
    if (s.has_result)
        command(s, ORV_CMD_RESET_STATEMENT, s.slot, {}, kCloseCursor);
    s.has_result = false;
    CmdHdr hdr = command(s, ORV_CMD_EXECUTE, s.slot, {hostkit::text(sql)});
    if (hdr.status != ORV_OK) {
        report(s, "SQL", hdr, s.slot);
        return false;
    }
    const bool ok = describe(s, out);
    command(s, ORV_CMD_RESET_STATEMENT, s.slot, {}, kCloseCursor);
    return ok;
}

bool describe_last(Session& s) {
    if (!require_connection(s)) return false;
    // The statement may have moved past its last result: the columns kept
    // from the last result that had any come first.
    std::vector<ColumnDesc> recs = s.last_columns;
    if (recs.empty() && !describe(s, recs)) return false;
    if (recs.empty()) {
        std::fprintf(info_stream(s),
                     "the last statement has no result columns\n");
        return true;
    }
    Output o = output_begin(s);
    output_columns(
        o,
        {"#", "name", "table", "schema", "catalog", "type", "display_size",
         "width", "precision", "flags"},
        {true, false, false, false, false, true, true, true, true, false});
    int k = 0;
    for (const ColumnDesc& c : recs) {
        std::string flags;
        if (c.flags & COLF_NOT_NULL) flags += "not null";
        if (c.flags & COLF_AUTO_INCREMENT)
            flags += flags.empty() ? "auto increment" : ", auto increment";
        output_row(
            o,
            {std::to_string(++k), field(c.name, sizeof c.name),
             field(c.table, sizeof c.table), field(c.schema, sizeof c.schema),
             field(c.catalog, sizeof c.catalog), std::to_string(c.type),
             std::to_string(c.display_size), std::to_string(c.width),
             std::to_string(c.precision), flags});
        if (s.format == Format::raw)
            output_raw(o, visible(std::string_view(
                              reinterpret_cast<const char*>(&c), sizeof c)));
    }
    if (!output_end(o, true)) return write_failed(s, o);
    return true;
}

bool show_info(Session& s) {
    if (!require_connection(s)) return false;
    struct Item {
        int16_t code;
        const char* name;
        bool text;    // delivers a text into argument 3
        bool count;   // `count` carries the number
        bool number;  // `number` carries the number
        bool result;  // an item of the statement's current result
    };
    static const Item kItems[] = {
        {1, "driver name", true, true, false, false},
        {2, "DBMS version", true, true, false, false},
        {3, "driver version", true, true, false, false},
        {4, "(item 4)", true, false, false, false},
        {5, "result columns", false, true, false, true},
        {6, "row count", false, false, true, true},
        {7, "connector", true, false, false, false},
        {8, "connector version", true, true, false, false},
        {9, "interface", true, false, false, false},
        {10, "row count", false, false, true, true},
    };
    Output o = output_begin(s);
    output_columns(o, {"item", "name", "text", "number"},
                   {true, false, false, true});
    bool ok = true;
    for (const Item& item : kItems) {
        CmdHdr hdr = command(s, ORV_CMD_DRIVER_INFO, s.slot,
                             {hostkit::buffer(240)}, item.code);
        std::string text, number;
        if (hdr.status == ORV_NO_STATEMENT || hdr.status == ORV_REFUSED) {
            // Answered with a status of the connector's own: no failure.
            text = "not available";
        } else if (item.result && hostkit::sqlstate(hdr) == kSequenceError) {
            // The statement has been read past its last result.
            text = "no current result";
        } else if (hdr.status != ORV_OK) {
            report(s, "reading driver information", hdr, s.slot);
            ok = false;
            text = "failed";
        } else if (item.text && !hostkit::sqlstate(hdr).empty()) {
            // The driver could not answer; its message stands in
            // argument 3 instead of the answer.
            text = "not available (" + hostkit::arg_text(s.host, 3) + ")";
        } else {
            if (item.text) text = hostkit::put_text(s.host, 3);
            if (item.count) number = std::to_string(hostkit::count(hdr));
            if (item.number) {
                char buf[64];
                std::snprintf(buf, sizeof buf, "%.0f", hdr.number);
                number = buf;
            }
        }
        output_row(o, {std::to_string(item.code), item.name, text, number});
        if (s.format == Format::raw)
            output_raw(o, std::to_string(item.code) + ": " + visible(text));
    }
    if (!output_end(o, true)) return write_failed(s, o);
    return ok;
}

// The header of an attribute command on the session's slot: a statement
// attribute's number goes in the subcode, a connection attribute's in
// param.
static CmdHdr attribute_header(const Session& s, bool statement,
                               int32_t number) {
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(s.slot));
    if (statement)
        hdr.subcode = static_cast<int16_t>(number);
    else
        hostkit::set_param_plain(hdr, number);
    return hdr;
}

bool get_attribute(Session& s, bool statement, int32_t number) {
    if (!require_connection(s)) return false;
    CmdHdr hdr = attribute_header(s, statement, number);
    // A get needs a non-zero number in argument 3; the value comes back
    // through PUT_INT.
    hostkit::run(s.host,
                 statement ? ORV_CMD_GET_STMT_ATTR : ORV_CMD_GET_CONN_ATTR, hdr,
                 {hostkit::integer(1)});
    const char* kind = statement ? "stmt" : "conn";
    if (hdr.status != ORV_OK) {
        report(s, "reading the attribute", hdr, s.slot);
        return false;
    }
    auto it = s.host.put_ints.find(3);
    if (it == s.host.put_ints.end())
        std::fprintf(info_stream(s), "%s %d: no value delivered\n", kind,
                     number);
    else if (!statement && it->second == kTextAttrValue)
        std::fprintf(info_stream(s),
                     "%s %d: a text attribute (its text is not delivered)\n",
                     kind, number);
    else
        std::printf("%s %d = %lld\n", kind, number,
                    static_cast<long long>(it->second));
    if (!hostkit::sqlstate(hdr).empty())
        warn(s, "reading the attribute", hdr, s.slot);
    return true;
}

bool set_attribute(Session& s, bool statement, int32_t number,
                   const std::string& value) {
    if (!require_connection(s)) return false;
    CmdHdr hdr = attribute_header(s, statement, number);
    // The argument answers GET_INT with the number and GET_STRING with the
    // text, whichever the attribute's kind asks for.
    hostkit::run(s.host,
                 statement ? ORV_CMD_SET_STMT_ATTR : ORV_CMD_SET_CONN_ATTR, hdr,
                 {hostkit::text(value)});
    if (hdr.status != ORV_OK) {
        report(s, "setting the attribute", hdr, s.slot);
        return false;
    }
    if (!hostkit::sqlstate(hdr).empty())
        warn(s, "setting the attribute", hdr, s.slot);
    bool asked = !hostkit::calls_of(s.host, GET_STRING).empty();
    if (!asked && std::atoi(value.c_str()) == 0)
        std::fprintf(info_stream(s),
                     "%s %d: a value of 0 is not passed on; nothing changed\n",
                     statement ? "stmt" : "conn", number);
    else
        std::fprintf(info_stream(s), "OK\n");
    return true;
}

}  // namespace orvsh
