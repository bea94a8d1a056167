// The lock order check of debug and sanitizer builds.
#include "locks.h"

#ifdef VEXOLO_LOCK_CHECK

#include <cstdio>
#include <cstdlib>

namespace {

thread_local unsigned held;  // bit r: a lock of rank r is held

}  // namespace

void lock_order_take(int rank) {
    if (held >> rank) {
        int highest = 31 - __builtin_clz(held);
        fprintf(stderr, "vexolo-engine: lock order: rank %d taken while rank %d is held\n", rank, highest);
        abort();
    }
    held |= 1u << rank;
}

void lock_order_release(int rank) { held &= ~(1u << rank); }

#endif
