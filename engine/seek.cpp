// Seeking: each player's seek machine (seeker.cpp) fed with what the
// library's threads report, its library calls, and the host's seek, the
// client whose landing is told as seekLanded. The display reports pictures,
// the log callback the decoders' wait and the end of the input, the event
// handler pauses and the end of the media; the control thread asks the
// library in seek_start and hands landings to their clients in seek_serve.
#include "engine.h"
#include "json.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// A seek waits for the start's first wait for the decoders, whose line would
// otherwise pass for its own; a start that never gets there, no longer than this.
const int64_t START_WAIT_US = 1000000;
const int64_t SEEK_RECENT_US = 1500000;
// The library keeps times in microseconds and adds its own offsets to them: a
// target beyond this would overflow on the way. It is far beyond any media.
const double SEEK_MAX_MS = double(INT64_MAX / 2000);
// A landing whose frame could not be queued waits for the next picture sent
// to carry its mark; a library that shows none (paused, stalled, at its end)
// has it told without a frame after this.
const int64_t UNSENT_WAIT_US = 1000000;
// How often a seek that waits for the lead looks again.
const int64_t LEAD_POLL_US = 20000;

// Mirrors the machine's phase, and when the control loop must look; seek_lock held.
void mirror(player *p) {
    seeking &s = p->seek;
    s.phase.store(s.machine.phase);
    const seeker &m = s.machine;
    int64_t due = m.phase == SEEKER_ASKED || (!m.settled && (s.pending || s.step_due)) ? m.deadline_us : 0;
    if (m.phase == SEEKER_ASKED && m.kept == KEPT_DATED && m.passed_us)
        due = std::min(due, m.passed_us);
    if (s.pending && !s.start_waited)
        due = due ? std::min(due, s.started_us + START_WAIT_US) : s.started_us + START_WAIT_US;
    if (s.pending && s.lead_wait)
        due = due ? std::min(due, now_us() + LEAD_POLL_US) : now_us() + LEAD_POLL_US;
    if (m.phase == SEEKER_LANDED && s.unsent)
        due = due ? std::min(due, s.unsent_us + UNSENT_WAIT_US) : s.unsent_us + UNSENT_WAIT_US;
    s.due_us.store(due);
}

// The landing is to be handed to its client by the control loop; seek_lock held.
void landed(player *p) {
    p->seek.told_due = true;
    raise_pending(p, PEND_SEEK);
}

// The landing's frame was not queued: the next picture sent carries its mark,
// or it is told without one; seek_lock held.
void land_unsent(player *p) {
    p->seek.unsent = true;
    p->seek.unsent_us = now_us();
}

// The landing told without its frame, whose mark no later picture takes;
// seek_lock held.
void land_frameless(player *p) {
    p->seek.unsent = false;
    p->mark_frame.store(0);
    landed(p);
}

// The instant the library's clock starts from at its wait: paused, the
// moment it paused.
int64_t wait_instant(const player *p) { return p->paused.load() ? p->paused_us.load() : now_us(); }

// A dated picture kept where pictures hold for longer is the landing once
// the library's clock is past the place with no picture after it: when that
// is, once the clock is known; seek_lock held.
void note_passing(player *p) {
    seeker &m = p->seek.machine;
    if (m.phase != SEEKER_ASKED || m.kept != KEPT_DATED || m.even || m.req.target_ms < 0)
        return;
    int64_t at;
    {
        std::lock_guard<ordered_mutex> hold(p->times_lock);
        at = timeline_date(&p->times, int64_t(m.req.target_ms * 1000) + 1);
    }
    m.passed_us = at ? at + SEEK_LATE_US : 0;
    if (m.passed_us)
        raise_pending(p, PEND_SEEK);  // the control loop looks again then, paused and told nothing else
}

// The picture on display, or the one kept back, sent again as a landing at
// ms: the host's still once queued, and at ms from now on, when shown again
// too. What the pool says of the frame.
uint64_t resend_at(player *p, int64_t ms, bool kept) {
    uint64_t sent = pictures_resend(&p->pictures, p->generation, &p->mark_frame, ms * 1000, kept);
    if (sent)
        p->still_us.store(ms * 1000);
    std::lock_guard<ordered_mutex> hold(p->times_lock);
    timeline_shown(&p->times, 0, ms * 1000);
    p->shown_timed.store(true);
    return sent;
}

