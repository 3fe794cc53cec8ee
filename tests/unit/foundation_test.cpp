// Dispatcher and slot paths that no real driver manager shows, through the
// scripted ODBC stand-in.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <utility>

#include "conn/slots.h"
#include "host/hostio.h"
#include "memory.h"
#include "standin.h"
#include "standin_fixture.h"
#include "testbed.h"

namespace {

using testbed::command;

class FoundationStandin : public testbed::StandinTest {};

TEST_F(FoundationStandin, LastCallWarningIsCapturedWithStatusZero) {
    struct Case {
        const char* function;  // the command's last ODBC call
        SQLSMALLINT type;
        int32_t code;
    };
    const Case cases[] = {
        {"SQLSetEnvAttr", 0, 1},
        {"SQLAllocHandle", SQL_HANDLE_DBC, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        start_case();
        if (c.code == 4) {
            ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
        }
        standin::fail(c.function, SQL_SUCCESS_WITH_INFO, "01000").on(c.type);
        CmdHdr hdr = command(host, c.code, 0);
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hostkit::sqlstate(hdr), "01000");
        // Native error 0: the return code (1) stands in its place.
        EXPECT_EQ(static_cast<uint32_t>(hdr.native_error), 0x00010000u);
    }
}

TEST_F(FoundationStandin, FailedAllocationWithoutRecordGivesQuestionMark) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    standin::fail("SQLAllocHandle", SQL_ERROR).on(SQL_HANDLE_DBC);
    CmdHdr hdr = command(host, ORV_CMD_ALLOC_SLOT, 0);
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hdr.slot, 0);
    EXPECT_EQ(hostkit::sqlstate(hdr), "?");
    EXPECT_EQ(static_cast<uint32_t>(hdr.native_error), 0xFFFFFFFFu);
    EXPECT_EQ(orv::slot_at(1)->connection, nullptr);
}

TEST_F(FoundationStandin, RecordWithNativeErrorIsSwapped) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    int slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
    standin::fail("SQLConnect", SQL_ERROR, "28000", 100, "denied");
    CmdHdr hdr =
        command(host, ORV_CMD_CONNECT, slot, {hostkit::text("-host=x")});
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "28000");
    uint8_t bytes[4];
    std::memcpy(bytes, &hdr.native_error, 4);
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_EQ(bytes[1], 0x00);
    EXPECT_EQ(bytes[2], 0x64);
    EXPECT_EQ(bytes[3], 0x00);
}

TEST_F(FoundationStandin, FailingDiagRecLeavesReturnCode) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    int slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
    standin::fail("SQLConnect", SQL_INVALID_HANDLE);
    standin::fail("SQLGetDiagRec", SQL_ERROR);
    CmdHdr hdr =
        command(host, ORV_CMD_CONNECT, slot, {hostkit::text("-host=x")});
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "?");
    // -2 sign-extended and swapped.
    EXPECT_EQ(static_cast<uint32_t>(hdr.native_error), 0xFFFEFFFFu);
}

TEST_F(FoundationStandin, CaptureForAllocationReadsTheSlotNamedAtEntry) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    int first = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
    ASSERT_EQ(first, 1);
    standin::push_diag(orv::slot_at(1)->connection, "HY000", 7, "old record");
    standin::fail("SQLAllocHandle", SQL_ERROR).on(SQL_HANDLE_DBC);
    CmdHdr hdr = command(host, ORV_CMD_ALLOC_SLOT, first);
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "HY000");
    EXPECT_EQ(hostkit::native_error(hdr), 7);
}

TEST_F(FoundationStandin, ColumnTableFailureReleasesTheNewHandle) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    orv::orv_fail_allocation(1);
    CmdHdr hdr = command(host, ORV_CMD_ALLOC_SLOT, 0);
    orv::orv_fail_allocation(0);
    EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
    EXPECT_EQ(hdr.slot, 0);
    EXPECT_TRUE(standin::live_handles(SQL_HANDLE_DBC).empty());
    EXPECT_EQ(orv::slot_at(1)->connection, nullptr);
}

TEST_F(FoundationStandin, DisconnectIgnoresDriverFailures) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    int slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
    standin::fail("SQLDisconnect", SQL_ERROR, "08003");
    standin::fail("SQLFreeHandle", SQL_ERROR, "HY010");
    CmdHdr hdr = command(host, ORV_CMD_DISCONNECT, slot);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hostkit::sqlstate(hdr), "");
    EXPECT_EQ(orv::slot_at(slot)->connection, nullptr);
}

TEST_F(FoundationStandin, EnvironmentVersionFailureKeepsEnvironment) {
    standin::fail("SQLSetEnvAttr", SQL_ERROR, "HYC00", 0, "no ODBC 3");
    CmdHdr hdr = command(host, ORV_CMD_ALLOC_ENV, 0);
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "HYC00");
    EXPECT_NE(orv::env_handle(), nullptr);
}

// The service wrappers themselves, from an entry function of the test:
// PUT_STRING reaches the host only for an argument (or element) the host
// passed, and never with a null text.
int32_t g_selector = 0;
int32_t put_null_text(HostContext* ctx, HostCallback cb) {
    orv::Command cmd{ctx,        cb,      nullptr,
                     0,          nullptr, orv::DiagSource::kMostSpecific,
                     SQL_SUCCESS};
    return orv::svc_put_string(cmd, g_selector, nullptr, 5);
}

TEST(HostServices, OnlyPassedArgumentsAndNeverANullText) {
    // arg_count 3: the code, the header and an array of 4 elements.
    const std::pair<int32_t, bool> cases[] = {
        {3, true},           {3 + 256 * 3, true}, {4, false},
        {4 + 256, false},    {256, false},        {-253, false},
        {3 + 256 * 4, true},  // beyond the elements: the host's to judge
    };
    for (const auto& [selector, reaches_host] : cases) {
        SCOPED_TRACE(selector);
        g_selector = selector;
        hostkit::Host h = hostkit::make_test_host(&put_null_text);
        // The entry returns the service's answer, not a header status.
        h.report_violations = false;
        CmdHdr hdr = hostkit::header();
        h.on_call = [](hostkit::Host&, const hostkit::Call&) {
            return std::optional<int32_t>(0);
        };
        const int32_t result = hostkit::run(
            h, ORV_CMD_FETCH_ROW, hdr, {hostkit::array(8, 4, 2 | ARG_ARRAY)});
        ASSERT_EQ(h.calls.size(), reaches_host ? 1u : 0u);
        if (reaches_host) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(h.calls[0].n, 0);  // an empty text, never null
            EXPECT_TRUE(h.calls[0].bytes.empty());
        } else {
            EXPECT_NE(result, 0);  // not accepted
        }
    }
}

}  // namespace
