#include "host/serialize.h"

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace orv {

#if defined(_WIN32)

namespace {

// Statically initialised, so no call can find it unset.  Not recursive:
// the owner check below lets a nested call on the holding thread through.
SRWLOCK g_lock = SRWLOCK_INIT;
// The thread holding the lock (0: none, which no thread's id is).  Only
// the holder stores its own id, so a thread that reads its own id here
// holds the lock; others read 0 or another id.
std::atomic<DWORD> g_owner{};
// Calls in progress on the holding thread; touched only by the holder.
int g_depth = 0;

}  // namespace

// Takes the lock unless this thread holds it already (a call from inside a
// callback of its own call).
CallSerializer::CallSerializer() {
    const DWORD self = GetCurrentThreadId();
    if (g_owner.load(std::memory_order_relaxed) == self) {
        ++g_depth;
        return;
    }
    AcquireSRWLockExclusive(&g_lock);
    g_owner.store(self, std::memory_order_relaxed);
    g_depth = 1;
}

// Gives the lock back when the holder's outermost call ends.
CallSerializer::~CallSerializer() {
    if (--g_depth != 0) return;
    g_owner.store(DWORD{}, std::memory_order_relaxed);
    ReleaseSRWLockExclusive(&g_lock);
}

#else

namespace serialize_detail {

void wait_for_lock() {
    while (lock_word.exchange(2, std::memory_order_acquire) != 0)
        lock_word.wait(2, std::memory_order_relaxed);
}

void wake_waiter() { lock_word.notify_one(); }

}  // namespace serialize_detail

#endif

}  // namespace orv
