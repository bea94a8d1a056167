// The library seek in flight. The library reports no landing; its display
// module tells each picture it shows, new or shown again, with its date. The
// landing is the picture that shows the place asked for: the last whose time
// is not past it, among the new pictures dated on the clock the library
// started when it had waited for its decoders at the new place. A picture
// shown before the wait was decoded before the seek, or is the decoder's
// first, which it shows at once whatever its place (one on its way to the
// target, or a key frame past it where the demuxer started). Asked again, the
// library goes from just before the key frame the demuxer went to; where the
// library's seek itself moves from a key frame that shows past the place, from
// a picture before the place, which then shows at once.
//
//   phase     fact                              done                                  next
//   IDLE      ask                               the library is to seek, at the place  ASKED
//                                               where pictures before it showed and
//                                               come a picture apart, else from a
//                                               picture before; unless the last is
//                                               not settled: refused                  IDLE
//   ASKED     ask                               refused: one library seek at a time   ASKED
//   ASKED     the decoder's first (forced)      the landing at the media's start      LANDED
//             for a place in the first picture
//   ASKED     the demuxer's word of its key      noted: the key frame's time           ASKED
//             frame, for a key request
//   any       the demuxer's edit list's shift   noted: a key frame shows that much    same
//                                               after its decoding time
//   ASKED     the demuxer's word of its key      noted: asked again from just before   ASKED
//             frame, shown past the place by    it once the decoders were waited for
//             that shift or a delay seen before
//   ASKED     its word of an earlier key frame  noted in its place: the library's     ASKED
//             (the library's seek moved from    seek went there, and shows the
//             the first)                        place from it
//   ASKED     new picture, key request, after   the landing, at its own time from     LANDED
//             the word                          its date (at the start: the start)
//   ASKED     ... before the word               hidden: the last seek's               ASKED
//   ASKED     the decoder's first (forced)      hidden, kept back: its date is off    ASKED
//                                               the clock
//   ASKED     another picture, or one before    hidden: from before the seek, or      ASKED
//             the decoders' wait, or undated,   on its way
//             or one before the media's start,
//             or one made ready before the
//             library took the seek
//   ASKED     new dated picture wholly before   noted: the next is asked at the       ASKED
//             where the library was asked       place; and as any other below
//   ASKED     new dated picture at or before    the landing, at its own time          LANDED
//             the place, the next a picture
//             on past it
//   ASKED     ... a later one may come first    hidden, kept back in place of any     ASKED
//   ASKED     ... past the place, one dated     the landing is the kept one           LANDED
//             kept back
//   ASKED     ... past the place, the first     the landing is the kept one, a        LANDED
//             after the one forced              picture before this
//   ASKED     ... that picture past the place   the library is asked again, from      ASKED
//             too (the demuxer's key frame),    before the place, once; a coarse
//             or asked at the place (its        demuxer's from twice as far each
//             preroll may drop pictures)        time, down to the start
//   ASKED     ... none kept back                the library is asked again, from      ASKED
//                                               before the place, once; the next
//                                               from a picture before
//   ASKED     ... else                          the landing: the one at the place     LANDED
//                                               never came
//   ASKED     decoders waited for, key request, no picture known to be it:          LANDED
//             no word of its key frame          landed untold
//   ASKED     decoders waited for               noted, settled; without video the     ASKED
//                                               landing, at the target                LANDED
//   any       decoders waited for, or the       settled: the next ask may go          same
//             input read to its end
//   ASKED     end of the media for a paused     the library is asked again, from      ASKED
//             host, no dated picture kept,      before the place
//             asked once
//   ASKED     ... a picture kept back           the landing is the kept one, the      LANDED
//                                               last there is
//   ASKED     ... none kept back                the next new picture will be          ASKED
//   ASKED     end of the media for a playing    the library is asked again, from      ASKED
//             host, before the wait or on a     before the place, to play
//             coarse demuxer
//   ASKED     end of the media                  dropped: the end answers it           IDLE
//   ASKED     deadline                          landed where the library says         LANDED
//   LANDED    picture                           told, or hidden for a quiet seek      LANDED
//             or a paused host's still
//   LANDED    ask                               the library is to seek                ASKED
//   LANDED    taken by its client               the library is to pause again for     SETTLING
//                                               a paused host after playing,
//                                               else nothing                          IDLE
//   SETTLING  picture                           hidden: the host has its still        SETTLING
//   SETTLING  library paused                    over                                  IDLE
//   SETTLING  ask                               the library is to seek                ASKED
//   any       forget                            nothing lands                         IDLE
#include "seeker.h"

