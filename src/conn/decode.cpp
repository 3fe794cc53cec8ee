#include "conn/decode.h"

#include <cstring>

#include "conn/blowfish.h"
#include "conn/encoding_keys.h"
#include "memory.h"

namespace orv {

namespace {

namespace enc = encoding;

constexpr char kBadDecryption[] = "<bad decryption>";

// Where a scheme-3 result (decoded text or the failure text) is prepared
// before it is copied into the caller's value.  One for the connector, so
// decoding is not re-entrant; wiped after every use.
constexpr std::size_t kResultAreaSize = 72;
char result_area[kResultAreaSize];
static_assert(kResultAreaSize > enc::kMaxScheme3Text);
static_assert(kResultAreaSize > sizeof kBadDecryption);

// Fills `out` with the 32 bytes of the sequence given by `params`.
void make_sequence(const enc::SequenceParams& params,
                   uint8_t out[enc::kBlowfishKeyLength]) {
    unsigned previous = params.seed;
    for (unsigned i = 1; i <= enc::kBlowfishKeyLength; ++i) {
        unsigned long product =
            static_cast<unsigned long>(previous + params.addend) * i *
            params.multiplier;
        previous = static_cast<unsigned>(product % enc::kSequenceDivisor) + 1;
        out[i - 1] = static_cast<uint8_t>(previous);
    }
}

// Schemes 1 and 2: reads the payload from position 1 and writes the
// decoded bytes from position 0, pairing payload byte j with key byte
// j mod 19.  A payload byte equal to its key byte passes unchanged, so no
// zero byte is produced; the result is one byte shorter than the value.
void decode_xor(char* value, const uint8_t* key) {
    std::size_t k = 0;
    std::size_t i = 1;
    for (; value[i] != 0; ++i) {
        auto p = static_cast<uint8_t>(value[i]);
        uint8_t out = p == key[k] ? p : static_cast<uint8_t>(p ^ key[k]);
        value[i - 1] = static_cast<char>(out);
        if (key[++k] == 0) k = 0;
    }
    value[i - 1] = 0;
}

// Scheme 3.  Reads the 68-character payload (4 check characters, 64 of
// base64) and the key text; writes the decoded text, or "<bad decryption>"
// when the check fails, over the value.  Leaves the value unchanged when
// its payload is not 68 characters long or no cipher context can be had.
void decode_blowfish(char* value, const char* key_text) {
    std::size_t payload = std::strlen(value + 1);
    if (payload == 0) {
        value[0] = 0;
        return;
    }
    if (payload != enc::kScheme3PayloadLength) return;

    auto* ctx =
        static_cast<BlowfishContext*>(orv_alloc(sizeof(BlowfishContext)));
    if (ctx == nullptr) return;

    uint8_t key[enc::kBlowfishKeyLength];
    derive_blowfish_key(key_text, key);
    blowfish_set_key(ctx, key, sizeof key);
    wipe_secret(key, sizeof key);

    // Damaged or short base64 leaves zeros and shows as a check mismatch,
    // so the decoder's count is not needed.
    uint8_t plain[enc::kCipherBytes] = {};
    base64_decode(value + 1 + enc::kCheckLength, plain, sizeof plain);
    for (std::size_t b = 0; b < sizeof plain; b += 8)
        blowfish_decrypt_block(ctx, plain + b);
    wipe_secret(ctx, sizeof(BlowfishContext));
    orv_free(ctx);

    if (std::memcmp(plain, value + 1, enc::kCheckLength) == 0) {
        const uint8_t* text = plain + enc::kCheckLength;
        std::size_t n = 0;
        while (n < enc::kMaxScheme3Text && text[n] != 0) {
            result_area[n] = static_cast<char>(text[n]);
            ++n;
        }
        result_area[n] = 0;
    } else {
        std::memcpy(result_area, kBadDecryption, sizeof kBadDecryption);
    }
    wipe_secret(plain, sizeof plain);

    // At most 45 bytes into a value of 70.
    std::size_t length = std::strlen(result_area);
    std::memcpy(value, result_area, length + 1);
    wipe_secret(result_area, sizeof result_area);
}

}  // namespace

void derive_blowfish_key(const char* key_text, uint8_t key[32]) {
    uint8_t x[enc::kBlowfishKeyLength];
    uint8_t y[enc::kBlowfishKeyLength];
    uint8_t t[enc::kBlowfishKeyLength];
    make_sequence(enc::kSequenceX, x);
    make_sequence(enc::kSequenceY, y);

    // Only the first 20 characters count; nothing beyond them is read.
    std::size_t n = 0;
    if (key_text != nullptr) {
        while (n < enc::kKeyTextLimit && key_text[n] != 0) {
            t[n] = static_cast<uint8_t>(key_text[n]);
            ++n;
        }
    }
    t[n] = 0;
    for (std::size_t j = n + 1; j < sizeof t; ++j) t[j] = x[j];
    for (std::size_t j = 1; j < sizeof t; ++j) t[j] ^= x[j - 1];
    for (std::size_t j = 0; j < sizeof t; ++j)
        key[j] = static_cast<uint8_t>(y[j] ^ t[j]);

    wipe_secret(t, sizeof t);
    wipe_secret(x, sizeof x);
    wipe_secret(y, sizeof y);
}

void decode_password(char* value, const char* key_text) {
    if (value == nullptr || value[0] == 0) return;
    switch (static_cast<uint8_t>(value[0])) {
        case enc::kSchemeXor1:
            decode_xor(value, enc::kScheme1Key.data());
            break;
        case enc::kSchemeXor2:
            decode_xor(value, enc::kScheme2Key.data());
            break;
        case enc::kSchemeBlowfish:
            decode_blowfish(value, key_text);
            break;
        default:
            break;  // a plain value
    }
}

}  // namespace orv
