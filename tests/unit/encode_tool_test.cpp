// The encoder behind orvsql-encode: what it refuses and the form of what
// it produces.  (The tool itself is run by tools/orvsql-encode/tool_test.)
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "conn/decode.h"
#include "conn/encode.h"
#include "conn/encoding_keys.h"
#include "memory.h"

namespace {

namespace enc = orv::encoding;
using orv::EncodeStatus;

TEST(EncodeValue, RefusalsLeaveTheOutputEmpty) {
    const auto& k1 = enc::kScheme1Key;
    // Text bytes that scheme 1 turns into " -", and into a final space.
    std::string cut = {'a', static_cast<char>(' ' ^ k1[1]),
                       static_cast<char>('-' ^ k1[2])};
    std::string trailing = {static_cast<char>(' ' ^ k1[0])};
    struct Case {
        const char* what;
        int scheme;
        std::string text;
        const char* check;
        std::size_t out_size;
        EncodeStatus expected;
    };
    const Case cases[] = {
        {"scheme 0", 0, "pw", "Ab12", 70, EncodeStatus::kBadScheme},
        {"scheme 4", 4, "pw", "Ab12", 70, EncodeStatus::kBadScheme},
        {"45 characters", 3, std::string(45, 'x'), "Ab12", 70,
         EncodeStatus::kTextTooLong},
        {"scheme 3 room", 3, "pw", "Ab12", 69, EncodeStatus::kNoRoom},
        {"xor room", 1, "pw", nullptr, 3, EncodeStatus::kNoRoom},
        {"no check", 3, "pw", nullptr, 70, EncodeStatus::kBadCheck},
        {"short check", 3, "pw", "Ab", 70, EncodeStatus::kBadCheck},
        {"check with space and '-'", 3, "pw", "A -1", 70,
         EncodeStatus::kBreaksParse},
        {"space then '-'", 1, cut, nullptr, 70, EncodeStatus::kBreaksParse},
        {"final space", 1, trailing, nullptr, 70, EncodeStatus::kBreaksParse},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        char out[70];
        std::memset(out, 'q', sizeof out);
        EXPECT_EQ(orv::encode_value(c.scheme, c.text.c_str(), "clerk", c.check,
                                    nullptr, out, c.out_size),
                  c.expected);
        EXPECT_EQ(out[0], 0);
    }
    // The same texts go through the other XOR scheme.
    char out[8];
    EXPECT_EQ(orv::encode_value(2, cut.c_str(), nullptr, nullptr, nullptr, out,
                                sizeof out),
              EncodeStatus::kOk);
}

TEST(EncodeValue, AsciiTextsAreNeverRefusedByXor) {
    std::string all;
    for (int c = 0x20; c < 0x7F; ++c) all += static_cast<char>(c);
    for (const std::string& text : {all, std::string(" - - "), all + "   "}) {
        for (int scheme = 1; scheme <= 2; ++scheme) {
            std::string out(text.size() + 2, '\0');
            ASSERT_EQ(orv::encode_value(scheme, text.c_str(), nullptr, nullptr,
                                        nullptr, out.data(), out.size()),
                      EncodeStatus::kOk);
            std::string value(out.c_str());
            EXPECT_EQ(value.size(), text.size() + 1);
            orv::decode_password(value.data(), nullptr);
            EXPECT_EQ(std::string(value.c_str()), text);
        }
    }
}

TEST(EncodeValue, Scheme3Layout) {
    char out[70];
    ASSERT_EQ(orv::encode_value(3, "tiger", "clerk", "Ab12", nullptr, out,
                                sizeof out),
              EncodeStatus::kOk);
    ASSERT_EQ(std::strlen(out), 69u);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(std::string(out + 1, 4), "Ab12");
    for (int i = 5; i < 69; ++i)
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(out[i])) ||
                    out[i] == '+' || out[i] == '/')
            << i;
    // An empty text still gives the full form, which decodes to "".
    ASSERT_EQ(
        orv::encode_value(3, "", "clerk", "Ab12", nullptr, out, sizeof out),
        EncodeStatus::kOk);
    EXPECT_EQ(std::strlen(out), 69u);
    orv::decode_password(out, "clerk");
    EXPECT_STREQ(out, "");
}

TEST(EncodeValue, Scheme3WithoutMemory) {
    char out[70];
    orv::orv_fail_allocation(1);
    EXPECT_EQ(orv::encode_value(3, "tiger", "clerk", "Ab12", nullptr, out,
                                sizeof out),
              EncodeStatus::kNoMemory);
    orv::orv_fail_allocation(0);
    EXPECT_EQ(out[0], 0);
}

TEST(SurvivesConnectionParse, Table) {
    struct Case {
        const char* value;
        bool survives;
    };
    const Case cases[] = {
        {"", true},    {"abc", true},  {"a b", true},   {"-a", true},
        {"a-b", true}, {" a", true},   {"a -b", false}, {" -", false},
        {"a ", false}, {"a  ", false}, {"a=b c", true}, {"\x01 -", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(orv::survives_connection_parse(c.value), c.survives)
            << c.value;
}

}  // namespace
