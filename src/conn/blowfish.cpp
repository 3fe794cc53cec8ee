#include "conn/blowfish.h"

#include <cstring>

namespace orv {

namespace {

constexpr int kRounds = 16;

// The round function: the four bytes of x, most significant first, index
// S-boxes 0 to 3.
inline uint32_t feistel(const BlowfishContext* ctx, uint32_t x) {
    uint32_t a = ctx->s[0][x >> 24];
    uint32_t b = ctx->s[1][(x >> 16) & 0xFF];
    uint32_t c = ctx->s[2][(x >> 8) & 0xFF];
    uint32_t d = ctx->s[3][x & 0xFF];
    return ((a + b) ^ c) + d;
}

}  // namespace

void blowfish_encrypt_words(const BlowfishContext* ctx, uint32_t* left,
                            uint32_t* right) {
    uint32_t l = *left;
    uint32_t r = *right;
    for (int i = 0; i < kRounds; i += 2) {
        l ^= ctx->p[i];
        r ^= feistel(ctx, l);
        r ^= ctx->p[i + 1];
        l ^= feistel(ctx, r);
    }
    l ^= ctx->p[16];
    r ^= ctx->p[17];
    // The halves leave swapped: the last round's swap is undone.
    *left = r;
    *right = l;
}

void blowfish_decrypt_words(const BlowfishContext* ctx, uint32_t* left,
                            uint32_t* right) {
    uint32_t l = *left;
    uint32_t r = *right;
    for (int i = kRounds + 1; i > 1; i -= 2) {
        l ^= ctx->p[i];
        r ^= feistel(ctx, l);
        r ^= ctx->p[i - 1];
        l ^= feistel(ctx, r);
    }
    l ^= ctx->p[1];
    r ^= ctx->p[0];
    *left = r;
    *right = l;
}

void blowfish_set_key(BlowfishContext* ctx, const uint8_t* key,
                      std::size_t length) {
    std::memcpy(ctx->p, blowfish_initial_p, sizeof ctx->p);
    std::memcpy(ctx->s, blowfish_initial_s, sizeof ctx->s);
    if (length > 0) {
        std::size_t k = 0;
        for (uint32_t& word : ctx->p) {
            uint32_t mix = 0;
            for (int n = 0; n < 4; ++n) {
                mix = mix << 8 | key[k];
                k = (k + 1) % length;
            }
            word ^= mix;
        }
    }
    uint32_t l = 0;
    uint32_t r = 0;
    for (int i = 0; i < 18; i += 2) {
        blowfish_encrypt_words(ctx, &l, &r);
        ctx->p[i] = l;
        ctx->p[i + 1] = r;
    }
    for (auto& box : ctx->s) {
        for (int i = 0; i < 256; i += 2) {
            blowfish_encrypt_words(ctx, &l, &r);
            box[i] = l;
            box[i + 1] = r;
        }
    }
}

void blowfish_decrypt_block(const BlowfishContext* ctx, uint8_t block[8]) {
    blowfish_apply_block(ctx, block, blowfish_decrypt_words);
}

void wipe_secret(void* area, std::size_t size) {
    if (area == nullptr || size == 0) return;
    std::memset(area, 0, size);
    // The empty statement claims to read the memory, so the stores above
    // are not dead even when the block is freed or left right after.
    __asm__ __volatile__("" : : "r"(area) : "memory");
}

}  // namespace orv
