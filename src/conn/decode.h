// Encoded connection values: schemes 1 and 2 (XOR with a fixed key) and
// scheme 3 (Blowfish, key derived from the user name, base64 payload).
// The fixed keys and parameters are in conn/encoding_keys.h.
#pragma once
#include <cstddef>
#include <cstdint>

namespace orv {

// Decodes an encoded value in place.  `value` may be null; `key_text`
// (used by scheme 3 only) may be null.  The decoded text always fits in
// the space of the encoded one.
void decode_password(char* value, const char* key_text);

// Builds the 32-byte scheme-3 key from the key text (first 20 characters;
// null counts as empty) into `key`.  Its working copies are wiped; the
// caller wipes `key` after use.
void derive_blowfish_key(const char* key_text, uint8_t key[32]);

// The base64 alphabet (RFC 4648) of scheme-3 payloads.
inline constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decodes base64 text into out, writing at most capacity bytes.  Returns
// the number of bytes written.
std::size_t base64_decode(const char* text, uint8_t* out, std::size_t capacity);

}  // namespace orv
