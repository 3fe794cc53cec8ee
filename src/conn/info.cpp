// Command 8: information about a slot's driver, its current statement and
// the connector itself, selected by `subcode`.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "odbc_api.h"
#include "orv_version.h"

namespace orv {

namespace {

// The connector's own answers.
constexpr const char* kConnectorName = "DOREVIVEZO";
constexpr const char* kInterfaceName = "ODBC";
constexpr int kVersion[4] = {ORV_VERSION_MAJOR, ORV_VERSION_MINOR,
                             ORV_VERSION_RELEASE, ORV_VERSION_BUILD};
constexpr int32_t kVersionNumber = ORV_VERSION_NUMBER;

// The information item of each SQLGetInfo question (items 1 to 3).
constexpr std::array<SQLUSMALLINT, 3> kInfoTypes = {
    SQL_DRIVER_NAME,  // 1
    SQL_DBMS_VER,     // 2
    SQL_DRIVER_VER,   // 3
};

// The decimal number at the start of s, read as atoi reads it (leading
// white space, an optional sign, then digits; 0 when there are none), but
// held within 32 bits instead of overflowing.
int32_t leading_number(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    constexpr int64_t kLimit = std::numeric_limits<int32_t>::max();
    int64_t n = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        n = n * 10 + (s[i] - '0');
        if (n > kLimit) n = kLimit;
    }
    return static_cast<int32_t>(negative ? -n : n);
}

// The version number of a driver text laid out as ##.##.####: the number
// at its start times 1000000, plus the number from its fourth character
// times 100, plus the number from its seventh character.  0 when the third
// character is not '.'.  A part that would start past the end of the text
// counts as 0 (nothing beyond the terminator is read).
int32_t version_number(std::string_view text) {
    if (text.size() < 3 || text[2] != '.') return 0;
    auto part = [&](std::size_t from) {
        return from <= text.size() ? leading_number(text.substr(from)) : 0;
    };
    int64_t v = int64_t{part(0)} * 1000000 + int64_t{part(3)} * 100 + part(6);
    return static_cast<int32_t>(v);  // wraps like 32-bit arithmetic would
}

// Items 1 to 3: asks the driver with SQLGetInfo, hands its text (empty
// when it wrote none) to argument 3 and the parsed version to `count`,
// whatever the driver answered.  Returns that answer: anything but
// SQL_SUCCESS runs the diagnostic capture with the status left at 0, which
// also puts the driver's message into argument 3.
SQLRETURN driver_text(Command& cmd, SQLUSMALLINT info_type) {
    SQLCHAR text[kTextSize] = {};
    SQLSMALLINT length = 0;
    SQLRETURN rc =
        SQLGetInfo(cmd.slot->connection, info_type, text, kTextSize, &length);
    // The driver posts this call's diagnostics on the connection, not on
    // any statement the slot holds.
    cmd.diag_from = DiagSource::kConnection;
    text[kTextSize - 1] = 0;
    const char* s = reinterpret_cast<const char*>(text);
    svc_put_string(cmd, 3, s, -1);
    hdr_set_count(cmd, version_number(std::string_view(s, std::strlen(s))));
    return rc;
}

// Item 5: the column count of the current result in `count`.  A warning
// still stores it (status 0, diagnostics captured); a failure gives 2.
SQLRETURN column_count(Command& cmd, SQLHSTMT statement) {
    SQLSMALLINT columns = 0;
    SQLRETURN rc = SQLNumResultCols(statement, &columns);
    if (!SQL_SUCCEEDED(rc)) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    hdr_set_count(cmd, columns);
    return rc;
}

// Items 6 and 10: the row count of the last statement in `number`.  Only
// SQL_SUCCESS stores it; any other answer, a warning included, gives 2 and
// leaves `number` at 0.0.
SQLRETURN row_count(Command& cmd, SQLHSTMT statement) {
    SQLLEN rows = 0;
    SQLRETURN rc = SQLRowCount(statement, &rows);
    if (rc != SQL_SUCCESS) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    hdr_set_number(cmd, static_cast<double>(rows));
    return rc;
}

}  // namespace

// Command 8.  Reads `subcode` (the item, 1 to 10) and `arg_count`; text
// answers go to argument 3 with PUT_STRING, numbers into `count` or
// `number`.  Status: 3 when argument 3 is missing for an item that needs
// it (checked before the item number), 11 for an item outside 1 to 10, 15
// for item 4, 14 for items 5, 6 and 10 on a slot without a statement, 2
// when SQLNumResultCols or SQLRowCount fails.  Returns the ODBC answer the
// diagnostic capture must see.
SQLRETURN run_driver_info(Command& cmd) {
    const int16_t item = hdr_subcode(cmd);
    const bool statement_item = item == 5 || item == 6 || item == 10;
    if (arg_count(cmd) < 3 && !statement_item) {
        hdr_set_status(cmd, ORV_MISSING_ARG);
        return SQL_SUCCESS;
    }
    if (item < 1 || item > 10) {
        hdr_set_status(cmd, ORV_UNSUPPORTED);
        return SQL_SUCCESS;
    }
    if (statement_item && cmd.slot->statement == nullptr) {
        hdr_set_status(cmd, ORV_NO_STATEMENT);
        return SQL_SUCCESS;
    }

    switch (item) {
        case 1:
        case 2:
        case 3:
            return driver_text(cmd, kInfoTypes[item - 1]);
        case 4:
            svc_put_string(cmd, 3, "", -1);
            hdr_set_status(cmd, ORV_REFUSED);
            return SQL_SUCCESS;
        case 5:
            return column_count(cmd, cmd.slot->statement);
        case 6:
        case 10:
            return row_count(cmd, cmd.slot->statement);
        case 7:
            svc_put_string(cmd, 3, kConnectorName, -1);
            return SQL_SUCCESS;
        case 8: {
            char version[32];
            std::snprintf(version, sizeof version, "%d.%d.%d.%d", kVersion[0],
                          kVersion[1], kVersion[2], kVersion[3]);
            svc_put_string(cmd, 3, version, -1);
            hdr_set_count(cmd, kVersionNumber);
            return SQL_SUCCESS;
        }
        default:  // 9
            svc_put_string(cmd, 3, kInterfaceName, -1);
            return SQL_SUCCESS;
    }
}

}  // namespace orv
