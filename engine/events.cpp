// The media-player event handler of every player. It runs on the library's
// threads (or on an engine thread inside a library call), under gate_lock for
// its whole length, and never calls into the library: it stores fields,
// prints events and raises pending bits for the control loop.
#include "engine.h"

#include <algorithm>
#include <cmath>

namespace {

const int64_t THROTTLE_US = 250000;
// A pause asked for is made within this; a later one nobody asked for is the end's.
const int64_t PAUSE_SETTLES_US = 1000000;

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
    tell_buffering(double(c));
}

// How far the library's times run ahead of the media's own, ms: in MPEG-TS
// by the muxer's delay, measured from the start's first pictures (video.cpp);
// -1 while media with pictures is being measured, 0 for sound alone.
int64_t lead_of(player *p) {
    int64_t lead = times_lead_ms(p);
    return lead < 0 && !p->had_video.load() ? 0 : lead;
}

// Tells the length as the media's own once the lead is known, unless told.
void tell_length_of(player *p) {
    int64_t length = p->library_length_ms, lead = times_clock_lead_ms(p);
    if (length > lead && lead > 0)
        length -= lead;
    p->length_ms.store(length);
    // A live source's length is that of its window, which time runs past.
    if (is_live(p) && length > 0)
        return;
    if (!p->length_told || p->told_length_ms != length) {
        p->length_told = 1;
        p->told_length_ms = length;
        tell_length(length);
    }
}

// The time of a report that falls behind the last one told, with no seek in
// between: some demuxers report 0 or stop in a file's last second (Ogg,
// MPEG-TS) while their position goes on. The position tells where playback
// is; where it is behind too, the last time holds.
int64_t onward(player *p, int64_t t) {
    int64_t last = p->time_ms.load(), length = p->length_ms.load();
    if (t >= last || is_live(p))
        return t;
    int64_t at = length > 0 ? std::min(int64_t(p->position.load() * double(length)), length) : 0;
    return std::max(last, at);
}

void on_time(player *p, int64_t reported) {
    int64_t lead = times_report(p, reported);
    if (lead < 0 && !p->had_video.load())
        lead = 0;
    if (lead < 0)
        return;  // told once the pictures tell how far ahead the library runs
    int64_t t = std::max<int64_t>(reported - lead, 0);
    if (time_behind_landing(p, t))
        return;
    if (lead > 0)
        tell_length_of(p);  // once more, now that the lead is known
    // While a seek is under way a time is the library's echo of the target,
    // not where the pictures are; its landing tells the place.
    bool hidden = seek_hides_reports(p);
    if (!hidden)
        t = onward(p, t);
    p->time_ms.store(t);
    if (t > 0)
        p->moved.store(1);
    if (hidden)
        return;
    chapter_at(p, t);
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

void on_position(player *p, float reported) {
    int64_t now = now_us(), lead = lead_of(p), length = p->library_length_ms;
    if (lead < 0)
        return;
    double pos = reported;
    if (lead > 0 && length > lead)
        pos = std::clamp((pos * double(length) - double(lead)) / double(length - lead), 0.0, 1.0);
    p->position.store(pos);
    if (seek_hides_reports(p))
        return;
    // A live window moves under the position: told only as it goes forward.
    if (now - p->last_position_us >= THROTTLE_US && !(is_live(p) && pos < p->told_position)) {
        p->last_position_us = now;
        p->told_position = pos;
        tell_position(pos);
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

// Tells the host the state it asked for once the library is in it: the
// library's own plays and pauses for a seek, and its pause at the end, are
// not the host's. gate_lock held.
void tell_state(player *p) {
    int now = p->paused.load() ? 2 : 1;
    if (now != (p->host_paused.load() ? 2 : 1) || p->told_paused == now)
        return;
    p->told_paused = now;
    if (now == 1)
        tell_playing();
    else
        tell_paused();
}

// A pause the library made by itself: at the end of the media, where it is
// asked to stay on the last picture. It says so; a pause nobody asked for
// while playing counts too.
bool paused_at_end(player *p) {
    if (p->eof_told.exchange(0))
        return true;
    return !p->host_paused.load() && !seek_in_flight(p) && now_us() - p->pause_asked_us.load() > PAUSE_SETTLES_US;
}

}  // namespace

void on_event(const libvlc_event_t *ev, void *opaque) noexcept {
    player *p = static_cast<player *>(opaque);
    // When the library paused or played on: its clock turned then, not once
    // this thread had the gate, which a busy control loop may hold for a while.
    const int64_t heard = now_us();
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->previews)
        return preview_event(p, ev, heard);  // nothing of it is the host's to hear
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
        if (p->paused.load())
            times_resumed(p, heard);  // its dates moved on by the pause
        p->paused.store(0);
        tell_state(p);
        watch_resumed(p);
        if (!p->started.load()) {
            p->started.store(1);
            raise_pending(p, PEND_TRACKS);
        }
        break;
    case libvlc_MediaPlayerPaused:
        // The library's clock stands still from here: a picture it shows
        // after a paused seek is dated from this moment.
        p->paused_us.store(heard);
        p->paused.store(1);
        if (paused_at_end(p)) {
            if (!seek_at_end(p))
                ended(p);
            break;
        }
        seek_library_paused(p);
        tell_state(p);
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
        // Not at a media's natural end, where it pauses on its last picture,
        // but when its input gives up.
        if (reach_end(p))
            raise_pending(p, PEND_ENDED);
        break;
    case libvlc_MediaPlayerEncounteredError:
        playback_over(p);
        raise_pending(p, PEND_ERROR);
        break;
    case libvlc_MediaPlayerTimeChanged:
        if (ev->u.media_player_time_changed.new_time != p->library_time_ms) {
            p->library_time_ms = ev->u.media_player_time_changed.new_time;
            watch_moved(p);
        }
        on_time(p, ev->u.media_player_time_changed.new_time);
        break;
    case libvlc_MediaPlayerPositionChanged:
        if (ev->u.media_player_position_changed.new_position != p->library_position) {
            p->library_position = ev->u.media_player_position_changed.new_position;
            watch_moved(p);
        }
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
        p->library_length_ms = ev->u.media_player_length_changed.new_length;
        tell_length_of(p);
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
        subtitles_stream(p, ev->u.media_player_es_changed.i_type, ev->u.media_player_es_changed.i_id);
        [[fallthrough]];
    case libvlc_MediaPlayerESDeleted:
    case libvlc_MediaPlayerESSelected:
        // Stream changes matter only while playback runs.
        if (p->started.load() && p->end_state.load() == END_NONE)
            raise_pending(p, PEND_TRACKS);
        break;
    case libvlc_MediaPlayerAudioDevice:
        device_reported(p, ev->u.media_player_audio_device.device);
        break;
    default:
        break;
    }
}

void report_place(player *p, int64_t ms) {
    p->time_ms.store(ms);  // where later times go on from, back or forth
    // Told even where the last landing was: it is this landing's answer. A
    // position once the length gives one.
    p->last_time_ms = ms;
    tell_time(ms);
    int64_t length = p->length_ms.load();
    if (length > 0 && !is_live(p)) {
        double at = std::clamp(double(ms) / double(length), 0.0, 1.0);
        p->last_position_us = now_us();
        p->told_position = at;
        tell_position(at);
    }
    chapter_at(p, ms);
}

void report_play_state(player *p) {
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->generation == generation.load() && p->end_state.load() == END_NONE)
        tell_state(p);
}

void mark_unseekable(player *p) {
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->generation != generation.load())
        return;
    p->seekable.store(0);
    tell_flag(&p->told_seekable, 0, tell_seekable);
}
