// Tests of the media-player event handler: library events are made up here and
// handed to on_event for real players that never play, and the event lines it
// prints are read back from a pipe standing in for standard output.
#include "engine.h"
#include "inproc.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using lines = std::vector<std::string>;

// The event lines printed by f.
lines capture(const std::function<void()> &f) { return without_logs(capture_lines(f)); }

lines deliver(player *q, libvlc_event_t ev) {
    return capture([&] { on_event(&ev, q); });
}

// Delivers ev with q's clock stamp exactly `age` microseconds old when the
// handler reads the clock: retried until the handler's reading equals ours,
// as shown by its new stamp (printed) or by the clock not ticking (dropped).
lines deliver_aged(player *q, int64_t player::*stamp, int64_t age, libvlc_event_t ev) {
    for (int tries = 0; tries < 10000; tries++) {
        int64_t before = 0, after = 0;
        lines got = capture([&] {
            before = now_us();
            q->*stamp = before - age;
            on_event(&ev, q);
            after = now_us();
        });
        if ((q->*stamp == before - age ? after : q->*stamp) == before)
            return got;
    }
    ADD_FAILURE() << "the clock ticked during every try";
    return {};
}

int take_pending(player *q) {
    std::lock_guard<std::mutex> hold(ctl_lock);
    int bits = q->pending;
    q->pending = 0;
    return bits;
}

// Library event records, as the library would fill them.
libvlc_event_t event(int type) {
    return {type, nullptr, {}};
}
libvlc_event_t buffering(float c) {
    return {libvlc_MediaPlayerBuffering, nullptr, {.media_player_buffering = {c}}};
}
libvlc_event_t time_changed(libvlc_time_t t) {
    return {libvlc_MediaPlayerTimeChanged, nullptr, {.media_player_time_changed = {t}}};
}
libvlc_event_t position_changed(float pos) {
    return {libvlc_MediaPlayerPositionChanged, nullptr, {.media_player_position_changed = {pos}}};
}
libvlc_event_t seekable_changed(int v) {
    return {libvlc_MediaPlayerSeekableChanged, nullptr, {.media_player_seekable_changed = {v}}};
}
libvlc_event_t pausable_changed(int v) {
    return {libvlc_MediaPlayerPausableChanged, nullptr, {.media_player_pausable_changed = {v}}};
}
libvlc_event_t length_changed(libvlc_time_t ms) {
    return {libvlc_MediaPlayerLengthChanged, nullptr, {.media_player_length_changed = {ms}}};
}
libvlc_event_t vout(int n) {
    return {libvlc_MediaPlayerVout, nullptr, {.media_player_vout = {n}}};
}

lines one(const char *line) {
    return line ? lines{line} : lines{};
}

// Each test starts with a fresh current player p; players are released here,
// not by the reaper, so that a replaced one can still be handed events.
class Events : public ::testing::Test {
protected:
    player *p = nullptr;
    std::vector<player *> made;

    void SetUp() override { ASSERT_NE(p = install(), nullptr); }
    void TearDown() override { release_made(&made); }
    player *install() { return install_current(&made); }
};

TEST_F(Events, BufferingEndsAlwaysPassAndValuesBetweenAtMostOncePerInterval) {
    const struct { bool wait; float c; const char *line; int pending; } steps[] = {
        {false, 50, R"({"type":"buffering","pct":50.0})", 0},  // the stamp starts at 0
        {false, 60, nullptr, 0},
        {true, 70, R"({"type":"buffering","pct":70.0})", 0},
        {false, 0, R"({"type":"buffering","pct":0.0})", 0},
        {false, 37.5f, nullptr, 0},  // the 0 restarted the interval
        {false, 42, nullptr, 0},
        {false, 100, R"({"type":"buffering","pct":100.0})", PEND_START_POS},
        {false, 100, R"({"type":"buffering","pct":100.0})", 0},
        {false, 105, R"({"type":"buffering","pct":105.0})", 0},
        {false, 37.5f, nullptr, 0},  // and so did the 100
        {true, 37.5f, R"({"type":"buffering","pct":37.5})", 0},
    };
    for (const auto &s : steps) {
        // Moving the stamp back stands in for waiting out the interval.
        if (s.wait)
            p->last_buffering_us -= 250000;
        EXPECT_EQ(deliver(p, buffering(s.c)), one(s.line)) << s.c;
        EXPECT_EQ(take_pending(p), s.pending) << s.c;
    }
    EXPECT_EQ(p->filled.load(), 1);
}

