// The frame pipe end to end: what a host reads on fd 3 while the real engine
// plays clips made by ffmpeg: sizes, pixels, generations, numbering, a host
// that stops reading, and a stream whose size changes as it plays.
#include "host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

const uint32_t FRAME_LANDED_FLAG = 1;

const char USAGE[] = "usage: vexolo-engine --max-size=WxH --frames=fd:3|null --loglevel=N\n";

std::string load_line(long long id, const char *clip) {
    return R"({"id":)" + std::to_string(id) + R"(,"cmd":"load","url":")" + media_url(clip) + R"(","live":false})";
}

void start_ready(host *h, const host_options &opt = {}) {
    ASSERT_TRUE(host_start(h, opt));
    ASSERT_FALSE(host_wait_type(h, "ready").is_null());
}

bool is(const json &ev, const char *type) { return ev["type"] == type; }

uint32_t pitch_of(uint32_t width) { return (width * 4 + 63) / 64 * 64; }

// One load played to its end: its generation, format events and frames.
struct played {
    long long generation = -1;
    std::vector<json> formats;
    std::vector<frame_info> frames;
};

played play_to_end(host *h, long long id, const char *clip) {
    played p;
    json ack = host_command(h, load_line(id, clip), id);
    if (ack["ok"] != true)
        return p;
    p.generation = ack["generation"];
    size_t from = h->next;
    if (host_wait_type(h, "end").is_null())
        return p;
    for (size_t i = from; i < h->next; i++)
        if (is(h->events[i], "format"))
            p.formats.push_back(h->events[i]);
    for (const frame_info &f : host_frames(h))
        if (f.generation == uint64_t(p.generation))
            p.frames.push_back(f);
    return p;
}

// Every format event of the load announces w x h, and every frame has that
// size, rows padded to 64 bytes, and the load's generation.
void expect_frames_follow_format(const played &p, uint32_t w, uint32_t h, const std::string &what) {
    ASSERT_FALSE(p.formats.empty()) << what << ": no format event";
    ASSERT_FALSE(p.frames.empty()) << what << ": no frame";
    for (const json &f : p.formats)
        EXPECT_TRUE(f["w"] == w && f["h"] == h) << what << ": " << f.dump();
    for (const frame_info &f : p.frames) {
        EXPECT_EQ(f.width, w) << what << " seq " << f.seq;
        EXPECT_EQ(f.height, h) << what << " seq " << f.seq;
        EXPECT_EQ(f.pitch, pitch_of(w)) << what << " seq " << f.seq;
    }
}

TEST(Frames, SizesFitTheMaximumAndFramesFollowTheirFormat) {
    const struct {
        const char *clip;
        std::vector<std::string> args;
        uint32_t w, h;
    } cases[] = {
        {"frames-red.mp4", {}, 320, 240},
        {"frames-3840x2160.mp4", {}, 1920, 1080},
        // Fits: odd sides are kept; each row carries 60 bytes beyond the pixels.
        {"frames-1281x721.mp4", {}, 1281, 721},
        {"frames-1280x720.mp4", {"--max-size=640x360"}, 640, 360},
        // Scaled sides are rounded to the nearest even number, past an odd maximum.
        {"frames-3838x2158.mp4", {"--max-size=1919x1079"}, 1920, 1080},
    };
    for (const auto &c : cases) {
        host h;
        start_ready(&h, {c.args});
        played p = play_to_end(&h, 1, c.clip);
        EXPECT_EQ(p.generation, 1) << c.clip;
        expect_frames_follow_format(p, c.w, c.h, c.clip);
        for (const json &f : p.formats)
            EXPECT_EQ(f["sar"], 1) << c.clip;
    }
}

