// The host interface, dispatch order and slot table, through the real
// driver manager.
#include <gtest/gtest.h>

#include <cstring>

#include "conn/slots.h"
#include "memory.h"
#include "testbed.h"

namespace {

using hostkit::ArgSpec;
using testbed::command;

class Foundation : public testbed::ConnectorTest {};

TEST_F(Foundation, ShortHeaderIsRefusedWithMessageAndUntouched) {
    struct Case {
        uint32_t size;
        int32_t result;
        const char* out;
    };
    const Case cases[] = {
        {47, 11, "psize = 47, cmdhdr should be 48\n"},
        {0, 11, "psize = 0, cmdhdr should be 48\n"},
        {48, 0, ""},
    };
    for (const Case& c : cases) {
        host.header_size = c.size;
        CmdHdr hdr{};
        std::memset(&hdr, 0xA5, sizeof hdr);
        testing::internal::CaptureStdout();
        int32_t rc = hostkit::run(host, ORV_CMD_ALLOC_ENV, hdr);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, c.result) << c.size;
        EXPECT_EQ(out, c.out);
        if (c.size < 48) {
            std::vector<uint8_t> bytes = hostkit::arg_bytes(host, 2);
            for (uint8_t b : bytes) EXPECT_EQ(b, 0xA5) << "size " << c.size;
        }
    }
    host.header_size = 48;
}

TEST_F(Foundation, DispatchOrderCodeThenEnvironmentThenSlot) {
    // No environment yet.
    EXPECT_EQ(command(host, 26, 0).status, ORV_BAD_COMMAND);
    EXPECT_EQ(command(host, -1, 0).status, ORV_BAD_COMMAND);
    EXPECT_EQ(command(host, 5, 1).status, ORV_NO_ENV);
    EXPECT_EQ(command(host, 0, 0).status, ORV_NO_ENV);
    EXPECT_EQ(command(host, ORV_CMD_EXECUTE, 1).status, ORV_NO_ENV);
    EXPECT_EQ(command(host, ORV_CMD_DIAGNOSTICS, 0).status, ORV_NO_ENV);

    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    CmdHdr alloc = command(host, ORV_CMD_ALLOC_SLOT, 0);
    ASSERT_EQ(alloc.status, ORV_OK);
    ASSERT_EQ(alloc.slot, 1);

    struct Case {
        int32_t code;
        int slot;
        int16_t status;
    };
    const Case cases[] = {
        // slot with handle
        {5, 1, ORV_BAD_COMMAND},
        {ORV_CMD_CANCEL, 1, ORV_NO_STATEMENT},
        {24, 1, ORV_BAD_COMMAND},
        {0, 1, ORV_BAD_COMMAND},
        // no slot
        {5, 0, ORV_BAD_SLOT},
        {ORV_CMD_CANCEL, 0, ORV_BAD_SLOT},
        {24, 0, ORV_BAD_SLOT},
        {0, 0, ORV_BAD_SLOT},
        // free slot
        {0, 2, ORV_BAD_SLOT},
        {ORV_CMD_EXECUTE, 2, ORV_BAD_SLOT},
        {ORV_CMD_CONNECT, 2, ORV_BAD_SLOT},
        {ORV_CMD_CANCEL, 2, ORV_BAD_SLOT},
        // beyond the table
        {ORV_CMD_EXECUTE, 11, ORV_BAD_SLOT},
        {ORV_CMD_EXECUTE, 255, ORV_BAD_SLOT},
        {0, 11, ORV_BAD_SLOT},
        {26, 1, ORV_BAD_COMMAND},
        {1000, 1, ORV_BAD_COMMAND},
    };
    for (const Case& c : cases)
        EXPECT_EQ(command(host, c.code, c.slot).status, c.status)
            << "code " << c.code << " slot " << c.slot;
}

TEST_F(Foundation, ResetKeepsNumberOnlyForFetchCommands) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    const int32_t codes[] = {ORV_CMD_ALLOC_ENV,   ORV_CMD_ALLOC_SLOT,
                             ORV_CMD_EXECUTE,     ORV_CMD_FETCH_ROW,
                             ORV_CMD_FETCH_BLOCK, 26};
    for (int32_t code : codes) {
        CmdHdr hdr = hostkit::header(0);
        hdr.number = 42.5;
        hdr.count = 0x12345678;
        hdr.native_error = 0x12345678;
        std::memcpy(hdr.sqlstate, "HY000", 6);
        hostkit::run(host, code, hdr);
        bool keeps = code == 12 || code == 25;
        EXPECT_EQ(hdr.number, keeps ? 42.5 : 0.0) << code;
        EXPECT_EQ(hdr.opcode, code);
        EXPECT_EQ(hdr.sqlstate[0], 0) << code;
        EXPECT_EQ(std::memcmp(hdr.sqlstate + 1, "Y000", 5), 0) << code;
        EXPECT_EQ(hdr.native_error, 0) << code;
        EXPECT_EQ(hdr.count, 0) << code;
        if (code == 4) command(host, ORV_CMD_DISCONNECT, hdr.slot);
    }
}

TEST_F(Foundation, DiagnosticsCommandKeepsNativeError) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    CmdHdr hdr = hostkit::header(0);
    hdr.native_error = static_cast<int32_t>(hostkit::swap_halves(77));
    hostkit::run(host, ORV_CMD_DIAGNOSTICS, hdr, {hostkit::buffer(64)});
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "?");
    EXPECT_EQ(hostkit::native_error(hdr), 77);
}

