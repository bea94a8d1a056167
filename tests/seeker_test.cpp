// The seek machine and the picture times, pure: each row of the machine's
// table in turn, and the times a picture's date gives on the library's clock.
#include "seeker.h"
#include "timeline.h"

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace {

const int64_t T = 2000;    // the place asked for, ms
const double F = 40;       // a picture's duration, ms
const int64_t NOW = 1000;  // µs; the deadline is 5 s on

seek_request host(bool hold = false) { return {CLIENT_HOST, 7, double(T), 0, true, false, hold, hold, false}; }
seek_request key() { return {CLIENT_PREVIEW, 9, double(T), 0, false, true, false, true, false, true, 160, 1}; }
picture_news dated(int64_t own_ms) { return {true, false, true, false, true, own_ms, false}; }
const picture_news FORCED{true, true, false, false, false, 0, false}, AGAIN{false, false, true, false, true, T, false};

// One fact and what the machine makes of it: a verdict, a truth, or a
// library target; then its phase and, landed, where.
struct row {
    const char *what;
    std::function<int(seeker *)> fact;
    int result, phase;
    int64_t landed_ms = -1;
};

void walk(seeker *s, const std::vector<row> &rows) {
    for (const row &r : rows) {
        EXPECT_EQ(r.fact(s), r.result) << r.what;
        EXPECT_EQ(s->phase, r.phase) << r.what;
        EXPECT_TRUE(r.landed_ms < 0 || s->landed_ms == r.landed_ms) << r.what << ": landed at " << s->landed_ms;
    }
}

auto ask(seek_request r, int64_t now = NOW) {
    return [=](seeker *s) { return seeker_ask(s, &r, now); };
}
auto picture(picture_news n) {
    return [=](seeker *s) { picture_news m = n; return seeker_picture(s, &m); };
}
auto waited(bool video = true) {
    return [=](seeker *s) { return int(seeker_waited(s, video)); };
}

const int TELL = VERDICT_TELL, HIDE = VERDICT_HIDE, LAND = VERDICT_LAND, KEEP = VERDICT_KEEP, KEPT = VERDICT_LAND_KEPT;
const int IDLE = SEEKER_IDLE, ASKED = SEEKER_ASKED, LANDED = SEEKER_LANDED, SETTLING = SEEKER_SETTLING;

}  // namespace

