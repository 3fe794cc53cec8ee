// Tests of the host kit itself, run against a small fake entry function.
#include "hostkit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using hostkit::Host;

// The fake connector: each test sets the body it needs.
std::function<int32_t(HostContext*, HostCallback)> g_body;
int32_t fake_entry(HostContext* ctx, HostCallback cb) {
    return g_body(ctx, cb);
}

// Raw offsets of the host records, for this build's pointer width.
constexpr std::size_t kPtr = sizeof(void*);
constexpr std::size_t kArgsAt = kPtr == 8 ? 8 : 4;
constexpr std::size_t kDescSize = kPtr == 8 ? 32 : 24;
constexpr std::size_t kDataAt = kPtr == 8 ? 8 : 4;
constexpr std::size_t kSizeAt = kPtr == 8 ? 16 : 8;

struct RawArg {
    int16_t type_flags;
    uint8_t* data;
    uint32_t size;
};

RawArg raw_arg(const HostContext* ctx, int n) {
    const auto* base = reinterpret_cast<const uint8_t*>(ctx);
    const uint8_t* d = base + kArgsAt + kDescSize * n;
    RawArg a{};
    std::memcpy(&a.type_flags, d, 2);
    std::memcpy(&a.data, d + kDataAt, kPtr);
    std::memcpy(&a.size, d + kSizeAt, 4);
    return a;
}

class HostKit : public ::testing::Test {
  protected:
    void SetUp() override {
        g_body = nullptr;
        h = hostkit::make_test_host(&fake_entry);
        // The fake connector breaks rules on purpose; tests read
        // h.violations instead.
        h.report_violations = false;
    }
    Host h;
    CmdHdr hdr = hostkit::header(3, 7);
};

TEST_F(HostKit, RecordsLieAtTheOffsetsOfTheHeader) {
    std::vector<RawArg> seen;
    int32_t count = 0;
    std::vector<uint8_t> header_in;
    g_body = [&](HostContext* ctx, HostCallback) {
        std::memcpy(&count, ctx, 4);
        for (int n = 2; n <= 5; ++n) seen.push_back(raw_arg(ctx, n));
        header_in.assign(seen[0].data, seen[0].data + 48);
        const int16_t status = 4;
        const uint32_t swapped_count = hostkit::swap_halves(3);
        std::memcpy(seen[0].data + 18, &status, 2);
        std::memcpy(seen[0].data + 24, &swapped_count, 4);
        return 4;
    };
    hdr.row_number = 2.0;
    EXPECT_EQ(hostkit::run(h, ORV_CMD_FETCH_ROW, hdr,
                           {hostkit::text("abc"), hostkit::integer(42),
                            hostkit::array(10, 3, 2 | ARG_ARRAY)}),
              4);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(seen[0].size, 48u);
    CmdHdr copy;
    std::memcpy(&copy, header_in.data(), 48);
    EXPECT_EQ(copy.slot, 3);
    EXPECT_EQ(copy.subcode, 7);
    EXPECT_EQ(copy.row_number, 2.0);
    EXPECT_EQ(seen[1].type_flags, 2);
    EXPECT_EQ(seen[1].size, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(seen[1].data), 4),
              std::string("abc\0", 4));
    EXPECT_EQ(seen[2].type_flags, 8);
    EXPECT_EQ(seen[2].size, 4u);
    EXPECT_EQ(std::vector<uint8_t>(seen[2].data, seen[2].data + 4),
              (std::vector<uint8_t>{42, 0, 0, 0}));
    EXPECT_EQ(seen[3].type_flags, 2 | ARG_ARRAY);
    EXPECT_EQ(seen[3].size, 10u);
    EXPECT_EQ(hostkit::arg_bytes(h, 5).size(), 30u);
    // The header comes back into hdr.
    EXPECT_EQ(hdr.status, 4);
    EXPECT_EQ(hostkit::count(hdr), 3);
}

TEST_F(HostKit, HeaderSizeAndArgCountOverride) {
    int32_t count = -1;
    g_body = [&](HostContext* ctx, HostCallback) {
        count = ctx->arg_count;
        return 0;
    };
    h.header_size = 47;
    h.arg_count_override = 2;
    hostkit::run(h, ORV_CMD_EXECUTE, hdr, {hostkit::text("x")});
    EXPECT_EQ(count, 2);
    EXPECT_EQ(hostkit::descriptor(h, 2).size, 47u);
    EXPECT_EQ(hostkit::arg_text(h, 3), "x");  // still built
}

