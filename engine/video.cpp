// The decoder's video callbacks of every player: the format agreement, which
// fits the size, and the per-picture lock, unlock and display, which forward
// to the player's picture pool; the display announces each format with its
// first picture and stamps pictures with the picture clock. libvlc calls them
// on its own video threads; the clock is also moved by the event handler.
#include "engine.h"
#include "frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// How far a proposed size may exceed a track's visible size and still be
// that track: decoders pad pictures to their block alignment.
const unsigned ALIGN_PADDING = 128;  // AV1's largest blocks
// Time reports come every 250 to 500 ms: between two of them the clock runs
// on by the time elapsed, but no further than this, so that a stalled input
// does not run it away from its pictures.
const int64_t CLOCK_RUN_MAX_US = 1000000;
const int64_t CLOCK_FRAME_US = 40000;  // a picture's duration when the track does not say
// A smaller step back is the library correcting its clock, not a seek.
const int64_t CLOCK_JITTER_US = 1000000;
// Pictures of a padded format for which the track list is asked for the
// visible size; it catches up within a few pictures when it ever does.
const int SIZE_LOOKUPS = 300;

bool padded_size_of(unsigned proposed, unsigned visible) {
    return visible <= proposed && proposed - visible <= ALIGN_PADDING;
}

// The visible size and sample aspect ratio of p's video track, when the
// track list knows it and it is the proposed size, padded or not. The list
// lags behind a change of resolution, so a track of another size is stale.
bool visible_track(player *p, unsigned proposed_w, unsigned proposed_h, unsigned *width, unsigned *height,
                   unsigned *sar_num, unsigned *sar_den) {
    libvlc_media_track_t **tracks = nullptr;
    unsigned n = libvlc_media_tracks_get(p->media, &tracks);
    if (n == 0)
        return false;
    bool found = false;
    for (unsigned i = 0; i < n; i++) {
        const libvlc_media_track_t *t = tracks[i];
        if (t->i_type != libvlc_track_video || !t->video || !t->video->i_width || !t->video->i_height)
            continue;
        if (t->video->i_frame_rate_num && t->video->i_frame_rate_den)
            p->frame_us.store(int64_t(1000000) * t->video->i_frame_rate_den / t->video->i_frame_rate_num);
        if (padded_size_of(proposed_w, t->video->i_width) && padded_size_of(proposed_h, t->video->i_height)) {
            found = true;
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
    return found;
}

unsigned setup_cb(void **opaque, char *chroma, unsigned *width, unsigned *height, unsigned *pitches,
                  unsigned *lines) noexcept {
    player *p = static_cast<player *>(*opaque);
    // I420 is what the H.264 and most other decoders make: unscaled, the
    // library then copies their pictures as they are, with no conversion.
    memcpy(chroma, pixel_layout == PIXELS_I420 ? "I420" : "RV32", 4);
    unsigned w = *width, h = *height, sar_num = 1, sar_den = 1;
    bool known = p->media && visible_track(p, *width, *height, &w, &h, &sar_num, &sar_den);

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
    if (pictures_setup(&p->pictures, w, h, pixel_layout) != 0)
        return 0;  // an absurd size: the library gives up this video output
    // The library tries formats that it may drop before any picture: the
    // format is announced with its first picture (display_cb).
    std::lock_guard<ordered_mutex> video(p->video_lock);
    p->fmt_proposed_w = *width;
    p->fmt_proposed_h = *height;
    p->fmt_w = w;
    p->fmt_h = h;
    p->fmt_sar = double(sar_num) / sar_den;
    p->fmt_settled = known;
    p->fmt_checks = 0;
    *width = w;
    *height = h;
    // Per plane, what the library may write: it never goes past these.
    plane planes[PIXEL_PLANES_MAX];
    int n = layout_planes(pixel_layout, w, h, p->pictures.pitch, planes);
    for (int i = 0; i < n; i++) {
        pitches[i] = planes[i].pitch;
        lines[i] = planes[i].lines;
    }
    return 3;
}

// Tells the host the format of pic before its frame: once per format that
// shows pictures, and once more when the track list first gives the visible
// size of a padded format. The library scales the visible picture into the
// whole padded buffer, so the sar then makes up for the padding.
void announce(player *p, const picture *pic) {
    std::lock_guard<ordered_mutex> video(p->video_lock);
    if (pic->width != p->fmt_w || pic->height != p->fmt_h)
        return;  // a picture of an earlier format, announced with it
    if (!p->fmt_settled && p->media && p->fmt_checks < SIZE_LOOKUPS) {
        p->fmt_checks++;
        unsigned w = 0, h = 0, sar_num = 1, sar_den = 1;
        if (visible_track(p, p->fmt_proposed_w, p->fmt_proposed_h, &w, &h, &sar_num, &sar_den)) {
            p->fmt_sar = double(w) * sar_num / sar_den / h * p->fmt_h / p->fmt_w;
            p->fmt_settled = 1;
        }
    }
    if (p->told_w == p->fmt_w && p->told_h == p->fmt_h && p->told_sar == p->fmt_sar)
        return;
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->generation != generation.load())
        return;
    tell_format(p->fmt_w, p->fmt_h, p->fmt_sar);
    p->told_w = p->fmt_w;
    p->told_h = p->fmt_h;
    p->told_sar = p->fmt_sar;
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
    auto *pic = static_cast<struct picture *>(picture);
    if (!pic || p->silenced.load() || p->end_state.load() != END_NONE)
        return;  // nothing after the end: the library redraws its last picture
    announce(p, pic);
    std::lock_guard<ordered_mutex> show(p->show_lock);
    // A seek under way, the library paused, or the start's pictures measuring
    // the lead, tell a redraw of the still from news: the picture is compared
    // with the one before.
    int64_t lead = seek_lead_ms(p);
    int news = PICTURE_CHANGED;
    if (seek_in_flight(p) || p->paused.load() || lead < 0)
        news = (pictures_changed(&p->pictures, pic) ? PICTURE_CHANGED : 0) |
               (pictures_like_sent(&p->pictures, pic) ? PICTURE_LIKE_SENT : 0);
    int verdict = seek_report(p, FACT_PICTURE, news);
    if (verdict != VERDICT_TELL && verdict != VERDICT_LAND) {
        pictures_show(&p->pictures, pic, p->generation, SHOW_HIDDEN, &p->mark_frame, 0);
        if (verdict == VERDICT_KEEP)
            pictures_keep(&p->pictures, true);
        if (verdict != VERDICT_LAND_KEPT)
            return;
        // The picture kept back is the landing: sent now, at its own time.
        int64_t pts_us = seek_landed_ms(p) * 1000;
        clock_land(p, pts_us);
        bool sent = pictures_resend(&p->pictures, p->generation, &p->mark_frame, pts_us, true);
        pictures_keep(&p->pictures, false);
        seek_report(p, FACT_SENT, sent ? pts_us / 1000 : -1);
        return;
    }
    if (verdict == VERDICT_LAND)
        clock_land(p, seek_landed_ms(p) * 1000);
    int how = p->stalled.load() ? SHOW_STALLED : p->paused.load() ? SHOW_PAUSED : SHOW_PLAYING;
    int64_t pts_us = clock_read(p, lead);
    // A landing is told with the time of the picture that carries it.
    uint64_t taken = pictures_show(&p->pictures, pic, p->generation, how, &p->mark_frame, pts_us);
    if (verdict == VERDICT_LAND)
        pictures_keep(&p->pictures, false);
    if (taken || verdict == VERDICT_LAND)
        seek_report(p, FACT_SENT, taken ? pts_us / 1000 : -1);
}

}  // namespace

