// orvsh: the reference host.  A shell that loads the connector library as a
// host runtime does and runs SQL through its one entry point, orvsql.
//
// The records shared by the parts of the program: the options, the session
// (the host records and the connection the shell holds), and a result set
// as it is printed.
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
    bool echo = false;  // print each item before running it
};

// The shell's state for its whole run.
struct Session {
    hostkit::Host host;       // records and services of every command
    bool env = false;         // command 1 succeeded
    int slot = 0;             // the connected slot, 0 = none
    bool has_result = false;  // the last statement left a result open
    Layout layout = Layout::block;
    Format format = Format::table;
    bool null_text = false;
    bool interactive = false;
    bool echo = false;
    std::string where;              // "FILE:LINE: " of the running input
    int failures = 0;               // failures reported so far
    long progress_delay_ms = 1000;  // row counter after this long
};

// A result as the shell prints it.  `raw` holds the bytes as the
// connector delivered them, made visible, one entry per printed line.
struct ResultSet {
    std::vector<std::string> names;
    std::vector<bool> right_align;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> raw;
};

// ---- connector.cpp: commands through orvsql -------------------------------

// Loads the library, finds orvsql and sets up the host in heap mode.
// Returns false after printing why on stderr.
bool load_connector(Session& s, const std::string& path);
// The default library path: libdorevivezo.so in the executable's folder.
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
// Runs one SQL statement and prints its result.
bool run_sql(Session& s, const std::string& sql);
// The meta-commands that talk to the connector.
bool list_sources(Session& s);
bool describe_last(Session& s);
bool show_info(Session& s);
bool get_attribute(Session& s, bool statement, int32_t number);
bool set_attribute(Session& s, bool statement, int32_t number,
                   const std::string& value);

// ---- output.cpp: printing ---------------------------------------------------

// Prints a result in the session's format, then its row count.
void print_result(const Session& s, const ResultSet& r);
// The stream for informational lines: stderr under CSV (so that standard
// output stays pure CSV), else stdout.
FILE* info_stream(const Session& s);
// Bytes made visible: printable ASCII as is, "\0", "\\", "\xHH".
std::string visible(std::string_view bytes);
// Text on one line: line breaks and other control bytes made visible.
std::string one_line(std::string_view text);
// Whether a host column type code is numeric (right-aligned in tables).
bool numeric_type(int32_t type);
// Row counter on a terminal: tick between fetch calls, done at the end.
struct Progress {
    int64_t start_ms = 0;
    int64_t last_ms = 0;
    bool shown = false;
    bool enabled = false;
};
Progress progress_begin(const Session& s);
void progress_tick(Progress& p, const Session& s, int64_t rows);
void progress_end(Progress& p);

// Names of layouts, formats and statuses.
const char* layout_name(Layout l);
bool parse_layout(std::string_view text, Layout* out);
const char* format_name(Format f);
bool parse_format(std::string_view text, Format* out);
const char* status_text(int status);

}  // namespace orvsh
