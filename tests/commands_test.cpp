// The command handlers end to end: load validation and generations, stop,
// play and pause, the sound settings and tracks, on real clips.
#include "host.h"

#include <gtest/gtest.h>

namespace {

std::string load_line(long long id, const std::string &url, const std::string &extra = "") {
    return R"({"id":)" + std::to_string(id) + R"(,"cmd":"load","url":")" + url +
           R"(","live":false)" + extra + "}";
}

void start_ready(host *h, const host_options &opt = {}) {
    ASSERT_TRUE(host_start(h, opt));
    ASSERT_FALSE(host_wait_type(h, "ready").is_null());
}

// Loads a clip and returns the generation its ack carries (-1 on refusal).
long long load(host *h, long long id, const char *clip, const std::string &extra = "") {
    json ack = host_command(h, load_line(id, media_url(clip), extra), id);
    if (ack["ok"] != true)
        return -1;
    return ack["generation"].get<long long>();
}

bool is(const json &ev, const char *type) { return ev["type"] == type; }

// Sends a command and returns its ack once an event of `type` followed the
// command. The library reports a pause or play from inside the call that
// asks for it, so that event may come before the ack as well as after.
json command_then(host *h, const std::string &line, long long id, const char *type) {
    size_t from = h->events.size();
    json ack = host_command(h, line, id);
    for (size_t i = from; i < h->events.size(); i++)
        if (is(h->events[i], type))
            return ack;
    host_wait_type(h, type);
    return ack;
}

TEST(Load, RefusalsChangeNothingAndUseNoGeneration) {
    host h;
    start_ready(&h);
    EXPECT_EQ(load(&h, 1, "clip.mp4"), 1);
    host_wait_type(&h, "playing");
    const std::string url = media_url("clip.mp4");
    const std::string refused[] = {
        R"({"id":2,"cmd":"load","url":")" + url + R"("})",
        R"({"id":2,"cmd":"load","url":"","live":false})",
        R"({"id":2,"cmd":"load","url":5,"live":false})",
        R"({"id":2,"cmd":"load","live":false})",
        R"({"id":2,"cmd":"load","url":")" + url + R"(","live":"false"})",
        load_line(2, url, R"(,"startPos":1.5)"),
        load_line(2, url, R"(,"startPos":-0.1)"),
        load_line(2, url, R"(,"startMs":-1)"),
        load_line(2, url, R"(,"startMs":"5")"),
        load_line(2, url, R"(,"paused":1)"),
        load_line(2, url, R"(,"paused":null)"),
        load_line(2, url, R"(,"audio":1.5)"),
        load_line(2, url, R"(,"audio":"1")"),
        load_line(2, url, R"(,"spu":2147483648)"),
        load_line(2, url, R"(,"spu":-2147483648)"),
    };
    for (const auto &line : refused) {
        host_send(&h, line);
        json ack = host_wait(&h, [](const json &ev) { return is(ev, "ack"); });
        EXPECT_EQ(ack, (json{{"type", "ack"}, {"id", 2}, {"ok", false}})) << line;
    }
    // The first load plays on: its time keeps moving.
    host_wait_type(&h, "time");
    EXPECT_EQ(load(&h, 3, "clip.mp4", R"(,"startPos":1,"startMs":0,"paused":false,"audio":-5,"spu":-1)"), 2);
    EXPECT_EQ(load(&h, 4, "clip.mp4"), 3);
}

TEST(Load, TheAckComesBeforeEveryEventOfItsGeneration) {
    host h;
    start_ready(&h);
    for (int id = 1; id <= 3; id++) {
        host_send(&h, load_line(id, media_url("clip.mp4")));
        // Opening is the first event of a player; the old one may still
        // report until the ack moves the gate.
        json first = host_wait(&h, [](const json &ev) { return is(ev, "ack") || is(ev, "opening"); });
        EXPECT_EQ(first["type"], "ack");
        EXPECT_EQ(first["generation"], id);
        host_wait_type(&h, "opening");
    }
}

