// The engine's mutexes, each with its place in the one lock order. A thread
// takes locks only in increasing rank: never one of a rank it already holds
// or above. Builds with VEXOLO_LOCK_CHECK (debug and sanitizer builds) keep
// a per-thread record of the ranks held and abort on a lock out of order.
#pragma once

#include <mutex>

enum lock_rank {
    RANK_VIDEO = 1,  // a player's video_lock: its video format and what was told of it
    RANK_GATE,       // gate_lock: the generation switch and every event handler
    RANK_SHOW,       // a player's show_lock: a shown picture's verdict and its queueing
    RANK_SEEK,       // a player's seek_lock: its seek record
    RANK_CTL,        // ctl_lock: the line queue, pending bits, log stores
    RANK_TIMES,      // a player's times_lock: its picture times
    RANK_RATE,       // rate_lock: the log forwarding window
    RANK_POOL,       // pool_lock: the picture pools and the frame pipe's queue
    RANK_OUT,        // out_lock: standard output
    RANK_REAP,       // reap_lock: the reap queue; taken with no other lock held
    RANK_SOUND,      // a player's sound_lock: its sound output without a device; taken alone
};

#ifdef VEXOLO_LOCK_CHECK
// Aborts, naming both ranks, when rank may not be taken now; else records it.
void lock_order_take(int rank);
void lock_order_release(int rank);
#else
inline void lock_order_take(int) {}
inline void lock_order_release(int) {}
#endif

// A std::mutex that knows its rank; use with std::lock_guard, std::unique_lock
// and std::condition_variable_any.
struct ordered_mutex {
    std::mutex m;
    const int rank;
    explicit ordered_mutex(int r) : rank(r) {}
    void lock() {
        lock_order_take(rank);
        m.lock();
    }
    bool try_lock() {
        lock_order_take(rank);
        if (m.try_lock())
            return true;
        lock_order_release(rank);
        return false;
    }
    void unlock() {
        m.unlock();
        lock_order_release(rank);
    }
};
