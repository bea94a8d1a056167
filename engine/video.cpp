// The decoder's video callbacks of every player: the format agreement, which
// fits the size and announces it with the format event, and the per-picture
// lock, unlock and display, which forward to the player's picture pool.
// libvlc calls them on its own video threads.
#include "engine.h"
#include "frames.h"
#include "json.h"

#include <cmath>
#include <cstring>

namespace {

// How far a proposed size may exceed a track's visible size and still be
// that track: decoders pad pictures to their block alignment.
const unsigned ALIGN_PADDING = 64;

bool padded_size_of(unsigned proposed, unsigned visible) {
    return visible <= proposed && proposed - visible <= ALIGN_PADDING;
}

// Narrows the proposed size to the video track's visible size when the two
// agree, and reads its sample aspect ratio. The track list lags behind a
// mid-stream change of resolution, so a track of another size is stale.
void track_size(player *p, unsigned *width, unsigned *height, unsigned *sar_num, unsigned *sar_den) {
    libvlc_media_track_t **tracks = nullptr;
    unsigned n = libvlc_media_tracks_get(p->media, &tracks);
    if (n == 0)
        return;
    for (unsigned i = 0; i < n; i++) {
        const libvlc_media_track_t *t = tracks[i];
        if (t->i_type != libvlc_track_video || !t->video || !t->video->i_width || !t->video->i_height)
            continue;
        if (padded_size_of(*width, t->video->i_width) && padded_size_of(*height, t->video->i_height)) {
            *width = t->video->i_width;
            *height = t->video->i_height;
            if (t->video->i_sar_num && t->video->i_sar_den) {
                *sar_num = t->video->i_sar_num;
                *sar_den = t->video->i_sar_den;
            }
        }
        break;
    }
    libvlc_media_tracks_release(tracks, n);
}

unsigned setup_cb(void **opaque, char *chroma, unsigned *width, unsigned *height, unsigned *pitches,
                  unsigned *lines) noexcept {
    player *p = static_cast<player *>(*opaque);
    memcpy(chroma, "RV32", 4);
    unsigned w = *width, h = *height, sar_num = 1, sar_den = 1;
    if (p->media)
        track_size(p, &w, &h, &sar_num, &sar_den);

    if (w > max_w || h > max_h) {
        double scale = fmin(double(max_h) / h, double(max_w) / w);
        // Scaled sides are made even: the nearest even number, halves away from zero.
        w = unsigned(2 * lround(w * scale * 0.5));
        h = unsigned(2 * lround(h * scale * 0.5));
        if (w == 0)
            w = 2;
        if (h == 0)
            h = 2;
    }
    if (pictures_setup(&p->pictures, w, h) != 0)
        return 0;  // an absurd size: the library gives up this video output
    *width = w;
    *height = h;
    pitches[0] = p->pictures.pitch;
    lines[0] = p->pictures.height;

    std::lock_guard<std::mutex> gate(gate_lock);
    if (p->generation == generation.load())
        emit("{\"type\":\"format\",\"w\":%u,\"h\":%u,\"sar\":%.6g}", w, h, double(sar_num) / sar_den);
    return 3;
}

// The pool keeps its pictures until the next format or until the player goes.
void cleanup_cb(void *) noexcept {}

void *lock_cb(void *opaque, void **planes) noexcept {
    return pictures_lock(&static_cast<player *>(opaque)->pictures, planes);
}

void unlock_cb(void *, void *picture, void *const *) noexcept {
    pictures_unlock(static_cast<struct picture *>(picture));
}

void display_cb(void *opaque, void *picture) noexcept {
    player *p = static_cast<player *>(opaque);
    pictures_show(&p->pictures, static_cast<struct picture *>(picture), p->generation, p->paused.load(),
                  &p->mark_frame, p->time_ms.load() * 1000);
}

}  // namespace

void video_attach(player *p) {
    libvlc_video_set_callbacks(p->mp, lock_cb, unlock_cb, display_cb, p);
    libvlc_video_set_format_callbacks(p->mp, setup_cb, cleanup_cb);
}
