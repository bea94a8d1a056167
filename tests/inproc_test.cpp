// The engine's event handler, log callback and seek code,
// driven in-process on real players that never play (bare records where the
// library is not involved), with standard output read back.
#include "engine.h"
#include "json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <array>
#include <sstream>
#include <set>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

using lines = std::vector<std::string>;
using vec = std::vector<double>;
const int64_t MS = 1000;
const int ERR = LIBVLC_ERROR, WARN = LIBVLC_WARNING;

// The lines f printed, each one strict JSON event, less the log lines (the
// library's may come at any time); or else the messages of the log lines alone.
lines capture(const std::function<void()> &f, bool logs = false) {
    testing::internal::CaptureStdout();
    f();
    std::string text = testing::internal::GetCapturedStdout(), l;
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "unterminated: " << text;
    lines got;
    for (std::istringstream in(text); std::getline(in, l);) {
        EXPECT_TRUE(nlohmann::json::accept(l) && l.rfind(R"({"type":")", 0) == 0) << l;
        if (logs == (l.rfind(R"({"type":"log")", 0) == 0))
            got.push_back(logs ? nlohmann::json::parse(l)["message"].get<std::string>() : l);
    }
    return got;
}

// A line handed over as the library hands it: a format and its arguments,
// and the type of the object that logged it.
__attribute__((format(printf, 4, 5))) void log_from(player *q, int level, const char *object, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt), library_line(q, level, object, fmt, ap), va_end(ap);
}
__attribute__((format(printf, 3, 4))) void log_line(player *q, int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt), library_line(q, level, nullptr, fmt, ap), va_end(ap);
}

int take_pending(player *q) { std::lock_guard<ordered_mutex> hold(ctl_lock); return std::exchange(q->pending, 0); }

// The stored error lines of q, oldest first, as the error report reads them.
lines ring(player *q) {
    lines out;
    for (int i = std::max(q->log_count - LOG_RING, 0); i < q->log_count; i++) out.push_back(q->log_ring[i % LOG_RING]);
    return out;
}

// A library event whose one field, first in its record as in every one used here, holds v.
template <class T = int> libvlc_event_t ev(int type, T v = 0) { libvlc_event_t e{type, nullptr, {}}; memcpy(&e.u, &v, sizeof v); return e; }
libvlc_event_t buffering(float c) { return ev(libvlc_MediaPlayerBuffering, c); }
libvlc_event_t time_changed(libvlc_time_t t) { return ev(libvlc_MediaPlayerTimeChanged, t); }
// The clock just after it ticked.
int64_t next_tick() { int64_t t = now_us(), u; while ((u = now_us()) == t) {} return u; }
lines deliver(player *q, libvlc_event_t e) { return capture([&] { on_event(&e, q); }); }

// Each test starts with a fresh current player p that has a clip as its media
// and plays nothing, so the library reports its time as -1. Players are
// released here, not by the reaper, so a replaced one can still be handed events.
class Inproc : public ::testing::Test {
protected:
    player *p = nullptr;
    std::vector<player *> made;

    void SetUp() override { ready_told.store(1), verbosity = 0, p = install(); }
    void TearDown() override { std::for_each(made.begin(), made.end(), player_discard), cur = nullptr; }
    player *install() {  // the gate moved as replacing a player moves it
        player *q = player_new(generation.load() + 1);
        made.push_back(q);
        q->media = libvlc_media_new_path(q->instance, MEDIA_DIR "/seek-clock.mp4");
        std::lock_guard<ordered_mutex> gate(gate_lock);
        return generation.store(q->generation), cur = q;
    }
    // A bare record of the current player, for the log callback, which never calls the library.
    static std::unique_ptr<player> record() { auto q = std::make_unique<player>(); q->generation = generation.load(); return q; }
};

