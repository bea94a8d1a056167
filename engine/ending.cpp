// The end of a load, in one place. The library ends a media in many ways: it
// pauses on the last picture at the natural end and then stops by itself,
// its input gives up (EndReached), it fails, a seek's input reads to the end
// of the file. Each comes here, and whatever order its events came in, the
// host hears:
//
//   told                  when                                      by
//   tracks, sound         a load that played had not told them      the control loop, before the rest
//   error                 the library failed, or the source was     END_STEPS: PEND_ERROR
//                         lost (the end waits for it)
//   time at the length    the natural end, the last time told       tell_ending
//                         short of it
//   end                   once, at the end or when the input gave   tell_ending: at once, or held for
//                         up                                        the error and the tracks (END_STEPS)
//   error                 it ended with no stream that decodes      END_STEPS: PEND_ENDED
//   stopped               the library stopped, last                 END_STEPS: PEND_STOPPED
//   looped                a looping load at its natural end, in     ended: seek_loop
//                         place of all of these
#include "engine.h"

namespace {

// A step of the end as the control loop serves it, in this order.
struct end_step {
    int flags;  // the pending bits that call for it
    void (*serve)(player *p);
};

const end_step END_STEPS[] = {
    {PEND_ERROR, report_error},      // the error that ended the load, before its end
    {PEND_ENDED, report_held_end},   // the time at the length and the end, if held for the above
    {PEND_ENDED, check_ended},       // a load that never played: its problem, once it ended
    {PEND_ENDED, preview_close},     // no more previews of a media that ended
    {PEND_STOPPED, report_stopped},  // the stop, after everything of the load
};

// Tells the end now, or holds it for the control loop to tell after what
// must come first: the error that explains a lost source, the tracks and
// sound of a load that played so briefly that they were not told yet.
void end_or_hold(player *p) {
    if (p->lost.load() || (p->started.load() && !p->tracks_told.load()))
        p->end_held.store(1);
    else
        tell_ending(p);
}

}  // namespace

void serve_end(player *p, int flags) {
    for (const end_step &s : END_STEPS)
        if (flags & s.flags)
            s.serve(p);
}

void playback_over(player *p) {
    seek_forget(p);
    negotiation_over(p, p->had_video.load() != 0);
}

bool reach_end(player *p) {
    if (p->end_state.load() != END_NONE)
        return false;
    playback_over(p);
    p->end_state.store(END_REACHED);
    end_or_hold(p);
    return true;
}

void ended(player *p) {
    if (p->end_state.load() != END_NONE || (p->loop && seek_loop(p)))
        return;
    p->natural_end.store(1);
    reach_end(p);
    p->end_state.store(END_STOP_HELD);
    raise_pending(p, PEND_ENDED | PEND_STOPPED);
}

void tell_ending(player *p) {
    // At its natural end the media has played to its length, though the
    // library's last report may fall short of it by more than a report's step.
    int64_t length = p->length_ms.load();
    if (p->natural_end.load() && length > 0 && !is_live(p) &&
        (p->last_time_ms == INT64_MIN || length - p->last_time_ms >= THROTTLE_MS))
        report_place(p, length);
    tell_end();
}

void report_end(player *p) {
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->generation == generation.load())
        ended(p);
}

void report_held_end(player *p) {
    if (!p->end_held.load())
        return;
    if (problem what; lost_problem(p, &what))
        report_problem(p, what, nullptr);
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->end_held.exchange(0) && p->generation == generation.load())
        tell_ending(p);
}

void report_stopped(player *p) {
    std::lock_guard<ordered_mutex> gate(gate_lock);
    int held = END_STOP_HELD;
    if (p->end_state.compare_exchange_strong(held, END_STOPPED))
        tell_stopped();
}
