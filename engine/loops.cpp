// A looping load's return to its start: at the end of the media the library
// pauses on its last picture; it is asked back to the start and plays on.
// The event handler asks for it, the control thread carries it out.
#include "engine.h"

bool seek_loop(player *p) {
    if (!p->seekable.load() || p->length_ms.load() <= 0)
        return false;
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    p->seek.loop_due = true;
    raise_pending(p, PEND_SEEK);
    return true;
}

void loops_serve(player *p) {
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        if (!p->seek.loop_due)
            return;
    }
    seek_request r{CLIENT_LOOP, 0, 0, 0, false, false, true, false, false};
    if (!seek_start(p, &r))
        return;  // once the seek in flight is done
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        p->seek.loop_due = false;
    }
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->end_state.load() == END_NONE && p->generation == generation.load())
        tell_looped(++p->loops);
}

void loop_landed(player *p) { host_landed(p); }