// Every access one byte past an argument's storage, the header or the
// descriptor list faults.
TEST_F(HostKit, GuardPagesCatchOverruns) {
    using Touch = void (*)(HostContext*);
    struct Case {
        const char* what;
        Touch touch;
    };
    const Case cases[] = {
        {"write past text",
         [](HostContext* c) {
             static_cast<volatile uint8_t*>(c->args[3].data)[c->args[3].size] =
                 1;
         }},
        {"read past text",
         [](HostContext* c) {
             (void)static_cast<volatile uint8_t*>(
                 c->args[3].data)[c->args[3].size];
         }},
        {"write into size 0",
         [](HostContext* c) {
             *static_cast<volatile uint8_t*>(c->args[4].data) = 1;
         }},
        {"write past the whole array",
         [](HostContext* c) {
             static_cast<volatile uint8_t*>(c->args[5].data)[2 * 6] = 1;
         }},
        {"write past the header",
         [](HostContext* c) {
             static_cast<volatile uint8_t*>(c->args[2].data)[48] = 1;
         }},
        {"read past the descriptors",
         [](HostContext* c) {
             (void)*reinterpret_cast<volatile int16_t*>(
                 &c->args[c->arg_count + 1]);
         }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        g_body = [&](HostContext* ctx, HostCallback) {
            k.touch(ctx);
            return 0;
        };
        const auto args = [] {
            return std::vector<hostkit::ArgSpec>{hostkit::text("abcd"),
                                                 hostkit::buffer(0),
                                                 hostkit::array(6, 2)};
        };
        EXPECT_DEATH(hostkit::run(h, ORV_CMD_ALLOC_ENV, hdr, args()), "");
    }
    // The last byte of each storage is usable.
    g_body = [](HostContext* c, HostCallback) {
        static_cast<uint8_t*>(c->args[3].data)[c->args[3].size - 1] = 'x';
        static_cast<uint8_t*>(c->args[2].data)[47] = 9;
        return 0;
    };
    hostkit::run(h, ORV_CMD_ALLOC_ENV, hdr, {hostkit::text("abcd")});
    EXPECT_EQ(hostkit::arg_bytes(h, 3).back(), 'x');
    EXPECT_EQ(hdr.unused2[5], 9);
}

TEST_F(HostKit, ServicesAnswerAndAreRecorded) {
    std::vector<int32_t> answers;
    char buf[4];
    g_body = [&](HostContext* ctx, HostCallback cb) {
        answers.push_back(cb(GET_INT, ctx, 1, 0, 0, nullptr, 0));
        answers.push_back(cb(GET_INT, ctx, 3, 0, 0, nullptr, 0));
        answers.push_back(cb(GET_INT, ctx, 4 + 256 * 2, 0, 0, nullptr, 0));
        cb(GET_STRING, ctx, 3, 0, 0, buf, sizeof buf);
        answers.push_back(
            cb(PUT_STRING, ctx, 3, 0, 0, const_cast<char*>("hello"), -1));
        cb(PUT_STRING, ctx, 4 + 256, 0, 0, const_cast<char*>("a\0b"), 3);
        cb(PUT_INT, ctx, 3, static_cast<int32_t>(0xFFFFFF9Du), -1, nullptr, 0);
        cb(PUT_NUMBER_TEXT, ctx, 3, 0, 0, const_cast<char*>("12.5"), -1);
        return 0;
    };
    // GET_INT on an array element answers the element's stored value.
    hostkit::ArgSpec numbers = hostkit::array(8, 3, 4 | ARG_ARRAY);
    numbers.bytes.assign(24, 0);
    numbers.bytes[16] = 77;
    hostkit::run(h, ORV_CMD_GET_STMT_ATTR, hdr,
                 {hostkit::text("abcdef"), numbers});

    EXPECT_EQ(answers, (std::vector<int32_t>{16, 0, 77, 0}));
    EXPECT_EQ(std::string(buf, 4), std::string("abc\0", 4));
    EXPECT_EQ(hostkit::put_text(h, 3), "hello");
    EXPECT_EQ(hostkit::put_text(h, 4 + 256), std::string("a\0b", 3));
    EXPECT_EQ(h.put_ints.at(3), -99);
    EXPECT_EQ(h.put_numbers.at(3), "12.5");
    ASSERT_EQ(h.calls.size(), 8u);
    EXPECT_EQ(h.calls[3].service, GET_STRING);
    EXPECT_EQ(h.calls[3].bytes, (std::vector<uint8_t>{'a', 'b', 'c', 0}));
    EXPECT_EQ(hostkit::calls_of(h, PUT_STRING).size(), 2u);
    EXPECT_FALSE(h.foreign_context_seen);
    EXPECT_FALSE(h.bad_call_seen);
    // The text argument's int value is its number (none here).
    EXPECT_EQ(hostkit::text("30").int_value, 30);
}

TEST_F(HostKit, BadSelectorsAndForeignContextAreFlagged) {
    g_body = [](HostContext* ctx, HostCallback cb) {
        cb(GET_INT, ctx, 4 + 256 * 3, 0, 0, nullptr, 0);  // element 4 of 3
        HostContext other{};
        cb(GET_INT, &other, 1, 0, 0, nullptr, 0);
        return 0;
    };
    hostkit::run(h, ORV_CMD_ALLOC_ENV, hdr,
                 {hostkit::text("a"), hostkit::array(4, 3)});
    EXPECT_TRUE(h.bad_call_seen);
    EXPECT_TRUE(h.foreign_context_seen);
}

class HostKitResize : public HostKit,
                      public ::testing::WithParamInterface<bool> {};

TEST_P(HostKitResize, ResizeMovesStorageAndKeepsContent) {
    h.guard_pages = GetParam();
    int32_t answer = -1;
    uint8_t* before = nullptr;
    g_body = [&](HostContext* ctx, HostCallback cb) {
        before = static_cast<uint8_t*>(ctx->args[3].data);
        answer = cb(RESIZE_ARG, ctx, 3, 0, 0, nullptr, 100);
        static_cast<uint8_t*>(ctx->args[3].data)[99] = 'z';
        return 0;
    };
    hostkit::run(h, ORV_CMD_FETCH_ROW, hdr, {hostkit::text("1234567")});
    EXPECT_EQ(answer, 0);
    const ArgDescriptor d = hostkit::descriptor(h, 3);
    EXPECT_EQ(d.size, 100u);
    EXPECT_NE(d.data, before);
    std::vector<uint8_t> want(100, 0);
    std::memcpy(want.data(), "1234567", 8);
    want[99] = 'z';
    EXPECT_EQ(hostkit::arg_bytes(h, 3), want);
}
INSTANTIATE_TEST_SUITE_P(GuardAndHeap, HostKitResize, ::testing::Bool());

TEST_F(HostKit, ResizedStorageIsGuardedAndTheOldOneRetired) {
    g_body = [](HostContext* ctx, HostCallback cb) {
        cb(RESIZE_ARG, ctx, 3, 0, 0, nullptr, 20);
        static_cast<volatile uint8_t*>(ctx->args[3].data)[20] = 1;
        return 0;
    };
    EXPECT_DEATH(hostkit::run(h, ORV_CMD_FETCH_ROW, hdr, {hostkit::buffer(8)}),
                 "");
    g_body = [](HostContext* ctx, HostCallback cb) {
        auto* old = static_cast<volatile uint8_t*>(ctx->args[3].data);
        cb(RESIZE_ARG, ctx, 3, 0, 0, nullptr, 20);
        old[0] = 1;
        return 0;
    };
    EXPECT_DEATH(hostkit::run(h, ORV_CMD_FETCH_ROW, hdr, {hostkit::buffer(8)}),
                 "");
}

TEST_F(HostKit, RefusalsLeaveEverythingAsItWas) {
    std::vector<int32_t> answers;
    g_body = [&](HostContext* ctx, HostCallback cb) {
        answers.push_back(
            cb(PUT_STRING, ctx, 3, 0, 0, const_cast<char*>("v"), -1));
        answers.push_back(cb(RESIZE_ARG, ctx, 3, 0, 0, nullptr, 64));
        return 0;
    };
    h.refuse_put_string = true;
    h.refuse_resize = true;
    hostkit::run(h, ORV_CMD_FETCH_ROW, hdr, {hostkit::buffer(8)});
    EXPECT_EQ(answers, (std::vector<int32_t>{1, 1}));
    EXPECT_TRUE(h.put_strings.empty());
    EXPECT_EQ(hostkit::descriptor(h, 3).size, 8u);
    ASSERT_EQ(h.calls.size(), 2u);
    EXPECT_EQ(h.calls[0].bytes, (std::vector<uint8_t>{'v'}));
}

TEST_F(HostKit, OnCallCanAnswerInsteadOfTheHost) {
    h.on_call = [](Host& host,
                   const hostkit::Call& c) -> std::optional<int32_t> {
        if (c.service != GET_INT || c.selector != 3) return std::nullopt;
        // Change the header while the connector waits for the answer.
        auto* hdr = static_cast<uint8_t*>(host.ctx->args[2].data);
        const int16_t status = 8;
        std::memcpy(hdr + 18, &status, 2);
        return 0;
    };
    int32_t answer = -1;
    g_body = [&](HostContext* ctx, HostCallback cb) {
        answer = cb(GET_INT, ctx, 3, 0, 0, nullptr, 0);
        return 0;
    };
    hostkit::run(h, ORV_CMD_SET_CONN_ATTR, hdr, {hostkit::integer(5)});
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(hdr.status, 8);
    EXPECT_EQ(h.calls.size(), 1u);
}

// Each thing a connector must never do is caught and names the call (or
// the return) that did it; a well-behaved command leaves no violation.
TEST_F(HostKit, HostileHostNamesEveryViolation) {
    using Body = int32_t (*)(HostContext*, HostCallback);
    struct Case {
        const char* what;
        int32_t code;
        uint32_t header_size;
        Body body;
        const char* expected;  // part of the one violation; "" for none
        std::optional<int32_t> arg_count = {};
    };
    static char text[] = "x";
    const Case cases[] = {
        {"clean", 12, 48,
         [](HostContext* c, HostCallback cb) {
             cb(PUT_STRING, c, 3 + 256, 0, 0, text, -1);
             cb(RESIZE_ARG, c, 3, 0, 0, nullptr, 64);
             static_cast<uint8_t*>(c->args[3].data)[63] = 1;
             const int16_t s = 2;
             std::memcpy(static_cast<uint8_t*>(c->args[2].data) + 18, &s, 2);
             return 2;
         },
         ""},
        {"canary", 12, 48,
         [](HostContext* c, HostCallback cb) {
             static_cast<uint8_t*>(c->args[3].data)[-1] ^= 1;
             cb(PUT_INT, c, 3, 1, 0, nullptr, 0);
             return 0;
         },
         "canary in front of argument 3's storage was overwritten before "
         "PUT_INT selector 3 (call 1)"},
        {"descriptor", 12, 48,
         [](HostContext* c, HostCallback) {
             c->args[3].size += 1;
             return 0;
         },
         "the descriptor of argument 3 was changed by the time the command "
         "returned"},
        {"arg_count", 12, 48,
         [](HostContext* c, HostCallback) {
             c->arg_count = 9;
             return 0;
         },
         "arg_count was changed"},
        {"null text", 12, 48,
         [](HostContext* c, HostCallback cb) {
             cb(PUT_STRING, c, 3, 0, 0, nullptr, 0);
             return 0;
         },
         "PUT_STRING selector 3 (call 1) with a null text pointer"},
        {"null number text", 12, 48,
         [](HostContext* c, HostCallback cb) {
             cb(PUT_NUMBER_TEXT, c, 3, 0, 0, nullptr, -1);
             return 0;
         },
         "PUT_NUMBER_TEXT selector 3 (call 1) with a null text pointer"},
        {"beyond arg_count", 3, 48,
         [](HostContext* c, HostCallback cb) {
             cb(PUT_STRING, c, 4, 0, 0, text, -1);
             return 0;
         },
         "PUT_STRING selector 4 (call 1) names argument 4, beyond arg_count "
         "3"},
        {"element beyond arg_count", 12, 48,
         [](HostContext* c, HostCallback cb) {
             cb(PUT_STRING, c, 4 + 256 * 2, 0, 0, text, -1);
             return 0;
         },
         "names argument 4"},
        {"unknown service", 12, 48,
         [](HostContext* c, HostCallback cb) {
             cb(3, c, 3, 0, 0, nullptr, 0);
             return 0;
         },
         "service 3 selector 3 (call 1): no such service"},
        {"input field", 12, 48,
         [](HostContext* c, HostCallback) {
             static_cast<uint8_t*>(c->args[2].data)[2] = 0;  // subcode
             return 0;
         },
         "header byte 2 was written by the time the command returned"},
        {"slot outside command 4", 9, 48,
         [](HostContext* c, HostCallback) {
             static_cast<uint8_t*>(c->args[2].data)[0] = 5;
             return 0;
         },
         "header byte 0 was written"},
        {"slot of command 4", 4, 48,
         [](HostContext* c, HostCallback) {
             static_cast<uint8_t*>(c->args[2].data)[0] = 5;
             return 0;
         },
         ""},
        {"short header written", 9, 47,
         [](HostContext* c, HostCallback) {
             static_cast<uint8_t*>(c->args[2].data)[18] = 11;
             return 11;
         },
         "header byte 18 was written"},
        {"short header answered", 9, 47,
         [](HostContext*, HostCallback) { return 0; },
         "returned 0 instead of 11"},
        {"result and status differ", 9, 48,
         [](HostContext*, HostCallback) { return 2; },
         "returned 2 with status 0 in the header"},
        {"no header argument", 9, 48,
         [](HostContext*, HostCallback) { return 0; },
         "returned 0 instead of 11", 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        g_body = [&](HostContext* ctx, HostCallback cb) {
            return k.body(ctx, cb);
        };
        h.header_size = k.header_size;
        h.arg_count_override = k.arg_count;
        CmdHdr in = hostkit::header(3, 7);
        hostkit::run(h, k.code, in, {hostkit::array(8, 2, 2 | ARG_CALLBACK)});
        if (*k.expected == 0) {
            EXPECT_TRUE(h.violations.empty()) << h.violations.front();
            continue;
        }
        ASSERT_EQ(h.violations.size(), 1u);
        EXPECT_NE(h.violations[0].find(k.expected), std::string::npos)
            << h.violations[0];
        EXPECT_NE(h.violations[0].find("command " + std::to_string(k.code)),
                  std::string::npos);
    }
}

// Violations go to the reporter unless the host says otherwise.
TEST_F(HostKit, ViolationsReachTheReporter) {
    static std::vector<std::string> reported;
    const hostkit::ViolationReporter before = hostkit::set_violation_reporter(
        [](const Host&, const std::string& v) { reported.push_back(v); });
    g_body = [](HostContext*, HostCallback) { return 3; };
    h.report_violations = true;
    hostkit::run(h, ORV_CMD_EXECUTE, hdr);
    h.report_violations = false;
    hostkit::run(h, ORV_CMD_EXECUTE, hdr);
    hostkit::set_violation_reporter(before);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("returned 3"), std::string::npos);
}

TEST(HostKitHeader, WordSwappedFields) {
    CmdHdr hdr = hostkit::header();
    const uint8_t hundred[4] = {0x00, 0x00, 0x64, 0x00};
    std::memcpy(reinterpret_cast<uint8_t*>(&hdr) + 20, hundred, 4);
    std::memcpy(reinterpret_cast<uint8_t*>(&hdr) + 24, hundred, 4);
    EXPECT_EQ(hostkit::native_error(hdr), 100);
    EXPECT_EQ(hostkit::count(hdr), 100);
    hostkit::set_param_swapped(hdr, 100);
    EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t*>(&hdr) + 4, hundred, 4), 0);
    hostkit::set_param_swapped(hdr, -2);
    EXPECT_EQ(static_cast<uint32_t>(hdr.param), 0xFFFEFFFFu);
    std::memcpy(hdr.sqlstate, "?\0\0\0\0", 6);
    EXPECT_EQ(hostkit::sqlstate(hdr), "?");
    std::memcpy(hdr.sqlstate, "42S02", 6);
    EXPECT_EQ(hostkit::sqlstate(hdr), "42S02");
}

}  // namespace
