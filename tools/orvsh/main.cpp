// orvsh: options, input (command line, files, standard input, or an
// interactive terminal with line editing and history) and meta-commands.
#if ORVSH_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#else
#include "plain_input.h"
#endif
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "orvsh.h"

namespace orvsh {

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: orvsh [-c CONNECTION-STRING] [-e SQL]... [-f FILE]\n"
    "             [--layout block|pairs|fixed|array|args]\n"
    "             [--format table|csv|raw] [--page-rows N] [--null-text]\n"
    "             [--batch-rows N]\n"
    "             [--keep-going] [--echo] [--library PATH] [--trace FILE]\n"
    "\n"
    "  -c, --connect STRING  connect first; STRING holds -host=DSN, and\n"
    "                        optionally -user=NAME -pw=PASSWORD and\n"
    "                        -odbc=KEY=VALUE;... (driver attributes; with\n"
    "                        Driver=... no -host is needed)\n"
    "  -e, --execute SQL     run SQL statements or a meta-command "
    "(repeatable)\n"
    "  -f, --file FILE       run the statements of FILE ('-': standard input)\n"
    "      --layout NAME     how rows are fetched (default block)\n"
    "      --format NAME     how results are printed (default table)\n"
    "      --page-rows N     table rows whose values set the column widths;\n"
    "                        later rows keep them (default 1000, 0: all)\n"
    "      --null-text       show NULL values as the text NULL\n"
    "      --batch-rows N    rows \\copy FROM sends per command (default "
    "1000)\n"
    "      --keep-going      run on after a failure (exit status 1 at the "
    "end)\n"
    "      --echo            print each statement before running it\n"
    "      --library PATH    the connector library (default: libdorevivezo.so\n"
    "                        in orvsh's own folder, else the installed one)\n"
    "      --trace FILE      the connector writes a line per command to FILE\n"
    "                        ('-': standard error), as ORVSQL_TRACE does\n"
    "  -h, --help            show this text\n"
    "\n"
    "Without -e or -f, orvsh reads statements from the terminal (or from\n"
    "standard input). Statements end with ';'; type \\help for the\n"
    "meta-commands.\n"
    "\n"
    "Ctrl-C while a statement runs cancels it (the driver reports the\n"
    "cancelled statement as a failure); a second Ctrl-C before it ends\n"
    "quits at once with exit status 130. At the prompt Ctrl-C quits.\n";

const char kHelp[] =
    "SQL statements end with ';'. Meta-commands take one line:\n"
    "  \\connect STRING        connect (-host=DSN -user=NAME -pw=PASSWORD)\n"
    "  \\close                 close the connection\n"
    "  \\sources               list the ODBC data sources\n"
    "  \\tables                list tables (SHOW TABLES)\n"
    "  \\schemas               list schemas (SHOW SCHEMAS)\n"
    "  \\catalogs              list catalogs (SHOW CATALOGS)\n"
    "  \\describe              describe the columns of the last result\n"
    "  \\info                  driver and connector information\n"
    "  \\commit                commit the transaction\n"
    "  \\rollback              roll the transaction back\n"
    "  \\autocommit on|off     switch autocommit\n"
    "  \\get conn|stmt N       read connection or statement attribute N\n"
    "  \\set conn|stmt N VALUE set connection or statement attribute N\n"
    "  \\bind [V1 V2 ...]      values of the ? markers of the next "
    "statement:\n"
    "                         words, 'quoted' to hold blanks ('' a quote),\n"
    "                         NULL for NULL; \\bind alone clears them\n"
    "  \\copy TABLE FROM FILE  load a CSV file (as --format csv writes it;\n"
    "                         header optional; an empty unquoted field is\n"
    "                         NULL) in batches of --batch-rows rows\n"
    "  \\layout [NAME]         block, pairs, fixed, array or args\n"
    "  \\format [NAME]         table, csv or raw\n"
    "  \\echo TEXT            print TEXT\n"
    "  \\help                  this text\n"
    "  \\quit                  leave\n"
    "Ctrl-C cancels the running statement; a second one quits.\n";

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "orvsh: %s\nTry 'orvsh --help'.\n", message.c_str());
    std::exit(kExitUsage);
}