TEST(Frames, PixelsAreBlueGreenRedAndAFourthByte) {
    const struct {
        const char *clip;
        int b, g, r;
    } cases[] = {
        {"frames-red.mp4", 0, 0, 255},
        {"frames-blue.mp4", 255, 0, 0},
    };
    for (const auto &c : cases) {
        host h;
        host_options opt;
        opt.keep_pixels = true;
        start_ready(&h, opt);
        played p = play_to_end(&h, 1, c.clip);
        expect_frames_follow_format(p, 320, 240, c.clip);
        std::lock_guard<std::mutex> hold(h.frames_lock);
        ASSERT_FALSE(h.frames.empty());
        const frame_info &f = h.frames.back();
        ASSERT_EQ(h.last_pixels.size(), size_t(f.pitch) * f.height);
        // The colour survives YUV coding only approximately; every pixel of
        // every row must be near it, wherever its row starts.
        int worst = 0;
        for (uint32_t y = 0; y < f.height; y++)
            for (uint32_t x = 0; x < f.width; x++) {
                const uint8_t *px = &h.last_pixels[size_t(y) * f.pitch + size_t(x) * 4];
                worst = std::max({worst, std::abs(px[0] - c.b), std::abs(px[1] - c.g), std::abs(px[2] - c.r)});
            }
        EXPECT_LE(worst, 12) << c.clip;
    }
}

TEST(Frames, NullFramesLeaveFd3AloneAndPlaybackWorks) {
    for (bool fd3_open : {true, false}) {
        host h;
        host_options opt;
        opt.args = {"--frames=null"};
        opt.frame_pipe = fd3_open;
        start_ready(&h, opt);
        played p = play_to_end(&h, 1, "frames-red.mp4");
        EXPECT_EQ(p.generation, 1);
        ASSERT_FALSE(p.formats.empty()) << "pictures are still decoded";
        EXPECT_EQ(host_command(&h, R"({"id":2,"cmd":"quit"})", 2)["ok"], true);
        EXPECT_EQ(host_wait_exit(&h), 0);
        std::lock_guard<std::mutex> hold(h.frames_lock);
        EXPECT_EQ(h.frame_bytes, 0) << "fd 3 open: " << fd3_open;
        EXPECT_TRUE(h.frames.empty());
    }
}

TEST(Frames, MissingFd3EndsStartUpWithUsage) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"--frames=fd:3"}, {"--frames=null", "--frames=fd:3"}}) {
        host h;
        host_options opt;
        opt.args = args;
        opt.frame_pipe = false;
        ASSERT_TRUE(host_start(&h, opt));
        EXPECT_EQ(host_wait_exit(&h), 2);
        EXPECT_EQ(host_stderr(&h),
                  std::string("vexolo-engine: fd 3 must be the frame pipe (or --frames=null)\n") + USAGE);
        EXPECT_TRUE(h.events.empty()) << "standard output stays empty";
    }
}

// Waits until n frames of generation g were read.
bool wait_frames_of(host *h, uint64_t g, size_t n) {
    long long deadline = host_now_ms() + 10000;
    for (;;) {
        std::vector<frame_info> all = host_frames(h);
        size_t count =
            size_t(std::count_if(all.begin(), all.end(), [&](const frame_info &f) { return f.generation == g; }));
        if (count >= n)
            return true;
        if (host_now_ms() > deadline) {
            ADD_FAILURE() << "only " << count << " frames of generation " << g;
            return false;
        }
        host_drain(h, 5);
    }
}

TEST(Frames, OnlyTheCurrentGenerationFollowsALoadsAck) {
    host h;
    start_ready(&h);
    struct round {
        uint64_t generation;
        long long ack_ms;
    };
    std::vector<round> rounds;
    for (long long id = 1; id <= 6; id++) {
        // Every other load comes while the host has stopped reading, so that
        // the engine's queue is full of older frames at the switch.
        bool stalled = id % 2 == 0;
        if (stalled) {
            host_pause_frames(&h, true);
            host_drain(&h, 150);
        }
        json ack = host_command(&h, load_line(id, id % 2 ? "frames-gen-a.mp4" : "frames-gen-b.mp4"), id);
        ASSERT_EQ(ack["ok"], true);
        rounds.push_back({ack["generation"].get<uint64_t>(), h.event_ms[h.next - 1]});
        host_pause_frames(&h, false);
        // The next load comes while this one's frames are flowing.
        ASSERT_TRUE(wait_frames_of(&h, rounds.back().generation, 10));
    }
    std::vector<frame_info> all = host_frames(&h);
    for (const round &r : rounds) {
        // A frame is 1.2 MB and the pipe holds 1 MiB, so any older frame whose
        // writing ended before the switch had been begun by the host before it
        // saw the ack; only the one being written may be begun after.
        int begun_after_ack = 0;
        bool current_seen = false;
        for (const frame_info &f : all) {
            if (f.generation < r.generation && f.begun_ms > r.ack_ms)
                begun_after_ack++;
            if (f.generation == r.generation) {
                current_seen = true;
            } else if (current_seen) {
                EXPECT_GT(f.generation, r.generation) << "generation " << f.generation << " after a frame of "
                                                      << r.generation;
            }
        }
        EXPECT_LE(begun_after_ack, 1) << "older frames begun after the ack of generation " << r.generation;
    }
}

