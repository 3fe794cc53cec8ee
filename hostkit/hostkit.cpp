// The host kit: host records, argument storage and the callback services.
#include "hostkit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace hostkit {

namespace {

// The host whose command is running; the callback has no user data, and
// commands never overlap.
thread_local Host* t_current = nullptr;

ViolationReporter g_reporter = nullptr;

// Bytes in front of guarded storage that hold the canary.
constexpr std::size_t kCanary = 16;
constexpr uint8_t kCanaryBytes[kCanary] = {0xC5, 0x3A, 0x9E, 0x61, 0x0D, 0xF2,
                                           0x47, 0xB8, 0x5C, 0xA3, 0x16, 0xE9,
                                           0x70, 0x2B, 0xD4, 0x8F};

std::size_t page_size() {
#if defined(_WIN32)
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwPageSize;
#else
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "hostkit: %s\n", what);
    std::abort();
}

}  // namespace

// ---- Block ------------------------------------------------------------------

// Guard mode: the storage's last byte is the last byte before an
// inaccessible page; a size of 0 points right at that page.
Block::Block(uint32_t size, bool guarded) : guarded_(guarded) {
    if (!guarded) {
        base_ = std::calloc(size == 0 ? 1 : size, 1);
        if (base_ == nullptr) die("out of memory");
        data_ = static_cast<uint8_t*>(base_);
        return;
    }
    const std::size_t page = page_size();
    const std::size_t data_pages =
        (std::size_t{size} + kCanary + page - 1) / page;
    length_ = (data_pages + 1) * page;
#if defined(_WIN32)
    base_ = VirtualAlloc(nullptr, length_, MEM_RESERVE | MEM_COMMIT,
                         PAGE_READWRITE);
    if (base_ == nullptr) die("VirtualAlloc failed");
    DWORD old = 0;
    if (!VirtualProtect(static_cast<uint8_t*>(base_) + data_pages * page, page,
                        PAGE_NOACCESS, &old))
        die("VirtualProtect failed");
#else
    base_ = mmap(nullptr, length_, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base_ == MAP_FAILED) die("mmap failed");
    if (mprotect(static_cast<uint8_t*>(base_) + data_pages * page, page,
                 PROT_NONE) != 0)
        die("mprotect failed");
#endif
    data_ = static_cast<uint8_t*>(base_) + data_pages * page - size;
    std::memcpy(data_ - kCanary, kCanaryBytes, kCanary);
}

bool Block::canary_intact() const {
    if (!guarded_ || retired_ || data_ == nullptr) return true;
    return std::memcmp(data_ - kCanary, kCanaryBytes, kCanary) == 0;
}

Block::Block(Block&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      base_(std::exchange(o.base_, nullptr)),
      length_(std::exchange(o.length_, 0)),
      guarded_(o.guarded_),
      retired_(o.retired_) {}

Block& Block::operator=(Block&& o) noexcept {
    if (this != &o) {
        release();
        data_ = std::exchange(o.data_, nullptr);
        base_ = std::exchange(o.base_, nullptr);
        length_ = std::exchange(o.length_, 0);
        guarded_ = o.guarded_;
        retired_ = o.retired_;
    }
    return *this;
}

Block::~Block() { release(); }

void Block::release() {
    if (base_ == nullptr) return;
    if (guarded_) {
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, length_);
#endif
    } else {
        std::free(base_);
    }
    base_ = nullptr;
    data_ = nullptr;
}

// A guarded block keeps its addresses reserved but inaccessible, so a
// stale pointer faults instead of reaching a later mapping; a heap block is
// freed at once (the sanitizer reports a later use).
void Block::retire() {
    if (base_ == nullptr) return;
    if (guarded_) {
#if defined(_WIN32)
        DWORD old = 0;
        VirtualProtect(base_, length_, PAGE_NOACCESS, &old);
#else
        mprotect(base_, length_, PROT_NONE);
#endif
        retired_ = true;
    } else {
        release();
    }
}