#include <algorithm>
#include <cmath>

namespace {

// by ms before the place, in whole ms as the library takes a time, and not
// before the media's start.
double before_place(const seeker *s, double by) {
    return s->req.target_ms > by ? std::floor(s->req.target_ms - by) : 0;
}

// How far before the place a coarse demuxer is first asked from.
double coarse_base(const seeker *s) { return s->coarse_ms > 0 ? s->coarse_ms : SEEK_AGAIN_FARTHER_MS; }

// Where the library's seek moves a coarse demuxer: asked from before the
// place, the library shows from two pictures before it (its decoder's first,
// then one dated on the clock), with nothing of the way there played unseen
// in real time.
void from_before(seeker *s, double before) {
    s->demuxer_ms = -1;
    if (!s->coarse || !s->moves || s->req.key || s->req.target_ms < 0)
        return;
    s->demuxer_ms = before_place(s, before);
    s->library_ms = before_place(s, 2 * s->frame_ms);
    // A place past the end (a length first estimated longer) shows nothing:
    // from where the demuxer starts, the pictures up to the last do.
    if (s->to_end) {
        s->library_ms = s->demuxer_ms;
        s->demuxer_ms = -1;
    }
}

}  // namespace

int seeker_ask(seeker *s, const seek_request *r, int64_t now) {
    if (s->phase == SEEKER_ASKED || (!s->settled && s->deadline_us && now < s->deadline_us))
        return 0;
    s->phase = SEEKER_ASKED;
    s->req = *r;
    s->waited = s->settled = s->at_end = s->again = s->keyed = s->key_past = s->to_end = false;
    s->word_ms = -1;
    s->word_moved = false;
    s->agains = 0;
    s->passed_us = 0;
    s->kept = KEPT_NONE;
    // A picture before the place: the demuxers that start at the first
    // picture at or after where they are asked show the one at the place,
    // and those that start at the picture that shows it show that one.
    // In whole milliseconds, as the library takes a time: the clock starts
    // where it really went.
    // A coarse demuxer starts at the next key frame: asked a second before,
    // as far as key frames commonly stand apart, it spares a first try that
    // mostly comes past the place.
    // Where the decoder shows the pictures just before where it is asked
    // (B-frames) and they come a picture apart, it is asked at the place
    // itself: the picture that shows it comes at once, not a picture later.
    bool at_place = r->next || (s->shows_before && s->even);
    double before = s->coarse ? coarse_base(s) : at_place ? 0 : s->frame_ms;
    s->library_ms = r->key ? std::floor(r->target_ms) : before_place(s, before);
    from_before(s, before);
    s->deadline_us = now + SEEK_DEADLINE_US;
    s->landed_ms = 0;
    s->landed_dated = false;
    return 1;
}

namespace {

void land(seeker *s, int how, int64_t ms, bool dated) {
    // Key frames that far apart are so throughout: the next seek goes as far
    // at once, not by tries that each read to the end of a short file.
    if (s->coarse && s->agains > 0)
        s->coarse_ms = std::min(coarse_base(s) * (1 << s->agains), SEEK_COARSE_MOST_MS);
    s->phase = SEEKER_LANDED;
    s->landing = how;
    s->landed_ms = ms;
    s->landed_dated = dated;
}

// Whether the library may be asked again from before the place: once, or
// twice, farther, where pictures hold for longer.
bool may_again(const seeker *s) {
    // Where the library's seek moves, the first time again is from a picture
    // before the place, whose picture the library may lose: once more then.
    int most = s->coarse ? SEEK_COARSE_AGAINS : s->even && !s->moves ? 1 : 2;
    double from = s->demuxer_ms >= 0 ? s->demuxer_ms : s->library_ms;
    return s->req.target_ms > s->frame_ms && s->agains < most && from > 0;
}

// Where a seek by time lands when the picture does not say: its target.
int64_t target_of(const seeker *s, int64_t otherwise) {
    return s->req.target_ms >= 0 ? int64_t(s->req.target_ms) : otherwise;
}

}  // namespace