TEST_F(Events, ClockThrottlesOpenAtExactly250000Microseconds) {
    const struct {
        int64_t player::*stamp;
        libvlc_event_t ev;
        int64_t age;
        const char *line;
    } cases[] = {
        {&player::last_buffering_us, buffering(60), 249999, nullptr},
        {&player::last_buffering_us, buffering(60), 250000, R"({"type":"buffering","pct":60.0})"},
        {&player::last_position_us, position_changed(0.5f), 249999, nullptr},
        {&player::last_position_us, position_changed(0.5f), 250000,
         R"({"type":"position","value":0.500000})"},
    };
    for (const auto &c : cases) {
        p->position.store(0);
        EXPECT_EQ(deliver_aged(p, c.stamp, c.age, c.ev), one(c.line)) << c.ev.type << " " << c.age;
        if (c.ev.type == libvlc_MediaPlayerPositionChanged) {
            EXPECT_EQ(p->position.load(), 0.5);  // stored, printed or not
        }
    }
}

TEST_F(Events, TimeIsPrintedWhenItMovesAtLeast250msEitherWay) {
    const struct { int64_t t; bool printed; } steps[] = {
        {0, true},    {100, false}, {240, false}, {260, true}, {600, true},
        {200, true},  {449, false}, {450, true},  {201, false}, {200, true},
    };
    for (const auto &s : steps) {
        std::string line = R"({"type":"time","ms":)" + std::to_string(s.t) + "}";
        EXPECT_EQ(deliver(p, time_changed(s.t)), s.printed ? lines{line} : lines{}) << s.t;
        EXPECT_EQ(p->time_ms.load(), s.t);
    }
    EXPECT_EQ(take_pending(p), 0);
}

TEST_F(Events, PositionIsStoredEveryTimeAndPrintedOncePerInterval) {
    const struct { bool wait; float pos; const char *line; } steps[] = {
        {false, 0.25f, R"({"type":"position","value":0.250000})"},
        {false, 0.5f, nullptr},
        {false, 0.75f, nullptr},
        {true, 0.8f, R"({"type":"position","value":0.800000})"},
        {false, 0.9f, nullptr},
    };
    for (const auto &s : steps) {
        if (s.wait)
            p->last_position_us -= 250000;  // as if the interval had passed
        EXPECT_EQ(deliver(p, position_changed(s.pos)), one(s.line)) << s.pos;
        EXPECT_EQ(p->position.load(), double(s.pos));
    }
}

TEST_F(Events, OnlyTheFirstPlayingAsksForTracks) {
    const struct { int type; const char *line; int paused; int pending; } steps[] = {
        {libvlc_MediaPlayerPlaying, R"({"type":"playing"})", 0, PEND_TRACKS},
        {libvlc_MediaPlayerPaused, R"({"type":"paused"})", 1, 0},
        {libvlc_MediaPlayerPlaying, R"({"type":"playing"})", 0, 0},
        {libvlc_MediaPlayerPlaying, R"({"type":"playing"})", 0, 0},
    };
    for (const auto &s : steps) {
        EXPECT_EQ(deliver(p, event(s.type)), one(s.line));
        EXPECT_EQ(p->paused.load(), s.paused) << s.line;
        EXPECT_EQ(take_pending(p), s.pending) << s.line;
        EXPECT_EQ(p->started.load(), 1);
    }
}

// The stopped line is left to the control loop, which tells it after any
// error of the load; it is told once however often the library stops.
TEST_F(Events, EndIsToldAtOnceAndStoppedOnceByTheControlLoop) {
    const struct { std::vector<int> types; lines want; int pending; int end_state; lines told; } cases[] = {
        {{libvlc_MediaPlayerStopped, libvlc_MediaPlayerStopped}, {}, PEND_STOPPED, END_STOP_HELD,
         {R"({"type":"stopped"})"}},
        {{libvlc_MediaPlayerEndReached, libvlc_MediaPlayerStopped}, {R"({"type":"end"})"}, PEND_ENDED | PEND_STOPPED,
         END_STOP_HELD, {R"({"type":"stopped"})"}},
        {{libvlc_MediaPlayerEndReached}, {R"({"type":"end"})"}, PEND_ENDED, END_REACHED, {}},
    };
    for (const auto &c : cases) {
        player *q;
        ASSERT_NE(q = install(), nullptr);
        lines got;
        for (int type : c.types)
            for (const std::string &l : deliver(q, event(type)))
                got.push_back(l);
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(take_pending(q), c.pending);
        EXPECT_EQ(q->end_state.load(), c.end_state);
        EXPECT_EQ(capture(tell_stopped), c.told);
        EXPECT_EQ(capture(tell_stopped), lines{}) << "told twice";
        EXPECT_EQ(deliver(q, event(libvlc_MediaPlayerStopped)), lines{});
        EXPECT_EQ(take_pending(q), c.told.empty() ? PEND_STOPPED : 0);
    }
}