// One playback of p, step by step: what each event prints and asks of the
// control loop. Every event goes to a replaced player first, which ignores it.
TEST_F(Inproc, EventsTellTheHostAndAskTheControlLoopForWhatFollows) {
    player *old = p;
    p = install();
    auto send = [&](libvlc_event_t e, std::function<void()> before = [] {}) {
        return [=, this] {
            EXPECT_EQ(deliver(old, e), lines{}) << e.type;
            EXPECT_EQ(take_pending(old), 0) << e.type;
            before();
            return deliver(p, e);
        };
    };
    // Handed over with p's stamp exactly `age` us old when the handler reads
    // the clock: retried, each time just after the clock ticked, until the
    // handler read it as we did, as its new stamp shows when it printed (a
    // stamp left alone shows it did, the throttle being right). The lines of
    // that last try only.
    auto aged = [this](int64_t player::*stamp, int64_t age, libvlc_event_t e) {
        return [=, this] {
            int64_t before = -1;
            lines got = capture([&] {
                for (int tries = 0; tries < 1000000 && p->*stamp != before - age && p->*stamp != before; tries++)
                    before = next_tick(), p->*stamp = before - age, on_event(&e, p);
            });
            return p->*stamp == before - age || got.empty() ? lines{} : lines{got.back()};
        };
    };
    auto buf = &player::last_buffering_us, pos = &player::last_position_us;
    auto told = [](const std::string &type, const std::string &rest = "") { return lines{R"({"type":")" + type + "\"" + rest + "}"}; };
    auto time = [&](int64_t t) { return told("time", ",\"ms\":" + std::to_string(t)); };
    const int SEEKABLE = libvlc_MediaPlayerSeekableChanged, PAUSABLE = libvlc_MediaPlayerPausableChanged, POS = libvlc_MediaPlayerPositionChanged,
              LENGTH = libvlc_MediaPlayerLengthChanged;
    const lines full = told("buffering", R"(,"pct":100.0)"), empty = told("buffering", R"(,"pct":0.0)");
    const struct { std::function<lines()> act; lines want; int pending; } steps[] = {
        {send(ev(libvlc_MediaPlayerOpening)), told("opening"), 0}, {send(ev(libvlc_MediaPlayerESAdded)), {}, 0},
        {send(ev(SEEKABLE, 2)), told("seekable", R"(,"v":true)"), 0}, {send(ev(SEEKABLE, 1)), {}, 0},
        {send(ev(SEEKABLE, 0)), told("seekable", R"(,"v":false)"), 0}, {send(ev(PAUSABLE, 0)), told("pausable", R"(,"v":false)"), 0},
        {send(ev(PAUSABLE, 0)), {}, 0}, {send(ev(PAUSABLE, 3)), told("pausable", R"(,"v":true)"), 0},
        {send(ev(LENGTH, libvlc_time_t(0))), told("length", R"(,"ms":0)"), 0}, {send(ev(LENGTH, libvlc_time_t(0))), {}, 0},
        {send(ev(LENGTH, libvlc_time_t(5400000000))), told("length", R"(,"ms":5400000000)"), 0},
        {aged(buf, 249999, buffering(60)), {}, 0}, {aged(buf, 250000, buffering(60)), told("buffering", R"(,"pct":60.0)"), 0},
        {aged(buf, 249999, buffering(0)), empty, 0}, {aged(buf, 249999, buffering(100)), full, PEND_START_POS},  // the ends pass
        {aged(buf, 249999, buffering(100)), full, 0}, {aged(pos, 249999, ev(POS, 0.5f)), {}, 0},
        {aged(pos, 250000, ev(POS, 0.75f)), told("position", R"(,"value":0.750000)"), 0},
        {send(ev(libvlc_MediaPlayerPlaying)), told("playing"), PEND_TRACKS}, {send(ev(libvlc_MediaPlayerESAdded)), {}, PEND_TRACKS},
        // The play state the host asked for is told once the library is in it.
        {send(ev(libvlc_MediaPlayerPaused), [this] { p->host_paused.store(1); }), told("paused"), 0},
        {send(ev(libvlc_MediaPlayerPaused)), {}, 0}, {send(ev(libvlc_MediaPlayerESSelected)), {}, PEND_TRACKS},
        {send(ev(libvlc_MediaPlayerPlaying)), {}, 0}, {send(ev(libvlc_MediaPlayerPlaying), [this] { p->host_paused.store(0); }), told("playing"), 0},
        // Time is printed when it moved at least 250 ms; with no seek between, a time behind the last is where the
        // position says (three quarters of the length), and never back.
        {send(time_changed(0)), time(0), 0}, {send(time_changed(240)), {}, 0}, {send(time_changed(260)), time(260), 0},
        {send(time_changed(10)), time(4050000000), 0}, {send(time_changed(259)), {}, 0}, {send(time_changed(-240)), {}, 0},
        // The end of a load that played waits for its tracks, which the control loop tells first; the stopped line is
        // left to it too: it tells it once, after any error of the load.
        {send(ev(libvlc_MediaPlayerEndReached)), {}, PEND_ENDED}, {[this] { return capture([this] { report_held_end(p); }); }, told("end"), 0},
        {send(ev(libvlc_MediaPlayerESDeleted)), {}, 0},
        {send(ev(libvlc_MediaPlayerStopped)), {}, PEND_STOPPED}, {[this] { return capture([this] { report_stopped(p); }); }, told("stopped"), 0},
        {[this] { return capture([this] { report_stopped(p); }); }, {}, 0}, {send(ev(libvlc_MediaPlayerStopped)), {}, 0},
        {send(ev(libvlc_MediaPlayerEncounteredError)), {}, PEND_ERROR},
    };
    for (size_t i = 0; i < std::size(steps); i++)  // the lines printed, then the bits raised
        EXPECT_EQ((std::pair<lines, int>{steps[i].act(), take_pending(p)}), (std::pair<lines, int>{steps[i].want, steps[i].pending})) << "step " << i;
}

