// The protocol end to end: start-up, line framing, the commands and the
// generations they make, the ways the engine ends, and careless hosts.
#include "host.h"

#include <gtest/gtest.h>
#include <vlc/vlc.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <random>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

json ack(long long id, bool ok) { return json{{"type", "ack"}, {"id", id}, {"ok", ok}}; }
json log_line(const std::string &message) { return json{{"type", "log"}, {"message", message}}; }
bool is(const json &ev, const char *type) { return ev["type"] == type; }

// The sanitizers' allocators keep freed memory for themselves: only the
// plain build can judge resident size.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool resident_size_tells = false;
#else
const bool resident_size_tells = true;
#endif

TEST(Startup, TheCommandLineAndTheFramePipeDecideHowItStarts) {
    const std::string fd3 = "vexolo-engine: fd 3 must be the frame pipe (or --frames=null)\n";
    auto read_only = [] { dup2(open("/dev/null", O_RDONLY), 3); };
    auto closed = [] { close(3); };
    auto read_end = [] {
        int p[2];
        if (pipe(p) == 0)
            dup2(p[0], 3);
    };
    const struct {
        std::vector<std::string> args;
        std::function<void()> fd3;  // null: the host's pipe
        int status;
        std::string err;  // standard error before the usage line
    } cases[] = {
        {{"--bogus"}, nullptr, 2, "vexolo-engine: --bogus\n"},
        {{"positional"}, nullptr, 2, "vexolo-engine: positional\n"},
        {{"--frames=fd:4"}, nullptr, 2, "vexolo-engine: --frames=fd:4\n"},
        {{"--max-size"}, nullptr, 2, "vexolo-engine: --max-size\n"},
        {{"--max-size=1x720"}, nullptr, 2, "vexolo-engine: bad --max-size\n"},
        {{"--max-size=1280x1"}, nullptr, 2, "vexolo-engine: bad --max-size\n"},
        {{"--max-size=1280"}, nullptr, 2, "vexolo-engine: bad --max-size\n"},
        {{"--max-size=0x0"}, nullptr, 2, "vexolo-engine: bad --max-size\n"},
        {{"--max-size=640x480", "--bogus"}, nullptr, 2, "vexolo-engine: --bogus\n"},
        {{}, closed, 2, fd3},
        {{}, read_end, 2, fd3},
        {{"--frames=null", "--frames=fd:3"}, read_only, 2, fd3},
        {{"--frames=fd:3", "--frames=null"}, read_only, 0, ""},
        {{"--max-size=1280x720 and more", "--loglevel=abc"}, nullptr, 0, ""},
        {{"--max-size=2x2", "--loglevel=-7", "--loglevel=99999999999"}, nullptr, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        host h;
        ASSERT_TRUE(host_start(&h, {c.args, !c.fd3, c.fd3}, false));
        if (c.status == 0) {
            EXPECT_EQ(host_wait_type(&h, "ready"), (json{{"type", "ready"}, {"version", libvlc_get_version()}}));
            EXPECT_EQ(h.next, 1u) << "the ready line comes first";
            EXPECT_EQ(host_command(&h, cmd(1, "quit"), 1), ack(1, true));
        }
        EXPECT_EQ(host_wait_exit(&h), c.status);
        EXPECT_EQ(host_stderr(&h), c.status ? c.err + USAGE : "");
        EXPECT_EQ(h.events.empty(), c.status != 0);
    }
}

TEST(Lines, EveryLineIsAnsweredInOrderAndQuitEndsThem) {
    host h;
    ASSERT_TRUE(host_start(&h, {}, false));
    // Before the ready line: answered after it, in order; empty lines say nothing.
    host_send(&h, "\n\n" + cmd(1, "nosuch") + "\n" + cmd(2, "Quit") + "\n" + cmd(3, "LOAD") + "\n" + cmd(4, "") +
                      "\n" + cmd(5, "quit "));
    host_ack(&h, 5);
    ASSERT_EQ(h.events.size(), 6u);
    for (int id = 1; id <= 5; id++)
        EXPECT_EQ(h.events[size_t(id)], ack(id, false));
    [[maybe_unused]] const long idle_kb = host_sample(h.pid).rss_kb;

    auto same = [](const std::string &line) { return std::make_pair(line, log_line("not a command: " + line)); };
    const std::string big = R"({"id":5,"cmd":"nosuch","pad":")", fffd = "\xEF\xBF\xBD";
    const size_t bound = 1 << 20;
    std::string snowmen = std::string(290, 'a');
    for (int i = 0; i < 10; i++)
        snowmen += "\xe2\x98\x83";
    const std::pair<std::string, json> cases[] = {
        same(R"({"id":1.5,"cmd":"stop"})"), same(R"({"id":"1","cmd":"stop"})"), same(R"({"id":1,"cmd":5})"),
        same(R"({"cmd":"stop"})"), same("{}"), same("\r"), same("stop"), same(R"({"id":1,"cmd":"stop"} x)"),
        same(R"({"id":1,"cmd":"stop",})"), same("{\"id\":1,\"cmd\":\"st\\u00\"}"), same("\x01\x1f\t\"\\"),
        same("snow \xe2\x98\x83"),
        // a NUL byte makes the line no command and shows in the echo
        same(std::string("{\"id\":4,\"cmd\":\"volume\",\"level\":10}\0junk", 40)), same(std::string(1, '\0')),
        // bytes that are not UTF-8 come back as U+FFFD; the cut never splits a character
        {"caf\xe9 \xff\xfe \xed\xa0\x80", log_line("not a command: caf" + fffd + " " + fffd + fffd + " " + fffd + fffd + fffd)},
        {"\xc3", log_line("not a command: " + fffd)},
        {snowmen, log_line("not a command: " + std::string(290, 'a') + "\xe2\x98\x83")},
        {std::string(1000, '"'), log_line("not a command: " + std::string(146, '"'))},
        // ids are signed 64-bit, clamped beyond
        {cmd(0, "x").replace(6, 1, "-9223372036854775808"), ack(INT64_MIN, false)},
        {cmd(0, "x").replace(6, 1, "1e19"), ack(INT64_MAX, false)},
        {cmd(0, "x").replace(6, 1, "-1e19"), ack(INT64_MIN, false)},
        {cmd(0, "x").replace(6, 1, "9007199254740993"), ack(9007199254740992, false)},
        {cmd(0, "x").replace(6, 1, "0x10"), ack(16, false)},
        {cmd(0, "x").replace(6, 1, "1e3"), ack(1000, false)},
        // lines are whole up to 1 MiB, and cut short beyond without being held
        {big + std::string(bound - big.size() - 2, 'x') + "\"}", ack(5, false)},
        {std::string(bound, 'x'), log_line("not a command: " + std::string(292, 'x'))},
        {big + std::string(bound, 'x') + "\"}", log_line("line longer than 1048576 bytes: " + big + std::string(253, 'x'))},
        {std::string(64 * bound, '\0'), log_line("line longer than 1048576 bytes: " + std::string(49, '\0'))},
    };
    for (const auto &[line, answer] : cases) {
        host_send(&h, line);
        EXPECT_EQ(host_wait(&h, [](const json &ev) { return is(ev, "ack") || is(ev, "log"); }), answer)
            << testing::PrintToString(line.substr(0, 60));
    }
    EXPECT_TRUE(!resident_size_tells || host_sample(h.pid).rss_kb - idle_kb < 16 * 1024) << "long lines left memory";
    // Lines behind quit in the same write are never handled.
    host_send(&h, cmd(-3, "quit") + "\n" + cmd(4, "nosuch") + "\nnot json");
    EXPECT_EQ(host_wait_exit(&h), 0);
    EXPECT_EQ(h.events.back(), ack(-3, true));
    EXPECT_EQ(h.events.size(), h.next + 1);
}

