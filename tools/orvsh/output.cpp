// orvsh: printing results as aligned tables, CSV or the raw bytes, the row
// counter, and the names of layouts, formats and statuses.
#include <unistd.h>

#include <algorithm>
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

void print_table(const ResultSet& r) {
    const std::size_t n = r.names.size();
    std::vector<std::vector<std::string>> cells;
    std::vector<std::size_t> width(n, 0);
    for (std::size_t k = 0; k < n; ++k) width[k] = display_width(r.names[k]);
    for (const auto& row : r.rows) {
        std::vector<std::string> line;
        for (std::size_t k = 0; k < n; ++k) {
            line.push_back(one_line(k < row.size() ? row[k] : std::string()));
            width[k] = std::max(width[k], display_width(line.back()));
        }
        cells.push_back(std::move(line));
    }
    auto emit = [&](const std::vector<std::string>& values, bool header) {
        std::string line;
        for (std::size_t k = 0; k < n; ++k) {
            if (k > 0) line += " | ";
            const std::size_t gap = width[k] - display_width(values[k]);
            const bool right =
                !header && k < r.right_align.size() && r.right_align[k];
            if (right) pad(line, gap);
            line += values[k];
            if (!right && k + 1 < n) pad(line, gap);
        }
        std::printf("%s\n", line.c_str());
    };
    emit(r.names, true);
    std::string rule;
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0) rule += "-+-";
        rule.append(width[k], '-');
    }
    std::printf("%s\n", rule.c_str());
    for (const auto& line : cells) emit(line, false);
}

// One CSV field: quoted when it holds a comma, a quote or a line break.
std::string csv_field(const std::string& v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void print_csv(const ResultSet& r) {
    auto emit = [](const std::vector<std::string>& values, std::size_t n) {
        std::string line;
        for (std::size_t k = 0; k < n; ++k) {
            if (k > 0) line += ',';
            if (k < values.size()) line += csv_field(values[k]);
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
    };
    emit(r.names, r.names.size());
    for (const auto& row : r.rows) emit(row, r.names.size());
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

void print_result(const Session& s, const ResultSet& r) {
    switch (s.format) {
        case Format::table:
            print_table(r);
            break;
        case Format::csv:
            print_csv(r);
            break;
        case Format::raw:
            for (const std::string& line : r.raw)
                std::printf("%s\n", line.c_str());
            break;
    }
    std::fflush(stdout);
    std::fprintf(info_stream(s), "%zu row%s\n", r.rows.size(),
                 r.rows.size() == 1 ? "" : "s");
    std::fflush(stdout);
}

// Host column type codes of numbers: decimal, smallint, integer, float,
// double, bigint.
bool numeric_type(int32_t type) {
    switch (type) {
        case 0:
        case 2:
        case 3:
        case 4:
        case 5:
        case 8:
            return true;
        default:
            return false;
    }
}

Progress progress_begin(const Session& s) {
    Progress p;
    p.enabled = isatty(STDERR_FILENO) == 1;
    (void)s;
    p.start_ms = now_ms();
    return p;
}

// Redraws the counter at most ten times a second, once the fetch has run
// longer than the session's delay.
void progress_tick(Progress& p, const Session& s, int64_t rows) {
    if (!p.enabled) return;
    const int64_t t = now_ms();
    if (t - p.start_ms < s.progress_delay_ms) return;
    if (p.shown && t - p.last_ms < 100) return;
    std::fprintf(stderr, "\rfetching... row %lld",
                 static_cast<long long>(rows));
    std::fflush(stderr);
    p.shown = true;
    p.last_ms = t;
}

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