// Each row of the machine's table, in scenarios as a host meets them.
TEST(Seeker, FollowsItsTable) {
    seeker s{};
    s.frame_ms = F;
    s.even = true;
    walk(&s, {
                 {"idle: pictures are told", picture(dated(100)), TELL, IDLE},
                 {"ask", ask(host()), 1, ASKED},
                 {"one at a time", ask(host()), 0, ASKED},
                 {"asked a picture before the place", [](seeker *x) { return int(x->library_ms); }, int(T - F), ASKED},
                 {"a picture before the wait: from before the seek", picture(dated(T)), HIDE, ASKED},
                 {"shown again", picture(AGAIN), HIDE, ASKED},
                 {"the decoder's first, off the clock: kept back", picture(FORCED), KEEP, ASKED},
                 {"the wait", waited(), 0, ASKED},
                 {"undated after the wait", picture({true, false, false, false, false, 0, false}), HIDE, ASKED},
                 {"dated before the media's start: queued before the seek", picture(dated(-10)), HIDE, ASKED},
                 {"made ready before the seek, dated at the place on the old clock",
                  picture([] { picture_news n = dated(T); n.stale = true; return n; }()), HIDE, ASKED},
                 {"a picture before the place, maybe the last: kept back", picture(dated(T - 41)), KEEP, ASKED},
                 {"at the place, the next past it: the landing", picture(dated(T)), LAND, LANDED, T},
                 {"after the landing, told", picture(dated(T + 40)), TELL, LANDED},
                 {"taken, playing", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 // A picture before the place that a later one may follow before it, then one past it.
                 {"ask again", ask(host()), 1, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"a held picture, maybe the last before the place", picture(dated(T - 100)), KEEP, ASKED},
                 {"past the place: the kept one lands", picture(dated(T + 500)), KEPT, LANDED, T - 100},
                 {"taken for a paused host after playing", [](seeker *x) { return seeker_taken(x, true), 0; }, 0,
                  SETTLING},
                 {"settling: hidden", picture(dated(T + 540)), HIDE, SETTLING},
                 {"paused: over", [](seeker *x) { return int(seeker_paused(x)); }, 1, IDLE},
                 // The decoder's first is the one at the place: the next, a picture on, says so. (The held
                 // picture showed before where the library was asked; these decoders show none.)
                 {"none shows before", [](seeker *x) { return int(x->shows_before = false); }, 0, IDLE},
                 {"ask", ask(host()), 1, ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"the next: the forced one lands a picture before", picture(dated(T + 40)), KEPT, LANDED, T},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 // ... unless the decoder may show first one from well before the place.
                 {"ask", ask(host()), 1, ASKED},
                 {"its decoder's first unsure", [](seeker *x) { return int(x->first_unsure = true); }, 1, ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"the next, a picture on: asked again", picture(dated(T + 40)), HIDE, ASKED},
                 {"from before", [](seeker *x) { return int(seeker_again(x, NOW)); }, int(T - SEEK_AGAIN_BEFORE_MS),
                  ASKED},
                 {"its wait", waited(), 0, ASKED},
                 {"the one at the place, dated", picture(dated(T)), LAND, LANDED, T},
                 {"taken", [](seeker *x) { return x->first_unsure = false, seeker_taken(x, false), 0; }, 0, IDLE},
                 // ... or a key frame past the place: asked again from before it, once.
                 {"ask", ask(host()), 1, ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"two pictures on: asked again", picture(dated(T + 80)), HIDE, ASKED},
                 {"from before", [](seeker *x) { return int(seeker_again(x, NOW)); }, int(T - SEEK_AGAIN_BEFORE_MS),
                  ASKED},
                 {"its wait", waited(), 0, ASKED},
                 {"the one at the place never came: asked once already, lands", picture(dated(T + 80)), LAND,
                  LANDED, T + 80},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 // Nothing kept back and past the place: the library lost it.
                 {"ask", ask(host()), 1, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"past it: asked again", picture(dated(T + 80)), HIDE, ASKED},
                 {"asked again", [](seeker *x) { return int(x->again); }, 1, ASKED},
                 {"landed by the deadline", [](seeker *x) { return int(seeker_tick(x, NOW + 5000000, 1234)); }, 1,
                  LANDED, 1234},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 // The start: the decoder's first is the media's first.
                 {"ask the start", ask({CLIENT_LOOP, 0, 0, 0, false, false, true, false, false}), 1, ASKED},
                 {"forced at the start lands", picture(FORCED), LAND, LANDED, 0},
                 // Not settled: the wait of the last one may still come.
                 {"ask before the last one's wait", ask(host()), 0, LANDED},
                 {"the input read to its end: settled", [](seeker *x) { return seeker_input_ended(x), 0; }, 0, LANDED},
                 {"ask", ask(host(true)), 1, ASKED},
                 {"quiet hold: hidden when landed", picture(FORCED), KEEP, ASKED},
                 {"the end for a paused host, the decoder's first kept: its time unknown, asked again",
                  [](seeker *x) { return int(seeker_last_kept(x, 3960)) * 10 + int(x->again); }, 1, ASKED},
                 {"from before", [](seeker *x) { return int(seeker_again(x, NOW)); }, int(T - SEEK_AGAIN_BEFORE_MS),
                  ASKED},
                 {"forced again", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"the last picture, dated, a picture before the place: kept back", picture(dated(T - 50)), KEEP, ASKED},
                 {"the end: the kept one is the last, at its time",
                  [](seeker *x) { return int(seeker_last_kept(x, 3960)); }, 1, LANDED, T - 50},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"ask", ask(host(true)), 1, ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"the end", [](seeker *x) { return int(seeker_last_kept(x, 3960)); }, 0, ASKED},
                 {"asked again", [](seeker *x) { return int(seeker_again(x, NOW)); }, int(T - SEEK_AGAIN_BEFORE_MS),
                  ASKED},
                 {"forced again", picture(FORCED), KEEP, ASKED},
                 {"the end once more: the decoder's first lands where the library's length says",
                  [](seeker *x) { return int(seeker_last_kept(x, 3960)); }, 1, LANDED, 3960},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"ask", ask(host(true)), 1, ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"the end", [](seeker *x) { return int(seeker_last_kept(x, 3960)); }, 0, ASKED},
                 {"asked again", [](seeker *x) { return int(seeker_again(x, NOW)); }, int(T - SEEK_AGAIN_BEFORE_MS),
                  ASKED},
                 {"the demuxer went to the key frame there", [](seeker *x) { return int(seeker_key_frame(x, 0)); }, 0,
                  ASKED},
                 {"forced again", picture(FORCED), KEEP, ASKED},
                 {"the end once more: the decoder's first is that key frame",
                  [](seeker *x) { return int(seeker_last_kept(x, 3960)); }, 1, LANDED, T - 120},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"ask", ask(host(true)), 1, ASKED},
                 {"the end before any picture: asked again", [](seeker *x) { return int(seeker_last_kept(x, 3960)) * 10 + int(x->again); }, 1, ASKED},
                 {"from before", [](seeker *x) { return int(seeker_again(x, NOW)); }, int(T - SEEK_AGAIN_BEFORE_MS),
                  ASKED},
                 {"the end once more, nothing kept: the next new picture", [](seeker *x) { return int(seeker_last_kept(x, 3960)); },
                  0, ASKED},
                 {"any new picture lands there", picture(FORCED), LAND, LANDED, 3960},
                 {"landed for a paused host that played: hidden", picture(dated(T)), HIDE, LANDED},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 // Sound alone lands at the wait; the end drops what never landed.
                 {"ask", ask(host(), NOW + 6000000), 1, ASKED},
                 {"wait without video", waited(false), 1, LANDED, T},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"ask", ask(host(), NOW + 6000000), 1, ASKED},
                 {"the end answers it", [](seeker *x) { return int(seeker_ended(x)); }, 1, IDLE},
                 {"ask", ask(host(), NOW + 12000000), 1, ASKED},
                 {"forget", [](seeker *x) { return seeker_forget(x), 0; }, 0, IDLE},
                 // A key frame's preview, on a library that seeks to key frames:
                 // the first new picture after the demuxer's word is the key frame.
                 {"ask for a key frame", ask(key(), NOW + 18000000), 1, ASKED},
                 {"at the place itself", [](seeker *x) { return int(x->library_ms); }, int(T), ASKED},
                 {"the last seek's picture, before the word", picture(dated(T)), HIDE, ASKED},
                 {"the demuxer's word", [](seeker *x) { return int(seeker_key_frame(x, 500)); }, 1, ASKED},
                 {"once", [](seeker *x) { return int(seeker_key_frame(x, 300)); }, 0, ASKED},
                 {"its first new picture lands at its own time", picture(dated(T - 420)), LAND, LANDED, T - 420},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"ask near the start", ask(key(), NOW + 24000000), 1, ASKED},
                 {"the demuxer went to its start", [](seeker *x) { return int(seeker_key_frame(x, T)); }, 1, ASKED},
                 {"the media's first picture lands there", picture(dated(80)), LAND, LANDED, 0},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 // The stream's delay from decoding to showing, as large as a date ever told it.
                 {"ask for a key frame", ask(key(), NOW + 30000000), 1, ASKED},
                 {"its word", [](seeker *x) { return int(seeker_key_frame(x, 500)); }, 1, ASKED},
                 {"a date heard late says less: the delay seen before holds", picture(dated(T - 480)), LAND, LANDED, T - 420},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"no word", ask(key(), NOW + 36000000), 1, ASKED},
                 {"the wait lands untold", waited(), 1, LANDED, T},
                 {"how", [](seeker *x) { return x->landing; }, LANDED_UNKEYED, LANDED},
             });
}

