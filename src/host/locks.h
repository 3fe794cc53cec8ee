// The locks that let calls on different slots run side by side.
//
// Each slot has a lock, held by the thread that runs a command on it, so
// that two threads calling on one slot take turns.  The process lock
// guards what the slots share: the environment's use by slot-less
// commands and the choice of a free slot.  Commands 1 and 2, which make
// or release the environment every slot's handles belong to, hold every
// slot's lock and then the process lock.  Locks are always taken in that
// order (slots by number, then the process), so two threads never wait
// for each other.
//
// Every lock knows the thread holding it.  A call a host makes from
// inside a callback runs on the thread that holds the outer command's
// locks: the dispatcher asks held_by_this_thread() to refuse what would
// wait for itself instead of waiting for ever.
#pragma once
#include <atomic>

#include "odbc_api.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace orv {

#if defined(_WIN32)
using ThreadId = DWORD;
inline ThreadId this_thread() { return GetCurrentThreadId(); }
#else
using ThreadId = pthread_t;
inline ThreadId this_thread() { return pthread_self(); }
#endif

// A lock of one owner at a time that knows its owner.  `depth` counts the
// holder's nested takes where a lock allows them (take_again).
struct OwnedLock {
#if defined(_WIN32)
    SRWLOCK lock = SRWLOCK_INIT;
#else
    // 0 free, 1 held, 2 held with a thread perhaps waiting.  A lock nobody
    // else wants costs one compare-and-swap to take and one exchange to
    // give back; only a thread that finds it held sleeps.
    std::atomic<int> word{0};
#endif
    // The holder (a default id while free).  Only the holder stores its own
    // id, so a thread that reads its own id here holds the lock.
    std::atomic<ThreadId> owner{};
    int depth = 0;  // touched by the holder only
};

// True when thread `self` (by default the calling thread) holds `l`.
inline bool held_by_this_thread(const OwnedLock& l,
                                ThreadId self = this_thread()) {
    return l.owner.load(std::memory_order_relaxed) == self;
}

#if defined(_WIN32)

inline void take(OwnedLock& l, ThreadId self = this_thread()) {
    AcquireSRWLockExclusive(&l.lock);
    l.owner.store(self, std::memory_order_relaxed);
    l.depth = 1;
}

inline bool try_take(OwnedLock& l, ThreadId self = this_thread()) {
    if (!TryAcquireSRWLockExclusive(&l.lock)) return false;
    l.owner.store(self, std::memory_order_relaxed);
    l.depth = 1;
    return true;
}

inline void give_back(OwnedLock& l) {
    l.owner.store(ThreadId{}, std::memory_order_relaxed);
    ReleaseSRWLockExclusive(&l.lock);
}

#else

// Waits until `l` is free and takes it (marked 2: others may wait).
void wait_for_lock(OwnedLock& l);
// Wakes one thread waiting for `l`, which has just been given back.
void wake_waiter(OwnedLock& l);

// Takes `l`, waiting while another thread holds it; `self` is the calling
// thread.  The caller must not hold it already.
inline void take(OwnedLock& l, ThreadId self = this_thread()) {
    int free = 0;
    if (!l.word.compare_exchange_strong(free, 1, std::memory_order_acquire,
                                        std::memory_order_relaxed))
        wait_for_lock(l);
    l.owner.store(self, std::memory_order_relaxed);
    l.depth = 1;
}

// Takes `l` when it is free; returns false, waiting for nothing, when not.
inline bool try_take(OwnedLock& l, ThreadId self = this_thread()) {
    int free = 0;
    if (!l.word.compare_exchange_strong(free, 1, std::memory_order_acquire,
                                        std::memory_order_relaxed))
        return false;
    l.owner.store(self, std::memory_order_relaxed);
    l.depth = 1;
    return true;
}

// Gives back `l`, which the caller holds.
inline void give_back(OwnedLock& l) {
    l.owner.store(ThreadId{}, std::memory_order_relaxed);
    if (l.word.exchange(0, std::memory_order_release) == 2) wake_waiter(l);
}

#endif

// Takes `l`, or counts one more take when the calling thread holds it
// already; every take_again is matched by a give_back_once.
inline void take_again(OwnedLock& l) {
    if (held_by_this_thread(l)) {
        ++l.depth;
        return;
    }
    take(l);
}

// Undoes one take_again: gives `l` back with the holder's last take.
inline void give_back_once(OwnedLock& l) {
    if (--l.depth == 0) give_back(l);
}

}  // namespace orv
