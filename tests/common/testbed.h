// Test support: the data sources of the test bed, and short ways to run
// the usual command sequences through the host kit.
#pragma once
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "dorevivezo.h"
#include "hostkit.h"

namespace testbed {

// Every data source of the test bed, for the INSTANTIATE calls.
inline constexpr const char* kAllSources[] = {"orv_sqlite", "orv_pg",
                                              "orv_maria"};

// The data source a test parameter names: the parameter itself, or its
// `dsn` field.
inline std::string dsn_of(const char* param) { return param; }
template <typename P>
std::string dsn_of(const P& param) {
    if constexpr (std::is_pointer_v<P>)
        return param->dsn;
    else
        return param.dsn;
}

// Names each instance of a parameterised test after its data source.
struct SourceName {
    template <typename P>
    std::string operator()(const ::testing::TestParamInfo<P>& info) const {
        return dsn_of(info.param);
    }
};

// True when the test bed started the data source (listed in ORV_DSNS).
bool available(std::string_view dsn);

// Under CI=true a missing data source that is required fails the test;
// elsewhere it is reported as skipped, loudly.
#define REQUIRE_DSN(dsn)                                                  \
    do {                                                                  \
        if (!::testbed::available(dsn)) {                                 \
            if (::testbed::in_ci() && ::testbed::required(dsn))           \
                FAIL() << "data source " << (dsn) << " is not available"; \
            GTEST_SKIP() << "*** data source " << (dsn)                   \
                         << " NOT AVAILABLE: test skipped ***";           \
        }                                                                 \
    } while (0)
bool in_ci();

// Sets the environment variable `name` of this process to `value`, or
// removes it when `value` is null, on every platform the tests build for.
void set_env(const char* name, const char* value);
// True when the run requires the data source: every one, unless
// ORV_REQUIRED_DSNS lists those a run on another target can have (the
// 32-bit and Windows runs have the SQLite driver only).
bool required(std::string_view dsn);

// The user name and password of a server data source ("" for SQLite).
std::string user_of(std::string_view dsn);
std::string password_of(std::string_view dsn);
// "-host=DSN -user=U -pw=P" (just "-host=DSN" for SQLite).
std::string connection_string(std::string_view dsn);

// `prefix` followed by the decimal digits of n: numbered("c", 7) is "c7".
// Built by appending, because GCC 12 warns falsely (-Wrestrict) about a
// string literal added to a std::string temporary in optimised builds.
std::string numbered(std::string_view prefix, long long n);

// A host with guard-page storage whose entry is the connector linked into
// the test program.
hostkit::Host make_host();

// Runs a command with a fresh header naming `slot`; returns the header.
CmdHdr command(hostkit::Host& h, int32_t code, int slot,
               std::vector<hostkit::ArgSpec> args = {}, int16_t subcode = 0);

// Allocates the environment (if needed) and a slot, and connects it to the
// data source.  Returns the slot number; fails the test and returns 0 when
// any step fails.
int connect(hostkit::Host& h, std::string_view dsn);

// Command 22 on the slot: `sql`, then one argument per value, with `rows` as
// the array's row count (0: one row).  Returns the header.
CmdHdr execute_params(hostkit::Host& h, int slot, std::string_view sql,
                      std::vector<hostkit::ArgSpec> values, int32_t rows = 0);

// Executes SQL on the slot; returns the header (status checked by caller).
CmdHdr exec(hostkit::Host& h, int slot, std::string_view sql);
// Executes SQL and expects status 0 (a failure names the SQL and the
// driver's message).
void exec_ok(hostkit::Host& h, int slot, std::string_view sql);

// The driver's message for the slot's last failure (command 3).
std::string last_message(hostkit::Host& h, int slot);

// Disconnects every slot and releases the environment, so that the next
// test starts from the state of a freshly loaded library.
void release_all(hostkit::Host& h);

// Test fixture that releases everything after each test.
class ConnectorTest : public ::testing::Test {
  protected:
    void TearDown() override { release_all(host); }
    hostkit::Host host = make_host();
};

// Test fixture run once per data source (the test parameter): skips or
// fails as REQUIRE_DSN says, else connects a slot to it.
class DriverTest : public ConnectorTest,
                   public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        REQUIRE_DSN(GetParam());
        slot = connect(host, GetParam());
        ASSERT_NE(slot, 0);
    }
    std::string_view dsn() const { return GetParam(); }
    int slot = 0;
};

// Names each instance of a test over a table's rows after the row's data
// source and its place in the table spelt in letters ("orv_pg_d" for the
// fourth), so that a filter on a data source's name followed by letters
// and '_' takes in its rows as it does its other instances.
struct RowName {
    template <typename P>
    std::string operator()(const ::testing::TestParamInfo<P>& info) const {
        std::string place;  // the index in base 26, last digit first
        for (std::size_t i = info.index; place.empty() || i > 0; i /= 26)
            place += static_cast<char>('a' + i % 26);
        std::string name = dsn_of(info.param) + '_';
        return name.append(place.rbegin(), place.rend());
    }
};

// Test fixture run once per row of a table (the test parameter), the row's
// `dsn` naming a data source: skips or fails as REQUIRE_DSN says, else
// connects a slot to it.
template <typename Row>
class RowTest : public ConnectorTest,
                public ::testing::WithParamInterface<Row> {
  protected:
    void SetUp() override {
        REQUIRE_DSN(this->GetParam().dsn);
        slot = connect(host, this->GetParam().dsn);
        ASSERT_NE(slot, 0);
    }
    int slot = 0;
};

}  // namespace testbed
