// The host side of the connector's interface: builds HostContext, argument
// descriptors and the command header in memory as a host runtime does,
// serves the six callback services, records every service call, and runs
// one command in one line of code.
//
// Used by the tests, the benchmarks and the reference host program.  It is
// never linked into the connector, and it does not name the connector's
// entry function: the caller sets Host::entry (&orvsql, or a dlsym result).
//
// Test mode (Host::guard_pages, the default) makes the kit a hostile host.
// Every argument's storage, the header block and the HostContext itself end
// exactly at a page boundary followed by an inaccessible page, so any access
// one byte past `size` faults at once; a canary lies right in front of each.
// Each run then checks what a connector must never do, and records every
// breach in Host::violations, naming the service call that made it (or the
// return):
//   - a canary in front of some storage changed;
//   - the HostContext or a descriptor changed (other than by RESIZE_ARG);
//   - PUT_STRING or PUT_NUMBER_TEXT with a null text pointer or a length
//     below -1; GET_STRING without a buffer; an unknown service code; a
//     callback with a context other than the call's;
//   - a service call whose selector names an argument beyond arg_count
//     (the argument of selector s is s % 256);
//   - a header byte changed that the command must not write (the whole
//     block when it is shorter than 48 bytes; else slot except for command
//     4, the unused byte, subcode, param, row_number, the trailing unused
//     bytes and anything past 48);
//   - a result other than the header's status (11 for a header under 48
//     bytes or without storage).
// The violations of a run go to the reporter set with
// set_violation_reporter (the test support fails the running test) unless
// Host::report_violations is false; without a reporter they are printed to
// standard error.
//
// Example:
//   hostkit::Host h = hostkit::make_test_host(&orvsql);
//   CmdHdr hdr = hostkit::header(1);
//   int32_t rc = hostkit::run(h, ORV_CMD_EXECUTE, hdr, {hostkit::text("SELECT
//   1")});
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dorevivezo.h"

namespace hostkit {

using Entry = int32_t (*)(HostContext*, HostCallback);

// One host argument, number 3 and up.
struct ArgSpec {
    int16_t type_flags = 2;      // host type code in bits 0-3, ARG_ARRAY,
                                 // ARG_CALLBACK
    uint32_t size = 0;           // descriptor size (one element for arrays)
    uint32_t elements = 1;       // storage = size * elements
    std::vector<uint8_t> bytes;  // initial content (the rest is zero)
    int32_t int_value = 0;       // what GET_INT answers for this argument
                                 // (for an array element: its first four
                                 // stored bytes, little-endian)
    std::string text_value;      // what GET_STRING answers
    bool null_data = false;      // descriptor data = nullptr
};

// Type 2, size len+1, content s and a NUL; GET_STRING answers s and
// GET_INT answers atoi(s).
ArgSpec text(std::string_view s);
// A zero-filled buffer of `size` bytes.
ArgSpec buffer(uint32_t size, int16_t flags = 2);
// Size 4, content v little-endian; GET_INT answers v, GET_STRING its
// decimal text.
ArgSpec integer(int32_t v, int16_t flags = 8);
// `elements` zero-filled elements of `element_size` bytes each.
ArgSpec array(uint32_t element_size, uint32_t elements,
              int16_t flags = 2 | ARG_ARRAY);

// One service call as the connector made it.  `bytes`: for GET_STRING the
// bytes the host wrote into the connector's buffer (terminator included);
// for PUT_STRING and PUT_NUMBER_TEXT the text handed over; else empty.
struct Call {
    int32_t service, selector, a, b;
    std::vector<uint8_t> bytes;
    int32_t n;
    int32_t result;  // what the host answered
};

// Memory owned by the host: one mapping (guard mode) or one heap block.
class Block {
  public:
    Block() = default;
    Block(uint32_t size, bool guarded);  // zero-filled storage
    Block(Block&& o) noexcept;
    Block& operator=(Block&& o) noexcept;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block();
    uint8_t* data() const { return data_; }
    // False when the canary in front of the storage (guard mode) changed.
    bool canary_intact() const;
    // Makes the storage inaccessible (guard mode) so that a stale pointer
    // faults; the memory is released with the block.
    void retire();

