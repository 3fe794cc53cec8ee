#include "host/hostio.h"

#include <cstring>

namespace orv {

bool hdr_attach(Command& cmd) {
    const ArgView header = arg(cmd, 2);
    if (header.size < kHeaderSize || header.data == nullptr) return false;
    cmd.hdr = header.data;
    return true;
}
void hdr_clear_sqlstate(Command& cmd) { cmd.hdr[hdr::kSqlstate] = 0; }
void hdr_get_sqlstate(const Command& cmd, char (&state)[7]) {
    std::memcpy(state, cmd.hdr + hdr::kSqlstate, 6);
    state[6] = 0;
}
void hdr_set_sqlstate_unknown(Command& cmd) {
    std::memcpy(cmd.hdr + hdr::kSqlstate, "?", 2);
}
void hdr_set_sqlstate(Command& cmd, const char (&state)[6]) {
    std::memcpy(cmd.hdr + hdr::kSqlstate, state, 6);
}

bool arg_has_storage(const ArgView& a) { return a.data != nullptr; }

ArgView arg_element(const ArgView& a, std::size_t index) {
    ArgView v = a;
    if (a.data != nullptr) v.data = a.data + index * a.size;
    return v;
}

ArgView arg_trailer(const ArgView& a, std::size_t elements,
                    std::size_t length) {
    ArgView v = a;
    v.size = static_cast<uint32_t>(length);
    if (a.data != nullptr) v.data = a.data + elements * a.size;
    return v;
}

std::span<uint8_t> arg_elements(const ArgView& a, std::size_t elements) {
    if (a.data == nullptr) return {};
    return {a.data, elements * a.size};
}

std::span<uint8_t> arg_storage(const ArgView& a) {
    if (a.data == nullptr) return {};
    return {a.data, a.size};
}

bool arg_text(const ArgView& a, std::string_view* text) {
    if (a.data == nullptr || a.size == 0) return false;
    const void* end = std::memchr(a.data, 0, a.size);
    if (end == nullptr) return false;
    *text = std::string_view(reinterpret_cast<const char*>(a.data),
                             static_cast<const uint8_t*>(end) - a.data);
    return true;
}

std::span<char> arg_text_span(const ArgView& a) {
    // Shared by every thread: set once, never written (the span is empty).
    static char empty[1] = {};
    if (a.data == nullptr || a.size == 0) return {empty, 0};
    auto* s = reinterpret_cast<char*>(a.data);
    std::size_t len = strnlen(s, a.size);
    if (len == a.size) s[--len] = 0;
    return {s, len};
}

std::size_t arg_read(const ArgView& a, std::size_t at, void* dst,
                     std::size_t len) {
    std::size_t n = arg_detail::bytes_within(a, at, len);
    if (n > 0) std::memcpy(dst, a.data + at, n);
    return n;
}

void arg_fill(const ArgView& a, std::size_t at, std::size_t len, uint8_t byte) {
    std::size_t n = arg_detail::bytes_within(a, at, len);
    if (n > 0) std::memset(a.data + at, byte, n);
}

void arg_write_text(const ArgView& a, std::string_view text) {
    if (a.data == nullptr || a.size == 0) return;
    std::size_t n = text.size() < a.size - 1 ? text.size() : a.size - 1;
    if (n > 0) std::memmove(a.data, text.data(), n);
    a.data[n] = 0;
}

void arg_store_address(const ArgView& a, const void* address) {
    if (a.data == nullptr || a.size < sizeof address) return;
    std::memcpy(a.data, &address, sizeof address);
}

void svc_get_string(Command& cmd, int32_t selector, char* buf) {
    buf[0] = 0;
    if (!svc_detail::names_passed_argument(cmd, selector)) return;
    cmd.callback(GET_STRING, cmd.ctx, selector, 0, 0, buf, kTextSize);
    buf[kTextSize - 1] = 0;  // never trust the host to terminate
}

int32_t svc_put_string(Command& cmd, int32_t selector, const char* text,
                       int32_t len) {
    if (!svc_detail::names_passed_argument(cmd, selector)) return kNotPassed;
    return cmd.callback(PUT_STRING, cmd.ctx, selector, 0, 0,
                        svc_detail::host_text(text), text != nullptr ? len : 0);
}

int32_t svc_resize_arg(Command& cmd, int32_t selector, int32_t new_size) {
    if (!svc_detail::names_passed_argument(cmd, selector)) return kNotPassed;
    return cmd.callback(RESIZE_ARG, cmd.ctx, selector, 0, 0, nullptr, new_size);
}

}  // namespace orv
