// The media-player event handler of every player. It runs on the library's
// threads (or on an engine thread inside a library call), under gate_lock for
// its whole length, and never calls into the library: it stores fields,
// prints events and raises pending bits for the control loop.
#include "engine.h"

#include <cmath>

namespace {

const int64_t THROTTLE_US = 250000;
const int64_t THROTTLE_MS = 250;

// A seek has landed only once the library's buffers emptied after the
// request and then filled again. A refill, once seen, stays seen: the
// library may report its buffers low again later, with nothing more to come.
void follow_seek(player *p, float c) {
    int s = p->seek_state.load();
    if (s == SEEK_NONE)
        return;
    int phase = seek_id(s) | (c < 100 ? SEEK_ASKED : SEEK_EMPTIED);
    // Refilled, the pictures that follow are from the new position, whose
    // time the library gave at once: the clock starts there with the next.
    if (p->seek_phase.compare_exchange_strong(phase, phase + 1) && c >= 100) {
        p->refill_at_us.store(now_us());
        clock_land(p, p->time_ms.load());
    }
}

void on_buffering(player *p, float c) {
    follow_seek(p, c);
    int64_t now;
    if (c >= 100) {
        if (!p->filled.load()) {
            p->filled.store(1);
            raise_pending(p, PEND_START_POS);
        }
        now = now_us();
    } else {
        now = now_us();
        // The empty and full ends always get through; values between them
        // at most once per interval since the last printed one.
        if (c > 0 && now - p->last_buffering_us < THROTTLE_US)
            return;
    }
    p->last_buffering_us = now;
    tell_buffering(double(c));
}

void on_time(player *p, int64_t t) {
    p->time_ms.store(t);
    if (t > 0)
        p->moved.store(1);
    int s = p->seek_state.load();
    // Before the refill a time is the library's echo of the target, not
    // where the pictures are.
    if (s == SEEK_NONE || p->seek_phase.load() == (seek_id(s) | SEEK_REFILLED))
        clock_report(p, t);
    if (s != SEEK_NONE && p->seek_phase.load() == (seek_id(s) | SEEK_REFILLED)) {
        int seen = s;
        if ((seek_kind(s) == SEEK_BY_TIME ? landed_at(p, t)
                                          : landed(p->position.load(), p->seek_origin.load(), p->seek_target.load())) &&
            p->seek_state.compare_exchange_strong(s, SEEK_NONE))
            land(p, t, seen);
    }
    // Playback time, not clock time: a seek's jump is printed at once.
    if (p->last_time_ms == INT64_MIN || std::llabs(t - p->last_time_ms) >= THROTTLE_MS) {
        p->last_time_ms = t;
        // The media's stream list lags behind the tracks in some containers:
        // look again while playback goes on.
        if (p->tracks_stale.exchange(0) && p->end_state.load() == END_NONE)
            raise_pending(p, PEND_TRACKS);
        tell_time(t);
    }
}

void on_position(player *p, float pos) {
    p->position.store(double(pos));
    int64_t now = now_us();
    // A live window moves under the position: told only as it goes forward.
    if (now - p->last_position_us >= THROTTLE_US && !(is_live(p) && pos < p->told_position)) {
        p->last_position_us = now;
        p->told_position = pos;
        tell_position(double(pos));
    }
}

// Tells a state report unless it repeats the last one told; *told holds
// value + 1, 0 before the first.
void tell_flag(int *told, int value, void (*tell)(bool)) {
    if (*told == value + 1)
        return;
    *told = value + 1;
    tell(value != 0);
}

// The media ended or stopped: a seek in flight will never land, and a video
// format negotiation still going on has failed.
void playback_over(player *p) {
    p->seek_state.exchange(SEEK_NONE);
    negotiation_over(p, p->had_video.load() != 0);
}

}  // namespace

