// Allocation failure, swept: for each command sequence of the table, the
// connector's n-th allocation fails, for n = 1, 2, ... until the sequence
// no longer reaches it.  The command that met the failure must end with a
// status that says so (8 where a value, record or table could not be
// held), or with status 0 and a right, whole result; the slot and the
// environment are then released (no leak under LeakSanitizer), and the
// whole sequence runs again without failure with every result right.  The
// host kit checks host storage on every command.  Each test prints the
// allocation points it covered.  Only the connector's allocations fail:
// the driver manager and the SQLite driver allocate as usual.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "conn/decode.h"
#include "conn/encode.h"
#include "conn/slots.h"
#include "memory.h"
#include "stmt/columns.h"
#include "testbed.h"

#if defined(__SANITIZE_ADDRESS__)
#define ORV_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORV_LEAK_CHECK 1
#endif
#endif
#ifdef ORV_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace {

constexpr const char* kDsn = "orv_sqlite";

// What the steps of one run share: the slot, the outputs kept for later
// steps, the rows the block fetches delivered.
struct SweepRun {
    explicit SweepRun(hostkit::Host& h) : host(h) {}
    hostkit::Host& host;
    int slot = 0;
    std::vector<uint8_t> records;  // command 10's area, for command 11
    double rows = 0;
};

struct Step {
    int32_t code;
    int16_t subcode = 0;
    std::function<std::vector<hostkit::ArgSpec>(SweepRun&)> args = nullptr;
    // Checks a status-0 result (in a failure run, too: a command that got
    // around a failed allocation must still deliver all of it).
    std::function<void(SweepRun&, const CmdHdr&)> check = nullptr;
    int32_t param = 0;        // plain
    int16_t status = ORV_OK;  // without failure
};

struct Sequence {
    const char* name;
    std::vector<Step> prelude;  // run without failures
    std::vector<Step> steps;    // swept
};

// ---- Steps -----------------------------------------------------------------

std::string scheme3_password() {
    const uint8_t filler[44] = {};
    char out[80];
    if (orv::encode_value(3, "secret", "fz", "chk1", filler, out, sizeof out) !=
        orv::EncodeStatus::kOk)
        return "(encoding failed)";
    return out;
}

Step alloc_env() { return {ORV_CMD_ALLOC_ENV}; }
Step alloc_slot() { return {ORV_CMD_ALLOC_SLOT}; }
Step connect(std::string how) {
    return {ORV_CMD_CONNECT, 0, [how](SweepRun&) {
                return std::vector<hostkit::ArgSpec>{hostkit::text(how)};
            }};
}
Step execute(std::string sql) {
    return {ORV_CMD_EXECUTE, 0, [sql](SweepRun&) {
                return std::vector<hostkit::ArgSpec>{hostkit::text(sql)};
            }};
}
Step fetch(int16_t subcode, std::vector<hostkit::ArgSpec> args,
           std::function<void(SweepRun&, const CmdHdr&)> check,
           int32_t param = 0) {
    return {ORV_CMD_FETCH_ROW, subcode, [args](SweepRun&) { return args; },
            check, param};
}
Step block(std::function<void(SweepRun&, const CmdHdr&)> check) {
    return {ORV_CMD_FETCH_BLOCK, 0,
            [](SweepRun&) {
                return std::vector<hostkit::ArgSpec>{
                    hostkit::buffer(sizeof(void*))};
            },
            check};
}

const std::vector<Step> kConnected = {alloc_env(), alloc_slot(),
                                      connect("-host=orv_sqlite")};

// A value that outgrows the retrieval buffer's first size.
constexpr std::size_t kLong = 100000;
const std::string kLongValueSql =
    "SELECT printf('%." + std::to_string(kLong) + "c', 'x') AS v, 'b' AS w";
// More columns than a slot's first column table holds.
std::string wide_select() {
    std::string s = "SELECT 1 AS c1";
    for (int i = 2; i <= 40; ++i)
        s += ", " + std::to_string(i) + " AS c" + std::to_string(i);
    return s;
}
// A result of several blocks (a block stops at about 2 MB).
const std::string kManyRowsSql =
    "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE "
    "i < 25000) SELECT i, printf('%.100c', 'y') FROM s";

