/*
 * dorevivezo.h - the binary interface between a host runtime and the
 * dorevivezo SQL connector.
 *
 * The host calls orvsql() once per SQL command.  It passes a HostContext
 * (the argument list of the command) and a HostCallback (the services the
 * connector uses to read and store the host program's values).  Argument 1
 * is the command code (read with GET_INT, selector 1), argument 2 is the
 * 48-byte command header CmdHdr, arguments 3 and up are the command's own
 * data.  orvsql() returns the header's status (or 11, without touching the
 * header, when the header storage is smaller than 48 bytes).
 *
 * Byte layouts (offsets in bytes)
 *
 *   record          field        ILP32 (i686)   LP64 (x86_64)
 *   HostContext     arg_count    0   (4)        0   (4)
 *                   args[n]      4 + 24*n       8 + 32*n
 *   ArgDescriptor   type_flags   0   (2)        0   (2)
 *                   data         4   (4)        8   (8)
 *                   size         8   (4)        16  (4)
 *                   (sizeof)     24             32
 *
 *   CmdHdr (the same 48 bytes on every target, packed):
 *     0 slot (u8)          2 subcode (i16)       4 param (i32, see below)
 *     8 row_number (f64)  16 opcode (i16)       18 status (i16)
 *    20 native_error (i32, word-swapped)        24 count (i32, word-swapped)
 *    28 number (f64)      36 sqlstate (char[6]) 42..47 unused
 *
 *   Word-swapped: a 32-bit value v is stored with its 16-bit halves
 *   exchanged, (v << 16) | (v >> 16); 100 is stored as bytes 00 00 64 00.
 *   param is read plain by the connection attribute commands and
 *   word-swapped by the row fetch command.  16-bit fields and doubles are
 *   plain little-endian.
 *
 *   ColumnDesc (224 bytes, exchanged byte for byte by commands 10 and 11):
 *     0 name[32]  32 alt_name[32]  64 table[32]  96 alt_table[32]
 *   128 schema[32]  160 catalog[12]  172 default_text[32]
 *   204 display_size  208 width  212 flags  216 type (i32 each)
 *   220 precision (u16)  222 reserved (u16)
 *
 * args[n] describes argument n; args[0] and args[1] are never read.  An
 * array argument's size is the size of one element; elements lie one after
 * another from data.  Where a command stores an address into argument 3
 * (the pairs record of command 12, the row block of command 25) it stores a
 * pointer-sized value, when the argument's size is at least sizeof(void*);
 * command 25 fetches nothing and ends with status 3 when argument 3 is null
 * or smaller than that.
 *
 * Services: a selector is an argument number from 1 to arg_count (plus 256
 * times the element index for an element of an array argument); no service
 * is ever called for an argument beyond arg_count, and a text pointer
 * handed to PUT_STRING or PUT_NUMBER_TEXT is never null.  Command 3 without
 * argument 3 fills sqlstate and native_error alone.
 *
 * Row fetch (command 12), values longer than their room: in the
 * per-argument layout an argument with ARG_CALLBACK receives a value that
 * does not fit its storage whole through PUT_STRING, whatever the column's
 * reported width; without it, and in the fixed-width layout (cut to the
 * column widths) and the array layout (cut to the element size), the value
 * is cut, sqlstate says "01004" and native_error the number of the column
 * cut (the last one, when several were); the status stays 0.
 *
 * Pairs record (command 12, FETCH_PAIRS): name=value entries, each ending
 * in a zero byte, and one more zero byte after the last, so the record
 * always ends with two zero bytes.  Every value is whole, however long;
 * count is the number of entries.  When memory runs out the command ends
 * with status 8 and the record ends, terminated, after the last whole
 * entry (count says how many).  A value that could not be read for want of
 * memory is never delivered as if it were empty: status 8 in every layout.
 *
 * Statement attributes 22 (SQL_ATTR_PARAMSET_SIZE) and 27
 * (SQL_ATTR_ROW_ARRAY_SIZE) can only be set to 1 (status 15 otherwise): the
 * connector fetches one row at a time, and command 22 sets the parameter
 * set size for its own call only.
 *
 * Execute with parameters (command 22): argument 3 is SQL text with ?
 * markers; arguments 4, 5, ... are the values of markers 1, 2, ..., bound
 * by host type: type 2 text (up to the first zero byte within size), type 4
 * a number written as text, types 6 and 8 integers read with GET_INT
 * (unsigned and signed), any other type bytes (size of them).  ARG_NULL
 * makes a value NULL.  A text equal to the last one the slot ran this way
 * is not prepared again; commands 9, 7, 2 and 13 with a subcode that frees
 * the statement forget it.  count = result columns, number = rows affected,
 * as command 9; commands 10, 12 and 25 read the result.  More markers than
 * values or the reverse: status 3, nothing executed.  Arrays: when the
 * value arguments carry ARG_ARRAY (all of them, status 3 for a mix), param
 * (word-swapped) gives the number of rows and the statement runs once for
 * all of them; count = rows done.  When a row fails: status 2 with its
 * diagnostics and native_error = its row number (1-based); count says how
 * many rows the driver reports done.
 *
 * Block fetch (command 25): a block holds the column names, then the rows,
 * each item ending in a zero byte.  A block never exceeds about 2 MB plus
 * one row.  When rows remain that did not fit, the command ends with
 * status 0, sqlstate "01004" and native_error 0; the next command 25 goes on
 * with the next row (its block starts again with the header).  A host that
 * wants every row calls command 25 until sqlstate is no longer "01004".
 * When a fetch or a value read fails in the middle (a server that went
 * away, say), the command ends with status 2 and the driver's sqlstate and
 * native_error; the block still holds, and number still counts, the whole
 * rows fetched before the failure, and a host must not take them for the
 * whole result.
 *
 * Threads: calls of orvsql() on different slots run at the same time;
 * calls on one slot wait for one another.  Commands 1 and 2 wait for every
 * running call and hold the others back while they run; command 4 waits
 * only for another command 4 (and 18).  Command 19 (ORV_CMD_CANCEL) waits
 * for nothing: from another thread, or from a callback, it asks the
 * statement running on its slot to stop; that call then ends as the driver
 * answers a cancelled statement (status 2 with its sqlstate), or, in a row
 * loop of command 12 or 25, after its current row with status 2 and
 * sqlstate "HY008".  On a slot running nothing it changes nothing.
 *
 * A call made from inside a callback, on the calling thread, runs at once
 * on another slot, as it does outside a callback.  On the slot of the
 * running command (any command but 19), or command 2, it is refused with
 * status 15 (ORV_REFUSED) and changes nothing; so is one that would wait
 * for a slot another thread holds while the running command has no slot.
 */