// Reads a count of 0 or more written in decimal digits into *out.
bool parse_count(const std::string& text, int64_t* out) {
    if (text.empty() ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != 0) return false;
    *out = v;
    return true;
}

// Reads the options; exits with status 2 on bad usage.
Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        // --name=value
        if (arg.rfind("--", 0) == 0) {
            std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_value = true;
            }
        }
        auto need_value = [&]() -> std::string {
            if (has_value) return value;
            if (i + 1 >= argc) usage_error("option " + arg + " needs a value");
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "-c" || arg == "--connect") {
            o.connection = need_value();
            o.connect = true;
        } else if (arg == "-e" || arg == "--execute") {
            o.inputs.push_back({false, need_value()});
        } else if (arg == "-f" || arg == "--file") {
            o.inputs.push_back({true, need_value()});
        } else if (arg == "--layout") {
            std::string name = need_value();
            if (!parse_layout(name, &o.layout))
                usage_error("unknown layout '" + name +
                            "' (block, pairs, fixed, array or args)");
        } else if (arg == "--format") {
            std::string name = need_value();
            if (!parse_format(name, &o.format))
                usage_error("unknown format '" + name +
                            "' (table, csv or raw)");
        } else if (arg == "--page-rows") {
            std::string text = need_value();
            if (!parse_count(text, &o.page_rows))
                usage_error(
                    "option --page-rows needs a number of rows, 0 "
                    "or more (not '" +
                    text + "')");
        } else if (arg == "--batch-rows") {
            std::string text = need_value();
            if (!parse_count(text, &o.batch_rows) || o.batch_rows < 1 ||
                o.batch_rows > 0x7FFFFF)
                usage_error(
                    "option --batch-rows needs a number of rows, 1 "
                    "to 8388607 (not '" +
                    text + "')");
        } else if (arg == "--library") {
            o.library = need_value();
        } else if (arg == "--trace") {
            o.trace = need_value();
        } else if (arg == "--null-text" && !has_value) {
            o.null_text = true;
        } else if (arg == "--keep-going" && !has_value) {
            o.keep_going = true;
        } else if (arg == "--echo" && !has_value) {
            o.echo = true;
        } else if (arg.size() > 0 && arg[0] == '-') {
            usage_error("unknown option " + arg);
        } else {
            usage_error("unexpected argument '" + arg + "'");
        }
    }
    return o;
}

// ---- Splitting input into statements and meta-commands ----------------------

struct Item {
    bool meta = false;
    std::string text;
    int line = 0;  // where it started
};

// Collects statement text across lines; ';' outside quotes and comments
// ends a statement.  A line starting with '\' between statements is a
// meta-command.
struct Splitter {
    std::string buffer;
    char quote = 0;              // inside '...' or "..."
    bool block_comment = false;  // inside /* ... */
    int start_line = 0;
};

bool blank(std::string_view s) {
    return s.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

std::string trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(b, e - b + 1));
}

// The statement without leading blanks and whole-line "--" comments, so
// that a SHOW statement after a comment is still seen as one.
std::string statement_text(const std::string& buffer) {
    std::string_view rest = buffer;
    for (;;) {
        std::size_t b = rest.find_first_not_of(" \t\r\n");
        if (b == std::string_view::npos) return {};
        rest = rest.substr(b);
        if (rest.rfind("--", 0) != 0) break;
        std::size_t nl = rest.find('\n');
        if (nl == std::string_view::npos) return {};
        rest = rest.substr(nl + 1);
    }
    return trim(rest);
}

void emit_statement(Splitter& sp, std::vector<Item>& out) {
    std::string text = statement_text(sp.buffer);
    if (!text.empty()) out.push_back({false, text, sp.start_line});
    sp.buffer.clear();
}

bool pending(const Splitter& sp) {
    return sp.quote != 0 || sp.block_comment ||
           !statement_text(sp.buffer).empty();
}

