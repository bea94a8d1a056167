// Seeking end to end on real clips: which seeks are refused, one seekLanded
// near the target per seek with the first frame after it flagged, the start
// position of a load, quitting mid-seek, and the 5-second deadline.
#include "host.h"
#include "http_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace {

const uint32_t LANDED_FLAG = 1;  // FRAME_LANDED in the frame header

std::string load_line(long long id, const std::string &url, const std::string &extra = "") {
    return R"({"id":)" + std::to_string(id) + R"(,"cmd":"load","url":")" + url + R"(","live":false)" + extra +
           "}";
}

std::string seek_line(long long id, const std::string &fields) {
    return R"({"id":)" + std::to_string(id) + R"(,"cmd":"seek")" + (fields.empty() ? "" : ",") + fields + "}";
}

json ack(long long id, bool ok) { return json{{"type", "ack"}, {"id", id}, {"ok", ok}}; }

bool is(const json &ev, const char *type) { return ev["type"] == type; }

void start_ready(host *h) {
    ASSERT_TRUE(host_start(h));
    ASSERT_FALSE(host_wait_type(h, "ready").is_null());
}

// Loads a clip and waits until it has played for at least ms of its time.
void play_from(host *h, long long id, const char *clip, long long ms, const std::string &extra = "") {
    ASSERT_EQ(host_command(h, load_line(id, media_url(clip), extra), id)["ok"], true);
    ASSERT_FALSE(host_wait(h, [&](const json &ev) { return is(ev, "time") && ev["ms"] >= ms; }).is_null());
}

// The next time report at or beyond ms.
json time_at_least(host *h, long long ms, int timeout_ms = 5000) {
    return host_wait(h, [&](const json &ev) { return is(ev, "time") && ev["ms"] >= ms; }, timeout_ms);
}

size_t count(const host *h, const char *type, size_t from = 0) {
    size_t n = 0;
    for (size_t i = from; i < h->events.size(); i++)
        n += is(h->events[i], type);
    return n;
}

std::vector<frame_info> flagged(host *h) {
    std::vector<frame_info> out;
    for (const frame_info &f : host_frames(h))
        if (f.flags & LANDED_FLAG)
            out.push_back(f);
    return out;
}

// Where in the clock clip a picture was taken, in ms: the grey square in its
// middle brightens by 25.3 levels a second.
double shown_ms(const frame_info &f) { return (f.centre[0] + f.centre[1] + f.centre[2]) / 3.0 / 25.3 * 1000; }

// Waits until n flagged frames were read, reading events meanwhile.
bool wait_flagged(host *h, size_t n, int timeout_ms = 3000) {
    long long until = host_now_ms() + timeout_ms;
    while (flagged(h).size() < n) {
        if (host_now_ms() > until) {
            ADD_FAILURE() << "no frame flagged for landing " << n;
            return false;
        }
        host_drain(h, 10);
    }
    return true;
}

// A server on 127.0.0.1 for one location. Without a body it never answers,
// so the library never learns whether the media is seekable; with one it
// answers 200 without a length or byte ranges and sends the body, a stream
// the library cannot seek in.
struct loopback {
    int fd = -1;
    int port = 0;
    std::string body;
    std::atomic<bool> stop{false};
    std::thread serve;

    ~loopback() {
        stop = true;
        if (serve.joinable())
            serve.join();
        if (fd >= 0)
            close(fd);
    }
};

