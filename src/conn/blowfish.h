// The Blowfish block cipher (16 rounds, 64-bit blocks) used by scheme-3
// encoded connection values, and the wipe used for every secret the
// decoding handles.
#pragma once
#include <cstddef>
#include <cstdint>

namespace orv {

// The cipher state: the four S-boxes (S-box 0 first) followed by the
// P-array.  Always heap-allocated through orv_alloc as one block.
struct BlowfishContext {
    uint32_t s[4][256];
    uint32_t p[18];
};
static_assert(sizeof(BlowfishContext) == 4168);

// The standard initial values: the hexadecimal digits of pi, P-array first.
// Generated into blowfish_tables.cpp by gen_blowfish_tables.py.
extern const uint32_t blowfish_initial_p[18];
extern const uint32_t blowfish_initial_s[4][256];

// Fills `ctx` with the initial tables and runs the standard key schedule
// with `length` bytes of `key` (1 to 72; the cipher is defined for up to
// 56).  Each P word is XORed with four key bytes, most significant first,
// wrapping around the key; then the all-zero block is encrypted repeatedly
// and the outputs replace P and the S-boxes two words at a time.
// Length 0 leaves the key XOR out rather than dividing by zero.
void blowfish_set_key(BlowfishContext* ctx, const uint8_t* key,
                      std::size_t length);

// Encrypts / decrypts one block given as its two 32-bit halves, in place.
void blowfish_encrypt_words(const BlowfishContext* ctx, uint32_t* left,
                            uint32_t* right);
void blowfish_decrypt_words(const BlowfishContext* ctx, uint32_t* left,
                            uint32_t* right);

// Decrypts one 8-byte block in place.  Bytes 0-3 are the left half and
// bytes 4-7 the right half, each read and written as a little-endian word
// (the encoded values' word order, unlike the big-endian order of most
// published Blowfish uses).  Its inverse, blowfish_encrypt_block, belongs
// to the encoder (conn/encode.h).
void blowfish_decrypt_block(const BlowfishContext* ctx, uint8_t block[8]);

// Runs `words` (blowfish_encrypt_words or blowfish_decrypt_words) on one
// 8-byte block in place, in the encoded values' word order: bytes 0-3 the
// left half and bytes 4-7 the right, each a little-endian word.
inline void blowfish_apply_block(const BlowfishContext* ctx, uint8_t block[8],
                                 void (*words)(const BlowfishContext*,
                                               uint32_t*, uint32_t*)) {
    const auto load = [](const uint8_t* b) {
        return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
               static_cast<uint32_t>(b[2]) << 16 |
               static_cast<uint32_t>(b[3]) << 24;
    };
    const auto store = [](uint8_t* b, uint32_t v) {
        b[0] = static_cast<uint8_t>(v);
        b[1] = static_cast<uint8_t>(v >> 8);
        b[2] = static_cast<uint8_t>(v >> 16);
        b[3] = static_cast<uint8_t>(v >> 24);
    };
    uint32_t l = load(block);
    uint32_t r = load(block + 4);
    words(ctx, &l, &r);
    store(block, l);
    store(block + 4, r);
}

// Overwrites `size` bytes at `area` with zeros in a way the compiler may
// not drop even when the memory is freed or goes out of scope right after.
void wipe_secret(void* area, std::size_t size);

}  // namespace orv