// A load's ack comes before every event of its generation; the old player
// may still report until the ack moves the gate.
long long load(host *h, long long id, const char *clip, const std::string &extra = "") {
    host_send(h, load_line(id, media_url(clip), extra));
    json first = host_wait(h, [](const json &ev) { return is(ev, "ack") || is(ev, "opening"); });
    EXPECT_EQ(first["type"], "ack");
    return first["ok"] == true ? first["generation"].get<long long>() : -1;
}

TEST(Commands, APlayerLivesThroughItsCommandsAndEachPlayerHasItsGeneration) {
    host h;
    ASSERT_TRUE(host_start(&h));
    const std::string url = media_url("clip.mp4");
    // Without media: stop makes no player, the rest is refused; sound
    // settings are checked and kept for the players to come.
    const struct {
        std::string fields;
        bool ok;
    } bare[] = {
        {R"("cmd":"stop")", true}, {R"("cmd":"stop")", true}, {R"("cmd":"play")", false},
        {R"("cmd":"pause")", false}, {R"("cmd":"seek","ms":1000)", false}, {R"("cmd":"seek","pos":0.5)", false},
        {R"("cmd":"audio","track":1)", false}, {R"("cmd":"spu","track":-1)", false}, {R"("cmd":"audio")", false},
        {R"("cmd":"volume","level":0)", true}, {R"("cmd":"volume","level":100)", true},
        {R"("cmd":"volume","level":50.0)", true}, {R"("cmd":"volume","level":101)", false},
        {R"("cmd":"volume","level":-1)", false}, {R"("cmd":"volume","level":50.5)", false},
        {R"("cmd":"volume","level":"50")", false}, {R"("cmd":"volume")", false},
        {R"("cmd":"mute","value":true)", true}, {R"("cmd":"mute","value":false)", true},
        {R"("cmd":"mute","value":1)", false}, {R"("cmd":"mute")", false},
        {R"("cmd":"audioDelay","ms":-200)", true}, {R"("cmd":"audioDelay","ms":2147483647)", true},
        {R"("cmd":"audioDelay","ms":1.5)", false}, {R"("cmd":"audioDelay","ms":null)", false},
        {R"("cmd":"audioDelay")", false}, {R"("cmd":"audioDelay","ms":0)", true},  // or the sound never ends
    };
    for (const auto &c : bare)
        EXPECT_EQ(host_command(&h, R"({"id":9,)" + c.fields + "}", 9), ack(9, c.ok)) << c.fields;

    // Paused from a later start, played to its end.
    ASSERT_EQ(load(&h, 10, "clip.mp4", R"(,"paused":true,"startMs":1500)"), 1) << "the stops made no generation";
    size_t loaded = h.next;
    host_wait_type(&h, "paused");
    size_t from = h.events.size();  // told from within the call: maybe before the ack
    EXPECT_EQ(host_command(&h, cmd(11, "play"), 11), ack(11, true));
    host_seen(&h, "playing", from);
    host_wait_type(&h, "end");
    EXPECT_NEAR(host_seen(&h, "length", loaded)["ms"].get<double>(), 3000, 100);
    std::vector<json> times = host_all(&h, "time", loaded);
    ASSERT_GE(times.size(), 2u);
    EXPECT_GE(times[0]["ms"], 1300) << "started at startMs";
    for (size_t i = 1; i < times.size(); i++)
        EXPECT_GE(times[i]["ms"].get<long long>(), times[i - 1]["ms"].get<long long>() + 250) << "time is throttled";
    // After the end a stop tells stopped once; a stop while playing acks, then
    // tells it, and nothing of the player follows; a stop of nothing says nothing.
    size_t ended = h.next;
    EXPECT_EQ(host_command(&h, cmd(12, "stop"), 12), ack(12, true));
    EXPECT_EQ(load(&h, 13, "clip.mp4"), 3);
    EXPECT_EQ(host_count(&h, "stopped", ended), 1u);
    host_wait_type(&h, "playing");
    EXPECT_EQ(host_command(&h, cmd(14, "stop"), 14), ack(14, true));
    EXPECT_EQ(host_wait(&h, [](const json &) { return true; }), (json{{"type", "stopped"}}));
    EXPECT_EQ(host_command(&h, cmd(15, "stop"), 15), ack(15, true));
    EXPECT_EQ(host_command(&h, cmd(16, "pause"), 16), ack(16, false));
    host_drain(&h, 300);
    EXPECT_EQ(h.events.size(), h.next) << h.events.back();

    // Paused and played; refused loads change nothing and use no generation.
    ASSERT_EQ(load(&h, 20, "clip.mp4"), 5);
    host_wait_type(&h, "playing");
    for (const char *c : {"pause", "play"}) {
        from = h.events.size();
        EXPECT_EQ(host_command(&h, cmd(20, c), 20), ack(20, true)) << c;
        host_seen(&h, c[1] == 'l' ? "playing" : "paused", from);
    }
    const std::string refused[] = {
        cmd(2, "load", R"(,"url":")" + url + "\""), cmd(2, "load", R"(,"url":"","live":false)"),
        cmd(2, "load", R"(,"url":5,"live":false)"), cmd(2, "load", R"(,"live":false)"),
        cmd(2, "load", R"(,"url":")" + url + R"(","live":"false")"), load_line(2, url, R"(,"startPos":1.5)"),
        load_line(2, url, R"(,"startPos":-0.1)"), load_line(2, url, R"(,"startMs":-1)"),
        load_line(2, url, R"(,"startMs":"5")"), load_line(2, url, R"(,"paused":1)"),
        load_line(2, url, R"(,"paused":null)"), load_line(2, url, R"(,"audio":1.5)"),
        load_line(2, url, R"(,"audio":"1")"), load_line(2, url, R"(,"spu":2147483648)"),
        load_line(2, url, R"(,"spu":-2147483648)"),
    };
    for (const auto &line : refused)
        EXPECT_EQ(host_command(&h, line, 2), ack(2, false)) << line;
    host_wait_type(&h, "time");
    EXPECT_EQ(host_command(&h, cmd(21, "audioDelay", R"(,"ms":50)"), 21), ack(21, true));
    EXPECT_EQ(host_command(&h, cmd(22, "audio", R"(,"track":"1")"), 22), ack(22, false));
    EXPECT_EQ(load(&h, 23, "clip.mp4", R"(,"startPos":1,"startMs":0,"paused":false,"audio":-5,"spu":-1)"), 6);
}