void video_attach(player *p) {
    libvlc_video_set_callbacks(p->mp, lock_cb, unlock_cb, display_cb, p);
    libvlc_video_set_format_callbacks(p->mp, setup_cb, cleanup_cb);
}

namespace {

// Media time (µs) the clock ran on from its stamp to now, at the speed in
// force, clock_lock held: the time elapsed, capped, unless pictures kept
// coming at the video's rate.
int64_t ran(const player *p, int64_t now) {
    return int64_t(double(std::min(now - p->clock_stamp_us, CLOCK_RUN_MAX_US + p->clock_steady_us)) * p->rate.load());
}

// The clock's run starts again from a report, a landing, a pause or a resume.
void restamp(player *p, int64_t now) {
    p->clock_stamp_us = now;
    p->clock_steady_us = 0;
}

}  // namespace

int64_t clock_read(player *p, int64_t lead_ms) {
    std::lock_guard<ordered_mutex> hold(p->clock_lock);
    int64_t t = p->clock_base_us, now = now_us();
    if (!p->paused.load()) {
        // Playback is where the pictures are: the clock starts with the first
        // one, not with the library's first report some 400 ms later.
        if (!p->clock_stamp_us) {
            restamp(p, now);
        } else {
            // Some demuxers go quiet for a second or more before their end
            // (Ogg): while pictures come at the video's rate, the clock runs
            // on with them past the cap. A stalled input shows none, or
            // redraws its still more slowly.
            int64_t frame = p->frame_us.load() > 0 ? p->frame_us.load() : CLOCK_FRAME_US;
            int64_t gap = now - p->clock_shown_us,
                    over = now - p->clock_stamp_us - CLOCK_RUN_MAX_US - p->clock_steady_us;
            if (over > 0 && gap <= frame * 3 / 2 && !p->stalled.load())
                p->clock_steady_us += std::min(gap, over);
            t += ran(p, now);
        }
        p->clock_shown_us = now;
        // The load's first picture is shown at once, the next ones the lead
        // later (MPEG-TS): the pictures' own time begins after it, and
        // until the lead is known the first picture (and its redraws) hold it.
        if (p->clock_told_us == INT64_MIN && lead_ms != 0)
            t = lead_ms < 0 ? p->clock_base_us : std::max(p->clock_base_us, t - lead_ms * 1000);
    }
    if (t < p->clock_last_us && p->clock_last_us - t < CLOCK_JITTER_US)
        t = p->clock_last_us;
    p->clock_last_us = t;
    return t;
}

