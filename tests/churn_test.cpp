// Rapid churn of players: loads and stops in a row while playing. The
// control thread must answer every command promptly, generations must rise
// by exactly one per installed player, and retired players must drain.
#include "engine.h"
#include "host.h"
#include "json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

double ms_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

TEST(Churn, FiftyLoadsAndStopsWhilePlaying) {
    host h;
    ASSERT_TRUE(host_start(&h));
    ASSERT_FALSE(host_wait_type(&h, "ready").is_null());
    std::vector<double> load_ms;
    long long gen = 0, id = 0;
    bool has_media = false;
    for (int i = 0; i < 50; i++) {
        const char *clip = i % 3 == 2 ? "tone.m4a" : "clip.mp4";
        id++;
        auto sent = std::chrono::steady_clock::now();
        json ack = host_command(&h, R"({"id":)" + std::to_string(id) + R"(,"cmd":"load","url":")" +
                                        media_url(clip) + R"(","live":false})", id);
        load_ms.push_back(ms_since(sent));
        ASSERT_EQ(ack["ok"], true);
        EXPECT_EQ(ack["generation"], ++gen) << "one generation per installed player";
        has_media = true;
        // Every third round also stops, once right away and once after playback began.
        if (i % 3 == 0) {
            if (i % 2 == 0)
                host_wait_type(&h, "playing");
            id++;
            EXPECT_EQ(host_command(&h, R"({"id":)" + std::to_string(id) + R"(,"cmd":"stop"})", id)["ok"], true);
            gen += has_media;
            has_media = false;
        }
    }
    // The last load plays, and after a stop a new load takes the next number.
    host_wait_type(&h, "playing");
    EXPECT_EQ(host_command(&h, R"({"id":1000,"cmd":"stop"})", 1000)["ok"], true);
    json ack = host_command(&h, R"({"id":1001,"cmd":"load","url":")" + media_url("clip.mp4") + R"(","live":false})", 1001);
    EXPECT_EQ(ack["generation"], gen + 2);
    host_wait_type(&h, "playing");
    EXPECT_EQ(host_command(&h, R"({"id":1002,"cmd":"quit"})", 1002)["ok"], true);
    EXPECT_EQ(host_wait_exit(&h), 0);

    std::sort(load_ms.begin(), load_ms.end());
    printf("load to ack: median %.1f ms, worst %.1f ms over %zu loads\n", load_ms[load_ms.size() / 2],
           load_ms.back(), load_ms.size());
    // A load costs the control thread one new instance; tearing down the old
    // one never lands on it.
    EXPECT_LT(load_ms[load_ms.size() / 2], 250.0);
}

// In-process: a load's replacement returns at once while the reaper stops and
// releases the retired players one at a time behind it.
TEST(Churn, RetiredPlayersDrainInTheBackground) {
    // The players' events go to standard output; keep them out of the report.
    int saved = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);

    cur = player_new(0);
    ASSERT_NE(cur, nullptr);
    std::thread(reaper_thread).detach();
    int most = 0;
    double worst = 0;
    for (int i = 1; i <= 30; i++) {
        auto t = std::chrono::steady_clock::now();
        player *p = player_new(generation.load() + 1);
        ASSERT_NE(p, nullptr);
        p->media = libvlc_media_new_location(p->instance, media_url("clip.mp4").c_str());
        libvlc_media_player_set_media(p->mp, p->media);
        replace_player(p);
        libvlc_media_player_play(cur->mp);
        worst = std::max(worst, ms_since(t));
        most = std::max(most, reap_backlog());
        EXPECT_EQ(generation.load(), uint64_t(i));
    }
    auto drain = std::chrono::steady_clock::now();
    while (reap_backlog() > 0 && ms_since(drain) < 30000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(reap_backlog(), 0) << "retired players are all released";
    fflush(stdout);
    dup2(saved, 1);
    printf("replace: worst %.1f ms; players awaiting the reaper at most %d; drained in %.0f ms\n", worst,
           most, ms_since(drain));
}

}  // namespace
