// Values bound to markers: \bind for the next statement, and \copy FROM,
// which loads a CSV file through parameter arrays (command 22).
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "orvsh.h"

namespace orvsh {

namespace {

int64_t now_us() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return int64_t{tv.tv_sec} * 1000000 + tv.tv_usec;
}

// An array argument of text elements, one per row, with the null map
// behind them: elements one longer than the longest value.
hostkit::ArgSpec text_column(const std::vector<std::vector<Field>>& rows,
                             std::size_t column) {
    std::size_t longest = 0;
    for (const auto& r : rows)
        longest = std::max(longest, r[column].text.size());
    const auto size = static_cast<uint32_t>(longest + 1);
    const auto n = static_cast<uint32_t>(rows.size());
    hostkit::ArgSpec a = hostkit::array(size, n + (n + size - 1) / size,
                                        2 | ARG_ARRAY | ARG_NULL);
    a.bytes.assign(std::size_t{size} * a.elements, 0);
    for (uint32_t k = 0; k < n; ++k) {
        const Field& f = rows[k][column];
        std::memcpy(&a.bytes[std::size_t{k} * size], f.text.data(),
                    f.text.size());
        if (f.null) a.bytes[std::size_t{n} * size + k] = 1;
    }
    return a;
}

// Reads one CSV record in the dialect the csv format writes: fields
// separated by commas, a field holding a comma, a quote or a line break
// in double quotes with its quotes doubled.  An empty unquoted field is
// NULL; "" is the empty text.  Returns false at the end of the file;
// *bad is set for a quote left open.
bool read_record(FILE* in, std::vector<Field>& out, bool* bad) {
    out.clear();
    int c = std::getc(in);
    if (c == EOF) return false;
    Field f;
    bool quoted = false, in_quotes = false;
    for (;; c = std::getc(in)) {
        if (c == EOF) {
            *bad = in_quotes;
            break;
        }
        if (in_quotes) {
            if (c != '"') {
                f.text += static_cast<char>(c);
                continue;
            }
            const int next = std::getc(in);
            if (next == '"') {
                f.text += '"';
                continue;
            }
            in_quotes = false;
            c = next;
            if (c == EOF) break;
        }
        if (c == '"' && f.text.empty() && !quoted) {
            quoted = in_quotes = true;
        } else if (c == ',' || c == '\n') {
            f.null = !quoted && f.text.empty();
            out.push_back(std::move(f));
            f = Field{};
            quoted = false;
            if (c == '\n') return true;
        } else if (c != '\r') {
            f.text += static_cast<char>(c);
        }
    }
    f.null = !quoted && f.text.empty();
    out.push_back(std::move(f));
    return true;
}

// The column names of `table` (a query that returns no rows), lower case.
bool table_columns(Session& s, const std::string& table,
                   std::vector<std::string>* names) {
    std::vector<ColumnDesc> recs;
    if (!describe_query(s, "SELECT * FROM " + table + " WHERE 1=0", recs))
        return false;
    names->clear();
    for (const ColumnDesc& c : recs) {
        std::string n(c.name, strnlen(c.name, sizeof c.name));
        for (char& ch : n) ch = static_cast<char>(std::tolower(ch));
        names->push_back(n);
    }
    return true;
}

// True when the record is the table's header: its fields are the column
// names, in any letter case.
bool is_header(const std::vector<Field>& rec,
               const std::vector<std::string>& names) {
    if (rec.size() != names.size()) return false;
    for (std::size_t k = 0; k < rec.size(); ++k) {
        std::string f = rec[k].text;
        for (char& ch : f) ch = static_cast<char>(std::tolower(ch));
        if (f != names[k]) return false;
    }
    return true;
}

// Runs one batch through command 22; reports a failure with the file's
// row number.  Returns false on failure.
bool load_batch(Session& s, const std::string& insert,
                const std::vector<std::vector<Field>>& rows, int64_t loaded) {
    std::vector<hostkit::ArgSpec> args{hostkit::text(insert)};
    for (std::size_t k = 0; k < rows[0].size(); ++k)
        args.push_back(text_column(rows, k));
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(s.slot));
    hostkit::set_param_swapped(hdr, static_cast<int32_t>(rows.size()));
    hostkit::run(s.host, ORV_CMD_EXECUTE_PARAMS, hdr, std::move(args));
    if (hdr.status == ORV_OK) return true;
    report_command(s, "\\copy", hdr);
    if (hdr.status == ORV_ODBC_ERROR && hostkit::native_error(hdr) > 0)
        std::fprintf(
            stderr, "orvsh: at data row %lld; %lld rows loaded\n",
            static_cast<long long>(loaded + hostkit::native_error(hdr)),
            static_cast<long long>(loaded + hostkit::count(hdr)));
    return false;
}

