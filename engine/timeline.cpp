// Picture times from the library's dates: one anchor a timeline, from where
// the library said playback is, and each picture as far from it as its date.
#include "timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

int64_t run(const timeline *t, int64_t from_us, int64_t from_date, int64_t date) {
    return from_us + int64_t(double(date - from_date) * t->rate);
}

}  // namespace

void timeline_start(timeline *t, int64_t start_us) {
    *t = {};
    t->first_us = t->last_us = start_us;
    t->starting = true;
    t->undated_us = t->lead_us = t->grid_us = -1;
    t->rate = 1.0;
}

namespace {

// No picture after a timeline's first is before the media's start: one timed
// so came from a clock start heard late (the pause a loop's return waits
// in), and is the one after the last. True.
bool after_start(const timeline *t, int64_t frame_us, int64_t *own) {
    if (!t->starting && *own < 0 && frame_us > 0)
        *own = t->last_us + frame_us;
    return true;
}

}  // namespace

bool timeline_time(const timeline *t, int64_t date, int64_t frame_us, int64_t *own) {
    if (date && t->anchor_date) {
        *own = run(t, t->anchor_us, t->anchor_date, date);
        // After a resume the dates moved by a pause measured here, a moment
        // off the library's own: a picture a whole number of pictures after
        // the last is that.
        if (t->resumed && frame_us > 0 && t->last_date) {
            int64_t k = (*own - t->last_us + frame_us / 2) / frame_us, grid = t->last_us + k * frame_us;
            if (k >= 1 && std::llabs(*own - grid) <= 1000)
                *own = grid;
        }
        return after_start(t, frame_us, own);
    }
    // Where the demuxer's clock may stand off the pictures, the load's first
    // picture is at its start, and the one after an undated first a picture
    // on; elsewhere a picture is where the wait says. The library shows the
    // decoder's first undated: a dated first is the next, that one lost (a
    // paused start on a busy machine).
    if (t->measure && t->starting && t->first_us >= 0) {
        *own = t->first_us + (date ? frame_us : 0);
        return true;
    }
    if (date && t->wait_date) {
        if (t->measure && t->undated_us >= 0) {
            *own = t->undated_us + frame_us;
            return true;
        }
        // The wait's instant is the log line's (or the pause's, as told), a
        // moment off the library's: the first dated picture is on the grid
        // of the pictures played before, when it is that near to it, else on
        // the millisecond.
        int64_t at = run(t, t->wait_us, t->wait_date, date);
        *own = timeline_on_grid(t, at, frame_us);
        if (*own == at)
            *own = (*own + 500) / 1000 * 1000;
        return after_start(t, frame_us, own);
    }
    if (t->first_us >= 0) {
        *own = t->first_us;
        return true;
    }
    return false;
}

void timeline_shown(timeline *t, int64_t date, int64_t own) {
    if (date && (!t->anchor_date || t->resumed)) {
        // The first dated picture after an undated one, where the demuxer's
        // clock is measured: how far the wait's place lay off it is the lead.
        if (t->lead_us < 0 && t->measure && t->wait_date)
            t->lead_us = run(t, t->wait_us, t->wait_date, date) - own;
        t->anchor_us = own;
        t->anchor_date = date;
        t->resumed = false;
        t->grid_us = own;
    }
    if (t->starting && !date)
        t->undated_us = own;
    t->starting = false;
    t->first_us = -1;
    t->last_us = own;
    t->last_date = date;
}

void timeline_again(timeline *t, int64_t date) {
    if (date && t->last_date && date != t->last_date && t->anchor_date) {
        t->anchor_us = t->last_us;
        t->anchor_date = t->last_date = date;
        t->resumed = false;  // the library's own word on the pause
    }
}

void timeline_resumed(timeline *t, int64_t paused_us) {
    t->resumed = true;
    if (t->anchor_date)
        t->anchor_date += paused_us;
    if (t->wait_date)
        t->wait_date += paused_us;
}

void timeline_wait(timeline *t, int64_t own_us, int64_t date) {
    t->wait_us = own_us;
    t->wait_date = date;
}

void timeline_reset(timeline *t) {
    t->anchor_date = t->wait_date = t->last_date = 0;
    t->rebase = t->resumed = false;
    t->first_us = t->undated_us = -1;
    t->starting = true;
    if (t->lead_us < 0)
        t->lead_us = 0;  // not measured by now: a seek's pictures would tell of the seek
}

int64_t timeline_report(timeline *t, int64_t library_us, int64_t now, int64_t frame_us) {
    if (t->rebase) {
        // The pictures cannot tell the lead across a change of speed: none.
        // The pictures the library had dated before the change go at the speed
        // before; the report is where the new one put playback. Anchored on
        // reports until one agrees with the pictures.
        if (t->lead_us < 0)
            t->lead_us = 0;
        int64_t there = library_us - t->lead_us;
        // A report that lags the pictures shown puts none of them back:
        // playback is at least where the last one's date says.
        if (t->last_date)
            there = std::max(there, run(t, t->last_us, t->last_date, now));
        if (t->anchor_date && std::llabs(run(t, t->anchor_us, t->anchor_date, now) - there) <= frame_us / 2) {
            t->rebase = false;
        } else {
            t->anchor_us = there;
            t->anchor_date = now;
        }
    }
    if (t->lead_us < 0 && !t->measure && t->anchor_date) {
        // In whole milliseconds, as the library reports; a smaller difference
        // is the report's own rounding.
        int64_t lead = (library_us - run(t, t->anchor_us, t->anchor_date, now) + 500) / 1000 * 1000;
        t->lead_us = lead > -2000 && lead < 2000 ? 0 : lead;
    }
    return t->lead_us;
}

int64_t timeline_on_grid(const timeline *t, int64_t own_us, int64_t frame_us) {
    if (t->grid_us < 0 || frame_us <= 0)
        return own_us;
    int64_t grid = t->grid_us + std::llround(double(own_us - t->grid_us) / double(frame_us)) * frame_us;
    // Where they keep to it, the nearest point is the picture: a busy
    // machine hears the clock's start a good part of a picture off.
    if (t->gridded)
        return grid;
    // The wait's instant is heard before the library takes its clock's start
    // (it tidies its outputs in between, slowly on a busy machine): a time
    // from it runs late rather than early. Where pictures come off the grid
    // their duration is only an average: a grid point further off is chance.
    int64_t off = own_us - grid;
    return off >= -1000 && off <= 2000 ? grid : own_us;
}

int64_t timeline_date(const timeline *t, int64_t own_us) {
    if (t->anchor_date)
        return t->anchor_date + int64_t(double(own_us - t->anchor_us) / t->rate);
    if (t->wait_date)
        return t->wait_date + int64_t(double(own_us - t->wait_us) / t->rate);
    return 0;
}

void timeline_rate(timeline *t, double r) {
    if (t->last_date) {
        t->anchor_us = t->last_us;
        t->anchor_date = t->last_date;
    }
    t->rate = r;
    t->rebase = true;
}
