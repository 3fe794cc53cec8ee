// orvsh: printing results as they arrive, as aligned tables (a page at a
// time), CSV or the raw bytes; the row counter; and the names of layouts,
// formats and statuses.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "orvsh.h"

namespace orvsh {

namespace {

// Display width of UTF-8 text: one per code point (continuation bytes do
// not count).
std::size_t display_width(std::string_view text) {
    std::size_t w = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++w;
    return w;
}

void pad(std::string& line, std::size_t n) { line.append(n, ' '); }

// Writes bytes to standard output.  When the row counter shares the
// terminal, its line is cleared first; it comes back with the next tick.
void write_out(Output& o, std::string_view bytes) {
    if (o.progress.shown && o.progress.stdout_too) {
        std::fflush(stdout);
        progress_end(o.progress);
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() &&
        o.write_error == 0)
        o.write_error = errno;
}

// One table line of `values` in the widths set so far.  A value wider than
// its column widens this line only.
void table_line(Output& o, const std::vector<std::string>& values,
                bool header) {
    const std::size_t n = o.names.size();
    std::string& line = o.line;
    line.clear();
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0) line += " | ";
        const std::string_view v =
            k < values.size() ? std::string_view(values[k]) : "";
        const std::size_t w = display_width(v);
        const std::size_t gap = o.width[k] > w ? o.width[k] - w : 0;
        const bool right =
            !header && k < o.right_align.size() && o.right_align[k];
        if (right) pad(line, gap);
        line += v;
        if (!right && k + 1 < n) pad(line, gap);
    }
    line += '\n';
    write_out(o, line);
}

// Prints the rows gathered in the page.  The first page sets the column
// widths (names included) and is preceded by the header and its rule.
void table_page(Output& o) {
    if (!o.header_done) {
        const std::size_t n = o.names.size();
        o.width.assign(n, 0);
        for (std::size_t k = 0; k < n; ++k)
            o.width[k] = display_width(o.names[k]);
        for (const auto& cells : o.page)
            for (std::size_t k = 0; k < n && k < cells.size(); ++k)
                o.width[k] = std::max(o.width[k], display_width(cells[k]));
        table_line(o, o.names, true);
        std::string rule;
        for (std::size_t k = 0; k < n; ++k) {
            if (k > 0) rule += "-+-";
            rule.append(o.width[k], '-');
        }
        rule += '\n';
        write_out(o, rule);
        o.header_done = true;
    }
    for (const auto& cells : o.page) table_line(o, cells, false);
    o.page.clear();
}

// One CSV field: quoted when it holds a comma, a quote or a line break.
void csv_field(std::string& out, std::string_view v) {
    if (v.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += v;
        return;
    }
    out += '"';
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

// One CSV line with a field per column.
void csv_line(Output& o, const std::vector<std::string>& values) {
    std::string& line = o.line;
    line.clear();
    for (std::size_t k = 0; k < o.names.size(); ++k) {
        if (k > 0) line += ',';
        if (k < values.size()) csv_field(line, values[k]);
    }
    line += '\n';
    write_out(o, line);
}

// The header line of the CSV format, once, before the first row.
void csv_header(Output& o) {
    if (o.header_done) return;
    csv_line(o, o.names);
    o.header_done = true;
}

// Raw format: writes the line held back, if any.
void raw_release(Output& o) {
    if (!o.raw_held) return;
    o.raw_line += '\n';
    write_out(o, o.raw_line);
    o.raw_held = false;
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string one_line(std::string_view value) {
    std::string out;
    for (char c : value) {
        unsigned char b = static_cast<unsigned char>(c);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (b < 0x20 || b == 0x7F)
            out += visible(std::string_view(&c, 1));
        else
            out += c;
    }
    return out;
}

std::string visible(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b == 0) {
            out += "\\0";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", b);
            out += buf;
        }
    }
    return out;
}

FILE* info_stream(const Session& s) {
    return s.format == Format::csv ? stderr : stdout;
}

Output output_begin(const Session& s) {
    Output o;
    o.session = &s;
    o.progress.enabled = isatty(STDERR_FILENO) == 1;
    o.progress.stdout_too = o.progress.enabled && isatty(STDOUT_FILENO) == 1;
    o.progress.start_ms = now_ms();
    return o;
}

void output_columns(Output& o, std::vector<std::string> names,
                    std::vector<bool> right_align) {
    o.names = std::move(names);
    o.right_align = std::move(right_align);
}