// "INSERT INTO table VALUES (?, ?, ...)" with n markers.
std::string insert_text(const std::string& table, std::size_t n) {
    std::string sql = "INSERT INTO " + table + " VALUES (";
    for (std::size_t k = 0; k < n; ++k) sql += k == 0 ? "?" : ", ?";
    return sql + ")";
}

}  // namespace

bool copy_from(Session& s, const std::string& table, const std::string& path) {
    if (!need_connection(s)) return false;
    std::vector<std::string> names;
    if (!table_columns(s, table, &names)) return false;
    FILE* in = std::fopen(path.c_str(), "r");
    if (in == nullptr) {
        report_text(s, "cannot open " + path + ": " + std::strerror(errno));
        return false;
    }
    Running running(s);  // Ctrl-C cancels the batch and ends the load
    const int64_t start = now_us();
    const bool terminal = isatty(STDERR_FILENO) == 1;
    const std::string insert = insert_text(table, names.size());
    std::vector<std::vector<Field>> rows;
    std::vector<Field> rec;
    int64_t loaded = 0, line = 0;
    bool bad = false, ok = true;
    while (ok && read_record(in, rec, &bad)) {
        ++line;
        if (line == 1 && is_header(rec, names)) continue;
        if (bad || rec.size() != names.size()) {
            report_text(s, path + ": record " + std::to_string(line) + " has " +
                               std::to_string(rec.size()) +
                               " fields, the table " +
                               std::to_string(names.size()) + " columns");
            ok = false;
            break;
        }
        rows.push_back(std::move(rec));
        if (static_cast<int64_t>(rows.size()) < s.batch_rows) continue;
        if (cancel_asked()) {
            report_text(s, "\\copy: cancelled");
            ok = false;
            break;
        }
        ok = load_batch(s, insert, rows, loaded);
        loaded += ok ? static_cast<int64_t>(rows.size()) : 0;
        rows.clear();
        if (terminal && ok)
            std::fprintf(stderr, "\r%lld rows", static_cast<long long>(loaded));
    }
    if (ok && !rows.empty()) {
        ok = load_batch(s, insert, rows, loaded);
        if (ok) loaded += static_cast<int64_t>(rows.size());
    }
    std::fclose(in);
    if (terminal) std::fprintf(stderr, "\r\033[K");
    const double seconds = static_cast<double>(now_us() - start) / 1e6;
    std::fprintf(info_stream(s), "COPY %lld rows in %.3f s (%.0f rows/s)\n",
                 static_cast<long long>(loaded), seconds,
                 seconds > 0 ? static_cast<double>(loaded) / seconds : 0.0);
    return ok;
}

bool parse_bind(const std::string& text, std::vector<Field>* values) {
    values->clear();
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        Field f;
        if (text[i] != '\'') {
            const std::size_t end = text.find_first_of(" \t", i);
            f.text = text.substr(i, end - i);
            f.null = f.text == "NULL";
            if (f.null) f.text.clear();
            i = end == std::string::npos ? text.size() : end;
            values->push_back(std::move(f));
            continue;
        }
        for (++i;; ++i) {  // 'quoted', '' for a quote
            if (i >= text.size()) return false;
            if (text[i] == '\'' && i + 1 < text.size() && text[i + 1] == '\'')
                f.text += text[++i];
            else if (text[i] == '\'')
                break;
            else
                f.text += text[i];
        }
        ++i;
        values->push_back(std::move(f));
    }
    return true;
}

CmdHdr execute_bound(Session& s, const std::string& sql) {
    std::vector<hostkit::ArgSpec> args{hostkit::text(sql)};
    for (const Field& f : s.bound) {
        hostkit::ArgSpec a = hostkit::text(f.text);
        if (f.null) a.type_flags = 2 | ARG_NULL;
        args.push_back(std::move(a));
    }
    s.bound.clear();
    s.has_bind = false;
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(s.slot));
    hostkit::run(s.host, ORV_CMD_EXECUTE_PARAMS, hdr, std::move(args));
    return hdr;
}

}  // namespace orvsh