#ifndef DOREVIVEZO_H
#define DOREVIVEZO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ORV_CALL __cdecl
#define ORV_EXPORT __declspec(dllexport)
#else
#define ORV_CALL
#define ORV_EXPORT __attribute__((visibility("default")))
#endif

/* One argument of a command. */
typedef struct ArgDescriptor {
    int16_t type_flags; /* bits 0-3 host type code; ARG_ARRAY; ARG_CALLBACK */
    void *data;         /* the argument's storage in host memory */
    uint32_t size;      /* storage size in bytes (one element for arrays) */
    uint8_t unused[12];
} ArgDescriptor;

/* Bits of ArgDescriptor.type_flags. */
#define ARG_TYPE_MASK 0x000F
#define ARG_ARRAY 0x0010 /* the argument is an array */
#define ARG_CALLBACK                                      \
    0x0040 /* values may be handed over with PUT_STRING / \
              storage may be enlarged with RESIZE_ARG */
/* Command 22 (ORV_CMD_EXECUTE_PARAMS) only: the value is SQL NULL.  On a
   single value the storage is not read.  On an array, a null map follows
   the param elements in the same storage: one byte per row, non-zero for
   a row whose value is NULL (storage = rows * size + rows bytes). */
#define ARG_NULL 0x0020

/* The argument list of one command; args[n] is argument n. */
typedef struct HostContext {
    int32_t arg_count;
    ArgDescriptor args[]; /* at least arg_count + 1 entries */
} HostContext;