// The picture kept back lands without one after it: sent again with the
// mark, unless a probe's, whose client looks at it; show_lock and seek_lock
// held.
void land_kept(player *p) {
    seeking &s = p->seek;
    const seeker &m = s.machine;
    if (m.req.quiet)
        return landed(p);
    if (m.req.marked)
        p->mark_frame.store(mark_of(m.req.id));
    uint64_t sent = resend_at(p, m.landed_ms, true);
    pictures_keep(&p->pictures, false);
    if (!(sent & PICTURE_QUEUED) && frames_piped() && m.req.marked)
        return land_unsent(p);
    landed(p);
}

// Takes the decoders' wait the log told, once: the library's clock starts
// at the place it went to; seek_lock held.
void take_wait(player *p) {
    seeking &s = p->seek;
    int64_t count = s.waits.load();
    if (count <= s.wait_taken)
        return;
    s.wait_taken = count;
    int64_t at = s.waited_at.load();
    const seeker &m = s.machine;
    if (!s.start_waited) {
        s.start_waited = true;
        if (m.phase == SEEKER_IDLE) {
            times_wait(p, times_last(p), at);  // the load's start: its first picture's place
            if (s.pending)
                raise_pending(p, PEND_SEEK);  // the seek that waited for the start
            return;
        }
    }
    // The place the library went to is where its clock starts; a seek by
    // position has none the engine knows. The wait is the last seek's though
    // that landed before it (on the decoder's first picture, at the start).
    bool ours = m.phase == SEEKER_ASKED || (!m.waited && !m.settled);
    if (ours && m.req.target_ms >= 0) {
        // The library's time there, less the lead; asked for the start, its
        // clock starts at its own zero, the lead before the first picture.
        int64_t place = m.library_ms > 0 ? int64_t(m.library_ms * 1000) : -1000 * times_clock_lead_ms(p);
        times_wait(p, place, at);
        note_passing(p);
    }
    // The load of a player of previews has pictures, whether or not its own
    // video output was made yet.
    if (seeker_waited(&s.machine, p->vouts.load() != 0 || p->previews))
        landed(p);
    if (s.pending || s.step_due || s.loop_due || s.machine.again)
        raise_pending(p, PEND_SEEK);  // what waited for the library to be done, or asked again
}

// How long after its decoding time a key frame shows, for the library's seek
// to move from one past the place: a load's seek by time; seek_lock held.
int64_t key_delay(const player *p) {
    const seeker &m = p->seek.machine;
    return m.moves && !m.coarse && !m.req.key && m.req.target_ms >= 0 ? seeker_key_delay(&m) : 0;
}

// Asks the library for r, to library_ms when by time, its key frames showing
// delay_ms after their decoding times, its demuxer from demuxer_ms (0 the
// start, -1 as the library); no lock held, since its events may come on this
// thread.
void ask_library(player *p, const seek_request &r, double library_ms, int64_t delay_ms, double demuxer_ms) {
    // An input that read to the end of its file and was paused there stays
    // paused through a seek; played first, it gives up as if the media had
    // ended: from there, the seek first, then play.
    bool from_end = (p->at_end.exchange(0) | p->input_eof.exchange(0)) != 0;
    bool play = r.play;
    p->link.seeks.fetch_add(1);
    if (play && r.hold) {
        libvlc_audio_set_mute(p->mp, 1);  // a paused host hears nothing of it
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        p->seek.muted = true;
    }
    if (play && !from_end)
        library_pause(p, 0);
    if (r.target_ms >= 0 && library_ms <= 0)
        libvlc_media_player_set_position(p->mp, 0);  // the start, wherever a demuxer's clock starts
    else if (r.target_ms >= 0) {
        int64_t at = int64_t(library_ms) + times_clock_lead_ms(p);
        // From the demuxer's start: back by all of the library's time.
        int64_t back = demuxer_ms < 0 ? 0 : demuxer_ms > 0 ? int64_t(library_ms - demuxer_ms) : at;
        p->link.seek_delay_us.store(delay_ms * 1000);
        p->link.seek_back_us.store(back * 1000);
        p->link.seek_at_us.store(at * 1000);
        libvlc_media_player_set_time(p->mp, at);
    } else
        libvlc_media_player_set_position(p->mp, float(r.pos));
    if (play && from_end)
        library_pause(p, 0);
}

}  // namespace

