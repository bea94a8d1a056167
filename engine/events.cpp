// The media-player event handler of every player. It runs on the library's
// threads (or on an engine thread inside a library call), under gate_lock for
// its whole length, and never calls into the library: it stores fields,
// prints events and raises pending bits for the control loop.
#include "engine.h"
#include "json.h"

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
    if (p->seek_phase.compare_exchange_strong(phase, phase + 1) && c >= 100)
        clock_land(p, p->time_ms.load());
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
    emit("{\"type\":\"buffering\",\"pct\":%.1f}", double(c));
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
        double x = seek_kind(s) == SEEK_BY_TIME ? double(t) : p->position.load();
        int seen = s;
        if (landed(x, p->seek_origin.load(), p->seek_target.load()) &&
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
        emit("{\"type\":\"time\",\"ms\":%lld}", static_cast<long long>(t));
    }
}

void on_position(player *p, float pos) {
    p->position.store(double(pos));
    int64_t now = now_us();
    if (now - p->last_position_us >= THROTTLE_US) {
        p->last_position_us = now;
        emit("{\"type\":\"position\",\"value\":%.6f}", double(pos));
    }
}

// Prints a state report unless it repeats the last one told; *told holds
// value + 1, 0 before the first.
void tell_flag(int *told, int value, const char *type) {
    if (*told == value + 1)
        return;
    *told = value + 1;
    emit("{\"type\":\"%s\",\"v\":%s}", type, value ? "true" : "false");
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
    std::lock_guard<std::mutex> gate(gate_lock);
    if (p->generation != generation.load())
        return;  // a replaced player: nothing is stored, printed or raised
    switch (ev->type) {
    case libvlc_MediaPlayerOpening:
        emit("{\"type\":\"opening\"}");
        break;
    case libvlc_MediaPlayerBuffering:
        on_buffering(p, ev->u.media_player_buffering.new_cache);
        break;
    case libvlc_MediaPlayerPlaying:
        clock_resume(p);
        p->paused.store(0);
        emit("{\"type\":\"playing\"}");
        if (!p->started.load()) {
            p->started.store(1);
            raise_pending(p, PEND_TRACKS);
        }
        break;
    case libvlc_MediaPlayerPaused:
        clock_hold(p);
        p->paused.store(1);
        emit("{\"type\":\"paused\"}");
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
        emit("{\"type\":\"end\"}");
        raise_pending(p, PEND_ENDED);
        break;
    case libvlc_MediaPlayerEncounteredError:
        playback_over(p);
        raise_pending(p, PEND_ERROR);
        break;
    case libvlc_MediaPlayerTimeChanged:
        on_time(p, ev->u.media_player_time_changed.new_time);
        break;
    case libvlc_MediaPlayerPositionChanged:
        on_position(p, ev->u.media_player_position_changed.new_position);
        break;
    case libvlc_MediaPlayerSeekableChanged:
        p->seekable.store(ev->u.media_player_seekable_changed.new_seekable ? 1 : 0);
        tell_flag(&p->told_seekable, p->seekable.load(), "seekable");
        break;
    case libvlc_MediaPlayerPausableChanged:
        tell_flag(&p->told_pausable, ev->u.media_player_pausable_changed.new_pausable ? 1 : 0, "pausable");
        break;
    case libvlc_MediaPlayerLengthChanged:
        p->length_ms.store(ev->u.media_player_length_changed.new_length);
        if (!p->length_told || p->told_length_ms != p->length_ms.load()) {
            p->length_told = 1;
            p->told_length_ms = p->length_ms.load();
            emit("{\"type\":\"length\",\"ms\":%lld}", static_cast<long long>(p->told_length_ms));
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

void tell_stopped() {
    std::lock_guard<std::mutex> gate(gate_lock);
    int held = END_STOP_HELD;
    if (cur->end_state.compare_exchange_strong(held, END_STOPPED))
        emit("{\"type\":\"stopped\"}");
}