void feed(Splitter& sp, const std::string& line, int line_no,
          std::vector<Item>& out) {
    // Only blanks and "--" comments so far: a meta-command may come, and
    // the statement (if any) starts on this line.
    const bool fresh =
        sp.quote == 0 && !sp.block_comment && statement_text(sp.buffer).empty();
    if (fresh) {
        std::string t = trim(line);
        if (!t.empty() && t[0] == '\\') {
            sp.buffer.clear();
            out.push_back({true, t, line_no});
            return;
        }
    }
    if (fresh) sp.start_line = line_no;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        const char next = i + 1 < line.size() ? line[i + 1] : 0;
        if (sp.block_comment) {
            sp.buffer += c;
            if (c == '*' && next == '/') {
                sp.buffer += next;
                ++i;
                sp.block_comment = false;
            }
        } else if (sp.quote != 0) {
            sp.buffer += c;
            if (c == sp.quote) {
                if (next == sp.quote) {
                    sp.buffer += next;
                    ++i;
                } else {
                    sp.quote = 0;
                }
            }
        } else if (c == '\'' || c == '"') {
            sp.quote = c;
            sp.buffer += c;
        } else if (c == '-' && next == '-') {
            sp.buffer += line.substr(i);
            break;
        } else if (c == '/' && next == '*') {
            sp.block_comment = true;
            sp.buffer += "/*";
            ++i;
        } else if (c == ';') {
            emit_statement(sp, out);
            sp.start_line = line_no;
        } else {
            sp.buffer += c;
        }
    }
    sp.buffer += '\n';
}

// The end of the input ends a statement that has no ';'.
void finish(Splitter& sp, std::vector<Item>& out) {
    emit_statement(sp, out);
    sp.quote = 0;
    sp.block_comment = false;
}

// ---- Running items
// ------------------------------------------------------------

enum class Outcome { ok, failed, quit };

// Splits a meta-command's text into its first `n` words and the rest.
std::vector<std::string> words(const std::string& text, std::size_t n,
                               std::string* rest) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (out.size() < n) {
        std::size_t b = text.find_first_not_of(" \t", at);
        if (b == std::string::npos) {
            at = text.size();
            break;
        }
        std::size_t e = text.find_first_of(" \t", b);
        if (e == std::string::npos) e = text.size();
        out.push_back(text.substr(b, e - b));
        at = e;
    }
    if (rest != nullptr) *rest = trim(std::string_view(text).substr(at));
    return out;
}

bool parse_int(const std::string& text, int32_t* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != 0 || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

Outcome bad_meta(Session& s, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "orvsh: %s%s\n", s.where.c_str(), message.c_str());
    ++s.failures;
    return Outcome::failed;
}

Outcome result(bool ok) { return ok ? Outcome::ok : Outcome::failed; }