bool seek_start(player *p, const seek_request *r) {
    seek_request asked = *r;
    double library = 0, demuxer = -1;
    int64_t delay = 0;
    bool unsure = first_picture_unsure(p);  // the library's call before any lock
    bool coarse = times_measured(p);
    bool lead_unknown = times_lead_ms(p) < 0;
    {
        // A picture judged before the seek went in is queued before it: the
        // first frame after the seek's ack is the landing.
        std::lock_guard<ordered_mutex> shown(p->show_lock);
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        int64_t now = now_us();
        if (!s.started_us)
            s.started_us = now;
        if (!s.start_waited && now < s.started_us + START_WAIT_US)
            return false;
        // A time asked before the lead is known would miss by the lead; it
        // is known by the next picture, or given up in a few seconds. Sound
        // alone has no pictures to tell it.
        s.lead_wait = lead_unknown && r->target_ms >= 0 && p->had_video.load();
        if (s.lead_wait)
            return false;
        // A paused library shows one picture after a seek, and that may be one
        // its decoder made before it: for a paused host it plays, muted and
        // unheard of, until the picture from the new place, and pauses again.
        // A key frame's needs no play: its picture is the first after the
        // demuxer's word, whatever its date.
        asked.play = r->play || (r->hold && !r->key);
        s.machine.frame_ms = double(frame_duration_us(p)) / 1000;
        // The load's facts before the ask, which places it by them.
        s.machine.coarse = coarse;
        s.machine.even = p->gaps.load() == GAPS_EVEN;
        s.machine.moves = p->link.filters.load() > 0;
        if (!seeker_ask(&s.machine, &asked, now))
            return false;
        library = s.machine.library_ms;
        demuxer = s.machine.demuxer_ms;
        delay = key_delay(p);
        s.machine.first_unsure = unsure;
        s.issued_us.store(now);
        s.wait_taken = std::max(s.wait_taken, s.waits.load());  // a wait before the ask is not its own
        s.unsent = false;
        s.told_due = false;
        s.still = s.past_still = s.redrawn_hidden = false;
        pictures_keep(&p->pictures, false);
        times_reset(p);
        mirror(p);
    }
    ask_library(p, asked, library, delay, demuxer);
    return true;
}

int seek_picture(player *p, picture_news *n, int64_t date, int64_t *own, int64_t *landed_ms, bool *send, bool *quiet) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    seeking &s = p->seek;
    take_wait(p);
    n->timed = times_of(p, n->fresh, date, own);
    n->own_ms = (*own + 500) / 1000;  // the nearest millisecond
    int verdict = seeker_picture(&s.machine, n);
    if (verdict == VERDICT_LAND || verdict == VERDICT_LAND_KEPT) {
        // A landing dated on the clock is on the grid of the pictures played,
        // which a busy machine's late clock may leave by a few ms.
        if (s.machine.landed_dated)
            s.machine.landed_ms = (times_on_grid(p, s.machine.landed_ms * 1000) + 500) / 1000;
        *landed_ms = s.machine.landed_ms;
        const seek_request &r = s.machine.req;
        *quiet = r.quiet;
        if (r.quiet) {
            *send = false;  // a probe: its client looks at it once it is kept, the host sees nothing
        } else if (r.marked) {
            p->mark_frame.store(mark_of(r.id));
        }
        // After a kept landing this picture follows it: the host sees it
        // unless the library is to pause on the landing.
        if (verdict == VERDICT_LAND_KEPT && r.hold && r.play)
            *send = false, s.past_still = !r.quiet;
    } else if (verdict == VERDICT_KEEP) {
        note_passing(p);
    } else if (verdict == VERDICT_HIDE && n->placed && n->fresh && p->host_paused.load()) {
        s.past_still = true;
    } else if (verdict == VERDICT_TELL && (s.pending || s.still)) {
        // The old place, once the host's seek was acked; or what a paused
        // library shows on its way to the pause, and shows again there,
        // after the host had its still.
        verdict = VERDICT_HIDE;
    }
    if (s.machine.again)
        raise_pending(p, PEND_SEEK);  // asked again, by the control loop
    mirror(p);
    return verdict;
}

void seek_probe_kept(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    if (p->seek.machine.phase == SEEKER_LANDED)
        landed(p);
}