// ---- Argument makers -----------------------------------------------------

ArgSpec text(std::string_view s) {
    ArgSpec a;
    a.type_flags = 2;
    a.size = static_cast<uint32_t>(s.size() + 1);
    a.bytes.assign(s.begin(), s.end());
    a.bytes.push_back(0);
    a.text_value = std::string(s);
    a.int_value = std::atoi(a.text_value.c_str());
    return a;
}

ArgSpec buffer(uint32_t size, int16_t flags) {
    ArgSpec a;
    a.type_flags = flags;
    a.size = size;
    return a;
}

ArgSpec integer(int32_t v, int16_t flags) {
    ArgSpec a;
    a.type_flags = flags;
    a.size = 4;
    const uint32_t u = static_cast<uint32_t>(v);
    a.bytes = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
               static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)};
    a.int_value = v;
    a.text_value = std::to_string(v);
    return a;
}

ArgSpec array(uint32_t element_size, uint32_t elements, int16_t flags) {
    ArgSpec a;
    a.type_flags = flags;
    a.size = element_size;
    a.elements = elements;
    return a;
}

Host make_test_host(Entry e) {
    Host h;
    h.entry = e;
    return h;
}

CmdHdr header(uint8_t slot, int16_t subcode) {
    CmdHdr h;
    std::memset(&h, 0, sizeof h);
    h.slot = slot;
    h.subcode = subcode;
    return h;
}

// ---- The hostile host's checks ---------------------------------------------

