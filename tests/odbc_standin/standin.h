// A scripted stand-in for the ODBC functions the connector calls.
//
// Unit tests link the connector's code against this library instead of the
// driver manager, to reach paths that no real driver shows: an allocation
// that fails or warns, a diagnostic call that fails, a 300-character
// message, a driver name chosen by the test, a value read in pieces, a
// failing call at an exact point.  Behaviour a real driver can show belongs
// in the integration tests.
//
// Without scripting, the functions behave as a small believable driver:
// handles are distinct heap records that know their kind, connecting and
// freeing succeed, every call clears the diagnostics of its handle (as the
// driver manager does), SQLGetInfo answers from `script.info`, and each
// SQLExecDirect or SQLTables makes the next result of `script.results`
// current on its statement; columns bound with SQLBindCol are filled a
// rowset (SQL_ATTR_ROW_ARRAY_SIZE rows) at a time, with the rows-fetched
// and row-status pointers, and SQLSetPos(SQL_POSITION) picks the row
// SQLGetData reads.  Misuse a driver manager refuses is refused
// here too: unknown or freed handles give SQL_INVALID_HANDLE (and are
// counted, see invalid_handle_uses()), sequence errors give SQL_ERROR with
// the usual SQLSTATE.  Integer attributes are written with the width ODBC
// gives them (a statement attribute is an SQLULEN, 8 bytes on 64-bit).
//
// Scripting, from the least to the most control:
//   standin::script.info[SQL_DRIVER_NAME] = "myodbc.so";
//   standin::script.results.push_back(standin::table({"a"}, {{"1"}}));
//   standin::fail("SQLConnect", SQL_ERROR, "28000", 1045, "denied");
//   standin::fail("SQLAllocHandle", SQL_SUCCESS_WITH_INFO, "01000")
//       .on(SQL_HANDLE_STMT);
//   standin::hooks.SQLGetDiagRec = [](SQLSMALLINT, SQLHANDLE, ...) {...};
// A hook replaces the default behaviour of its function; it may call
// standin::base::<name>() for the default and adjust the outcome.
//
// Call standin::reset() in each test's SetUp.  Handles are never released
// (the connector's process-wide state may hold them from test to test);
// reset() keeps them valid but forgets their results and diagnostics.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "odbc_api.h"

