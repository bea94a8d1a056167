// Seeking: the host's seek command, the one library seek in flight that
// serves it, and its landing on the first picture from the new place. The
// library reports no landing and its pictures carry no time; its own lines
// tell when its decoders start on the new place, and the first new picture
// shown after that is the landing. Facts come from the library's threads
// (lines, events, pictures) through seek_report; library calls and what is
// told of a landing are made by the control thread in seek_serve.
//
// The library seek of a player, by phase:
//
//   phase     fact or call                 done                                 next
//   IDLE      host seek                    the library is asked; for a paused   ASKED
//                                          host it plays, muted and unheard of,
//                                          until the picture is found
//   ASKED     host seek                    kept, asked once this one landed     ASKED
//   ASKED     first picture announced      that picture, shown next, is passed  ASKED
//                                          over: begun before the seek, or early
//   ASKED     decoders waited for          new pictures follow; without video   WAITED
//                                          it has landed, at its target         LANDED
//   WAITED    picture like the last one,   passed over (a redraw of the still,  WAITED
//             or the announced one         up to REDRAW_PATIENCE of them)
//   WAITED    other picture                the landing: marked, at the target   LANDED
//   ASKED,    media paused at its end      a new picture was shown: the         LANDED
//   WAITED                                 landing, sent again with the mark;
//                                          a paused host's seek past the last
//                                          picture is asked again before the    ASKED
//                                          end, to land on the last picture;
//                                          else the media ended                 IDLE
//   ASKED,    deadline                     landed where the library says        LANDED
//   WAITED
//   LANDED    control loop                 seekLanded (the host's latest seek   ASKED
//                                          only), time and position; then the   SETTLING
//                                          kept seek, or the pause of a paused  IDLE
//                                          host, or nothing
//   SETTLING  library paused (or ended)    the sound back; pictures the library IDLE
//                                          still shows are no news to the host
//                                          until it plays or seeks again
//   LANDED,   host seek                    asked at once                        ASKED
//   SETTLING
//
// While a seek is ASKED or WAITED, and after its landing while the library
// plays on for a paused host or a kept seek, pictures go to no one: none
// before the landing shows the new place, none after it the old one. Time
// and position reports are told only while IDLE; a landing tells its own.
#include "engine.h"
#include "json.h"

#include <algorithm>
#include <cmath>