// The display module's word on a real player: each new picture with its date
// on the library's clock, from which its time follows. Pictures that hold
// still (a colour a second) are each new, a picture apart; a screencast's
// come only where they change. Paused, the still shown again is no news.
TEST_F(Inproc, TheDisplayModuleTellsEachNewPictureAndItsDate) {
    const struct { const char *clip; int gaps; std::set<int64_t> times; } cases[] = {
        {"held-colours.mp4", GAPS_EVEN, {}},
        {"held-screencast.mp4", GAPS_UNEVEN, {0, 600, 1000, 1200, 1440, 1760, 1800, 2000, 2240, 2360, 2480, 2680}},
    };
    auto until = [](const char *what, const std::function<bool()> &done) {
        for (int64_t end = now_us() + 5000000; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            ASSERT_LT(now_us(), end) << "waited for " << what;
    };
    auto last = [this] { std::lock_guard<ordered_mutex> hold(p->times_lock); return p->times.last_us; };
    for (const auto &c : cases) {
        p = install();
        libvlc_media_t *m = libvlc_media_new_path(p->instance, (std::string(MEDIA_DIR "/") + c.clip).c_str());
        int64_t played = 0, still = 0, after = 0;
        capture([&] {
            libvlc_media_player_set_media(p->mp, m);
            libvlc_media_player_play(p->mp);
            until("two seconds played", [&] { return last() >= 2000000; });
            played = last();
            libvlc_media_player_set_pause(p->mp, 1);
            until("the pause", [&] { return p->paused.load() != 0; });
            still = last();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the still is shown again meanwhile
            after = last();
            libvlc_media_player_stop(p->mp);
        });
        libvlc_media_release(m);
        EXPECT_EQ(p->gaps.load(), c.gaps) << c.clip;
        EXPECT_TRUE(c.times.empty() ? played % 40000 == 0 : c.times.count(played / 1000) == 1) << c.clip << ": " << played;
        EXPECT_EQ(after, still) << c.clip << ": a still shown again taken for a new picture";
    }
}

// At its natural end the library pauses on the last picture: it says so in a
// debug line, or pauses unasked while the host plays. That is told as the end
// and the stop, once; a pause the host asked for is told as such.
TEST_F(Inproc, APauseAtTheEndIsTheEndAndTheStop) {
    const struct { bool line, host_paused; int64_t asked_ago; lines want; int pending; } cases[] = {
        {true, false, 0, {R"({"type":"end"})"}, PEND_ENDED | PEND_STOPPED},
        {false, false, 2000 * MS, {R"({"type":"end"})"}, PEND_ENDED | PEND_STOPPED},
        {false, false, 100 * MS, {}, 0},  // the host's pause, not yet made, before its play
        {false, true, 2000 * MS, {R"({"type":"paused"})"}, 0},
    };
    for (const auto &c : cases) {
        p = install();
        p->host_paused.store(c.host_paused), p->pause_asked_us.store(now_us() - c.asked_ago);
        if (c.line)
            log_from(p, LIBVLC_DEBUG, "input", "pausing at EOF (pause after each)");
        EXPECT_EQ(deliver(p, ev(libvlc_MediaPlayerPaused)), c.want);
        EXPECT_EQ(deliver(p, ev(libvlc_MediaPlayerPaused)), lines{});  // once
        EXPECT_EQ(take_pending(p), c.pending);
    }
}

// The seek machine's client glue, one step at a time: the host's seeks, the
// library's wait line and pictures, the control loop's turns. Each row: what
// happens; the verdict (pictures) or the lines told; the phase after it; the
// bits raised; the mark left for the next picture.
TEST_F(Inproc, SeeksLandOnThePictureThatShowsThePlaceAndTellIt) {
    struct row { std::function<lines()> act; lines told; int phase; int pending; uint64_t mark; };
    auto seek = [this](long long id, const std::string &where, bool ok = true) {
        return row{[=, this] {
                       command c;
                       std::string line = R"({"id":)" + std::to_string(id) + R"(,"cmd":"seek",)" + where + "}";
                       EXPECT_EQ(parse_command(line.c_str(), &c), 0) << line;
                       lines told = capture([&] { cmd_seek(&c, id); });
                       return command_free(&c), told;
                   },
                   {R"({"type":"ack","id":)" + std::to_string(id) + (ok ? R"(,"ok":true})" : R"(,"ok":false})")}, -1, 0, 0};
    };
    // A picture shown ms after the library's last wait put playback where it
    // went (0: undated, shown at once; the library was asked a picture early), and its verdict; a landing's frame queued.
    auto picture = [this](int64_t after_ms, int verdict, int phase, uint64_t mark = 0, bool forced = false) {
        return row{[=, this] {
                       picture_news n{true, forced, after_ms != 0, p->paused.load() != 0, false, 0, false};
                       int64_t date = after_ms ? p->seek.waited_at.load() + 10000 + after_ms * 1000 : 0, own = 0, ms = 0;
                       bool send = true, quiet = false;
                       int v = seek_picture(p, &n, date, &own, &ms, &send, &quiet);
                       if (v == VERDICT_LAND)
                           seek_sent(p, true, PICTURE_QUEUED | p->mark_frame.load(), ms);
                       return lines{"verdict " + std::to_string(v)};
                   },
                   {"verdict " + std::to_string(verdict)}, phase, verdict == VERDICT_LAND ? PEND_SEEK : 0, mark};
    };
    auto waited = [this](int phase, int pending = 0) {
        return row{[this] { return capture([this] { log_from(p, LIBVLC_DEBUG, "input", "Decoder wait done in %d ms", 3); }); },
                   {}, phase, pending, 0};
    };
    auto serve = [this](lines told, int phase) { return row{[this] { return capture([this] { seek_serve(p); }); }, told, phase, 0, 0}; };
    auto set = [](std::function<void()> f, int phase = -1, lines told = {}) { return row{[=] { return capture(f); }, told, phase, 0, 0}; };
    auto landed = [](long long id, int64_t ms, const char *pos) {
        lines l{R"({"type":"time","ms":)" + std::to_string(ms) + "}", R"({"type":"position","value":)" + std::string(pos) + "}"};
        if (id)
            l.insert(l.begin(), R"({"type":"seekLanded","ms":)" + std::to_string(ms) + R"(,"id":)" + std::to_string(id) + "}");
        return l;
    };
    const int H = VERDICT_HIDE, L = VERDICT_LAND, K = VERDICT_KEEP, I = SEEKER_IDLE, A = SEEKER_ASKED,
              D = SEEKER_LANDED, S = SEEKER_SETTLING;
    const row rows[] = {
        // Refused, with nothing changed: both or neither target, out of range, by time without a length.
        seek(1, R"("ms":1,"pos":0.5)", false), seek(1, R"("ms":"1")", false), seek(1, R"("ms":-0.001)", false),
        seek(1, R"("pos":1.0001)", false), set([this] { p->length_ms.store(0); }), seek(1, R"("ms":1000)", false),
        set([this] { p->length_ms.store(10000); }, I),
        // A seek before the start's wait waits for it: that line is the start's, not the seek's.
        seek(4, R"("ms":2000)"), picture(-1, H, I), waited(I, PEND_SEEK), serve({}, A),
        // Pictures before the wait are from before the seek; the decoder's first is kept back.
        picture(-1, H, A), picture(0, K, A, 0, true), waited(A), picture(40, L, D, mark_of(4)),
        serve(landed(4, 2000, "0.200000"), I),
        // A seek sent while one is in flight waits and replaces: only the latest is told.
        seek(5, R"("ms":3000)"), seek(6, R"("pos":0.5)"), waited(A, PEND_SEEK), picture(40, L, D, mark_of(5)),
        serve(landed(0, 3000, "0.300000"), A), waited(A), picture(40, L, D, mark_of(6)), serve(landed(6, 5000, "0.500000"), I),
        // A paused host: the library plays, unheard of, and pauses again on the landing; what it shows
        // meanwhile and after goes to no one.
        set([this] { p->host_paused.store(1); }), seek(7, R"("ms":1000)"), waited(A), picture(40, L, D, mark_of(7)),
        picture(80, H, D), serve(landed(7, 1000, "0.100000"), S), picture(120, H, S),
        {[this] { return deliver(p, ev(libvlc_MediaPlayerPaused)); }, {R"({"type":"paused"})"}, I, PEND_SEEK, 0},
        serve({}, I), picture(160, H, I),
        // Sound alone lands at the wait, at its target.
        set([this] { p->vouts.store(0), p->host_paused.store(0), seek_pause(p, 0); }), seek(8, R"("ms":7000)"),
        waited(D, PEND_SEEK), serve(landed(8, 7000, "0.700000"), I),
        // A source that never answers lands at its deadline, where the library says (nothing here: the start).
        set([this] { p->vouts.store(1); }), seek(9, R"("ms":4000)"),
        set([this] { std::lock_guard<ordered_mutex> hold(p->seek_lock); p->seek.machine.deadline_us = now_us() - 1; }),
        {[this] { return capture([this] { seek_serve(p); }); }, landed(9, 0, "0.000000"), I, 0, mark_of(9)},
    };
    p->seekable.store(1), p->vouts.store(1), p->frame_us.store(40000), p->length_ms.store(10000), p->gaps.store(GAPS_EVEN);
    for (size_t i = 0; i < std::size(rows); i++) {
        const row &r = rows[i];
        EXPECT_EQ(r.act(), r.told) << "row " << i;
        EXPECT_TRUE(r.phase < 0 || p->seek.phase.load() == r.phase) << "row " << i << ": " << p->seek.phase.load();
        EXPECT_EQ(take_pending(p) & ~PEND_TRACKS, r.pending) << "row " << i;
        EXPECT_EQ(p->mark_frame.exchange(0), r.mark) << "row " << i;
    }
}

// A landing whose frame found no room in the queue waits for the next
// picture sent to carry its mark; where none comes (the media ended, or the
// library shows nothing more) it is told all the same, without a frame.
TEST_F(Inproc, ALandingWhoseFrameFoundNoRoomIsToldAllTheSame) {
    p->seekable.store(1), p->vouts.store(1), p->frame_us.store(40000), p->length_ms.store(10000), p->gaps.store(GAPS_EVEN);
    int sink = open("/dev/null", O_WRONLY);
    ASSERT_TRUE(sink >= 0 && dup2(sink, 3) == 3 && frames_start(1) == 0);
    const std::string landing = R"({"type":"seekLanded","ms":9000,"id":)";
    const struct { const char *what; bool ends; } cases[] = {{"the media ends", true}, {"nothing follows", false}};
    long long id = 1;
    for (const auto &c : cases) {
        p = install();
        p->seekable.store(1), p->vouts.store(1), p->frame_us.store(40000), p->length_ms.store(10000), p->gaps.store(GAPS_EVEN);
        std::string line = R"({"id":)" + std::to_string(++id) + R"(,"cmd":"seek","ms":9000})";
        lines told = capture([&] {
            command cmd;
            EXPECT_EQ(parse_command(line.c_str(), &cmd), 0);
            log_from(p, LIBVLC_DEBUG, "input", "Decoder wait done in %d ms", 1);  // the start's
            cmd_seek(&cmd, id), command_free(&cmd);
            log_from(p, LIBVLC_DEBUG, "input", "Decoder wait done in %d ms", 1);
            picture_news n{true, false, true, false, false, 0, false};
            int64_t own = 0, ms = 0;
            bool send = true, quiet = false;
            EXPECT_EQ(seek_picture(p, &n, p->seek.waited_at.load() + 10000 + 40000, &own, &ms, &send, &quiet), VERDICT_LAND);
            seek_sent(p, true, 0, ms);  // not queued
            seek_serve(p);
            if (c.ends) {
                log_from(p, LIBVLC_DEBUG, "input", "pausing at EOF (pause after each)");
                libvlc_event_t e = ev(libvlc_MediaPlayerPaused);
                on_event(&e, p);
            } else {
                std::lock_guard<ordered_mutex> hold(p->seek_lock);
                EXPECT_GT(p->seek.due_us.load(), 0) << c.what << ": the control loop never looks again";
                p->seek.unsent_us -= 1000000;  // a second on
            }
            seek_serve(p);
        });
        auto at = [&](const std::string &start) {
            return std::find_if(told.begin(), told.end(), [&](const std::string &l) { return l.rfind(start, 0) == 0; }) - told.begin();
        };
        std::string what = std::string(c.what) + ": " + ::testing::PrintToString(told);
        EXPECT_LT(at(landing + std::to_string(id)), at(R"({"type":"end"})")) << what;
        EXPECT_LT(at(landing + std::to_string(id)), std::ssize(told)) << what;
        EXPECT_EQ(p->seek.phase.load(), SEEKER_IDLE) << what;
        EXPECT_EQ(p->mark_frame.load(), 0u) << what << ": a later picture would carry the mark";
    }
    frames_start(0);
    close(sink);
}

// A seek that waits its turn behind one whose landing ends the media (the
// library paused at its end just after) is dropped with the end: the library
// is asked nothing more once the host was told the end.
TEST_F(Inproc, ASeekWaitingBehindALandingThatEndsTheMediaIsDropped) {
    p->seekable.store(1), p->vouts.store(1), p->frame_us.store(40000), p->length_ms.store(10000), p->gaps.store(GAPS_EVEN);
    auto seek = [this](long long id, int ms) {
        command c;
        std::string line = R"({"id":)" + std::to_string(id) + R"(,"cmd":"seek","ms":)" + std::to_string(ms) + "}";
        EXPECT_EQ(parse_command(line.c_str(), &c), 0);
        cmd_seek(&c, id), command_free(&c);
    };
    int64_t asked = 0;
    lines told = capture([&] {
        log_from(p, LIBVLC_DEBUG, "input", "Decoder wait done in %d ms", 1);  // the start's
        seek(1, 9000);
        seek_serve(p);
        asked = p->seek.issued_us.load();
        log_from(p, LIBVLC_DEBUG, "input", "Decoder wait done in %d ms", 1);
        seek(2, 3000);  // waits its turn
        picture_news n{true, false, true, false, false, 0, false};
        int64_t own = 0, ms = 0;
        bool send = true, quiet = false;
        EXPECT_EQ(seek_picture(p, &n, p->seek.waited_at.load() + 10000 + 40000, &own, &ms, &send, &quiet), VERDICT_LAND);
        seek_sent(p, true, PICTURE_QUEUED, ms);
        log_from(p, LIBVLC_DEBUG, "input", "pausing at EOF (pause after each)");
        libvlc_event_t e = ev(libvlc_MediaPlayerPaused);
        on_event(&e, p);
        seek_serve(p);
    });
    EXPECT_EQ(p->end_state.load(), END_STOP_HELD) << ::testing::PrintToString(told);
    EXPECT_EQ(std::tuple(p->seek.pending, p->seek.phase.load(), p->seek.issued_us.load()), std::tuple(false, int(SEEKER_IDLE), asked))
        << "the waiting seek was asked after the end: " << ::testing::PrintToString(told);
}

// The library's threads report a seek's facts as fast as they can while the
// host sends seek after seek and the control loop serves: only the host's
// latest seek is ever told landed, once, and a picture is marked only for a
// seek of the host.
TEST_F(Inproc, OnlyTheHostsLatestSeekIsToldHoweverTheThreadsInterleave) {
    p->seekable.store(1), p->length_ms.store(10000), p->vouts.store(1), p->host_paused.store(1), p->frame_us.store(40000);
    p->gaps.store(GAPS_EVEN);
    log_from(p, LIBVLC_DEBUG, "input", "Decoder wait done in %d ms", 1);  // the start's
    std::atomic<bool> done{false};
    std::atomic<uint64_t> marks_wrong{0};
    std::atomic<long long> latest{0};
    std::thread library([&] {
        for (int i = 0; !done; i++, std::this_thread::yield()) {
            if (i % 3 == 0)
                log_from(p, LIBVLC_DEBUG, "input", "Decoder wait done in %d ms", 1);
            picture_news n{true, i % 5 == 0, i % 5 != 0, true, false, 0, false};
            int64_t own = 0, ms = 0, date = n.dated ? p->seek.waited_at.load() + 10000 + (i % 7 - 3) * 40000 : 0;
            bool send = true, quiet = false;
            if (seek_picture(p, &n, date, &own, &ms, &send, &quiet) == VERDICT_LAND)
                seek_sent(p, true, PICTURE_QUEUED, ms);
            uint64_t m = p->mark_frame.exchange(0);
            marks_wrong += m && (uint32_t(m) < 1 || uint32_t(m) > uint32_t(latest.load()));
            if (libvlc_event_t e = ev(libvlc_MediaPlayerPaused); i % 11 == 0)
                on_event(&e, p);  // printed into the main thread's capture
        }
    });
    std::vector<long long> told;
    lines got = capture([&] {
        for (long long id = 1; id <= 3000; id++) {
            command c;
            std::string line = R"({"id":)" + std::to_string(id) + R"(,"cmd":"seek","ms":)" + std::to_string(id % 9000) + "}";
            ASSERT_EQ(parse_command(line.c_str(), &c), 0);
            latest = id, cmd_seek(&c, id), command_free(&c);
            // Every other seek the control loop serves until it landed; else the next seek races with it.
            auto busy = [this] { std::lock_guard<ordered_mutex> hold(p->seek_lock); return p->seek.pending || p->seek.machine.phase == SEEKER_ASKED; };
            for (int64_t until = now_us() + (id % 2 ? 20000 : 0);; std::this_thread::yield()) {
                if (take_pending(p) & PEND_SEEK)
                    seek_serve(p);
                if (now_us() >= until || !busy())
                    break;
            }
        }
        done = true, library.join();
    });
    std::set<long long> seen;  // in the order told: a later seek's landing is never followed by an earlier one's
    for (const auto &l : got)
        if (l.starts_with(R"({"type":"seekLanded")")) {
            long long id = nlohmann::json::parse(l)["id"];
            EXPECT_TRUE(seen.insert(id).second && id == *seen.rbegin()) << "told twice or after a later one: " << id;
        }
    EXPECT_GT(seen.size(), 10u) << "the race was not run";
    EXPECT_EQ(marks_wrong.load(), 0u);
}

// Errors are stored, warnings forwarded only when asked for; nothing is
// forwarded before the ready line or for a retired player. A message is
// formatted once and cut to its first 511 bytes.
TEST_F(Inproc, LevelsReadinessAndTheGateDecideWhatIsForwardedAndStored) {
    const struct { int level, verbosity, ready, retired; bool forwarded, stored; } cases[] = {
        {LIBVLC_DEBUG, 5, 1, 0, false, false}, {LIBVLC_NOTICE, 5, 1, 0, false, false}, {WARN, 0, 1, 0, false, false},
        {WARN, 1, 1, 0, true, false}, {ERR, 0, 1, 0, true, true}, {ERR, 0, 0, 0, false, true},
        {ERR, 1, 1, 1, false, true}, {WARN, 1, 1, 1, false, false},
    };
    for (const auto &c : cases) {
        std::unique_ptr<player> q = record();
        q->generation -= c.retired, ready_told.store(c.ready), verbosity = c.verbosity;
        std::string text = std::string(c.level == ERR ? 510 : 10, '%') + std::to_string(c.level) + std::to_string(c.verbosity) + "%s";
        EXPECT_EQ(capture([&] { log_line(q.get(), c.level, "%s", text.c_str()); }, true), c.forwarded ? lines{text.substr(0, 511)} : lines{}) << text;
        EXPECT_EQ(ring(q.get()), c.stored ? lines{text.substr(0, 511)} : lines{}) << text;
    }
}

// The ring keeps the last eight lines about the media for the error report;
// unsupported codecs are noted for the control loop, eight at most.
TEST_F(Inproc, ErrorLinesAreKeptForTheErrorReportAndCodecsNoted) {
    ready_told.store(0), verbosity = 1;
    std::unique_ptr<player> q = record();
    take_line(q.get(), ERR, "access", "HTTP 404 error");
    lines want = {"HTTP 404 error"};
    for (int i = 1; i <= 9; i++) {
        std::unique_lock<ordered_mutex> hold(ctl_lock);  // the control loop waits on it, and is woken for each noted
        std::string line = "Codec `c00" + std::to_string(i) + "' (x) is not supported.";
        std::thread t([&] { take_line(q.get(), ERR, "decoder", line.c_str()); });
        EXPECT_TRUE(i > 8 || ctl_wake.wait_for(hold, std::chrono::seconds(5)) == std::cv_status::no_timeout) << i;
        hold.unlock(), t.join();
        EXPECT_EQ(take_pending(q.get()), i <= 8 ? PEND_CODECS : 0) << i;
        want.push_back(line);
        EXPECT_TRUE(i != 7 || stored_problem(q.get()) == PROBLEM_NOT_FOUND);
    }
    take_line(q.get(), ERR, "audio output", "PulseAudio server connection failure: Connection refused");  // not about the media
    EXPECT_EQ(ring(q.get()), lines(want.end() - 8, want.end()));
    EXPECT_NE(stored_problem(q.get()), PROBLEM_NOT_FOUND) << "the status eight lines back is gone";
    EXPECT_EQ(lines(q->bad_codecs, q->bad_codecs + q->bad_codec_count), (lines{"c001", "c002", "c003", "c004", "c005", "c006", "c007", "c008"}));
}

// The video output tries formats that fail before one works: those lines are
// told only when none works, or when warnings are asked for.
TEST_F(Inproc, FormatNegotiationLinesAreHeldUntilItsOutcome) {
    const char *objects[] = {"filter", "vout display", "decoder"};
    const lines tries = {"Failed to create video converter", "Failed to adapt decoder format to display", "failed to create video output"};
    for (int agreed : {1, 0, -1}) {  // -1: warnings asked for, so each try is told as it comes
        std::unique_ptr<player> q = record();
        verbosity = agreed < 0;
        EXPECT_EQ(capture([&] { for (size_t i = 0; i < 3; i++) take_line(q.get(), ERR, objects[i], tries[i].c_str()); }, true), agreed < 0 ? tries : lines{});
        // Told once, on failure only.
        EXPECT_EQ(capture([&] { negotiation_over(q.get(), agreed > 0), negotiation_over(q.get(), false); }, true), agreed ? lines{} : tries);
        EXPECT_EQ(ring(q.get()), lines{});
    }
}

// Without a sound device every block of sound fails again: the host is told
// once per load, with the complaint before the failure; a line that repeats
// the last one is not told either. Both are counted in the next drop report,
// and neither is kept for the error report.
TEST_F(Inproc, ASoundOutputFailureIsToldOnceAndRepeatsAreCounted) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the window left by other tests
    std::unique_ptr<player> q = record();
    const char *alsa = "cannot open ALSA device \"default\": No such file or directory";
    auto round = [&] {
        take_line(q.get(), ERR, "audio output", alsa), take_line(q.get(), ERR, "audio output", "Audio output failed");
        take_line(q.get(), ERR, "audio output", "module not functional"), take_line(q.get(), ERR, "decoder", "failed to create audio output");
    };
    int64_t opened = now_us();
    EXPECT_EQ(capture([&] { round(), round(), round(), take_line(q.get(), ERR, "demux", "x"), take_line(q.get(), ERR, "demux", "x"); }, true),
              (lines{"sound cannot be played on this machine (" + std::string(alsa) + ")", "x"}));
    EXPECT_EQ(ring(q.get()), (lines{"x", "x"}));
    // The next report counts the repeats: 10 of the sound output, 1 of x.
    std::this_thread::sleep_for(std::chrono::microseconds(opened + 1100000 - now_us()));
    EXPECT_EQ(capture([&] { take_line(q.get(), ERR, "demux", "y"); }, true), (lines{"11 log lines dropped", "y"}));
    verbosity = 1;  // asked for, every line but a repeat is told as it comes
    EXPECT_EQ(capture([&] { round(); }, true), (lines{alsa, "Audio output failed", "module not functional", "failed to create audio output"}));
}

