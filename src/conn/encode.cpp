// The encoder of connection values, the exact inverse of decode_password.
// The connector never calls it; the orvsql-encode tool and the tests do.
#include "conn/encode.h"

#include <cstring>

#include "conn/blowfish.h"
#include "conn/decode.h"
#include "conn/encoding_keys.h"
#include "memory.h"

namespace orv {

namespace {

namespace enc = encoding;

constexpr std::size_t kScheme3Size = 1 + enc::kScheme3PayloadLength + 1;

// Schemes 1 and 2: text byte t under key byte k becomes t XOR k, except
// that t equal to k is written as k itself (the decoder passes a byte equal
// to its key byte unchanged, and t XOR k would be zero).  Writes the scheme
// byte, the payload and a zero byte: strlen(text) + 2 bytes.
void encode_xor(uint8_t scheme, const char* text, const uint8_t* key,
                char* out) {
    out[0] = static_cast<char>(scheme);
    std::size_t k = 0;
    std::size_t i = 0;
    for (; text[i] != 0; ++i) {
        auto t = static_cast<uint8_t>(text[i]);
        uint8_t p = t == key[k] ? t : static_cast<uint8_t>(t ^ key[k]);
        out[i + 1] = static_cast<char>(p);
        if (key[++k] == 0) k = 0;
    }
    out[i + 1] = 0;
}

// Scheme 3: the 48-byte plaintext is the check value, the text, a zero
// byte when the text is shorter than 44 characters, then filler; it is
// encrypted block by block and written as base64 after the scheme byte and
// the check value.  Writes 70 bytes.  Returns kNoMemory when the cipher
// context cannot be allocated (nothing written then).
EncodeStatus encode_blowfish(const char* text, std::size_t length,
                             const char* key_text, const char* check,
                             const uint8_t* filler, char* out) {
    auto* ctx =
        static_cast<BlowfishContext*>(orv_alloc(sizeof(BlowfishContext)));
    if (ctx == nullptr) return EncodeStatus::kNoMemory;

    uint8_t plain[enc::kCipherBytes] = {};
    std::memcpy(plain, check, enc::kCheckLength);
    std::memcpy(plain + enc::kCheckLength, text, length);
    if (filler != nullptr && length < enc::kMaxScheme3Text) {
        std::size_t from = length + 1;  // the ending zero stays
        std::memcpy(plain + enc::kCheckLength + from, filler + from,
                    enc::kMaxScheme3Text - from);
    }

    uint8_t key[enc::kBlowfishKeyLength];
    derive_blowfish_key(key_text, key);
    blowfish_set_key(ctx, key, sizeof key);
    wipe_secret(key, sizeof key);
    for (std::size_t b = 0; b < sizeof plain; b += 8)
        blowfish_encrypt_block(ctx, plain + b);
    wipe_secret(ctx, sizeof(BlowfishContext));
    orv_free(ctx);

    out[0] = static_cast<char>(enc::kSchemeBlowfish);
    std::memcpy(out + 1, check, enc::kCheckLength);
    base64_encode(plain, sizeof plain, out + 1 + enc::kCheckLength);
    wipe_secret(plain, sizeof plain);
    return EncodeStatus::kOk;
}

// True when `check` holds four non-zero bytes (reads no further).
bool check_complete(const char* check) {
    if (check == nullptr) return false;
    for (std::size_t i = 0; i < enc::kCheckLength; ++i)
        if (check[i] == 0) return false;
    return true;
}

}  // namespace

void blowfish_encrypt_block(const BlowfishContext* ctx, uint8_t block[8]) {
    blowfish_apply_block(ctx, block, blowfish_encrypt_words);
}

std::size_t base64_encode(const uint8_t* data, std::size_t size, char* text) {
    const char* const abc = kBase64Alphabet;
    std::size_t n = 0;
    for (std::size_t i = 0; i < size; i += 3) {
        unsigned b0 = data[i];
        unsigned b1 = i + 1 < size ? data[i + 1] : 0;
        unsigned b2 = i + 2 < size ? data[i + 2] : 0;
        text[n++] = abc[b0 >> 2];
        text[n++] = abc[((b0 & 0x03) << 4) | (b1 >> 4)];
        text[n++] = i + 1 < size ? abc[((b1 & 0x0F) << 2) | (b2 >> 6)] : '=';
        text[n++] = i + 2 < size ? abc[b2 & 0x3F] : '=';
    }
    text[n] = 0;
    return n;
}

std::size_t encoded_size(int scheme, std::size_t text_length) {
    return scheme == enc::kSchemeBlowfish ? kScheme3Size : text_length + 2;
}

bool survives_connection_parse(const char* value) {
    std::size_t n = std::strlen(value);
    if (n > 0 && value[n - 1] == ' ') return false;
    for (std::size_t i = 0; i + 1 < n; ++i)
        if (value[i] == ' ' && value[i + 1] == '-') return false;
    return true;
}

EncodeStatus encode_value(int scheme, const char* text, const char* key_text,
                          const char* check, const uint8_t* filler, char* out,
                          std::size_t out_size) {
    EncodeStatus status = EncodeStatus::kOk;
    if (text == nullptr) text = "";
    std::size_t length = std::strlen(text);

    if (scheme != enc::kSchemeXor1 && scheme != enc::kSchemeXor2 &&
        scheme != enc::kSchemeBlowfish) {
        status = EncodeStatus::kBadScheme;
    } else if (scheme == enc::kSchemeBlowfish &&
               length > enc::kMaxScheme3Text) {
        status = EncodeStatus::kTextTooLong;
    } else if (out == nullptr || out_size < encoded_size(scheme, length)) {
        status = EncodeStatus::kNoRoom;
    } else if (scheme == enc::kSchemeBlowfish && !check_complete(check)) {
        status = EncodeStatus::kBadCheck;
    } else if (scheme == enc::kSchemeBlowfish) {
        status = encode_blowfish(text, length, key_text, check, filler, out);
    } else {
        encode_xor(static_cast<uint8_t>(scheme), text,
                   scheme == enc::kSchemeXor1 ? enc::kScheme1Key.data()
                                              : enc::kScheme2Key.data(),
                   out);
    }
    if (status == EncodeStatus::kOk && !survives_connection_parse(out))
        status = EncodeStatus::kBreaksParse;

    if (status != EncodeStatus::kOk && out != nullptr && out_size > 0) {
        std::size_t written = encoded_size(scheme, length);
        wipe_secret(out, written < out_size ? written : out_size);
    }
    return status;
}

}  // namespace orv