namespace {

const int64_t DEADLINE_US = 5000000;  // a source that never answers
// A seek waits for the start's first wait for the decoders, whose line would
// otherwise pass for its own; a start that never gets there, no longer than this.
const int64_t START_WAIT_US = 1000000;
// After the decoders were waited for, the library shows the picture at the
// target this much later; a picture shown later than that is later in the media.
const int64_t WAKE_US = 10000;
const int64_t FRAME_US_DEFAULT = 40000;
const int REDRAW_PATIENCE = 8;  // for a scene that never changes
// Redraws of a paused still that may come before the library's next picture.
const int STEP_PATIENCE = 2;
// A step back seeks this many pictures back and walks forward, picture by
// picture, to the host's still; it may find it too early, and then goes
// twice as far back, and so on. Longer walks make the library stall.
const int WALK_BACK = 3;
const int WALK_MAX = 100;  // pictures walked before going further back
const int WALK_TRIES = 3;
// The library passes over a step asked for while it still reads: asked
// again when no picture came this long after.
const int64_t NEXT_AGAIN_US = 40000;
const int64_t SEEK_RECENT_US = 1500000;
// The decoder's announced first picture is shown within this of the
// announcement; a sanitizer's build takes a few times longer to get there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const int64_t FIRST_SHOWN_US = 60000;
#else
const int64_t FIRST_SHOWN_US = 20000;
#endif
// The library steps on from what it had read ahead at its last seek; past
// that it stalls, for most of a second, reading again: before, a step is a
// seek and a short walk.
const int OWN_STEPS = 6;
// A smaller lead of the library's times over the pictures is the decoder's
// start, not the container's delay.
const int64_t LEAD_MIN_US = 100000;
// The start's pictures among which the lead is looked for (three seconds of
// 25 fps, MPEG-TS's longest delays), and how far two pictures' leads may
// differ and still be the same.
const int LEAD_PICTURES = 75;
const int64_t LEAD_AGREE_US = 15000;
// A start whose pictures have not shown the lead this long after the decoders
// were first waited for has none (MPEG-TS has up to a few seconds); nor has a
// start whose decoders were not waited for this long after it was asked for.
const int64_t LEAD_WAIT_US = 3000000;
const int64_t START_LEAD_WAIT_US = 10000000;
const int REASKS = 2;
// A re-ask for the last picture starts this far before the end when the
// video ends before the sound.
const double REASK_BACK_MS = 1000;
// The library keeps times in microseconds and adds its own offsets to them: a
// target beyond this would overflow on the way. It is far beyond any media.
const double SEEK_MAX_MS = double(INT64_MAX / 2000);

int64_t frame_us(const player *p) {
    int64_t f = p->frame_us.load();
    return f > 0 ? f : FRAME_US_DEFAULT;
}

// The time (ms) of the picture nearest to t_us, when the video track tells
// its picture rate: pictures come at whole multiples of their duration.
int64_t on_grid(const player *p, double t_us) {
    double f = double(p->frame_us.load());
    return int64_t(std::llround(f > 0 ? std::round(t_us / f) * f / 1000 : t_us / 1000));
}

// How the library is to go on with a seek: as it is; playing, muted and
// unheard of, for a paused host; playing again after its end, for a loop.
enum { RESUME_NONE, RESUME_MUTED, RESUME_PLAY };

// Starts the library seek of what, for the host's seek id, with seek_lock
// held; the caller asks the library once the lock is let go. How the library
// is to go on (RESUME_*).
int begin(player *p, int what, long long id, double target_ms, double pos) {
    seeking &s = p->seek;
    int64_t now = now_us();
    s.ask = what;
    s.id = id;
    s.target_ms = target_ms;
    s.target_pos = pos;
    s.issued_us.store(now);
    s.deadline_us.store(now + DEADLINE_US);
    s.start_due_us.store(0);
    s.waited_us = 0;
    s.first = s.new_shown = s.eof = s.still = s.kept = false;
    s.want_next = s.walk_found = s.back_again = false;
    s.walked = s.steps = s.stale = 0;
    // A paused library may show nothing after its seek (its decoder out of
    // pictures): a walk asks for the next one when none came.
    s.next_us.store(what == ASK_WALK ? now : 0);
    pictures_keep(&p->pictures, false);
    s.redraws = 0;
    if (what != ASK_AGAIN) {
        s.to_end = false;
        s.reasks = 0;
    }
    s.phase.store(SEEK_ASKED);
    // The lead is measured from the start's first pictures: those after a
    // seek would tell of the seek. Not measured by now, there is none to use.
    if (p->lead_us < 0)
        p->lead_us = 0;
    if (what == ASK_LOOP)
        return RESUME_PLAY;
    // For a paused host the library plays, whatever it did: paused, settling
    // or paused at the end, it would not go on to the new picture.
    s.internal = s.internal || s.hold;
    return s.hold ? RESUME_MUTED : RESUME_NONE;
}

// Asks the library; no lock held, since its events may come on this thread.
void ask_library(player *p, int resume, double target_ms, double pos) {
    if (resume == RESUME_MUTED)
        libvlc_audio_set_mute(p->mp, 1);
    // Played first, the decoders wait for the seek's pictures; but an input
    // paused at the end of the file that plays before it moved gives up, as
    // if the media had ended: from there, the seek first.
    bool from_end = p->at_end.exchange(0) != 0;
    if (resume != RESUME_NONE && !from_end)
        library_pause(p, 0);
    if (target_ms >= 0)
        libvlc_media_player_set_time(p->mp, int64_t(target_ms));
    else
        libvlc_media_player_set_position(p->mp, float(pos));
    if (resume != RESUME_NONE && from_end)
        library_pause(p, 0);
}

// Records the landing at ms, seek_lock held; marked, the picture shown next
// (or sent again) carries the seek's id.
void land(player *p, int64_t ms, bool marked) {
    seeking &s = p->seek;
    s.landed_id = s.id;
    s.landed_ms = ms;
    s.still = s.hold;
    s.trailing = 0;
    s.sent = false;
    if (marked && s.ask != ASK_START && s.ask != ASK_LOOP)
        p->mark_frame.store(mark_of(s.id));
    s.phase.store(SEEK_LANDED);
}

// The landing can be told: its picture was queued (at ms; -1 not), or none
// will carry it. A picture not queued passes the mark to the next one sent,
// which is then the landing, when the library plays on for the host.
void sent(player *p, int64_t ms) {
    seeking &s = p->seek;
    if (s.phase.load() != SEEK_LANDED || s.sent)
        return;
    if (ms < 0 && !s.hold && !s.pending && frames_piped() && p->mark_frame.load())
        return;
    if (ms >= 0)
        s.landed_ms = ms;
    s.sent = true;
    raise_pending(p, PEND_SEEK);
}

// Where a picture shown now lies. After the decoders were waited for, the
// library shows the place it went to WAKE_US later, and the pictures after it
// as the media goes on, behind its own times by the lead: the first one shown
// is at the target, or a frame or two after it when the one announced first
// was passed over; in a container that has no picture there, the next it has.
// Shown later than that, a busy machine showed it late.
int64_t picture_ms(player *p) {
    const seeking &s = p->seek;
    if (s.target_ms < 0)
        return p->time_ms.load();
    int64_t lead = std::max<int64_t>(p->lead_us, 0), late = now_us() - s.waited_us - WAKE_US - lead;
    late = lead ? std::max<int64_t>(late, 0) : std::clamp<int64_t>(late, 0, 2 * frame_us(p));
    return on_grid(p, s.target_ms * 1000 + double(late) * p->rate.load());
}

// Measures the lead from the start's first wait for the decoders and its
// first pictures. Picture k of the start is due k frames and the lead after
// the wait; libvlc shows some of the first ones early (the first at once, on
// a busy machine many at once), and those give less. The first three in a row
// that give the same lead are on time: that is the lead. None found among the
// first pictures: it stays unknown, none. A busy machine's library redraws the
// first picture while it waits out the lead: a redraw is no picture of its own.
void measure_lead(player *p, seek_fact fact, bool changed) {
    if (fact != FACT_PICTURE || !changed || !p->start_waited_us)
        return;
    int64_t lead = now_us() - p->start_waited_us - WAKE_US - p->lead_pictures * frame_us(p);
    if (p->lead_pictures++ && std::llabs(lead - p->lead_found_us) <= LEAD_AGREE_US) {
        if (++p->lead_after >= 2)
            p->lead_us = lead >= LEAD_MIN_US && p->lead_possible ? lead : 0;
    } else {
        p->lead_found_us = lead;
        p->lead_after = 0;
    }
    if (p->lead_us < 0 && p->lead_pictures >= LEAD_PICTURES)
        p->lead_us = 0;
}

// Where a walk to the still at ms starts, on its tries-th try.
double walk_from(const player *p, double ms, int tries) {
    return std::max(0.0, ms - double(WALK_BACK * (1 << tries) * frame_us(p)) / 1000);
}

// Asks the control loop to have the library show its next picture.
void next_picture(player *p) {
    p->seek.want_next = true;
    raise_pending(p, PEND_SEEK);
}

// A picture shown while walking to a step's picture: the ones after a seek
// back, shown one by one, each compared with the host's still. Before the
// still comes the picture to step back to, kept back; after it the one to
// step forward to.
int on_walk(player *p, bool changed, bool like_sent) {
    seeking &s = p->seek;
    if (changed)
        s.next_us.store(0);
    if (!changed) {
        // The library showed the same picture again: its step was not made
        // (it may pass the first over, or still be reading): asked again.
        if (s.kept || s.walk_found)
            next_picture(p);
        return VERDICT_HIDE;
    }
    int64_t frame = frame_us(p);
    if (s.walk_found) {  // the still was found: this is the one after it
        land(p, on_grid(p, double(s.step_from_ms) * 1000 + double(frame)), true);
        return VERDICT_LAND;
    }
    if (like_sent && s.walk_back && s.kept) {
        land(p, on_grid(p, double(s.step_from_ms) * 1000 - double(frame)), true);
        s.trailing = 1;  // the library shows the host's old still, a picture on
        return VERDICT_LAND_KEPT;
    }
    if (like_sent && !s.walk_back) {
        s.walk_found = true;
        next_picture(p);
        return VERDICT_HIDE;
    }
    if (like_sent || ++s.walked > WALK_MAX) {
        // Arrived at the still, or past it, with nothing before it: asked again
        // from further back; at the first picture there is nothing before.
        s.back_again = true;
        raise_pending(p, PEND_SEEK);
        return VERDICT_HIDE;
    }
    s.kept = true;
    next_picture(p);
    return VERDICT_KEEP;
}

int on_picture(player *p, bool changed, bool like_sent) {
    seeking &s = p->seek;
    int phase = s.phase.load();
    if (phase == SEEK_LANDED || phase == SEEK_SETTLING) {
        if (phase == SEEK_SETTLING || s.hold || s.pending) {
            s.trailing += changed;
            return VERDICT_HIDE;
        }
        return VERDICT_TELL;
    }
    // A walk starts from a paused library, whose decoder was idle: every new
    // picture is from where it went, and none is the still's redraw. So does
    // a loop's restart, from the end where the decoder drained: its first new
    // picture is the media's first.
    if (s.ask == ASK_WALK)
        return on_walk(p, changed, like_sent);
    if (s.ask == ASK_LOOP && changed) {
        land(p, int64_t(s.target_ms), false);
        return VERDICT_LAND;
    }
    if (s.first && changed) {
        // The announced picture, shown as it is announced: one the decoder
        // had begun before the seek, or the first from the new place, early
        // or late when the decoder starts on pictures in their decoding
        // order: not the landing. A picture that comes later is past the
        // announced one, which the library let go.
        s.first = false;
        if (now_us() - s.first_us <= FIRST_SHOWN_US) {
            s.new_shown = true;
            return VERDICT_HIDE;
        }
    }
    if (phase != SEEK_WAITED)
        return VERDICT_HIDE;
    if (changed && s.stale > 0 && s.ask != ASK_STEP) {
        // Decoded before the seek, its time lost in the seek's flush: the
        // library shows it at once, after the wait, before the new ones.
        s.stale--;
        return VERDICT_HIDE;
    }
    if (s.ask == ASK_STEP) {  // the library steps itself: its next picture
        if (changed)
            s.next_us.store(0);
        if (!changed && s.redraws++ < STEP_PATIENCE) {
            next_picture(p);  // shown again, not stepped: asked again
            return VERDICT_HIDE;
        }
        land(p, int64_t(s.target_ms), true);
        return VERDICT_LAND;
    }
    if (!changed && s.redraws++ < REDRAW_PATIENCE)
        return VERDICT_HIDE;
    s.new_shown = true;
    if (s.to_end)
        return VERDICT_HIDE;  // the last picture lands, at the end
    land(p, picture_ms(p), true);
    return VERDICT_LAND;  // told once the picture is queued
}

// The media paused at its end; true when the seek takes it over, so that the
// end is not told now.
bool on_end(player *p) {
    seeking &s = p->seek;
    switch (s.phase.load()) {
    case SEEK_IDLE:
        return false;
    case SEEK_ASKED:
    case SEEK_WAITED:
        s.eof = true;
        if (s.new_shown && p->vouts.load()) {
            // The last picture shown is the landing: at the target, or, when
            // the target lies past it, a frame before the end.
            int64_t last = on_grid(p, double(std::max<int64_t>(0, p->length_ms.load() * 1000 - frame_us(p))));
            int64_t ms = s.to_end ? last : std::min(picture_ms(p), last);
            land(p, ms, true);
            sent(p, pictures_resend(&p->pictures, p->generation, &p->mark_frame, ms * 1000) ? ms : -1);
            return true;
        }
        if (s.hold && s.ask != ASK_START && s.reasks < REASKS) {
            raise_pending(p, PEND_SEEK);  // asked again
            return true;
        }
        s.phase.store(SEEK_IDLE);
        s.host_open = false;  // answered by the end
        if (s.internal)
            raise_pending(p, PEND_SEEK);  // the sound back
        return false;
    case SEEK_LANDED:
        s.eof = true;  // a playing host is told the end after the landing
        return true;
    default:  // settling: paused at the end, as asked
        s.phase.store(SEEK_IDLE);
        raise_pending(p, PEND_SEEK);
        return true;
    }
}

}  // namespace

