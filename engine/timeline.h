// Picture times: what makes a picture's date on the library's clock its own
// time in the media. Pure: the player's video code keeps one timeline under
// its times_lock and feeds it what the library says and shows.
#pragma once

#include <cstdint>

// Times are µs. A date is the library's display date of a picture (its
// monotonic clock); 0 stands for none: a picture shown at once, off its clock.
struct timeline {
    // A picture's own time and its date: a dated picture after it is as far
    // from it as their dates are, at the speed in force. Date 0: none.
    int64_t anchor_us, anchor_date;
    // Where the library put playback at its last wait for the decoders, and
    // the date it gave that place: a dated picture before any anchor is as far
    // from it. Date 0: none.
    int64_t wait_us, wait_date;
    int64_t first_us;            // the time of the load's first picture, until it is shown; -1 none
    bool starting;               // the next picture is the timeline's first
    int64_t undated_us;          // the time of the timeline's first picture when that had no date; -1 none
    int64_t last_us, last_date;  // the last new picture's time and date (0 undated)
    int64_t lead_us;             // how far the library's times run ahead of the pictures' own: -1 until known
    bool measure;                // the demuxer's clock may stand off its pictures: measured at a timeline's start
    bool rebase;                 // the speed changed: the library's next report anchors the pictures
    bool resumed;                // resumed after a pause measured here: the next picture anchors them
    int64_t grid_us;             // a dated picture's time, kept across seeks: the others are pictures from it; -1 none
    bool gridded;                // the pictures played came whole pictures apart: the grid holds for all
    double rate;                 // the speed the dates run at
};

// A timeline whose first picture is at start_us.
void timeline_start(timeline *t, int64_t start_us);
// The own time of a new picture of this date; false when the timeline
// cannot tell (no date and not its first picture). frame_us: a picture's
// duration, the distance from an undated first picture to the next where
// the demuxer's clock is measured.
bool timeline_time(const timeline *t, int64_t date, int64_t frame_us, int64_t *own);
// A new picture of date was shown at own: the pictures after it follow it.
void timeline_shown(timeline *t, int64_t date, int64_t own);
// The last picture shown again with date: at a resume the library moves its
// date by the pause's length, and the pictures after it follow from there.
void timeline_again(timeline *t, int64_t date);
// The library waited for its decoders: own_us shows at date.
void timeline_wait(timeline *t, int64_t own_us, int64_t date);
// The library resumed after a pause of paused_us: it moves every date by
// that much, and the pictures after it follow from there.
void timeline_resumed(timeline *t, int64_t paused_us);
// A seek: nothing of the place before holds; the next picture is its first.
void timeline_reset(timeline *t);
// own_us on the grid of the pictures played: its nearest point where they
// came whole pictures apart, else one a millisecond early or two late, else
// itself.
int64_t timeline_on_grid(const timeline *t, int64_t own_us, int64_t frame_us);
// The date a picture of own_us is shown at, on the clock the pictures follow;
// 0 when none is known yet.
int64_t timeline_date(const timeline *t, int64_t own_us);
// The dates run at the speed r from the last picture on.
void timeline_rate(timeline *t, double r);
// The library said playback is at library_us at date now: how far its times
// run ahead of the pictures' own is measured from the first such report on an
// anchored timeline, where the demuxer's clock is not measured otherwise.
// After a change of speed reports anchor the pictures until one agrees with
// them within half a picture (frame_us): the library's clock moved its origin.
// The lead (µs) once known, else -1.
int64_t timeline_report(timeline *t, int64_t library_us, int64_t now, int64_t frame_us);
