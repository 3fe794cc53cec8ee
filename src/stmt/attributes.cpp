// Commands 16 and 17: read and change ODBC attributes of a slot's
// statement.  The connector passes only the attributes of a fixed table to
// the driver (see conn/attributes.h for how each travels).
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

// Command 16: get a statement attribute.
SQLRETURN run_get_stmt_attr(Command& cmd) {
    return statement_attribute(cmd, true);
}

// Command 17: set a statement attribute.
SQLRETURN run_set_stmt_attr(Command& cmd) {
    return statement_attribute(cmd, false);
}

}  // namespace orv