#if defined(_MSC_VER)
#pragma pack(push, 1)
#define ORV_PACKED
#else
#define ORV_PACKED __attribute__((packed))
#endif

/* The command header block (argument 2). */
typedef struct ORV_PACKED CmdHdr {
    uint8_t slot; /* in/out: connection slot 1..10, 0 = none */
    uint8_t unused1;
    int16_t subcode;      /* in: per-command selector or flag word */
    int32_t param;        /* in: per-command parameter */
    double row_number;    /* in: row to fetch (command 12), 0.0 = next */
    int16_t opcode;       /* out: echo of the command code */
    int16_t status;       /* out: result status, also returned */
    int32_t native_error; /* out: word-swapped */
    int32_t count;        /* out: word-swapped */
    double number;        /* out (in/out for 12 and 25) */
    char sqlstate[6];     /* out: five characters and a NUL */
    uint8_t unused2[6];
} CmdHdr;

#if defined(_MSC_VER)
#pragma pack(pop)
#endif

/* The host's service routine. */
typedef int32_t(ORV_CALL *HostCallback)(int32_t service, HostContext *ctx,
                                        int32_t selector, int32_t a, int32_t b,
                                        void *p, int32_t n);

/* Service codes of HostCallback. */
enum {
    GET_INT = 1,        /* result: the argument's value */
    GET_STRING = 2,     /* p: buffer to receive the text, n: its size (240) */
    PUT_STRING = 4,     /* p: text, n: length or -1; result 0 = accepted */
    RESIZE_ARG = 5,     /* n: new size; result 0 = resized */
    PUT_INT = 6,        /* a, b: low and high halves of a 64-bit value */
    PUT_NUMBER_TEXT = 7 /* p: number as NUL-terminated text, n: -1 */
};

/* Host type codes: bits 0-3 of ArgDescriptor.type_flags.  The row fetch
   command (ORV_CMD_FETCH_ROW) delivers a column value by them; an argument
   of any other code receives the value's bytes as they are (binary). */
enum {
    ARG_TYPE_STRING = 2,      /* text, written into the storage */
    ARG_TYPE_NUMBER_TEXT = 4, /* a number, handed over as text with
                                 PUT_NUMBER_TEXT */
    ARG_TYPE_UNSIGNED = 6,    /* a 32-bit integer read unsigned, handed over
                                 with PUT_INT */
    ARG_TYPE_SIGNED = 8       /* a 32-bit integer read signed, handed over
                                 with PUT_INT */
};

/* Command codes (argument 1).  Codes 0, 5, 23 and 24 name no command:
   once the environment and slot checks pass they answer ORV_BAD_COMMAND. */
