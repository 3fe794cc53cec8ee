// Commands on the slot's statement: execute SQL text (9) with the catalog
// forms of four SHOW statements, move to the next result (20), describe
// the result's columns (10),
// import column records from the host (11), reset the statement (13), and
// list the driver manager's data sources (18).
#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string_view>

#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "odbc_api.h"
#include "stmt/columns.h"
#include "stmt/result_cache.h"

namespace orv {

namespace {

// A SHOW statement answered by SQLTables, with the four search strings.
struct ShowForm {
    std::string_view text;
    const char* catalog;
    const char* schema;
    const char* table;
    const char* table_type;
};

// Rows 1-2 enumerate schemas (SQL_ALL_SCHEMAS), row 4 catalogs
// (SQL_ALL_CATALOGS); row 3 lists every table.
constexpr std::array<ShowForm, 4> kShowForms{{
    {"SHOW DATABASES", "", "%", "", ""},
    {"SHOW SCHEMAS", "", "%", "", ""},
    {"SHOW TABLES", "", "", "%", ""},
    {"SHOW CATALOGS", "%", "", "", ""},
}};

constexpr std::string_view kShowPrefix = "SHOW ";
// Drivers whose name starts with this get SHOW statements as SQL.
constexpr std::string_view kSqlShowDriverPrefix = "my";

constexpr char ascii_upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when `text` begins with `prefix`, ignoring ASCII letter case.
constexpr bool starts_with_nocase(std::string_view text,
                                  std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (ascii_upper(text[i]) != ascii_upper(prefix[i])) return false;
    return true;
}

// True when the two texts are equal, ignoring ASCII letter case.
constexpr bool equals_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && starts_with_nocase(a, b);
}

static_assert(starts_with_nocase("show tables", kShowPrefix));
static_assert(!starts_with_nocase(" SHOW TABLES", kShowPrefix));
static_assert(!starts_with_nocase("SHOWTABLES", kShowPrefix));
static_assert(equals_nocase("Show Tables", "SHOW TABLES"));
static_assert(!equals_nocase("SHOW TABLES;", "SHOW TABLES"));

// True when the connection's driver takes SHOW statements as SQL: its
// name begins with "my" in any letter case.  A name that cannot be had
// counts as empty.
bool driver_takes_show(SQLHDBC connection) {
    SQLCHAR name[kTextSize] = {};
    SQLSMALLINT length = 0;
    SQLRETURN rc =
        SQLGetInfo(connection, SQL_DRIVER_NAME, name, kTextSize, &length);
    if (!SQL_SUCCEEDED(rc)) name[0] = 0;
    name[kTextSize - 1] = 0;
    return starts_with_nocase(reinterpret_cast<const char*>(name),
                              kSqlShowDriverPrefix);
}

// Runs the SHOW statement `text` as a catalog call when it is one of the
// four forms and the driver does not take SHOW as SQL.  Returns true when
// the catalog call produced the result; false when the text must go to
// the driver unchanged.
bool run_show_as_catalog(ConnectionSlot& slot, std::string_view text) {
    if (driver_takes_show(slot.connection)) return false;
    for (const ShowForm& form : kShowForms) {
        if (!equals_nocase(text, form.text)) continue;
        auto str = [](const char* s) {
            return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s));
        };
        SQLRETURN rc = SQLTables(slot.statement, str(form.catalog), SQL_NTS,
                                 str(form.schema), SQL_NTS, str(form.table),
                                 SQL_NTS, str(form.table_type), SQL_NTS);
        return SQL_SUCCEEDED(rc);
    }
    return false;
}

}  // namespace

// Reports the statement's current result: `number` = SQLRowCount (0.0
// unless that answers exactly SQL_SUCCESS), `count` = SQLNumResultCols (0
// when that fails).  Returns the column count's ODBC code, for the
// diagnostic capture.
SQLRETURN report_result(Command& cmd, SQLHSTMT statement) {
    SQLLEN rows = 0;
    SQLRETURN rc = SQLRowCount(statement, &rows);
    hdr_set_number(cmd, rc == SQL_SUCCESS ? static_cast<double>(rows) : 0.0);

    SQLSMALLINT columns = 0;
    rc = SQLNumResultCols(statement, &columns);
    hdr_set_count(cmd, rc == SQL_SUCCESS ? static_cast<int32_t>(columns) : 0);
    return rc;
}