// The source's watch fed the library's lines in the order it writes them. A
// network load that leads to anything but a network access is denied, however
// the lines word it: a redirect, the access made, or, when neither is
// recognised, anything of the source told before a network access was made.
// A failed connection is a cut only when the last request went unanswered,
// and a refused range only when the stream then cannot seek.
TEST_F(Inproc, TheWatchReadsTheLibrarysLinesInTheirOrder) {
    struct said { const char *fmt, *text; int level = LIBVLC_DEBUG; };  // all of the stream object
    const char *made = "using %s module \"%s\"", *redirect = "redirecting to: %s", *net = "http://h/a";
    const said to_file{redirect, "redirecting to: file:///dev/zero"}, to_cdn{redirect, "redirecting to: HTTPS://cdn/a.mp4"},
        reworded{"redirected to %s", "redirected to file:///dev/zero"}, unknown{"module %s made for %s", "module filesystem made for access"},
        https{made, "using access module \"access\""}, file{made, "using access module \"filesystem\""}, eos{"end of stream", "end of stream"},
        request{"outgoing request:\n%.*s", "outgoing request:\nGET /a HTTP/1.1\r\nRange: bytes=212992-\r\n"}, failed{"connection failed", "connection failed"},
        response{"incoming response:\n%.*s", "incoming response:\nHTTP/1.1 206 Partial Content\r\n"}, refused{"connection failed: %s", "connection failed: Connection refused", ERR},
        no_seek{"cannot seek (to offset %lu)", "cannot seek (to offset 306064)", ERR};
    const struct { const char *url; bool seeking; std::vector<said> lines; std::array<int, 4> want; } cases[] = {  // denied, lost, refused, pending
        {net, false, {to_file}, {1, 0, 0, PEND_WATCH}}, {net, false, {to_cdn, https}, {0, 0, 0, 0}}, {"file:///a", false, {file}, {0, 0, 0, 0}},
        {net, false, {reworded, file}, {1, 0, 0, PEND_WATCH}}, {"https://h/a", false, {reworded, unknown}, {1, 0, 0, PEND_WATCH}},
        // a reconnection (or a look past the end), a cut, nobody listening any more
        {net, false, {https, request, response, failed, eos}, {0, 0, 0, 0}}, {net, false, {https, request, failed, eos}, {0, 1, 0, PEND_WATCH}},
        {net, false, {https, request, refused, eos}, {0, 1, 0, PEND_WATCH}},
        // a range refused to a seek, to the demuxer, and one past the end answered
        {net, true, {https, request, response, failed, no_seek}, {0, 2, 1, PEND_WATCH}}, {net, false, {https, request, response, failed, no_seek}, {0, 0, 1, PEND_WATCH}},
        {net, true, {https, request, response, no_seek}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        std::unique_ptr<player> q = record();
        watch_start(q.get(), 0, c.url), q->started.store(1), q->seek.phase.store(c.seeking ? SEEKER_ASKED : SEEKER_IDLE);
        for (const said &l : c.lines)
            watch_line(q.get(), l.level, "stream", l.fmt, l.text);
        // A source's content, told only of a network access.
        bool told = watch_admits(q.get(), libvlc_MediaPlayerESAdded) && watch_admits(q.get(), libvlc_MediaPlayerLengthChanged);
        EXPECT_EQ((std::array<int, 5>{q->denied.load(), q->lost.load(), q->range_refused.load(), take_pending(q.get()), told}),
                  (std::array<int, 5>{c.want[0], c.want[1], c.want[2], c.want[3], !c.want[0]})) << c.lines.size();
    }
}

// The window is process-wide: the test waits out any other test's first.
TEST_F(Inproc, TwentyLinesASecondAndTheDroppedCountWhenTheWindowCloses) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    std::unique_ptr<player> q = record();
    lines want;  // the first 20
    for (int i = 1; i <= 20; i++) want.push_back("line " + std::to_string(i));
    int64_t opened = now_us();  // the window opens after this
    EXPECT_EQ(capture([&] { for (int i = 1; i <= 25; i++) log_line(q.get(), ERR, "line %d", i); }, true), want);
    ASSERT_LT(now_us() - opened, 900000) << "too slow to land 25 lines in one window";
    EXPECT_EQ(q->log_count, 25) << "dropped lines are still stored";
    // The count comes as the window closes, though no further line comes.
    EXPECT_EQ(capture([&] { std::this_thread::sleep_for(std::chrono::microseconds(opened + 1300000 - now_us())); }, true),
              lines{"5 log lines dropped"});
}

// A stop moves the gate and then tells "stopped": the lines the stopped load
// had dropped are counted before it, and nothing of that load follows it.
TEST_F(Inproc, TheLinesALoadDroppedAreCountedBeforeItsStop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // a window of its own
    std::unique_ptr<player> q = record();
    testing::internal::CaptureStdout();
    for (int i = 1; i <= 25; i++) log_line(q.get(), ERR, "line %d", i);
    cur = nullptr;  // p is released by the fixture, not retired
    replace_with_none(generation.load() + 1, false), tell_stopped();
    log_line(q.get(), ERR, "after");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // past the window's close
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(text.ends_with("{\"type\":\"log\",\"message\":\"5 log lines dropped\"}\n{\"type\":\"stopped\"}\n")) << text;
}

}  // namespace