// Thirty pictures a second: times to the nearest ms leave a picture that
// ends at the place looking as if it showed it.
TEST(Seeker, PicturesOfNoWholeMillisecond) {
    seeker s{};
    s.frame_ms = 1000.0 / 30;
    s.even = true;
    seek_request at = host();
    at.target_ms = 2500;  // picture 75
    walk(&s, {
                 {"ask", ask(at), 1, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"2466.67, told 2467: kept back", picture(dated(2467)), KEEP, ASKED},
                 {"the one at the place lands", picture(dated(2500)), LAND, LANDED, 2500},
             });
}

// B-frames: a key frame shows later than it decodes, and the MP4 demuxer's
// word tells where it decodes. One past the place shows the delay; from then
// on such a key frame is left at once, and from just before it.
TEST(Seeker, KeyFramesThatShowPastThePlace) {
    seeker s{};
    s.frame_ms = F;
    s.even = true;
    auto at = [](double ms) { seek_request r = host(); r.target_ms = ms; return r; };
    auto word = [](double before_ms) { return [=](seeker *x) { return int(seeker_key_frame(x, before_ms)); }; };
    auto again = [](seeker *x) { return int(seeker_again(x, NOW)); };
    auto waited_again = [](seeker *x) { return int(seeker_waited(x, true)) + 2 * x->again; };  // 2: asked again
    walk(&s, {
                 {"ask 1971", ask(at(1971)), 1, ASKED},
                 {"a key frame 11 ms before 1931: its delay unknown", word(11), 0, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"the key frame, forced", picture(FORCED), KEEP, ASKED},
                 {"the next is 2040: the key frame showed 2000, past the place", picture(dated(2040)), HIDE, ASKED},
                 {"its delay: 80", [](seeker *x) { return int(x->key_delay_ms); }, 80, ASKED},
                 {"asked again just before its decoding time", again, 1919, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"the one showing the place lands", picture(dated(1960)), LAND, LANDED, 1960},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"ask 2971", ask(at(2971), NOW + 6000000), 1, ASKED},
                 {"a key frame decoded at 2920 shows at 3000: past", word(11), 1, ASKED},
                 {"asked again once the decoders were waited for", waited_again, 2, ASKED},
                 {"... from just before it", again, 2919, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"lands", picture(dated(2960)), LAND, LANDED, 2960},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"ask 2500", ask(at(2500), NOW + 12000000), 1, ASKED},
                 {"a key frame decoded at 1920 shows at 2000: before the place", word(540), 0, ASKED},
                 {"wait: nothing asked again", waited_again, 0, ASKED},
             });
    // A decoder whose first may be a picture from well before (AV1) tells
    // nothing of the key frame by it.
    seeker u{};
    u.frame_ms = F;
    u.even = u.first_unsure = true;
    walk(&u, {
                 {"ask 1971", ask(at(1971)), 1, ASKED},
                 {"the word", word(11), 0, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"the decoder's first", picture(FORCED), KEEP, ASKED},
                 {"the next past the place: asked again", picture(dated(2040)), HIDE, ASKED},
                 {"no delay learnt", [](seeker *x) { return int(x->key_delay_ms); }, 0, ASKED},
                 {"asked again", again, 1919, ASKED},
                 {"forget", [](seeker *x) { return seeker_forget(x), 0; }, 0, IDLE},
                 // Asked right after the load began, it may show its early pictures dated, and no first.
                 {"ask 200", ask(at(200), NOW + 6000000), 1, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"picture 1, dated 191 on the new clock: asked again", [](seeker *x) {
                      picture_news n = dated(191);
                      return seeker_picture(x, &n) + 10 * x->again;
                  }, HIDE + 10, ASKED},
             });
}

