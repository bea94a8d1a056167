// The watch of a load's source. The library reports nothing while a server
// stalls, follows redirects to any scheme, and ends a cut-off download like a
// played-out file; the engine watches what it delivers and what its network
// lines say. Evidence is stored by the library's threads (events, log lines);
// the control loop tells stalls and ends loads, on the main thread.
#include "engine.h"
#include "failures.h"

#include <cstring>
#include <strings.h>

namespace {

// Neither time nor position moved for this long while playing: a stall.
const int64_t STALL_US = 2000000;
// After a landing, segmented streams report the time of the segment they
// decode from until they reach the target (HLS: up to a segment back). So
// many such reports, a few seconds' worth, are passed over; later ones are
// where playback is.
const int64_t LANDING_STEP_BACK_MS = 1500;
const int BEHIND_REPORTS = 12;

// A redirect may lead to these schemes only: anything else (a file, a
// folder, a device, a capture) is on this machine, never the server's to name.
bool network_location(const char *url) {
    static const char *const schemes[] = {"http://", "https://"};
    for (const char *scheme : schemes)
        if (strncasecmp(url, scheme, strlen(scheme)) == 0)
            return true;
    return false;
}

// Ends p's load on the control thread: the error first, then the library's
// own Stopped brings the stopped event. The stop returns promptly: the
// library interrupts its network waits and demuxers.
void end_load(player *p, problem what) {
    p->watch_done = 1;
    report_problem(p, what, nullptr);
    p->silenced.store(1);  // what the library says while it stops is no news
    libvlc_audio_set_mute(p->mp, 1);
    sound_stop(p);
    libvlc_media_player_stop(p->mp);
}

// The problem of a load that delivered nothing for its timeout: a source that
// never gave a time or a picture, whose bytes the demuxer could make no sense
// of, was a device or noise; anything else went silent.
problem timeout_problem(player *p) {
    if (!p->started.load() || p->moved.load() || p->had_video.load() || !p->garbled.load())
        return PROBLEM_TIMED_OUT;
    problem what = stored_problem(p);
    return what == PROBLEM_UNAVAILABLE ? PROBLEM_UNRECOGNIZED : what;
}

// The problem of a lost source, once known; false while there is none.
bool lost_problem(const player *p, problem *what) {
    switch (p->lost.load()) {
    case 1:
        *what = PROBLEM_UNREACHABLE;  // the connection failed and could not be made again
        return true;
    case 2:
        *what = PROBLEM_UNAVAILABLE;  // playback went where the source could not serve it
        return true;
    default:
        return false;
    }
}

}  // namespace

void watch_start(player *p, int64_t timeout_ms) {
    p->timeout_us = timeout_ms * 1000;
    p->moved_us.store(now_us());
}

void watch_moved(player *p) {
    p->moved_us.store(now_us());
    if (p->stalled.exchange(0))
        tell_buffering(100);
}

void watch_resumed(player *p) {
    watch_moved(p);
    // The control loop may sleep without a deadline since the pause.
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    ctl_wake.notify_one();
}

int64_t watch_due(const player *p) {
    if (!p->media || p->watch_done || p->end_state.load() != END_NONE || p->paused.load() || p->silenced.load())
        return 0;
    int64_t moved = p->moved_us.load();
    int64_t due = p->timeout_us > 0 ? moved + p->timeout_us : 0;
    if (p->started.load() && !p->stalled.load() && (!due || moved + STALL_US < due))
        due = moved + STALL_US;
    return due;
}

void watch_check(player *p) {
    if (!watch_due(p))
        return;
    int64_t idle = now_us() - p->moved_us.load();
    if (p->timeout_us > 0 && idle >= p->timeout_us) {
        end_load(p, timeout_problem(p));
        return;
    }
    if (!p->started.load() || idle < STALL_US)
        return;
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->generation == generation.load() && p->end_state.load() == END_NONE && !p->stalled.exchange(1))
        tell_buffering(0);
}

void watch_serve(player *p) {
    if (p->denied.load()) {
        if (!p->watch_done)
            end_load(p, PROBLEM_ACCESS_DENIED);
        return;
    }
    if (p->range_refused.load() && p->seekable.load())
        mark_unseekable(p);
}

void watch_line(player *p, int level, const char *object, const char *message) {
    static const char REDIRECT[] = "redirecting to: ";
    if (strcmp(object, "demux") == 0) {
        // Samples the index names but the source no longer gives; bytes
        // that no demuxer could make sense of.
        if (strstr(message, "will be disabled (eof?)"))
            p->starved.store(1);
        else if (strstr(message, "garbage") || strstr(message, "does not look like"))
            p->garbled.store(1);
        return;
    }
    if (strncmp(message, REDIRECT, sizeof REDIRECT - 1) == 0) {
        if (!network_location(message + sizeof REDIRECT - 1)) {
            p->denied.store(1);
            p->silenced.store(1);
            raise_pending(p, PEND_WATCH);
        }
        return;
    }
    // An answer without the range asked for: the source cannot seek (the
    // failed connection was that answer), and a seek of the host that went
    // there has nothing more to play.
    if (level >= LIBVLC_ERROR && strncmp(message, "cannot seek", 11) == 0) {
        p->range_refused.store(1);
        p->conn_failed.store(0);
        int none = 0;
        if (p->started.load() && seek_in_flight(p))
            p->lost.compare_exchange_strong(none, 2);
        raise_pending(p, PEND_WATCH);
        return;
    }
    // While playing, a connection made again to resume a download that
    // failed, and then the end of the stream: the download was cut off.
    if (!p->started.load() || p->end_state.load() != END_NONE)
        return;
    if (strcmp(message, "connection failed") == 0) {
        p->conn_failed.store(1);
    } else if (strcmp(message, "end of stream") == 0 && p->conn_failed.load()) {
        int none = 0;
        p->lost.compare_exchange_strong(none, 1);
        raise_pending(p, PEND_WATCH);
    }
}

bool is_live(const player *p) { return p->live || p->live_seen.load(); }

void watch_demux_format(player *p, const char *fmt) {
    // Only a playlist without an end is fetched again while it plays.
    if (strncmp(fmt, "Updated playlist", 16) == 0)
        p->live_seen.store(1);
}

bool time_behind_landing(player *p, int64_t t) {
    if (seek_in_flight(p))
        return false;
    int64_t landed_at = seek_landed_ms(p);
    if (t >= landed_at - LANDING_STEP_BACK_MS)
        return false;
    if (p->behind_of != landed_at) {
        p->behind_of = landed_at;
        p->behind_count = 0;
    }
    return p->behind_count++ < BEHIND_REPORTS;
}

void report_held_end(player *p) {
    if (!p->end_held.load())
        return;
    if (problem what; lost_problem(p, &what))
        report_problem(p, what, nullptr);
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->end_held.exchange(0) && p->generation == generation.load())
        tell_ending(p);
}