namespace {

ArgDescriptor& desc(Host& h, int n) { return h.ctx->args[n]; }

std::size_t ctx_size(const Host& h) {
    return offsetof(HostContext, args) +
           h.elements.size() * sizeof(ArgDescriptor);
}

uint8_t* header_storage(const Host& h) {
    return h.blocks[static_cast<std::size_t>(h.storage_block[2])].data();
}

const char* service_name(int32_t service) {
    switch (service) {
        case GET_INT:
            return "GET_INT";
        case GET_STRING:
            return "GET_STRING";
        case PUT_STRING:
            return "PUT_STRING";
        case RESIZE_ARG:
            return "RESIZE_ARG";
        case PUT_INT:
            return "PUT_INT";
        case PUT_NUMBER_TEXT:
            return "PUT_NUMBER_TEXT";
        default:
            return nullptr;
    }
}

// "PUT_STRING selector 3 (call 4)": the call about to be made.
std::string call_name(const Host& h, const Call& c) {
    const char* known = service_name(c.service);
    return (known ? std::string(known)
                  : "service " + std::to_string(c.service)) +
           " selector " + std::to_string(c.selector) + " (call " +
           std::to_string(h.calls.size() + 1) + ")";
}

void violation(Host& h, const std::string& what) {
    h.violations.push_back("hostile host: command " + std::to_string(h.code) +
                           ": " + what);
}

// The host's own view of its records, taken after the host built or
// changed them (RESIZE_ARG, on_call).
void take_snapshot(Host& h) {
    const auto* c = reinterpret_cast<const uint8_t*>(h.ctx);
    h.ctx_expected.assign(c, c + ctx_size(h));
    const uint8_t* hd = header_storage(h);
    h.header_expected.assign(hd, hd + h.header_size);
}

// Whether the connector may answer in the header: the host passed it (as
// argument 2) with storage of at least 48 bytes.
bool header_usable(const Host& h) {
    return h.header_size >= 48 && !h.header_null_data && h.ctx->arg_count >= 2;
}

// Which header bytes command `code` must leave alone: all of a block under
// 48 bytes or not passed (the command is refused untouched); else slot (but
// command 4 writes it), the unused byte, the input fields subcode, param and
// row_number, the trailing unused bytes and whatever lies past 48.
void lock_header(Host& h) {
    h.header_locked.assign(h.header_size, true);
    if (!header_usable(h)) return;
    for (std::size_t i = offsetof(CmdHdr, opcode);
         i < offsetof(CmdHdr, unused2); ++i)
        h.header_locked[i] = false;
    if (h.code == 4) h.header_locked[offsetof(CmdHdr, slot)] = false;
}

// Names what a changed byte of the HostContext at `off` belongs to.
std::string ctx_part(std::size_t off) {
    if (off < offsetof(HostContext, args)) return "arg_count";
    return "the descriptor of argument " +
           std::to_string((off - offsetof(HostContext, args)) /
                          sizeof(ArgDescriptor));
}

// Compares the records with the host's view and the canaries with their
// pattern; records each difference as done `when`, then takes the records
// as they are so that one breach is reported once.
void check_records(Host& h, const std::string& when) {
    const auto* c = reinterpret_cast<const uint8_t*>(h.ctx);
    for (std::size_t i = 0; i < h.ctx_expected.size(); ++i)
        if (c[i] != h.ctx_expected[i]) {
            violation(h, ctx_part(i) + " was changed " + when);
            break;
        }
    const uint8_t* hd = header_storage(h);
    for (std::size_t i = 0; i < h.header_expected.size(); ++i)
        if (h.header_locked[i] && hd[i] != h.header_expected[i]) {
            violation(
                h, "header byte " + std::to_string(i) + " was written " + when);
            break;
        }
    for (std::size_t b = 0; b < h.blocks.size(); ++b) {
        if (h.blocks[b].canary_intact()) continue;
        std::string what = "retired storage";
        if (b == 0) what = "the HostContext";
        for (std::size_t n = 2; n < h.storage_block.size(); ++n)
            if (h.storage_block[n] == static_cast<int>(b))
                what = n == 2 ? std::string("the header")
                              : "argument " + std::to_string(n) + "'s storage";
        violation(
            h, "the canary in front of " + what + " was overwritten " + when);
        std::memcpy(h.blocks[b].data() - kCanary, kCanaryBytes, kCanary);
    }
    take_snapshot(h);
}

// The rules on one service call, checked before the host serves it.
void check_call(Host& h, const Call& c, const HostContext* ctx, const void* p) {
    const std::string name = call_name(h, c);
    if (ctx != h.ctx) violation(h, name + " passed another HostContext");
    const int32_t count = h.ctx->arg_count;
    const int32_t n = c.selector >= 0 ? c.selector % 256 : -1;
    const int32_t lowest = c.service == GET_INT ? 1 : 3;
    switch (c.service) {
        case GET_INT:
        case GET_STRING:
        case PUT_STRING:
        case RESIZE_ARG:
        case PUT_INT:
        case PUT_NUMBER_TEXT:
            break;
        default:
            violation(h, name + ": no such service");
            return;
    }
    if (n < lowest || n == 2 || (n > 2 && n > count))
        violation(h, name + " names argument " + std::to_string(n) +
                         ", beyond arg_count " + std::to_string(count) +
                         " or not one a service reaches");
    if ((c.service == PUT_STRING || c.service == PUT_NUMBER_TEXT) &&
        p == nullptr)
        violation(h, name + " with a null text pointer");
    if ((c.service == PUT_STRING || c.service == PUT_NUMBER_TEXT) && c.n < -1)
        violation(h, name + " with length " + std::to_string(c.n));
    if (c.service == GET_STRING && (p == nullptr || c.n <= 0))
        violation(h, name + " without a buffer");
}

void report(const Host& h) {
    if (!h.report_violations) return;
    for (const std::string& v : h.violations) {
        if (g_reporter != nullptr)
            g_reporter(h, v);
        else
            std::fprintf(stderr, "%s\n", v.c_str());
    }
}

}  // namespace

ViolationReporter set_violation_reporter(ViolationReporter r) {
    return std::exchange(g_reporter, r);
}

// ---- The callback services -------------------------------------------------