// Where the decoder shows the pictures just before where it was asked
// (B-frames), the library is asked at the place itself, and the MP4 edit
// list's shift tells a key frame past it before any picture; until a seek
// there shows a decoder's first that stood further back.
TEST(Seeker, AskedAtThePlaceWhereThePicturesBeforeItShow) {
    seeker s{};
    s.frame_ms = F;
    s.even = true;
    auto at = [](double ms) { seek_request r = host(); r.target_ms = ms; return r; };
    auto library = [](seeker *x) { return int(x->library_ms); };
    auto taken = [](seeker *x) { return seeker_taken(x, false), 0; };
    auto again = [](seeker *x) { return int(seeker_again(x, NOW)); };
    walk(&s, {
                 {"ask 1971: from a picture before", ask(at(1971)), 1, ASKED},
                 {"... 1931", library, 1931, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"1880, wholly before 1931, shows", picture(dated(1880)), KEEP, ASKED},
                 {"1960 lands", picture(dated(1960)), LAND, LANDED, 1960},
                 {"taken", taken, 0, IDLE},
                 {"ask 2971: at the place", ask(at(2971), NOW + 6000000), 1, ASKED},
                 {"... 2971", library, 2971, ASKED},
                 {"the edit list: 80 ms", [](seeker *x) { return seeker_edit_shift(x, 80), 0; }, 0, ASKED},
                 {"a key frame decoded at 2960 shows at 3040: past",
                  [](seeker *x) { return int(seeker_key_frame(x, 11)); }, 1, ASKED},
                 {"asked again once waited for", [](seeker *x) { return int(seeker_waited(x, true)) + 2 * x->again; }, 2,
                  ASKED},
                 {"... from just before it", again, 2959, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"lands", picture(dated(2960)), LAND, LANDED, 2960},
                 {"taken", taken, 0, IDLE},
                 {"ask 2500: at the place", ask(at(2500), NOW + 12000000), 1, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"the decoder's first", picture(FORCED), KEEP, ASKED},
                 {"then 2560: the first may stand pictures back (its preroll dropped some), asked again",
                  picture(dated(2560)), HIDE, ASKED},
                 {"from before", again, 2380, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"lands", picture(dated(2480)), LAND, LANDED, 2480},
                 {"taken", taken, 0, IDLE},
                 {"ask 1971: from a picture before again", ask(at(1971), NOW + 18000000), 1, ASKED},
                 {"... 1931", library, 1931, ASKED},
             });
}

