// The watch of a load's source. The library reports nothing while a server
// stalls, follows redirects to any scheme, and ends a cut-off download like a
// played-out file; the engine watches what it delivers and what its network
// lines say (the rows of words.h). Evidence is stored by the library's
// threads (events, log lines); the control loop tells stalls and ends loads,
// on the main thread.
//
// The library's lines at a (re)connection, in the order it writes them:
//   reconnection   request, response, connection failed; bytes go on
//   cut            request, connection failed, end of stream
//   refused range  request, response, connection failed, cannot seek
//   past the end   request, response, connection failed, end of stream (a
//                  server that ignores ranges), or request, response, cannot
//                  seek (one that serves them): the whole file had come.
// So a connection failure says nothing alone: the download was cut when no
// answer came to the last request, and a range was refused when the stream
// cannot seek after a failure since it.
#include "engine.h"
#include "failures.h"
#include "words.h"

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

// A network load, and a redirect of one, may lead to these schemes only:
// anything else (a file, a folder, a device, a capture) is on this machine,
// never the server's to name.
bool network_location(const char *url) {
    static const char *const schemes[] = {"http://", "https://"};
    for (const char *scheme : schemes)
        if (url && strncasecmp(url, scheme, strlen(scheme)) == 0)
            return true;
    return false;
}

// A network load led to a local source, or to one the engine does not know:
// nothing more of it is told, and the control loop ends it. Library threads.
void deny(player *p) {
    p->denied.store(1);
    p->silenced.store(1);
    raise_pending(p, PEND_WATCH);
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

}  // namespace

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

void watch_start(player *p, int64_t timeout_ms, const char *url) {
    p->timeout_us = timeout_ms * 1000;
    p->network.store(network_location(url));
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

bool watch_admits(player *p, int type) {
    // Before the source is read come only the opening, buffering, a failure
    // and the stop; anything else of a network load whose source is not
    // known for a network one is the unknown source's, and is not told.
    if (!p->network.load() || p->network_made.load() || type == libvlc_MediaPlayerOpening ||
        type == libvlc_MediaPlayerBuffering || type == libvlc_MediaPlayerStopped ||
        type == libvlc_MediaPlayerEncounteredError)
        return true;
    deny(p);
    return false;
}

void watch_line(player *p, int level, const char *object, const char *fmt, const char *text) {
    auto said = [&](word w) { return heard(w, level, object, fmt, text); };
    if (said(WORD_REDIRECT)) {
        // An internet radio goes on, at the same location, with the older
        // HTTP access: a network source like any other.
        if (!network_location(word_rest(WORD_REDIRECT, text)) && !said(WORD_ICY_REDIRECT))
            deny(p);
    } else if (said(WORD_MODULE_MADE)) {
        if (said(WORD_HTTPS_ACCESS) || said(WORD_HTTP_ACCESS))
            p->network_made.store(1);
        else if (p->network.load() && said(WORD_OTHER_SOURCE) && !subtitles_opening(p))
            deny(p);  // but a subtitle file the host named is the host's choice
        else if (said(WORD_TS_DEMUX))
            times_may_lead(p);
    } else if (said(WORD_REQUEST)) {
        p->asked.store(1);
        p->conn_failed.store(0);
    } else if (said(WORD_RESPONSE)) {
        p->asked.store(2);
    } else if (said(WORD_CONNECTION_FAILED)) {
        p->conn_failed.store(1);
    } else if (said(WORD_CANNOT_SEEK)) {
        // An answer without the range asked for: the source cannot seek, and
        // a seek of the host that went there has nothing more to play.
        if (!p->conn_failed.load())
            return;  // answered, at the end of the file: the demuxer looked past it
        p->range_refused.store(1);
        int none = 0;
        if (p->started.load() && p->end_state.load() == END_NONE && seek_recent(p))
            p->lost.compare_exchange_strong(none, 2);
        raise_pending(p, PEND_WATCH);
    } else if (said(WORD_END_OF_STREAM)) {
        // While playing, the last request failed unanswered: the connection
        // could not be made again, and the download was cut off.
        int none = 0;
        if (p->started.load() && p->end_state.load() == END_NONE && p->conn_failed.load() && p->asked.load() != 2 &&
            p->lost.compare_exchange_strong(none, 1))
            raise_pending(p, PEND_WATCH);
    } else if (said(WORD_TRACK_STARVED)) {
        p->starved.store(1);
    } else if (said(WORD_GARBAGE) || said(WORD_NOT_LIKE)) {
        p->garbled.store(1);
    } else if (said(WORD_PLAYLIST_UPDATED)) {
        p->live_seen.store(1);  // only a playlist without an end is fetched again
    }
}

bool is_live(const player *p) { return p->live || p->live_seen.load(); }

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
