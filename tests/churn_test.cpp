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

// The sanitizers' allocators keep freed memory for themselves; only the plain
// build can judge resident size.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool resident_size_tells = false;
#else
const bool resident_size_tells = true;
#endif

// A careless host's burst of loads and stops of a 1080p clip, first written
// at once, then spaced only by their acks: every command is answered, memory
// and threads stay bounded, and the engine settles back to idle.
TEST(Churn, BurstsOfLoadsAreAbsorbed) {
    host h;
    ASSERT_TRUE(host_start(&h));
    ASSERT_FALSE(host_wait_type(&h, "ready").is_null());
    const host_usage idle = host_sample(h.pid);
    const std::string load = R"(,"cmd":"load","live":false,"url":")" + media_url("burst-1080p.mp4") + "\"}";
    long long id = 0, gen = 0;
    for (bool at_once : {true, false}) {
        std::string text;
        std::vector<long long> ids;
        for (int round = 0; round < (at_once ? 50 : 10); round++)
            for (int i = 0; i < 4; i++)
                text += R"({"id":)" + std::to_string(++id) + (i < 3 ? load : R"(,"cmd":"stop"})") + "\n";
        host_usage peak = idle;
        long long sent = host_now_ms();
        if (at_once)
            host_send(&h, text);
        size_t from = 0;
        for (long long i = id - (at_once ? 200 : 40) + 1; i <= id; i++) {
            if (!at_once) {
                size_t lf = text.find('\n', from);
                host_send(&h, text.substr(from, lf - from));
                from = lf + 1;
            }
            json ack = host_ack(&h, i);
            ASSERT_EQ(ack["ok"], true) << ack;
            gen++;
            if (ack.contains("generation")) {
                EXPECT_EQ(ack["generation"], gen) << "each load its own generation";
            }
            host_usage s = host_sample(h.pid);
            peak = {std::max(peak.rss_kb, s.rss_kb), std::max(peak.threads, s.threads), 0};
        }
        long long acked = host_now_ms();
        host_usage s = host_sample(h.pid);
        while (s.threads > idle.threads || (resident_size_tells && s.rss_kb > 60 * 1024)) {
            ASSERT_LT(host_now_ms() - acked, 10000 * host_slowdown())
                << "not settled: " << s.rss_kb << " kB, " << s.threads << " threads";
            host_drain(&h, 20);
            s = host_sample(h.pid);
        }
        printf("%s: last ack after %lld ms, peak %ld kB and %d threads, settled %lld ms later\n",
               at_once ? "written at once" : "spaced by acks", acked - sent, peak.rss_kb, peak.threads,
               host_now_ms() - acked);
        if (resident_size_tells) {
            EXPECT_LT(peak.rss_kb, 500 * 1024);
        }
    }
}

}  // namespace
