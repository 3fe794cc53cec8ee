// The stateful fuzz program shared by the fuzz targets over orvsql.  The
// input is read as a list of commands: each with its command code, header
// bytes, header size, arg_count, arguments (kinds, flags, sizes, contents)
// and the host's answers to the callback services, run through the hostile
// host kit.  Each target adds its driver: the scripted stand-in, whose
// answers the input also picks, or a real driver.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>
#include <sql.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzprog {

struct Target {
    std::vector<std::string> sql;      // SQL texts the programs choose from
    std::vector<std::string> connect;  // connection strings; [0] connects
    // Whether SQL text and connection strings may also be bytes of the
    // input.  A real database gets texts of the pools only, so that no
    // program changes its data or writes files.
    bool free_text = false;
    // Called before every command with the input, so that the target can
    // script its driver's answers; nullptr for a real driver.
    void (*before_command)(FuzzedDataProvider& in, int32_t code) = nullptr;
    // Called before each program and before the final clean-up, to bring
    // the driver back to its unscripted behaviour.
    void (*reset)() = nullptr;
    // Called after the clean-up, when every handle is released.
    void (*after_program)() = nullptr;
    // The column count of a statement's result, as the driver tells it
    // without any scripted answer (checks the row block's names).
    SQLRETURN (*num_result_cols)(SQLHSTMT, SQLSMALLINT*) = nullptr;
};

// SQL texts every target offers: invalid SQL, SHOW forms, empty text.
std::vector<std::string> common_sql();

// Connection strings for data source `dsn`: the plain one first, then with
// user and password, encoded values of schemes 1, 2 and 3, unknown keys
// and malformed ones.
std::vector<std::string> connection_strings(const std::string& dsn);

// True with about `percent` per cent, decided by the next input byte.
bool chance(FuzzedDataProvider& in, int percent);

// Runs one program: a prelude the input chooses (environment, a connected
// slot, an executed statement), then up to 24 commands while input
// remains; then frees every slot and the environment.  Aborts, naming the
// cause on standard error, on a hostile-host violation, a status the
// connector does not document, a pairs record or row block that breaks
// its layout, or state left behind by the clean-up.
void run_program(const uint8_t* data, std::size_t size, const Target& t);

}  // namespace fuzzprog