// Where the library's own seek moves from a key frame that shows past the
// place (the engine's demuxer filter), the demuxer's second word, of the key
// frame before, is the one that counts; and a seek asked again for any other
// cause goes from a picture before the place, not from its key frame.
TEST(Seeker, TheLibrarysSeekMovesFromAKeyFramePastThePlace) {
    seeker s{};
    s.frame_ms = F;
    s.even = s.moves = true;
    seeker_edit_shift(&s, 80);
    auto at = [](double ms) { seek_request r = host(); r.target_ms = ms; return r; };
    auto word = [](double before_ms) { return [=](seeker *x) { return int(seeker_key_frame(x, before_ms)); }; };
    auto again = [](seeker *x) { return int(seeker_again(x, NOW)); };
    walk(&s, {
                 {"the key frames' delay: the shift", [](seeker *x) { return int(seeker_key_delay(x)); }, 80, IDLE},
                 {"ask 2971, from 2931", ask(at(2971)), 1, ASKED},
                 {"a key frame decoded at 2920 shows at 3000: past", word(11), 1, ASKED},
                 {"moved from 2919 to the one decoded at 1920: before", word(1011), 0, ASKED},
                 {"a later word is not the key frame", word(5), 0, ASKED},
                 {"wait: nothing asked again", [](seeker *x) { return int(seeker_waited(x, true)) + 2 * x->again; }, 0,
                  ASKED},
                 {"the decoder's first", picture(FORCED), KEEP, ASKED},
                 {"2960 lands", picture(dated(2960)), LAND, LANDED, 2960},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"ask 2500", ask(at(2500), NOW + 6000000), 1, ASKED},
                 {"a key frame decoded at 1920 shows at 2000", word(540), 0, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"2560 first: the place's picture never came", picture(dated(2560)), HIDE, ASKED},
                 {"asked again from a picture before", again, 2460, ASKED},
                 {"the word", word(540), 0, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"2560 first again: the library lost the one before", picture(dated(2560)), HIDE, ASKED},
                 {"once more, from just before the key frame", again, 1919, ASKED},
             });
}