int seeker_picture(seeker *s, picture_news *n) {
    n->placed = s->phase != SEEKER_ASKED;
    switch (s->phase) {
    case SEEKER_ASKED: {
        if (!n->fresh || n->stale)
            return VERDICT_HIDE;
        if (s->req.key) {
            // A key frame's seek (on a library that seeks to key frames):
            // the first new picture after the demuxer's word is the key frame
            // it went to; one before it is the last seek's.
            if (!s->keyed)
                return VERDICT_HIDE;
            // At the start it is the media's first picture: the demuxer's
            // word of a decoding time before it is cut to its start. Its
            // time follows from its date once the library's clock is known,
            // else by the delay a dated one showed.
            // The stream's delay from decoding to showing is one for all its
            // key frames. A date tells it only roughly: the clock's start is
            // heard late on a busy machine, which puts a picture early, never
            // late, so the largest delay seen is the best.
            int64_t from = int64_t(s->library_ms);
            bool dated = n->timed && n->dated && from > 0;
            if (dated)
                s->key_delay_ms = std::max<int64_t>(s->key_delay_ms, n->own_ms - from);
            land(s, LANDED_PICTURE, from > 0 ? from + s->key_delay_ms : 0, dated);
            return VERDICT_LAND;
        }
        if (s->at_end) {
            land(s, LANDED_PICTURE, n->timed && n->dated ? n->own_ms : s->last_ms, n->dated && n->timed);
            return VERDICT_LAND;
        }
        if (n->forced) {
            // At the start there is no picture before it to ask for: the
            // decoder's first is the media's first.
            if (s->req.target_ms >= 0 && s->req.target_ms < s->frame_ms) {
                land(s, LANDED_PICTURE, 0, false);
                return VERDICT_LAND;
            }
            if (s->req.target_ms >= 0 && s->library_ms == 0) {
                s->kept = KEPT_DATED;  // asked from the start: its time is the start's
                s->kept_ms = 0;
                s->after_forced = 0;
                return VERDICT_KEEP;
            }
            s->kept = KEPT_FORCED;
            s->after_forced = 0;
            return VERDICT_KEEP;  // the last there is, should the input end
        }
        // A time before the media's start is a picture the library queued
        // before the seek and shows late, dated on the new clock.
        if (!s->waited || !n->dated || (n->timed && n->own_ms < 0))
            return VERDICT_HIDE;
        if (!n->timed || s->req.target_ms < 0) {
            land(s, LANDED_PICTURE, n->timed ? n->own_ms : target_of(s, 0), n->dated && n->timed);
            return VERDICT_LAND;
        }
        // A decoder that may show first a picture from well before the place
        // may show it dated too, when asked right after it began: asked again
        // from before, after its flush, the pictures are the place's.
        if (s->first_unsure && s->agains == 0 && may_again(s)) {
            s->again = true;
            return VERDICT_HIDE;
        }
        double own = double(n->own_ms), target = s->req.target_ms, frame = s->frame_ms;
        s->after_forced++;
        if (own + frame <= s->library_ms)
            s->shows_before = true;
        if (s->req.next) {
            // Asked from the picture itself: the decoder's first is that one,
            // or the next, a picture before this; else the library started
            // at a key frame further on, or pictures hold for longer: asked
            // again from before, where they come dated.
            if (own <= target) {
                s->kept = KEPT_NONE;
                return VERDICT_HIDE;
            }
            bool forced = s->kept == KEPT_FORCED && s->after_forced == 1;
            // Where pictures come a picture apart, the next is a picture on.
            bool known = s->even && (forced ? own - frame <= target + frame : own <= target + frame);
            if (!known && (forced || s->even) && may_again(s)) {
                s->again = true;
                return VERDICT_HIDE;
            }
            if (forced && own - frame > target) {
                land(s, LANDED_PICTURE, int64_t(own - frame), false);
                return VERDICT_LAND_KEPT;
            }
            land(s, LANDED_PICTURE, n->own_ms, true);
            return VERDICT_LAND;
        }
        if (own <= target) {
            // It shows the target unless a later picture starts before it:
            // one a picture on does not, nor one begun at the target itself.
            // Where pictures hold for longer, the next one, or the library's
            // clock passing the place, tells; so does it where its time, to
            // the nearest ms, leaves unsure whether the next begins at the
            // target (30 pictures a second: 2467 for 2466.67).
            if ((s->even && own + frame > target + 0.5) || own == target) {
                land(s, LANDED_PICTURE, n->own_ms, true);
                return VERDICT_LAND;
            }
            s->kept = KEPT_DATED;
            s->kept_ms = n->own_ms;
            return VERDICT_KEEP;
        }
        // Past the target: the picture before it shows the target.
        if (s->kept == KEPT_DATED) {
            land(s, LANDED_PICTURE, s->kept_ms, true);
            return VERDICT_LAND_KEPT;
        }
        if (s->kept == KEPT_FORCED && s->after_forced == 1) {
            // The decoder's first picture, shown at once, is a picture before
            // this: the one at the target, or a key frame past it where the
            // demuxer started, and then the library is asked again from before.
            // Where pictures hold for longer, or the decoder may show first one
            // it decoded well before the place, its time is not this one's less
            // a picture: asked from before until a dated one shows the place.
            // Past the place, it is the key frame the demuxer went to (unless
            // the decoder may show first one from well before): how much
            // later it shows than it decodes holds for the stream.
            if (own - frame > target && s->even && !s->first_unsure && s->word_ms >= 0)
                s->key_delay_ms = std::max<int64_t>(s->key_delay_ms, std::llround(own - frame - s->word_ms));
            // Asked at the place itself, the decoder's first may stand more
            // than a picture back: its preroll dropped the ones between.
            bool at_place = s->library_ms > target - frame;
            if ((own - frame > target || !s->even || s->first_unsure || at_place) && may_again(s)) {
                s->again = true;
                s->shows_before = s->shows_before && !at_place;
                return VERDICT_HIDE;
            }
            // Where pictures hold for longer, it began more than a second
            // before the place: only the place it shows is known.
            land(s, LANDED_PICTURE, int64_t(s->even ? own - frame : target), false);
            return VERDICT_LAND_KEPT;
        }
        // The picture at the target never came: the library lost the one
        // it shows first (a flush of its own took it) or passed over it.
        // Asked again from before; then this one lands.
        if (s->kept == KEPT_NONE && may_again(s)) {
            s->again = true;
            s->shows_before = false;  // not this time: asked from before again
            return VERDICT_HIDE;
        }
        land(s, LANDED_PICTURE, n->own_ms, true);
        return VERDICT_LAND;
    }
    case SEEKER_LANDED:
        return s->req.quiet || s->req.hold ? VERDICT_HIDE : VERDICT_TELL;
    case SEEKER_SETTLING:
        return VERDICT_HIDE;
    default:
        return VERDICT_TELL;
    }
}