TEST(Frames, SeqRunsOnByOneAcrossLoads) {
    host h;
    start_ready(&h);
    ASSERT_EQ(host_command(&h, load_line(1, "frames-red.mp4"), 1)["generation"], 1);
    ASSERT_TRUE(wait_frames_of(&h, 1, 5));
    played second = play_to_end(&h, 2, "frames-blue.mp4");
    ASSERT_EQ(second.generation, 2);
    ASSERT_FALSE(second.frames.empty());
    std::vector<frame_info> all = host_frames(&h);
    ASSERT_EQ(all.front().generation, 1u);
    ASSERT_EQ(all.back().generation, 2u);
    for (size_t i = 0; i < all.size(); i++) {
        EXPECT_EQ(all[i].seq, i) << "a host that reads everything sees every number once, from 0";
        if (i > 0) {
            EXPECT_GE(all[i].generation, all[i - 1].generation) << "seq " << all[i].seq;
        }
    }
}

TEST(Frames, StalledHostHoldsUpNeitherPlaybackNorCommands) {
    host h;
    start_ready(&h);
    ASSERT_EQ(host_command(&h, load_line(1, "clip.mp4"), 1)["generation"], 1);
    ASSERT_TRUE(wait_frames_of(&h, 1, 3));
    host_pause_frames(&h, true);
    size_t read_before = host_frames(&h).size();

    // The three-second clip plays to its end while nothing is read from fd 3;
    // meanwhile every command is answered at once.
    long long id = 1;
    std::vector<long long> ack_ms;
    // The end may come while an ack is awaited, which consumes it: look at
    // every event since the stall began.
    const size_t stall_began = h.events.size();
    bool ended = false;
    for (long long deadline = host_now_ms() + 6000 * host_slowdown(); !ended && host_now_ms() < deadline;) {
        id++;
        long long sent = host_now_ms();
        json ack = host_command(&h, R"({"id":)" + std::to_string(id) + R"(,"cmd":"volume","level":)" +
                                        std::to_string(50 + id % 2) + "}", id);
        EXPECT_EQ(ack["ok"], true);
        ack_ms.push_back(host_now_ms() - sent);
        host_drain(&h, 100);
        for (size_t i = stall_began; i < h.events.size() && !ended; i++)
            ended = is(h.events[i], "end");
    }
    ASSERT_TRUE(ended) << "playback stalled with the host";
    EXPECT_GE(id, 10) << "commands were sent throughout the stall";
    // A control loop held up by the display would answer only after the
    // stall; a loaded machine may delay a single answer now and then.
    std::sort(ack_ms.begin(), ack_ms.end());
    EXPECT_LT(ack_ms[ack_ms.size() / 2], 100);
    EXPECT_LT(ack_ms.back(), 500);
    EXPECT_LE(host_frames(&h).size(), read_before + 1) << "the reader really paused";

    // What waited for the host is bounded: three frames of 300 kB fill the
    // 1 MiB pipe, a fourth was being written, two more stood in the queue.
    long long resumed_ms = host_now_ms();
    host_pause_frames(&h, false);
    ASSERT_EQ(host_command(&h, load_line(100, "frames-red.mp4"), 100)["generation"], 2);
    ASSERT_TRUE(wait_frames_of(&h, 2, 1));
    std::vector<frame_info> all = host_frames(&h);
    int late = 0;
    for (size_t i = 0; i < all.size(); i++) {
        EXPECT_EQ(all[i].seq, i);
        late += all[i].generation == 1 && all[i].begun_ms >= resumed_ms;
    }
    EXPECT_GE(late, 1);
    EXPECT_LE(late, 6);
}

