#include "host/serialize.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace orv {

namespace {

// Statically initialised, so no call can find it unset.  Not recursive:
// the depth count below lets a nested call on the holding thread through.
#if defined(_WIN32)
SRWLOCK g_lock = SRWLOCK_INIT;
void acquire() { AcquireSRWLockExclusive(&g_lock); }
void release() { ReleaseSRWLockExclusive(&g_lock); }
#else
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
void acquire() { pthread_mutex_lock(&g_lock); }
void release() { pthread_mutex_unlock(&g_lock); }
#endif

// Calls of orvsql in progress on this thread (> 1 inside a callback).
thread_local int t_depth = 0;

}  // namespace

// Takes the lock on the thread's outermost call only.
CallSerializer::CallSerializer() {
    if (t_depth++ == 0) acquire();
}

// Gives the lock back when the outermost call ends.
CallSerializer::~CallSerializer() {
    if (--t_depth == 0) release();
}

}  // namespace orv
