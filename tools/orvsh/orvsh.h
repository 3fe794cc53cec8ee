// orvsh: the reference host.  A shell that loads the connector library as a
// host runtime does and runs SQL through its one entry point, orvsql.
//
// The records shared by the parts of the program: the options, the session
// (the host records and the connection the shell holds), and a result on
// its way to the output.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "dorevivezo.h"
#include "hostkit.h"

namespace orvsh {

// How rows travel from the connector to the shell.
enum class Layout { block, pairs, fixed, array, args };
// How a result is printed.
enum class Format { table, csv, raw };

// One -e or -f option, in command-line order.
struct Input {
    bool is_file = false;
    std::string text;  // the SQL of -e, or the file name of -f
};

struct Options {
    std::string library;        // empty: the one beside the executable
    std::string trace;          // --trace: ORVSQL_TRACE for the connector
    std::string connection;     // -c
    bool connect = false;       // -c was given
    std::vector<Input> inputs;  // -e and -f
    Layout layout = Layout::block;
    Format format = Format::table;
    bool null_text = false;
    bool keep_going = false;
    bool echo = false;          // print each item before running it
    int64_t page_rows = 1000;   // table rows that set the column widths
    int64_t batch_rows = 1000;  // \copy FROM: rows per command 22
};

// One value for a marker: a CSV field or a \bind word.
struct Field {
    std::string text;
    bool null = false;
};

// The shell's state for its whole run.
struct Session {
    hostkit::Host host;       // records and services of every command
    bool env = false;         // command 1 succeeded
    int slot = 0;             // the connected slot, 0 = none
    bool has_result = false;  // the last statement left a result open
    // The columns of the last statement's last result that had any.
    std::vector<ColumnDesc> last_columns;
    Layout layout = Layout::block;
    Format format = Format::table;
    bool null_text = false;
    bool interactive = false;
    bool echo = false;
    std::string where;              // "FILE:LINE: " of the running input
    int failures = 0;               // failures reported so far
    long progress_delay_ms = 1000;  // row counter after this long
    int64_t page_rows = 1000;       // table rows per page, 0 = all
    std::vector<Field> bound;       // \bind: values of the next statement
    bool has_bind = false;          // \bind gave values (maybe none)
    int64_t batch_rows = 1000;      // \copy FROM: rows per command 22
    bool interrupted = false;       // Ctrl-C asked to cancel a statement
};

// Row counter on a terminal: tick between fetch calls, done at the end.
struct Progress {
    int64_t start_ms = 0;
    int64_t last_ms = 0;
    bool shown = false;
    bool enabled = false;
    bool stdout_too = false;  // standard output is a terminal as well
};

// A result on its way out.  The fetch hands over the column names, then
// each row as it arrives; CSV and raw lines are written at once and
// forgotten.  The table format gathers one page of rows: the first page
// sets the column widths, later pages keep them.  So the memory a result
// takes is a row (CSV, raw) or a page (table), whatever its size.
struct Output {
    const Session* session = nullptr;
    std::vector<std::string> names;
    std::vector<bool> right_align;
    bool header_done = false;  // the header line (CSV, table) is out
    int64_t rows = 0;          // rows handed over so far
    // Table format: the page not yet printed (cells on one line each) and
    // the widths the first page set (empty until then).
    std::vector<std::vector<std::string>> page;
    std::vector<std::size_t> width;
    // Raw format: the last line, held back so that a closing byte can
    // still be added to it.
    std::string raw_line;
    bool raw_held = false;
    std::string line;     // work buffer of one printed line
    int write_error = 0;  // errno of the first failed write to stdout
    Progress progress;
};

// ---- connector.cpp: commands through orvsql -------------------------------

// Loads the library, finds orvsql and sets up the host in heap mode.
// Returns false after printing why on stderr.
bool load_connector(Session& s, const std::string& path);
// The default library path: libdorevivezo.so in the executable's folder,
// else the installed library relative to it (../lib/libdorevivezo.so.1).
std::string default_library_path();
// Allocates the environment (command 1).
bool start(Session& s);
// Closes the statement, disconnects and releases the environment.
void shutdown(Session& s);
// Connects a fresh slot (commands 4 and 6); the previous connection is
// closed first.
bool connect(Session& s, const std::string& connection);
// Closes the current connection (commands 13 and 7).
bool disconnect(Session& s);
// Runs one SQL statement and prints each of its results in turn.
bool run_sql(Session& s, const std::string& sql);
// Commits or rolls back the connection's transaction (\commit,
// \rollback).
bool end_transaction(Session& s, bool commit);
// Switches autocommit on or off (\autocommit on|off).
bool set_autocommit(Session& s, bool on);
// The meta-commands that talk to the connector.
bool list_sources(Session& s);
bool describe_last(Session& s);
bool show_info(Session& s);
bool get_attribute(Session& s, bool statement, int32_t number);
bool set_attribute(Session& s, bool statement, int32_t number,
                   const std::string& value);

// Shared with bind.cpp: the connection check, failure reports, and the
// description of a query's result (its cursor closed again).
bool need_connection(Session& s);
void report_command(Session& s, const char* what, const CmdHdr& hdr);
void report_text(Session& s, const std::string& text);
bool describe_query(Session& s, const std::string& sql,
                    std::vector<ColumnDesc>& out);

// ---- bind.cpp: values bound to markers
// ---------------------------------------

// \bind's values: words separated by blanks, 'quoted' to hold blanks
// ('' for a quote); the bare word NULL is SQL NULL.  False for an open
// quote.
bool parse_bind(const std::string& text, std::vector<Field>* values);
// Runs sql through command 22 with the bound values, then forgets them.
CmdHdr execute_bound(Session& s, const std::string& sql);
// \copy TABLE FROM FILE: loads the CSV file in batches of batch_rows
// rows (a first record naming the table's columns is skipped); prints
// the rows, seconds and rows per second.
bool copy_from(Session& s, const std::string& table, const std::string& path);

// ---- interrupt.cpp: Ctrl-C cancels the running statement ------------------

// Installs the SIGINT handler and starts the thread that sends the cancel
// command (with the session's library) when Ctrl-C comes while a
// statement runs.
void watch_interrupts(const Session& s);
// Marks a statement on the session's slot as running for its lifetime, so
// that Ctrl-C cancels it; at its end sets session.interrupted when Ctrl-C
// asked for a cancel meanwhile.
struct Running {
    explicit Running(Session& s);
    ~Running();
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    Session& session;
};
// Whether Ctrl-C asked to cancel the running statement: loops that fetch
// rows or send batches stop at once.
bool cancel_asked();

// ---- output.cpp: printing ---------------------------------------------------

// Starts printing a result in the session's format; starts the row
// counter.
Output output_begin(const Session& s);
// Sets the column names (and which columns are right-aligned in tables);
// before the first row.
void output_columns(Output& o, std::vector<std::string> names,
                    std::vector<bool> right_align);
// One row of values, one per column (missing ones print empty).
void output_row(Output& o, const std::vector<std::string>& values);
// Raw format: one line of delivered bytes, already made visible.  The line
// is held until the next one or the end; output_raw_append adds to it.
void output_raw(Output& o, std::string_view line);
void output_raw_append(Output& o, std::string_view more);
// Redraws the row counter with the rows handed over so far.
void output_tick(Output& o);
// Ends the result: prints what is held back, then the row count.  After a
// failure (`complete` false) a result without rows prints nothing.
// Returns false when writing to standard output failed (o.write_error
// holds the errno).
bool output_end(Output& o, bool complete);
// The stream for informational lines: stderr under CSV (so that standard
// output stays pure CSV), else stdout.
FILE* info_stream(const Session& s);
// Bytes made visible: printable ASCII as is, "\0", "\\", "\xHH".
std::string visible(std::string_view bytes);
// Text on one line: line breaks and other control bytes made visible.
std::string one_line(std::string_view text);
// Whether a host column type code is numeric (right-aligned in tables).
bool numeric_type(int32_t type);
// Clears the row counter's line (when shown).
void progress_end(Progress& p);

// Names of layouts, formats and statuses.
const char* layout_name(Layout l);
bool parse_layout(std::string_view text, Layout* out);
const char* format_name(Format f);
bool parse_format(std::string_view text, Format* out);
const char* status_text(int status);

}  // namespace orvsh