  private:
    void release();
    uint8_t* data_ = nullptr;  // the storage: last byte before the guard
    void* base_ = nullptr;     // the mapping or heap block
    std::size_t length_ = 0;   // mapped length (guard mode)
    bool guarded_ = false;
    bool retired_ = false;  // inaccessible now
};

struct Host {
    Entry entry = nullptr;
    bool guard_pages = true;         // storage ends at an inaccessible page
    bool refuse_put_string = false;  // PUT_STRING answers 1
    bool refuse_resize = false;      // RESIZE_ARG answers 1
    uint32_t header_size = 48;       // storage size of argument 2
    bool header_null_data = false;   // argument 2's data = nullptr
    // When set: written as arg_count instead of 2 + args (any value, a
    // negative one too).
    std::optional<int32_t> arg_count_override;
    // Test mode: hand the violations of each run to the reporter.  Tests of
    // the checks themselves set it false and read `violations`.
    bool report_violations = true;

    // Called for every service call before the host serves it.  When it
    // returns a value, the host answers that and does nothing else (the
    // call is still recorded).  Tests use it to change host memory in the
    // middle of a command or to refuse one particular call.
    std::function<std::optional<int32_t>(Host&, const Call&)> on_call;

    // ---- Results of the last run, kept until the next run -----------------
    std::vector<Call> calls;
    std::map<int32_t, std::vector<uint8_t>> put_strings;  // by selector
    std::map<int32_t, int64_t> put_ints;                  // by selector
    std::map<int32_t, std::string> put_numbers;           // by selector
    bool foreign_context_seen = false;    // a callback with another context
    bool bad_call_seen = false;           // unknown service, selector or length
    std::vector<std::string> violations;  // test mode: what the connector
                                          // broke, one line each

    // ---- The records of the last run (internal; read with the functions
    // below) --------------------------------------------------------------
    HostContext* ctx = nullptr;
    int32_t code = 0;
    std::vector<ArgSpec> specs;            // index = argument number - 3
    std::vector<uint32_t> elements;        // index = argument number
    std::vector<int> storage_block;        // index = argument number; -1 = none
    std::vector<Block> blocks;             // every mapping of the run
    std::vector<uint8_t> ctx_expected;     // the HostContext as the host
                                           // last wrote it
    std::vector<uint8_t> header_expected;  // the header as the host last
                                           // wrote it
    std::vector<bool> header_locked;       // header bytes the command must
                                           // not write
};

// Receives each violation of a run in test mode (see above).  nullptr
// restores the default, a line on standard error.  Returns the reporter set
// before.
using ViolationReporter = void (*)(const Host& h, const std::string& what);
ViolationReporter set_violation_reporter(ViolationReporter r);

// A host in test mode calling `e`.
Host make_test_host(Entry e);

// A zeroed header with the given slot and subcode.
CmdHdr header(uint8_t slot = 0, int16_t subcode = 0);

// Builds the records, copies hdr into the header storage (its first
// min(48, header_size) bytes), calls entry, copies the header storage back
// into hdr and returns entry's result.  Storage of the previous run is
// released first.
int32_t run(Host& h, int32_t code, CmdHdr& hdr, std::vector<ArgSpec> args = {});

// The descriptor of argument n as it now stands (after RESIZE_ARG); n >= 2.
ArgDescriptor descriptor(const Host& h, int n);
// Current content of argument n's storage, all elements ([2] = header).
std::vector<uint8_t> arg_bytes(const Host& h, int n);
// Argument n's storage as text, up to the first NUL or the storage's end.
std::string arg_text(const Host& h, int n);
// The service calls of one kind, in order.
std::vector<Call> calls_of(const Host& h, int32_t service);
// put_strings[selector] as text ("" when none was stored).
std::string put_text(const Host& h, int32_t selector);

// The header's encoding of native_error, count and, for the row fetch,
// param (declared in dorevivezo.h).
using ::swap_halves;
int32_t native_error(const CmdHdr& h);  // the unswapped value
int32_t count(const CmdHdr& h);         // the unswapped value
void set_param_swapped(CmdHdr& h, int32_t v);
void set_param_plain(CmdHdr& h, int32_t v);
std::string sqlstate(const CmdHdr& h);  // up to the NUL, at most 6 chars

}  // namespace hostkit
