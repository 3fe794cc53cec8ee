// One process-wide lock around every call of orvsql.  The connector's state
// (environment, slot table, retrieval buffer) is process-wide; a host whose
// threads call orvsql at the same time gets the calls one after another
// instead of a corrupted slot table.  A call made again on the same thread
// from inside a host callback runs without waiting (the outer call holds
// the lock), as it did before there was a lock; the dispatcher refuses
// such a call where it would change what the outer command works on.
#pragma once

#if !defined(_WIN32)
#include <pthread.h>

#include <atomic>
#endif

namespace orv {

#if defined(_WIN32)

// Holds the lock for its lifetime unless this thread already holds it.
class CallSerializer {
  public:
    CallSerializer();
    ~CallSerializer();
    CallSerializer(const CallSerializer&) = delete;
    CallSerializer& operator=(const CallSerializer&) = delete;
};

#else

namespace serialize_detail {

// A lock of one word: 0 free, 1 held, 2 held with a thread perhaps waiting.
// Every row a host fetches is one call, so the common case, a lock nobody
// else wants, costs one compare-and-swap to take and one exchange to give
// back, inline; only a thread that finds it held sleeps (and is woken)
// through the system, out of line.
inline std::atomic<int> lock_word{0};
// The thread holding the lock (0: none).  Only the holder stores its own
// id, so a thread that reads its own id here holds the lock; others read 0
// or another id.
inline std::atomic<pthread_t> owner{};
// Calls in progress on the holding thread; touched only by the holder.
inline int depth = 0;

// Waits until the lock is free and takes it (marked 2: others may wait).
void wait_for_lock();
// Wakes one thread waiting for the lock, which has just been given back.
void wake_waiter();

}  // namespace serialize_detail

// Holds the lock for its lifetime unless this thread already holds it.
class CallSerializer {
  public:
    CallSerializer() {
        using namespace serialize_detail;
        const pthread_t self = pthread_self();
        if (owner.load(std::memory_order_relaxed) == self) {
            ++depth;
            return;
        }
        int free = 0;
        if (!lock_word.compare_exchange_strong(
                free, 1, std::memory_order_acquire, std::memory_order_relaxed))
            wait_for_lock();
        owner.store(self, std::memory_order_relaxed);
        depth = 1;
    }
    // Gives the lock back when the holder's outermost call ends.
    ~CallSerializer() {
        using namespace serialize_detail;
        if (--depth != 0) return;
        owner.store(pthread_t{}, std::memory_order_relaxed);
        if (lock_word.exchange(0, std::memory_order_release) == 2)
            wake_waiter();
    }
    CallSerializer(const CallSerializer&) = delete;
    CallSerializer& operator=(const CallSerializer&) = delete;
};

#endif

}  // namespace orv