TEST_F(Events, StreamChangesAskForTracksOnlyWhilePlaying) {
    const struct { std::vector<int> before; int pending; } cases[] = {
        {{}, 0},
        {{libvlc_MediaPlayerPlaying}, PEND_TRACKS},
        {{libvlc_MediaPlayerPlaying, libvlc_MediaPlayerPaused}, PEND_TRACKS},
        {{libvlc_MediaPlayerPlaying, libvlc_MediaPlayerEndReached}, 0},
        {{libvlc_MediaPlayerPlaying, libvlc_MediaPlayerStopped}, 0},
    };
    for (const auto &c : cases) {
        player *q;
        ASSERT_NE(q = install(), nullptr);
        for (int type : c.before)
            deliver(q, event(type));
        take_pending(q);
        for (int type : {libvlc_MediaPlayerESAdded, libvlc_MediaPlayerESDeleted,
                         libvlc_MediaPlayerESSelected}) {
            EXPECT_EQ(deliver(q, event(type)), lines{});
            EXPECT_EQ(take_pending(q), c.pending) << type << " after " << c.before.size();
        }
    }
}

TEST_F(Events, LibraryErrorOnlyAsksForTheErrorReport) {
    EXPECT_EQ(deliver(p, event(libvlc_MediaPlayerEncounteredError)), lines{});
    EXPECT_EQ(take_pending(p), PEND_ERROR);
}

TEST_F(Events, StateReportsAreStoredAndPrinted) {
    const struct {
        libvlc_event_t ev;
        const char *line;
        int seekable;
        int64_t length_ms;
        int vouts;
    } steps[] = {
        {event(libvlc_MediaPlayerOpening), R"({"type":"opening"})", 0, 0, 0},
        {seekable_changed(1), R"({"type":"seekable","v":true})", 1, 0, 0},
        {seekable_changed(0), R"({"type":"seekable","v":false})", 0, 0, 0},
        {seekable_changed(2), R"({"type":"seekable","v":true})", 1, 0, 0},
        {seekable_changed(1), nullptr, 1, 0, 0},  // a repeat is not told again
        {pausable_changed(0), R"({"type":"pausable","v":false})", 1, 0, 0},
        {pausable_changed(3), R"({"type":"pausable","v":true})", 1, 0, 0},
        {pausable_changed(1), nullptr, 1, 0, 0},
        {length_changed(0), R"({"type":"length","ms":0})", 1, 0, 0},
        {length_changed(0), nullptr, 1, 0, 0},
        {length_changed(5400000000), R"({"type":"length","ms":5400000000})", 1, 5400000000, 0},
        {length_changed(0), R"({"type":"length","ms":0})", 1, 0, 0},
        {vout(2), nullptr, 1, 0, 2},
        {vout(0), nullptr, 1, 0, 0},
    };
    for (const auto &s : steps) {
        EXPECT_EQ(deliver(p, s.ev), one(s.line)) << s.ev.type;
        EXPECT_EQ(p->seekable.load(), s.seekable) << s.ev.type;
        EXPECT_EQ(p->length_ms.load(), s.length_ms) << s.ev.type;
        EXPECT_EQ(p->vouts.load(), s.vouts) << s.ev.type;
        EXPECT_EQ(take_pending(p), 0);
    }
}

// Everything on_event may write, to compare before and after.
struct snapshot {
    int64_t time_ms, length_ms, landed_ms, last_time_ms, last_position_us, last_buffering_us;
    double position;
    int paused, seekable, vouts, started, end_state, filled, seek_state, mark_frame;
    bool operator==(const snapshot &) const = default;
};

snapshot state(const player *q) {
    return {q->time_ms.load(),  q->length_ms.load(),  q->landed_ms.load(), q->last_time_ms,
            q->last_position_us, q->last_buffering_us, q->position.load(),  q->paused.load(),
            q->seekable.load(), q->vouts.load(),      q->started.load(),    q->end_state.load(),
            q->filled.load(),   q->seek_state.load(), q->mark_frame.load()};
}

