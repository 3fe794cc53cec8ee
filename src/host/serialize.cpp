#include "host/serialize.h"

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace orv {

namespace {

// Statically initialised, so no call can find it unset.  Not recursive:
// the owner check below lets a nested call on the holding thread through.
#if defined(_WIN32)
using ThreadId = DWORD;  // never 0 for a thread
SRWLOCK g_lock = SRWLOCK_INIT;
void acquire() { AcquireSRWLockExclusive(&g_lock); }
void release() { ReleaseSRWLockExclusive(&g_lock); }
ThreadId current_thread() { return GetCurrentThreadId(); }
#else
using ThreadId = pthread_t;  // never 0 for a thread on the systems served
// A lock of one word: 0 free, 1 held, 2 held with a thread perhaps waiting.
// Every row a host fetches is one call, so the common case, a lock nobody
// else wants, costs one compare-and-swap to take and one exchange to give
// back; only a thread that finds it held sleeps (and is woken) through the
// system, which a process-wide mutex would involve on every call.
std::atomic<int> g_lock{0};
void acquire() {
    int free = 0;
    if (g_lock.compare_exchange_strong(free, 1, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return;
    while (g_lock.exchange(2, std::memory_order_acquire) != 0)
        g_lock.wait(2, std::memory_order_relaxed);
}
void release() {
    if (g_lock.exchange(0, std::memory_order_release) == 2) g_lock.notify_one();
}
ThreadId current_thread() { return pthread_self(); }
#endif

// The thread holding the lock (0: none).  Only the holder stores its own
// id, so a thread that reads its own id here holds the lock; others read 0
// or another id.
std::atomic<ThreadId> g_owner{};
// Calls in progress on the holding thread; touched only by the holder.
int g_depth = 0;

}  // namespace

// Takes the lock unless this thread holds it already (a call from inside a
// callback of its own call).
CallSerializer::CallSerializer() {
    const ThreadId self = current_thread();
    if (g_owner.load(std::memory_order_relaxed) == self) {
        ++g_depth;
        return;
    }
    acquire();
    g_owner.store(self, std::memory_order_relaxed);
    g_depth = 1;
}

// Gives the lock back when the holder's outermost call ends.
CallSerializer::~CallSerializer() {
    if (--g_depth != 0) return;
    g_owner.store(ThreadId{}, std::memory_order_relaxed);
    release();
}

}  // namespace orv