void output_row(Output& o, const std::vector<std::string>& values) {
    ++o.rows;
    switch (o.session->format) {
        case Format::table: {
            std::vector<std::string> cells;
            cells.reserve(o.names.size());
            for (std::size_t k = 0; k < o.names.size(); ++k)
                cells.push_back(k < values.size() ? one_line(values[k])
                                                  : std::string());
            o.page.push_back(std::move(cells));
            const int64_t page_rows = o.session->page_rows;
            if (page_rows > 0 &&
                static_cast<int64_t>(o.page.size()) >= page_rows)
                table_page(o);
            break;
        }
        case Format::csv:
            csv_header(o);
            csv_line(o, values);
            break;
        case Format::raw:
            break;  // the fetch hands over the raw lines itself
    }
}

void output_raw(Output& o, std::string_view line) {
    if (o.session->format != Format::raw) return;
    raw_release(o);
    o.raw_line.assign(line);
    o.raw_held = true;
}

void output_raw_append(Output& o, std::string_view more) {
    if (o.raw_held) o.raw_line += more;
}

// Redraws the counter at most ten times a second, once the fetch has run
// longer than the session's delay.
void output_tick(Output& o) {
    Progress& p = o.progress;
    if (!p.enabled) return;
    const int64_t t = now_ms();
    if (t - p.start_ms < o.session->progress_delay_ms) return;
    // Output that cleared the line does not bring it back sooner.
    if (p.last_ms != 0 && t - p.last_ms < 100) return;
    // What went to a shared terminal comes before the counter.
    if (p.stdout_too) std::fflush(stdout);
    std::fprintf(stderr, "\rfetching... row %lld",
                 static_cast<long long>(o.rows));
    std::fflush(stderr);
    p.shown = true;
    p.last_ms = t;
}

bool output_end(Output& o, bool complete) {
    progress_end(o.progress);
    if (!complete && o.rows == 0) {
        o.raw_held = false;
    } else {
        switch (o.session->format) {
            case Format::table:
                table_page(o);
                break;
            case Format::csv:
                csv_header(o);
                break;
            case Format::raw:
                raw_release(o);
                break;
        }
        if (std::fflush(stdout) != 0 && o.write_error == 0)
            o.write_error = errno;
        std::fprintf(info_stream(*o.session), "%lld row%s\n",
                     static_cast<long long>(o.rows), o.rows == 1 ? "" : "s");
    }
    if (std::fflush(stdout) != 0 && o.write_error == 0) o.write_error = errno;
    if (std::ferror(stdout) != 0) {
        if (o.write_error == 0) o.write_error = EIO;
        // The next result tries afresh.
        std::clearerr(stdout);
    }
    return o.write_error == 0;
}

// Host column type codes of numbers: decimal, smallint, integer, float,
// double, bigint.
bool numeric_type(int32_t type) { return column_type_is_number(type) != 0; }

void progress_end(Progress& p) {
    if (!p.shown) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    p.shown = false;
}

const char* layout_name(Layout l) {
    switch (l) {
        case Layout::block:
            return "block";
        case Layout::pairs:
            return "pairs";
        case Layout::fixed:
            return "fixed";
        case Layout::array:
            return "array";
        case Layout::args:
            return "args";
    }
    return "?";
}

bool parse_layout(std::string_view text, Layout* out) {
    for (Layout l : {Layout::block, Layout::pairs, Layout::fixed, Layout::array,
                     Layout::args}) {
        if (text == layout_name(l)) {
            *out = l;
            return true;
        }
    }
    return false;
}

const char* format_name(Format f) {
    switch (f) {
        case Format::table:
            return "table";
        case Format::csv:
            return "csv";
        case Format::raw:
            return "raw";
    }
    return "?";
}

bool parse_format(std::string_view text, Format* out) {
    for (Format f : {Format::table, Format::csv, Format::raw}) {
        if (text == format_name(f)) {
            *out = f;
            return true;
        }
    }
    return false;
}

const char* status_text(int status) {
    switch (status) {
        case ORV_OK:
            return "success";
        case ORV_ODBC_ERROR:
            return "an ODBC call failed";
        case ORV_MISSING_ARG:
            return "a required argument is missing";
        case ORV_NO_ENV:
            return "the ODBC environment is not allocated";
        case ORV_NO_FREE_SLOT:
            return "every connection slot is in use";
        case ORV_NO_MEMORY:
            return "out of memory, value refused, or no columns described";
        case ORV_BAD_COMMAND:
            return "command not available";
        case ORV_BAD_SLOT:
            return "no connection in this slot";
        case ORV_UNSUPPORTED:
            return "not supported";
        case ORV_BAD_KEYWORD:
            return "unrecognised keyword in the connection string";
        case ORV_NO_STATEMENT:
            return "no statement on this connection";
        case ORV_REFUSED:
            return "refused";
        case ORV_COLUMN_MISMATCH:
            return "column description does not match the result";
        default:
            return "unknown status";
    }
}

}  // namespace orvsh