int seek_report(player *p, seek_fact fact, int64_t value) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    seeking &s = p->seek;
    int phase = s.phase.load();
    if (p->lead_us < 0 && phase == SEEK_IDLE)
        measure_lead(p, fact, (value & PICTURE_CHANGED) != 0);
    if (fact == FACT_WAITED && phase == SEEK_IDLE && !p->start_waited_us) {
        p->start_waited_us = now_us();
        if (s.pending)
            raise_pending(p, PEND_SEEK);  // the seek that waited for the start
    }
    switch (fact) {
    case FACT_SENT:
        sent(p, value);
        return VERDICT_TELL;
    case FACT_PICTURE:
        // Once a paused host has its still, a picture the library shows on
        // its way to the pause (or its end) is not news; nor is one of the
        // old place once the host's seek was acked, while it waits its turn.
        if (phase != SEEK_IDLE)
            return on_picture(p, value & PICTURE_CHANGED, value & PICTURE_LIKE_SENT);
        s.trailing = s.still ? s.trailing + (value & PICTURE_CHANGED ? 1 : 0) : 0;
        return s.still || s.pending ? VERDICT_HIDE : VERDICT_TELL;
    case FACT_FIRST:
        if (phase == SEEK_ASKED) {
            s.first = true;
            s.first_us = now_us();
        }
        return VERDICT_TELL;
    case FACT_STALE:
        if (phase == SEEK_ASKED || phase == SEEK_WAITED)
            s.stale++;
        return VERDICT_TELL;
    case FACT_WAITED:
        if (phase != SEEK_ASKED)
            return VERDICT_TELL;
        s.waited_us = now_us();
        s.phase.store(SEEK_WAITED);
        if (!p->vouts.load()) {  // sound only: it plays from the target now
            land(p, s.target_ms >= 0 ? int64_t(s.target_ms) : p->time_ms.load(), false);
            sent(p, -1);
        }
        return VERDICT_TELL;
    case FACT_END:
        return on_end(p) ? VERDICT_HIDE : VERDICT_TELL;
    case FACT_PAUSED:
        if (phase == SEEK_SETTLING) {
            s.phase.store(SEEK_IDLE);
            raise_pending(p, PEND_SEEK);  // the sound back
        } else if ((s.ask == ASK_WALK && s.want_next) || s.step_due) {
            raise_pending(p, PEND_SEEK);  // the library can step now
        }
        return VERDICT_TELL;
    case FACT_PLAYING:
        return VERDICT_TELL;
    case FACT_TIME:
        return phase == SEEK_IDLE && !s.internal ? VERDICT_TELL : VERDICT_HIDE;
    case FACT_BUFFERING:
        return (phase == SEEK_ASKED || phase == SEEK_WAITED) && s.ask == ASK_AGAIN ? VERDICT_HIDE : VERDICT_TELL;
    }
    return VERDICT_TELL;
}

