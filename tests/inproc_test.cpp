// The engine's event handler, log callback, seek code and picture clock,
// driven in-process on real players that never play (bare player records
// where the library is not involved), with standard output read back.
#include "engine.h"
#include "json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using lines = std::vector<std::string>;
using ev_t = libvlc_event_t;
const int64_t MS = 1000;
const int ERR = LIBVLC_ERROR, WARN = LIBVLC_WARNING;

// The lines f printed, each one strict JSON event; the library's own log
// lines, which may come at any time, only when asked for.
lines capture(const std::function<void()> &f, bool logs = false) {
    static int out[2] = {-1, -1};
    if (out[0] < 0 && (pipe(out) != 0 || fcntl(out[0], F_SETFL, O_NONBLOCK) != 0))
        ADD_FAILURE() << "no pipe";
    fflush(stdout);
    int saved = dup(1);
    dup2(out[1], 1);
    f();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    lines got;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string l = text.substr(at, nl - at);
        EXPECT_TRUE(nlohmann::json::accept(l) && l.rfind(R"({"type":")", 0) == 0) << l;
        if (logs || l.rfind(R"({"type":"log")", 0) != 0)
            got.push_back(l);
    }
    EXPECT_EQ(at, text.size()) << "unterminated: " << text.substr(at);
    return got;
}

// The messages of the log events f printed (any other line as it is).
lines said(const std::function<void()> &f) {
    lines out;
    for (const std::string &l : capture(f, true))
        out.push_back(nlohmann::json::parse(l).value("message", l));
    return out;
}