namespace {

// The ArgSpec a selector names, or nullptr (argument 1, the header,
// unknown arguments, elements beyond the array).
ArgSpec* spec_of(Host& h, int32_t selector) {
    if (selector < 3) return nullptr;
    const int32_t n = selector % 256, k = selector / 256;
    if (n < 3 || static_cast<std::size_t>(n - 3) >= h.specs.size())
        return nullptr;
    if (static_cast<uint32_t>(k) >= h.elements[n]) return nullptr;
    return &h.specs[n - 3];
}

int32_t serve_get_int(Host& h, const Call& c) {
    if (c.selector == 1) return h.code;
    const ArgSpec* s = spec_of(h, c.selector);
    if (s == nullptr) {
        h.bad_call_seen = true;
        return 0;
    }
    if (!(s->type_flags & ARG_ARRAY)) return s->int_value;
    // An element of an array: its stored value, little-endian, as a host
    // reads its own variable (the first min(size, 4) bytes).
    const ArgDescriptor d = descriptor(h, c.selector % 256);
    if (d.data == nullptr) return 0;
    const auto* p =
        static_cast<const uint8_t*>(d.data) +
        std::size_t{d.size} * static_cast<uint32_t>(c.selector / 256);
    uint32_t v = 0;
    for (uint32_t i = 0; i < std::min<uint32_t>(d.size, 4); ++i)
        v |= uint32_t{p[i]} << (8 * i);
    return static_cast<int32_t>(v);
}

int32_t serve_get_string(Host& h, Call& c, void* p) {
    const ArgSpec* s = spec_of(h, c.selector);
    if (s == nullptr || p == nullptr || c.n <= 0) {
        h.bad_call_seen = true;
        return 0;
    }
    const std::size_t len =
        std::min(s->text_value.size(), static_cast<std::size_t>(c.n) - 1);
    auto* out = static_cast<uint8_t*>(p);
    std::memcpy(out, s->text_value.data(), len);
    out[len] = 0;
    c.bytes.assign(out, out + len + 1);
    return 0;
}

int32_t serve_resize(Host& h, const Call& c) {
    const int32_t n = c.selector;
    if (n < 3 || static_cast<std::size_t>(n - 3) >= h.specs.size() || c.n < 0) {
        h.bad_call_seen = true;
        return 1;
    }
    if (h.refuse_resize) return 1;
    ArgDescriptor& d = desc(h, n);
    const uint64_t total = uint64_t{static_cast<uint32_t>(c.n)} * h.elements[n];
    const uint64_t old_total = uint64_t{d.size} * h.elements[n];
    if (total > 0xFFFFFFFFu) return 1;
    Block fresh(static_cast<uint32_t>(total), h.guard_pages);
    if (d.data != nullptr)
        std::memcpy(fresh.data(), d.data, std::min(total, old_total));
    d.data = fresh.data();
    d.size = static_cast<uint32_t>(c.n);
    if (h.storage_block[n] >= 0) h.blocks[h.storage_block[n]].retire();
    h.blocks.push_back(std::move(fresh));
    h.storage_block[n] = static_cast<int>(h.blocks.size() - 1);
    return 0;
}

// The text a PUT_STRING or PUT_NUMBER_TEXT call hands over.
bool passed_text(const void* p, int32_t n, std::vector<uint8_t>& out) {
    if (p == nullptr || n < -1) return false;
    const auto* b = static_cast<const uint8_t*>(p);
    const std::size_t len =
        n == -1 ? std::strlen(static_cast<const char*>(p)) : std::size_t(n);
    out.assign(b, b + len);
    return true;
}

int32_t ORV_CALL serve(int32_t service, HostContext* ctx, int32_t selector,
                       int32_t a, int32_t b, void* p, int32_t n) {
    Host* h = t_current;
    if (h == nullptr) {
        std::fprintf(stderr, "hostkit: callback outside a command\n");
        return -1;
    }
    if (ctx != h->ctx) h->foreign_context_seen = true;
    Call c{service, selector, a, b, {}, n, 0};
    const bool test_mode = h->guard_pages;
    if (test_mode) {
        check_records(*h, "before " + call_name(*h, c));
        check_call(*h, c, ctx, p);
    }
    bool text_ok = true;
    if (service == PUT_STRING || service == PUT_NUMBER_TEXT)
        text_ok = passed_text(p, n, c.bytes);

    std::optional<int32_t> forced;
    if (h->on_call) forced = h->on_call(*h, c);
    if (forced) {
        c.result = *forced;
    } else {
        switch (service) {
            case GET_INT:
                c.result = serve_get_int(*h, c);
                break;
            case GET_STRING:
                c.result = serve_get_string(*h, c, p);
                break;
            case PUT_STRING:
                if (!text_ok || spec_of(*h, selector) == nullptr)
                    h->bad_call_seen = true;
                c.result = h->refuse_put_string ? 1 : 0;
                if (c.result == 0) h->put_strings[selector] = c.bytes;
                break;
            case RESIZE_ARG:
                c.result = serve_resize(*h, c);
                break;
            case PUT_INT:
                if (spec_of(*h, selector) == nullptr) h->bad_call_seen = true;
                h->put_ints[selector] = static_cast<int64_t>(
                    (uint64_t{static_cast<uint32_t>(b)} << 32) |
                    static_cast<uint32_t>(a));
                break;
            case PUT_NUMBER_TEXT:
                if (!text_ok || spec_of(*h, selector) == nullptr)
                    h->bad_call_seen = true;
                h->put_numbers[selector] =
                    std::string(c.bytes.begin(), c.bytes.end());
                break;
            default:
                h->bad_call_seen = true;
                c.result = -1;
                break;
        }
    }
    h->calls.push_back(std::move(c));
    // The host may have changed its records (RESIZE_ARG, on_call).
    if (test_mode) take_snapshot(*h);
    return h->calls.back().result;
}

}  // namespace