enum {
    ORV_CMD_ALLOC_ENV = 1,        /* allocate the ODBC environment */
    ORV_CMD_FREE_ENV = 2,         /* release every slot's handles, then the
                                     environment */
    ORV_CMD_DIAGNOSTICS = 3,      /* the message of the first diagnostic
                                     record of slot */
    ORV_CMD_ALLOC_SLOT = 4,       /* allocate a connection slot into slot */
    ORV_CMD_CONNECT = 6,          /* connect slot from a connection string */
    ORV_CMD_DISCONNECT = 7,       /* disconnect slot and release it */
    ORV_CMD_DRIVER_INFO = 8,      /* driver or connector information item
                                     subcode */
    ORV_CMD_EXECUTE = 9,          /* execute SQL text (and the SHOW forms) */
    ORV_CMD_DESCRIBE = 10,        /* the result's ColumnDesc records */
    ORV_CMD_IMPORT_COLUMNS = 11,  /* take ColumnDesc records from the host */
    ORV_CMD_FETCH_ROW = 12,       /* fetch a row into host fields */
    ORV_CMD_RESET_STATEMENT = 13, /* close the cursor or free the statement */
    ORV_CMD_GET_CONN_ATTR = 14,   /* read connection attribute param */
    ORV_CMD_SET_CONN_ATTR = 15,   /* change connection attribute param */
    ORV_CMD_GET_STMT_ATTR = 16,   /* read statement attribute subcode */
    ORV_CMD_SET_STMT_ATTR = 17,   /* change statement attribute subcode */
    ORV_CMD_LIST_SOURCES = 18,    /* the first or next ODBC data source */
    ORV_CMD_CANCEL = 19,          /* cancel the statement running on slot
                                     (from another thread or a callback) */
    ORV_CMD_NEXT_RESULT = 20,     /* move the statement to its next result */
    ORV_CMD_END_TRAN = 21,        /* commit (subcode 0) or roll back (1) the
                                     slot's transaction */
    ORV_CMD_EXECUTE_PARAMS = 22,  /* execute SQL text with ? markers bound to
                                     arguments 4.. (arrays: param rows) */
    ORV_CMD_FETCH_BLOCK = 25      /* the remaining rows as one block of text */
};

/* Opt-in bits of header fields the commands do not otherwise read. */
enum {
    ORV_ATTR_ZERO = 0x4000,  /* in subcode of command 15 and param of
                                command 17: a value of 0 is set too */
    ORV_DIAG_RECORD = 0x4000 /* in subcode of command 3: deliver the record
                                numbered by the low byte, whole */
};

/* Status codes (CmdHdr.status and the result of orvsql). */
enum {
    ORV_OK = 0,
    ORV_ODBC_ERROR = 2,      /* sqlstate and native_error say why */
    ORV_MISSING_ARG = 3,     /* too few arguments; a malformed -odbc=
                                value of the connection string */
    ORV_NO_ENV = 5,          /* the environment is not allocated */
    ORV_NO_FREE_SLOT = 7,    /* all ten slots are in use */
    ORV_NO_MEMORY = 8,       /* out of memory, host refused a value, or no
                                columns described */
    ORV_BAD_COMMAND = 9,     /* unrecognised command code */
    ORV_BAD_SLOT = 10,       /* slot not 1..10 or holds no connection */
    ORV_UNSUPPORTED = 11,    /* header too small; unknown attribute or item;
                                array fetch without an array argument */
    ORV_BAD_KEYWORD = 13,    /* unknown connection string keyword */
    ORV_NO_STATEMENT = 14,   /* the slot holds no statement */
    ORV_REFUSED = 15,        /* refused attribute, item 4, fixed options;
                                a call from inside a callback on the running
                                command's slot, or command 2 there */
    ORV_COLUMN_MISMATCH = 16 /* description does not match the result */
};

/* Option bits of CmdHdr.subcode for the fetch commands 12 and 25. */
enum {
    FETCH_ARRAY = 0x0001,
    FETCH_FIXED = 0x0002,
    FETCH_FIXED_REFUSED_4 = 0x0004, /* with FETCH_FIXED: ORV_REFUSED; */
    FETCH_FIXED_REFUSED_8 = 0x0008, /* ignored by the other layouts */
    FETCH_PAIRS = 0x0010,
    FETCH_ALT_NAMES = 0x0020,
    FETCH_TABLE_PREFIX = 0x0040,
    FETCH_NULL_TEXT = 0x0100
};

/* Column description record, 224 bytes. */
typedef struct ColumnDesc {
    char name[32];
    char alt_name[32];
    char table[32];
    char alt_table[32];
    char schema[32];
    char catalog[12];
    char default_text[32];
    int32_t display_size;
    int32_t width;
    uint32_t flags; /* COLF_NOT_NULL, COLF_AUTO_INCREMENT */
    int32_t type;   /* host column type code */
    uint16_t precision;
    uint16_t reserved;
} ColumnDesc;