// The display aspect of a format event: width x sar / height.
double shape(const json &f) { return f["w"].get<double>() * f["sar"].get<double>() / f["h"].get<double>(); }

// A size is announced once, with its first picture, not for every format the
// library tries and drops. In MPEG-TS the library proposes the decoder's
// padded buffer (640x386 for 640x360) before the track list knows the
// visible size, and scales the picture into it: the size may be announced
// once more when the sar that gives the picture its true shape is known.
TEST(Frames, EachSizeIsAnnouncedOnceWithItsTrueShape) {
    const struct {
        const char *clip;
        size_t sizes;  // runs of one size in the clip
        bool exact;    // the size and shape are known from the start: one event
        bool numbered;
    } cases[] = {
        {"count.mp4", 1, true, true},          {"count-360.ts", 1, false, true},
        {"count-720.ts", 1, false, true},      {"count-1080.ts", 1, false, true},
        {"frames-sizes.ts", 5, false, false},
        // 720x576 pixels shown 16:9 wide: the pixels are sent as stored.
        {"frames-anamorphic.mp4", 1, true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.clip);
        host h;
        start_ready(&h);
        played p = play_to_end(&h, 1, c.clip);
        ASSERT_FALSE(p.frames.empty());
        std::vector<std::vector<json>> runs;  // consecutive format events of one size
        for (const json &f : p.formats) {
            if (runs.empty() || runs.back()[0]["w"] != f["w"] || runs.back()[0]["h"] != f["h"])
                runs.emplace_back();
            runs.back().push_back(f);
        }
        EXPECT_LE(runs.size(), c.sizes);
        for (const auto &run : runs) {
            EXPECT_LE(run.size(), c.exact ? 1u : 2u) << run.back().dump();
            EXPECT_NEAR(shape(run.back()), 16.0 / 9, 16.0 / 9 * 0.005) << run.back().dump();
        }
        int last = 0;
        for (const frame_info &f : p.frames) {
            EXPECT_TRUE(std::any_of(p.formats.begin(), p.formats.end(),
                                    [&](const json &ev) { return ev["w"] == f.width && ev["h"] == f.height; }))
                << "no format event announced " << f.width << "x" << f.height;
            if (c.numbered) {
                EXPECT_GE(f.number, last) << "seq " << f.seq;
                last = f.number;
            }
        }
    }
}

// Frame times against the numbers drawn in the pictures of a 25 fps clip:
// between the library's time reports (every 250 to 500 ms) they run on with
// the clock, a pause holds them, and they restart where a seek landed and
// at the resume. While paused the library redraws the still many times a
// second: it is sent once, and the still a seek shows then once, flagged.
TEST(Frames, FrameTimesFollowThePicturesAndAPausedStillIsSentOnce) {
    host h;
    start_ready(&h);
    ASSERT_EQ(host_command(&h, load_line(1, "count.mp4"), 1)["ok"], true);
    ASSERT_FALSE(host_wait_type(&h, "time").is_null());
    long long first_report_ms = h.event_ms[h.next - 1];
    ASSERT_FALSE(host_wait(&h, [](const json &ev) { return is(ev, "time") && ev["ms"] >= 1000; }).is_null());
    host_send(&h, R"({"id":2,"cmd":"pause"})");
    ASSERT_FALSE(host_wait_type(&h, "paused").is_null());  // the library may tell it before the ack
    host_drain(&h, 300);
    size_t before_still = host_frames(&h).size();
    host_drain(&h, 1000);
    EXPECT_LE(host_frames(&h).size(), before_still + 2) << "redraws of the still were sent";

    size_t before_seek = host_frames(&h).size();
    host_send(&h, R"({"id":3,"cmd":"seek","ms":4000})");
    ASSERT_FALSE(host_wait_type(&h, "seekLanded").is_null());
    ASSERT_TRUE(host_wait_frames(&h, before_seek + 1));
    host_drain(&h, 1000);
    std::vector<frame_info> still = host_frames(&h);
    ASSERT_EQ(still.size(), before_seek + 1) << "the new still, once";
    EXPECT_EQ(still.back().flags, FRAME_LANDED_FLAG);
    EXPECT_EQ(still.back().number, 100);

    host_send(&h, R"({"id":4,"cmd":"play"})");
    ASSERT_FALSE(host_wait_type(&h, "end").is_null());
    for (long long id : {2, 3, 4})
        EXPECT_TRUE(std::any_of(h.events.begin(), h.events.end(),
                                [&](const json &ev) { return is(ev, "ack") && ev["id"] == id && ev["ok"] == true; }));
    std::vector<double> error_ms;
    for (const frame_info &f : host_frames(&h))
        if (f.begun_ms > first_report_ms)
            error_ms.push_back(std::abs(double(f.pts_us) / 1000 - f.number * 40.0));
    ASSERT_GE(error_ms.size(), 60u);
    std::sort(error_ms.begin(), error_ms.end());
    EXPECT_LE(error_ms[error_ms.size() * 95 / 100], 50) << "median " << error_ms[error_ms.size() / 2] << " ms";
}

