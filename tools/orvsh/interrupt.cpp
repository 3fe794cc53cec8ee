// orvsh: Ctrl-C while a statement runs cancels it.
//
// The SIGINT handler only changes an atomic phase and writes a byte to a
// pipe (both async-signal-safe); a watcher thread reads the pipe and sends
// the cancel command through its own host records, so that no connector
// call ever runs inside a signal handler.  While orvsh is idle (at the
// prompt, connecting, between statements) Ctrl-C keeps its default action
// and ends orvsh, as it always did.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "orvsh.h"

namespace orvsh {

namespace {

constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it

enum Phase : int { kIdle, kRunning, kCancelAsked };

std::atomic<int> g_phase{kIdle};
std::atomic<int> g_slot{0};  // the slot of the running statement
static_assert(std::atomic<int>::is_always_lock_free,
              "the signal handler reads the phase");
int g_pipe[2] = {-1, -1};  // the handler writes, the watcher reads
// Held while the phase leaves kRunning or kCancelAsked and while the
// watcher sends a cancel, so that a cancel never reaches the next
// statement.
std::mutex g_mutex;

// SIGINT: while a statement runs, the first asks for a cancel and the
// second quits at once; otherwise the default action.
extern "C" void on_interrupt(int) {
    const int saved = errno;
    int phase = kRunning;
    if (g_phase.compare_exchange_strong(phase, kCancelAsked)) {
        const char byte = 1;
        if (write(g_pipe[1], &byte, 1) < 0) _exit(kExitInterrupted);
    } else if (phase == kCancelAsked) {
        _exit(kExitInterrupted);
    } else {
        // Delivered when the handler returns, with the default action.
        signal(SIGINT, SIG_DFL);
        raise(SIGINT);
    }
    errno = saved;
}

// Sends the cancel command on the running statement's slot, when a cancel
// is still asked; returns false once the statement has ended.  The
// caller holds g_mutex.
bool send_cancel(hostkit::Host& h) {
    if (g_phase.load() != kCancelAsked) return false;  // it ended meanwhile
    CmdHdr hdr = hostkit::header(static_cast<uint8_t>(g_slot.load()));
    // Answers at once; the running call then ends as the driver answers a
    // cancelled statement.
    hostkit::run(h, ORV_CMD_CANCEL, hdr);
    if (hdr.status != ORV_OK)
        std::fprintf(stderr, "orvsh: the cancel failed: status %d (%s)\n",
                     hdr.status, status_text(hdr.status));
    return hdr.status == ORV_OK;
}

// The watcher thread: for each Ctrl-C the handler passed on, says so on
// stderr and sends the cancel command on the running statement's slot.
// A cancel that reaches the slot between two of the statement's commands
// (or before it reaches the driver) changes nothing, so it is sent again
// every 100 ms until the statement ends.
void watch(hostkit::Entry entry) {
    hostkit::Host h = hostkit::make_test_host(entry);
    h.guard_pages = false;
    for (;;) {
        char byte = 0;
        const ssize_t n = read(g_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (g_phase.load() != kCancelAsked) continue;
            std::fprintf(stderr,
                         "%sorvsh: cancel asked (Ctrl-C again to quit)\n",
                         isatty(STDERR_FILENO) == 1 ? "\n" : "");
            if (!send_cancel(h)) continue;
        }
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::lock_guard<std::mutex> lock(g_mutex);
            if (!send_cancel(h)) break;
        }
    }
}

}  // namespace

void watch_interrupts(const Session& s) {
    if (pipe(g_pipe) != 0) return;  // Ctrl-C keeps its default action
    fcntl(g_pipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(g_pipe[1], F_SETFD, FD_CLOEXEC);
    std::thread(watch, s.host.entry).detach();
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sa.sa_flags = SA_RESTART;  // the drivers' own calls go on
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

Running::Running(Session& s) : session(s) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_slot.store(s.slot);
    g_phase.store(kRunning);
}

Running::~Running() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_phase.exchange(kIdle) == kCancelAsked) session.interrupted = true;
}

bool cancel_asked() { return g_phase.load() == kCancelAsked; }

}  // namespace orvsh
