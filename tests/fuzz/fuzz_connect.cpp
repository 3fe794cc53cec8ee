// Fuzzes the connection-string parse of command 6.  The connection string
// lies in a heap block of exactly the argument's size, with no terminator
// unless the input holds one, so AddressSanitizer reports any read or write
// outside the host's storage.  The ODBC stand-in answers SQLConnect and
// SQLDriverConnect.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dorevivezo.h"
#include "standin.h"

namespace {

int32_t current_code = 0;

int32_t ORV_CALL serve(int32_t service, HostContext*, int32_t selector, int32_t,
                       int32_t, void*, int32_t) {
    if (service == GET_INT && selector == 1) return current_code;
    return 0;
}

// Runs one command with the header and, when given, a third argument.
int32_t run(int32_t code, uint8_t* header, uint8_t* storage, uint32_t size,
            bool with_arg) {
    const std::size_t ctx_size =
        sizeof(HostContext) + 4 * sizeof(ArgDescriptor);
    auto* ctx = static_cast<HostContext*>(std::calloc(1, ctx_size));
    ctx->arg_count = with_arg ? 3 : 2;
    ctx->args[2].data = header;
    ctx->args[2].size = 48;
    ctx->args[3].type_flags = 2;
    ctx->args[3].data = storage;
    ctx->args[3].size = size;
    current_code = code;
    int32_t rc = orvsql(ctx, serve);
    std::free(ctx);
    return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static uint8_t header[48];
    static bool ready = false;
    standin::reset();
    if (!ready) {
        std::memset(header, 0, sizeof header);
        run(1, header, nullptr, 0, false);
        run(4, header, nullptr, 0, false);
        ready = header[0] == 1;
        if (!ready) std::abort();
    }
    auto* storage = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size > 0) std::memcpy(storage, data, size);
    std::memset(header, 0, sizeof header);
    header[0] = 1;
    int32_t status = run(6, header, size == 0 ? nullptr : storage,
                         static_cast<uint32_t>(size), true);
    // 3: an -odbc= value that breaks the connection-string grammar.
    if (status != 0 && status != 2 && status != 3 && status != 13) std::abort();
    // The parse only ever writes zero bytes or decoded values, and nothing
    // after the first terminator of the original string moves.
    const uint8_t* end =
        static_cast<const uint8_t*>(std::memchr(data, 0, size));
    if (end != nullptr) {
        std::size_t at = static_cast<std::size_t>(end - data);
        if (std::memcmp(storage + at, data + at, size - at) != 0) std::abort();
    }
    std::free(storage);
    return 0;
}