// The engine's resident memory in kB, from /proc.
long rss_kb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Whether a frame of the stream has the size of its segment, give or take the
// decoder's alignment padding: in MPEG-TS the track list lags behind every
// size, so the engine takes the padded size libvlc proposes (640x386 and
// 1280x738 here, the pictures stretched to fill it).
bool near_size(uint32_t w, uint32_t h, uint32_t want_w, uint32_t want_h) {
    return w >= want_w && w < want_w + 64 && h >= want_h && h < want_h + 64;
}

TEST(Frames, SizeChangesMidStreamAreFollowedWithFlatMemory) {
#if defined(__SANITIZE_ADDRESS__)
    // Freed memory would sit in the sanitizer's quarantine, out of sight of
    // the resident size; the engine inherits this.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0").c_str(), 1);
#endif
    host h;
    start_ready(&h);
    ASSERT_EQ(host_command(&h, load_line(1, "frames-sizes.ts"), 1)["generation"], 1);
    // Memory samples, each with the colour of the frame last read: red
    // segments are 640x360, blue ones 1280x720.
    struct sample {
        long kb;
        bool blue;
    };
    std::vector<sample> samples;
    bool ended = false;
    for (long long deadline = host_now_ms() + 10000 * host_slowdown(); !ended && host_now_ms() < deadline;) {
        host_drain(&h, 50);
        std::vector<frame_info> all = host_frames(&h);
        if (!all.empty())
            samples.push_back({rss_kb(h.pid), all.back().centre[0] > 128});
        for (size_t i = h.next; i < h.events.size(); i++)
            ended |= is(h.events[i], "end");
    }
    ASSERT_TRUE(ended);

    int red = 0, blue = 0;
    for (const frame_info &f : host_frames(&h)) {
        bool is_red = f.centre[2] > 200 && f.centre[0] < 60, is_blue = f.centre[0] > 200 && f.centre[2] < 60;
        ASSERT_TRUE(is_red || is_blue) << "seq " << f.seq;
        red += is_red;
        blue += is_blue;
        if (is_red)
            EXPECT_TRUE(near_size(f.width, f.height, 640, 360)) << f.width << "x" << f.height << " seq " << f.seq;
        else
            EXPECT_TRUE(near_size(f.width, f.height, 1280, 720)) << f.width << "x" << f.height << " seq " << f.seq;
        EXPECT_EQ(f.pitch, pitch_of(f.width));
    }
    EXPECT_GT(red, 0);
    EXPECT_GT(blue, 0);

    // Each red segment follows a blue one, whose pool of 1280x720 pictures
    // (some 4 MB each) a new format must let go. Compare the last two red
    // segments by their median, as libvlc's decoder set-up briefly takes tens
    // of megabytes at every switch.
    std::vector<std::vector<long>> red_runs;
    for (size_t i = 0; i < samples.size(); i++) {
        if (samples[i].blue)
            continue;
        if (i == 0 || samples[i - 1].blue)
            red_runs.emplace_back();
        red_runs.back().push_back(samples[i].kb);
    }
    ASSERT_GE(red_runs.size(), 2u) << "red segments sampled";
    auto median = [](std::vector<long> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    long earlier = median(red_runs[red_runs.size() - 2]), last = median(red_runs.back());
    EXPECT_LT(last - earlier, 16 * 1024) << "from " << earlier << " kB to " << last << " kB";
}

}  // namespace