void seek_sent(player *p, bool landing, uint64_t shown, int64_t ms) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    seeking &s = p->seek;
    if (landing) {
        // A landing's picture not queued (the pipe full) passes its mark on:
        // the next picture sent carries it and is the landing.
        if (!(shown & PICTURE_QUEUED) && frames_piped() && s.machine.req.marked)
            return land_unsent(p);
        s.machine.landed_ms = ms;
        landed(p);
    } else if (s.unsent && (shown & PICTURE_QUEUED) && (shown & MARK_SET)) {
        s.unsent = false;
        s.machine.landed_ms = ms;
        landed(p);
    }
}

void seek_waited(player *p) {
    // The instant comes first, before any lock: the display may show the
    // pictures of the new place before this line's turn.
    p->seek.waited_at.store(wait_instant(p));
    p->seek.waits.fetch_add(1);
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    take_wait(p);
    mirror(p);
}

bool seek_still_redrawn(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    seeking &s = p->seek;
    // Not when the library paused a picture past the host's still: that one
    // is not the host's.
    if (s.pending || s.past_still)
        return false;
    if (s.machine.phase == SEEKER_LANDED || s.machine.phase == SEEKER_SETTLING)
        s.redrawn_hidden = s.machine.req.hold && !s.machine.req.quiet;  // the landing, for a paused host
    return s.still && s.machine.phase == SEEKER_IDLE;
}

void seek_input_ended(player *p) {
    p->input_eof.store(1);
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    seeking &s = p->seek;
    seeker_input_ended(&s.machine);
    if (s.pending || s.step_due || s.loop_due)
        raise_pending(p, PEND_SEEK);
    mirror(p);
}

void seek_key_frame(player *p, double before_ms) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    seeker &m = p->seek.machine;
    // Told before the library's seek moved from the key frame, or after.
    int64_t moved = p->link.seek_moved_us.load();
    double was = m.word_ms;
    seeker_key_frame(&m, before_ms + double(moved) / 1000);
    if (m.word_ms != was)
        m.word_moved = moved > 0;
}

void seek_edit_shift(player *p, double shift_ms) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    seeker_edit_shift(&p->seek.machine, shift_ms);
}

void seek_drop_waiting(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    p->seek.pending = false;
    mirror(p);
}

void seek_library_paused(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    if (seeker_paused(&p->seek.machine))
        raise_pending(p, PEND_SEEK);  // the sound back
    mirror(p);
}

bool seek_at_end(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    seeking &s = p->seek;
    if (s.machine.req.hold && (s.machine.phase == SEEKER_LANDED || s.machine.phase == SEEKER_SETTLING)) {
        // Landed for a paused host near the end: the library, playing on
        // unheard of, paused at the end, which is its settling. The media
        // stays, paused on the still.
        s.machine.req.play = false;
        if (seeker_paused(&s.machine))
            raise_pending(p, PEND_SEEK);  // the sound back
        mirror(p);
        return true;
    }
    if (s.machine.phase == SEEKER_LANDED) {
        s.end_due = true;  // told after the landing
        if (s.unsent)
            land_frameless(p);  // no picture follows the end's
        return true;
    }
    seeker &m = s.machine;
    if (m.phase == SEEKER_ASKED && m.req.hold) {
        // A paused host's seek at the end: the decoder's first picture is
        // the last there is, and the library paused on it.
        int64_t last = std::max<int64_t>(0, p->length_ms.load() - frame_duration_us(p) / 1000);
        int64_t at = m.req.target_ms >= 0 ? std::min(int64_t(m.req.target_ms), last) : last;
        bool landing = seeker_last_kept(&m, at);
        if (m.again)
            raise_pending(p, PEND_SEEK);  // asked again, by the control loop
        if (landing) {
            if (m.req.marked && !m.req.quiet)
                p->mark_frame.store(mark_of(m.req.id));
            // A step forward that found no picture after the still lands on
            // the still, the last the library showed.
            if (!m.req.quiet)
                resend_at(p, m.landed_ms, m.kept != KEPT_NONE);
            landed(p);
        }
        mirror(p);
        return true;
    }
    if (seeker_cut_short(&m)) {
        raise_pending(p, PEND_SEEK);  // asked again, by the control loop
        mirror(p);
        return true;
    }
    if (seeker_ended(&s.machine))
        s.host_open = false;  // answered by the end
    s.pending = false;
    mirror(p);
    return false;
}

bool seek_hides_reports(const player *p) {
    int phase = p->seek.phase.load();
    return phase == SEEKER_ASKED || phase == SEEKER_LANDED || phase == SEEKER_SETTLING;
}