Outcome run_meta(Session& s, const std::string& text) {
    std::string rest;
    std::vector<std::string> w = words(text, 1, &rest);
    const std::string cmd = w.empty() ? std::string() : w[0];
    if (cmd == "\\q" || cmd == "\\quit") return Outcome::quit;
    if (cmd == "\\echo") {
        std::printf("%s\n", rest.c_str());
        return Outcome::ok;
    }
    if (cmd == "\\help" || cmd == "\\?") {
        std::fputs(kHelp, stdout);
        return Outcome::ok;
    }
    if (cmd == "\\connect") {
        if (rest.empty())
            return bad_meta(s, "\\connect needs a connection string");
        return result(connect(s, rest));
    }
    if (cmd == "\\close") return result(disconnect(s));
    if (cmd == "\\sources") return result(list_sources(s));
    if (cmd == "\\tables") return result(run_sql(s, "SHOW TABLES"));
    if (cmd == "\\schemas") return result(run_sql(s, "SHOW SCHEMAS"));
    if (cmd == "\\catalogs") return result(run_sql(s, "SHOW CATALOGS"));
    if (cmd == "\\describe") return result(describe_last(s));
    if (cmd == "\\commit") return result(end_transaction(s, true));
    if (cmd == "\\rollback") return result(end_transaction(s, false));
    if (cmd == "\\autocommit") {
        if (rest != "on" && rest != "off")
            return bad_meta(s, "usage: \\autocommit on|off");
        return result(set_autocommit(s, rest == "on"));
    }
    if (cmd == "\\info") return result(show_info(s));
    if (cmd == "\\get" || cmd == "\\set") {
        const bool set = cmd == "\\set";
        std::string value;
        std::vector<std::string> a = words(rest, 2, &value);
        int32_t number = 0;
        if (a.size() < 2 || (a[0] != "conn" && a[0] != "stmt") ||
            !parse_int(a[1], &number) || (set && value.empty()) ||
            (!set && !value.empty()))
            return bad_meta(s, set ? "usage: \\set conn|stmt N VALUE"
                                   : "usage: \\get conn|stmt N");
        const bool statement = a[0] == "stmt";
        return result(set ? set_attribute(s, statement, number, value)
                          : get_attribute(s, statement, number));
    }
    if (cmd == "\\bind") {
        if (!parse_bind(rest, &s.bound))
            return bad_meta(s, "\\bind: a quote is left open");
        s.has_bind = !s.bound.empty();
        return Outcome::ok;
    }
    if (cmd == "\\copy") {
        std::string file;
        std::vector<std::string> a = words(rest, 2, &file);
        if (a.size() != 2 || (a[1] != "FROM" && a[1] != "from") || file.empty())
            return bad_meta(s, "usage: \\copy TABLE FROM FILE");
        return result(copy_from(s, a[0], file));
    }
    if (cmd == "\\layout") {
        if (rest.empty()) {
            std::printf("layout %s\n", layout_name(s.layout));
            return Outcome::ok;
        }
        if (!parse_layout(rest, &s.layout))
            return bad_meta(s, "unknown layout '" + rest +
                                   "' (block, pairs, fixed, array or args)");
        return Outcome::ok;
    }
    if (cmd == "\\format") {
        if (rest.empty()) {
            std::printf("format %s\n", format_name(s.format));
            return Outcome::ok;
        }
        if (!parse_format(rest, &s.format))
            return bad_meta(
                s, "unknown format '" + rest + "' (table, csv or raw)");
        return Outcome::ok;
    }
    return bad_meta(s, "unknown meta-command " + cmd + " (try \\help)");
}

Outcome run_item(Session& s, const Item& item, const std::string& origin) {
    s.where = origin.empty() ? std::string()
                             : origin + ":" + std::to_string(item.line) + ": ";
    if (s.echo && item.text.rfind("\\echo", 0) != 0) {
        // Shown as typed at the prompt, control bytes made visible.
        std::istringstream lines(item.text);
        std::string line;
        for (bool first = true; std::getline(lines, line); first = false)
            std::printf("%s%s%s\n", first ? "orvsh> " : "   ...> ",
                        one_line(line).c_str(),
                        !item.meta && lines.peek() == EOF ? ";" : "");
        std::fflush(stdout);
    }
    Outcome o =
        item.meta ? run_meta(s, item.text) : result(run_sql(s, item.text));
    s.where.clear();
    return o;
}

// Runs the items of one input.  Returns false when the run must stop: a
// failure without --keep-going, or \quit.
bool run_items(Session& s, const std::vector<Item>& items,
               const std::string& origin, bool keep_going, bool* quit) {
    for (const Item& item : items) {
        Outcome o = run_item(s, item, origin);
        if (o == Outcome::quit) {
            *quit = true;
            return false;
        }
        if (o == Outcome::failed && !keep_going) return false;
    }
    return true;
}

// Runs a stream line by line (a file or standard input without a terminal).
bool run_stream(Session& s, std::istream& in, const std::string& origin,
                bool keep_going, bool* quit) {
    Splitter sp;
    std::string line;
    int line_no = 0;
    while (std::getline(in, line)) {
        std::vector<Item> items;
        feed(sp, line, ++line_no, items);
        if (!run_items(s, items, origin, keep_going, quit)) return false;
    }
    std::vector<Item> items;
    finish(sp, items);
    return run_items(s, items, origin, keep_going, quit);
}

