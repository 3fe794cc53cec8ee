#include "host/locks.h"

namespace orv {

#if !defined(_WIN32)

void wait_for_lock(OwnedLock& l) {
    while (l.word.exchange(2, std::memory_order_acquire) != 0)
        l.word.wait(2, std::memory_order_relaxed);
}

void wake_waiter(OwnedLock& l) { l.word.notify_one(); }

#endif

}  // namespace orv
