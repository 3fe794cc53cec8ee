// Every read from and write into host memory, and every callback service
// call, goes through the functions here.  Writes into argument storage are
// bounded by the descriptor's size.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "host/command.h"

namespace orv {

// ---- The command header block --------------------------------------------
// Offsets of the header fields.
namespace hdr {
inline constexpr std::size_t kSlot = 0, kSubcode = 2, kParam = 4,
                             kRowNumber = 8, kOpcode = 16, kStatus = 18,
                             kNativeError = 20, kCount = 24, kNumber = 28,
                             kSqlstate = 36;
}

// The fields of the header, read and written without casting host
// memory; inline, as every command reads and writes several.
namespace hdr_detail {

// Reads a value of type T at byte offset `off` of the header block.
template <typename T>
inline T load(const Command& cmd, std::size_t off) {
    T v;
    std::memcpy(&v, cmd.hdr + off, sizeof v);
    return v;
}

// Stores a value of type T at byte offset `off` of the header block.
template <typename T>
inline void store(Command& cmd, std::size_t off, T v) {
    std::memcpy(cmd.hdr + off, &v, sizeof v);
}

// The 32-bit fields the host stores with their 16-bit halves swapped
// (param, native_error, count), read and written as plain numbers.
inline int32_t load_swapped(const Command& cmd, std::size_t off) {
    return static_cast<int32_t>(swap_halves(load<uint32_t>(cmd, off)));
}
inline void store_swapped(Command& cmd, std::size_t off, int32_t v) {
    store(cmd, off, swap_halves(static_cast<uint32_t>(v)));
}

}  // namespace hdr_detail

inline uint8_t hdr_slot(const Command& cmd) {
    return hdr_detail::load<uint8_t>(cmd, hdr::kSlot);
}
inline void hdr_set_slot(Command& cmd, uint8_t slot) {
    hdr_detail::store(cmd, hdr::kSlot, slot);
}
inline int16_t hdr_subcode(const Command& cmd) {
    return hdr_detail::load<int16_t>(cmd, hdr::kSubcode);
}
inline int32_t hdr_param_plain(const Command& cmd) {
    return hdr_detail::load<int32_t>(cmd, hdr::kParam);
}
inline int32_t hdr_param_swapped(const Command& cmd) {
    return hdr_detail::load_swapped(cmd, hdr::kParam);
}
inline double hdr_row_number(const Command& cmd) {
    return hdr_detail::load<double>(cmd, hdr::kRowNumber);
}
inline int16_t hdr_status(const Command& cmd) {
    return hdr_detail::load<int16_t>(cmd, hdr::kStatus);
}
inline void hdr_set_status(Command& cmd, int16_t status) {
    hdr_detail::store(cmd, hdr::kStatus, status);
}
inline void hdr_set_opcode(Command& cmd, int16_t opcode) {
    hdr_detail::store(cmd, hdr::kOpcode, opcode);
}
inline int32_t hdr_native_error(const Command& cmd) {
    return hdr_detail::load_swapped(cmd, hdr::kNativeError);
}
inline void hdr_set_native_error(Command& cmd, int32_t value) {
    hdr_detail::store_swapped(cmd, hdr::kNativeError, value);
}
inline int32_t hdr_count(const Command& cmd) {
    return hdr_detail::load_swapped(cmd, hdr::kCount);
}
inline void hdr_set_count(Command& cmd, int32_t value) {
    hdr_detail::store_swapped(cmd, hdr::kCount, value);
}
inline double hdr_number(const Command& cmd) {
    return hdr_detail::load<double>(cmd, hdr::kNumber);
}
inline void hdr_set_number(Command& cmd, double value) {
    hdr_detail::store(cmd, hdr::kNumber, value);
}
// Points cmd.hdr at argument 2's storage when it is at least 48 bytes
// (kHeaderSize) and not null.  Returns false, leaving cmd.hdr alone,
// otherwise.
bool hdr_attach(Command& cmd);
// Stores a NUL in the first byte of sqlstate, leaving the other five.
void hdr_clear_sqlstate(Command& cmd);
// Copies the 6 bytes of sqlstate into `state` and terminates it, so that
// a state the host left unterminated still ends within the copy.
void hdr_get_sqlstate(const Command& cmd, char (&state)[7]);
// Stores "?" and a NUL into sqlstate.
void hdr_set_sqlstate_unknown(Command& cmd);
// Stores a five-character state and a NUL.
void hdr_set_sqlstate(Command& cmd, const char (&state)[6]);

// ---- Arguments -------------------------------------------------------------
// A copy of one argument descriptor, read without casting host memory.
struct ArgView {
    int16_t type_flags = 0;
    uint8_t* data = nullptr;
    uint32_t size = 0;
    bool present = false;  // the argument exists (arg_count >= n)
};

inline int32_t arg_count(const Command& cmd) {
    int32_t n;
    std::memcpy(&n, &cmd.ctx->arg_count, sizeof n);
    return n;
}

// Descriptor of argument n, which the caller knows to lie within
// 2..arg_count (a loop bounded by arg_count): arg() without the check.
inline ArgView arg_within(const Command& cmd, int n) {
    const auto* d = reinterpret_cast<const uint8_t*>(&cmd.ctx->args[n]);
    int16_t type_flags;
    void* data;
    uint32_t size;
    std::memcpy(&type_flags, d + offsetof(ArgDescriptor, type_flags),
                sizeof type_flags);
    std::memcpy(&data, d + offsetof(ArgDescriptor, data), sizeof data);
    std::memcpy(&size, d + offsetof(ArgDescriptor, size), sizeof size);
    return ArgView{type_flags, static_cast<uint8_t*>(data), size, true};
}

// Descriptor of argument n (n >= 2); present is false beyond arg_count.
inline ArgView arg(const Command& cmd, int n) {
    if (n < 2 || n > arg_count(cmd)) return ArgView{};
    return arg_within(cmd, n);
}

// True when the argument has storage (its data pointer is not null).
bool arg_has_storage(const ArgView& a);

// Element `index` (0-based) of an array argument: a.size bytes at
// data + index * a.size.  The host lays out as many elements as the
// command's count asks for.
ArgView arg_element(const ArgView& a, std::size_t index);

// The `length` bytes that follow the first `elements` elements of an array
// argument (a trailer the host lays out behind them); no storage when the
// argument has none.
ArgView arg_trailer(const ArgView& a, std::size_t elements, std::size_t length);

// The first `elements` elements of an array argument (a single value: one
// element) as one span of elements x a.size bytes; empty when the argument
// has no storage.
std::span<uint8_t> arg_elements(const ArgView& a, std::size_t elements);

// The argument's storage as a byte span of a.size bytes; empty when it has
// none.  For an ODBC call that writes into it: the span's size is the cap.
std::span<uint8_t> arg_storage(const ArgView& a);

// The text at the start of the argument's storage, up to its first zero
// byte.  Returns false when the storage is null, of size 0, or holds no
// zero byte within its size.
bool arg_text(const ArgView& a, std::string_view* text);

// The text at the start of the argument's storage as a writable span,
// terminated within the storage: when no zero byte lies within a.size,
// the storage's last byte becomes one.  The span holds the text without
// its terminator, and span.data()[span.size()] is 0.  A null or empty
// storage gives an empty text (in storage of the connector's own).
std::span<char> arg_text_span(const ArgView& a);

// Copies up to len bytes from storage offset `at` into dst, never past
// a.size.  Returns the number of bytes read (0 when the storage is null).
std::size_t arg_read(const ArgView& a, std::size_t at, void* dst,
                     std::size_t len);
namespace arg_detail {

// How many of the len bytes from storage offset `at` lie within the
// argument's storage; 0 when it has none.
inline std::size_t bytes_within(const ArgView& a, std::size_t at,
                                std::size_t len) {
    if (a.data == nullptr || at >= a.size) return 0;
    return a.size - at < len ? a.size - at : len;
}

}  // namespace arg_detail

// Copies up to len bytes to storage offset `at`, never past a.size.
// Returns the number of bytes written.
inline std::size_t arg_write(const ArgView& a, std::size_t at, const void* src,
                             std::size_t len) {
    std::size_t n = arg_detail::bytes_within(a, at, len);
    if (n > 0) std::memmove(a.data + at, src, n);
    return n;
}

// Fills bytes [at, at + len) with `byte`, never past a.size.
void arg_fill(const ArgView& a, std::size_t at, std::size_t len, uint8_t byte);
// Writes at most a.size - 1 bytes of text and a terminating NUL.  Nothing
// is written when the storage is null or of size 0.
void arg_write_text(const ArgView& a, std::string_view text);
// Stores an address as a pointer-sized value when a.size >= sizeof(void*).
void arg_store_address(const ArgView& a, const void* address);

// ---- Callback services -----------------------------------------------------
// The selector is the argument number, plus 256 x the element index for an
// element of an array argument.  A selector that does not name an argument
// from 1 to arg_count is never passed to the host: the service is not
// called, reads give 0 or the empty text, and PUT_STRING and RESIZE_ARG
// answer kNotPassed.  No text pointer handed to the host is ever null: a
// null text goes out as the empty text.
inline constexpr int32_t kNotPassed = 1;

namespace svc_detail {

// True when `selector` names an argument the host passed: argument
// selector % 256 (element selector / 256 of an array), from 1 to
// arg_count.  A selector naming argument 0, a negative one, or one beyond
// arg_count never reaches the host, whose argument table ends there.
inline bool names_passed_argument(const Command& cmd, int32_t selector) {
    if (selector <= 0) return false;
    const int32_t n = selector & 0xFF;  // selector % 256, selector > 0
    return n >= 1 && n <= arg_count(cmd);
}

// The empty text handed to the host in place of an absent one.
inline char empty_text[1];

// The text pointer handed to the host: never null (an absent text is the
// empty one).
inline char* host_text(const char* text) {
    empty_text[0] = 0;
    return const_cast<char*>(text != nullptr ? text : empty_text);
}

}  // namespace svc_detail

// The services a fetch calls for every row or value are inline.
inline int32_t svc_get_int(Command& cmd, int32_t selector) {
    if (!svc_detail::names_passed_argument(cmd, selector)) return 0;
    return cmd.callback(GET_INT, cmd.ctx, selector, 0, 0, nullptr, 0);
}
// Reads the argument as text into buf (kTextSize bytes); always terminated.
void svc_get_string(Command& cmd, int32_t selector, char* buf);
// Hands text over; len -1 for NUL-terminated.  Returns 0 when accepted.
int32_t svc_put_string(Command& cmd, int32_t selector, const char* text,
                       int32_t len);
// Asks the host to enlarge the argument's storage.  Returns 0 when done.
int32_t svc_resize_arg(Command& cmd, int32_t selector, int32_t new_size);
// Stores a 64-bit value as its low and high 32-bit halves.
inline void svc_put_int(Command& cmd, int32_t selector, int64_t value) {
    if (!svc_detail::names_passed_argument(cmd, selector)) return;
    auto u = static_cast<uint64_t>(value);
    cmd.callback(PUT_INT, cmd.ctx, selector, static_cast<int32_t>(u),
                 static_cast<int32_t>(u >> 32), nullptr, 0);
}
inline void svc_put_number_text(Command& cmd, int32_t selector,
                                const char* text) {
    if (!svc_detail::names_passed_argument(cmd, selector)) return;
    cmd.callback(PUT_NUMBER_TEXT, cmd.ctx, selector, 0, 0,
                 svc_detail::host_text(text), -1);
}

}  // namespace orv