bool seek_in_flight(const player *p) { return p->seek.phase.load() != SEEK_IDLE; }

bool seek_recent(const player *p) {
    // The library may land on pictures it had read before the source
    // refuses the range asked for.
    return seek_in_flight(p) || (p->seek.issued_us.load() && now_us() - p->seek.issued_us.load() < SEEK_RECENT_US);
}

int64_t seek_landed_ms(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    return p->seek.landed_ms;
}

void seek_may_lead(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    p->lead_possible = true;
}

int64_t seek_lead_ms(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    if (p->lead_us >= 0)
        return p->lead_us / 1000;
    if (!p->lead_possible)
        return 0;
    int64_t now = now_us();
    if (!p->lead_asked_us)
        p->lead_asked_us = now;
    if (p->start_waited_us ? now - p->start_waited_us < LEAD_WAIT_US : now - p->lead_asked_us < START_LEAD_WAIT_US)
        return -1;
    p->lead_us = 0;  // no pictures to measure it by: none to correct either
    return 0;
}

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
    // At or past the end the last picture is meant; some demuxers cannot go
    // there at all and play from the start instead.
    if (target >= 0 && length >= 1)
        target = std::fmin(target, std::fmax(0.0, double(length) - double(frame_us(p)) / 1000));
    double at = pos ? pos->number : 0;
    p->start_pos = -1.0;  // the host's own seek outranks the load's start
    bool now;
    int resume = RESUME_NONE;
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        s.host_id = id;
        s.host_open = true;
        s.hold = p->host_paused.load() != 0;
        s.step_due = 0;
        int phase = s.phase.load();
        // One library seek at a time: its lines then tell of it alone. A seek
        // sent while one is under way, or before the start was waited for,
        // waits, replacing any other that waits.
        now = phase != SEEK_ASKED && phase != SEEK_WAITED && p->start_waited_us;
        if (!now && !s.pending)
            s.pending_us = now_us();
        if (!now && phase == SEEK_IDLE)
            s.start_due_us.store(s.pending_us + START_WAIT_US);
        s.pending = !now;
        s.pending_ms = target;
        s.pending_pos = at;
        if (now)
            resume = begin(p, ASK_HOST, id, target, at);
    }
    if (now)
        ask_library(p, resume, target, at);
    // A picture the video thread judged before the seek went in is queued
    // before the ack: the first frame after the ack is the landing.
    { std::lock_guard<ordered_mutex> shown(p->show_lock); }
    tell_ack(id, true);
}

