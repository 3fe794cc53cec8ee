// The attribute tables of commands 14 to 17: how each attribute travels
// between host and driver (its kind) and how wide it really is in ODBC (its
// width): a 32-bit SQLUINTEGER, an SQLULEN, or a pointer.  On a 64-bit
// build the last two are 8 bytes wide, so a get reads into storage of that
// width and hands the whole value to the host; a 32-bit attribute is handed
// over sign-extended.  The connection's commands are in
// conn/attributes.cpp, the statement's in stmt/attributes.cpp.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "host/command.h"
#include "host/hostio.h"
#include "odbc_api.h"

namespace orv {

namespace attr {

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

// Returns the table entry of `number`, or nullptr when it is unsupported.
inline const Attribute* find_attribute(std::span<const Attribute> table,
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
inline int64_t stored_value(const AttributeStorage& s, Width w) {
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
inline SQLPOINTER value_argument(int32_t v) {
    return reinterpret_cast<SQLPOINTER>(
        static_cast<uintptr_t>(static_cast<uint32_t>(v)));
}

// The ODBC buffer-length argument of an integer get: the size of argument
// 3, kept within SQLINTEGER.
inline SQLINTEGER argument_size(const Command& cmd) {
    uint32_t size = arg(cmd, 3).size;
    constexpr auto kMax =
        static_cast<uint32_t>(std::numeric_limits<SQLINTEGER>::max());
    return static_cast<SQLINTEGER>(size > kMax ? kMax : size);
}

}  // namespace attr

}  // namespace orv