// Command 9.  Reads the SQL text of argument 3 and executes it on the
// slot's statement (created on first use).  "SHOW DATABASES", "SHOW
// SCHEMAS", "SHOW TABLES" and "SHOW CATALOGS" (any letter case, nothing
// else around them) become SQLTables calls unless the driver's name begins
// with "my".  Writes `number` = SQLRowCount (0.0 unless that answers
// exactly SQL_SUCCESS) and `count` = SQLNumResultCols.  Status 3 when the
// text is missing or unterminated, 2 when the statement cannot be created
// or the execution fails (SQL_NO_DATA included).  A column count that
// cannot be had leaves `count` 0 and status 0, with its diagnostics.
SQLRETURN run_execute(Command& cmd) {
    ConnectionSlot& slot = *cmd.slot;
    std::string_view text;
    if (!arg_text(arg(cmd, 3), &text)) {
        hdr_set_status(cmd, ORV_MISSING_ARG);
        return SQL_SUCCESS;
    }
    forget_description(slot);
    forget_result(slot);
    forget_prepared(slot);  // the statement now runs this text
    SQLRETURN rc = ensure_statement(slot);
    if (!SQL_SUCCEEDED(rc)) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }

    bool catalog = starts_with_nocase(text, kShowPrefix) &&
                   run_show_as_catalog(slot, text);
    if (!catalog) {
        rc = SQLExecDirect(
            slot.statement,
            reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.data())),
            SQL_NTS);
        if (!SQL_SUCCEEDED(rc)) {
            hdr_set_status(cmd, ORV_ODBC_ERROR);
            return rc;
        }
    }

    return report_result(cmd, slot.statement);
}

// Command 20.  Moves the slot's statement to its next result
// (SQLMoreResults) and reports it as command 9 reports the first: the
// column table is cleared, `number` = its row count and `count` = its
// column count.  After the last result: status 0, count 0 and
// native_error 100 (sqlstate as the driver leaves it, as at the end of
// command 12).  Status 2 when the driver fails.  The dispatcher has
// checked the statement (status 14).
SQLRETURN run_next_result(Command& cmd) {
    ConnectionSlot& slot = *cmd.slot;
    forget_description(slot);
    SQLRETURN rc = SQLMoreResults(slot.statement);
    // The end, as command 12 ends: the common tail sets native_error 100.
    if (rc == SQL_NO_DATA) return rc;
    if (!SQL_SUCCEEDED(rc)) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    return report_result(cmd, slot.statement);
}

// Command 10.  Describes the current result into the slot's column table
// (every column, so that a later fetch finds them all described) and
// copies the records of columns 1.. into argument 3, as many whole
// 224-byte records as its size holds.  `count` = the driver's column count.
// When the table could not be enlarged: count 0 and status 8 (a count of 0
// with status 0 would say the result has no columns).  The dispatcher has
// checked argument 3 (status 3) and the statement (14).
SQLRETURN run_describe(Command& cmd) {
    ConnectionSlot& slot = *cmd.slot;
    ArgView area = arg(cmd, 3);
    const std::size_t room = area.size / kColumnDescSize;
    forget_result(slot);
    int32_t columns = describe_columns(slot, nullptr, INT16_MAX);
    if (slot.columns == nullptr) hdr_set_status(cmd, ORV_NO_MEMORY);
    const std::size_t copied =
        std::min(room, static_cast<std::size_t>(std::max(columns, 0)));
    for (std::size_t i = 1; i <= copied; ++i) {
        const ColumnDesc* rec = column_record(slot, static_cast<int>(i));
        if (rec == nullptr) break;
        arg_write(area, (i - 1) * kColumnDescSize, rec, kColumnDescSize);
    }
    hdr_set_count(cmd, columns);
    return SQL_SUCCESS;
}