// A line handed over as the library hands it: a format and its va_list.
void log_line(player *q, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void log_line(player *q, int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    on_log(q, level, nullptr, fmt, ap);
    va_end(ap);
}
lines say(player *q, int level, const std::string &m) {
    return said([&] { log_line(q, level, "%s", m.c_str()); });
}

int take_pending(player *q) {
    std::lock_guard<std::mutex> hold(ctl_lock);
    int bits = q->pending;
    q->pending = 0;
    return bits;
}

// The stored error lines of q, oldest first, as the error report reads them.
lines ring(player *q) {
    std::lock_guard<std::mutex> hold(ctl_lock);
    lines out;
    for (int i = q->log_count > LOG_RING ? q->log_count - LOG_RING : 0; i < q->log_count; i++)
        out.push_back(q->log_ring[i % LOG_RING]);
    return out;
}

lines one(const char *line) { return line ? lines{line} : lines{}; }

ev_t ev(int type) { return {type, nullptr, {}}; }
ev_t buffering(float c) { return {libvlc_MediaPlayerBuffering, nullptr, {.media_player_buffering = {c}}}; }
ev_t time_changed(libvlc_time_t t) { return {libvlc_MediaPlayerTimeChanged, nullptr, {.media_player_time_changed = {t}}}; }
ev_t position(float v) { return {libvlc_MediaPlayerPositionChanged, nullptr, {.media_player_position_changed = {v}}}; }
ev_t seekable(int v) { return {libvlc_MediaPlayerSeekableChanged, nullptr, {.media_player_seekable_changed = {v}}}; }
ev_t pausable(int v) { return {libvlc_MediaPlayerPausableChanged, nullptr, {.media_player_pausable_changed = {v}}}; }
ev_t length(libvlc_time_t ms) { return {libvlc_MediaPlayerLengthChanged, nullptr, {.media_player_length_changed = {ms}}}; }
ev_t vout(int n) { return {libvlc_MediaPlayerVout, nullptr, {.media_player_vout = {n}}}; }

lines deliver(player *q, ev_t e) { return capture([&] { on_event(&e, q); }); }

// Delivers e with q's stamp exactly `age` us old when the handler reads the
// clock: retried until its reading equals ours, as its new stamp shows
// (printed) or the clock not ticking during the call (dropped).
lines deliver_aged(player *q, int64_t player::*stamp, int64_t age, ev_t e) {
    for (int tries = 0; tries < 10000; tries++) {
        int64_t before = 0, after = 0;
        lines got = capture([&] {
            before = now_us();
            q->*stamp = before - age;
            on_event(&e, q);
            after = now_us();
        });
        if ((q->*stamp == before - age ? after : q->*stamp) == before)
            return got;
    }
    ADD_FAILURE() << "the clock ticked during every try";
    return {};
}

// Each test starts with a fresh current player p that has a clip as its media
// and plays nothing, so the library reports its time as -1. Players are
// released here, not by the reaper, so a replaced one can still be handed events.
class Inproc : public ::testing::Test {
protected:
    player *p = nullptr;
    std::vector<player *> made;

    void SetUp() override {
        ASSERT_NE(p = install(), nullptr);
        ready_told.store(1);
        verbosity = 0;
    }
    void TearDown() override {
        for (player *q : made)
            player_discard(q);
        cur = nullptr;
    }
    // The gate is moved as replacing a player moves it.
    player *install() {
        player *q = player_new(generation.load() + 1);
        if (!q)
            return nullptr;
        made.push_back(q);
        q->media = libvlc_media_new_path(q->instance, MEDIA_DIR "/seek-clock.mp4");
        std::lock_guard<std::mutex> gate(gate_lock);
        generation.store(q->generation);
        return cur = q;
    }
    // A bare record of the current player, for the log callback, which never
    // calls into the library.
    static std::unique_ptr<player> record() {
        std::unique_ptr<player> q(new player{});
        q->generation = generation.load();
        return q;
    }
};

TEST_F(Inproc, ThrottlesOpenAtExactly250000usAndBufferingEndsAlwaysPass) {
    auto buf = &player::last_buffering_us, pos = &player::last_position_us;
    const struct { int64_t player::*stamp; int64_t age; ev_t e; const char *line; int pending; } steps[] = {
        {buf, 249999, buffering(60), nullptr, 0},
        {buf, 250000, buffering(60), R"({"type":"buffering","pct":60.0})", 0},
        {buf, 249999, buffering(0), R"({"type":"buffering","pct":0.0})", 0},
        {buf, 249999, buffering(100), R"({"type":"buffering","pct":100.0})", PEND_START_POS},
        {buf, 249999, buffering(100), R"({"type":"buffering","pct":100.0})", 0},  // the start position once
        {pos, 249999, position(0.5f), nullptr, 0},
        {pos, 250000, position(0.75f), R"({"type":"position","value":0.750000})", 0},
    };
    for (const auto &s : steps) {
        EXPECT_EQ(deliver_aged(p, s.stamp, s.age, s.e), one(s.line)) << s.e.type << " " << s.age;
        EXPECT_EQ(take_pending(p), s.pending) << s.e.type;
    }
}

TEST_F(Inproc, TimeIsPrintedWhenItMovesAtLeast250msEitherWay) {
    const struct { int64_t t; bool printed; } steps[] = {
        {0, true}, {100, false}, {240, false}, {260, true}, {600, true},
        {200, true}, {449, false}, {450, true}, {201, false}, {200, true},
    };
    for (const auto &s : steps) {
        std::string line = R"({"type":"time","ms":)" + std::to_string(s.t) + "}";
        EXPECT_EQ(deliver(p, time_changed(s.t)), s.printed ? lines{line} : lines{}) << s.t;
        EXPECT_EQ(p->time_ms.load(), s.t);
    }
}

// The stopped line is left to the control loop, which tells it once, after
// any error of the load. Stream changes matter only while playback runs.
TEST_F(Inproc, PlaybackEventsAskTheControlLoopForWhatFollows) {
    const int PLAY = libvlc_MediaPlayerPlaying, PAUSE = libvlc_MediaPlayerPaused, STOP = libvlc_MediaPlayerStopped,
              END = libvlc_MediaPlayerEndReached;
    const char *playing = R"({"type":"playing"})", *paused = R"({"type":"paused"})", *end = R"({"type":"end"})";
    const struct { std::vector<std::pair<int, int>> steps; lines want; int end_state, es; bool stopped; } cases[] = {
        {{{PLAY, PEND_TRACKS}, {PAUSE, 0}, {PLAY, 0}}, {playing, paused, playing}, END_NONE, PEND_TRACKS, false},
        {{{PLAY, PEND_TRACKS}, {PAUSE, 0}}, {playing, paused}, END_NONE, PEND_TRACKS, false},
        {{{STOP, PEND_STOPPED}, {STOP, 0}}, {}, END_STOP_HELD, 0, true},
        {{{PLAY, PEND_TRACKS}, {END, PEND_ENDED}, {STOP, PEND_STOPPED}}, {playing, end}, END_STOP_HELD, 0, true},
        {{{PLAY, PEND_TRACKS}, {STOP, PEND_STOPPED}}, {playing}, END_STOP_HELD, 0, true},
        {{{END, PEND_ENDED}}, {end}, END_REACHED, 0, false},
        {{{libvlc_MediaPlayerEncounteredError, PEND_ERROR}}, {}, END_NONE, 0, false},
    };
    for (const auto &c : cases) {
        player *q;
        ASSERT_NE(q = install(), nullptr);
        lines got;
        for (auto [type, pending] : c.steps) {
            for (const std::string &l : deliver(q, ev(type)))
                got.push_back(l);
            EXPECT_EQ(take_pending(q), pending) << type;
        }
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(q->paused.load(), int(c.steps.back().first == PAUSE));
        EXPECT_EQ(q->end_state.load(), c.end_state);
        for (int type : {libvlc_MediaPlayerESAdded, libvlc_MediaPlayerESDeleted, libvlc_MediaPlayerESSelected}) {
            EXPECT_EQ(deliver(q, ev(type)), lines{});
            EXPECT_EQ(take_pending(q), c.es) << type;
        }
        EXPECT_EQ(capture(tell_stopped), c.stopped ? lines{R"({"type":"stopped"})"} : lines{});
        EXPECT_EQ(capture(tell_stopped), lines{}) << "told twice";
        deliver(q, ev(STOP));
        EXPECT_EQ(take_pending(q), c.stopped ? 0 : PEND_STOPPED);
    }
}

TEST_F(Inproc, StateReportsAreStoredAndToldWithoutRepeats) {
    const struct { ev_t e; const char *line; int can_seek; int64_t ms; int vouts; } steps[] = {
        {ev(libvlc_MediaPlayerOpening), R"({"type":"opening"})", 0, 0, 0},
        {seekable(2), R"({"type":"seekable","v":true})", 1, 0, 0},
        {seekable(1), nullptr, 1, 0, 0},
        {seekable(0), R"({"type":"seekable","v":false})", 0, 0, 0},
        {pausable(0), R"({"type":"pausable","v":false})", 0, 0, 0},
        {pausable(0), nullptr, 0, 0, 0},
        {pausable(3), R"({"type":"pausable","v":true})", 0, 0, 0},
        {length(0), R"({"type":"length","ms":0})", 0, 0, 0},
        {length(0), nullptr, 0, 0, 0},
        {length(5400000000), R"({"type":"length","ms":5400000000})", 0, 5400000000, 0},
        {vout(2), nullptr, 0, 5400000000, 2},
    };
    for (const auto &s : steps) {
        EXPECT_EQ(deliver(p, s.e), one(s.line)) << s.e.type;
        EXPECT_EQ(p->seekable.load(), s.can_seek) << s.e.type;
        EXPECT_EQ(p->length_ms.load(), s.ms) << s.e.type;
        EXPECT_EQ(p->vouts.load(), s.vouts) << s.e.type;
        EXPECT_EQ(take_pending(p), 0);
    }
}

TEST_F(Inproc, EventsOfARetiredPlayerChangeNothingVisible) {
    const ev_t all[] = {ev(libvlc_MediaPlayerOpening), buffering(100), ev(libvlc_MediaPlayerPlaying),
                        ev(libvlc_MediaPlayerPaused), ev(libvlc_MediaPlayerStopped), ev(libvlc_MediaPlayerEndReached),
                        ev(libvlc_MediaPlayerEncounteredError), time_changed(1000), position(0.5f), seekable(1),
                        pausable(1), length(5000), vout(1), ev(libvlc_MediaPlayerESAdded),
                        ev(libvlc_MediaPlayerESDeleted), ev(libvlc_MediaPlayerESSelected)};
    auto state = [](const player *q) {
        return std::vector<double>{double(q->time_ms), double(q->length_ms), double(q->landed_ms),
                                   double(q->last_time_ms), double(q->last_position_us), double(q->last_buffering_us),
                                   q->position, double(q->paused), double(q->seekable), double(q->vouts),
                                   double(q->started), double(q->end_state), double(q->filled),
                                   double(q->seek_state), double(q->mark_frame)};
    };
    for (const ev_t &e : all) {
        // Two players mid-playback with a seek in flight; the second replaces the first.
        player *pair[2];
        for (player *&q : pair) {
            ASSERT_NE(q = install(), nullptr);
            q->paused.store(1);
            q->started.store(1);
            q->seek_target.store(1000);
            q->seek_state.store(SEEK_BY_TIME);
        }
        std::vector<double> before = state(pair[0]);
        EXPECT_EQ(deliver(pair[0], e), lines{}) << e.type;
        EXPECT_EQ(take_pending(pair[0]), 0) << e.type;
        EXPECT_EQ(state(pair[0]), before) << e.type;
        // The same event tells on the current player, so the silence is the gate's.
        EXPECT_TRUE(!deliver(pair[1], e).empty() || take_pending(pair[1]) || state(pair[1]) != before) << e.type;
    }
}

// The library answers a seek at once with the target as its time: a time
// counts only after the buffers emptied and filled again, and then when at
// least as near the target as the origin (positions when the length is unknown).
TEST_F(Inproc, TimeEventLandsASeekOnceItsBuffersFilledAgain) {
    const std::vector<float> refill = {0, 40, 100};
    const struct { int state; double origin, target; float pos; int vouts; std::vector<float> fills;
                   std::vector<int64_t> times; int64_t lands_at; } cases[] = {  // lands_at -1: never
        {SEEK_BY_TIME, 0, 1000, 0, 0, refill, {400, 500, 600}, 500},  // a tie lands
        {SEEK_BY_TIME, 2000, 0, 0, 1, refill, {1500, 1000, 900}, 1000},
        {SEEK_BY_POS, 0, 0.5, 0.2f, 1, refill, {999999}, -1},  // the time itself is not compared
        {SEEK_BY_POS, 0, 0.5, 0.25f, 1, refill, {7000}, 7000},
        {SEEK_BY_TIME, 0, 1000, 0, 1, {}, {1000}, -1},             // the echo of the request
        {SEEK_BY_TIME, 0, 1000, 0, 1, {0, 50}, {1000}, -1},        // still filling
        {SEEK_BY_TIME, 0, 1000, 0, 1, {100}, {1000}, -1},          // a fill from before
        {SEEK_BY_TIME, 0, 1000, 0, 1, {0, 100, 0}, {1000}, 1000},  // low again later
    };
    for (const auto &c : cases) {
        player *q;
        ASSERT_NE(q = install(), nullptr);
        deliver(q, vout(c.vouts));
        deliver(q, position(c.pos));
        q->seek_origin.store(c.origin);
        q->seek_target.store(c.target);
        q->seek_phase.store(SEEK_ASKED);
        q->seek_state.store(c.state);
        for (float f : c.fills)
            deliver(q, buffering(f));
        take_pending(q);
        for (int64_t t : c.times) {
            deliver(q, time_changed(t));
            EXPECT_EQ(take_pending(q), t == c.lands_at ? PEND_LANDED : 0) << t;
        }
        EXPECT_EQ(q->seek_state.load(), c.lands_at < 0 ? c.state : SEEK_NONE);
        EXPECT_EQ(q->landed_ms.load(), c.lands_at < 0 ? 0 : c.lands_at);
        EXPECT_EQ(q->mark_frame.load(), c.lands_at >= 0 && c.vouts ? 1 : 0);
    }
}

TEST(LandingRule, LandsWhenAtLeastAsCloseToTheTargetAsToTheOrigin) {
    const struct { double v, origin, target; bool lands; } cases[] = {
        {499, 0, 1000, false}, {500, 0, 1000, true}, {9000, 0, 1000, true}, {-100, 0, 1000, false},
        {1251, 2000, 500, false}, {1250, 2000, 500, true}, {0, 2000, 500, true}, {3000, 2000, 500, false},
        {0, 700, 700, true}, {0.49, 0.25, 0.75, false}, {-1, 1000, 0, true}, {-1, 0, 1000, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(landed(c.v, c.origin, c.target), c.lands) << c.v << " from " << c.origin << " to " << c.target;
}

TEST_F(Inproc, LandingIsToldUnlessPlaybackIsOver) {
    const struct { int64_t t; int end_state; const char *line; } cases[] = {
        {4321, END_NONE, R"({"type":"seekLanded","ms":4321})"},
        {-1, END_NONE, R"({"type":"seekLanded","ms":-1})"},
        {5400000000, END_NONE, R"({"type":"seekLanded","ms":5400000000})"},
        {4321, END_REACHED, nullptr},
        {4321, END_STOP_HELD, nullptr},
    };
    for (const auto &c : cases) {
        p->end_state.store(c.end_state);
        land(p, c.t);
        EXPECT_EQ(p->landed_ms.load(), c.t);
        EXPECT_EQ(p->time_ms.load(), c.t);
        EXPECT_EQ(take_pending(p), PEND_LANDED);
        EXPECT_EQ(capture(tell_landed), one(c.line));
    }
}

// A seek in flight on q, asked `ago` us before, its buffers filled again.
void arm(player *q, int state, double origin, double target, int64_t ago) {
    q->seek_state.store(SEEK_NONE);
    q->seek_origin.store(origin);
    q->seek_target.store(target);
    q->seek_deadline_us = now_us() + 5000000 - ago;
    q->seek_phase.store(SEEK_REFILLED);
    q->seek_state.store(state);
}

// Seeks by time when the length is known, else by position; an accepted seek
// replaces the one in flight and a start position not yet applied, a refused
// one (state SEEK_NONE here) leaves both alone.
TEST_F(Inproc, SeekCommandReplacesTheSeekInFlightOrLeavesItAlone) {
    const struct { const char *fields; int media, seekable; int64_t length; int state; double target, origin; } cases[] = {
        {R"("ms":2500)", 1, 1, 10000, SEEK_BY_TIME, 2500, 1200},
        {R"("ms":60000)", 1, 1, 10000, SEEK_BY_TIME, 60000, 1200},  // beyond the end
        {R"("ms":1e19)", 1, 1, 10000, SEEK_BY_TIME, double(INT64_MAX / 2000), 1200},  // within the library's range
        {R"("pos":0.5)", 1, 1, 10000, SEEK_BY_TIME, 5000, 1200},
        {R"("pos":1)", 1, 1, 1, SEEK_BY_TIME, 1, 1200},
        {R"("pos":0.5)", 1, 1, 0, SEEK_BY_POS, 0.5, 0.125},
        {R"("pos":1)", 1, 1, -1, SEEK_BY_POS, 1, 0.125},
        {R"("ms":"1000","pos":0.25)", 1, 1, 10000, SEEK_BY_TIME, 2500, 1200},  // not a number: missing
        {R"("ms":1000)", 0, 1, 10000, 0, 0, 0}, {R"("pos":0.5)", 1, 0, 0, 0, 0, 0}, {R"("ms":1000,"pos":0.5)", 1, 1, 10000, 0, 0, 0},
        {"", 1, 1, 10000, 0, 0, 0}, {R"("ms":null)", 1, 1, 10000, 0, 0, 0}, {R"("ms":-0.001)", 1, 1, 10000, 0, 0, 0},
        {R"("ms":1000)", 1, 1, 0, 0, 0, 0}, {R"("ms":0)", 1, 1, -1, 0, 0, 0}, {R"("pos":-0.01)", 1, 1, 10000, 0, 0, 0},
        {R"("pos":1.0001)", 1, 1, 0, 0, 0, 0},
    };
    libvlc_media_t *media = p->media;
    for (const auto &c : cases) {
        bool ok = c.state != SEEK_NONE;
        p->media = c.media ? media : nullptr;
        p->seekable.store(c.seekable);
        p->length_ms.store(c.length);
        p->time_ms.store(1200);
        p->position.store(0.125);
        arm(p, SEEK_BY_POS, 0.25, 0.75, 4000000);
        p->start_pos = 0.5;
        int64_t deadline = p->seek_deadline_us, before = now_us();
        command cmd;
        std::string line = R"({"id":7,"cmd":"seek")" + std::string(*c.fields ? "," : "") + c.fields + "}";
        ASSERT_EQ(parse_command(line.c_str(), &cmd), 0) << line;
        EXPECT_EQ(capture([&] { cmd_seek(&cmd, 7); }), lines{ok ? R"({"type":"ack","id":7,"ok":true})"
                                                               : R"({"type":"ack","id":7,"ok":false})"});
        command_free(&cmd);
        EXPECT_EQ(p->seek_state.load(), ok ? c.state : SEEK_BY_POS) << line;
        EXPECT_EQ(p->seek_target.load(), ok ? c.target : 0.75) << line;
        EXPECT_EQ(p->seek_origin.load(), ok ? c.origin : 0.25) << line;
        EXPECT_EQ(p->seek_phase.load(), ok ? SEEK_ASKED : SEEK_REFILLED) << line;
        EXPECT_EQ(p->start_pos, ok ? -1.0 : 0.5) << line;
        if (ok) {
            EXPECT_GE(p->seek_deadline_us, before + 5000000) << line;
            EXPECT_LE(p->seek_deadline_us, now_us() + 5000000) << line;
        } else {
            EXPECT_EQ(p->seek_deadline_us, deadline) << line;
        }
        EXPECT_EQ(take_pending(p), 0) << line;
    }
    p->media = media;
}

TEST_F(Inproc, StartPositionIsAppliedOnceOrDroppedWhenTheMediaCannotSeek) {
    for (int can_seek : {1, 0}) {
        p->seekable.store(can_seek);
        p->start_pos = 0.3;
        EXPECT_EQ(capture(apply_start_pos, true),
                  can_seek ? lines{} : lines{R"({"type":"log","message":"startPos dropped: the media cannot seek"})"});
        EXPECT_EQ(p->start_pos, -1.0);
        EXPECT_EQ(capture(apply_start_pos, true), lines{}) << "applied twice";
    }
}

// The control loop compares time seeks (at -1 here: nothing plays) once the
// buffers filled again, and settles every seek at its 5 s deadline.
TEST_F(Inproc, ControlLoopLandsTimeSeeksAndEverySeekAtItsDeadline) {
    const struct { const char *what; int state, phase; double origin, target; int64_t ago; bool lands; } cases[] = {
        {"time seek at its target", SEEK_BY_TIME, SEEK_REFILLED, 1000, 0, 200000, true},
        {"not yet filled", SEEK_BY_TIME, SEEK_EMPTIED, 1000, 0, 200000, false},
        {"just asked", SEEK_BY_TIME, SEEK_ASKED, 1000, 0, 200000, false},
        {"time seek not there yet", SEEK_BY_TIME, SEEK_REFILLED, 0, 1000, 200000, false},
        {"time seek at its deadline", SEEK_BY_TIME, SEEK_ASKED, 0, 1000, 5000000, true},
        {"position seek at its target", SEEK_BY_POS, SEEK_REFILLED, 1, 0, 200000, false},
        {"position seek at its deadline", SEEK_BY_POS, SEEK_REFILLED, 0.25, 0.75, 5000000, true},
        {"no seek, a deadline long past", SEEK_NONE, SEEK_REFILLED, 0, 1000, 9000000, false},
    };
    for (const auto &c : cases) {
        player *q;
        ASSERT_NE(q = install(), nullptr);
        arm(q, c.state, c.origin, c.target, c.ago);
        q->seek_phase.store(c.phase);
        EXPECT_EQ(capture(check_landing), lines{}) << c.what;
        EXPECT_EQ(take_pending(q), c.lands ? PEND_LANDED : 0) << c.what;
        EXPECT_EQ(q->seek_state.load(), c.lands ? SEEK_NONE : c.state) << c.what;
        EXPECT_EQ(q->landed_ms.load(), c.lands ? -1 : 0) << c.what;
    }
}

// Each step, then the time given to a picture: at least low and at most high,
// which leaves a busy machine 200 ms. Aging the stamp stands in for waiting.
TEST_F(Inproc, PictureClockRunsOnHoldsWhilePausedAndStepsBackOnlyAfterALanding) {
    auto send = [&](ev_t e) { return [=, this] { deliver(p, e); }; };
    auto age = [&](int64_t us) {
        return [=, this] {
            std::lock_guard<std::mutex> hold(p->clock_lock);
            p->clock_stamp_us -= us;
        };
    };
    auto both = [](std::function<void()> a, std::function<void()> b) { return [=] { a(), b(); }; };
    const struct { const char *what; std::function<void()> act; int64_t low, high; } steps[] = {
        {"before any report", [] {}, 0, 0},
        {"a report", send(time_changed(10000)), 10000 * MS, 10200 * MS},
        {"300 ms on", age(300 * MS), 10300 * MS, 10500 * MS},
        {"5 s without a report: 1 s on", age(5000 * MS), 11000 * MS, 11000 * MS},
        {"a report half a second back: jitter", send(time_changed(10500)), 11000 * MS, 11000 * MS},
        {"read 1 s back: not jitter", both(send(time_changed(9000)), age(5000 * MS)), 10000 * MS, 10000 * MS},
        {"a report two seconds back", send(time_changed(8000)), 8000 * MS, 8200 * MS},
        {"paused 300 ms on", both(age(300 * MS), send(ev(libvlc_MediaPlayerPaused))), 8300 * MS, 8500 * MS},
        {"paused 5 s", age(5000 * MS), 8300 * MS, 8500 * MS},
        {"resumed 300 ms ago", both(send(ev(libvlc_MediaPlayerPlaying)), age(300 * MS)), 8600 * MS, 8800 * MS},
        {"landed half a second back", [this] { land(p, 8100); }, 8100 * MS, 8300 * MS},
        {"5 s after the landing", age(5000 * MS), 9100 * MS, 9100 * MS},
    };
    for (const auto &s : steps) {
        s.act();
        int64_t t = clock_read(p);
        EXPECT_GE(t, s.low) << s.what;
        EXPECT_LE(t, s.high) << s.what;
    }
}

// Errors are stored, warnings forwarded only when asked for; nothing is
// forwarded before the ready line or for a retired player.
TEST_F(Inproc, LevelsReadinessAndTheGateDecideWhatIsForwardedAndStored) {
    const struct { int level, verbosity, ready, retired; bool forwarded, stored; } cases[] = {
        {LIBVLC_DEBUG, 5, 1, 0, false, false}, {LIBVLC_NOTICE, 5, 1, 0, false, false},
        {WARN, 0, 1, 0, false, false},         {WARN, 1, 1, 0, true, false},
        {ERR, 0, 1, 0, true, true},            {ERR, 0, 0, 0, false, true},
        {ERR, 1, 1, 1, false, true},           {WARN, 1, 1, 1, false, false},
    };
    for (const auto &c : cases) {
        std::unique_ptr<player> q = record();
        q->generation -= c.retired;
        ready_told.store(c.ready);
        verbosity = c.verbosity;
        std::string text = "level " + std::to_string(c.level) + " verbosity " + std::to_string(c.verbosity) + " %s";
        EXPECT_EQ(say(q.get(), c.level, text), c.forwarded ? lines{text} : lines{}) << text;
        EXPECT_EQ(ring(q.get()), c.stored ? lines{text} : lines{}) << text;
    }
    std::string text(600, 'a');  // long messages are cut to their first 511 bytes
    for (size_t i = 0; i < text.size(); i++)
        text[i] = char('a' + i % 26);
    std::unique_ptr<player> q = record();
    EXPECT_EQ(say(q.get(), ERR, text), lines{text.substr(0, 511)});
    EXPECT_EQ(ring(q.get()), lines{text.substr(0, 511)});
}

TEST_F(Inproc, RingKeepsTheLastEightLinesAboutTheMediaForTheErrorReport) {
    ready_told.store(0);  // storing only
    const struct { const char *object, *message; bool stored; } cases[] = {
        {"audio output", "PulseAudio server connection failure: Connection refused", false},
        {"tls client", "connection error: No such file or directory", false},
        {"tls client", "TLS session handshake error", true},
        {"access", "HTTP 404 error", true},
    };
    std::unique_ptr<player> q = record();
    for (const auto &c : cases)
        take_line(q.get(), ERR, c.object, c.message);
    EXPECT_EQ(ring(q.get()), (lines{"TLS session handshake error", "HTTP 404 error"}));
    lines want = {"HTTP 404 error"};
    for (int i = 1; i <= 7; i++) {
        log_line(q.get(), ERR, "Your input can't be opened %d", i);
        want.push_back("Your input can't be opened " + std::to_string(i));
    }
    EXPECT_EQ(ring(q.get()), want);
    EXPECT_STREQ(stored_problem(q.get()), "notFound");
    log_line(q.get(), ERR, "Your input can't be opened");  // and the status is gone
    EXPECT_STREQ(stored_problem(q.get()), "unavailable");
}

// A ninth FourCC is stored but not noted; the control loop is woken for each.
TEST_F(Inproc, UnsupportedCodecLinesNoteTheirFourccAtMostEight) {
    ready_told.store(0);
    verbosity = 1;
    std::unique_ptr<player> q = record();
    say(q.get(), WARN, "Codec `hevc' (HEVC) is not supported.");
    EXPECT_EQ(q->bad_codec_count, 0) << "only errors count";
    for (int i = 1; i <= 9; i++) {
        std::unique_lock<std::mutex> hold(ctl_lock);
        std::thread t([&] { log_line(q.get(), ERR, "Codec `c%03d' (x) is not supported.", i); });
        bool timed_out = false;
        while (i <= 8 && !q->pending && !timed_out)
            timed_out = ctl_wake.wait_for(hold, std::chrono::seconds(10)) == std::cv_status::timeout;
        hold.unlock();
        t.join();
        ASSERT_FALSE(timed_out) << "not woken for " << i;
        EXPECT_EQ(take_pending(q.get()), i <= 8 ? PEND_CODECS : 0) << i;
        EXPECT_EQ(q->bad_codec_count, std::min(i, 8));
        EXPECT_STREQ(q->bad_codecs[std::min(i, 8) - 1], ("c00" + std::to_string(std::min(i, 8))).c_str());
    }
    EXPECT_EQ(q->log_count, 9);
}

// The video output tries formats that fail before one works: those lines are
// told only when none works, or when warnings are asked for.
TEST_F(Inproc, FormatNegotiationLinesAreHeldUntilItsOutcome) {
    const char *objects[] = {"filter", "filter", "vout display", "video output", "decoder"};
    const lines tries = {"Too high level of recursion (3)", "Failed to create video converter",
                         "Failed to adapt decoder format to display", "video output creation failed",
                         "failed to create video output"};
    auto negotiate = [&](player *q) {
        return said([&] {
            for (int i = 0; i < 5; i++)
                take_line(q, ERR, objects[i], tries[size_t(i)].c_str());
        });
    };
    for (bool agreed : {true, false}) {
        std::unique_ptr<player> q = record();
        EXPECT_EQ(negotiate(q.get()), lines{});
        EXPECT_EQ(said([&] { negotiation_over(q.get(), agreed); }), agreed ? lines{} : tries);
        EXPECT_EQ(said([&] { negotiation_over(q.get(), false); }), lines{}) << "told twice";
        EXPECT_EQ(ring(q.get()), lines{});
    }
    verbosity = 1;
    std::unique_ptr<player> q = record();
    EXPECT_EQ(negotiate(q.get()), tries);
}

// The window is process-wide: the test waits out any other test's first.
TEST_F(Inproc, TwentyLinesASecondAndTheDroppedCountWhenTheWindowCloses) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    std::unique_ptr<player> q = record();
    lines first = say(q.get(), ERR, "line 1");
    int64_t opened = now_us();  // the window opened no later than this
    lines rest = said([&] {
        for (int i = 2; i <= 25; i++)
            log_line(q.get(), ERR, "line %d", i);
    });
    ASSERT_LT(now_us() - opened, 900000) << "too slow to land 25 lines in one window";
    lines want;
    for (int i = 2; i <= 20; i++)
        want.push_back("line " + std::to_string(i));
    EXPECT_EQ(first, lines{"line 1"});
    EXPECT_EQ(rest, want);
    EXPECT_EQ(q->log_count, 25) << "dropped lines are still stored";
    EXPECT_EQ(say(q.get(), WARN, "quiet warning"), lines{}) << "a line not forwarded is not dropped";
    // The count comes as the window closes, though no further line comes.
    EXPECT_EQ(said([&] { std::this_thread::sleep_for(std::chrono::microseconds(opened + 1300000 - now_us())); }),
              lines{"5 log lines dropped"});
    EXPECT_EQ(say(q.get(), ERR, "next window"), lines{"next window"}) << "the count is told once";
}

}  // namespace
