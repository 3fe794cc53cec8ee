// Commands 14 to 17: read and change ODBC attributes of a slot's
// connection and of its statement.
//
// The connector passes only the attributes of two fixed tables to the
// driver.  Each entry says how the value travels between host and driver
// (its kind) and how wide the attribute really is in ODBC (its width): a
// 32-bit SQLUINTEGER, an SQLULEN, or a pointer.  On a 64-bit build the last
// two are 8 bytes wide, so a get reads into storage of that width and hands
// the whole value to the host; a 32-bit attribute is handed over
// sign-extended.
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "odbc_api.h"

namespace orv {

namespace {

// How a value travels between host and driver.
enum class Kind : uint8_t {
    kInteger,  // GET_INT in, PUT_INT out
    kPointer,  // an address: GET_INT in, PUT_INT out (statement only)
    kText,     // GET_STRING in; a get delivers -99 (connection only)
    kRefused,  // never passed on: status 15
};

// The attribute's type in ODBC.
enum class Width : uint8_t {
    kUInteger,  // SQLUINTEGER, 32 bits everywhere
    kULen,      // SQLULEN: as wide as a pointer
    kAddress,   // SQLPOINTER (or a handle)
    kNone,      // text or refused: no integer storage
};

struct Attribute {
    int32_t number;
    Kind kind;
    Width width;
    bool settable;          // false: a set answers status 11
    bool one_only = false;  // a set accepts only the value 1 (else 15)
};

// Table entries of each kind.
constexpr Attribute integer(int32_t number, Width width) {
    return {number, Kind::kInteger, width, true};
}
constexpr Attribute get_only(int32_t number, Width width) {
    return {number, Kind::kInteger, width, false};
}
constexpr Attribute pointer(int32_t number) {
    return {number, Kind::kPointer, Width::kAddress, true};
}
constexpr Attribute text(int32_t number) {
    return {number, Kind::kText, Width::kNone, true};
}
constexpr Attribute refused(int32_t number) {
    return {number, Kind::kRefused, Width::kNone, true};
}
// A row or parameter set size: the connector fetches one row at a time and
// binds no parameters, so any other size would make each fetch move rows
// that are never read, or one statement run once per unbound parameter set.
constexpr Attribute one_only(int32_t number) {
    return {number, Kind::kInteger, Width::kULen, true, true};
}

// Connection attributes (commands 14 and 15), selected by `param`.  Every
// number not listed is unsupported (status 11).
constexpr std::array<Attribute, 16> kConnectionAttributes{{
    integer(SQL_ATTR_ASYNC_ENABLE, Width::kULen),  // 4
    integer(SQL_ATTR_ACCESS_MODE, Width::kUInteger),
    integer(SQL_ATTR_AUTOCOMMIT, Width::kUInteger),
    integer(SQL_ATTR_LOGIN_TIMEOUT, Width::kUInteger),
    integer(SQL_ATTR_TRACE, Width::kUInteger), text(SQL_ATTR_TRACEFILE),
    text(SQL_ATTR_TRANSLATE_LIB),
    integer(SQL_ATTR_TRANSLATE_OPTION, Width::kUInteger),
    integer(SQL_ATTR_TXN_ISOLATION, Width::kUInteger),
    text(SQL_ATTR_CURRENT_CATALOG),
    integer(SQL_ATTR_ODBC_CURSORS, Width::kULen),
    integer(SQL_ATTR_QUIET_MODE, Width::kAddress),  // a window handle
    integer(SQL_ATTR_PACKET_SIZE, Width::kUInteger),
    integer(SQL_ATTR_CONNECTION_TIMEOUT, Width::kUInteger),  // 113
    integer(SQL_ATTR_CONNECTION_DEAD, Width::kUInteger),     // 1209
    integer(SQL_ATTR_METADATA_ID, Width::kUInteger),         // 10014
}};

// Statement attributes (commands 16 and 17), selected by `subcode`.  Every
// number not listed is unsupported (status 11).  The refused ones point to
// arrays in the application's memory or are descriptor handles.  Every
// integer statement attribute is an SQLULEN.
constexpr std::array<Attribute, 33> kStatementAttributes{{
    integer(SQL_ATTR_CURSOR_SENSITIVITY, Width::kULen),  // -2
    integer(SQL_ATTR_CURSOR_SCROLLABLE, Width::kULen),   // -1
    integer(SQL_ATTR_QUERY_TIMEOUT, Width::kULen),       // 0
    integer(SQL_ATTR_MAX_ROWS, Width::kULen),
    integer(SQL_ATTR_NOSCAN, Width::kULen),
    integer(SQL_ATTR_MAX_LENGTH, Width::kULen),
    integer(SQL_ATTR_ASYNC_ENABLE, Width::kULen),
    integer(SQL_ATTR_ROW_BIND_TYPE, Width::kULen),
    integer(SQL_ATTR_CURSOR_TYPE, Width::kULen),
    integer(SQL_ATTR_CONCURRENCY, Width::kULen),
    integer(SQL_ATTR_KEYSET_SIZE, Width::kULen),  // 8; 9 is unsupported
    integer(SQL_ATTR_SIMULATE_CURSOR, Width::kULen),
    integer(SQL_ATTR_RETRIEVE_DATA, Width::kULen),
    integer(SQL_ATTR_USE_BOOKMARKS, Width::kULen),  // 12; 13 is unsupported
    get_only(SQL_ATTR_ROW_NUMBER, Width::kULen),
    integer(SQL_ATTR_ENABLE_AUTO_IPD, Width::kULen),
    pointer(SQL_ATTR_FETCH_BOOKMARK_PTR),
    pointer(SQL_ATTR_PARAM_BIND_OFFSET_PTR),
    integer(SQL_ATTR_PARAM_BIND_TYPE, Width::kULen),
    refused(SQL_ATTR_PARAM_OPERATION_PTR),
    refused(SQL_ATTR_PARAM_STATUS_PTR),
    pointer(SQL_ATTR_PARAMS_PROCESSED_PTR),
    one_only(SQL_ATTR_PARAMSET_SIZE),  // 22
    pointer(SQL_ATTR_ROW_BIND_OFFSET_PTR),
    pointer(SQL_ATTR_ROW_OPERATION_PTR),
    refused(SQL_ATTR_ROW_STATUS_PTR),   // 25; 26 is unsupported
    one_only(SQL_ATTR_ROW_ARRAY_SIZE),  // 27
    refused(SQL_ATTR_APP_ROW_DESC),     // 10010
    refused(SQL_ATTR_APP_PARAM_DESC),
    refused(SQL_ATTR_IMP_ROW_DESC),
    refused(SQL_ATTR_IMP_PARAM_DESC),
    integer(SQL_ATTR_METADATA_ID, Width::kULen),  // 10014
}};

// A host value (32 bits from GET_INT) cannot hold an address when pointers
// are wider; a pointer attribute is then never set from it.
constexpr bool kAddressFitsHostInt = sizeof(SQLPOINTER) <= sizeof(int32_t);

// Returns the table entry of `number`, or nullptr when it is unsupported.
const Attribute* find_attribute(std::span<const Attribute> table,
                                int32_t number) {
    for (const Attribute& a : table)
        if (a.number == number) return &a;
    return nullptr;
}

// Bytes an attribute of width w occupies in ODBC on this build.
constexpr std::size_t width_bytes(Width w) {
    switch (w) {
        case Width::kUInteger:
            return sizeof(SQLUINTEGER);
        case Width::kULen:
            return sizeof(SQLULEN);
        case Width::kAddress:
            return sizeof(SQLPOINTER);
        case Width::kNone:
            break;
    }
    return 0;
}

// Storage a driver writes an integer or pointer attribute into.  It is as
// wide as the widest ODBC integer type, whatever the attribute's width, so
// that a driver writing a wider type than the attribute's never writes
// outside it; the value is then read at the attribute's own width.
struct AttributeStorage {
    alignas(SQLULEN) alignas(SQLPOINTER) unsigned char bytes[8] = {};
};
static_assert(sizeof(SQLULEN) <= 8 && sizeof(SQLPOINTER) <= 8 &&
              sizeof(SQLUINTEGER) == 4);

// The value the host receives for an attribute of width w: a 4-byte value
// sign-extended to 64 bits, an 8-byte one whole.
int64_t stored_value(const AttributeStorage& s, Width w) {
    if (width_bytes(w) == 4) {
        int32_t v;
        std::memcpy(&v, s.bytes, sizeof v);
        return v;
    }
    uint64_t v;
    std::memcpy(&v, s.bytes, sizeof v);
    return static_cast<int64_t>(v);
}

// The host's 32-bit value as the value-pointer argument of a set.  The
// value is taken as unsigned (the length argument says SQL_IS_UINTEGER),
// so on a 64-bit build it is zero-extended; on a 32-bit build the bits are
// passed unchanged.
SQLPOINTER value_argument(int32_t v) {
    return reinterpret_cast<SQLPOINTER>(
        static_cast<uintptr_t>(static_cast<uint32_t>(v)));
}

// The ODBC buffer-length argument of an integer get: the size of argument
// 3, kept within SQLINTEGER.
SQLINTEGER argument_size(const Command& cmd) {
    uint32_t size = arg(cmd, 3).size;
    constexpr auto kMax =
        static_cast<uint32_t>(std::numeric_limits<SQLINTEGER>::max());
    return static_cast<SQLINTEGER>(size > kMax ? kMax : size);
}

// Commands 14 and 15.  Reads `param` (plain little-endian) as the
// attribute number and argument 3 as the value; calls SQLGetConnectAttr
// or SQLSetConnectAttr on the slot's connection.  A get delivers the value
// to argument 3 with PUT_INT (-99 for a text attribute).  Status (after
// the dispatcher's check of argument 3, status 3): 11 for a number outside
// the table, 0 with no driver call for an integer value of 0 (the zero
// rule, below; command 15 passes it on when `subcode` holds ORV_ATTR_ZERO),
// 2 when the driver refuses.  A warning is captured
// with status 0; diagnostics are read from the connection.
SQLRETURN connection_attribute(Command& cmd, bool get) {
    const int32_t number = hdr_param_plain(cmd);
    const Attribute* attr = find_attribute(kConnectionAttributes, number);
    if (attr == nullptr) {
        hdr_set_status(cmd, ORV_UNSUPPORTED);
        return SQL_SUCCESS;
    }

    int32_t value = 0;
    char buffer[kTextSize] = {};
    if (attr->kind == Kind::kText) {
        svc_get_string(cmd, 3, buffer);
    } else {
        value = svc_get_int(cmd, 3);
        // The zero rule: an integer or pointer value of 0 ends the command
        // before any driver call, with status 0, for gets and sets alike.
        // An attribute cannot be set to 0 through these commands, and a get
        // needs a non-zero number in argument 3.  Texts have no such rule.
        // A set whose subcode holds ORV_ATTR_ZERO passes 0 on.
        if (value == 0 && (get || !(hdr_subcode(cmd) & ORV_ATTR_ZERO)))
            return SQL_SUCCESS;
    }
    // The host may have set a status while it served the read.
    if (hdr_status(cmd) != ORV_OK) return SQL_SUCCESS;

    SQLHDBC connection = cmd.slot->connection;
    // The driver posts these calls' diagnostics on the connection, not on
    // any statement the slot holds.
    cmd.diag_from = DiagSource::kConnection;
    SQLRETURN rc;
    AttributeStorage storage;
    SQLINTEGER length = 0;
    if (get && attr->kind == Kind::kText) {
        rc = SQLGetConnectAttr(connection, number, buffer, kTextSize, &length);
    } else if (get) {
        rc = SQLGetConnectAttr(connection, number, storage.bytes,
                               argument_size(cmd), &length);
    } else if (attr->kind == Kind::kText) {
        rc = SQLSetConnectAttr(connection, number, buffer, SQL_NTS);
    } else {
        rc = SQLSetConnectAttr(connection, number, value_argument(value),
                               SQL_IS_UINTEGER);
    }
    if (!SQL_SUCCEEDED(rc)) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    if (get) {
        svc_put_int(cmd, 3,
                    attr->kind == Kind::kText
                        ? -99
                        : stored_value(storage, attr->width));
    }
    return rc;
}

// Commands 16 and 17.  The dispatcher has created the slot's statement
// when it had none (status 14 when that failed; cmd.prepared holds the
// allocation's code) and then checked argument 3 (status 3).  Reads
// `subcode` as the attribute number and argument 3 as the value, and calls
// SQLGetStmtAttr or SQLSetStmtAttr.  A get delivers the value to argument 3
// with PUT_INT.  Status: 11 for a
// number outside the table and for a set of the row number, 15 for a
// refused attribute, for a set of the row array or parameter set size to
// anything but 1 and, where a 32-bit host value cannot hold an address,
// for a set of a pointer attribute; 0 with no driver call for a value of
// 0 (command 17 passes it on when `param` holds ORV_ATTR_ZERO); 2 when the
// driver refuses.  Returns the last ODBC answer (the
// attribute call, else the allocation) so that a warning is captured with
// status 0.
SQLRETURN statement_attribute(Command& cmd, bool get) {
    ConnectionSlot& slot = *cmd.slot;
    SQLRETURN rc = cmd.prepared;
    const int32_t number = hdr_subcode(cmd);
    const Attribute* attr = find_attribute(kStatementAttributes, number);
    if (attr == nullptr || (!get && !attr->settable)) {
        hdr_set_status(cmd, ORV_UNSUPPORTED);
        return rc;
    }
    // A pointer set from a 32-bit host value would hand the driver a cut
    // address that it later writes through.
    if (attr->kind == Kind::kRefused ||
        (!get && attr->kind == Kind::kPointer && !kAddressFitsHostInt)) {
        hdr_set_status(cmd, ORV_REFUSED);
        return rc;
    }

    const int32_t value = svc_get_int(cmd, 3);
    // The zero rule, as for the connection; a set whose param holds
    // ORV_ATTR_ZERO passes 0 on.
    if (value == 0 && (get || !(hdr_param_plain(cmd) & ORV_ATTR_ZERO)))
        return rc;
    if (hdr_status(cmd) != ORV_OK) return rc;
    if (!get && attr->one_only && value != 1) {
        hdr_set_status(cmd, ORV_REFUSED);
        return rc;
    }

    AttributeStorage storage;
    SQLINTEGER length = 0;
    if (get) {
        rc = SQLGetStmtAttr(slot.statement, number, storage.bytes,
                            argument_size(cmd), &length);
    } else {
        rc = SQLSetStmtAttr(
            slot.statement, number, value_argument(value),
            attr->kind == Kind::kPointer ? SQL_IS_POINTER : SQL_IS_UINTEGER);
    }
    if (!SQL_SUCCEEDED(rc)) {
        hdr_set_status(cmd, ORV_ODBC_ERROR);
        return rc;
    }
    if (get) svc_put_int(cmd, 3, stored_value(storage, attr->width));
    return rc;
}

}  // namespace

// Command 14: get a connection attribute.
SQLRETURN run_get_conn_attr(Command& cmd) {
    return connection_attribute(cmd, true);
}

// Command 15: set a connection attribute.
SQLRETURN run_set_conn_attr(Command& cmd) {
    return connection_attribute(cmd, false);
}

// Command 16: get a statement attribute.
SQLRETURN run_get_stmt_attr(Command& cmd) {
    return statement_attribute(cmd, true);
}

// Command 17: set a statement attribute.
SQLRETURN run_set_stmt_attr(Command& cmd) {
    return statement_attribute(cmd, false);
}

}  // namespace orv
