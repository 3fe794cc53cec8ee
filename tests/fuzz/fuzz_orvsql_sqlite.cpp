// Stateful fuzzing of orvsql over the real SQLite3 ODBC driver through
// unixODBC (see program.h).  The target sets up what it needs on its own:
// a private temporary folder with odbcinst.ini, odbc.ini (two data
// sources on one database, with and without StepAPI) and the database
// with a small fixed table.  Programs read it with SQL from a pool and
// never change it.
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "program.h"

namespace {

std::string g_folder;

[[noreturn]] void setup_failed(const std::string& what) {
    std::fprintf(stderr, "fuzz_orvsql_sqlite: %s\n", what.c_str());
    std::exit(1);
}

void write_file(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr || std::fputs(text.c_str(), f) < 0 || std::fclose(f) != 0)
        setup_failed("cannot write " + path);
}

void remove_folder() {
    for (const char* f : {"odbcinst.ini", "odbc.ini", "fz.db", "fz.db-journal"})
        std::remove((g_folder + "/" + f).c_str());
    rmdir(g_folder.c_str());
}

// The fixed table: text longer than its declared width, NULLs, the bytes
// 0x00 (in a blob), 0xFA and 0xFB, a blob, a long text, a real.
constexpr const char* kSetup[] = {
    "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, price REAL, "
    "data BLOB, note VARCHAR(10), big TEXT)",
    "INSERT INTO t VALUES (1, 'one', 1.5, x'00FAFB', 'short', NULL)",
    "INSERT INTO t VALUES (2, NULL, NULL, NULL, printf('%.100c', 'n'), "
    "printf('%.70000c', 'b'))",
    "INSERT INTO t VALUES (3, 'thr' || char(250) || 'ee' || char(251), -0.0, "
    "zeroblob(300), '', '')",
    "INSERT INTO t VALUES (4, '', 1e308, x'', NULL, 'x')",
    // Narrow and wide columns mixed, each in turn holding a value longer
    // than its width (one near the first block's size), the others short,
    // NULL or long too: the block's bound arrays read such values again.
    "CREATE TABLE w (a VARCHAR(2), b VARCHAR(200), c CHAR(3), d INTEGER, "
    "e VARCHAR(1))",
    "INSERT INTO w VALUES (printf('%.16370c', 'a'), printf('%.150c', 'b'), "
    "'c', 1, 'e')",
    "INSERT INTO w VALUES ('a', printf('%.16379c', 'b'), printf('%.9c', 'c'), "
    "NULL, printf('%.300c', 'e'))",
    "INSERT INTO w VALUES (NULL, 'b', printf('%.70000c', 'c'), 'x' || "
    "char(0) || 'y', printf('%.5c', 'e'))",
    "INSERT INTO w VALUES (printf('%.3c', 'a'), NULL, NULL, "
    "printf('%.400c', '9'), printf('%.16381c', 'e'))",
    "INSERT INTO w VALUES ('', '', '', 0, '')",
};

// Creates the database through the driver itself.
void create_database() {
    SQLHENV env = nullptr;
    SQLHDBC dbc = nullptr;
    SQLHSTMT stmt = nullptr;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)) ||
        !SQL_SUCCEEDED(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION,
                                     reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                                     0)) ||
        !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc)) ||
        !SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR*)"fz_sqlite", SQL_NTS, nullptr,
                                  0, nullptr, 0)) ||
        !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt)))
        setup_failed("cannot connect to the private SQLite data source");
    for (const char* sql : kSetup)
        if (!SQL_SUCCEEDED(SQLExecDirect(stmt, (SQLCHAR*)sql, SQL_NTS)))
            setup_failed(std::string("cannot run: ") + sql);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
}

fuzzprog::Target make_target() {
    fuzzprog::Target t;
    t.sql = fuzzprog::common_sql();
    t.sql.insert(
        t.sql.end(),
        {"SELECT * FROM t",
         "SELECT * FROM t ORDER BY id",
         "SELECT id, name FROM t WHERE id = 2",
         "SELECT note, big FROM t",
         "SELECT data, name, data FROM t",
         "SELECT count(*) FROM t",
         "SELECT id AS \"\", name AS \"\" FROM t",
         "SELECT 1, NULL, 'x', x'00FA', 1.5, -7",
         "SELECT printf('%.*c', 100000, 'x')",
         "SELECT 'a' || char(0) || 'b'",
         "SELECT char(250, 251, 252, 0, 250)",
         "SELECT * FROM t t1, t t2",
         "SELECT * FROM t WHERE id = ?",
         "SELECT typeof(price), price FROM t",
         "PRAGMA table_info(t)",
         "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s "
         "WHERE i < 3000) SELECT i, printf('%.100c', 'y') FROM s",
         "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s "
         "WHERE i < 25000) SELECT i, printf('%.100c', 'z') FROM s",
         "BEGIN",
         "COMMIT",
         "ROLLBACK",
         "SELECT * FROM w",
         "SELECT e, d, c, b, a FROM w",
         "SELECT a, b, c, d, e, a, b FROM w, (SELECT 1 UNION ALL SELECT 2)",
         "SELECT w.*, t.* FROM w, t"});
    t.connect = fuzzprog::connection_strings("fz_sqlite");
    t.connect.push_back("-host=fz_sqlite_step");
    t.num_result_cols = &SQLNumResultCols;
    return t;
}

const fuzzprog::Target* g_target = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char folder[] = "/tmp/orv-fuzz-sqlite.XXXXXX";
    if (mkdtemp(folder) == nullptr) setup_failed("mkdtemp failed");
    g_folder = folder;
    std::atexit(&remove_folder);
    write_file(g_folder + "/odbcinst.ini",
               "[SQLite3]\nDescription = SQLite3\n"
               "Driver = libsqlite3odbc.so\nSetup = libsqlite3odbc.so\n");
    const std::string db = g_folder + "/fz.db";
    write_file(g_folder + "/odbc.ini",
               "[fz_sqlite]\nDriver = SQLite3\nDatabase = " + db +
                   "\n\n[fz_sqlite_step]\nDriver = SQLite3\nDatabase = " + db +
                   "\nStepAPI = 1\n");
    setenv("ODBCSYSINI", g_folder.c_str(), 1);
    setenv("ODBCINI", (g_folder + "/odbc.ini").c_str(), 1);
    // The driver loads and unloads libodbcinst around each connection; kept
    // loaded, its cache of parsed files stays reachable instead of showing
    // as a leak of an unloaded module.
    dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_GLOBAL);
    create_database();
    static const fuzzprog::Target t = make_target();
    g_target = &t;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzprog::run_program(data, size, *g_target);
    return 0;
}

// Leaks whose allocation passes through the driver are the driver's own.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libsqlite3odbc.so\n";
}