// Lines written at once. A load that the next line certainly retires (a
// valid load, stop or quit) still uses its generation but is never heard
// of again: no event, no frame. Any other next line leaves it playing.
TEST(Load, ALoadRetiredByTheNextQueuedLineIsNeverHeardOf) {
    host h;
    start_ready(&h);
    const std::string red = media_url("frames-red.mp4"), blue = media_url("frames-blue.mp4");
    const struct {
        std::vector<std::string> lines;
        std::vector<long long> generations;  // per ack: the load's generation, 0 for true, -1 for false
        long long plays;                     // the generation that plays, 0 for none
    } batches[] = {
        {{load_line(1, red), load_line(2, red), R"({"id":3,"cmd":"stop"})", R"({"id":4,"cmd":"stop"})",
          load_line(5, blue)},
         {1, 2, 0, 0, 4}, 4},
        {{load_line(6, red), R"({"id":7,"cmd":"load","url":"x"})"}, {5, -1}, 5},
        {{load_line(8, blue), R"({"id":9,"cmd":"nosuch"})"}, {6, -1}, 6},
        {{load_line(10, red), R"({"id":11,"cmd":"quit"})"}, {7, 0}, 0},
    };
    long long id = 1;
    for (const auto &b : batches) {
        std::string text;
        for (const auto &l : b.lines)
            text += l + "\n";
        host_send(&h, text);
        for (long long want : b.generations) {
            json ack = host_ack(&h, id++);
            EXPECT_EQ(ack["ok"], want >= 0) << ack;
            if (want > 0) {
                EXPECT_EQ(ack["generation"], want) << ack;
            }
        }
        if (b.plays) {
            host_wait(&h, [](const json &ev) { return is(ev, "end"); });
            ASSERT_FALSE(host_frames(&h).empty());
            EXPECT_EQ(host_frames(&h).back().generation, uint64_t(b.plays));
        }
    }
    EXPECT_EQ(host_wait_exit(&h), 0);
    // Between the acks of the two stops and of the load after them.
    std::vector<int> stopped(2, 0);
    int stage = -1;
    for (const json &ev : h.events) {
        if (is(ev, "ack") && ev["id"] >= 3 && ev["id"] <= 5)
            stage = int(ev["id"].get<long long>()) - 3;
        else if (is(ev, "stopped") && stage >= 0 && stage < 2)
            stopped[size_t(stage)]++;
    }
    EXPECT_EQ(stopped, (std::vector<int>{1, 0})) << "the first stop tells it, the second has nothing to stop";
    for (const frame_info &f : host_frames(&h))
        EXPECT_TRUE(f.generation >= 4 && f.generation <= 6) << "a frame of generation " << f.generation;
}

TEST(Load, AClipPlaysToItsEnd) {
    host h;
    start_ready(&h);
    ASSERT_EQ(load(&h, 1, "clip.mp4"), 1);
    json length = host_wait_type(&h, "length");
    EXPECT_NEAR(length["ms"].get<double>(), 3000, 100);
    host_wait_type(&h, "playing");
    host_wait_type(&h, "end");
    long long last_time = -1000;
    int times = 0;
    for (size_t i = 0; i < h.next; i++)
        if (is(h.events[i], "time")) {
            EXPECT_GE(h.events[i]["ms"].get<long long>(), last_time + 250) << "time events are throttled";
            last_time = h.events[i]["ms"];
            times++;
        }
    // The library reports the end once the input is drained, which may be
    // a second of output buffering before the last sample is heard.
    EXPECT_GE(times, 3);
    EXPECT_GE(last_time, 1000);
}

TEST(Load, StartMsStartsLaterInTheClip) {
    host h;
    start_ready(&h);
    ASSERT_EQ(load(&h, 1, "clip.mp4", R"(,"startMs":2000)"), 1);
    json t = host_wait_type(&h, "time");
    EXPECT_GE(t["ms"].get<long long>(), 1800);
}

TEST(Load, StartPausedPausesAndPlayResumes) {
    host h;
    start_ready(&h);
    ASSERT_EQ(load(&h, 1, "clip.mp4", R"(,"paused":true)"), 1);
    host_wait_type(&h, "paused");
    EXPECT_EQ(command_then(&h, R"({"id":2,"cmd":"play"})", 2, "playing")["ok"], true);
    host_wait_type(&h, "end");
}

TEST(Load, AudioOnlyClipPlaysToItsEnd) {
    host h;
    start_ready(&h);
    ASSERT_EQ(load(&h, 1, "tone.m4a"), 1);
    host_wait_type(&h, "playing");
    host_wait_type(&h, "end");
}

TEST(Load, PlaysOnAMachineWithoutSoundOutput) {
    host h;
    host_options opt;
    opt.null_audio = false;
    start_ready(&h, opt);
    ASSERT_EQ(load(&h, 1, "clip.mp4"), 1);
    host_wait_type(&h, "playing");
    host_wait_type(&h, "end");
}

TEST(Stop, BeforeAnyLoadAcksAndMakesNoPlayer) {
    host h;
    start_ready(&h);
    EXPECT_EQ(host_command(&h, R"({"id":1,"cmd":"stop"})", 1)["ok"], true);
    EXPECT_EQ(host_command(&h, R"({"id":2,"cmd":"stop"})", 2)["ok"], true);
    EXPECT_EQ(load(&h, 3, "clip.mp4"), 1) << "no generation was used";
    for (size_t i = 0; i < h.next; i++)
        EXPECT_FALSE(is(h.events[i], "stopped"));
}

TEST(Stop, WhilePlayingAcksThenTellsStoppedAndUsesAGeneration) {
    host h;
    start_ready(&h);
    ASSERT_EQ(load(&h, 1, "clip.mp4"), 1);
    host_wait_type(&h, "playing");
    EXPECT_EQ(host_command(&h, R"({"id":2,"cmd":"stop"})", 2)["ok"], true);
    json next = host_wait(&h, [](const json &) { return true; });
    EXPECT_EQ(next, (json{{"type", "stopped"}}));
    // Nothing of the retired player follows; the next stop has no media to stop.
    EXPECT_EQ(host_command(&h, R"({"id":3,"cmd":"stop"})", 3)["ok"], true);
    host_drain(&h, 300);
    EXPECT_EQ(h.events.size(), h.next) << h.events.back();
    EXPECT_EQ(load(&h, 4, "clip.mp4"), 3);
}