bool seek_pause(player *p, int pause) {
    p->host_paused.store(pause);
    bool ours, resume = false;
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        int phase = s.phase.load();
        ours = phase != SEEK_IDLE;
        if (pause) {
            s.hold = ours;  // the landing pauses, when it has come
            return ours;
        }
        s.hold = s.still = false;
        resume = s.internal;
        s.internal = false;
        ours = ours && phase != SEEK_SETTLING;
    }
    if (resume)
        libvlc_audio_set_mute(p->mp, sound_muted());
    if (!ours)
        return false;
    report_play_state(p);  // the library plays already, for the seek
    return true;
}

void seek_serve(player *p) {
    int phase = p->seek.phase.load();
    if (phase == SEEK_IDLE) {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        if (!p->seek.internal && !p->seek.pending && !p->seek.loop_due && !p->seek.step_due)
            return;
    }
    // Read before the lock: the library is never called under it.
    int64_t now = now_us();
    int64_t library_ms = (phase == SEEK_ASKED || phase == SEEK_WAITED) ? libvlc_media_player_get_time(p->mp) : 0;
    bool told = false, place = false, ended = false, pause = false, sound = false, ask = false, looped = false,
         next = false;
    int resume = RESUME_NONE;
    long long id = 0;
    int64_t landed = 0;
    double target = 0, at = 0;
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        phase = s.phase.load();
        if ((phase == SEEK_ASKED || phase == SEEK_WAITED) && s.eof) {
            // A paused host's seek past the last picture: asked again before
            // the end, to land on the last picture when the media pauses there.
            int64_t length = p->length_ms.load();
            double back = double(length) - 2.0 * double(frame_us(p)) / 1000;
            double from = s.target_ms >= 0 ? s.target_ms : double(length) * s.target_pos;
            target = std::max(0.0, from > back ? back : from - REASK_BACK_MS);
            s.reasks++;
            s.to_end = true;
            resume = begin(p, ASK_AGAIN, s.id, target, 0);
            ask = true;
        } else if ((phase == SEEK_ASKED || phase == SEEK_WAITED) && now >= s.deadline_us.load()) {
            if (p->lead_us > 0)
                library_ms = std::max<int64_t>(0, library_ms - p->lead_us / 1000);  // the media's own time
            land(p, library_ms, p->vouts.load() != 0);
            if (s.hold)
                pictures_resend(&p->pictures, p->generation, &p->mark_frame, library_ms * 1000);
            s.sent = true;  // told now; the mark goes with the next picture sent
            phase = SEEK_LANDED;
        }
        if (phase == SEEK_LANDED && s.sent) {
            told = s.landed_id == s.host_id && s.host_open && s.ask != ASK_START && s.ask != ASK_LOOP;
            s.host_open = s.host_open && !told;
            id = s.landed_id;
            landed = s.landed_ms;
            place = true;
            ended = s.eof && !s.hold;
            if (s.pending && !ended) {
                s.pending = false;
                target = s.pending_ms;
                at = s.pending_pos;
                resume = begin(p, ASK_HOST, s.host_id, target, at);
                ask = true;
            } else if (s.hold && !s.eof && !p->paused.load()) {
                s.phase.store(SEEK_SETTLING);
                pause = true;
            } else {
                s.phase.store(SEEK_IDLE);
            }
        }
        phase = s.phase.load();  // the landing served may have made it idle
        if (phase == SEEK_IDLE && s.step_due && p->paused.load()) {
            // From the host's still: the library steps itself when its own
            // still is the host's; else it goes back a little and is walked
            // forward to the still, picture by picture.
            bool back = s.step_due < 0;
            s.step_due = 0;
            s.step_from_ms = on_grid(p, double(clock_shown(p)));
            int64_t frame = frame_us(p) / 1000;
            if (!back && !s.trailing && s.steps < OWN_STEPS) {
                int steps = s.steps;
                begin(p, ASK_STEP, s.host_id, double(s.step_from_ms + frame), 0);
                s.steps = steps + 1;
                s.phase.store(SEEK_WAITED);
                next = true;
            } else {
                target = walk_from(p, double(s.step_from_ms), 0);
                begin(p, ASK_WALK, s.host_id, target, 0);
                s.walk_back = back;
                s.walk_tries = 0;
                ask = true;
            }
            s.internal = false;  // the library stays paused
        } else if ((phase == SEEK_ASKED || phase == SEEK_WAITED) && s.ask == ASK_WALK && s.back_again) {
            // The walk came to the still too soon: again from further back,
            // but from the first picture there is nowhere further.
            s.back_again = false;
            if (++s.walk_tries < WALK_TRIES && s.target_ms > 0) {
                target = walk_from(p, s.target_ms, s.walk_tries);
                bool back = s.walk_back;
                int tries = s.walk_tries;
                begin(p, ASK_WALK, s.host_id, target, 0);
                s.walk_back = back;
                s.walk_tries = tries;
                s.internal = false;
                ask = true;
            } else {
                land(p, s.walk_back ? s.step_from_ms : s.step_from_ms + frame_us(p) / 1000, true);
                pictures_resend(&p->pictures, p->generation, &p->mark_frame, s.landed_ms * 1000);
                s.sent = true;
                raise_pending(p, PEND_SEEK);  // told in the next pass
            }
        } else if ((phase == SEEK_ASKED || phase == SEEK_WAITED) && s.ask == ASK_STEP && !s.want_next &&
                   s.next_us.load() && now >= s.next_us.load() + NEXT_AGAIN_US) {
            // The library's step stalls at times, for most of a second, once
            // it has shown what it had decoded: walked to the next instead.
            target = walk_from(p, double(s.step_from_ms), 0);
            begin(p, ASK_WALK, s.host_id, target, 0);
            s.walk_back = false;
            s.walk_tries = 0;
            s.internal = false;
            ask = true;
        } else if ((phase == SEEK_ASKED || phase == SEEK_WAITED) && p->paused.load() &&
                   (s.want_next || (s.next_us.load() && now >= s.next_us.load() + NEXT_AGAIN_US))) {
            s.want_next = false;
            next = true;
        }
        if (next)
            s.next_us.store(now);
        if (phase == SEEK_IDLE && s.loop_due) {
            // Played to its end: again from its start.
            s.loop_due = false;
            target = 0;
            at = 0;
            resume = begin(p, ASK_LOOP, 0, 0, 0);
            ask = looped = true;
        } else if (phase == SEEK_IDLE && s.pending && (p->start_waited_us || now >= s.pending_us + START_WAIT_US)) {
            s.pending = false;
            target = s.pending_ms;
            at = s.pending_pos;
            resume = begin(p, ASK_HOST, s.host_id, target, at);
            ask = true;
        } else if (s.phase.load() == SEEK_IDLE && s.internal) {
            s.internal = false;
            sound = true;
        }
    }
    if (told || place) {
        // Under the gate the end cannot slip in between: once the media ended
        // or stopped, the host has its answer and hears of no landing.
        std::lock_guard<ordered_mutex> gate(gate_lock);
        if (p->end_state.load() == END_NONE && p->generation == generation.load()) {
            if (told)
                tell_seek_landed(id, landed);
            report_place(p, landed);
        }
    }
    if (ended)
        report_end(p);
    if (looped) {
        std::lock_guard<ordered_mutex> gate(gate_lock);
        if (p->end_state.load() == END_NONE && p->generation == generation.load())
            tell_looped(++p->loops);
    }
    if (pause)
        library_pause(p, 1);
    if (sound)
        libvlc_audio_set_mute(p->mp, sound_muted());
    if (ask)
        ask_library(p, resume, target, at);
    if (next)
        libvlc_media_player_next_frame(p->mp);
}