// Command 11.  Copies the whole 224-byte records of argument 3 into the
// column table from record 1 on, at most column_capacity - 1 of them; the
// bookmark record stays as it is.  Status 8 when the slot lost its table
// (an enlargement failed) and the records cannot be held.  The dispatcher
// has checked argument 3 (status 3) and the statement (14).
SQLRETURN run_import_columns(Command& cmd) {
    ConnectionSlot& slot = *cmd.slot;
    forget_result(slot);
    if (slot.columns == nullptr) {
        hdr_set_status(cmd, ORV_NO_MEMORY);
        return SQL_SUCCESS;
    }
    ArgView area = arg(cmd, 3);
    int64_t records = area.size / kColumnDescSize;
    records = std::min<int64_t>(records, slot.column_capacity - 1);
    if (!arg_has_storage(area) || records <= 0) return SQL_SUCCESS;
    arg_read(area, 0, slot.columns + kColumnDescSize,
             static_cast<std::size_t>(records) * kColumnDescSize);
    return SQL_SUCCESS;
}

// Command 13.  `subcode` 0, 2 and 3 close the cursor; 1 frees the
// statement.  Any other value frees the statement too and then reports 15
// through the diagnostic capture (the connection's record, if any), with
// status 0.  Driver answers are not reported.  The dispatcher has checked the
// statement (status 14).
SQLRETURN run_reset_statement(Command& cmd) {
    ConnectionSlot& slot = *cmd.slot;
    const int16_t mode = hdr_subcode(cmd);
    forget_result(slot);
    if (mode == 0 || mode == 2 || mode == 3) {
        SQLFreeStmt(slot.statement, SQL_CLOSE);
        return SQL_SUCCESS;
    }
    forget_prepared(slot);
    free_statement(slot);
    if (mode != 1) report_through_capture(cmd, ORV_REFUSED);
    return SQL_SUCCESS;
}

// Command 18.  Asks the driver manager for the next data source in the
// direction `subcode` (SQL_FETCH_FIRST, SQL_FETCH_NEXT, ...): its name
// goes into argument 3's storage, its description into argument 4's, each
// terminated and within the storage's size.  After the last data source:
// status 2 and native_error 100 with no diagnostics.  Warnings (a
// truncated text) and errors come from the environment handle, where the
// driver manager posts them.  The dispatcher has checked the four
// arguments (status 3).
SQLRETURN run_list_sources(Command& cmd) {
    // The driver manager takes 16-bit buffer lengths: storage beyond
    // 32767 bytes is offered as 32767 bytes.
    auto out = [](std::span<uint8_t> storage, SQLSMALLINT* length) {
        const std::size_t n = std::min<std::size_t>(storage.size(), 32767);
        *length = static_cast<SQLSMALLINT>(n);
        return n == 0 ? nullptr : static_cast<SQLCHAR*>(storage.data());
    };
    SQLSMALLINT name_room = 0, description_room = 0;
    SQLCHAR* name = out(arg_storage(arg(cmd, 3)), &name_room);
    SQLCHAR* description = out(arg_storage(arg(cmd, 4)), &description_room);
    SQLSMALLINT name_length = 0, description_length = 0;
    SQLRETURN rc = SQLDataSources(env_handle(),
                                  static_cast<SQLUSMALLINT>(hdr_subcode(cmd)),
                                  name, name_room, &name_length, description,
                                  description_room, &description_length);
    if (rc == SQL_SUCCESS) return SQL_SUCCESS;
    if (rc == SQL_NO_DATA) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        hdr_set_native_error(cmd, SQL_NO_DATA);
        return SQL_SUCCESS;
    }
    if (rc != SQL_SUCCESS_WITH_INFO) hdr_set_status(cmd, ORV_ODBC_ERROR);
    cmd.diag_from = DiagSource::kEnvironment;
    return rc;
}

}  // namespace orv