void clock_report(player *p, int64_t t) {
    std::lock_guard<ordered_mutex> hold(p->clock_lock);
    // Paused, the still keeps its time: a report then comes from the library
    // stepping to a picture, ahead of the one it shows. Once the input read
    // the whole media, or when it repeats the last one, a report is stale:
    // the clock runs on with the pictures.
    if (p->paused.load() || p->clock_eof || t * 1000 == p->clock_told_us)
        return;
    // Before the first picture the report only sets where the clock starts:
    // it starts running with that picture, however late it comes.
    p->clock_base_us = p->clock_told_us = t * 1000;
    if (p->clock_stamp_us)
        restamp(p, now_us());
}

void clock_rate(player *p, double r) {
    std::lock_guard<ordered_mutex> hold(p->clock_lock);
    if (p->clock_stamp_us && !p->paused.load()) {
        int64_t now = now_us();
        p->clock_base_us += ran(p, now);
        restamp(p, now);
    }
    p->rate.store(r);
}

int64_t clock_shown(player *p) {
    std::lock_guard<ordered_mutex> hold(p->clock_lock);
    return p->clock_last_us;
}

void clock_land(player *p, int64_t t_us) {
    std::lock_guard<ordered_mutex> hold(p->clock_lock);
    p->clock_base_us = t_us;
    restamp(p, 0);
    p->clock_last_us = t_us;  // a seek back by little is no jitter
    p->clock_told_us = -1;
    p->clock_eof = false;
}

void clock_input_read(player *p) {
    std::lock_guard<ordered_mutex> hold(p->clock_lock);
    p->clock_eof = true;
}

// Called before the pause is stored, so a second pause does not run it on.
void clock_hold(player *p) {
    std::lock_guard<ordered_mutex> hold(p->clock_lock);
    if (p->clock_stamp_us && !p->paused.load()) {
        int64_t now = now_us();
        p->clock_base_us += ran(p, now);
        restamp(p, now);
    }
}

// Called before the resume is stored: only a paused clock restarts its count.
void clock_resume(player *p) {
    std::lock_guard<ordered_mutex> hold(p->clock_lock);
    if (p->clock_stamp_us && p->paused.load())
        restamp(p, now_us());
}