double seeker_again(seeker *s, int64_t now) {
    s->again = s->waited = false;
    s->agains++;
    s->kept = KEPT_NONE;
    s->after_forced = 0;
    s->passed_us = 0;
    s->deadline_us = now + SEEK_DEADLINE_US;
    double before = s->coarse        ? coarse_base(s) * (1 << s->agains)
                    : s->agains == 1 ? SEEK_AGAIN_BEFORE_MS
                                     : SEEK_AGAIN_FARTHER_MS;
    s->library_ms = before_place(s, before);
    // Where the demuxer said which key frame it went to, just before that
    // one it takes the one before, which shows the place. Where the library's
    // seek moves from such a key frame itself, one that showed at or before
    // the place is the place's: asked from a picture before, the library
    // shows it at once, not after playing unseen from the key frame.
    bool past = s->word_ms + double(seeker_key_delay(s)) > s->req.target_ms;
    bool before_key = s->word_ms > 0 && s->even && (s->agains == 1 || (s->agains == 2 && s->moves));
    if (before_key && s->agains == 1 && s->moves && !past)
        s->library_ms = before_place(s, s->frame_ms);
    else if (before_key)
        s->library_ms = std::floor(s->word_ms) - 1;
    from_before(s, before);
    s->word_ms = -1;
    s->word_moved = false;
    s->key_past = false;
    return s->library_ms;
}

bool seeker_waited(seeker *s, bool video) {
    s->settled = true;
    if (s->phase != SEEKER_ASKED)
        return false;
    if (s->req.key && !s->keyed && video) {
        // No word of where the demuxer went: no picture is known to be it.
        land(s, LANDED_UNKEYED, int64_t(s->req.target_ms), false);
        return true;
    }
    s->waited = true;
    if (s->key_past && may_again(s))
        s->again = true;
    if (video)
        return false;
    land(s, LANDED_SOUND, target_of(s, 0), false);
    return true;
}

void seeker_input_ended(seeker *s) { s->settled = true; }