bool seek_in_flight(const player *p) { return p->seek.phase.load() != SEEKER_IDLE; }

bool seek_redraw_after(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    p->seek.redraw_due = p->seek.redraw_due || p->seek.machine.phase != SEEKER_IDLE;
    return p->seek.redraw_due;
}

bool seek_recent(const player *p) {
    // The library may land on pictures it had read before the source
    // refuses the range asked for.
    int64_t issued = p->seek.issued_us.load();
    return seek_in_flight(p) || (issued && now_us() - issued < SEEK_RECENT_US);
}

int64_t seek_landed_ms(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    return p->seek.machine.landed_ms;
}

bool seek_pause(player *p, int pause) {
    if (!pause) {
        // The picture the library paused on after the host's still goes
        // first, before the library plays on from it.
        std::lock_guard<ordered_mutex> shown(p->show_lock);
        bool past;
        {
            std::lock_guard<ordered_mutex> hold(p->seek_lock);
            past = std::exchange(p->seek.past_still, false);
        }
        int64_t at = times_last(p);
        if (past && pictures_resend(&p->pictures, p->generation, &p->mark_frame, at))
            p->still_us.store(at);
    }
    p->host_paused.store(pause);
    bool playing, settling, unmute = false;
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        seeker &m = s.machine;
        if (!pause)
            s.still = false;
        // The library plays for a paused host's seek: a pause lands on the
        // still and keeps the library paused after, a play lets it play on.
        // Settling, it was asked to pause again already: played after that.
        playing = m.req.play && m.req.hold && m.phase == SEEKER_ASKED;
        settling = m.phase == SEEKER_SETTLING;
        m.req.hold = pause != 0;
        if ((playing || settling) && !pause) {
            seeker_paused(&m);  // nothing to settle: the library plays as asked
            unmute = std::exchange(s.muted, false);
            mirror(p);
        }
    }
    if (unmute)
        libvlc_audio_set_mute(p->mp, sound_muted());
    if (!playing)
        return false;
    if (!pause)
        report_play_state(p);  // the library plays already
    return true;
}

void seek_serve(player *p) {
    int64_t library_ms = p->seek.phase.load() == SEEKER_ASKED ? libvlc_media_player_get_time(p->mp) : 0;
    {
        // Its landing queued as the display queues one.
        std::lock_guard<ordered_mutex> shown(p->show_lock);
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        if (seeker_passed(&p->seek.machine, now_us()))
            land_kept(p);
        if (p->seek.machine.phase == SEEKER_LANDED && p->seek.unsent && now_us() >= p->seek.unsent_us + UNSENT_WAIT_US)
            land_frameless(p);
        mirror(p);
    }
    int client = -1;
    bool settle = false, end = false, sound = false, again = false;
    seek_request r{};
    double library = 0, demuxer = -1;
    int64_t delay = 0;
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        if (s.machine.again && s.machine.phase == SEEKER_ASKED) {
            library = seeker_again(&s.machine, now_us());
            delay = key_delay(p);
            demuxer = s.machine.demuxer_ms;
            r = s.machine.req;
            // It plays already, as first asked, unless it paused at the end.
            r.play = p->at_end.load() || p->input_eof.load();
            again = true;
        }
        int64_t lead = std::max<int64_t>(times_lead_ms(p), 0);
        if (seeker_tick(&s.machine, now_us(), std::max<int64_t>(library_ms - lead, 0))) {
            // Nothing came in time: the library says where it is, and the
            // picture shown goes again with the mark. Playing, the next
            // picture takes the mark, and its time is the landing's.
            bool marked = s.machine.req.marked && p->vouts.load();
            if (marked)
                p->mark_frame.store(mark_of(s.machine.req.id));
            if (s.machine.req.hold)
                resend_at(p, s.machine.landed_ms, false);
            if (!s.machine.req.hold && marked && frames_piped())
                land_unsent(p);
            else
                s.told_due = true;
        }
        if (s.told_due && s.machine.phase == SEEKER_LANDED) {
            s.told_due = false;
            client = s.machine.req.client;
            settle = s.machine.req.hold && s.machine.req.play;
            s.still = s.machine.req.hold && !s.machine.req.quiet;
            seeker_taken(&s.machine, settle);
            end = s.end_due;
            s.end_due = false;
        }
        if (s.muted && s.machine.phase == SEEKER_IDLE) {
            s.muted = false;
            sound = true;  // the library settled for the paused host: its sound back
        }
        mirror(p);
    }
    if (again) {
        times_reset(p);
        ask_library(p, r, library, delay, demuxer);
    }
    switch (client) {
    case CLIENT_HOST:
        host_landed(p);
        break;
    case CLIENT_STEP:
        step_landed(p);
        break;
    case CLIENT_LOOP:
        loop_landed(p);
        break;
    case CLIENT_START:
        start_landed(p);
        break;
    case CLIENT_PREVIEW:
        preview_landed(p);
        break;
    default:
        break;
    }
    if (end)
        report_end(p);
    if (settle)
        library_pause(p, 1);
    if (sound)
        libvlc_audio_set_mute(p->mp, sound_muted());
    // What waits its turn goes once nothing is in flight.
    host_serve(p);
    steps_serve(p);
    loops_serve(p);
    bool redraw = false;
    {
        std::lock_guard<ordered_mutex> shown(p->show_lock);
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        if (s.machine.phase == SEEKER_IDLE && !s.pending) {
            // The still drawn again with other lines while it settled, which
            // the host has not seen: the picture shown is that one.
            if (std::exchange(s.redrawn_hidden, false) && s.still && !s.past_still)
                pictures_resend(&p->pictures, p->generation, &p->mark_frame, p->still_us.load());
            redraw = std::exchange(s.redraw_due, false);
        }
    }
    if (redraw)
        subtitles_redraw(p);  // the still the last seek left
}

