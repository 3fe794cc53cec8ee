// Commands 14 and 15: read and change ODBC attributes of a slot's
// connection.  The connector passes only the attributes of a fixed table
// to the driver (see conn/attributes.h).
#include "conn/attributes.h"

#include <array>
#include <cstdint>

#include "conn/slots.h"
#include "host/handlers.h"
#include "host/hostio.h"
#include "odbc_api.h"

namespace orv {

namespace {

using namespace attr;

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

}  // namespace

// Command 14: get a connection attribute.
SQLRETURN run_get_conn_attr(Command& cmd) {
    return connection_attribute(cmd, true);
}

// Command 15: set a connection attribute.
SQLRETURN run_set_conn_attr(Command& cmd) {
    return connection_attribute(cmd, false);
}

}  // namespace orv