// ---- Running one command ---------------------------------------------------

int32_t run(Host& h, int32_t code, CmdHdr& hdr, std::vector<ArgSpec> args) {
    if (h.entry == nullptr) die("Host::entry is not set");
    // Release the previous run's records before building new ones.
    h.ctx = nullptr;
    h.blocks.clear();
    h.calls.clear();
    h.put_strings.clear();
    h.put_ints.clear();
    h.put_numbers.clear();
    h.foreign_context_seen = false;
    h.bad_call_seen = false;
    h.violations.clear();
    h.code = code;
    h.specs = std::move(args);

    const int32_t real_count = 2 + static_cast<int32_t>(h.specs.size());
    const int32_t arg_count = h.arg_count_override.value_or(real_count);
    const int32_t descriptors = std::max(real_count, arg_count) + 1;
    h.elements.assign(descriptors, 1);
    h.storage_block.assign(descriptors, -1);

    const std::size_t ctx_size =
        offsetof(HostContext, args) + descriptors * sizeof(ArgDescriptor);
    h.blocks.emplace_back(static_cast<uint32_t>(ctx_size), h.guard_pages);
    h.ctx = reinterpret_cast<HostContext*>(h.blocks.back().data());
    h.ctx->arg_count = arg_count;
    // Arguments 0 and 1 have no storage a connector may use: poison them.
    std::memset(&h.ctx->args[0], 0xA5, 2 * sizeof(ArgDescriptor));

    h.blocks.emplace_back(h.header_size, h.guard_pages);
    h.storage_block[2] = static_cast<int>(h.blocks.size() - 1);
    uint8_t* hdr_data = h.blocks.back().data();
    std::memcpy(hdr_data, &hdr, std::min<uint32_t>(48, h.header_size));
    h.ctx->args[2].type_flags = 0;
    h.ctx->args[2].data = h.header_null_data ? nullptr : hdr_data;
    h.ctx->args[2].size = h.header_size;

    for (std::size_t i = 0; i < h.specs.size(); ++i) {
        const ArgSpec& s = h.specs[i];
        const int n = static_cast<int>(i) + 3;
        const uint64_t total = uint64_t{s.size} * s.elements;
        if (total > 0xFFFFFFFFu) die("argument storage over 4 GB");
        h.elements[n] = s.elements;
        h.blocks.emplace_back(static_cast<uint32_t>(total), h.guard_pages);
        h.storage_block[n] = static_cast<int>(h.blocks.size() - 1);
        uint8_t* data = h.blocks.back().data();
        const std::size_t initial = std::min<uint64_t>(s.bytes.size(), total);
        if (initial > 0) std::memcpy(data, s.bytes.data(), initial);
        ArgDescriptor& d = h.ctx->args[n];
        d.type_flags = s.type_flags;
        d.data = s.null_data ? nullptr : data;
        d.size = s.size;
    }

    const bool test_mode = h.guard_pages;
    const bool answered = header_usable(h);
    if (test_mode) {
        lock_header(h);
        take_snapshot(h);
    }

    Host* previous = std::exchange(t_current, &h);
    const int32_t result = h.entry(h.ctx, &serve);
    t_current = previous;

    if (test_mode) {
        check_records(h, "by the time the command returned");
        int16_t status = 11;
        if (answered)
            std::memcpy(&status, hdr_data + offsetof(CmdHdr, status),
                        sizeof status);
        if (result != status)
            violation(h, "returned " + std::to_string(result) +
                             (answered ? " with status " : " instead of ") +
                             std::to_string(status) +
                             (answered ? " in the header" : ""));
        report(h);
    }

    std::memcpy(&hdr, hdr_data, std::min<uint32_t>(48, h.header_size));
    return result;
}

