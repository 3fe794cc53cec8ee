#include "testbed.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace testbed {

namespace {
std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// True when the blank-separated list holds `dsn`.
bool listed(const std::string& list, std::string_view dsn) {
    std::istringstream words(list);
    std::string word;
    while (words >> word)
        if (word == dsn) return true;
    return false;
}

// Every test gets the hostile host's checks: a violation fails the test
// that ran the command.
void fail_running_test(const hostkit::Host&, const std::string& what) {
    ADD_FAILURE() << what;
}
[[maybe_unused]] const bool reporter_installed =
    (hostkit::set_violation_reporter(&fail_running_test), true);
}  // namespace

bool in_ci() { return env("CI") == "true"; }

void set_env(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

bool available(std::string_view dsn) { return listed(env("ORV_DSNS"), dsn); }

bool required(std::string_view dsn) {
    const char* list = std::getenv("ORV_REQUIRED_DSNS");
    return list == nullptr || listed(list, dsn);
}

std::string user_of(std::string_view dsn) {
    if (dsn == "orv_pg") return env("ORV_PG_USER");
    if (dsn == "orv_maria") return env("ORV_MARIA_USER");
    return "";
}

std::string password_of(std::string_view dsn) {
    if (dsn == "orv_pg") return env("ORV_PG_PASSWORD");
    if (dsn == "orv_maria") return env("ORV_MARIA_PASSWORD");
    return "";
}

std::string connection_string(std::string_view dsn) {
    std::string s = "-host=" + std::string(dsn);
    std::string user = user_of(dsn);
    if (!user.empty()) s += " -user=" + user + " -pw=" + password_of(dsn);
    return s;
}

std::string numbered(std::string_view prefix, long long n) {
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

hostkit::Host make_host() {
    hostkit::Host h;
    h.entry = &orvsql;
    h.guard_pages = true;
    return h;
}

CmdHdr command(hostkit::Host& h, int32_t code, int slot,
               std::vector<hostkit::ArgSpec> args, int16_t subcode) {
    CmdHdr hdr{};
    hdr.slot = static_cast<uint8_t>(slot);
    hdr.subcode = subcode;
    hostkit::run(h, code, hdr, std::move(args));
    return hdr;
}

CmdHdr execute_params(hostkit::Host& h, int slot, std::string_view sql,
                      std::vector<hostkit::ArgSpec> values, int32_t rows) {
    std::vector<hostkit::ArgSpec> args{hostkit::text(sql)};
    for (hostkit::ArgSpec& v : values) args.push_back(std::move(v));
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
    hostkit::set_param_swapped(hdr, rows);
    hostkit::run(h, ORV_CMD_EXECUTE_PARAMS, hdr, std::move(args));
    return hdr;
}

int connect(hostkit::Host& h, std::string_view dsn) {
    CmdHdr hdr = command(h, ORV_CMD_ALLOC_ENV, 0);
    if (hdr.status != 0) {
        ADD_FAILURE() << "command 1 gave status " << hdr.status;
        return 0;
    }
    hdr = command(h, ORV_CMD_ALLOC_SLOT, 0);
    if (hdr.status != 0 || hdr.slot == 0) {
        ADD_FAILURE() << "command 4 gave status " << hdr.status;
        return 0;
    }
    int slot = hdr.slot;
    hdr = command(h, ORV_CMD_CONNECT, slot,
                  {hostkit::text(connection_string(dsn))});
    if (hdr.status != 0) {
        ADD_FAILURE() << "connect to " << dsn << " gave status " << hdr.status
                      << " sqlstate " << hostkit::sqlstate(hdr) << ": "
                      << last_message(h, slot);
        return 0;
    }
    return slot;
}

CmdHdr exec(hostkit::Host& h, int slot, std::string_view sql) {
    return command(h, ORV_CMD_EXECUTE, slot, {hostkit::text(sql)});
}

void exec_ok(hostkit::Host& h, int slot, std::string_view sql) {
    CmdHdr hdr = exec(h, slot, sql);
    EXPECT_EQ(hdr.status, ORV_OK)
        << sql << ": sqlstate " << hostkit::sqlstate(hdr) << ": "
        << last_message(h, slot);
}

std::string last_message(hostkit::Host&, int slot) {
    hostkit::Host probe = make_host();
    command(probe, ORV_CMD_DIAGNOSTICS, slot, {hostkit::buffer(256)});
    auto it = probe.put_strings.find(3);
    if (it == probe.put_strings.end()) return "(no message)";
    return std::string(it->second.begin(), it->second.end());
}

void release_all(hostkit::Host& h) {
    for (int slot = 1; slot <= 10; ++slot) command(h, ORV_CMD_DISCONNECT, slot);
    command(h, ORV_CMD_FREE_ENV, 0);
}

}  // namespace testbed
