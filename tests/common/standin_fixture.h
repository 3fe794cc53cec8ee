// Test fixture for unit tests on the ODBC stand-in: a clean script before
// each test, the allocation hook disarmed after it, and a connected slot
// whose statement holds a scripted result.  Header-only: the integration
// tests, which link the real driver manager, never include it.
#pragma once
#include <algorithm>

#include "conn/slots.h"
#include "memory.h"
#include "standin.h"
#include "testbed.h"

namespace testbed {

class StandinTest : public ConnectorTest {
  protected:
    void SetUp() override { standin::reset(); }
    void TearDown() override {
        orv::orv_fail_allocation(0);
        ConnectorTest::TearDown();
    }

    // Starts one case of a table afresh: a clean script, and no slot or
    // environment left from the case before.
    void start_case() {
        standin::reset();
        release_all(host);
    }

    // Allocates the environment (if needed) and a slot, and connects it;
    // returns the slot number.
    int connect_slot() {
        EXPECT_EQ(command(host, ORV_CMD_ALLOC_ENV, 0).status, ORV_OK);
        const int slot = command(host, ORV_CMD_ALLOC_SLOT, 0).slot;
        EXPECT_EQ(
            command(host, ORV_CMD_CONNECT, slot, {hostkit::text("-host=x")})
                .status,
            ORV_OK);
        return slot;
    }

    // A connected slot whose statement has `r` as its current, not yet
    // described result.
    int open(standin::Result r) {
        const int slot = connect_slot();
        orv::ConnectionSlot* s = orv::slot_at(slot);
        EXPECT_TRUE(SQL_SUCCEEDED(orv::ensure_statement(*s)));
        standin::set_result(s->statement, std::move(r));
        if (s->columns != nullptr) s->columns[0] = 0;
        return slot;
    }
};

// The largest retrieval buffer of any slot (0 before any read): a value
// longer than it grows the buffer of whichever slot reads it.
inline SQLLEN largest_retrieval_buffer() {
    SQLLEN largest = 0;
    for (const orv::ConnectionSlot& s : orv::SlotTable)
        largest = std::max(largest, s.data_buffer.capacity);
    return largest;
}

}  // namespace testbed
