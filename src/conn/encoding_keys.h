// The fixed values of the encoded connection values: the XOR keys of
// schemes 1 and 2 and the parameters of the two byte sequences from which
// the scheme-3 Blowfish key is derived.
//
// Host-side encoders must use exactly these values, or the connector cannot
// decode what they produce.  They are part of the connector's interface:
// never change them once released, not even to "strengthen" them, since
// every encoded value already stored by a host would stop decoding.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace orv::encoding {

// Each XOR key is 19 non-zero bytes followed by a zero byte that marks its
// end.  All bytes lie above 0x7F, so an ASCII text never meets its own key
// byte and never turns into a space or a '-', which the connection-string
// parse would treat as separators.
inline constexpr std::size_t kXorKeyLength = 19;
inline constexpr std::array<uint8_t, kXorKeyLength + 1> kScheme1Key = {
    0x9C, 0x87, 0x9A, 0x96, 0xA5, 0x95, 0x99, 0xDF, 0x87, 0xE4,
    0x8B, 0x90, 0x91, 0x9E, 0x93, 0x81, 0xA4, 0x97, 0x98, 0x00};
inline constexpr std::array<uint8_t, kXorKeyLength + 1> kScheme2Key = {
    0xCF, 0x8C, 0xEB, 0x86, 0x81, 0x86, 0x91, 0x94, 0xF5, 0x89,
    0x85, 0x86, 0xFB, 0x8E, 0x85, 0x9D, 0x9F, 0x8A, 0x91, 0x00};

// One of the two 32-byte sequences X and Y: starting from `seed` as the
// previous byte, byte i (1-based) is
//   (previous + addend) * i * multiplier  mod  kSequenceDivisor  + 1.
struct SequenceParams {
    uint8_t seed;
    uint8_t addend;
    uint8_t multiplier;
};
inline constexpr SequenceParams kSequenceX = {239, 182, 215};
inline constexpr SequenceParams kSequenceY = {51, 125, 31};
// Common to both sequences.  At most 255, so every byte (1 to divisor) fits
// and is non-zero.
inline constexpr unsigned kSequenceDivisor = 251;

// Scheme bytes and the scheme-3 layout.
inline constexpr uint8_t kSchemeXor1 = 1;
inline constexpr uint8_t kSchemeXor2 = 2;
inline constexpr uint8_t kSchemeBlowfish = 3;
inline constexpr std::size_t kCheckLength = 4;
inline constexpr std::size_t kCipherBytes = 48;   // six 8-byte blocks
inline constexpr std::size_t kBase64Length = 64;  // encodes kCipherBytes
inline constexpr std::size_t kScheme3PayloadLength =
    kCheckLength + kBase64Length;
inline constexpr std::size_t kMaxScheme3Text = kCipherBytes - kCheckLength;
inline constexpr std::size_t kKeyTextLimit = 20;  // characters that count
inline constexpr std::size_t kBlowfishKeyLength = 32;

namespace detail {
constexpr bool key_well_formed(
    const std::array<uint8_t, kXorKeyLength + 1>& k) {
    for (std::size_t i = 0; i < kXorKeyLength; ++i)
        if (k[i] == 0) return false;
    return k[kXorKeyLength] == 0;
}
}  // namespace detail
static_assert(detail::key_well_formed(kScheme1Key));
static_assert(detail::key_well_formed(kScheme2Key));
static_assert(kSequenceDivisor >= 2 && kSequenceDivisor <= 255);
static_assert(kSequenceX.multiplier % kSequenceDivisor != 0);
static_assert(kSequenceY.multiplier % kSequenceDivisor != 0);
static_assert(kBase64Length * 6 == kCipherBytes * 8);
static_assert(kScheme3PayloadLength == 68 && kMaxScheme3Text == 44);

}  // namespace orv::encoding