namespace standin {

// ---- Result sets ------------------------------------------------------------

struct Column {
    std::string name, table, schema, catalog;
    SQLLEN display_size = 255;
    SQLLEN sql_type = SQL_VARCHAR;       // SQL_DESC_TYPE
    std::optional<SQLLEN> concise_type;  // SQL_DESC_CONCISE_TYPE (default:
                                         // sql_type)
    SQLLEN nullable = SQL_NULLABLE;      // SQL_DESC_NULLABLE
    SQLLEN auto_unique = SQL_FALSE;      // SQL_DESC_AUTO_UNIQUE_VALUE
    SQLLEN precision = 0;                // SQL_DESC_PRECISION
};

using Value = std::optional<std::string>;  // nullopt = NULL

struct Result {
    std::vector<Column> columns;  // none: a statement without a result set
    std::vector<std::vector<Value>> rows;  // missing trailing values: NULL
    std::optional<SQLLEN> row_count;       // SQLRowCount; default rows.size()
    bool no_total = false;  // SQLGetData reports SQL_NO_TOTAL for a value
                            // that does not fit, as some drivers do
};

// A column of the given name and SQL type.
Column column(std::string name, SQLLEN sql_type = SQL_VARCHAR,
              SQLLEN display_size = 255);
// A result of SQL_VARCHAR columns with the given names and rows.
Result table(std::vector<std::string> names,
             std::vector<std::vector<Value>> rows);

// ---- Default answers -------------------------------------------------------

struct Script {
    // SQLGetInfo text answers by info type; other types give HY096.
    std::map<SQLUSMALLINT, std::string> info = {
        {SQL_DRIVER_NAME, "libstandin.so"}, {SQL_DRIVER_VER, "01.02.0003"},
        {SQL_DBMS_NAME, "Standin"},         {SQL_DBMS_VER, "05.06.0007"},
        {SQL_DRIVER_ODBC_VER, "03.80"},     {SQL_ODBC_VER, "03.52.0000"}};
    // Served in order by SQLExecDirect and SQLTables; when empty, a
    // statement without result (row count 0), or for SQLTables the five
    // catalog columns and no rows.
    std::deque<Result> results;
    // SQLDataSources answers (name, description), in order.
    std::vector<std::pair<std::string, std::string>> data_sources;
    // SQLGetInfo integer answers by info type (SQLUINTEGER), e.g.
    // SQL_GETDATA_EXTENSIONS: with SQL_GD_BOUND | SQL_GD_BLOCK the
    // connector reads results through bound rowsets.
    std::map<SQLUSMALLINT, SQLUINTEGER> info_numbers;
    // SQLExecDirect/SQLTables refuse with 24000 while a cursor is open.
    bool refuse_exec_with_open_cursor = false;
    // SQLFetchScroll accepts only SQL_FETCH_NEXT (others: HY106).
    bool forward_only = false;
};
extern Script script;

// ---- Failing calls ----------------------------------------------------------

// A scripted outcome of one function.  A success code (SQL_SUCCESS,
// SQL_SUCCESS_WITH_INFO) lets the call do its work and then replaces its
// return code; any other code skips the work (SQLAllocHandle then leaves
// SQL_NULL_HANDLE).  The diagnostic record, when `state` is not empty, is
// queued on the handle of the call (for SQLAllocHandle, the input handle).
struct Rule {
    std::string function;
    SQLRETURN rc = SQL_ERROR;
    std::string state;
    SQLINTEGER native = 0;
    std::string message;
    SQLSMALLINT handle_type = 0;  // 0: any; else only calls on this kind
                                  // (SQLAllocHandle, SQLFreeHandle,
                                  // SQLGetDiagRec: their HandleType)
    int skip = 0;                 // let this many matching calls pass first
    int times = -1;               // then apply this often (-1: always)

