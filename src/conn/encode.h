// The encoder of connection values, the exact inverse of decode_password
// (conn/decode.h).  The orvsql-encode tool and the tests use it; the
// connector never encodes, so it is not part of the shared library.
#pragma once
#include <cstddef>
#include <cstdint>

#include "conn/blowfish.h"

namespace orv {

// Encrypts one 8-byte block in place, in the word order of
// blowfish_decrypt_block (conn/blowfish.h), which undoes it.
void blowfish_encrypt_block(const BlowfishContext* ctx, uint8_t block[8]);

// Writes the base64 text (RFC 4648 alphabet, '=' padding) of `size` bytes
// of `data` into `text` followed by a zero byte; `text` must hold
// 4 * ceil(size / 3) + 1 bytes.  Returns the number of characters.
std::size_t base64_encode(const uint8_t* data, std::size_t size, char* text);

enum class EncodeStatus {
    kOk,
    kBadScheme,    // scheme not 1, 2 or 3
    kTextTooLong,  // over 44 characters for scheme 3
    kNoRoom,       // the output area is too small
    kBadCheck,     // scheme-3 check value holds a zero byte
    kBreaksParse,  // the encoded value holds " -" or ends in a space
    kNoMemory,     // the cipher context could not be allocated
};

// Room an encoded value needs: the scheme byte, the payload and the ending
// zero byte.  Scheme 3 always needs 70.
std::size_t encoded_size(int scheme, std::size_t text_length);

// Encodes `text` under `scheme` into `out` (room for `out_size` bytes) so
// that decode_password(out, key_text) gives `text` back.  Scheme 3 uses
// `key_text` (may be null), the 4-byte check value `check` and, for the
// 48-byte plaintext bytes after the text's ending zero, `filler` (44 bytes,
// byte i goes to plaintext byte 4 + i); schemes 1 and 2 ignore all three.
// On any status but kOk, `out` holds the empty string (if out_size > 0).
// kBreaksParse: the encoded value would be cut or trimmed by the
// connection-string parse, so it is not handed out.
EncodeStatus encode_value(int scheme, const char* text, const char* key_text,
                          const char* check, const uint8_t* filler, char* out,
                          std::size_t out_size);

// True when the connection-string parse keeps `value` whole: it holds no
// space followed by '-' and does not end in a space.
bool survives_connection_parse(const char* value);

}  // namespace orv
