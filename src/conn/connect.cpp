// Command 6: connect a slot from a connection string of -key=value pairs.
#include <cstring>
#include <span>
#include <string_view>

#include "conn/decode.h"
#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "odbc_api.h"

namespace orv {

namespace {

// The three values SQLConnect receives; each points into the connection
// string.  A host value that does not occur is the empty text; a user or
// password that does not occur is null, so that the driver takes the data
// source's own.
struct ConnectValues {
    char* host;
    char* user;
    char* password;
};

// The length SQLConnect takes with a value: SQL_NTS for a text, 0 for the
// null pointer of a value the connection string does not give.
SQLSMALLINT connect_length(const char* value) {
    return value != nullptr ? SQL_NTS : 0;
}

// What a key does with its value.
enum class KeyRole { kHost, kUser, kPassword, kIgnored };
struct KeyEntry {
    std::string_view key;
    KeyRole role;
};
constexpr KeyEntry kKeys[] = {
    {"host", KeyRole::kHost},        {"user", KeyRole::kUser},
    {"pw", KeyRole::kPassword},      {"db", KeyRole::kIgnored},
    {"sockfile", KeyRole::kIgnored}, {"port", KeyRole::kIgnored},
    {"flags", KeyRole::kIgnored},
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
        switch (found->role) {
            case KeyRole::kHost:
                v.host = s + start;
                break;
            case KeyRole::kUser:
                v.user = s + start;
                break;
            case KeyRole::kPassword:
                v.password = s + start;
                break;
            case KeyRole::kIgnored:
                break;
        }
    }
    return true;
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
SQLRETURN run_connect(Command& cmd) {
    static char empty[1];
    empty[0] = 0;
    const std::span<char> text = arg_text_span(arg(cmd, 3));
    char* s = text.data();
    const std::size_t len = text.size();

    ConnectValues v{empty, nullptr, nullptr};
    if (!parse_connection_string(s, len, v))
        hdr_set_status(cmd, ORV_BAD_KEYWORD);
    decode_password(v.host, nullptr);
    decode_password(v.user, nullptr);
    decode_password(v.password, v.user);
    // Without a host value the string itself, as the parse left it, names
    // the data source: a bare 'sales' connects to sales.
    const char* server = v.host[0] != 0 ? v.host : s;

    SQLRETURN rc = SQLConnect(
        cmd.slot->connection,
        reinterpret_cast<SQLCHAR*>(const_cast<char*>(server)), SQL_NTS,
        reinterpret_cast<SQLCHAR*>(v.user), connect_length(v.user),
        reinterpret_cast<SQLCHAR*>(v.password), connect_length(v.password));
    if (!SQL_SUCCEEDED(rc)) hdr_set_status(cmd, ORV_ODBC_ERROR);
    return rc;
}

}  // namespace orv