    Rule& on(SQLSMALLINT type) {
        handle_type = type;
        return *this;
    }
    Rule& after(int n) {
        skip = n;
        return *this;
    }
    Rule& once() {
        times = 1;
        return *this;
    }
};
// Adds a rule; later rules are consulted first.  The reference stays valid
// until reset().
Rule& fail(std::string function, SQLRETURN rc, std::string state = "",
           SQLINTEGER native = 0, std::string message = "");

// ---- Hooks ------------------------------------------------------------------

// Each hook, when set, replaces the default behaviour of its function (the
// call is still logged, handles still checked, rules still applied first).
struct Hooks {
    std::function<SQLRETURN(SQLSMALLINT, SQLHANDLE, SQLHANDLE*)> SQLAllocHandle;
    std::function<SQLRETURN(SQLSMALLINT, SQLHANDLE)> SQLFreeHandle;
    std::function<SQLRETURN(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER)>
        SQLSetEnvAttr;
    std::function<SQLRETURN(SQLHDBC, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                            SQLSMALLINT, SQLCHAR*, SQLSMALLINT)>
        SQLConnect;
    std::function<SQLRETURN(SQLHDBC)> SQLDisconnect;
    std::function<SQLRETURN(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLCHAR*,
                            SQLINTEGER*, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*)>
        SQLGetDiagRec;
    std::function<SQLRETURN(SQLHDBC, SQLUSMALLINT, SQLPOINTER, SQLSMALLINT,
                            SQLSMALLINT*)>
        SQLGetInfo;
    std::function<SQLRETURN(SQLHSTMT, SQLCHAR*, SQLINTEGER)> SQLExecDirect;
    std::function<SQLRETURN(SQLHSTMT, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                            SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                            SQLSMALLINT)>
        SQLTables;
    std::function<SQLRETURN(SQLHENV, SQLUSMALLINT, SQLCHAR*, SQLSMALLINT,
                            SQLSMALLINT*, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*)>
        SQLDataSources;
    std::function<SQLRETURN(SQLHSTMT, SQLUSMALLINT)> SQLFreeStmt;
    std::function<SQLRETURN(SQLHSTMT, SQLLEN*)> SQLRowCount;
    std::function<SQLRETURN(SQLHSTMT, SQLSMALLINT*)> SQLNumResultCols;
    std::function<SQLRETURN(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER,
                            SQLINTEGER*)>
        SQLGetConnectAttr;
    std::function<SQLRETURN(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER)>
        SQLSetConnectAttr;
    std::function<SQLRETURN(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER,
                            SQLINTEGER*)>
        SQLGetStmtAttr;
    std::function<SQLRETURN(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER)>
        SQLSetStmtAttr;
    std::function<SQLRETURN(SQLHSTMT, SQLUSMALLINT, SQLUSMALLINT, SQLPOINTER,
                            SQLSMALLINT, SQLSMALLINT*, SQLLEN*)>
        SQLColAttribute;
    std::function<SQLRETURN(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER,
                            SQLLEN, SQLLEN*)>
        SQLGetData;
    std::function<SQLRETURN(SQLHSTMT, SQLSMALLINT, SQLLEN)> SQLFetchScroll;
    // Runs after the default SQLExecute has read the parameter rows; may
    // rewrite the row status array and the return code.
    std::function<SQLRETURN(SQLHSTMT, SQLRETURN)> SQLExecute;
    std::function<SQLRETURN(SQLHSTMT)> SQLCancel;
};
extern Hooks hooks;

// The parameter values every SQLExecute read, one entry per row: each
// marker's value as bytes (an integer in decimal), or nullopt for NULL.
// Cleared by reset().
using ParamRow = std::vector<std::optional<std::string>>;
extern std::vector<ParamRow> executed_rows;

// The default behaviour of every function, for hooks that wrap it.
namespace base {
SQLRETURN SQLAllocHandle(SQLSMALLINT, SQLHANDLE, SQLHANDLE*);
SQLRETURN SQLFreeHandle(SQLSMALLINT, SQLHANDLE);
SQLRETURN SQLSetEnvAttr(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER);
SQLRETURN SQLConnect(SQLHDBC, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT,
                     SQLCHAR*, SQLSMALLINT);
SQLRETURN SQLDisconnect(SQLHDBC);
SQLRETURN SQLGetDiagRec(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLCHAR*,
                        SQLINTEGER*, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*);
SQLRETURN SQLGetInfo(SQLHDBC, SQLUSMALLINT, SQLPOINTER, SQLSMALLINT,
                     SQLSMALLINT*);
SQLRETURN SQLExecDirect(SQLHSTMT, SQLCHAR*, SQLINTEGER);
SQLRETURN SQLPrepare(SQLHSTMT, SQLCHAR*, SQLINTEGER);
SQLRETURN SQLExecute(SQLHSTMT);
SQLRETURN SQLTables(SQLHSTMT, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT,
                    SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT);
SQLRETURN SQLDataSources(SQLHENV, SQLUSMALLINT, SQLCHAR*, SQLSMALLINT,
                         SQLSMALLINT*, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*);
SQLRETURN SQLFreeStmt(SQLHSTMT, SQLUSMALLINT);
SQLRETURN SQLRowCount(SQLHSTMT, SQLLEN*);
SQLRETURN SQLNumResultCols(SQLHSTMT, SQLSMALLINT*);
SQLRETURN SQLGetConnectAttr(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER,
                            SQLINTEGER*);
SQLRETURN SQLSetConnectAttr(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER);
SQLRETURN SQLGetStmtAttr(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER,
                         SQLINTEGER*);
SQLRETURN SQLSetStmtAttr(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER);
SQLRETURN SQLColAttribute(SQLHSTMT, SQLUSMALLINT, SQLUSMALLINT, SQLPOINTER,
                          SQLSMALLINT, SQLSMALLINT*, SQLLEN*);
SQLRETURN SQLGetData(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN,
                     SQLLEN*);
SQLRETURN SQLFetchScroll(SQLHSTMT, SQLSMALLINT, SQLLEN);
SQLRETURN SQLBindCol(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN,
                     SQLLEN*);
SQLRETURN SQLSetPos(SQLHSTMT, SQLSETPOSIROW, SQLUSMALLINT, SQLUSMALLINT);
SQLRETURN SQLCancel(SQLHSTMT);
}  // namespace base

// ---- Threads
// ------------------------------------------------------------------

// Calls from several threads are taken one at a time: every function holds
// one lock for the process while it runs (hooks included).  A hook that
// stands for a long statement waits with wait_for_cancel, which lets
// other threads' calls (SQLCancel among them) run meanwhile.
//
// For a hook running inside a call on `stmt`: waits until SQLCancel
// reaches the statement or `ms` milliseconds pass; returns whether it was
// cancelled (and forgets the cancel).
bool wait_for_cancel(SQLHSTMT stmt, int ms);

// ---- Handles, diagnostics, results ----------------------------------------

// Queues a diagnostic record on a handle (the next SQLGetDiagRec on it
// reports it; the next other call on it clears it).
void push_diag(SQLHANDLE h, std::string state, SQLINTEGER native = 0,
               std::string message = "");
// The most recently allocated handle of a kind, or SQL_NULL_HANDLE.
SQLHANDLE last_handle(SQLSMALLINT type);
// Allocated and not yet freed handles of a kind, oldest first.
std::vector<SQLHANDLE> live_handles(SQLSMALLINT type);
// Makes `r` the current result of a statement (cursor before the first row).
void set_result(SQLHSTMT stmt, Result r);
// Whether a connection handle is connected.
bool connected(SQLHDBC dbc);
// The current value of an integer connection or statement attribute, or
// nullopt for an unknown attribute or handle.
std::optional<SQLULEN> int_attr(SQLHANDLE h, SQLINTEGER attr);
// The current value of a text connection attribute.
std::optional<std::string> text_attr(SQLHDBC h, SQLINTEGER attr);

// ---- The call log --------------------------------------------------------

// One call.  `args`: the arguments worth checking, as text, in the order
// of the prototype (strings copied at call time, honouring their length
// arguments; a null pointer as "(null)"; numbers in decimal):
//   SQLAllocHandle: type          SQLFreeHandle: type
//   SQLSetEnvAttr: attr, value    SQLConnect: server, user, password
//   SQLGetDiagRec: type, record, buffer length
//   SQLGetInfo: type, buffer length
//   SQLExecDirect, SQLPrepare: text
//   SQLBindParameter: number, C type, SQL type, column size, digits,
//     buffer length               SQLExecute, SQLNumParams: none
//   SQLTables: catalog, schema, table, type
//   SQLDataSources: direction     SQLFreeStmt: option
//   SQLGet/SetConnectAttr, SQLGet/SetStmtAttr: attr, value (set; text
//     for text attributes) or buffer length (get), length argument
//   SQLColAttribute: column, field, buffer length
//   SQLGetData: column, target type, buffer length
//   SQLFetchScroll: orientation, offset
//   SQLBindCol: column, target type, buffer length
//   SQLSetPos: row, operation, lock
//   SQLRowCount, SQLNumResultCols, SQLDisconnect, SQLMoreResults: none
//   SQLDriverConnect: connection string, completion
//   SQLEndTran: handle type, completion
//   SQLCancel: none
struct LogEntry {
    std::string function;
    SQLHANDLE handle;  // the handle the call was made on (SQLAllocHandle:
                       // the input handle)
    std::vector<std::string> args;
    SQLRETURN rc;  // what the call returned
};
const std::vector<LogEntry>& log();
// The calls of one function, in order (safe while other threads call).
std::vector<LogEntry> calls_to(const std::string& function);
// The function names of the log, in order.
std::vector<std::string> call_names();
// Calls made with an unknown or freed handle since reset().
int invalid_handle_uses();

// Back to defaults: empty log, no rules, no hooks, default script;
// existing handles stay valid with no diagnostics and no result.
void reset();

// Releases the records of freed handles that no live handle names as its
// parent.  Their addresses may then come back for new handles, so a stale
// handle is no longer told apart: for long runs (fuzzing) that free
// everything between runs, not for tests of handle misuse.
void forget_freed_handles();

}  // namespace standin
