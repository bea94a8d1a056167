// Seeking in-process, on real players: the landing rule, land, the seek
// command's bookkeeping and refusals, the control loop's landing checks, the
// library's echo of a seek request, and the race between the two testers.
#include "engine.h"
#include "json.h"
#include "inproc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using lines = std::vector<std::string>;

// The event lines printed by f.
lines capture(const std::function<void()> &f) { return without_logs(capture_lines(f)); }

int take_pending(player *q) {
    std::lock_guard<std::mutex> hold(ctl_lock);
    int bits = q->pending;
    q->pending = 0;
    return bits;
}

// Runs the seek command line as the control loop would; its printed lines.
lines seek(const std::string &fields) {
    command c;
    std::string line = R"({"id":7,"cmd":"seek")" + std::string(fields.empty() ? "" : ",") + fields + "}";
    lines out;
    if (parse_command(line.c_str(), &c) != 0) {
        ADD_FAILURE() << "test line does not parse: " << line;
    } else {
        out = capture([&] { cmd_seek(&c, 7); });
    }
    command_free(&c);
    return out;
}

const lines ACK_TRUE = {R"({"type":"ack","id":7,"ok":true})"};
const lines ACK_FALSE = {R"({"type":"ack","id":7,"ok":false})"};

libvlc_event_t time_changed(libvlc_time_t t) {
    return {libvlc_MediaPlayerTimeChanged, nullptr, {.media_player_time_changed = {t}}};
}

// Each test starts with a fresh current player p that has media but plays
// nothing, so the library reports its time as -1. Players are released here.
class Seek : public ::testing::Test {
protected:
    player *p = nullptr;
    std::vector<player *> made;

    void SetUp() override { ASSERT_NE(p = install(), nullptr); }
    void TearDown() override { release_made(&made); }
    // A new current player with the clip as its media.
    player *install(const char *clip = "seek-clock.mp4") {
        player *q = install_current(&made);
        if (q)
            q->media = libvlc_media_new_path(q->instance, (std::string(MEDIA_DIR) + "/" + clip).c_str());
        return q;
    }
    // A seek in flight on q, issued `ago` microseconds ago.
    static void arm(player *q, int state, double origin, double target, int64_t ago) {
        q->seek_state.store(SEEK_NONE);
        q->seek_origin.store(origin);
        q->seek_target.store(target);
        q->seek_deadline_us = now_us() + 5000000 - ago;
        q->seek_phase.store(SEEK_REFILLED);
        q->seek_state.store(state);
    }
};