std::string long_value() { return std::string(kLong, 'x'); }

// Compares a delivered text with the expected one without printing
// 100000-character values.
void expect_text(const std::string& got, const std::string& want) {
    EXPECT_TRUE(got == want)
        << "got " << got.size() << " bytes (" << got.substr(0, 20)
        << "...), want " << want.size();
}

// The pairs record whose address stands in argument 3.
std::string pairs_record(const hostkit::Host& h) {
    const char* p = nullptr;
    const std::vector<uint8_t> a = hostkit::arg_bytes(h, 3);
    std::memcpy(&p, a.data(), sizeof p);
    std::string out;
    while (p != nullptr && *p != 0) {
        out += p;
        out += '|';
        p += std::strlen(p) + 1;
    }
    return out;
}

const Sequence kSequences[] = {
    {"connect_with_scheme3_password",
     {alloc_env()},
     {alloc_slot(),
      connect("-host=orv_sqlite -user=fz -pw=" + scheme3_password()),
      {ORV_CMD_DRIVER_INFO, 1,
       [](SweepRun&) {
           return std::vector<hostkit::ArgSpec>{hostkit::buffer(64)};
       },
       [](SweepRun& r, const CmdHdr&) {
           EXPECT_FALSE(hostkit::put_text(r.host, 3).empty());
       }},
      {ORV_CMD_DISCONNECT},
      {ORV_CMD_FREE_ENV}}},
    {"execute_describe_import",
     kConnected,
     {execute(wide_select()),
      {ORV_CMD_DESCRIBE, 0,
       [](SweepRun&) {
           return std::vector<hostkit::ArgSpec>{
               hostkit::buffer(40 * sizeof(ColumnDesc))};
       },
       [](SweepRun& r, const CmdHdr& hdr) {
           EXPECT_EQ(hostkit::count(hdr), 40);
           r.records = hostkit::arg_bytes(r.host, 3);
           EXPECT_STREQ(reinterpret_cast<const char*>(r.records.data()) +
                            39 * sizeof(ColumnDesc),
                        "c40");
       }},
      {ORV_CMD_IMPORT_COLUMNS, 0,
       [](SweepRun& r) {
           hostkit::ArgSpec a =
               hostkit::buffer(static_cast<uint32_t>(r.records.size()));
           a.bytes = r.records;
           return std::vector<hostkit::ArgSpec>{a};
       }},
      fetch(FETCH_PAIRS, {hostkit::buffer(sizeof(void*))},
            [](SweepRun& r, const CmdHdr& hdr) {
                EXPECT_EQ(hostkit::count(hdr), 40);
                const std::string rec = pairs_record(r.host);
                EXPECT_EQ(rec.substr(0, 10), "c1=1|c2=2|");
                EXPECT_EQ(rec.substr(rec.size() - 7), "c40=40|");
            })}},
    {"per_argument_layout_long_value",
     kConnected,
     {execute(kLongValueSql),
      fetch(0, {hostkit::buffer(16, 2 | ARG_CALLBACK), hostkit::buffer(8)},
            [](SweepRun& r, const CmdHdr& hdr) {
                EXPECT_EQ(hostkit::count(hdr), 2);
                expect_text(hostkit::put_text(r.host, 3), long_value());
                EXPECT_EQ(hostkit::arg_text(r.host, 4), "b");
            })}},
    {"array_layout_long_value",
     kConnected,
     {execute(kLongValueSql),
      fetch(
          FETCH_ARRAY, {hostkit::array(16, 2, 2 | ARG_ARRAY | ARG_CALLBACK)},
          [](SweepRun& r, const CmdHdr& hdr) {
              EXPECT_EQ(hostkit::count(hdr), 2);
              expect_text(hostkit::put_text(r.host, 3), long_value());
              EXPECT_EQ(hostkit::put_text(r.host, 3 + 256), "b");
          },
          static_cast<int32_t>(hostkit::swap_halves(2)))}},
    {"fixed_layout_long_value",
     kConnected,
     {execute(kLongValueSql),
      fetch(FETCH_FIXED, {hostkit::buffer(4096)},
            [](SweepRun& r, const CmdHdr& hdr) {
                EXPECT_EQ(hostkit::count(hdr), 2);
                // Each column is cut to its width by design.
                EXPECT_EQ(hostkit::arg_text(r.host, 3).substr(0, 8),
                          "xxxxxxxx");
            })}},
    {"pairs_layout_long_value",
     kConnected,
     {execute(kLongValueSql),
      fetch(FETCH_PAIRS, {hostkit::buffer(sizeof(void*))},
            [](SweepRun& r, const CmdHdr&) {
                expect_text(pairs_record(r.host),
                            "v=" + long_value() + "|w=b|");
            })}},
    {"parameters_single_and_arrays",
     kConnected,
     {{ORV_CMD_EXECUTE_PARAMS, 0,
       [](SweepRun&) {
           return std::vector<hostkit::ArgSpec>{
               hostkit::text("SELECT ? AS a, ? AS b"), hostkit::text("x"),
               hostkit::integer(5)};
       },
       [](SweepRun&, const CmdHdr& hdr) { EXPECT_EQ(hostkit::count(hdr), 2); }},
      fetch(0, {hostkit::buffer(8), hostkit::buffer(8)},
            [](SweepRun& r, const CmdHdr&) {
                EXPECT_EQ(hostkit::arg_text(r.host, 3), "x");
                EXPECT_EQ(hostkit::arg_text(r.host, 4), "5");
            }),
      {ORV_CMD_RESET_STATEMENT},
      {ORV_CMD_EXECUTE_PARAMS, 0,
       [](SweepRun&) {
           hostkit::ArgSpec a = hostkit::array(2, 3, 2 | ARG_ARRAY);
           a.bytes = {'a', 0, 'b', 0};
           return std::vector<hostkit::ArgSpec>{hostkit::text("SELECT ? AS a"),
                                                a};
       },
       [](SweepRun&, const CmdHdr& hdr) { EXPECT_EQ(hostkit::count(hdr), 2); },
       static_cast<int32_t>(hostkit::swap_halves(2))}}},
    {"block_fetch_over_several_blocks",
     kConnected,
     {execute(kManyRowsSql), block([](SweepRun& r, const CmdHdr& hdr) {
          EXPECT_EQ(hostkit::sqlstate(hdr), "01004");
          r.rows += hdr.number;
      }),
      block([](SweepRun& r, const CmdHdr& hdr) {
          EXPECT_EQ(hostkit::sqlstate(hdr), "");
          EXPECT_EQ(r.rows + hdr.number, 25000.0);
      })}},
    {"attributes_info_sources",
     kConnected,
     {{ORV_CMD_SET_CONN_ATTR, 0,
       [](SweepRun&) {
           return std::vector<hostkit::ArgSpec>{hostkit::integer(1)};
       },
       nullptr, SQL_ATTR_AUTOCOMMIT},
      {ORV_CMD_GET_CONN_ATTR, 0,
       [](SweepRun&) {
           return std::vector<hostkit::ArgSpec>{hostkit::integer(1)};
       },
       nullptr, SQL_ATTR_AUTOCOMMIT},
      {ORV_CMD_SET_STMT_ATTR, SQL_ATTR_MAX_ROWS,
       [](SweepRun&) {
           return std::vector<hostkit::ArgSpec>{hostkit::integer(0)};
       }},
      {ORV_CMD_GET_STMT_ATTR, SQL_ATTR_MAX_ROWS,
       [](SweepRun&) {
           return std::vector<hostkit::ArgSpec>{hostkit::integer(1)};
       }},
      {ORV_CMD_DRIVER_INFO, 2,
       [](SweepRun&) {
           return std::vector<hostkit::ArgSpec>{hostkit::buffer(64)};
       }},
      {ORV_CMD_LIST_SOURCES, SQL_FETCH_FIRST,
       [](SweepRun&) {
           return std::vector<hostkit::ArgSpec>{hostkit::buffer(64),
                                                hostkit::buffer(64)};
       }}}},
};

