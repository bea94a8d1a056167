// Seeking: the seek command, the landing rule tested by the control loop and
// by the time-changed event, the 5-second deadline, and a load's start
// position. The library reports no seek completion, so landing is inferred.
#include "engine.h"
#include "json.h"

#include <cmath>

namespace {

const int64_t SEEK_DEADLINE_US = 5000000;
// How far short of a seek's target a report may be and still be its landing:
// the picture at the target is decoded from the key frame before it.
const double SEGMENT_SHORT_MS = 1000;
// The library keeps times in microseconds and adds its own offsets to them,
// and a frame's time is kept in microseconds too: a target beyond this would
// overflow on the way. It is still far beyond the end of any media.
const double SEEK_MAX_MS = double(INT64_MAX / 2000);

}  // namespace

bool landed(double v, double origin, double target) { return std::fabs(v - origin) >= std::fabs(v - target); }

bool landed_at(const player *p, int64_t t) {
    double ran = p->paused.load() ? 0 : double(now_us() - p->refill_at_us.load()) / 1000;
    // Anywhere from the target to where playback from it has come since is
    // the target. A segmented stream first reports the start of the segment
    // it decodes from: a time that far short of the target is not there yet.
    double v = double(t), target = p->seek_target.load();
    double off = v < target ? target - v : v > target + ran ? v - target - ran : 0;
    return std::fabs(v - p->seek_origin.load()) >= off && (v >= target - SEGMENT_SHORT_MS || ran <= 0);
}

void land(player *p, int64_t t, int state) {
    // Decided under the lock that numbers seeks: a landing of a seek that a
    // later one has replaced is neither told nor marked on a picture.
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    if (seek_id(state) != p->seek_issued)
        return;
    t = clock_land(p, t);
    p->landed_ms.exchange(t);
    p->time_ms.exchange(t);
    if (p->vouts.load() != 0)
        p->mark_frame.store(seek_id(state) | 1);  // never 0, which means none
    p->pending |= PEND_LANDED;
    ctl_wake.notify_one();
}

namespace {

// Numbers a new seek of the given kind and forgets whatever the previous one
// left: its landing not yet told, and its mark not yet on a picture.
int next_seek(player *p, int kind) {
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    // Ids run through the bits above the kind and never make 0.
    int id = (p->seek_issued + (SEEK_KIND + 1)) & ~SEEK_KIND & INT32_MAX;
    p->seek_issued = id ? id : SEEK_KIND + 1;
    p->pending &= ~PEND_LANDED;
    p->mark_frame.store(0);
    return p->seek_issued | kind;
}

}  // namespace

void cmd_seek(const command *c, long long id) {
    const entry *ms = field(c, "ms", KIND_NUMBER);
    const entry *pos = field(c, "pos", KIND_NUMBER);
    player *p = cur;
    if (!p || !p->media || !p->seekable.load() || !ms == !pos) {
        tell_ack(id, false);
        return;
    }
    // Target and origin are written while no seek is in flight and the state
    // last, so a landing test never sees a half-written seek. The state goes
    // before the library call, which may empty the buffers at once; the time
    // at the target that the library then reports is an echo of the request,
    // not a landing, which waits for the buffers to fill again.
    if (ms) {
        if (ms->number < 0 || p->length_ms.load() <= 0) {
            tell_ack(id, false);
            return;
        }
        double target = std::fmin(ms->number, SEEK_MAX_MS);
        p->seek_state.exchange(SEEK_NONE);
        int state = next_seek(p, SEEK_BY_TIME);
        p->seek_target.exchange(target);
        p->seek_origin.exchange(double(p->time_ms.load()));
        p->seek_phase.exchange(seek_id(state) | SEEK_ASKED);
        p->seek_state.exchange(state);
        libvlc_media_player_set_time(p->mp, int64_t(target));
    } else {
        if (pos->number < 0 || pos->number > 1) {
            tell_ack(id, false);
            return;
        }
        int64_t length = p->length_ms.load();
        p->seek_state.exchange(SEEK_NONE);
        int state = next_seek(p, length >= 1 ? SEEK_BY_TIME : SEEK_BY_POS);
        if (length >= 1) {
            p->seek_target.exchange(double(length) * pos->number);
            p->seek_origin.exchange(double(p->time_ms.load()));
        } else {
            p->seek_target.exchange(pos->number);
            p->seek_origin.exchange(p->position.load());
        }
        p->seek_phase.exchange(seek_id(state) | SEEK_ASKED);
        p->seek_state.exchange(state);
        libvlc_media_player_set_position(p->mp, float(pos->number));
    }
    p->seek_deadline_us = now_us() + SEEK_DEADLINE_US;
    p->start_pos = -1.0;  // the host's own seek outranks the load's start
    tell_ack(id, true);
}

void check_landing(player *p) {
    int64_t t = libvlc_media_player_get_time(p->mp);
    int s = p->seek_state.load(), seen = s;
    // The library's time is its echo of the target until it reports again:
    // playing, the first pictures after the refill may still be from before
    // the seek, and only a time report tells that playback moved. Paused, it
    // reports nothing, and the refill is all there is to wait for.
    if (seek_kind(s) == SEEK_BY_TIME && p->paused.load() && p->seek_phase.load() == (seek_id(s) | SEEK_REFILLED) &&
        landed_at(p, t) && p->seek_state.compare_exchange_strong(s, SEEK_NONE)) {
        land(p, t, seen);
        return;
    }
    // Position seeks are compared in the time event only; here just the deadline.
    s = seen = p->seek_state.load();
    if (s != SEEK_NONE && now_us() >= p->seek_deadline_us && p->seek_state.compare_exchange_strong(s, SEEK_NONE))
        land(p, t, seen);
}

void apply_start_pos(player *p) {
    if (p->start_pos < 0)
        return;
    if (p->seekable.load())
        libvlc_media_player_set_position(p->mp, float(p->start_pos));
    else
        tell_refusal(REFUSED_START_POS, nullptr, 0);
    p->start_pos = -1.0;
}

void report_landing(player *p) {
    // Under the gate the end cannot slip in between: once the media ended or
    // stopped, the host has its answer and hears of no landing.
    {
        std::lock_guard<ordered_mutex> gate(gate_lock);
        if (p->end_state.load() != END_NONE)
            return;
        tell_seek_landed(p->landed_ms.load());
    }
    // Paused right after playing, the library may keep showing a picture
    // decoded before the seek and never decode one at the new position;
    // asked once more for the same time, it does. (A frame step would too,
    // but it moves the library's time on by up to a key frame's distance.)
    if (p->paused.load() && p->vouts.load() && p->length_ms.load() > 0)
        libvlc_media_player_set_time(p->mp, p->landed_ms.load());
}
