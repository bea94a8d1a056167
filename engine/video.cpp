// The decoder's video callbacks of every player, as the engine's display
// module calls them: the format agreement, which fits the size and lets the
// decoder write straight into the pool when nothing is to be converted, and
// the per-picture lock, unlock and display, which forward to the pool. The
// display announces each format with its first picture, gives each new
// picture its own time from its date and asks the seek machine who is to see
// it. libvlc's video output threads call them; the picture times are also
// moved by the log callback, the event handler and the control thread.
#include "engine.h"
#include "frames.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// The library shows the place it waited for its decoders for this long after
// the wait: its own allowance for waking up.
const int64_t WAKE_US = 10000;
const int64_t FRAME_US_DEFAULT = 40000;
// The start's pictures tell the lead within this of the decoders' first wait
// (MPEG-TS's delays are up to a few seconds), and the wait comes within the
// longer of the load's start: otherwise there is none.
const int64_t LEAD_WAIT_US = 3000000, START_LEAD_WAIT_US = 10000000;

player *owner(void *opaque) { return static_cast<player *>(static_cast<display_link *>(opaque)->owner); }

// Fits w x h into the largest size sent; scaled sides are made even: the
// nearest even number, halves away from zero.
void fit(unsigned *w, unsigned *h) {
    if (*w <= max_w && *h <= max_h)
        return;
    double scale = fmin(double(max_h) / *h, double(max_w) / *w);
    *w = unsigned(2 * lround(*w * scale * 0.5));
    *h = unsigned(2 * lround(*h * scale * 0.5));
    if (*w == 0)
        *w = 2;
    if (*h == 0)
        *h = 2;
}

// A picture of previews: as wide as the widest preview, its pixels square,
// so that a preview of any width is scaled down from it.
void fit_preview(unsigned *w, unsigned *h, const display_source &src) {
    double wide = double(*w) * src.sar_num / (src.sar_den ? src.sar_den : 1);
    double scale = fmin(1.0, fmin(double(PREVIEW_WIDTH_MAX) / wide, double(PICTURE_MAX_SIDE) / *h));
    *w = std::max(2u, unsigned(lround(wide * scale)));
    *h = std::max(2u, unsigned(lround(*h * scale)));
}

unsigned setup_cb(void **opaque, char *chroma, unsigned *width, unsigned *height, unsigned *pitches,
                  unsigned *lines) noexcept {
    player *p = owner(*opaque);
    display_link &link = p->link;
    if (!link.asking)
        return 0;  // the library's memory output, which would tell nothing of its pictures
    const display_source &src = link.source;
    unsigned w = *width, h = *height;  // the visible picture
    int layout = pixel_layout;
    if (p->previews)
        fit_preview(&w, &h, src);
    else
        fit(&w, &h);
    // I420 at its own size goes to the host as the decoder made it: the
    // decoder then writes into the pool, and nothing is copied.
    picture_shape shape;
    bool direct = !p->previews && layout == PIXELS_I420 && memcmp(src.chroma, "I420", 4) == 0 && w == *width &&
                  h == *height && shape_decoded(w, h, src.width, src.height, src.x, src.y, &shape) == 0;
    if (!direct && shape_packed(layout, w, h, &shape) != 0)
        return 0;  // an absurd size: the library gives up this video output
    if (pictures_setup(&p->pictures, &shape) != 0)
        return 0;
    memcpy(chroma, layout == PIXELS_I420 ? "I420" : "RV32", 4);
    link.format.direct = direct;
    for (int i = 0; i < shape.planes; i++) {
        pitches[i] = link.format.pitches[i] = shape.buffer[i].pitch;
        lines[i] = link.format.lines[i] = shape.buffer[i].lines;
    }
    *width = w;
    *height = h;
    if (src.rate_num && src.rate_den)
        p->frame_us.store(int64_t(1000000) * src.rate_den / src.rate_num);
    // The library tries formats that it may drop before any picture: the
    // format is announced with its first picture (display_cb).
    std::lock_guard<ordered_mutex> video(p->video_lock);
    p->fmt_w = w;
    p->fmt_h = h;
    p->fmt_sar = double(src.sar_num) / src.sar_den;
    return 3;
}