#define COLF_NOT_NULL 0x0001u
#define COLF_AUTO_INCREMENT 0x0200u

/* Host column type codes (ColumnDesc.type), chosen by the describe step
   from the column's SQL type.  Every SQL type without a code of its own
   gets COLTYPE_OTHER. */
#define COLTYPE_DECIMAL 0    /* SQL_NUMERIC, SQL_DECIMAL */
#define COLTYPE_OTHER 1      /* every other SQL type */
#define COLTYPE_SMALLINT 2   /* SQL_SMALLINT */
#define COLTYPE_INTEGER 3    /* SQL_INTEGER */
#define COLTYPE_FLOAT 4      /* SQL_FLOAT */
#define COLTYPE_DOUBLE 5     /* SQL_REAL, SQL_DOUBLE */
#define COLTYPE_TIMESTAMP 7  /* SQL_TYPE_TIMESTAMP and its ODBC 2 code 11 */
#define COLTYPE_BIGINT 8     /* SQL_BIGINT */
#define COLTYPE_DATE 10      /* SQL_TYPE_DATE */
#define COLTYPE_TIME 11      /* SQL_TYPE_TIME and the ODBC 2 code 10 */
#define COLTYPE_DATETIME 12  /* the ODBC 2 date code 9 */
#define COLTYPE_TEXT 15      /* SQL_VARCHAR, SQL_LONGVARCHAR, SQL_WVARCHAR */
#define COLTYPE_BIT 16       /* SQL_BIT */
#define COLTYPE_BINARY 252   /* SQL_VARBINARY, SQL_LONGVARBINARY, 246 */
#define COLTYPE_VAR_TEXT 253 /* SQL type 247 */
#define COLTYPE_CHAR 254     /* SQL_CHAR, SQL type 248 */

/* The codes the fetch commands treat apart.  A COLTYPE_TEXT column
   described with width 0 gets COLTYPE_TEXT_WIDTH.  Codes
   COLTYPE_BINARY_FIRST to COLTYPE_BINARY_LAST are binary columns: the
   block fetch leaves their values out, and the pairs record makes room
   for their escapes. */
#define COLTYPE_TEXT_WIDTH 4096
#define COLTYPE_BINARY_FIRST 249
#define COLTYPE_BINARY_LAST COLTYPE_BINARY

#ifdef __cplusplus
#define ORV_CONSTEXPR constexpr
#else
#define ORV_CONSTEXPR
#endif

/* Non-zero when a host column type code stands for a binary column. */
static inline ORV_CONSTEXPR int column_type_is_binary(int32_t type) {
    return type >= COLTYPE_BINARY_FIRST && type <= COLTYPE_BINARY_LAST;
}

/* Non-zero when a host column type code stands for a number: decimal,
   smallint, integer, float, double or bigint. */
static inline ORV_CONSTEXPR int column_type_is_number(int32_t type) {
    return type == COLTYPE_DECIMAL || type == COLTYPE_SMALLINT ||
           type == COLTYPE_INTEGER || type == COLTYPE_FLOAT ||
           type == COLTYPE_DOUBLE || type == COLTYPE_BIGINT;
}

/* Exchanges the 16-bit halves of a 32-bit value; its own inverse.  The
   header stores native_error and count this way, and the row fetch reads
   param this way: 100 is stored as 0x00640000 (bytes 00 00 64 00). */
static inline ORV_CONSTEXPR uint32_t swap_halves(uint32_t v) {
    return (v << 16) | (v >> 16);
}

/* The connector's only entry point. */
#ifdef __cplusplus
ORV_EXPORT int32_t ORV_CALL orvsql(HostContext *ctx,
                                   HostCallback callback) noexcept;
#else
ORV_EXPORT int32_t ORV_CALL orvsql(HostContext *ctx, HostCallback callback);
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Layout checks: these records are laid out by the host. */
#ifdef __cplusplus
#define ORV_STATIC_ASSERT static_assert
#else
#define ORV_STATIC_ASSERT _Static_assert
#endif