// ---- Reading the results ---------------------------------------------------

ArgDescriptor descriptor(const Host& h, int n) {
    ArgDescriptor d{};
    if (h.ctx != nullptr && n >= 2 &&
        static_cast<std::size_t>(n) < h.elements.size())
        d = h.ctx->args[n];
    return d;
}

std::vector<uint8_t> arg_bytes(const Host& h, int n) {
    const ArgDescriptor d = descriptor(h, n);
    if (d.data == nullptr) return {};
    const auto* p = static_cast<const uint8_t*>(d.data);
    return std::vector<uint8_t>(p, p + std::size_t{d.size} * h.elements[n]);
}

std::string arg_text(const Host& h, int n) {
    const std::vector<uint8_t> b = arg_bytes(h, n);
    const auto end = std::find(b.begin(), b.end(), uint8_t{0});
    return std::string(b.begin(), end);
}

std::vector<Call> calls_of(const Host& h, int32_t service) {
    std::vector<Call> out;
    for (const Call& c : h.calls)
        if (c.service == service) out.push_back(c);
    return out;
}

std::string put_text(const Host& h, int32_t selector) {
    const auto it = h.put_strings.find(selector);
    if (it == h.put_strings.end()) return {};
    return std::string(it->second.begin(), it->second.end());
}

int32_t native_error(const CmdHdr& h) {
    const int32_t v = h.native_error;
    return static_cast<int32_t>(swap_halves(static_cast<uint32_t>(v)));
}

int32_t count(const CmdHdr& h) {
    const int32_t v = h.count;
    return static_cast<int32_t>(swap_halves(static_cast<uint32_t>(v)));
}

void set_param_swapped(CmdHdr& h, int32_t v) {
    h.param = static_cast<int32_t>(swap_halves(static_cast<uint32_t>(v)));
}

void set_param_plain(CmdHdr& h, int32_t v) { h.param = v; }

std::string sqlstate(const CmdHdr& h) {
    const char* s = h.sqlstate;
    return std::string(s, strnlen(s, sizeof h.sqlstate));
}

}  // namespace hostkit