// Tells the host the format of pic before its frame: once per format that
// shows pictures.
void announce(player *p, const picture *pic) {
    if (p->previews)
        return;  // the previews' pictures have a size of their own
    std::lock_guard<ordered_mutex> video(p->video_lock);
    if (pic->shape.width != p->fmt_w || pic->shape.height != p->fmt_h)
        return;  // a picture of an earlier format, announced with it
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

void *lock_cb(void *opaque, void **planes) noexcept { return pictures_lock(&owner(opaque)->pictures, planes); }

void unlock_cb(void *, void *picture, void *const *) noexcept {
    pictures_unlock(static_cast<struct picture *>(picture));
}

// Two pictures played one after the other, gap_us apart in the media: uneven
// once any two are not whole pictures apart; times_lock held.
void note_gap(player *p, int64_t gap_us) {
    int gaps = p->gaps.load();
    if (gaps == GAPS_UNEVEN)
        return;
    int64_t frame = frame_duration_us(p), pictures = std::llround(double(gap_us) / double(frame));
    if (pictures < 1 || std::llabs(gap_us - pictures * frame) > 1000)
        gaps = GAPS_UNEVEN;
    else if (pictures > 1)
        gaps = GAPS_WHOLE;
    else if (gaps == GAPS_UNKNOWN)
        gaps = GAPS_EVEN;
    p->gaps.store(gaps);
    p->times.gridded = gaps != GAPS_UNEVEN;
}

void display_cb(void *opaque, void *picture) noexcept {
    player *p = owner(opaque);
    auto *pic = static_cast<struct picture *>(picture);
    const display_shown shown = p->link.shown;  // the module wrote it on this thread
    if (!pic || p->silenced.load() || p->end_state.load() != END_NONE)
        return;  // nothing after the end: the library shows its last picture again
    announce(p, pic);
    bool fresh = shown.flags & SHOWN_NEW, forced = shown.flags & SHOWN_FORCED;
    int64_t date = forced ? 0 : shown.date_us;
    std::lock_guard<ordered_mutex> show(p->show_lock);
    picture_news n{fresh, forced, date != 0, p->paused.load() != 0, false, 0, false};
    n.stale = shown.seeks != p->link.seeks.load();
    int64_t own = 0;
    int64_t landed_ms = 0;
    bool send = true, quiet = false;
    int verdict = seek_picture(p, &n, date, &own, &landed_ms, &send, &quiet);
    // The paused still drawn again with other subtitles is news to the host.
    if (verdict == VERDICT_HIDE && (shown.flags & SHOWN_REDRAWN) && seek_still_redrawn(p))
        verdict = VERDICT_TELL;
    uint64_t sent = 0;
    if (fresh)
        p->shown_timed.store(n.placed || verdict == VERDICT_LAND || verdict == VERDICT_LAND_KEPT);
    if (verdict == VERDICT_LAND_KEPT) {
        // The picture kept back is the landing, sent now at its time; this
        // one follows it.
        int64_t at = landed_ms * 1000;
        {
            std::lock_guard<ordered_mutex> hold(p->times_lock);
            timeline_shown(&p->times, 0, at);
            timeline_shown(&p->times, date, own);
        }
        uint64_t landing = quiet ? 0 : pictures_resend(&p->pictures, p->generation, &p->mark_frame, at, true);
        if (!quiet)
            pictures_keep(&p->pictures, false);
        uint64_t next = pictures_show(&p->pictures, pic, p->generation, send, &p->mark_frame, own);
        if (quiet) {
            seek_probe_kept(p);
        } else {
            p->still_us.store(at);
            // Sent in its place, this one carries the mark: it is the landing.
            seek_sent(p, true, landing, landed_ms);
            if (!(landing & PICTURE_QUEUED) && next)
                seek_sent(p, false, next, (own + 500) / 1000);
        }
        return;
    }
    if (verdict == VERDICT_LAND)
        own = landed_ms * 1000;
    // A picture hidden on the way to a seek's place is on no clock of the
    // pictures that follow; one hidden after it, while the library settles
    // for a paused host, is the still it shows again when resumed.
    if (n.placed || verdict == VERDICT_LAND) {
        std::lock_guard<ordered_mutex> hold(p->times_lock);
        if (fresh && date && p->times.last_date)
            note_gap(p, own - p->times.last_us);
        if (fresh)
            timeline_shown(&p->times, date, own);
        else
            timeline_again(&p->times, date);
    }
    // Shown again, a picture goes to the host only when the host never had
    // it; with other subtitles drawn in, the module made it a picture anew.
    bool told = send && (verdict == VERDICT_TELL || verdict == VERDICT_LAND) && (fresh || p->shown_timed.load());
    sent = pictures_show(&p->pictures, pic, p->generation, told, &p->mark_frame, own);
    if (sent)
        p->still_us.store(own);
    if (verdict == VERDICT_KEEP || (verdict == VERDICT_LAND && quiet))
        pictures_keep(&p->pictures, true);  // it may be the landing; a probe's is, for its client
    if (verdict == VERDICT_LAND && quiet)
        seek_probe_kept(p);
    if (told)
        seek_sent(p, verdict == VERDICT_LAND, sent, (own + 500) / 1000);
}

}  // namespace