// ---- The sweep
// ---------------------------------------------------------------

class AllocationSweep : public testbed::ConnectorTest,
                        public ::testing::WithParamInterface<Sequence> {};

// Runs one step; returns its header.
CmdHdr run_step(SweepRun& r, const Step& s) {
    CmdHdr hdr = hostkit::header(
        s.code == ORV_CMD_ALLOC_ENV || s.code == ORV_CMD_ALLOC_SLOT
            ? 0
            : static_cast<uint8_t>(r.slot),
        s.subcode);
    hdr.param = s.param;
    hostkit::run(r.host, s.code, hdr,
                 s.args ? s.args(r) : std::vector<hostkit::ArgSpec>{});
    if (s.code == ORV_CMD_ALLOC_SLOT && hdr.status == ORV_OK) r.slot = hdr.slot;
    return hdr;
}

// Runs steps without failure, expecting each one's status and result.
void run_clean(SweepRun& r, const std::vector<Step>& steps, const char* what) {
    for (const Step& s : steps) {
        const CmdHdr hdr = run_step(r, s);
        EXPECT_EQ(hdr.status, s.status)
            << what << ", command " << s.code << ": sqlstate "
            << hostkit::sqlstate(hdr);
        if (hdr.status == ORV_OK && s.check) s.check(r, hdr);
    }
}