bool seeker_last_kept(seeker *s, int64_t last_ms) {
    s->settled = true;
    // A coarse demuxer asked from its start whose decoder's first is all that
    // showed before the end: once more, shown from there.
    bool unshown = s->demuxer_ms >= 0 && !s->to_end;
    if (s->kept != KEPT_DATED && (may_again(s) || unshown)) {
        // The decoder's first picture, kept or still to come, has no time of
        // its own: from before it the pictures up to the last are dated. A
        // place past the last picture (a length first estimated longer) is
        // the last's; otherwise all show from where the demuxer starts.
        s->again = true;
        if (s->req.target_ms > double(last_ms) && last_ms > 0)
            s->req.target_ms = double(last_ms);
        else
            s->to_end = true;
        return false;
    }
    s->req.play = false;  // the library paused there itself
    if (s->kept == KEPT_NONE && s->req.next) {
        land(s, LANDED_PICTURE, int64_t(s->req.target_ms), true);  // none after the still: it stays
        return true;
    }
    if (s->kept == KEPT_NONE) {
        s->at_end = true;
        s->last_ms = last_ms;
        return false;
    }
    // The decoder's first is the key frame the demuxer said it went to,
    // unless the library's seek moved from there; its time, where known.
    int64_t ms = s->kept == KEPT_DATED ? s->kept_ms : last_ms;
    if (s->kept == KEPT_FORCED && s->word_ms >= 0 && !s->word_moved)
        ms = std::min<int64_t>(ms, std::llround(s->word_ms) + seeker_key_delay(s));
    land(s, LANDED_PICTURE, ms, s->kept == KEPT_DATED);
    return true;
}

bool seeker_key_frame(seeker *s, double before_ms) {
    // The first word, or the key frame before it where the library's seek
    // moved from the first.
    double word = std::fmax(0.0, s->library_ms - before_ms);
    if (s->phase != SEEKER_ASKED || before_ms < 0 || (s->word_ms >= 0 && (s->req.key || word >= s->word_ms)))
        return false;
    s->word_ms = word;
    if (s->req.key) {
        // Where the library went, and its clock starts: a decoding time, which
        // the key frame's own time follows by the stream's delay (B-frames).
        s->keyed = true;
        s->library_ms = s->req.target_ms = s->word_ms;
        return true;
    }
    // Pictures decoded before the key frame but shown after it belong to the
    // last key frame: from a key frame that shows past the place, none shows it.
    int64_t delay = seeker_key_delay(s);
    s->key_past = delay > 0 && !s->first_unsure && s->word_ms + double(delay) > s->req.target_ms;
    return s->key_past;
}

int64_t seeker_key_delay(const seeker *s) { return std::max(s->key_delay_ms, s->shift_ms); }

void seeker_edit_shift(seeker *s, double shift_ms) {
    if (shift_ms > 0 && shift_ms < 1e6)
        s->shift_ms = std::max<int64_t>(s->shift_ms, std::llround(shift_ms));
}

bool seeker_cut_short(seeker *s) {
    if (s->phase != SEEKER_ASKED || s->req.hold || !(s->coarse || !s->waited) || s->req.target_ms < 0 || !may_again(s))
        return false;
    s->again = true;
    s->req.play = true;  // the input stays paused at its end through the seek
    return true;
}

bool seeker_ended(seeker *s) {
    if (s->phase != SEEKER_ASKED && s->phase != SEEKER_SETTLING)
        return false;
    s->phase = SEEKER_IDLE;
    return true;
}

bool seeker_tick(seeker *s, int64_t now, int64_t library_ms) {
    if (s->deadline_us && now >= s->deadline_us)
        s->settled = true;
    if (s->phase != SEEKER_ASKED || now < s->deadline_us)
        return false;
    land(s, LANDED_DEADLINE, library_ms, false);
    return true;
}

bool seeker_passed(seeker *s, int64_t now) {
    if (s->phase != SEEKER_ASKED || s->kept != KEPT_DATED || !s->passed_us || now < s->passed_us)
        return false;
    land(s, LANDED_PICTURE, s->kept_ms, true);
    return true;
}

void seeker_taken(seeker *s, bool settle) {
    if (s->phase == SEEKER_LANDED)
        s->phase = settle ? SEEKER_SETTLING : SEEKER_IDLE;
}

bool seeker_paused(seeker *s) {
    if (s->phase != SEEKER_SETTLING)
        return false;
    s->phase = SEEKER_IDLE;
    return true;
}

void seeker_forget(seeker *s) { s->phase = SEEKER_IDLE; }
