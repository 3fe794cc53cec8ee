// One process-wide lock around every call of orvsql.  The connector's state
// (environment, slot table, retrieval buffer) is process-wide; a host whose
// threads call orvsql at the same time gets the calls one after another
// instead of a corrupted slot table.  A call made again on the same thread
// from inside a host callback runs without waiting (the outer call holds
// the lock), as it did before there was a lock.
#pragma once

namespace orv {

// Holds the lock for its lifetime unless this thread already holds it.
class CallSerializer {
  public:
    CallSerializer();
    ~CallSerializer();
    CallSerializer(const CallSerializer&) = delete;
    CallSerializer& operator=(const CallSerializer&) = delete;
};

}  // namespace orv
