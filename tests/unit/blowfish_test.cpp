// The Blowfish cipher against the published ECB and key-length vectors and
// against OpenSSL's implementation.
#include "conn/blowfish.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "conn/encode.h"

// The low-level Blowfish calls are deprecated in OpenSSL 3 but are exactly
// the reference needed here: the bare cipher on words.  Builds without
// OpenSSL's development files (cross builds) leave this one check out.
#if ORV_HAVE_OPENSSL
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#endif

namespace {

using orv::BlowfishContext;

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(
            static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

uint32_t load_be(const uint8_t* b) {
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 |
           b[3];
}

std::unique_ptr<BlowfishContext> keyed(const std::vector<uint8_t>& key) {
    auto ctx = std::make_unique<BlowfishContext>();
    orv::blowfish_set_key(ctx.get(), key.data(), key.size());
    return ctx;
}

struct EcbVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// The standard published ECB set (8-byte keys; blocks as big-endian
// words, byte 0 most significant).
const EcbVector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(Blowfish, PublishedEcbVectorsOnWords) {
    for (const auto& v : kEcbVectors) {
        SCOPED_TRACE(v.key + std::string(" ") + v.plain);
        auto ctx = keyed(from_hex(v.key));
        auto plain = from_hex(v.plain);
        auto cipher = from_hex(v.cipher);
        uint32_t l = load_be(plain.data()), r = load_be(plain.data() + 4);
        orv::blowfish_encrypt_words(ctx.get(), &l, &r);
        EXPECT_EQ(l, load_be(cipher.data()));
        EXPECT_EQ(r, load_be(cipher.data() + 4));
        orv::blowfish_decrypt_words(ctx.get(), &l, &r);
        EXPECT_EQ(l, load_be(plain.data()));
        EXPECT_EQ(r, load_be(plain.data() + 4));
    }
}

// The byte interface reads each half little-endian: the published
// big-endian blocks with the bytes of each half reversed.
TEST(Blowfish, PublishedEcbVectorsOnLittleEndianBlocks) {
    auto reverse_halves = [](std::vector<uint8_t> b) {
        std::swap(b[0], b[3]), std::swap(b[1], b[2]);
        std::swap(b[4], b[7]), std::swap(b[5], b[6]);
        return b;
    };
    for (const auto& v : kEcbVectors) {
        SCOPED_TRACE(v.key + std::string(" ") + v.plain);
        auto ctx = keyed(from_hex(v.key));
        auto block = reverse_halves(from_hex(v.plain));
        orv::blowfish_encrypt_block(ctx.get(), block.data());
        EXPECT_EQ(block, reverse_halves(from_hex(v.cipher)));
        orv::blowfish_decrypt_block(ctx.get(), block.data());
        EXPECT_EQ(block, reverse_halves(from_hex(v.plain)));
    }
}

// The published key-length set: the block FEDCBA9876543210 under the key
// F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677 cut to 1 to 24 bytes.
TEST(Blowfish, PublishedKeyLengthVectors) {
    const char* kCiphers[24] = {
        "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3",
        "BE1E639408640F05", "B39E44481BDB1E6E", "9457AA83B1928C0D",
        "8BB77032F960629D", "E87A244E2CC85E82", "15750E7A4F4EC577",
        "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
        "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F",
        "93142887EE3BE15C", "03429E838CE2D14B", "A4299E27469FF67B",
        "AFD5AED1C1BC96A8", "10851C0E3858DA9F", "E6F51ED79B9DB21F",
        "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080"};
    auto full = from_hex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
    for (std::size_t n = 1; n <= 24; ++n) {
        SCOPED_TRACE(n);
        auto ctx = keyed({full.begin(), full.begin() + static_cast<long>(n)});
        uint32_t l = 0xFEDCBA98, r = 0x76543210;
        orv::blowfish_encrypt_words(ctx.get(), &l, &r);
        auto cipher = from_hex(kCiphers[n - 1]);
        EXPECT_EQ(l, load_be(cipher.data()));
        EXPECT_EQ(r, load_be(cipher.data() + 4));
    }
}

#if ORV_HAVE_OPENSSL
uint32_t load_le(const uint8_t* b) {
    return uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8 |
           b[0];
}

// Random 32-byte keys (the length scheme 3 uses) and random blocks: the
// keyed state and every block agree with OpenSSL.
TEST(Blowfish, AgreesWithOpenSslOnRandomKeysAndBlocks) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<unsigned> byte(0, 255);
    auto ctx = std::make_unique<BlowfishContext>();
    auto ref = std::make_unique<BF_KEY>();
    for (int round = 0; round < 3000; ++round) {
        uint8_t key[32];
        for (auto& b : key) b = static_cast<uint8_t>(byte(rng));
        orv::blowfish_set_key(ctx.get(), key, sizeof key);
        BF_set_key(ref.get(), sizeof key, key);
        if (round < 50) {
            ASSERT_EQ(0, std::memcmp(ctx->p, ref->P, sizeof ctx->p));
            ASSERT_EQ(0, std::memcmp(ctx->s, ref->S, sizeof ctx->s));
        }
        uint8_t block[8];
        for (auto& b : block) b = static_cast<uint8_t>(byte(rng));
        BF_LONG words[2] = {load_le(block), load_le(block + 4)};
        uint8_t original[8];
        std::memcpy(original, block, 8);

        orv::blowfish_encrypt_block(ctx.get(), block);
        BF_encrypt(words, ref.get());
        for (int i = 0; i < 8; ++i)
            ASSERT_EQ(block[i],
                      static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4))))
                << "round " << round << " byte " << i;

        orv::blowfish_decrypt_block(ctx.get(), block);
        BF_decrypt(words, ref.get());
        ASSERT_EQ(0, std::memcmp(block, original, 8)) << "round " << round;
    }
}
#endif

TEST(Blowfish, InitialTablesStartWithTheDigitsOfPi) {
    // 3.243F6A8885A308D313198A2E0370734...: the P-array takes the first
    // 18 words, S-box 0 follows.
    EXPECT_EQ(orv::blowfish_initial_p[0], 0x243F6A88u);
    EXPECT_EQ(orv::blowfish_initial_p[1], 0x85A308D3u);
    EXPECT_EQ(orv::blowfish_initial_p[2], 0x13198A2Eu);
}

TEST(Blowfish, WipeSecretClearsTheArea) {
    uint8_t area[16];
    std::memset(area, 0xA5, sizeof area);
    orv::wipe_secret(area, sizeof area);
    for (uint8_t b : area) EXPECT_EQ(b, 0);
    orv::wipe_secret(nullptr, 5);  // tolerated
}

}  // namespace
