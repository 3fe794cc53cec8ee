// Test fixture for unit tests on the ODBC stand-in: a clean script before
// each test, the allocation hook disarmed after it, and a connected slot
// whose statement holds a scripted result.  Header-only: the integration
// tests, which link the real driver manager, never include it.
#pragma once
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

    // A connected slot whose statement has `r` as its current, not yet
    // described result.
    int open(standin::Result r) {
        EXPECT_EQ(command(host, 1, 0).status, 0);
        const int slot = command(host, 4, 0).slot;
        EXPECT_EQ(command(host, 6, slot, {hostkit::text("-host=x")}).status, 0);
        orv::ConnectionSlot* s = orv::slot_at(slot);
        EXPECT_TRUE(SQL_SUCCEEDED(orv::ensure_statement(*s)));
        standin::set_result(s->statement, std::move(r));
        if (s->columns != nullptr) s->columns[0] = 0;
        return slot;
    }
};

}  // namespace testbed