int64_t seek_due(player *p) {
    int phase = p->seek.phase.load();
    if (phase == SEEK_IDLE)
        return p->seek.start_due_us.load();
    if (phase != SEEK_ASKED && phase != SEEK_WAITED)
        return 0;
    int64_t next = p->seek.next_us.load(), deadline = p->seek.deadline_us.load();
    return next ? std::min(next + NEXT_AGAIN_US, deadline) : deadline;
}

void apply_start_pos(player *p) {
    if (p->start_pos < 0)
        return;
    double at = p->start_pos;
    p->start_pos = -1.0;
    if (!p->seekable.load()) {
        tell_refusal(REFUSED_START_POS, nullptr, 0);
        return;
    }
    int resume;
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        if (seek_in_flight(p))
            return;  // the host's seek came first
        p->seek.hold = p->host_paused.load() != 0;
        resume = begin(p, ASK_START, 0, -1, at);
    }
    ask_library(p, resume, -1, at);
}

bool seek_step(player *p, long long id, bool back) {
    {
        std::lock_guard<ordered_mutex> hold(p->seek_lock);
        seeking &s = p->seek;
        s.host_id = id;
        s.host_open = true;
        s.hold = true;
        s.pending = false;
        // Steps follow the library's own pause: a step while it settles, or
        // while a seek is under way, waits; a later one replaces it.
        s.step_due = back ? -1 : 1;
    }
    raise_pending(p, PEND_SEEK);
    return true;
}

bool seek_loop(player *p) {
    if (!p->seekable.load() || p->length_ms.load() <= 0)
        return false;
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    p->seek.loop_due = true;
    raise_pending(p, PEND_SEEK);
    return true;
}

void seek_forget(player *p) {
    std::lock_guard<ordered_mutex> hold(p->seek_lock);
    p->seek.host_open = false;
    p->seek.pending = false;
    p->seek.start_due_us.store(0);
    p->seek.phase.store(SEEK_IDLE);
}