void serve_stream(loopback *s) {
    int c = -1;
    while (!s->stop && c < 0) {
        struct pollfd p = {s->fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0)
            c = accept(s->fd, nullptr, nullptr);
    }
    if (c < 0)
        return;
    std::string head = "HTTP/1.0 200 OK\r\nContent-Type: video/mp2t\r\n\r\n";
    std::string out = head + s->body;
    size_t sent = 0;
    while (!s->stop && sent < out.size()) {
        struct pollfd p = {c, POLLOUT, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        ssize_t n = send(c, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (n > 0)
            sent += size_t(n);
    }
    while (!s->stop)
        usleep(10000);
    close(c);
}

// Listens on a free port; a body makes it serve one connection with it.
bool loopback_start(loopback *s, const std::string &body) {
    s->fd = loopback_listen(4, &s->port);
    if (s->fd < 0)
        return false;
    s->body = body;
    if (!body.empty())
        s->serve = std::thread(serve_stream, s);
    return true;
}

std::string loopback_url(const loopback &s, const char *name) {
    return "http://127.0.0.1:" + std::to_string(s.port) + "/" + name;
}

std::string file_bytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The first event of a type from index `from` on, waited for if not yet read:
// the library reports from its own threads, in no fixed order with the acks.
json seen(host *h, const char *type, size_t from, int timeout_ms = 10000) {
    for (size_t i = from; i < h->next; i++)
        if (is(h->events[i], type))
            return h->events[i];
    return host_wait_type(h, type, timeout_ms);
}

void pause_playback(host *h, long long id) {
    size_t from = h->next;
    EXPECT_EQ(host_command(h, R"({"id":)" + std::to_string(id) + R"(,"cmd":"pause"})", id), ack(id, true));
    seen(h, "paused", from);
}

// Sends both kinds of seek and expects both refused.
void expect_refused(host *h, long long id, const char *when) {
    EXPECT_EQ(host_command(h, seek_line(id, R"("ms":1000)"), id), ack(id, false)) << when;
    EXPECT_EQ(host_command(h, seek_line(id + 1, R"("pos":0.5)"), id + 1), ack(id + 1, false)) << when;
}

TEST(SeekRefusal, BothKindsAreRefusedWithoutMediaTheLibraryCanSeekIn) {
    loopback silent, stream;
    ASSERT_TRUE(loopback_start(&silent, ""));
    ASSERT_TRUE(loopback_start(&stream, file_bytes(media_path("seek-stream.ts"))));
    host h;
    start_ready(&h);

    expect_refused(&h, 1, "before any load");

    ASSERT_EQ(host_command(&h, load_line(10, loopback_url(silent, "silent.ts")), 10)["ok"], true);
    size_t loaded = h.next;
    host_wait_type(&h, "opening");
    expect_refused(&h, 11, "before the library said whether it can seek");
    EXPECT_EQ(count(&h, "seekable", loaded), 0u) << "the silent server answered after all";

    // A start position it cannot seek to is dropped, and the host told.
    ASSERT_EQ(host_command(&h, load_line(20, loopback_url(stream, "stream.ts"), R"(,"startPos":0.5)"), 20)["ok"], true);
    loaded = h.next;
    EXPECT_EQ(seen(&h, "seekable", loaded)["v"], false);
    seen(&h, "playing", loaded);
    EXPECT_FALSE(host_wait(&h, [](const json &ev) {
                     return ev == json{{"type", "log"}, {"message", "startPos dropped: the media cannot seek"}};
                 }).is_null());
    expect_refused(&h, 21, "on a stream the library cannot seek in");

    // The same seeks are taken on a clip that can seek, until it is stopped.
    loaded = h.next;
    play_from(&h, 30, "seek-clock.mp4", 0);
    EXPECT_EQ(seen(&h, "seekable", loaded)["v"], true);
    EXPECT_EQ(host_command(&h, seek_line(31, R"("ms":1000)"), 31), ack(31, true));
    EXPECT_EQ(host_command(&h, seek_line(32, R"("pos":0.5)"), 32), ack(32, true));
    EXPECT_EQ(host_command(&h, R"({"id":33,"cmd":"stop"})", 33), ack(33, true));
    expect_refused(&h, 34, "after stop");
}

TEST(SeekRefusal, MalformedSeeksAreRefusedAndLeaveTheSeekInFlight) {
    host h;
    start_ready(&h);
    play_from(&h, 1, "seek-clock.mp4", 300);
    const char *refused[] = {
        R"("ms":1000,"pos":0.5)", "",           R"("ms":"1000")", R"("ms":"1000","pos":"0.5")",
        R"("ms":null)",           R"("ms":-1)", R"("ms":-0.5)",   R"("pos":-0.01)",
        R"("pos":1.01)",          R"("pos":"0.5")",
    };
    // All in one write, so they are handled while the first seek is in flight.
    std::string text = seek_line(2, R"("ms":6000)");
    for (size_t i = 0; i < std::size(refused); i++)
        text += "\n" + seek_line(10 + long(i), refused[i]);
    size_t from = h.next;
    host_send(&h, text);
    EXPECT_EQ(host_ack(&h, 2), ack(2, true));
    for (size_t i = 0; i < std::size(refused); i++)
        EXPECT_EQ(host_ack(&h, 10 + long(i)), ack(10 + long(i), false)) << refused[i];
    // From a local file the seek may land while the refusals are answered.
    json landed = seen(&h, "seekLanded", from);
    EXPECT_NEAR(landed["ms"].get<double>(), 6000, 500);
    time_at_least(&h, 6500);
    EXPECT_EQ(count(&h, "seekLanded"), 1u);
    EXPECT_EQ(flagged(&h).size(), 1u);
}

// A raw H.264 stream: the library can seek in the file but cannot know its
// length, and reports its time as 0 throughout.
TEST(SeekRefusal, WithoutALengthTimeSeeksAreRefusedAndPositionSeeksTracked) {
    host h;
    start_ready(&h);
    ASSERT_EQ(host_command(&h, load_line(1, media_url("seek.h264")), 1)["ok"], true);
    EXPECT_EQ(seen(&h, "seekable", 0)["v"], true);
    seen(&h, "playing", 0);
    seen(&h, "position", 0);
    for (const json &ev : h.events) {
        if (is(ev, "length")) {
            EXPECT_EQ(ev["ms"], 0) << "the library found a length after all";
        }
    }

    EXPECT_EQ(host_command(&h, seek_line(2, R"("ms":1000)"), 2), ack(2, false));
    EXPECT_EQ(host_command(&h, seek_line(3, R"("ms":0)"), 3), ack(3, false));
    long long sent = host_now_ms();
    EXPECT_EQ(host_command(&h, seek_line(4, R"("pos":0.7)"), 4), ack(4, true));
    size_t from = h.next;
    json landed = host_wait_type(&h, "seekLanded", 4000);
    // Time stands at 0, so only the position can have told the landing, and
    // long before the deadline.
    EXPECT_EQ(landed["ms"], 0);
    EXPECT_LT(h.event_ms[h.next - 1] - sent, 3000);
    host_drain(&h, 400);
    bool moved = false;
    for (size_t i = from; i < h.events.size(); i++)
        moved |= is(h.events[i], "position") && h.events[i]["value"] >= 0.5;
    EXPECT_TRUE(moved) << "the position never went to the target";
    EXPECT_EQ(count(&h, "seekLanded"), 1u);
}

TEST(SeekLanding, TimeAndPositionSeeksLandOnceNearTheTargetAndFlagOneFrame) {
    host h;
    start_ready(&h);
    play_from(&h, 1, "seek-clock.mp4", 300);
    const struct { const char *fields; long long target; } steps[] = {
        {R"("ms":6000)", 6000},  // forward
        {R"("pos":0.3)", 3000},  // backward
        {R"("ms":8000)", 8000},
    };
    long long id = 10;
    for (const auto &s : steps) {
        size_t before = flagged(&h).size();
        EXPECT_EQ(host_command(&h, seek_line(id, s.fields), id), ack(id, true)) << s.fields;
        long long acked = h.event_ms[h.next - 1];
        json landed = host_wait_type(&h, "seekLanded", 3000);
        long long landed_at = h.event_ms[h.next - 1];
        EXPECT_NEAR(landed["ms"].get<double>(), double(s.target), 500) << s.fields;
        ASSERT_TRUE(wait_flagged(&h, before + 1)) << s.fields;
        frame_info f = flagged(&h)[before];
        EXPECT_NEAR(shown_ms(f), double(s.target), 600) << s.fields << ": the flagged picture is not from there";
        EXPECT_NEAR(double(f.pts_us) / 1000, double(s.target), 500) << s.fields;
        EXPECT_GE(f.arrived_ms, acked) << s.fields;
        EXPECT_LT(std::llabs(f.arrived_ms - landed_at), 1000) << s.fields;
        // Playback goes on from there; a second report would show by now.
        time_at_least(&h, s.target + 400);
        id++;
    }
    host_drain(&h, 200);
    EXPECT_EQ(count(&h, "seekLanded"), std::size(steps));
    EXPECT_EQ(flagged(&h).size(), std::size(steps));
}

TEST(SeekLanding, OfTwoSeeksSentTogetherOnlyTheSecondIsReported) {
    host h;
    start_ready(&h);
    play_from(&h, 1, "seek-clock.mp4", 300);
    size_t from = h.next;
    host_send(&h, seek_line(2, R"("ms":8000)") + "\n" + seek_line(3, R"("ms":4000)"));
    EXPECT_EQ(host_ack(&h, 2), ack(2, true));
    EXPECT_EQ(host_ack(&h, 3), ack(3, true));
    // A local file may refill so fast that the first seek has truly landed
    // before the second is handled: then it is told, before the second's ack.
    size_t second = h.next;
    size_t early = count(&h, "seekLanded", from) - count(&h, "seekLanded", second);
    EXPECT_LE(early, 1u);
    if (early) {
        EXPECT_NEAR(seen(&h, "seekLanded", from)["ms"].get<double>(), 8000, 500);
    }
    json landed = seen(&h, "seekLanded", second, 3000);
    EXPECT_NEAR(landed["ms"].get<double>(), 4000, 500);
    time_at_least(&h, 4500);
    host_drain(&h, 200);
    EXPECT_EQ(count(&h, "seekLanded", second), 1u);
    std::vector<frame_info> marked = flagged(&h);
    ASSERT_GE(marked.size(), 1u);
    EXPECT_NEAR(shown_ms(marked.back()), 4000, 600) << "the flagged picture is not from there";
}

// Paused, the library reports no time at all: the control loop's polling
// alone sees these seeks arrive.
TEST(SeekLanding, SeeksWhilePausedLandPromptlyAtTheirTime) {
    host h;
    start_ready(&h);
    play_from(&h, 1, "seek-clock.mp4", 300);
    pause_playback(&h, 2);
    const struct { const char *fields; long long target; } steps[] = {
        {R"("ms":7000)", 7000},
        {R"("ms":7000)", 7000},  // where it already is
        {R"("pos":0.2)", 2000},
    };
    long long id = 3;
    for (const auto &s : steps) {
        long long sent = host_now_ms();
        EXPECT_EQ(host_command(&h, seek_line(id, s.fields), id), ack(id, true));
        json landed = host_wait_type(&h, "seekLanded", 2000);
        EXPECT_EQ(landed["ms"], s.target) << s.fields;
        EXPECT_LT(h.event_ms[h.next - 1] - sent, 1000) << s.fields;
        id++;
    }
    host_drain(&h, 300);
    EXPECT_EQ(count(&h, "seekLanded"), std::size(steps));
}

// A seek at or past the end may end the media instead of landing: the host
// then has its answer in the end, and no landing ever follows it.
TEST(SeekLanding, BoundaryTargetsAreAcceptedAndLandOrEnd) {
    host h;
    start_ready(&h);
    const struct { const char *fields; long long from, lo, hi; bool ends; } cases[] = {
        {R"("ms":0)", 400, 0, 300, false},
        {R"("pos":0)", 400, 0, 300, false},
        {R"("pos":1)", 300, 9000, 10500, true},
        {R"("ms":60000)", 300, 10000, 60000, true},  // beyond the end
        // beyond what the library can count: as far as it can go
        {R"("ms":1e19)", 300, 10000, 9223372036854775LL, true},
    };
    long long id = 1;
    for (const auto &c : cases) {
        play_from(&h, id, "seek-clock.mp4", c.from);
        size_t from = h.next;
        EXPECT_EQ(host_command(&h, seek_line(id + 1, c.fields), id + 1), ack(id + 1, true)) << c.fields;
        if (c.ends) {
            seen(&h, "end", from, 3000);
            seen(&h, "stopped", from, 3000);
        } else {
            json landed = host_wait_type(&h, "seekLanded", 3000);
            EXPECT_GE(landed["ms"], c.lo) << c.fields;
            EXPECT_LE(landed["ms"], c.hi) << c.fields;
        }
        host_drain(&h, 300);
        size_t ended = from;
        while (ended < h.events.size() && !is(h.events[ended], "end") && !is(h.events[ended], "stopped"))
            ended++;
        EXPECT_EQ(count(&h, "seekLanded", ended), 0u) << c.fields << ": a landing after the end";
        if (c.ends) {
            EXPECT_LE(count(&h, "seekLanded", from), 1u) << c.fields;
        } else {
            EXPECT_EQ(count(&h, "seekLanded", from), 1u) << c.fields;
        }
        id += 2;
    }
}

TEST(SeekLanding, AnAudioOnlyClipLandsWithoutAnyFrame) {
    host h;
    start_ready(&h);
    play_from(&h, 1, "seek-tone.m4a", 300);
    EXPECT_EQ(host_command(&h, seek_line(2, R"("ms":6000)"), 2), ack(2, true));
    EXPECT_NEAR(host_wait_type(&h, "seekLanded", 3000)["ms"].get<double>(), 6000, 500);
    time_at_least(&h, 6500);
    EXPECT_EQ(count(&h, "seekLanded"), 1u);
    EXPECT_TRUE(host_frames(&h).empty()) << "a tone made frames";
}

TEST(SeekLanding, StartPositionJumpsThereWithoutAReportUnlessTheHostSeeksFirst) {
    host h;
    start_ready(&h);
    play_from(&h, 1, "seek-clock.mp4", 3300, R"(,"startPos":0.3)");
    host_drain(&h, 300);
    // Played from the start it would have shown the times in between.
    for (const json &ev : h.events) {
        if (is(ev, "time")) {
            EXPECT_FALSE(ev["ms"] > 600 && ev["ms"] < 2400) << ev.dump();
        }
    }
    EXPECT_EQ(count(&h, "seekLanded"), 0u);
    EXPECT_TRUE(flagged(&h).empty());
    EXPECT_FALSE(host_frames(&h).empty());

    // A seek as soon as the media can seek, mostly before its buffers first
    // filled: the host's seek holds, and the start position is dropped.
    ASSERT_EQ(host_command(&h, load_line(2, media_url("seek-clock.mp4"), R"(,"startPos":0.8)"), 2)["ok"], true);
    size_t loaded = h.next;
    EXPECT_EQ(seen(&h, "seekable", loaded)["v"], true);
    seen(&h, "length", loaded);
    EXPECT_EQ(host_command(&h, seek_line(3, R"("ms":2000)"), 3), ack(3, true));
    EXPECT_NEAR(host_wait_type(&h, "seekLanded")["ms"].get<double>(), 2000, 500);
    size_t landed = h.next;
    time_at_least(&h, 2600);
    host_drain(&h, 300);
    for (size_t i = landed; i < h.events.size(); i++) {
        if (is(h.events[i], "time")) {
            EXPECT_LT(h.events[i]["ms"], 4000) << "the start position was applied after the seek";
        }
    }
}

// The source answers a request for a range 2.5 s late: the library reports
// the target as its time at once, but playback moves only once the bytes
// came. The landing waits for them. The source sends no faster than twice
// the clip's rate, so that the library must ask for the target's bytes.
TEST(SeekLanding, OnASlowSourceTheLandingWaitsForPlaybackToMove) {
    http_server server;
    server.files = MEDIA_DIR;
    server.file_rate = 250000;
    ASSERT_TRUE(http_start(&server));
    host h;
    start_ready(&h);
    ASSERT_EQ(host_command(&h, load_line(1, http_url(&server, "/file/seek-clock.mp4")), 1)["ok"], true);
    ASSERT_FALSE(time_at_least(&h, 300, 10000).is_null());
    server.range_delay_ms = 2500;
    long long sent = host_now_ms();
    EXPECT_EQ(host_command(&h, seek_line(2, R"("ms":6000)"), 2), ack(2, true));
    json landed = host_wait_type(&h, "seekLanded", 10000);
    long long landed_at = h.event_ms[h.next - 1];
    std::vector<long long> answered;
    {
        std::lock_guard<std::mutex> hold(server.lock);
        answered = server.delayed_ms;
    }
    ASSERT_FALSE(answered.empty()) << "the library never asked for the range";
    EXPECT_GE(landed_at, answered[0]) << "landed before the source answered";
    EXPECT_NEAR(landed["ms"].get<double>(), 6000, 500);
    ASSERT_TRUE(wait_flagged(&h, 1));
    frame_info f = flagged(&h)[0];
    EXPECT_NEAR(shown_ms(f), 6000, 600) << "the flagged picture is not from there";
    printf("slow source: asked at 0 ms, the source answered at %lld ms, seekLanded at %lld ms, "
           "the flagged frame arrived at %lld ms\n",
           answered[0] - sent, landed_at - sent, f.arrived_ms - sent);
}

TEST(SeekLanding, QuitDuringASeekReportsNoLandingAfterItsAck) {
    host h;
    start_ready(&h);
    play_from(&h, 1, "seek-clock.mp4", 300);
    host_send(&h, seek_line(2, R"("ms":6000)") + "\n" + R"({"id":3,"cmd":"quit"})");
    EXPECT_EQ(host_ack(&h, 2), ack(2, true));
    EXPECT_EQ(host_ack(&h, 3), ack(3, true));
    size_t after = h.next;
    EXPECT_EQ(host_wait_exit(&h), 0);
    EXPECT_EQ(count(&h, "seekLanded", after), 0u);
}

// Paused, a raw H.264 stream reports neither time nor position, and a seek in
// it is tracked by position, which only the time event compares: nothing
// tells the landing but the deadline.
TEST(SeekDeadline, ASeekNeverSeenToArriveLandsFiveSecondsLaterAtTheTimeThen) {
    host h;
    start_ready(&h);
    ASSERT_EQ(host_command(&h, load_line(1, media_url("seek.h264")), 1)["ok"], true);
    json t = seen(&h, "time", 0);
    seen(&h, "position", 0);
    pause_playback(&h, 2);
    long long sent = host_now_ms();
    EXPECT_EQ(host_command(&h, seek_line(3, R"("pos":0.8)"), 3), ack(3, true));
    json landed = host_wait_type(&h, "seekLanded", 8000);
    long long took = h.event_ms[h.next - 1] - sent;
    EXPECT_GE(took, 4500);
    EXPECT_LE(took, 6000);
    for (const json &ev : h.events)
        if (is(ev, "time"))
            t = ev;
    EXPECT_EQ(landed["ms"], t["ms"]) << "not the time reported last";
    host_drain(&h, 300);
    EXPECT_EQ(count(&h, "seekLanded"), 1u);
}

}  // namespace