// MPEG-TS: the demuxer starts at the first key frame from where it is asked,
// however far on. The library is asked from a second before, then from twice
// as far back each time, down to the start, until one before the place. A
// playing seek whose input paused at its end before anything of the place
// came (before the decoders' wait; with MPEG-TS, before any picture) is
// asked again too, to play.
TEST(Seeker, ACoarseDemuxerIsAskedFromFartherBack) {
    auto again = [](seeker *x) { return int(seeker_again(x, NOW)); };
    auto from = [](seeker *x) { return int(x->library_ms); };
    auto cut_short = [](seeker *x) { return int(seeker_cut_short(x)) + 2 * x->again + 4 * x->req.play; };
    auto machine = [](bool coarse) { seeker s{}; s.frame_ms = F, s.even = true, s.coarse = coarse; return s; };
    for (bool coarse : {true, false}) {
        seeker s = machine(coarse);
        SCOPED_TRACE(coarse ? "coarse" : "MP4");
        walk(&s, {
                     {"ask 2000", ask(host()), 1, ASKED},
                     {"from a second before, or a picture", from, coarse ? 1000 : 1960, ASKED},
                     {"wait", waited(), 0, ASKED},
                     {"the key frame past the place, forced", picture(FORCED), KEEP, ASKED},
                     {"the next after it: asked again", picture(dated(3040)), HIDE, ASKED},
                     {"from twice as far, or 120 ms before", again, coarse ? 0 : 1880, ASKED},
                     {"wait", waited(), 0, ASKED},
                 });
        if (!coarse) {
            walk(&s, {{"the key frame", picture(FORCED), KEEP, ASKED},
                      {"once only: it lands", picture(dated(3040)), KEPT, LANDED, 3000}});
            continue;
        }
        walk(&s, {
                     {"the first picture", picture(FORCED), KEEP, ASKED},
                     {"on the way", picture(dated(1960)), KEEP, ASKED},
                     {"the one at the place lands", picture(dated(2000)), LAND, LANDED, 2000},
                     {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 });
        seek_request far = host(true);
        far.target_ms = 9000;
        walk(&s, {
                     {"ask 9000, paused: from as far as the last seek needed", ask(far, NOW + 6000000), 1, ASKED},
                     {"... 7000", from, 7000, ASKED},
                     {"then 5000", again, 5000, ASKED},
                     {"then 1000", again, 1000, ASKED},
                     {"then the start", again, 0, ASKED},
                 });
    }
    // Where the library's seek moves the demuxer, only the demuxer goes
    // farther back: the library shows from two pictures before the place,
    // the pictures up to there unshown.
    seeker m = machine(true);
    m.moves = true;
    seek_request far = host(true);
    far.target_ms = 9000;
    auto demuxer = [](seeker *x) { return int(x->demuxer_ms); };
    auto again_from = [=](seeker *x) { return again(x), demuxer(x); };
    walk(&m, {
                 {"ask 9000", ask(far), 1, ASKED},
                 {"shown from two pictures before", from, 8920, ASKED},
                 {"the demuxer from a second before", demuxer, 8000, ASKED},
                 {"then 7000", again_from, 7000, ASKED},
                 {"the library as before", from, 8920, ASKED},
                 {"then 5000", again_from, 5000, ASKED},
                 {"then 1000", again_from, 1000, ASKED},
                 {"then the start", again_from, 0, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"the key frame", picture(FORCED), KEEP, ASKED},
                 {"from the start, asked no more: lands before the next", picture(dated(9100)), KEPT, LANDED, 9060},
             });
    // Past the end (a length first estimated longer): the last picture's place.
    seeker e = machine(true);
    e.moves = true;
    auto ended = [](int64_t last) { return [=](seeker *x) { return int(seeker_last_kept(x, last)) + 2 * x->again; }; };
    walk(&e, {
                 {"ask 9000", ask(far), 1, ASKED},
                 {"the media paused at its end, the last at 1920: asked again", ended(1920), 2, ASKED},
                 {"from two pictures before the last", [=](seeker *x) { return again(x), from(x); }, 1840, ASKED},
                 {"the demuxer from two seconds before it: its start", demuxer, 0, ASKED},
             });
    e = machine(true);
    e.moves = true;
    walk(&e, {
                 {"ask 9000", ask(far), 1, ASKED},
                 {"at the end, its last unknown: asked again", ended(0), 2, ASKED},
                 {"shown from where the demuxer starts", [=](seeker *x) { return again(x), from(x); }, 7000, ASKED},
                 {"as the library", demuxer, -1, ASKED},
             });
    // Asked from the demuxer's start already, only its first showed before
    // the end (MPEG-TS keeps its last pictures back): once more, all shown.
    e = machine(true);
    e.moves = true;
    seek_request near = far;
    near.target_ms = 900;
    walk(&e, {
                 {"ask 900: the demuxer from its start", ask(near), 1, ASKED},
                 {"... 0", demuxer, 0, ASKED},
                 {"the decoder's first", picture(FORCED), KEEP, ASKED},
                 {"the end, the last at 1920: asked again", ended(1920), 2, ASKED},
                 {"all shown from the start", [=](seeker *x) { return again(x), from(x); }, 0, ASKED},
                 {"the first", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"the one at the place, dated, lands", picture(dated(880)), LAND, LANDED, 880},
             });
    // Asked again: 7; not: 0.
    for (auto [coarse, wait, taken] : {std::tuple{true, true, 7}, {true, false, 7}, {false, false, 7}, {false, true, 0}}) {
        seeker s = machine(coarse);
        SCOPED_TRACE(coarse ? "coarse" : "MP4");
        walk(&s, {
                     {"ask 2000, playing", ask(host()), 1, ASKED},
                     {"the wait, or not", [=](seeker *x) { return wait ? waited()(x) : 0; }, 0, ASKED},
                     {"the input paused at its end", cut_short, taken, ASKED},
                 });
    }
}

// Where pictures hold (a screencast keeps only its changes) a picture before
// the place lands once the next is past it or the library's clock is; the
// decoder's first has no time of its own, so the library is asked from
// further back. A step forward lands on the first picture after the still.
TEST(Seeker, PicturesThatHoldAndStepsForward) {
    seeker s{};
    s.frame_ms = F;
    seek_request next = host(true);
    next.next = true;
    auto even = [](bool e) { return [=](seeker *x) { return x->even = e, 0; }; };
    auto again = [](seeker *x) { return int(seeker_again(x, NOW)); };
    auto passed = [](int64_t at) { return [=](seeker *x) { return int(seeker_passed(x, at)); }; };
    walk(&s, {
                 {"ask", ask(host()), 1, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"begun at the place itself: nothing comes between", picture(dated(T)), LAND, LANDED, T},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"ask", ask(host()), 1, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"a picture a moment before the place: it may hold on past it, kept", picture(dated(T - 20)), KEEP, ASKED},
                 {"the glue says when the clock passes the place", [](seeker *x) { return int(x->passed_us = NOW + 100); },
                  int(NOW + 100), ASKED},
                 {"not yet", passed(NOW + 99), 0, ASKED},
                 {"passed: the kept one lands", passed(NOW + 100), 1, LANDED, T - 20},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 // The decoder's first, then one past the place: asked from further back, twice.
                 {"ask", ask(host()), 1, ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"past the place: asked again", picture(dated(T + 300)), HIDE, ASKED},
                 {"from just before", again, int(T - SEEK_AGAIN_BEFORE_MS), ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"its wait", waited(), 0, ASKED},
                 {"past again: asked from farther", picture(dated(T + 300)), HIDE, ASKED},
                 {"a second before", again, int(T - SEEK_AGAIN_FARTHER_MS), ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"its wait", waited(), 0, ASKED},
                 {"the picture that holds at the place, dated now", picture(dated(T - 500)), KEEP, ASKED},
                 {"the next, past it: the kept one lands", picture(dated(T + 300)), KEPT, LANDED, T - 500},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"ask", ask(host()), 1, ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"past", picture(dated(T + 300)), HIDE, ASKED},
                 {"again", again, int(T - SEEK_AGAIN_BEFORE_MS), ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"past", picture(dated(T + 300)), HIDE, ASKED},
                 {"farther", again, int(T - SEEK_AGAIN_FARTHER_MS), ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"past once more: begun over a second before, only the place is known", picture(dated(T + 300)), KEPT,
                  LANDED, T},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 // Steps forward, pictures a picture apart: asked from the still itself.
                 {"even", even(true), 0, IDLE},
                 {"step", ask(next), 1, ASKED},
                 {"asked at the still", [](seeker *x) { return int(x->library_ms); }, int(T), ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"the still itself: hidden", picture(dated(T)), HIDE, ASKED},
                 {"the next lands", picture(dated(T + 40)), LAND, LANDED, T + 40},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"step", ask(next), 1, ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"two on: the forced one was the next", picture(dated(T + 80)), KEPT, LANDED, T + 40},
                 {"taken", [](seeker *x) { return seeker_taken(x, false), 0; }, 0, IDLE},
                 {"step", ask(next), 1, ASKED},
                 {"forced", picture(FORCED), KEEP, ASKED},
                 {"wait", waited(), 0, ASKED},
                 {"three on: the library started further on, asked again", picture(dated(T + 120)), HIDE, ASKED},
                 {"from before", again, int(T - SEEK_AGAIN_BEFORE_MS), ASKED},
                 {"the end, none after the still: it stays", [](seeker *x) { return int(seeker_last_kept(x, 3960)); }, 1,
                  LANDED, T},
             });
}