std::string history_path() {
    if (const char* p = std::getenv("ORVSH_HISTFILE")) return p;
    if (const char* home = std::getenv("HOME"))
        return std::string(home) + "/.orvsh_history";
    return {};
}

// The interactive loop: readline with history; failures are reported and
// the session goes on.
void run_interactive(Session& s) {
    const std::string hist = history_path();
    using_history();
    if (!hist.empty()) read_history(hist.c_str());
    std::printf(
        "orvsh: SQL through the connector; \\help for help, \\quit to leave\n");
    Splitter sp;
    int line_no = 0;
    bool quit = false;
    while (!quit) {
        char* raw = readline(pending(sp) ? "   ...> " : "orvsh> ");
        if (raw == nullptr) {
            std::printf("\n");
            break;
        }
        std::string line = raw;
        std::free(raw);
        if (!blank(line)) add_history(line.c_str());
        std::vector<Item> items;
        feed(sp, line, ++line_no, items);
        s.interrupted = false;
        for (const Item& item : items) {
            if (run_item(s, item, "") == Outcome::quit) {
                quit = true;
                break;
            }
            // Ctrl-C drops the rest of the line, as it does the statement.
            if (s.interrupted) break;
        }
    }
    if (!hist.empty()) {
        write_history(hist.c_str());
        history_truncate_file(hist.c_str(), 1000);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    Session s;
    const std::string library =
        o.library.empty() ? default_library_path() : o.library;
    // The connector reads its trace setting on its first command.
    if (!o.trace.empty()) setenv("ORVSQL_TRACE", o.trace.c_str(), 1);
    if (!load_connector(s, library)) return kExitFailure;
    watch_interrupts(s);
    s.layout = o.layout;
    s.format = o.format;
    s.null_text = o.null_text;
    s.echo = o.echo;
    s.page_rows = o.page_rows;
    s.batch_rows = o.batch_rows;
    s.interactive = o.inputs.empty() && isatty(STDIN_FILENO) == 1;
    if (const char* d = std::getenv("ORVSH_PROGRESS_DELAY_MS"))
        s.progress_delay_ms = std::atol(d);

    if (!start(s)) return kExitFailure;
    bool go_on = true;
    if (o.connect)
        go_on = connect(s, o.connection) || o.keep_going || s.interactive;

    bool quit = false;
    if (go_on) {
        if (s.interactive) {
            run_interactive(s);
        } else if (o.inputs.empty()) {
            run_stream(s, std::cin, "stdin", o.keep_going, &quit);
        } else {
            for (const Input& in : o.inputs) {
                bool more = true;
                if (!in.is_file) {
                    std::istringstream text(in.text);
                    more = run_stream(s, text, "", o.keep_going, &quit);
                } else if (in.text == "-") {
                    more =
                        run_stream(s, std::cin, "stdin", o.keep_going, &quit);
                } else {
                    std::ifstream file(in.text);
                    if (!file) {
                        std::fprintf(stderr, "orvsh: cannot read %s: %s\n",
                                     in.text.c_str(), std::strerror(errno));
                        ++s.failures;
                        more = o.keep_going;
                    } else {
                        more =
                            run_stream(s, file, in.text, o.keep_going, &quit);
                    }
                }
                if (!more) break;
            }
        }
    }
    shutdown(s);
    std::fflush(stdout);
    if (s.interactive) return 0;
    return s.failures > 0 ? kExitFailure : 0;
}

}  // namespace orvsh

#if defined(__SANITIZE_ADDRESS__)
// In the sanitizer build: the ODBC drivers that orvsh reaches through
// dlopen have no frame pointers, so the fast unwinder cuts allocation
// stacks short of the driver frames that the leak suppressions name.
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
#endif

int main(int argc, char** argv) { return orvsh::main(argc, argv); }