#ifdef __cplusplus
ORV_STATIC_ASSERT(swap_halves(100) == 0x00640000u, "100 stored swapped");
ORV_STATIC_ASSERT(swap_halves(0xFFFFFFFEu) == 0xFFFEFFFFu, "-2 stored swapped");
#endif

ORV_STATIC_ASSERT(sizeof(CmdHdr) == 48, "CmdHdr is 48 bytes");
ORV_STATIC_ASSERT(offsetof(CmdHdr, slot) == 0, "slot");
ORV_STATIC_ASSERT(offsetof(CmdHdr, subcode) == 2, "subcode");
ORV_STATIC_ASSERT(offsetof(CmdHdr, param) == 4, "param");
ORV_STATIC_ASSERT(offsetof(CmdHdr, row_number) == 8, "row_number");
ORV_STATIC_ASSERT(offsetof(CmdHdr, opcode) == 16, "opcode");
ORV_STATIC_ASSERT(offsetof(CmdHdr, status) == 18, "status");
ORV_STATIC_ASSERT(offsetof(CmdHdr, native_error) == 20, "native_error");
ORV_STATIC_ASSERT(offsetof(CmdHdr, count) == 24, "count");
ORV_STATIC_ASSERT(offsetof(CmdHdr, number) == 28, "number");
ORV_STATIC_ASSERT(offsetof(CmdHdr, sqlstate) == 36, "sqlstate");
ORV_STATIC_ASSERT(offsetof(CmdHdr, unused2) == 42, "tail");

ORV_STATIC_ASSERT(sizeof(ColumnDesc) == 224, "ColumnDesc is 224 bytes");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, alt_name) == 32, "alt_name");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, table) == 64, "table");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, alt_table) == 96, "alt_table");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, schema) == 128, "schema");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, catalog) == 160, "catalog");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, default_text) == 172, "default_text");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, display_size) == 204, "display_size");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, width) == 208, "width");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, flags) == 212, "flags");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, type) == 216, "type");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, precision) == 220, "precision");
ORV_STATIC_ASSERT(offsetof(ColumnDesc, reserved) == 222, "reserved");

#if UINTPTR_MAX == 0xFFFFFFFFu
ORV_STATIC_ASSERT(sizeof(ArgDescriptor) == 24, "descriptor is 24 bytes");
ORV_STATIC_ASSERT(offsetof(ArgDescriptor, data) == 4, "data at 4");
ORV_STATIC_ASSERT(offsetof(ArgDescriptor, size) == 8, "size at 8");
ORV_STATIC_ASSERT(offsetof(HostContext, args) == 4, "args[0] at 4");
ORV_STATIC_ASSERT(offsetof(HostContext, args) + 2 * sizeof(ArgDescriptor) == 52,
                  "args[2] at 52");
ORV_STATIC_ASSERT(offsetof(HostContext, args) + 3 * sizeof(ArgDescriptor) == 76,
                  "args[3] at 76");
ORV_STATIC_ASSERT(offsetof(HostContext, args) + 4 * sizeof(ArgDescriptor) ==
                      100,
                  "args[4] at 100");
#else
ORV_STATIC_ASSERT(sizeof(ArgDescriptor) == 32, "descriptor is 32 bytes");
ORV_STATIC_ASSERT(offsetof(ArgDescriptor, data) == 8, "data at 8");
ORV_STATIC_ASSERT(offsetof(ArgDescriptor, size) == 16, "size at 16");
ORV_STATIC_ASSERT(offsetof(HostContext, args) == 8, "args[0] at 8");
#endif
ORV_STATIC_ASSERT(offsetof(ArgDescriptor, type_flags) == 0, "type_flags at 0");
ORV_STATIC_ASSERT(offsetof(HostContext, arg_count) == 0, "arg_count at 0");

#endif /* DOREVIVEZO_H */