// Each picture's own time from its date: the load's first at its start, the
// next from where the library's wait put playback, later ones from the first
// dated one; a pause moves every date on, a seek starts anew, and where the
// demuxer's clock stands off the pictures the first two tell how far.
TEST(Timeline, EachPictureTakesItsTimeFromItsDate) {
    const int64_t W = 5000000, MS = 1000;  // the wait's date; µs
    struct step {
        const char *what;
        std::function<void(timeline *)> act;
        int64_t date, want;  // the picture's date and its time; want -1: none
    };
    auto start = [](int64_t at) { return [=](timeline *t) { timeline_start(t, at); }; };
    auto wait = [](int64_t own, int64_t date) { return [=](timeline *t) { timeline_wait(t, own, date); }; };
    auto none = [](timeline *) {};
    const step steps[] = {
        {"the load's first picture, undated", start(0), 0, 0},
        {"the wait: 0 at W", wait(0, W), W + 40 * MS, 40 * MS},
        {"from the anchor", none, W + 80 * MS, 80 * MS},
        {"paused 3 s: dates move on", [](timeline *t) { timeline_resumed(t, 3000000); }, W + 3120 * MS, 120 * MS},
        {"a seek: nothing holds", [](timeline *t) { timeline_reset(t); }, 0, -1},
        {"its wait at 2000", wait(2000 * MS, W), W + 40 * MS, 2040 * MS},
        {"the speed doubles", [](timeline *t) { timeline_rate(t, 2.0); }, W + 60 * MS, 2080 * MS},
        {"a report lagging the pictures: the next one still follows the last",
         [](timeline *t) { timeline_report(t, 1900 * MS, W + 60 * MS, 40 * MS); }, W + 70 * MS, 2100 * MS},
        {"a report agreeing ends the rebase",
         [](timeline *t) { EXPECT_EQ(timeline_report(t, 2120 * MS, W + 80 * MS, 40 * MS), 0); }, W + 100 * MS,
         2160 * MS},
        {"a loop's return: its first picture shown at once at 0, its wait (in the pause) heard 51 ms late; the next "
         "is still the one after",
         [=](timeline *t) { timeline_rate(t, 1.0), timeline_reset(t), timeline_wait(t, 0, W + 51 * MS), timeline_shown(t, 0, 0); },
         W + 40 * MS, 40 * MS},
        {"... or its first dated, at 0, and the next dated 11 ms before it", [=](timeline *t) { timeline_reset(t), timeline_shown(t, W, 0); },
         W - 11 * MS, 40 * MS},
    };
    timeline t;
    timeline_start(&t, 0);
    for (const step &s : steps) {
        s.act(&t);
        int64_t own = -1;
        bool timed = timeline_time(&t, s.date, 40 * MS, &own);
        EXPECT_EQ(timed ? own : -1, s.want) << s.what;
        if (timed)
            timeline_shown(&t, s.date, own);
    }
    EXPECT_FALSE(t.rebase);

    // MPEG-TS: the clock starts 700 ms before the pictures. The first is
    // shown at once (undated, before the wait) and the next a picture on; on
    // a busy machine a paused start may lose the first, and the next comes
    // first, dated.
    for (bool lost : {false, true}) {
        timeline ts;
        timeline_start(&ts, 0);
        ts.measure = true;
        int64_t own = -1;
        if (!lost) {
            ASSERT_TRUE(timeline_time(&ts, 0, 40 * MS, &own));
            timeline_shown(&ts, 0, own);
        }
        timeline_wait(&ts, 0, W);
        ASSERT_TRUE(timeline_time(&ts, W + 740 * MS, 40 * MS, &own));
        timeline_shown(&ts, W + 740 * MS, own);
        ASSERT_TRUE(timeline_time(&ts, W + 780 * MS, 40 * MS, &own));
        EXPECT_EQ(std::tuple(own, ts.lead_us), std::tuple(80 * MS, 700 * MS)) << lost;
    }

    // Elsewhere the lead is what the library's first report says beyond the pictures.
    timeline mkv;
    timeline_start(&mkv, 0);
    timeline_shown(&mkv, W, 0);
    EXPECT_EQ(timeline_report(&mkv, 514 * MS, W + 500 * MS, 40 * MS), 14 * MS);
}

