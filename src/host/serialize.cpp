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
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
void acquire() { pthread_mutex_lock(&g_lock); }
void release() { pthread_mutex_unlock(&g_lock); }
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