void on_event(const libvlc_event_t *ev, void *opaque) noexcept {
    player *p = static_cast<player *>(opaque);
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->generation != generation.load())
        return;  // a replaced player: nothing is stored, printed or raised
    if ((p->silenced.load() && ev->type != libvlc_MediaPlayerStopped) || !watch_admits(p, ev->type))
        return;  // a source it must not read: only its stop is told
    switch (ev->type) {
    case libvlc_MediaPlayerOpening:
        tell_opening();
        break;
    case libvlc_MediaPlayerBuffering:
        watch_moved(p);
        on_buffering(p, ev->u.media_player_buffering.new_cache);
        break;
    case libvlc_MediaPlayerPlaying:
        clock_resume(p);
        p->paused.store(0);
        tell_playing();
        watch_resumed(p);
        if (!p->started.load()) {
            p->started.store(1);
            raise_pending(p, PEND_TRACKS);
        }
        break;
    case libvlc_MediaPlayerPaused:
        clock_hold(p);
        p->paused.store(1);
        tell_paused();
        break;
    case libvlc_MediaPlayerStopped:
        // Told by the control loop, after whatever it still has to tell
        // about the load: an error always comes before the stopped.
        playback_over(p);
        if (p->end_state.load() < END_STOPPED) {
            p->end_state.store(END_STOP_HELD);
            raise_pending(p, PEND_STOPPED);
        }
        break;
    case libvlc_MediaPlayerEndReached:
        playback_over(p);
        p->end_state.store(END_REACHED);
        if (p->lost.load())
            p->end_held.store(1);  // told after the error that explains it
        else
            tell_end();
        raise_pending(p, PEND_ENDED);
        break;
    case libvlc_MediaPlayerEncounteredError:
        playback_over(p);
        raise_pending(p, PEND_ERROR);
        break;
    case libvlc_MediaPlayerTimeChanged:
        if (ev->u.media_player_time_changed.new_time != p->time_ms.load())
            watch_moved(p);
        if (!time_behind_landing(p, ev->u.media_player_time_changed.new_time))
            on_time(p, ev->u.media_player_time_changed.new_time);
        break;
    case libvlc_MediaPlayerPositionChanged:
        if (double(ev->u.media_player_position_changed.new_position) != p->position.load())
            watch_moved(p);
        on_position(p, ev->u.media_player_position_changed.new_position);
        break;
    case libvlc_MediaPlayerSeekableChanged:
        p->seekable.store(ev->u.media_player_seekable_changed.new_seekable && !p->range_refused.load() ? 1 : 0);
        tell_flag(&p->told_seekable, p->seekable.load(), tell_seekable);
        break;
    case libvlc_MediaPlayerPausableChanged:
        tell_flag(&p->told_pausable, ev->u.media_player_pausable_changed.new_pausable ? 1 : 0, tell_pausable);
        break;
    case libvlc_MediaPlayerLengthChanged:
        p->length_ms.store(ev->u.media_player_length_changed.new_length);
        // A live source's length is that of its window, which time runs past.
        if (is_live(p) && p->length_ms.load() > 0)
            break;
        if (!p->length_told || p->told_length_ms != p->length_ms.load()) {
            p->length_told = 1;
            p->told_length_ms = p->length_ms.load();
            tell_length(p->told_length_ms);
        }
        break;
    case libvlc_MediaPlayerVout:
        p->vouts.store(ev->u.media_player_vout.new_count);
        // The library tries formats until one works; a made output ends it.
        if (ev->u.media_player_vout.new_count > 0) {
            p->had_video.store(1);
            negotiation_over(p, true);
        }
        break;
    case libvlc_MediaPlayerESAdded:
    case libvlc_MediaPlayerESDeleted:
    case libvlc_MediaPlayerESSelected:
        // Stream changes matter only while playback runs.
        if (p->started.load() && p->end_state.load() == END_NONE)
            raise_pending(p, PEND_TRACKS);
        break;
    default:
        break;
    }
}

void report_stopped(player *p) {
    std::lock_guard<ordered_mutex> gate(gate_lock);
    int held = END_STOP_HELD;
    if (p->end_state.compare_exchange_strong(held, END_STOPPED))
        tell_stopped();
}

void mark_unseekable(player *p) {
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->generation != generation.load())
        return;
    p->seekable.store(0);
    tell_flag(&p->told_seekable, 0, tell_seekable);
}