TEST(LandingRule, LandsWhenAtLeastAsCloseToTheTargetAsToTheOrigin) {
    const struct { double v, origin, target; bool lands; } cases[] = {
        // forward from 0 to 1000: the midpoint is a tie, and a tie lands
        {0, 0, 1000, false},       {499, 0, 1000, false}, {500, 0, 1000, true},
        {501, 0, 1000, true},      {1000, 0, 1000, true}, {9000, 0, 1000, true},
        {-100, 0, 1000, false},
        // backward from 2000 to 500
        {2000, 2000, 500, false},  {1251, 2000, 500, false}, {1250, 2000, 500, true},
        {500, 2000, 500, true},    {0, 2000, 500, true},     {3000, 2000, 500, false},
        // to where playback already is: every observation is a tie
        {700, 700, 700, true},     {0, 700, 700, true},      {1e12, 700, 700, true},
        // positions
        {0.5, 0.25, 0.75, true},   {0.49, 0.25, 0.75, false}, {0.1, 0.25, 0, true},
        // the library's time while it has nothing to play
        {-1, 1000, 0, true},       {-1, 0, 1000, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(landed(c.v, c.origin, c.target), c.lands) << c.v << " from " << c.origin << " to " << c.target;
}

TEST_F(Seek, LandRecordsTheTimeMarksVideoAndAsksForOneReport) {
    const struct { int vouts; int64_t t; int mark; int end_state; const char *line; } cases[] = {
        {0, 4321, 0, END_NONE, R"({"type":"seekLanded","ms":4321})"},
        {1, 4321, 1, END_NONE, R"({"type":"seekLanded","ms":4321})"},
        {2, -1, 1, END_NONE, R"({"type":"seekLanded","ms":-1})"},
        {1, 5400000000, 1, END_NONE, R"({"type":"seekLanded","ms":5400000000})"},
        // once the media ended or stopped, the host has its answer
        {1, 4321, 1, END_REACHED, nullptr},
        {1, 4321, 1, END_STOP_HELD, nullptr},
    };
    for (const auto &c : cases) {
        player *q;
        ASSERT_NE(q = install(), nullptr);
        q->vouts.store(c.vouts);
        q->end_state.store(c.end_state);
        q->seek_state.store(SEEK_BY_TIME);
        land(q, c.t);
        EXPECT_EQ(q->landed_ms.load(), c.t);
        EXPECT_EQ(q->time_ms.load(), c.t);
        EXPECT_EQ(q->mark_frame.load(), c.mark) << c.vouts;
        EXPECT_EQ(take_pending(q), PEND_LANDED);
        EXPECT_EQ(q->seek_state.load(), SEEK_BY_TIME) << "the caller settles the state, not land";
        EXPECT_EQ(capture(tell_landed), c.line ? lines{c.line} : lines{});
    }
}

TEST_F(Seek, SeekCommandTracksByTimeWhenTheLengthIsKnownElseByPosition) {
    const struct {
        int64_t length, time;
        double position;
        const char *fields;
        int state;
        double target, origin;
    } cases[] = {
        {10000, 1200, 0.125, R"("ms":2500)", SEEK_BY_TIME, 2500, 1200},
        {10000, 1200, 0.125, R"("ms":0)", SEEK_BY_TIME, 0, 1200},
        {10000, 1200, 0.125, R"("ms":60000)", SEEK_BY_TIME, 60000, 1200},  // beyond the end
        {10000, 1200, 0.125, R"("ms":2500.75)", SEEK_BY_TIME, 2500.75, 1200},
        {10000, 6000, 0.625, R"("pos":0.5)", SEEK_BY_TIME, 5000, 6000},
        {10000, 6000, 0.625, R"("pos":0)", SEEK_BY_TIME, 0, 6000},
        {10000, 6000, 0.625, R"("pos":1)", SEEK_BY_TIME, 10000, 6000},
        {1, 0, 0, R"("pos":1)", SEEK_BY_TIME, 1, 0},
        {0, 0, 0.25, R"("pos":0.5)", SEEK_BY_POS, 0.5, 0.25},
        {-1, 0, 0.25, R"("pos":0.75)", SEEK_BY_POS, 0.75, 0.25},
        {0, 0, 0.25, R"("pos":1)", SEEK_BY_POS, 1, 0.25},
        // a key holding no number counts as missing
        {10000, 1200, 0.125, R"("ms":"1000","pos":0.25)", SEEK_BY_TIME, 2500, 1200},
        {10000, 1200, 0.125, R"("ms":3000,"pos":null)", SEEK_BY_TIME, 3000, 1200},
    };
    for (const auto &c : cases) {
        p->seekable.store(1);
        p->length_ms.store(c.length);
        p->time_ms.store(c.time);
        p->position.store(c.position);
        // A seek in flight is replaced, and so is a start position not yet applied.
        arm(p, SEEK_BY_POS, 0.9, 0.1, 4000000);
        p->start_pos = 0.5;
        int64_t before = now_us();
        EXPECT_EQ(seek(c.fields), ACK_TRUE) << c.fields;
        int64_t after = now_us();
        EXPECT_EQ(p->seek_state.load(), c.state) << c.fields;
        EXPECT_EQ(p->seek_target.load(), c.target) << c.fields;
        EXPECT_EQ(p->seek_origin.load(), c.origin) << c.fields;
        EXPECT_GE(p->seek_deadline_us, before + 5000000) << c.fields;
        EXPECT_LE(p->seek_deadline_us, after + 5000000) << c.fields;
        EXPECT_EQ(p->seek_phase.load(), SEEK_ASKED) << c.fields;
        EXPECT_EQ(p->start_pos, -1.0) << c.fields;
        EXPECT_EQ(take_pending(p), 0) << c.fields;
    }
}

TEST_F(Seek, AStartPositionIsAppliedOnceOrDroppedWhenTheMediaCannotSeek) {
    const struct { int seekable; lines out; } cases[] = {
        {1, {}},
        {0, {R"({"type":"log","message":"startPos dropped: the media cannot seek"})"}},
    };
    for (const auto &c : cases) {
        p->seekable.store(c.seekable);
        p->start_pos = 0.3;
        EXPECT_EQ(capture_lines(apply_start_pos), c.out);
        EXPECT_EQ(p->start_pos, -1.0);
        EXPECT_EQ(capture(apply_start_pos), lines{}) << "applied twice";
    }
}

TEST_F(Seek, ATargetBeyondTheLibrarysRangeIsBroughtWithinIt) {
    p->seekable.store(1);
    p->length_ms.store(10000);
    for (const char *fields : {R"("ms":1e19)", R"("ms":9223372036854775807)", R"("ms":1e300)"}) {
        EXPECT_EQ(seek(fields), ACK_TRUE) << fields;
        EXPECT_EQ(p->seek_state.load(), SEEK_BY_TIME);
        // The library works in microseconds; a frame's time is kept in them too.
        EXPECT_LE(p->seek_target.load(), double(INT64_MAX / 1000)) << fields;
        EXPECT_GE(p->seek_target.load(), 1e12) << fields;  // still beyond any media
    }
}

TEST_F(Seek, RefusalsLeaveTheSeekInFlightAlone) {
    const struct {
        const char *fields;
        int has_media, seekable;
        int64_t length;
    } cases[] = {
        {R"("ms":1000)", 0, 1, 10000},
        {R"("pos":0.5)", 0, 1, 10000},
        {R"("ms":1000)", 1, 0, 10000},
        {R"("pos":0.5)", 1, 0, 0},
        {R"("ms":1000,"pos":0.5)", 1, 1, 10000},
        {R"("ms":0,"pos":0)", 1, 1, 0},
        {"", 1, 1, 10000},
        {R"("ms":"1000")", 1, 1, 10000},
        {R"("ms":"1000","pos":"0.5")", 1, 1, 10000},
        {R"("ms":null)", 1, 1, 10000},
        {R"("ms":true)", 1, 1, 10000},
        {R"("pos":"0.5")", 1, 1, 10000},
        {R"("ms":-1)", 1, 1, 10000},
        {R"("ms":-0.001)", 1, 1, 10000},
        {R"("ms":1000)", 1, 1, 0},
        {R"("ms":0)", 1, 1, -1},
        {R"("pos":-0.01)", 1, 1, 10000},
        {R"("pos":1.0001)", 1, 1, 10000},
        {R"("pos":-0.01)", 1, 1, 0},
        {R"("pos":2)", 1, 1, 0},
    };
    libvlc_media_t *media = p->media;
    for (const auto &c : cases) {
        p->media = c.has_media ? media : nullptr;
        p->seekable.store(c.seekable);
        p->length_ms.store(c.length);
        p->time_ms.store(1500);
        p->position.store(0.15);
        arm(p, SEEK_BY_POS, 0.25, 0.75, 1000000);
        int64_t deadline = p->seek_deadline_us;
        EXPECT_EQ(seek(c.fields), ACK_FALSE) << c.fields;
        EXPECT_EQ(p->seek_state.load(), SEEK_BY_POS) << c.fields;
        EXPECT_EQ(p->seek_origin.load(), 0.25) << c.fields;
        EXPECT_EQ(p->seek_target.load(), 0.75) << c.fields;
        EXPECT_EQ(p->seek_deadline_us, deadline) << c.fields;
        EXPECT_EQ(take_pending(p), 0) << c.fields;
    }
    p->media = media;
}

TEST_F(Seek, ControlLoopComparesTimeSeeksAndSettlesEverySeekAtItsDeadline) {
    // The library reports -1 here: nothing plays. Its time counts only once
    // its buffers filled again after the request.
    const struct {
        const char *what;
        int state, phase;
        double origin, target, position;
        int64_t ago;
        bool lands;
    } cases[] = {
        {"time seek at its target", SEEK_BY_TIME, SEEK_REFILLED, 1000, 0, 0, 200000, true},
        {"time seek at its target, not yet filled", SEEK_BY_TIME, SEEK_EMPTIED, 1000, 0, 0, 200000, false},
        {"time seek at its target, just asked", SEEK_BY_TIME, SEEK_ASKED, 1000, 0, 0, 200000, false},
        {"time seek not there yet", SEEK_BY_TIME, SEEK_REFILLED, 0, 1000, 0, 200000, false},
        {"time seek not there at its deadline", SEEK_BY_TIME, SEEK_ASKED, 0, 1000, 0, 5000000, true},
        {"position seek at its target", SEEK_BY_POS, SEEK_REFILLED, 0.25, 0.75, 0.75, 200000, false},
        {"position seek at its deadline", SEEK_BY_POS, SEEK_REFILLED, 0.25, 0.75, 0.25, 5000000, true},
        {"no seek, a deadline long past", SEEK_NONE, SEEK_REFILLED, 0, 1000, 0, 9000000, false},
    };
    for (const auto &c : cases) {
        player *q;
        ASSERT_NE(q = install(), nullptr);
        q->position.store(c.position);
        arm(q, c.state, c.origin, c.target, c.ago);
        q->seek_phase.store(c.phase);
        EXPECT_EQ(capture(check_landing), lines{}) << c.what;
        EXPECT_EQ(take_pending(q), c.lands ? PEND_LANDED : 0) << c.what;
        EXPECT_EQ(q->seek_state.load(), c.lands ? SEEK_NONE : c.state) << c.what;
        EXPECT_EQ(q->landed_ms.load(), c.lands ? -1 : 0) << c.what;
    }
}

// The control loop and the library's time event test the same seek at once;
// the compare-and-swap lets exactly one of them land it. A tester that lands
// stops in raise_pending on ctl_lock, which is held here while they run, so
// until it is let go only a tester that did not land can have finished.
TEST_F(Seek, ConcurrentTestersLandEachSeekExactlyOnce) {
    using clock = std::chrono::steady_clock;
    const struct {
        const char *what;
        int state;
        double origin, target;
        int64_t ago;
    } cases[] = {
        // the loop sees -1, the event 100: both at the target 0
        {"time seek", SEEK_BY_TIME, 10000, 0, 200000},
        // the event compares positions, the loop counts the deadline
        {"position seek at its deadline", SEEK_BY_POS, 1, 0, 5000000},
    };
    const libvlc_event_t ev = time_changed(100);
    p->last_time_ms = 100;  // the time event prints nothing: time stands still

    // Two testers that live through all rounds, so that both run warm. Each
    // round they start at the instants posted for them, sleeping to shortly
    // before and spinning to it.
    std::atomic<int> round{0}, done{0};
    std::atomic<bool> quit{false};
    std::atomic<int64_t> start_ns[2];
    auto tester = [&](int which) {
        int seen = 0;
        for (;;) {
            while (round.load() == seen && !quit.load())
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            if (quit.load())
                return;
            seen = round.load();
            clock::time_point t{std::chrono::nanoseconds(start_ns[which].load())};
            std::this_thread::sleep_until(t - std::chrono::microseconds(200));
            while (clock::now() < t) {
            }
            if (which == 0)
                check_landing();
            else
                on_event(&ev, p);
            done++;
        }
    };
    std::thread testers[2] = {std::thread(tester, 0), std::thread(tester, 1)};

    for (const auto &c : cases) {
        int wins[2] = {0, 0};  // control loop, time event
        // How much later the time event starts, in ns: moved after every
        // round against the side that won, by steps that shrink as it turns,
        // it settles where either may win, where a second landing would show.
        int64_t lead = 0, step = 1024;
        int last = 0;
        for (int i = 0; i < 1000 && !HasFailure(); i++) {
            p->position.store(0.01);
            arm(p, c.state, c.origin, c.target, c.ago);
            p->landed_ms.store(0);
            done.store(0);
            std::unique_lock<std::mutex> hold(ctl_lock);
            int64_t go = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             (clock::now() + std::chrono::microseconds(500)).time_since_epoch())
                             .count();
            start_ns[0].store(go + std::max<int64_t>(0, -lead));
            start_ns[1].store(go + std::max<int64_t>(0, lead));
            round++;
            clock::time_point until = clock::now() + std::chrono::seconds(2);
            while (done.load() == 0 && clock::now() < until)
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            int finished = done.load();
            hold.unlock();
            while (done.load() < 2)
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            EXPECT_EQ(finished, 1) << c.what << ", round " << i
                                   << (finished == 0 ? ": both landed" : ": neither landed");
            EXPECT_EQ(take_pending(p), PEND_LANDED) << c.what << ", round " << i;
            EXPECT_EQ(p->seek_state.load(), SEEK_NONE);
            int64_t t = p->landed_ms.load();
            EXPECT_TRUE(t == -1 || t == 100) << t;
            wins[t == 100]++;
            int move = t == 100 ? 1 : -1;
            if (move != last && step > 4)
                step /= 2;
            last = move;
            lead += move * step;
        }
        printf("%s: the control loop landed %d, the time event %d\n", c.what, wins[0], wins[1]);
        // Both sides must have won some rounds, or there was no race to test.
        EXPECT_GT(wins[0], 0) << c.what;
        EXPECT_GT(wins[1], 0) << c.what;
    }
    quit.store(true);
    for (std::thread &t : testers)
        t.join();
}

}  // namespace
