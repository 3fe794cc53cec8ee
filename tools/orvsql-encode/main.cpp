// orvsql-encode: encodes a connection value (host, user or password) under
// scheme 1, 2 or 3 so that the connector decodes it back, for people who
// write hosts and for tests.  Uses the connector's own encoder, keys and
// cipher.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "conn/decode.h"
#include "conn/encode.h"
#include "conn/encoding_keys.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // no memory, output not written
constexpr int kExitBadInput = 2;

const char kUsage[] =
    "usage: orvsql-encode [--raw] --scheme 1|2|3 [--user NAME] [--] TEXT\n"
    "       orvsql-encode --help\n";

const char kHelp[] =
    "Encodes TEXT as a value for the host, user or pw key of a connection\n"
    "string, in a form the connector decodes before connecting.\n"
    "\n"
    "Schemes (the first byte of the encoded value, a control character):\n"
    "  1, 2  XOR with one of two fixed keys.  Any length; the encoded value\n"
    "        is one byte longer than TEXT.  Usable for host, user and pw.\n"
    "  3     Blowfish with a key derived from the user name, for pw.  TEXT\n"
    "        may hold at most 44 characters.  The encoded value is 69\n"
    "        characters: the scheme byte, a random 4-character check value\n"
    "        and 64 characters of base64.  It decodes only with the same\n"
    "        user name (its first 20 characters count; give the plain name,\n"
    "        as it reads after its own decoding); with another the password\n"
    "        becomes \"<bad decryption>\".  Without --user the value is made\n"
    "        for an empty or absent user name.  Each run gives a different\n"
    "        value; all of them decode alike.\n"
    "\n"
    "Options:\n"
    "  --scheme N   1, 2 or 3 (required)\n"
    "  --user NAME  the user name, for scheme 3 only\n"
    "  --raw        write the encoded bytes to standard output as they are,\n"
    "               without a newline; by default they are printed as a C\n"
    "               string literal with octal escapes, then a newline\n"
    "  --help       this text\n"
    "  --           ends the options (for a TEXT that starts with '-')\n"
    "\n"
    "The connection-string parse ends a value at a space followed by '-'\n"
    "and drops trailing spaces.  An XOR-encoded value that would contain\n"
    "either is refused (try the other XOR scheme or scheme 3).  Values whose\n"
    "text is plain ASCII are never refused.\n"
    "\n"
    "Exit status: 0 done, 2 bad input (message on standard error), 1 other\n"
    "failure.\n";

struct Options {
    bool raw = false;
    bool help = false;
    std::string scheme;  // as given
    bool have_scheme = false;
    bool have_user = false;
    std::string user;
    bool have_text = false;
    std::string text;
};

int bad_input(const std::string& message) {
    std::fprintf(stderr, "orvsql-encode: %s\n%s", message.c_str(), kUsage);
    return kExitBadInput;
}

// Reads the command line into `o`.  Returns kExitOk or, after printing a
// message, kExitBadInput.
int parse_arguments(int argc, char** argv, Options& o) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value_of = [&](const char* name, std::string& into) -> bool {
            std::string prefix = std::string(name) + "=";
            if (a.compare(0, prefix.size(), prefix) == 0) {
                into = a.substr(prefix.size());
                return true;
            }
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        auto is_option = [&](const char* name) {
            std::size_t n = std::strlen(name);
            return a == name || (a.compare(0, n, name) == 0 && a[n] == '=');
        };
        if (!options_done && a == "--") {
            options_done = true;
        } else if (!options_done && (a == "--help" || a == "-h")) {
            o.help = true;
        } else if (!options_done && a == "--raw") {
            o.raw = true;
        } else if (!options_done && is_option("--scheme")) {
            if (!value_of("--scheme", o.scheme))
                return bad_input("--scheme needs a value: 1, 2 or 3");
            o.have_scheme = true;
        } else if (!options_done && is_option("--user")) {
            if (!value_of("--user", o.user))
                return bad_input("--user needs a user name");
            o.have_user = true;
        } else if (!options_done && a.size() > 1 && a[0] == '-') {
            return bad_input("unknown option '" + a +
                             "' (use -- before a TEXT that starts with '-')");
        } else if (o.have_text) {
            return bad_input("more than one TEXT given");
        } else {
            o.text = a;
            o.have_text = true;
        }
    }
    return kExitOk;
}

// A random check value of four letters and digits.
void random_check(std::random_device& rd, char check[5]) {
    static const char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<int> pick(0, sizeof kChars - 2);
    for (int i = 0; i < 4; ++i) check[i] = kChars[pick(rd)];
    check[4] = 0;
}

std::string c_literal(const char* value) {
    std::string out = "\"";
    for (const char* p = value; *p != 0; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            // Always three octal digits, so a following digit is never
            // taken into the escape.
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\%03o", c);
            out += esc;
        }
    }
    return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int status = parse_arguments(argc, argv, o);
    if (status != kExitOk) return status;
    if (o.help) {
        std::fputs(kUsage, stdout);
        std::fputs("\n", stdout);
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (!o.have_scheme) return bad_input("--scheme is required");
    if (o.scheme != "1" && o.scheme != "2" && o.scheme != "3")
        return bad_input("unknown scheme '" + o.scheme + "': use 1, 2 or 3");
    int scheme = o.scheme[0] - '0';
    if (!o.have_text) return bad_input("no TEXT given");
    if (o.text.empty())
        return bad_input(
            "empty TEXT: an empty value needs no encoding, pass it plain");
    if (o.have_user && scheme != 3)
        return bad_input("--user applies to scheme 3 only");
    if (scheme == 3 && o.text.size() > orv::encoding::kMaxScheme3Text)
        return bad_input("TEXT has " + std::to_string(o.text.size()) +
                         " characters; scheme 3 holds at most 44");

    std::random_device rd;
    char check[5];
    random_check(rd, check);
    uint8_t filler[orv::encoding::kMaxScheme3Text];
    for (auto& b : filler) b = static_cast<uint8_t>(rd());

    std::string out(orv::encoded_size(scheme, o.text.size()), '\0');
    auto result = orv::encode_value(scheme, o.text.c_str(),
                                    o.have_user ? o.user.c_str() : nullptr,
                                    check, filler, out.data(), out.size());
    switch (result) {
        case orv::EncodeStatus::kOk:
            break;
        case orv::EncodeStatus::kBreaksParse:
            return bad_input(
                "under scheme " + o.scheme +
                " this TEXT encodes to a value holding a space followed by "
                "'-' or ending in a space, which the connection-string parse "
                "would cut or trim; use the other XOR scheme or scheme 3");
        case orv::EncodeStatus::kNoMemory:
            std::fprintf(stderr, "orvsql-encode: out of memory\n");
            return kExitFailure;
        default:
            // Everything else was checked above.
            std::fprintf(stderr, "orvsql-encode: cannot encode this TEXT\n");
            return kExitFailure;
    }

    std::size_t length = std::strlen(out.c_str());
    bool written;
    if (o.raw) {
        written = std::fwrite(out.data(), 1, length, stdout) == length;
    } else {
        std::string literal = c_literal(out.c_str()) + "\n";
        written = std::fputs(literal.c_str(), stdout) >= 0;
    }
    if (std::fflush(stdout) != 0 || !written) {
        std::fprintf(stderr, "orvsql-encode: cannot write the output\n");
        return kExitFailure;
    }
    return kExitOk;
}