TEST(Stop, AfterTheEndTellsStoppedExactlyOnce) {
    host h;
    start_ready(&h);
    ASSERT_EQ(load(&h, 1, "clip.mp4"), 1);
    host_wait_type(&h, "end");
    size_t end_at = h.next;
    EXPECT_EQ(host_command(&h, R"({"id":2,"cmd":"stop"})", 2)["ok"], true);
    host_drain(&h, 300);
    int stopped = 0;
    for (size_t i = end_at; i < h.events.size(); i++)
        stopped += is(h.events[i], "stopped");
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(load(&h, 3, "clip.mp4"), 3);
}

TEST(Playback, PauseAndPlayAnswerOnlyWithMedia) {
    host h;
    start_ready(&h);
    for (const char *cmd : {"play", "pause"})
        EXPECT_EQ(host_command(&h, std::string(R"({"id":1,"cmd":")") + cmd + "\"}", 1)["ok"], false);
    ASSERT_EQ(load(&h, 2, "clip.mp4"), 1);
    host_wait_type(&h, "playing");
    EXPECT_EQ(command_then(&h, R"({"id":3,"cmd":"pause"})", 3, "paused")["ok"], true);
    EXPECT_EQ(command_then(&h, R"({"id":4,"cmd":"play"})", 4, "playing")["ok"], true);
    host_command(&h, R"({"id":5,"cmd":"stop"})", 5);
    EXPECT_EQ(host_command(&h, R"({"id":6,"cmd":"pause"})", 6)["ok"], false);
}

TEST(Settings, SoundCommandsValidateTheirFields) {
    host h;
    start_ready(&h);
    const struct {
        const char *fields;
        bool ok;
    } cases[] = {
        {R"("cmd":"volume","level":0)", true},
        {R"("cmd":"volume","level":100)", true},
        {R"("cmd":"volume","level":50.0)", true},
        {R"("cmd":"volume","level":101)", false},
        {R"("cmd":"volume","level":-1)", false},
        {R"("cmd":"volume","level":50.5)", false},
        {R"("cmd":"volume","level":"50")", false},
        {R"("cmd":"volume")", false},
        {R"("cmd":"mute","value":true)", true},
        {R"("cmd":"mute","value":false)", true},
        {R"("cmd":"mute","value":1)", false},
        {R"("cmd":"mute")", false},
        {R"("cmd":"audioDelay","ms":-200)", true},
        {R"("cmd":"audioDelay","ms":0)", true},
        {R"("cmd":"audioDelay","ms":2147483647)", true},
        {R"("cmd":"audioDelay","ms":1.5)", false},
        {R"("cmd":"audioDelay","ms":null)", false},
        {R"("cmd":"audioDelay")", false},
        // tracks need media
        {R"("cmd":"audio","track":1)", false},
        {R"("cmd":"spu","track":-1)", false},
        {R"("cmd":"audio")", false},
    };
    for (const auto &c : cases) {
        json ack = host_command(&h, std::string(R"({"id":9,)") + c.fields + "}", 9);
        EXPECT_EQ(ack["ok"], c.ok) << c.fields;
    }
    // The settings outlive players: a load after them still plays.
    ASSERT_EQ(load(&h, 10, "clip.mp4"), 1);
    host_wait_type(&h, "playing");
    EXPECT_EQ(host_command(&h, R"({"id":11,"cmd":"audioDelay","ms":50})", 11)["ok"], true);
    EXPECT_EQ(host_command(&h, R"({"id":12,"cmd":"audio","track":"1"})", 12)["ok"], false);
}

}  // namespace

namespace {

// Stopping the playing media at shutdown makes the library report Stopped;
// the host must still see nothing after the quit ack, or after the last
// line before its end of input.
TEST(Shutdown, NothingFollowsQuitOrEndOfInputWhilePlaying) {
    for (bool by_quit : {true, false}) {
        host h;
        start_ready(&h);
        ASSERT_EQ(load(&h, 1, "clip.mp4"), 1);
        host_wait_type(&h, "time");
        size_t last;
        if (by_quit) {
            host_send(&h, R"({"id":2,"cmd":"quit"})");
            host_ack(&h, 2);
            last = h.next;
        } else {
            host_command(&h, R"({"id":2,"cmd":"nosuch"})", 2);
            host_close_input(&h);
            last = 0;
        }
        EXPECT_EQ(host_wait_exit(&h), 0);
        if (by_quit)
            EXPECT_EQ(h.events.size(), last) << h.events.back();
        else
            for (size_t i = h.next; i < h.events.size(); i++)
                EXPECT_NE(h.events[i]["type"], "stopped") << "no line reports the shutdown";
    }
}

}  // namespace
