#include <array>

#include "conn/decode.h"

namespace orv {

namespace {

// The 6-bit value of every byte: its place in the alphabet, and 0 for
// every other byte ('=' and bytes of 128 and above included).
constexpr std::array<uint8_t, 256> make_decode_table() {
    std::array<uint8_t, 256> table{};
    for (uint8_t v = 0; v < 64; ++v)
        table[static_cast<unsigned char>(kBase64Alphabet[v])] = v;
    return table;
}
constexpr std::array<uint8_t, 256> kDecode = make_decode_table();
static_assert(kDecode['A'] == 0 && kDecode['a'] == 26 && kDecode['0'] == 52 &&
              kDecode['+'] == 62 && kDecode['/'] == 63 && kDecode['='] == 0 &&
              kDecode[0xC1] == 0);

}  // namespace

// Reads groups of four characters until the text ends.  A group cut short
// by the end of the text gives the bytes its characters fully determine
// (two characters one byte, three characters two) and ends the decoding;
// nothing is read past the terminating zero.  Bytes beyond `capacity` are
// dropped, later groups are still read.
std::size_t base64_decode(const char* text, uint8_t* out,
                          std::size_t capacity) {
    std::size_t count = 0;
    if (text == nullptr) return 0;
    if (out == nullptr) capacity = 0;
    auto emit = [&](unsigned byte) {
        if (count < capacity) out[count++] = static_cast<uint8_t>(byte);
    };
    const auto* t = reinterpret_cast<const unsigned char*>(text);
    while (*t != 0) {
        unsigned char c[4];
        std::size_t n = 0;
        while (n < 4 && t[n] != 0) {
            c[n] = t[n];
            ++n;
        }
        if (n >= 2) emit((kDecode[c[0]] << 2) | (kDecode[c[1]] >> 4));
        if (n >= 3 && c[2] != '=') {
            emit(((kDecode[c[1]] << 4) | (kDecode[c[2]] >> 2)) & 0xFF);
            if (n == 4 && c[3] != '=')
                emit(((kDecode[c[2]] << 6) | kDecode[c[3]]) & 0xFF);
        }
        if (n < 4) break;
        t += 4;
    }
    return count;
}

}  // namespace orv
