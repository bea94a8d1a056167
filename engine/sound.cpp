// The sound output of a machine that has none. When the library cannot open
// an audio output, a player's sound plays into nothing at its own rate, so
// that its time runs and its end comes when the sound would have ended, as
// with a device. The control thread installs it; the library calls it on its
// decoder and input threads; the control thread and the reaper end its wait.
#include "engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

const int SOUND_TRIES = 3;

// The decoder's rate and channels as they come: only how much sound there is counts.
int setup_cb(void **opaque, char *format, unsigned *rate, unsigned *channels) noexcept {
    player *p = static_cast<player *>(*opaque);
    memcpy(format, "S16N", 4);
    *channels = std::clamp(*channels, 1u, 8u);
    std::lock_guard<ordered_mutex> hold(p->sound_lock);
    p->sound_rate = *rate ? *rate : 48000;
    return 0;
}

void cleanup_cb(void *) noexcept {}

// count samples that play from pts (libvlc_clock µs) on.
void play_cb(void *opaque, const void *, unsigned count, int64_t pts) noexcept {
    player *p = static_cast<player *>(opaque);
    std::lock_guard<ordered_mutex> hold(p->sound_lock);
    int64_t end = pts + int64_t(count) * 1000000 / std::max(p->sound_rate, 1u);
    p->sound_end_us = std::max(p->sound_end_us, end);
}

void pause_cb(void *opaque, int64_t pts) noexcept {
    player *p = static_cast<player *>(opaque);
    std::lock_guard<ordered_mutex> hold(p->sound_lock);
    if (!p->sound_paused_us)
        p->sound_paused_us = pts ? pts : libvlc_clock();
}

// What was to play after the pause plays as much later.
void resume_cb(void *opaque, int64_t pts) noexcept {
    player *p = static_cast<player *>(opaque);
    std::lock_guard<ordered_mutex> hold(p->sound_lock);
    if (p->sound_paused_us && p->sound_end_us)
        p->sound_end_us += std::max<int64_t>(0, (pts ? pts : libvlc_clock()) - p->sound_paused_us);
    p->sound_paused_us = 0;
    p->sound_wake.notify_all();
}

void flush_cb(void *opaque, int64_t) noexcept {
    player *p = static_cast<player *>(opaque);
    std::lock_guard<ordered_mutex> hold(p->sound_lock);
    p->sound_end_us = 0;
    p->sound_wake.notify_all();
}

// The media's end waits for its sound to have played: the library ends it
// once this returns. Paused, it waits for the resume or for the player's stop.
void drain_cb(void *opaque) noexcept {
    player *p = static_cast<player *>(opaque);
    std::unique_lock<ordered_mutex> hold(p->sound_lock);
    for (;;) {
        int64_t left = p->sound_end_us - libvlc_clock();
        if (p->sound_stopping || !p->sound_end_us || (!p->sound_paused_us && left <= 0))
            break;
        if (p->sound_paused_us)
            p->sound_wake.wait(hold);
        else
            p->sound_wake.wait_for(hold, std::chrono::microseconds(left));
    }
    p->sound_end_us = 0;
}

}  // namespace

void sound_lost(player *p) {
    // The library may keep the output that failed when its decoder held it
    // as it was replaced: while it still fails, it is asked again, a few
    // times at most.
    if (p->sound_tries.load() < SOUND_TRIES && !p->sound_asked.exchange(1))
        raise_pending(p, PEND_SOUND);
}

void sound_serve(player *p) {
    p->sound_tries.fetch_add(1);
    p->sound_asked.store(0);
    // Media with pictures plays at their pace without an output; this one
    // would hold every seek back by the sound it waits to have played.
    if (p->had_video.load() || libvlc_video_get_track_count(p->mp) > 0)
        return;
    // The library makes its output anew with the next sound it decodes,
    // from these, in place of the one that failed.
    libvlc_audio_set_format_callbacks(p->mp, setup_cb, cleanup_cb);
    libvlc_audio_set_callbacks(p->mp, play_cb, pause_cb, resume_cb, flush_cb, drain_cb, p);
    // Some decoders give up for good when their output fails (MP3): one is
    // made anew for the track when it is chosen again.
    int track = libvlc_audio_get_track(p->mp);
    if (track >= 0) {
        libvlc_audio_set_track(p->mp, -1);
        libvlc_audio_set_track(p->mp, track);
    }
}

void sound_stop(player *p) {
    std::lock_guard<ordered_mutex> hold(p->sound_lock);
    p->sound_stopping = true;
    p->sound_wake.notify_all();
}