// Lines written at once. A load that the next line certainly retires (a
// valid load, stop or quit) still uses its generation but is never heard
// of again: no event, no frame. Any other next line leaves it playing.
TEST(Commands, ALoadRetiredByTheNextQueuedLineIsNeverHeardOf) {
    host h;
    ASSERT_TRUE(host_start(&h));
    const std::string red = media_url("frames-red.mp4"), blue = media_url("frames-blue.mp4");
    const struct {
        std::vector<std::string> lines;
        std::vector<long long> acks;  // the load's generation, 0 for true, -1 for false
        uint64_t plays;               // the generation that plays, 0 for none
    } batches[] = {
        {{load_line(1, red), load_line(2, red), cmd(3, "stop"), cmd(4, "stop"), load_line(5, blue)}, {1, 2, 0, 0, 4}, 4},
        {{load_line(6, red), cmd(7, "load", R"(,"url":"x")")}, {5, -1}, 5},
        {{load_line(8, blue), cmd(9, "nosuch")}, {6, -1}, 6},
        {{load_line(10, red), cmd(11, "quit")}, {7, 0}, 0},
    };
    long long id = 1;
    for (const auto &b : batches) {
        std::string text;
        for (const auto &l : b.lines)
            text += l + "\n";
        host_send(&h, text);
        for (long long want : b.acks) {
            json a = host_ack(&h, id++);
            EXPECT_EQ(a["ok"], want >= 0) << a;
            EXPECT_TRUE(want <= 0 || a["generation"] == want) << a;
        }
        if (b.plays) {
            host_wait_type(&h, "end");
            ASSERT_FALSE(host_frames(&h).empty());
            EXPECT_EQ(host_frames(&h).back().generation, b.plays);
        }
    }
    EXPECT_EQ(host_wait_exit(&h), 0);
    // Between the acks of the two stops and of the load after them: the first
    // stop tells stopped, the second has nothing to stop.
    std::vector<int> stopped(2, 0);
    int stage = -1;
    for (const json &ev : h.events)
        if (is(ev, "ack") && ev["id"] >= 3 && ev["id"] <= 5)
            stage = ev["id"].get<int>() - 3;
        else if (is(ev, "stopped") && stage >= 0 && stage < 2)
            stopped[size_t(stage)]++;
    EXPECT_EQ(stopped, (std::vector<int>{1, 0}));
    for (const frame_info &f : host_frames(&h))
        EXPECT_TRUE(f.generation >= 4 && f.generation <= 6) << "a frame of generation " << f.generation;
}