// A picture timed from the wait lands on the grid of the pictures played: on
// its nearest point where they came whole pictures apart (also where the
// library dropped some late); where they did not (a screencast's changes at
// times of their own) only as late as the wait's instant is heard early, for
// a picture off the grid is its own.
TEST(Timeline, TimesFromTheWaitGoOnTheGridOfThePicturesPlayed) {
    const int64_t MS = 1000, F = 40 * MS;
    struct {
        bool gridded;
        int64_t own, want;
    } cases[] = {
        {true, 3760 * MS + 9 * MS, 3760 * MS},    {true, 3760 * MS - 9 * MS, 3760 * MS},
        {true, 3760 * MS + 19 * MS, 3760 * MS},   {true, 3760 * MS + 21 * MS, 3800 * MS},
        {false, 3761 * MS + 300, 3760 * MS},
        {false, 3760 * MS + 2 * MS, 3760 * MS},   {false, 3760 * MS + 3 * MS, 3763 * MS},
        {false, 3760 * MS - 1 * MS, 3760 * MS},   {false, 3760 * MS - 2 * MS, 3758 * MS},
    };
    for (const auto &c : cases) {
        timeline t;
        timeline_start(&t, 0);
        t.gridded = c.gridded;
        EXPECT_EQ(timeline_on_grid(&t, c.own, F), c.own) << "no grid before a dated picture";
        timeline_shown(&t, 5000000, 120 * MS);
        EXPECT_EQ(timeline_on_grid(&t, c.own, F), c.want) << c.gridded << " " << c.own;
    }
}
