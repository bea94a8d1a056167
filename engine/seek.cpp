// Seeking: the seek command, the landing rule tested by the control loop and
// by the time-changed event, the 5-second deadline, and a load's start
// position. The library reports no seek completion, so landing is inferred.
#include "engine.h"
#include "json.h"

#include <cmath>

namespace {

const int64_t SEEK_DEADLINE_US = 5000000;
// The library answers a seek request at once by reporting the requested time
// as its own, before it has moved; its time means something only from the
// control loop's first poll on.
const int64_t SEEK_SETTLE_US = 100000;
// The library keeps times in microseconds and adds its own offsets to them,
// and a frame's time is kept in microseconds too: a target beyond this would
// overflow on the way. It is still far beyond the end of any media.
const double SEEK_MAX_MS = double(INT64_MAX / 2000);

}  // namespace

bool landed(double v, double origin, double target) {
    return std::fabs(v - origin) >= std::fabs(v - target);
}

void land(player *p, int64_t t) {
    p->landed_ms.exchange(t);
    p->time_ms.exchange(t);
    clock_land(p, t);
    if (p->vouts.load() != 0)
        p->mark_frame.fetch_or(1);
    raise_pending(p, PEND_LANDED);
}

void cmd_seek(const command *c, long long id) {
    const entry *ms = field(c, "ms", KIND_NUMBER);
    const entry *pos = field(c, "pos", KIND_NUMBER);
    if (!cur->media || !cur->seekable.load() || !ms == !pos) {
        ack(id, false);
        return;
    }
    // Target and origin are written while no seek is in flight and the state
    // last, so a landing test never sees a half-written seek. The state also
    // follows the library call: the time event at the target that the call
    // itself delivers is an echo of the request, not a landing.
    if (ms) {
        if (ms->number < 0 || cur->length_ms.load() <= 0) {
            ack(id, false);
            return;
        }
        double target = std::fmin(ms->number, SEEK_MAX_MS);
        cur->seek_state.exchange(SEEK_NONE);
        cur->seek_target.exchange(target);
        cur->seek_origin.exchange(double(cur->time_ms.load()));
        libvlc_media_player_set_time(cur->mp, int64_t(target));
        cur->seek_state.exchange(SEEK_BY_TIME);
    } else {
        if (pos->number < 0 || pos->number > 1) {
            ack(id, false);
            return;
        }
        int64_t length = cur->length_ms.load();
        cur->seek_state.exchange(SEEK_NONE);
        if (length >= 1) {
            cur->seek_target.exchange(double(length) * pos->number);
            cur->seek_origin.exchange(double(cur->time_ms.load()));
        } else {
            cur->seek_target.exchange(pos->number);
            cur->seek_origin.exchange(cur->position.load());
        }
        libvlc_media_player_set_position(cur->mp, float(pos->number));
        cur->seek_state.exchange(length >= 1 ? SEEK_BY_TIME : SEEK_BY_POS);
    }
    cur->seek_deadline_us = now_us() + SEEK_DEADLINE_US;
    ack(id, true);
}

void check_landing() {
    int64_t t = libvlc_media_player_get_time(cur->mp);
    int s = cur->seek_state.load();
    bool settled = now_us() >= cur->seek_deadline_us - SEEK_DEADLINE_US + SEEK_SETTLE_US;
    if (s == SEEK_BY_TIME && settled && landed(double(t), cur->seek_origin.load(), cur->seek_target.load()) &&
        cur->seek_state.compare_exchange_strong(s, SEEK_NONE)) {
        land(cur, t);
        return;
    }
    // Position seeks are compared in the time event only; here just the deadline.
    s = cur->seek_state.load();
    if (s != SEEK_NONE && now_us() >= cur->seek_deadline_us &&
        cur->seek_state.compare_exchange_strong(s, SEEK_NONE))
        land(cur, t);
}

void apply_start_pos() {
    if (cur->start_pos >= 0) {
        libvlc_media_player_set_position(cur->mp, float(cur->start_pos));
        cur->start_pos = -1.0;
    }
}

void tell_landed() {
    emit("{\"type\":\"seekLanded\",\"ms\":%lld}", static_cast<long long>(cur->landed_ms.load()));
}