// Some thousands of commands in one write, each answered.
std::string flood(int n) {
    std::string text;
    for (int id = 1000; id < 1000 + n; id++)
        text += cmd(id, "nosuch") + "\n";
    return text;
}

TEST(Shutdown, QuitAndEndOfInputEndTheEngineWhoeverReads) {
    const struct {
        const char *name;
        bool playing, quit, reading;
        int flood;
    } cases[] = {
        {"end of input, nothing sent", false, false, true, 0},
        {"end of input inside a line", false, false, true, 1},
        {"quit while playing", true, true, true, 1000},
        {"end of input while playing", true, false, true, 1},
        {"quit, output unread", false, true, false, 5000},
        {"end of input while playing, output unread", true, false, false, 5000},
        {"quit while playing, output unread", true, true, false, 5000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        host h;
        ASSERT_TRUE(host_start(&h));
        if (c.playing) {
            host_command(&h, load_line(1, media_url("video-only.mp4")), 1);
            host_wait_type(&h, "time");
        }
        // The last line ends without its LF.
        std::string text = flood(c.flood) + (c.quit ? cmd(9, "quit") : "");
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        ASSERT_EQ(write(h.in_fd, text.data(), text.size()), ssize_t(text.size()));
        host_close_input(&h);
        size_t acked = h.next;
        long long sent = host_now_ms();
        if (c.reading) {
            EXPECT_EQ(host_wait_exit(&h), 0);
            EXPECT_EQ(host_count(&h, "ack", acked), size_t(c.flood + c.quit));
            EXPECT_TRUE(!c.quit || h.events.back() == ack(9, true)) << "nothing follows the quit ack";
            EXPECT_EQ(host_count(&h, "stopped", acked), 0u) << "no line reports the shutdown";
            continue;
        }
        EXPECT_EQ(host_wait_exit_unread(&h, 5000), 0);
        EXPECT_LE(host_now_ms() - sent, 1500 + 1000 * host_slowdown());
        host_drain(&h, 1000);  // every line that made it out is whole
    }
}

TEST(Shutdown, TerminationSignalsStopThePlayerAndEnd) {
    const struct {
        int sig;
        bool blocked, ignored;  // as the host's process manager left them
    } cases[] = {
        {SIGTERM, false, false}, {SIGTERM, true, true}, {SIGINT, false, false},
        {SIGHUP, true, false},   {SIGHUP, false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << strsignal(c.sig) << c.blocked << c.ignored);
        host h;
        ASSERT_TRUE(host_start(&h, {{}, true, [&c] {
                                        if (c.ignored)
                                            signal(c.sig, SIG_IGN);
                                        sigset_t set;
                                        sigemptyset(&set);
                                        sigaddset(&set, c.sig);
                                        sigprocmask(c.blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
                                    }}));
        host_command(&h, load_line(1, media_url("video-only.mp4")), 1);
        host_wait_type(&h, "playing");
        long long sent = host_now_ms();
        kill(h.pid, c.sig);
        EXPECT_EQ(host_wait_exit(&h, 5000), 128 + c.sig);
        EXPECT_LE(host_now_ms() - sent, 1500 + 1000 * host_slowdown());
    }
}

// Descriptors as a careless host leaves them, each with a session that the
// old faults broke.
TEST(Faults, OddDescriptorsAreMadeSafe) {
    const struct {
        const char *name;
        std::function<void()> before_exec;
        std::function<void(host *)> session;
    } cases[] = {
        {"standard input closed", [] { close(0); },
         [](host *h) { EXPECT_EQ(h->events.size(), 1u); }},
        {"standard input non-blocking", [] { fcntl(0, F_SETFL, O_NONBLOCK); },
         [](host *h) { EXPECT_EQ(host_command(h, cmd(1, "nosuch"), 1), ack(1, false)); }},
        {"standard output non-blocking", [] { fcntl(1, F_SETFL, O_NONBLOCK); },
         [](host *h) {
             host_send(h, flood(3000));  // the acks fill the unread output
             host_ack(h, 3999);
             EXPECT_EQ(host_count(h, "ack"), 3000u) << "no ack lost";
         }},
        {"frame pipe non-blocking", [] { fcntl(3, F_SETFL, O_NONBLOCK); },
         [](host *h) {
             h->frames_paused = true;  // frames bigger than the pipe, unread
             host_command(h, load_line(1, media_url("frames-gen-a.mp4")), 1);
             host_wait(h, [](const json &ev) { return is(ev, "time") && ev["ms"] >= 500; });
             h->frames_paused = false;
             EXPECT_TRUE(host_wait_frames(h, 5));
         }},
        {"standard output closed by the host", nullptr,
         [](host *h) {
             close(h->out_fd);  // the host stops listening to events for good
             h->out_fd = -1;
             host_send(h, load_line(1, media_url("clip.mp4")));
             EXPECT_TRUE(host_wait_frames(h, 10));
             host_send(h, cmd(2, "stop") + "\n" + load_line(3, media_url("clip.mp4")));
             EXPECT_TRUE(host_wait_frames(h, host_frames(h).size() + 10));
             EXPECT_EQ(host_frames(h).back().generation, 3u) << "commands were still served";
         }},
        // Closed, it is /dev/null again, or the first socket the library
        // opens would take its number and the events go to a server.
        {"standard output closed", [] { close(1); },
         [](host *h) {
             std::string fd1 = "/proc/" + std::to_string(h->pid) + "/fd/1";
             std::error_code not_yet;
             for (long long until = host_now_ms() + 5000;
                  std::filesystem::read_symlink(fd1, not_yet) != "/dev/null" && host_now_ms() < until;)
                 usleep(5000);
             EXPECT_EQ(std::filesystem::read_symlink(fd1), "/dev/null");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        host h;
        ASSERT_TRUE(host_start(&h, {{}, true, c.before_exec}, strcmp(c.name, "standard output closed") != 0));
        c.session(&h);
        host_close_input(&h);
        EXPECT_EQ(host_wait_exit(&h), 0);
    }
}

// Stops, then samples once the reapers have released the retired players.
host_usage settled(host *h, long long id, const host_usage &idle) {
    host_command(h, cmd(id, "stop"), id);
    host_usage s = host_sample(h->pid);
    for (int i = 0; i < 200 && (s.threads > idle.threads || s.fds > idle.fds); i++) {
        host_drain(h, 100);
        s = host_sample(h->pid);
    }
    return s;
}

TEST(Hardening, RandomCommandsKeepEveryPromise) {
    host h;
    ASSERT_TRUE(host_start(&h));
    const host_usage idle = host_sample(h.pid);
    const char *clips[] = {"clip.mp4", "tone.m4a", "hostile.mkv"};
    std::mt19937 rng(20261206);
    long long gen = 0;
    bool has_media = false;
    std::vector<std::pair<uint64_t, long long>> load_acks;  // generation, arrival
    std::vector<host_usage> plateau;
    for (long long id = 1; id <= 400; id++) {
        int kind = int(rng() % 10);
        const std::string fields[] = {
            R"(,"url":")" + media_url(clips[rng() % 3]) + R"(","live":false)", "",
            R"(,"pos":)" + std::to_string(double(rng() % 100) / 100), R"(,"ms":)" + std::to_string(rng() % 3000), ""};
        const char *names[] = {"load", "stop", "seek", "seek", kind == 8 ? "pause" : "play"};
        int k = kind < 3 ? 0 : kind < 5 ? 1 : kind < 7 ? 2 : kind < 8 ? 3 : 4;
        json a = host_command(&h, cmd(id, names[k], fields[k]), id);
        ASSERT_FALSE(a.is_null());
        if (k == 0) {
            EXPECT_EQ(a, (json{{"type", "ack"}, {"id", id}, {"ok", true}, {"generation", ++gen}}));
            load_acks.push_back({gen, h.event_ms[h.next - 1]});
        } else if (k == 1 || (k >= 3 && !has_media)) {
            EXPECT_EQ(a, ack(id, k == 1));
        }
        gen += k == 1 && has_media;
        has_media = k == 0 || (k != 1 && has_media);
        if (id % 100 == 0) {
            plateau.push_back(settled(&h, 10000 + id, idle));
            gen += has_media;
            has_media = false;
        }
    }
    EXPECT_EQ(host_command(&h, cmd(9999, "quit"), 9999), ack(9999, true));
    EXPECT_EQ(host_wait_exit(&h), 0);
    // Generations never go back and seq has no gaps; once a load is acked,
    // older pictures stop: what the pipe still held is read within moments.
    std::vector<frame_info> frames = host_frames(&h);
    for (size_t i = 1; i < frames.size(); i++) {
        EXPECT_GE(frames[i].generation, frames[i - 1].generation) << i;
        EXPECT_EQ(frames[i].seq, frames[i - 1].seq + 1) << i;
    }
    for (const auto &[g, at] : load_acks)
        for (const frame_info &f : frames)
            EXPECT_FALSE(f.generation < g && f.arrived_ms > at + 500) << "generation " << f.generation;
    // Memory, threads and descriptors come back to a plateau: a player
    // leaked per load would add several MB each.
    for (size_t i = 0; i < plateau.size(); i++) {
        // the first may be lower, before the heap warmed up
        EXPECT_TRUE(!resident_size_tells || i == 0 || plateau[i].rss_kb <= plateau[1].rss_kb + 48 * 1024);
        EXPECT_LE(plateau[i].threads, idle.threads);
        EXPECT_LE(plateau[i].fds, idle.fds);
    }
}

// Track names, the library's lines quoting a location, and echoed input all
// carry outside text into event lines, each checked as strict JSON.
TEST(Hardening, HostileTextNeverBreaksALine) {
    host h;
    ASSERT_TRUE(host_start(&h));
    host_command(&h, load_line(1, media_url("hostile.mkv")), 1);
    json tracks = host_wait_type(&h, "tracks");
    EXPECT_EQ(tracks["video"][0]["name"].get<std::string>().rfind("say \"hi\" \\ back\\slash \x01\x1f ctl", 0), 0u);
    EXPECT_LE(tracks["audio"][0]["name"].get<std::string>().size(), 297u) << "cut at its capacity";
    // A missing file whose name is full of trouble: the library quotes it
    // back. A fresh engine, whose share of forwarded lines is all its own.
    host fresh;
    ASSERT_TRUE(host_start(&fresh));
    std::string nasty = "/tmp/vexolo \\\"q\\\" \\\\ \\u0001 \xff\xfe\xc3 " + std::string(10000, 'n');
    host_command(&fresh, load_line(2, "file://" + nasty), 2);
    EXPECT_EQ(host_wait_type(&fresh, "error")["problem"], "unavailable") << "a name too long for the file system";
    bool quoted = false;
    for (const json &ev : host_all(&fresh, "log"))
        quoted = quoted || ev["message"].get<std::string>().find("\"q\" \\ \x01 ") != std::string::npos;
    EXPECT_TRUE(quoted) << "the library's line came through, escaped";
}

// A careless host's burst of loads and stops of a 1080p clip, first written
// at once, then spaced only by their acks: every command is answered, memory
// and threads stay bounded, and the engine settles back to idle.
TEST(Hardening, BurstsOfLoadsAreAbsorbed) {
    host h;
    ASSERT_TRUE(host_start(&h));
    const host_usage idle = host_sample(h.pid);
    const std::string clip = media_url("burst-1080p.mp4");
    long long id = 0, gen = 0;
    for (int rounds : {50, 10}) {
        std::vector<std::string> lines;
        for (int i = 0; i < 4 * rounds; i++, id++)
            lines.push_back(i % 4 < 3 ? load_line(id + 1, clip) : cmd(id + 1, "stop"));
        std::string text;
        for (const auto &l : lines)
            text += l + "\n";
        if (rounds == 50)
            host_send(&h, text);
        host_usage peak = idle;
        for (size_t i = 0; i < lines.size(); i++) {
            json a = rounds == 50 ? host_ack(&h, id - long(lines.size()) + long(i) + 1)
                                  : host_command(&h, lines[i], id - long(lines.size()) + long(i) + 1);
            ASSERT_EQ(a["ok"], true) << a;
            EXPECT_TRUE(!a.contains("generation") || a["generation"] == gen + 1) << "each load its own generation";
            gen++;
            host_usage s = host_sample(h.pid);
            peak = {std::max(peak.rss_kb, s.rss_kb), std::max(peak.threads, s.threads), 0};
        }
        long long acked = host_now_ms();
        for (host_usage s = host_sample(h.pid); s.threads > idle.threads || (resident_size_tells && s.rss_kb > 60 * 1024);
             s = host_sample(h.pid)) {
            ASSERT_LT(host_now_ms() - acked, 10000 * host_slowdown()) << s.rss_kb << " kB, " << s.threads << " threads";
            host_drain(&h, 20);
        }
        EXPECT_TRUE(!resident_size_tells || peak.rss_kb < 500 * 1024) << peak.rss_kb;
    }
}

}  // namespace