// Releases the slot and the environment and checks that nothing of the
// connector's leaked.
void release_and_check_leaks(hostkit::Host& host, int slot) {
    if (slot != 0 && orv::slot_at(slot)->connection != nullptr)
        testbed::command(host, ORV_CMD_DISCONNECT, slot);
    if (orv::env_handle() != nullptr)
        testbed::command(host, ORV_CMD_FREE_ENV, 0);
#ifdef ORV_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

TEST_P(AllocationSweep, EveryAllocationFailureIsReportedAndLeavesNoHarm) {
    REQUIRE_DSN(kDsn);
    const Sequence& seq = GetParam();
    std::printf("%-34s   n  step  command  status\n", seq.name);
    for (long n = 1;; ++n) {
        SCOPED_TRACE(std::string(seq.name) + ", allocation " +
                     std::to_string(n));
        // Every run starts as a freshly loaded library would: no
        // environment, no retrieval buffer.
        testbed::release_all(host);
        orv::release_data_buffers();
        SweepRun r{host};
        run_clean(r, seq.prelude, "prelude");

        const long start = orv::orv_allocation_count();
        orv::orv_fail_allocation(n);
        const Step* failed = nullptr;
        CmdHdr failed_hdr{};
        std::size_t i = 0;
        for (; i < seq.steps.size(); ++i) {
            const Step& s = seq.steps[i];
            const long before = orv::orv_allocation_count() - start;
            const CmdHdr hdr = run_step(r, s);
            if (before < n && orv::orv_allocation_count() - start >= n) {
                failed = &s;
                failed_hdr = hdr;
                break;
            }
            EXPECT_EQ(hdr.status, s.status) << "command " << s.code;
            if (hdr.status == ORV_OK && s.check) s.check(r, hdr);
        }
        orv::orv_fail_allocation(0);
        if (failed == nullptr) {
            std::printf("%-34s %3ld  (not reached: %ld allocations)\n", "", n,
                        orv::orv_allocation_count() - start);
            release_and_check_leaks(host, r.slot);
            break;
        }
        std::printf("%-34s %3ld  %4zu  %7d  %6d %s\n", "", n, i + 1,
                    failed->code, failed_hdr.status,
                    hostkit::sqlstate(failed_hdr).c_str());
        // The command says what happened: status 8, or a whole result.
        if (failed_hdr.status == ORV_OK) {
            if (failed->check) failed->check(r, failed_hdr);
        } else {
            EXPECT_EQ(failed_hdr.status, ORV_NO_MEMORY)
                << "command " << failed->code << " (step " << i + 1
                << "): sqlstate " << hostkit::sqlstate(failed_hdr);
        }
        release_and_check_leaks(host, r.slot);

        // The next commands work: the whole sequence again.
        orv::release_data_buffers();
        SweepRun again{host};
        run_clean(again, seq.prelude, "prelude after the failure");
        run_clean(again, seq.steps, "after the failure");
        release_and_check_leaks(host, again.slot);
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Sequences, AllocationSweep,
                         ::testing::ValuesIn(kSequences),
                         [](const ::testing::TestParamInfo<Sequence>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