TEST_F(Foundation, ElevenAllocationsFillTheTableThenSeven) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    for (int n = 1; n <= 10; ++n) {
        CmdHdr hdr = command(host, ORV_CMD_ALLOC_SLOT, 0);
        EXPECT_EQ(hdr.status, ORV_OK);
        EXPECT_EQ(hdr.slot, n);
        orv::ConnectionSlot* slot = orv::slot_at(n);
        EXPECT_NE(slot->connection, nullptr);
        EXPECT_EQ(slot->statement, nullptr);
        EXPECT_EQ(slot->column_capacity, 32);
        for (std::size_t i = 0; i < 34 * 224; ++i)
            ASSERT_EQ(slot->columns[i], 0) << "column table byte " << i;
    }
    CmdHdr hdr = hostkit::header(5);
    hostkit::run(host, ORV_CMD_ALLOC_SLOT, hdr);
    EXPECT_EQ(hdr.status, ORV_NO_FREE_SLOT);
    EXPECT_EQ(hdr.slot, 0);
    for (int n = 1; n <= 10; ++n)
        EXPECT_NE(orv::slot_at(n)->connection, nullptr);

    // A freed slot is reused first; an unconnected slot disconnects fine.
    EXPECT_EQ(command(host, ORV_CMD_DISCONNECT, 3).status, ORV_OK);
    EXPECT_EQ(orv::slot_at(3)->connection, nullptr);
    hdr = command(host, ORV_CMD_ALLOC_SLOT, 0);
    EXPECT_EQ(hdr.status, ORV_OK);
    EXPECT_EQ(hdr.slot, 3);
}

TEST_F(Foundation, EnvironmentTwiceKeepsEverything) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    SQLHENV env = orv::env_handle();
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_SLOT, 0).slot, 1);
    SQLHDBC dbc = orv::slot_at(1)->connection;
    EXPECT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    EXPECT_EQ(orv::env_handle(), env);
    EXPECT_EQ(orv::slot_at(1)->connection, dbc);
}

TEST_F(Foundation, ReleaseEnvironmentWithAndWithoutSlot) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_SLOT, 0).slot, 1);
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_SLOT, 0).slot, 2);
    // Every slot's handles go first, whichever slot is named.
    EXPECT_EQ(command(host, ORV_CMD_FREE_ENV, 2).status, ORV_OK);
    EXPECT_EQ(orv::env_handle(), nullptr);
    EXPECT_EQ(orv::slot_at(2)->connection, nullptr);
    EXPECT_EQ(orv::slot_at(1)->connection, nullptr);
    EXPECT_EQ(command(host, ORV_CMD_ALLOC_SLOT, 0).status, ORV_NO_ENV);
    // A new environment forgets the handles of the old one.
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    EXPECT_EQ(orv::slot_at(1)->connection, nullptr);
    EXPECT_EQ(command(host, ORV_CMD_ALLOC_SLOT, 0).slot, 1);
    EXPECT_EQ(command(host, ORV_CMD_FREE_ENV, 0).status, ORV_OK);
    EXPECT_EQ(orv::env_handle(), nullptr);
}

TEST_F(Foundation, ReleaseNamingSlotBeyondTableTouchesNoSlot) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_SLOT, 0).slot, 1);
    EXPECT_EQ(command(host, ORV_CMD_FREE_ENV, 11).status, ORV_OK);
    EXPECT_EQ(orv::env_handle(), nullptr);
}

TEST_F(Foundation, ColumnTableAllocationFailureLeavesSlotFree) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    orv::orv_fail_allocation(1);
    CmdHdr hdr = command(host, ORV_CMD_ALLOC_SLOT, 0);
    orv::orv_fail_allocation(0);
    EXPECT_EQ(hdr.status, ORV_NO_MEMORY);
    EXPECT_EQ(hdr.slot, 0);
    EXPECT_EQ(orv::slot_at(1)->connection, nullptr);
    EXPECT_EQ(command(host, ORV_CMD_ALLOC_SLOT, 0).slot, 1);
}

TEST_F(Foundation, FailedConnectFillsSqlstateAndSwappedNativeError) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    int slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
    CmdHdr hdr = command(host, ORV_CMD_CONNECT, slot,
                         {hostkit::text("-host=no_such_dsn")});
    EXPECT_EQ(hdr.status, ORV_ODBC_ERROR);
    EXPECT_EQ(hostkit::sqlstate(hdr), "IM002");
    // The driver manager posts native error 0, so the return code stands
    // in its place, word-swapped: -1 is stored as FF FF FF FF.
    EXPECT_EQ(hostkit::native_error(hdr), -1);
    EXPECT_EQ(static_cast<uint32_t>(hdr.native_error), 0xFFFFFFFFu);
    EXPECT_NE(testbed::last_message(host, slot).find("not found"),
              std::string::npos);
}

TEST_F(Foundation, CallbackSeesTheSameContextAndOnlyKnownServices) {
    ASSERT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
    command(host, ORV_CMD_ALLOC_SLOT, 0);
    EXPECT_FALSE(host.foreign_context_seen);
    EXPECT_FALSE(host.bad_call_seen);
    ASSERT_FALSE(host.calls.empty());
    EXPECT_EQ(host.calls[0].service, GET_INT);
    EXPECT_EQ(host.calls[0].selector, 1);
}

}  // namespace
