// Picture steps for a paused host, each a seek whose landing is told as the
// step's: forward to the first picture after the host's still, back to the
// one that shows the moment before it, looked at unseen and then sent.
// Should a look back show the still again (times a moment off), it looks
// further back, then walks forward, unseen, to the last picture before the
// still. The control thread starts each move; the seek machine says where
// each landed.
#include "engine.h"

#include <algorithm>

namespace {

enum { WALK_NONE, WALK_BACK, WALK_FORWARD, WALK_FINAL };
const int WALK_MAX = 64;  // pictures walked forward before taking the last found

int64_t frame_ms(const player *p) { return std::max<int64_t>(1, frame_duration_us(p) / 1000); }

// A landing at ms is the still, or after it.
bool at_still(const player *p, int64_t ms) { return ms >= p->seek.step_from_ms; }

seek_request step_to(const player *p, int64_t ms, bool quiet, bool next = false) {
    return {CLIENT_STEP, p->seek.step_id, double(std::max<int64_t>(ms, 0)), 0, true, quiet, false, true, next};
}

}  // namespace

bool seek_step(player *p, long long id, bool back) {
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        s.host_id = id;
        s.host_open = true;
        s.pending = false;  // a step replaces a seek that waits, and a step that does
        s.step_due = back ? -1 : 1;
        s.step_id = id;
    }
    raise_pending(p, PEND_SEEK);
    return true;
}

void steps_serve(player *p) {
    seek_request r;
    bool walking;
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        walking = s.walk_due;
        if (walking) {
            r = s.walk_req;
        } else {
            if (!s.step_due || s.machine.phase == SEEKER_ASKED || !p->paused.load())
                return;
            s.step_from_ms = (p->still_us.load() + 500) / 1000;  // the host's still
            s.walk = s.step_due < 0 ? WALK_BACK : WALK_NONE;
            s.walk_found_ms = -1;
            s.walk_span_ms = 1;  // the picture that shows the moment before the still
            r = s.walk ? step_to(p, s.step_from_ms - s.walk_span_ms, true) : step_to(p, s.step_from_ms, false, true);
        }
    }
    if (!seek_start(p, &r))
        return;  // once the library is done with the seek before
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    if (walking)
        p->seek.walk_due = false;
    else
        p->seek.step_due = 0;
}

void step_landed(player *p) {
    seek_request r{};
    bool told;
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        int64_t ms = s.machine.landed_ms;
        switch (s.walk) {
        case WALK_BACK:
            if (!at_still(p, ms) && s.walk_span_ms == 1) {
                // The first look found the picture before the still: it was
                // kept back unseen, and goes to the host now.
                s.walk = WALK_NONE;
                s.still = true;  // what the library shows after it is no news
                p->mark_frame.store(mark_of(s.step_id));
                if (pictures_resend(&p->pictures, p->generation, &p->mark_frame, ms * 1000, true))
                    p->still_us.store(ms * 1000);
            } else if (!at_still(p, ms)) {
                s.walk_found_ms = ms;  // maybe not the last before the still: walked on
                s.walk = WALK_FORWARD;
                s.walk_span_ms = 0;
                r = step_to(p, ms + frame_ms(p), true);
            } else if (s.step_from_ms - s.walk_span_ms > 0) {
                s.walk_span_ms = s.walk_span_ms == 1 ? frame_ms(p) : s.walk_span_ms * 4;
                r = step_to(p, s.step_from_ms - s.walk_span_ms, true);
            } else {
                s.walk = WALK_FINAL;  // nothing before the still: it stays
                r = step_to(p, s.step_from_ms, false);
            }
            break;
        case WALK_FORWARD:
            if (!at_still(p, ms) && ++s.walk_span_ms < WALK_MAX) {
                s.walk_found_ms = ms;
                r = step_to(p, ms + frame_ms(p), true);
            } else {
                s.walk = WALK_FINAL;  // the last before the still, shown
                r = step_to(p, s.walk_found_ms, false);
            }
            break;
        default:
            s.walk = WALK_NONE;  // a step forward, or the walk's last move
        }
        told = s.walk == WALK_NONE;
        s.walk_due = !told;
        s.walk_req = r;
    }
    if (told)
        host_landed(p);
    else
        steps_serve(p);
}
