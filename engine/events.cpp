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

void on_buffering(player *p, float c) {
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
    clock_report(p, t);
    int s = p->seek_state.load();
    if (s != SEEK_NONE) {
        double x = s == SEEK_BY_TIME ? double(t) : p->position.load();
        if (landed(x, p->seek_origin.load(), p->seek_target.load()) &&
            p->seek_state.compare_exchange_strong(s, SEEK_NONE))
            land(p, t);
    }
    // Playback time, not clock time: a seek's jump is printed at once.
    if (p->last_time_ms == INT64_MIN || std::llabs(t - p->last_time_ms) >= THROTTLE_MS) {
        p->last_time_ms = t;
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
        if (p->end_state.load() != 2)
            emit("{\"type\":\"stopped\"}");
        p->end_state.store(2);
        break;
    case libvlc_MediaPlayerEndReached:
        p->end_state.store(1);
        emit("{\"type\":\"end\"}");
        raise_pending(p, PEND_ENDED);
        break;
    case libvlc_MediaPlayerEncounteredError:
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
        emit("{\"type\":\"seekable\",\"v\":%s}", p->seekable.load() ? "true" : "false");
        break;
    case libvlc_MediaPlayerPausableChanged:
        emit("{\"type\":\"pausable\",\"v\":%s}",
             ev->u.media_player_pausable_changed.new_pausable ? "true" : "false");
        break;
    case libvlc_MediaPlayerLengthChanged:
        p->length_ms.store(ev->u.media_player_length_changed.new_length);
        emit("{\"type\":\"length\",\"ms\":%lld}", static_cast<long long>(p->length_ms.load()));
        break;
    case libvlc_MediaPlayerVout:
        p->vouts.store(ev->u.media_player_vout.new_count);
        break;
    case libvlc_MediaPlayerESAdded:
    case libvlc_MediaPlayerESDeleted:
    case libvlc_MediaPlayerESSelected:
        // Stream changes matter only while playback runs.
        if (p->started.load() && p->end_state.load() == 0)
            raise_pending(p, PEND_TRACKS);
        break;
    default:
        break;
    }
}