int64_t seek_due(player *p) { return p->seek.due_us.load(); }

void seek_forget(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    seeking &s = p->seek;
    s.host_open = s.pending = s.loop_due = s.redraw_due = s.redrawn_hidden = false;
    s.step_due = 0;
    seeker_forget(&s.machine);
    mirror(p);
    s.due_us.store(0);
}

// The host's seek: refused without media that can seek; one that comes while
// a library seek is in flight waits its turn, replacing any other waiting.
void cmd_seek(const command *c, long long id) {
    const entry *ms = field(c, "ms", KIND_NUMBER);
    const entry *pos = field(c, "pos", KIND_NUMBER);
    player *p = cur;
    // An ended media has its answer: a seek there would never land.
    if (!p || !p->media || !p->seekable.load() || !ms == !pos || p->end_state.load() != END_NONE ||
        (ms && (ms->number < 0 || p->length_ms.load() <= 0)) || (pos && (pos->number < 0 || pos->number > 1))) {
        tell_ack(id, false);
        return;
    }
    int64_t length = p->length_ms.load();
    double target = ms ? std::fmin(ms->number, SEEK_MAX_MS) : length >= 1 ? double(length) * pos->number : -1;
    // At or past the end the last picture is meant, the one that shows the
    // last moment; some demuxers cannot go there at all and play from the
    // start instead.
    if (target >= 0 && length >= 1)
        target = std::fmin(target, std::fmax(0.0, double(length) - 1));
    p->start_pos = -1.0;  // the host's own seek outranks the load's start
    seek_request r{CLIENT_HOST, id, target, pos ? pos->number : 0, true, false, false, p->host_paused.load() != 0,
                   false};
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        s.host_id = id;
        s.host_open = true;
        s.step_due = 0;  // a step that waits is replaced
        s.pending = false;
    }
    if (!seek_start(p, &r))
        seek_wait_turn(p, &r);
    tell_ack(id, true);
}

void seek_wait_turn(player *p, const seek_request *r) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    p->seek.pending = true;
    p->seek.pending_req = *r;
    mirror(p);
}

void host_landed(player *p) {
    long long id = 0;
    int64_t ms = 0;
    bool told = false;
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        id = s.machine.req.id;
        ms = s.machine.landed_ms;
        told = id == s.host_id && s.host_open;
        s.host_open = s.host_open && !told;
    }
    // Under the gate the end cannot slip in between: once the media ended
    // or stopped, the host has its answer and hears of no landing.
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->end_state.load() == END_NONE && p->generation == generation.load()) {
        if (told)
            tell_seek_landed(id, ms);
        report_place(p, ms);
    }
}

void host_serve(player *p) {
    seek_request r;
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        if (!p->seek.pending)
            return;
        r = p->seek.pending_req;
        r.hold = p->host_paused.load() != 0;
    }
    if (!seek_start(p, &r))
        return;
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    p->seek.pending = false;
    mirror(p);
}
