// The picture clock of a real player that never plays: time reports, pauses
// and resumes handed to the event handler, a seek landed as the seek code
// lands it, and the time the clock gives the picture shown then.
#include "engine.h"
#include "inproc.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

const int64_t MS = 1000;

libvlc_event_t event(int type, libvlc_time_t t = 0) {
    libvlc_event_t ev{type, nullptr, {}};
    ev.u.media_player_time_changed.new_time = t;
    return ev;
}

TEST(PictureClock, RunsOnBetweenReportsHoldsWhilePausedAndStepsBackOnlyAfterALanding) {
    std::vector<player *> made;
    player *p = install_current(&made);
    ASSERT_NE(p, nullptr);
    auto deliver = [&](int type, libvlc_time_t t = 0) {
        return [=] {
            libvlc_event_t ev = event(type, t);
            capture_lines([&] { on_event(&ev, p); });
        };
    };
    auto age = [&](int64_t us) {  // as if the clock had restarted us earlier
        return [=] {
            std::lock_guard<std::mutex> hold(p->clock_lock);
            p->clock_stamp_us -= us;
        };
    };
    const int TIME = libvlc_MediaPlayerTimeChanged;
    // Each step, then the time given to a picture: at least low, and at most
    // high, which leaves a busy machine 200 ms between the two.
    const struct {
        const char *what;
        std::function<void()> act;
        int64_t low, high;
    } steps[] = {
        {"before any report", [] {}, 0, 0},
        {"a report", deliver(TIME, 10000), 10000 * MS, 10200 * MS},
        {"300 ms on", age(300 * MS), 10300 * MS, 10500 * MS},
        {"5 s without a report: capped", age(5000 * MS), 11000 * MS, 11000 * MS},
        {"a report half a second back", deliver(TIME, 10500), 11000 * MS, 11000 * MS},
        {"a report two seconds back", deliver(TIME, 9000), 9000 * MS, 9200 * MS},
        {"paused 300 ms on", [&] { age(300 * MS)(); deliver(libvlc_MediaPlayerPaused)(); }, 9300 * MS, 9500 * MS},
        {"paused 5 s", age(5000 * MS), 9300 * MS, 9500 * MS},
        {"resumed 300 ms ago", [&] { deliver(libvlc_MediaPlayerPlaying)(); age(300 * MS)(); }, 9600 * MS, 9800 * MS},
        {"landed half a second back", [&] { land(p, 9100); }, 9100 * MS, 9300 * MS},
    };
    for (const auto &s : steps) {
        s.act();
        int64_t t = clock_read(p);
        EXPECT_GE(t, s.low) << s.what;
        EXPECT_LE(t, s.high) << s.what;
    }
    release_made(&made);
}

}  // namespace
