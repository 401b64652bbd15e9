// Work on many items by several threads, told in the items' order: a run
// sweeps mailboxes at once and still writes its log as if it had swept
// them one after the other.
#pragma once

#include <cstddef>
#include <functional>

namespace platform {

// Runs work(i) for every i below count on up to `workers` threads of its
// own, and tell(i) on the calling thread once work(i) has ended and every
// item before i was told: in order of i. An item starts only while it is
// fewer than `ahead` items past the oldest not yet told, so the caller's
// results for at most `ahead` items are kept at once (slot i % ahead is
// free again once tell(i) returns). threadStart runs first on each worker
// thread.
//
// work must not raise (it keeps what failed for tell). When tell returns
// false, no item starts any more, and the items begun are still told; when
// tell raises, no item starts, the threads are joined and the exception
// goes to the caller with the items begun after it untold. Returns the
// number of items told. Raises std::system_error when not one thread
// can be started.
size_t RunInOrder(size_t count, size_t workers, size_t ahead,
                  const std::function<void()>& threadStart, const std::function<void(size_t)>& work,
                  const std::function<bool(size_t)>& tell);

}  // namespace platform
