// Feeds arbitrary bytes to decode_password (with and without key text) and
// to base64_decode with arbitrary capacities.  Every value and output area
// sits in a heap block of exactly its size, so AddressSanitizer reports any
// access outside it; the checks below stop on any result that does not fit
// the space of the encoded value or breaks the decoding rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "conn/decode.h"
#include "conn/encode.h"

namespace {

// A cursor over the fuzzer's input.
struct Input {
    const uint8_t* data;
    std::size_t size;

    uint8_t byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    // The next `n` bytes (fewer at the end), as a NUL-terminated string in
    // a block of exactly its length plus one; the string ends at the first
    // zero byte taken.
    char* string(std::size_t n) {
        if (n > size) n = size;
        std::size_t len = strnlen(reinterpret_cast<const char*>(data), n);
        char* s = static_cast<char*>(std::malloc(len + 1));
        std::memcpy(s, data, len);
        s[len] = 0;
        data += n;
        size -= n;
        return s;
    }
};

void require(bool ok) {
    if (!ok) __builtin_trap();
}

// Decodes `value` in place and checks the outcome against the rules.
void check_decode(char* value, const char* key_text) {
    std::size_t len = std::strlen(value);
    char* before = static_cast<char*>(std::malloc(len + 1));
    std::memcpy(before, value, len + 1);

    orv::decode_password(value, key_text);

    // The result ends inside the block: it fits the encoded value's space.
    std::size_t out = strnlen(value, len + 1);
    require(out <= len);
    auto scheme = static_cast<uint8_t>(before[0]);
    if (len == 0 || scheme < 1 || scheme > 3) {
        require(std::memcmp(value, before, len + 1) == 0);
    } else if (scheme != 3 || len == 1) {
        require(out == len - 1);
    } else if (len - 1 != 68) {
        require(std::memcmp(value, before, len + 1) == 0);
    } else {
        require(out <= 44 || std::strcmp(value, "<bad decryption>") == 0);
    }
    std::free(before);
}

// A scheme-3 value of the right length whose base64 part is mostly (but
// not only) alphabet characters, so the cipher path runs.
char* scheme3_value(Input& in) {
    static const char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=!";
    char* v = static_cast<char*>(std::malloc(70));
    v[0] = 3;
    for (int i = 1; i < 69; ++i) {
        uint8_t b = in.byte();
        v[i] =
            i <= 4 ? static_cast<char>(b | 1) : kChars[b % (sizeof kChars - 1)];
    }
    v[69] = 0;
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Input in{data, size};
    uint8_t mode = in.byte();
    uint8_t key_length = in.byte();
    // Key text: none, or a string of up to 31 bytes.
    char* key_text =
        (key_length & 0x20) ? nullptr : in.string(key_length & 0x1F);

    switch (mode % 4) {
        case 0: {  // arbitrary value
            char* value = in.string(in.size);
            check_decode(value, key_text);
            std::free(value);
            break;
        }
        case 1: {  // scheme-3 shaped value
            char* value = scheme3_value(in);
            check_decode(value, key_text);
            std::free(value);
            break;
        }
        case 2: {  // base64 with an arbitrary capacity
            std::size_t capacity = in.byte();
            char* text = in.string(in.size);
            auto* out =
                static_cast<uint8_t*>(std::malloc(capacity ? capacity : 1));
            std::size_t n = orv::base64_decode(text, out, capacity);
            std::size_t len = std::strlen(text);
            require(n <= capacity && n <= (len + 3) / 4 * 3);
            std::free(out);
            std::free(text);
            break;
        }
        default: {  // encode, then decode gives the text back
            int scheme = 1 + in.byte() % 3;
            char check[4];
            for (char& c : check) c = static_cast<char>(in.byte() | 0x40);
            uint8_t filler[44];
            for (uint8_t& b : filler) b = in.byte();
            char* text = in.string(in.size);
            std::size_t room = orv::encoded_size(scheme, std::strlen(text));
            char* value = static_cast<char*>(std::malloc(room));
            auto status = orv::encode_value(scheme, text, key_text, check,
                                            filler, value, room);
            if (status == orv::EncodeStatus::kOk) {
                require(std::strlen(value) + 1 <= room);
                check_decode(value, key_text);
                require(std::strcmp(value, text) == 0);
            } else {
                require(
                    status == orv::EncodeStatus::kBreaksParse ||
                    (scheme == 3 && status == orv::EncodeStatus::kTextTooLong));
            }
            std::free(value);
            std::free(text);
            break;
        }
    }
    std::free(key_text);
    return 0;
}
