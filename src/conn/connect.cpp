// Command 6: connect a slot from a connection string of -key=value pairs.
#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>

#include "conn/blowfish.h"
#include "conn/decode.h"
#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "memory.h"
#include "odbc_api.h"

namespace orv {

namespace {

// The values the connection receives; each points into the connection
// string.  A host value that does not occur is the empty text; a user or
// password that does not occur is null, so that the driver takes the data
// source's own.  `odbc`, the driver's own attributes, is null when the
// string does not give it: the connection then goes through SQLConnect.
struct ConnectValues {
    char* host;
    char* user;
    char* password;
    char* odbc;
};

// The length SQLConnect takes with a value: SQL_NTS for a text, 0 for the
// null pointer of a value the connection string does not give.
SQLSMALLINT connect_length(const char* value) {
    return value != nullptr ? SQL_NTS : 0;
}

// What a key does with its value: the field of ConnectValues it sets, or
// nullptr for a key that is accepted and has no effect.
struct KeyEntry {
    std::string_view key;
    char* ConnectValues::*value;
};
constexpr KeyEntry kKeys[] = {
    {"host", &ConnectValues::host},
    {"user", &ConnectValues::user},
    {"pw", &ConnectValues::password},
    {"odbc", &ConnectValues::odbc},
    {"db", nullptr},
    {"sockfile", nullptr},
    {"port", nullptr},
    {"flags", nullptr},
};

// Position of the separator that ends a value starting at `from`: the
// first space of a run of spaces that is followed by '-'.  Returns len
// when the value runs to the end; *next receives the '-' position.
std::size_t value_end(const char* s, std::size_t from, std::size_t len,
                      std::size_t* next) {
    for (std::size_t i = from; i < len; ++i) {
        if (s[i] != ' ') continue;
        std::size_t j = i;
        while (j < len && s[j] == ' ') ++j;
        if (j < len && s[j] == '-') {
            *next = j;
            return i;
        }
        i = j - 1;
    }
    *next = len;
    return len;
}

// Parses the connection string s (len characters, s[len] == 0) in place:
// each '=' and each separator becomes a zero byte, and the values found
// are recorded in v.  Returns false when an unknown key ended the parse.
bool parse_connection_string(char* s, std::size_t len, ConnectValues& v) {
    std::size_t cursor = 0;
    while (cursor < len) {
        auto* eq =
            static_cast<char*>(std::memchr(s + cursor, '=', len - cursor));
        if (eq == nullptr) break;
        std::size_t e = static_cast<std::size_t>(eq - s);
        // The character at the cursor is the pair's lead character ('-').
        std::string_view key =
            e > cursor ? std::string_view(s + cursor + 1, e - cursor - 1)
                       : std::string_view();
        *eq = 0;
        std::size_t start = e + 1, next = len;
        std::size_t end = value_end(s, start, len, &next);
        if (end == len) {
            while (end > start && s[end - 1] == ' ') s[--end] = 0;
        } else {
            std::memset(s + end, 0, next - end);
        }
        cursor = next;

        const KeyEntry* found = nullptr;
        for (const KeyEntry& k : kKeys)
            if (k.key == key) found = &k;
        if (found == nullptr) return false;
        if (found->value != nullptr) v.*(found->value) = s + start;
    }
    return true;
}

// Where the braced value starting at t[at] == '{' ends: the position after
// its closing '}' ("}}" inside stands for one '}'), or npos when it is not
// closed.
std::size_t braced_end(std::string_view t, std::size_t at) {
    for (std::size_t i = at + 1; i < t.size(); ++i) {
        if (t[i] != '}') continue;
        if (i + 1 < t.size() && t[i + 1] == '}') {
            ++i;
            continue;
        }
        return i + 1;
    }
    return std::string_view::npos;
}

// True when t is a list of ODBC connection attributes as a driver reads
// them: Key=Value pairs separated by ';' (empty ones allowed), each key
// non-empty and free of braces, each value either a braced text followed
// by ';' or the end (spaces between allowed), or a plain text without ';'
// and without braces.
bool valid_odbc_attributes(std::string_view t) {
    std::size_t at = 0;
    while (at < t.size()) {
        if (t[at] == ';') {
            ++at;
            continue;
        }
        const std::size_t eq = t.find('=', at);
        const std::size_t semi = t.find(';', at);
        if (eq == std::string_view::npos || semi < eq) return false;
        const std::string_view key = t.substr(at, eq - at);
        if (key.find_first_not_of(' ') == std::string_view::npos ||
            key.find_first_of("{}") != std::string_view::npos)
            return false;
        at = eq + 1;
        if (at < t.size() && t[at] == '{') {
            at = braced_end(t, at);
            if (at == std::string_view::npos) return false;
            while (at < t.size() && t[at] == ' ') ++at;
            if (at < t.size() && t[at] != ';') return false;
        } else {
            const std::size_t end = std::min(t.find(';', at), t.size());
            if (t.substr(at, end - at).find_first_of("{}") !=
                std::string_view::npos)
                return false;
            at = end;
        }
    }
    return true;
}

// Appends "key=value;" to out at *used: the value in braces (each '}'
// doubled) when it holds a character that would end or open it, or a
// space at either end, else as it stands.  out has room for it (see
// odbc_string_size).
void append_attribute(char* out, std::size_t* used, std::string_view key,
                      std::string_view value) {
    const bool brace =
        value.find_first_of(";{}") != std::string_view::npos ||
        (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    auto put = [&](char c) { out[(*used)++] = c; };
    for (char c : key) put(c);
    put('=');
    if (brace) put('{');
    for (char c : value) {
        put(c);
        if (brace && c == '}') put('}');
    }
    if (brace) put('}');
    put(';');
}

// Bytes the string odbc_connection_string builds may take, its NUL
// included: each value may double and gains "KEY={};".
std::size_t odbc_string_size(const ConnectValues& v) {
    auto room = [](const char* value) {
        return value == nullptr ? 0 : 2 * std::strlen(value) + 8;
    };
    return room(v.host) + room(v.user) + room(v.password) +
           std::strlen(v.odbc) + 1;
}

// Builds, in a block from orv_alloc, the string SQLDriverConnect receives:
// DSN=<host>;UID=<user>;PWD=<password>; then the driver's attributes, each
// of the first three left out when the connection string does not give
// it (the host also when it is empty).  Returns nullptr when memory runs
// out; the caller wipes (it holds the password) and frees the block.
char* odbc_connection_string(const ConnectValues& v, std::size_t* size) {
    *size = odbc_string_size(v);
    auto* out = static_cast<char*>(orv_alloc(*size));
    if (out == nullptr) return nullptr;
    std::size_t used = 0;
    if (v.host[0] != 0) append_attribute(out, &used, "DSN", v.host);
    if (v.user != nullptr) append_attribute(out, &used, "UID", v.user);
    if (v.password != nullptr) append_attribute(out, &used, "PWD", v.password);
    const std::size_t n = std::strlen(v.odbc);
    std::memcpy(out + used, v.odbc, n);
    out[used + n] = 0;
    return out;
}

// Connects through SQLDriverConnect, without a prompt or a window, on the
// string odbc_connection_string builds.  Status 8 when that string cannot
// be had; the driver's answer otherwise.
SQLRETURN driver_connect(Command& cmd, const ConnectValues& v) {
    std::size_t size = 0;
    char* in = odbc_connection_string(v, &size);
    if (in == nullptr) {
        hdr_set_status(cmd, ORV_NO_MEMORY);
        return SQL_SUCCESS;
    }
    SQLSMALLINT out_length = 0;
    SQLRETURN rc = SQLDriverConnect(
        cmd.slot->connection, nullptr, reinterpret_cast<SQLCHAR*>(in), SQL_NTS,
        nullptr, 0, &out_length, SQL_DRIVER_NOPROMPT);
    wipe_secret(in, size);
    orv_free(in);
    return rc;
}

}  // namespace

// Command 6 (argument 3 present, checked by the dispatcher).  Reads the
// connection string from argument 3's storage and cuts it up in place, decodes
// the host, user and password values, and connects the slot.  An unknown key
// gives 13 and ends the parse, but the connection is still attempted with the
// values found before it.  A string not terminated within its storage ends at
// the storage's last byte.  A user or password the string does not give reaches
// SQLConnect as a null pointer (length 0): the driver then uses the data
// source's own.  One that is given, even empty, is passed as it stands.
// With an -odbc= value (ODBC connection attributes, checked against their
// grammar: status 3 and no driver call when it does not hold) the slot
// connects through SQLDriverConnect on DSN=, UID= and PWD= from the values
// given, followed by that value; without a host value the attributes alone
// name the driver (Driver=...).
SQLRETURN run_connect(Command& cmd) {
    char empty[1] = {0};  // the host value when the string gives none
    const std::span<char> text = arg_text_span(arg(cmd, 3));
    char* s = text.data();
    const std::size_t len = text.size();

    ConnectValues v{empty, nullptr, nullptr, nullptr};
    if (!parse_connection_string(s, len, v))
        hdr_set_status(cmd, ORV_BAD_KEYWORD);
    if (v.odbc != nullptr && !valid_odbc_attributes(v.odbc)) {
        hdr_set_status(cmd, ORV_MISSING_ARG);
        return SQL_SUCCESS;
    }
    decode_password(v.host, nullptr);
    decode_password(v.user, nullptr);
    decode_password(v.password, v.user);

    SQLRETURN rc;
    if (v.odbc != nullptr) {
        rc = driver_connect(cmd, v);
        if (hdr_status(cmd) == ORV_NO_MEMORY) return rc;
        if (!SQL_SUCCEEDED(rc)) hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    // Without a host value the string itself, as the parse left it, names
    // the data source: a bare 'sales' connects to sales.
    const char* server = v.host[0] != 0 ? v.host : s;

    rc = SQLConnect(
        cmd.slot->connection,
        reinterpret_cast<SQLCHAR*>(const_cast<char*>(server)), SQL_NTS,
        reinterpret_cast<SQLCHAR*>(v.user), connect_length(v.user),
        reinterpret_cast<SQLCHAR*>(v.password), connect_length(v.password));
    if (!SQL_SUCCEEDED(rc)) hdr_set_status(cmd, ORV_ODBC_ERROR);
    return rc;
}

}  // namespace orv