TEST_F(Events, ReplacedPlayerIgnoresEveryEventType) {
    const libvlc_event_t events[] = {
        event(libvlc_MediaPlayerOpening),     buffering(100),
        event(libvlc_MediaPlayerPlaying),     event(libvlc_MediaPlayerPaused),
        event(libvlc_MediaPlayerStopped),     event(libvlc_MediaPlayerEndReached),
        event(libvlc_MediaPlayerEncounteredError), time_changed(1000),
        position_changed(0.5f),               seekable_changed(1),
        pausable_changed(1),                  length_changed(5000),
        vout(1),                              event(libvlc_MediaPlayerESAdded),
        event(libvlc_MediaPlayerESDeleted),   event(libvlc_MediaPlayerESSelected),
    };
    static_assert(sizeof events / sizeof events[0] == 16);
    for (const libvlc_event_t &ev : events) {
        // Two players mid-playback with a seek in flight; the second replaces the first.
        player *pair[2];
        for (player *&q : pair) {
            ASSERT_NE(q = install(), nullptr);
            q->paused.store(1);
            q->started.store(1);
            q->seek_target.store(1000);
            q->seek_state.store(SEEK_BY_TIME);
        }
        snapshot before = state(pair[0]);
        EXPECT_EQ(deliver(pair[0], ev), lines{}) << ev.type;
        EXPECT_EQ(take_pending(pair[0]), 0) << ev.type;
        EXPECT_TRUE(state(pair[0]) == before) << ev.type;
        // The same event tells on the current player, so the silence is the gate's.
        lines shown = deliver(pair[1], ev);
        EXPECT_TRUE(!shown.empty() || take_pending(pair[1]) || !(state(pair[1]) == before))
            << ev.type;
    }
}

// The library answers a seek at once with the target as its time, before
// playback moved: a time counts only after its buffers emptied and filled
// again, and then only when nearer the target than the origin.
TEST_F(Events, TimeChangeLandsARunningSeekOnceItsBuffersFilledAgain) {
    const std::vector<float> refill = {0, 40, 100};
    const struct {
        int seek_state;
        double origin, target;
        float position;
        int vouts;
        std::vector<float> fills;
        std::vector<int64_t> times;
        int64_t lands_at;  // -1: never
    } cases[] = {
        {SEEK_BY_TIME, 0, 1000, 0, 0, refill, {400, 500, 600}, 500},  // a tie lands
        {SEEK_BY_TIME, 0, 1000, 0, 1, refill, {1000}, 1000},
        {SEEK_BY_TIME, 2000, 0, 0, 0, refill, {1500, 1000, 900}, 1000},
        {SEEK_BY_POS, 0, 0.5, 0.2f, 1, refill, {999999}, -1},  // the time itself is not compared
        {SEEK_BY_POS, 0, 0.5, 0.25f, 1, refill, {7000, 8000}, 7000},
        {SEEK_BY_TIME, 0, 1000, 0, 1, {}, {1000, 1000}, -1},          // the echo of the request
        {SEEK_BY_TIME, 0, 1000, 0, 1, {0, 50}, {1000}, -1},           // still filling
        {SEEK_BY_TIME, 0, 1000, 0, 1, {100}, {1000}, -1},             // a fill from before
        {SEEK_BY_TIME, 0, 1000, 0, 1, {0, 100, 0}, {1000}, 1000},     // low again later
    };
    for (const auto &c : cases) {
        player *q;
        ASSERT_NE(q = install(), nullptr);
        deliver(q, vout(c.vouts));
        deliver(q, position_changed(c.position));
        q->seek_origin.store(c.origin);
        q->seek_target.store(c.target);
        q->seek_phase.store(SEEK_ASKED);
        q->seek_state.store(c.seek_state);
        for (float f : c.fills)
            deliver(q, buffering(f));
        take_pending(q);
        for (int64_t t : c.times) {
            deliver(q, time_changed(t));
            bool lands = t == c.lands_at;
            EXPECT_EQ(take_pending(q), lands ? PEND_LANDED : 0) << t;
            EXPECT_EQ(q->time_ms.load(), t);
        }
        EXPECT_EQ(q->seek_state.load(), c.lands_at < 0 ? c.seek_state : SEEK_NONE);
        EXPECT_EQ(q->landed_ms.load(), c.lands_at < 0 ? 0 : c.lands_at);
        EXPECT_EQ(q->mark_frame.load(), c.lands_at >= 0 && c.vouts ? 1 : 0);
    }
}

}  // namespace