void video_attach(player *p) {
    p->link.magic = DISPLAY_LINK_MAGIC;
    p->link.version = DISPLAY_LINK_VERSION;
    p->link.owner = p;
    timeline_start(&p->times, 0);  // the load's first picture, unless it starts elsewhere
    libvlc_video_set_callbacks(p->mp, lock_cb, unlock_cb, display_cb, &p->link);
    libvlc_video_set_format_callbacks(p->mp, setup_cb, cleanup_cb);
}

int64_t frame_duration_us(const player *p) {
    int64_t f = p->frame_us.load();
    return f > 0 ? f : FRAME_US_DEFAULT;
}

void times_start(player *p, int64_t start_us) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    bool measure = p->times.measure;
    timeline_start(&p->times, start_us);
    p->times.measure = measure;
}

bool times_of(player *p, bool fresh, int64_t date, int64_t *own) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    if (!fresh)
        return *own = p->times.last_us, true;
    return timeline_time(&p->times, date, frame_duration_us(p), own);
}

int64_t times_on_grid(player *p, int64_t own_us) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    return timeline_on_grid(&p->times, own_us, frame_duration_us(p));
}

void times_wait(player *p, int64_t own_us, int64_t at) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    timeline_wait(&p->times, own_us, at + WAKE_US);
    if (!p->lead_given_up_us)
        p->lead_given_up_us = at + LEAD_WAIT_US;
}

void times_resumed(player *p, int64_t at) {
    int64_t since = p->paused_us.load();
    if (!since)
        return;
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    timeline_resumed(&p->times, at - since);
}

void times_reset(player *p) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    timeline_reset(&p->times);
}

void times_rate(player *p, double r) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    timeline_rate(&p->times, r);
}

int64_t times_last(player *p) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    return p->times.last_us;
}

int64_t times_report(player *p, int64_t library_ms) {
    int64_t now = now_us();
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    int64_t lead = timeline_report(&p->times, library_ms * 1000, now, frame_duration_us(p));
    if (lead >= 0 || !p->times.measure)
        return std::max<int64_t>(lead, 0) / 1000;
    return p->lead_given_up_us && now >= p->lead_given_up_us ? 0 : -1;
}

int64_t times_lead_ms(player *p) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    const timeline &t = p->times;
    if (!t.measure || t.lead_us >= 0)
        return std::max<int64_t>(t.lead_us, 0) / 1000;
    // No picture told it by then: there is none to take off.
    return p->lead_given_up_us && now_us() >= p->lead_given_up_us ? 0 : -1;
}

int64_t times_clock_lead_ms(player *p) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    return p->times.measure ? std::max<int64_t>(p->times.lead_us, 0) / 1000 : 0;
}

bool times_measured(player *p) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    return p->times.measure;
}

void times_may_lead(player *p) {
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    p->times.measure = true;
    if (!p->lead_given_up_us)
        p->lead_given_up_us = now_us() + START_LEAD_WAIT_US;
}
