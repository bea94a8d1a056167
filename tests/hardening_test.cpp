// The engine under abuse: a long random run of commands while a host reads
// frames, hostile text on every channel that echoes outside words, and the
// faults a host or the library can cause: a closed or unread standard
// output, odd descriptors and signals at start-up, termination signals, and
// a library stop that never returns.
#include "host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include "http_server.h"
#include <fstream>
#include <random>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The sanitizers' allocators keep freed memory in quarantine and in their own
// caches, so under them resident size follows their bookkeeping, not the
// engine's; only the plain build can judge it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool resident_size_tells = false;
#else
const bool resident_size_tells = true;
#endif

// Stops, then samples once the reaper has released the retired players:
// back to the threads and descriptors of an idle engine, or as near as it gets.
host_usage settled(host *h, long long id, const host_usage &idle) {
    host_command(h, R"({"id":)" + std::to_string(id) + R"(,"cmd":"stop"})", id);
    host_usage s = host_sample(h->pid);
    for (int i = 0; i < 200 && (s.threads > idle.threads || s.fds > idle.fds); i++) {
        host_drain(h, 100);
        s = host_sample(h->pid);
    }
    return s;
}

TEST(Hardening, FiveHundredRandomCommandsKeepEveryPromise) {
    host h;
    ASSERT_TRUE(host_start(&h));
    ASSERT_FALSE(host_wait_type(&h, "ready").is_null());
    const host_usage idle = host_sample(h.pid);
    const char *clips[] = {"clip.mp4", "tone.m4a", "hostile.mkv"};
    std::mt19937 rng(20261206);
    long long gen = 0;
    bool has_media = false;
    std::vector<std::pair<long long, long long>> load_acks;  // generation, arrival
    std::vector<host_usage> plateau;
    long peak_kb = 0;
    for (long long id = 1; id <= 500; id++) {
        int kind = int(rng() % 10);
        std::string line = R"({"id":)" + std::to_string(id);
        if (kind < 3)
            line += R"(,"cmd":"load","live":false,"url":")" + media_url(clips[rng() % 3]) + "\"}";
        else if (kind < 5)
            line += R"(,"cmd":"stop"})";
        else if (kind < 7)
            line += R"(,"cmd":"seek","pos":)" + std::to_string(double(rng() % 100) / 100) + "}";
        else if (kind < 8)
            line += R"(,"cmd":"seek","ms":)" + std::to_string(rng() % 3000) + "}";
        else
            line += std::string(R"(,"cmd":")") + (kind == 8 ? "pause" : "play") + "\"}";
        json ack = host_command(&h, line, id);
        ASSERT_FALSE(ack.is_null()) << line;
        peak_kb = std::max(peak_kb, host_sample(h.pid).rss_kb);
        if (kind < 3) {
            ASSERT_EQ(ack["ok"], true) << line;
            EXPECT_EQ(ack["generation"], ++gen) << "generations rise by one per player";
            load_acks.push_back({gen, h.event_ms[h.next - 1]});
            has_media = true;
        } else if (kind < 5) {
            EXPECT_EQ(ack["ok"], true);
            gen += has_media;
            has_media = false;
        } else if (kind >= 7 && !has_media) {
            EXPECT_EQ(ack["ok"], false) << "no media to " << line;
        }
        if (id % 100 == 0) {
            plateau.push_back(settled(&h, 10000 + id, idle));
            gen += has_media;
            has_media = false;
        }
    }
    EXPECT_EQ(host_command(&h, R"({"id":9999,"cmd":"quit"})", 9999)["ok"], true);
    EXPECT_EQ(host_wait_exit(&h), 0);

    // On the frame pipe, generations never go back and seq has no gaps.
    std::vector<frame_info> frames = host_frames(&h);
    for (size_t i = 1; i < frames.size(); i++) {
        EXPECT_GE(frames[i].generation, frames[i - 1].generation) << "frame " << i;
        EXPECT_EQ(frames[i].seq, frames[i - 1].seq + 1) << "frame " << i;
    }
    // Once a load is acknowledged, older pictures stop: what the pipe still
    // held is read within moments, and later ones would be new writes.
    int late = 0;
    for (const auto &[g, at] : load_acks)
        for (const frame_info &f : frames)
            late += f.generation < uint64_t(g) && f.arrived_ms > at + 500;
    EXPECT_EQ(late, 0);

    // Memory, threads and descriptors come back to a plateau.
    ASSERT_EQ(plateau.size(), 5u);
    printf("idle: %ld kB, %d threads, %d descriptors; peak %ld kB\n", idle.rss_kb, idle.threads, idle.fds,
           peak_kb);
    for (size_t i = 1; i < plateau.size(); i++) {
        printf("after %zu00 commands: %ld kB, %d threads, %d descriptors\n", i + 1, plateau[i].rss_kb,
               plateau[i].threads, plateau[i].fds);
        // Heap fragmentation moves the plateau by a few tens of MB; a player
        // leaked per load would add several MB each, some 90 loads here.
        if (resident_size_tells) {
            EXPECT_LE(plateau[i].rss_kb, plateau[1].rss_kb + 48 * 1024);
        }
        EXPECT_LE(plateau[i].threads, idle.threads);
        EXPECT_LE(plateau[i].fds, idle.fds);
    }
}

// Track names, library log lines with the URL in them, and echoed input all
// carry outside text; the host checks every line is one strict JSON object.
TEST(Hardening, HostileTextNeverBreaksALine) {
    host h;
    ASSERT_TRUE(host_start(&h));
    ASSERT_FALSE(host_wait_type(&h, "ready").is_null());

    host_command(&h, R"({"id":1,"cmd":"load","live":false,"url":")" + media_url("hostile.mkv") + "\"}", 1);
    json tracks = host_wait_type(&h, "tracks");
    ASSERT_FALSE(tracks.is_null());
    std::string video_name = tracks["video"][0]["name"];
    EXPECT_EQ(video_name.rfind("say \"hi\" \\ back\\slash \x01\x1f ctl", 0), 0u) << video_name;
    std::string audio_name = tracks["audio"][0]["name"];
    EXPECT_LE(audio_name.size(), 297u) << "cut at its capacity";

    // A missing file whose name is full of trouble: the library's own error
    // lines quote it back. A fresh engine, so that the first load's error
    // lines have not used up the second's share of forwarded lines.
    host fresh;
    ASSERT_TRUE(host_start(&fresh));
    ASSERT_FALSE(host_wait_type(&fresh, "ready").is_null());
    std::string nasty = "/tmp/vexolo \\\"q\\\" \\\\ \\u0001 \xff\xfe\xc3 " + std::string(10000, 'n');
    host_command(&fresh, R"({"id":2,"cmd":"load","live":false,"url":"file://)" + nasty + "\"}", 2);
    json err = host_wait_type(&fresh, "error");
    EXPECT_EQ(err["problem"], "unavailable") << "a name too long for the file system matches no rule";
    bool quoted = false;
    for (size_t i = 0; i < fresh.next; i++)
        if (fresh.events[i]["type"] == "log") {
            std::string m = fresh.events[i]["message"];
            quoted = quoted || m.find("\"q\" \\ \x01 ") != std::string::npos;
        }
    EXPECT_TRUE(quoted) << "the library's line came through, escaped";

    std::string echo = "\"\\\x01\x7f\xff" + std::string(10000, '\\');
    host_send(&h, echo);
    json echoed = host_wait(&h, [](const json &ev) {
        return ev["type"] == "log" && ev["message"].get<std::string>().rfind("not a command: ", 0) == 0;
    });
    EXPECT_EQ(echoed["message"].get<std::string>().substr(0, 22), "not a command: \"\\\x01\x7f\xEF\xBF\xBD");
}

TEST(Faults, ClosedStandardOutputLeavesTheFramePipeServing) {
    host h;
    ASSERT_TRUE(host_start(&h));
    ASSERT_FALSE(host_wait_type(&h, "ready").is_null());
    close(h.out_fd);  // the host stops listening to events for good
    h.out_fd = -1;
    host_send(&h, R"({"id":1,"cmd":"load","live":false,"url":")" + media_url("clip.mp4") + "\"}");
    EXPECT_TRUE(host_wait_frames(&h, 10));
    host_send(&h, R"({"id":2,"cmd":"stop"})");
    host_send(&h, R"({"id":3,"cmd":"load","live":false,"url":")" + media_url("clip.mp4") + "\"}");
    size_t before = host_frames(&h).size();
    EXPECT_TRUE(host_wait_frames(&h, before + 10));
    EXPECT_EQ(host_frames(&h).back().generation, 3u) << "commands were still served";
    host_close_input(&h);
    EXPECT_EQ(host_wait_exit(&h), 0);
}

// Interrupts every thread of the process but its main thread and the
// engine's own (named vx-...), as a stalled library would; returns them.
std::vector<pid_t> freeze_library_threads(pid_t pid) {
    std::vector<pid_t> frozen;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (!d)
        return frozen;
    while (dirent *e = readdir(d)) {
        pid_t tid = atoi(e->d_name);
        if (tid <= 0 || tid == pid)
            continue;
        std::ifstream comm("/proc/" + std::to_string(pid) + "/task/" + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind("vx-", 0) == 0)
            continue;
        // Only threads asleep in the library: one stopped while it runs may
        // hold a lock of the C library (the allocator's) that every thread needs.
        std::ifstream stat("/proc/" + std::to_string(pid) + "/task/" + e->d_name + "/stat");
        std::string skip, state;
        stat >> skip >> skip >> state;
        if (state != "S")
            continue;
        if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) == 0 && ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == 0) {
            int st;
            waitpid(tid, &st, __WALL);
            frozen.push_back(tid);
        }
    }
    closedir(d);
    return frozen;
}

// The stalled threads may be frozen anywhere, even inside the engine's
// own callbacks while they hold standard output: the quit ack then cannot
// be written, but the process must still end, within the watchdog's time.
TEST(Faults, QuitEndsWithinTheWatchdogWhenTheLibraryStalls) {
    host h;
    ASSERT_TRUE(host_start(&h));
    ASSERT_FALSE(host_wait_type(&h, "ready").is_null());
    host_command(&h, R"({"id":1,"cmd":"load","live":false,"url":")" + media_url("clip.mp4") + "\"}", 1);
    host_wait_type(&h, "playing");
    // A thread interrupted inside one of the engine's callbacks could hold
    // the control lock for ever, which no real stall does (the callbacks
    // never block there): freeze again until a command still gets through.
    std::vector<pid_t> frozen;
    for (int attempt = 1; attempt <= 10; attempt++) {
        frozen = freeze_library_threads(h.pid);
        host_send(&h, R"({"id":)" + std::to_string(100 + attempt) + R"(,"cmd":"nosuch"})");
        host_drain(&h, 300);
        bool answered = false;
        for (const json &ev : h.events)
            answered = answered || (ev["type"] == "ack" && ev["id"] == 100 + attempt);
        if (answered)
            break;
        for (pid_t tid : frozen)
            ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
        frozen.clear();
    }
    ASSERT_FALSE(frozen.empty());
    long long start = host_now_ms();
    host_send(&h, R"({"id":2,"cmd":"quit"})");
    // The traced threads report their end to this process too; reap them all.
    int status = -1;
    while (h.pid > 0) {
        int st;
        pid_t r = waitpid(-1, &st, __WALL | WNOHANG);
        if (r == h.pid) {
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            h.pid = -1;
        } else if (r < 0 && errno != EINTR) {
            ADD_FAILURE() << "waitpid: " << strerror(errno);
            break;
        } else if (host_now_ms() - start > 5000 * host_slowdown()) {
            break;  // the host kills and reaps it
        } else if (r == 0) {
            host_drain(&h, 10);  // keeps reading, so output never blocks on this side
        }
    }
    long long took = host_now_ms() - start;
    EXPECT_EQ(status, 0);
    EXPECT_GE(took, 1300) << "the stop really hung: the watchdog ended the process";
    EXPECT_LE(took, 1500 + 500 * host_slowdown());
    for (size_t i = 0; i < h.events.size(); i++) {
        if (h.events[i]["type"] == "ack" && h.events[i]["id"] == 2) {
            EXPECT_EQ(i + 1, h.events.size()) << "nothing follows the quit ack";
        }
    }
}

std::string load_line(long long id, const char *clip) {
    return R"({"id":)" + std::to_string(id) + R"(,"cmd":"load","live":false,"url":")" + media_url(clip) + "\"}";
}

// A player stopped at any moment of its decoding, without a sound server:
// ThreadSanitizer cannot see how the decoder's and the sound client's own
// threads synchronise, and reports their teardown.
host_options quiet_player() {
    host_options opt;
    opt.null_audio = false;
    return opt;
}

// Some thousands of commands in one write, each answered on a pipe that
// nobody reads: the engine's output fills up and it blocks writing acks.
std::string flood(int n) {
    std::string text;
    for (int id = 1000; id < 1000 + n; id++)
        text += R"({"id":)" + std::to_string(id) + R"(,"cmd":"nosuch"})" + "\n";
    return text;
}

TEST(Faults, QuitAndEndOfInputEndTheEngineWhoeverReads) {
    const struct {
        const char *name;
        bool playing;   // a clip plays, its events filling the output too
        bool quit;      // quit is the last line, else the input just ends
        bool reading;   // the host reads on
    } cases[] = {
        {"quit, output unread", false, true, false},
        {"end of input while playing, output unread", true, false, false},
        {"quit while playing, output unread", true, true, false},
        {"quit, output read", false, true, true},
    };
    for (const auto &c : cases) {
        host h;
        ASSERT_TRUE(host_start(&h, quiet_player()));
        ASSERT_FALSE(host_wait_type(&h, "ready").is_null());
        if (c.playing) {
            host_command(&h, load_line(1, "video-only.mp4"), 1);
            host_wait_type(&h, "playing");
        }
        const int n = c.reading ? 1000 : 5000;
        // The reader takes in all of it, whatever the control thread does.
        host_send(&h, flood(n) + (c.quit ? R"({"id":9,"cmd":"quit"})" : ""));
        host_close_input(&h);
        if (c.reading) {
            EXPECT_EQ(host_wait_exit(&h), 0) << c.name;
            ASSERT_EQ(h.events.back(), (json{{"type", "ack"}, {"id", 9}, {"ok", true}})) << c.name;
            size_t acks = 0;
            for (const json &ev : h.events)
                acks += ev["type"] == "ack" && ev["id"] >= 1000;
            EXPECT_EQ(acks, size_t(n)) << "every command before quit was answered";
            continue;
        }
        long long sent = host_now_ms();
        int status = host_wait_exit_unread(&h, 5000);
        long long took = host_now_ms() - sent;
        printf("%s: ended %lld ms after the last line\n", c.name, took);
        EXPECT_EQ(status, 0) << c.name;
        EXPECT_LE(took, 1500 + 1000 * host_slowdown()) << c.name;
        host_drain(&h, 1000);  // every line that made it out is whole
        EXPECT_EQ(h.out_fd, -1) << "output ended";
    }
}

TEST(Faults, TerminationSignalsStopThePlayerAndEnd) {
    const struct {
        int sig;
        bool blocked, ignored;  // as the host's process manager left them
    } cases[] = {
        {SIGTERM, false, false},
        {SIGTERM, true, true},
        {SIGINT, false, false},
        {SIGHUP, true, false},
        {SIGHUP, false, true},
    };
    for (const auto &c : cases) {
        host_options opt = quiet_player();
        opt.before_exec = [&c] {
            if (c.ignored)
                signal(c.sig, SIG_IGN);
            if (c.blocked) {
                sigset_t set;
                sigemptyset(&set);
                sigaddset(&set, c.sig);
                sigprocmask(SIG_BLOCK, &set, nullptr);
            }
        };
        host h;
        ASSERT_TRUE(host_start(&h, opt));
        ASSERT_FALSE(host_wait_type(&h, "ready").is_null());
        host_command(&h, load_line(1, "video-only.mp4"), 1);
        host_wait_type(&h, "playing");
        long long sent = host_now_ms();
        kill(h.pid, c.sig);
        int status = host_wait_exit(&h, 5000);
        EXPECT_EQ(status, 128 + c.sig) << strsignal(c.sig) << (c.blocked ? " blocked" : "")
                                       << (c.ignored ? " ignored" : "");
        long long took = host_now_ms() - sent;
        printf("%s: ended %lld ms after the signal\n", strsignal(c.sig), took);
        EXPECT_LE(took, 1500 + 1000 * host_slowdown());
    }
}

// Descriptors as a careless host leaves them: closed, or left non-blocking.
// Each case runs a little session that the old faults broke.
TEST(Faults, OddDescriptorsAtStartUpAreMadeSafe) {
    const struct {
        const char *name;
        std::function<void()> before_exec;
        std::function<void(host *)> session;
    } cases[] = {
        {"standard input closed", [] { close(0); },
         [](host *h) {
             EXPECT_EQ(host_wait_exit(h), 0) << "input at its end at once";
             EXPECT_EQ(h->events.size(), 1u);
         }},
        {"standard input non-blocking", [] { fcntl(0, F_SETFL, O_NONBLOCK); },
         [](host *h) {
             ASSERT_FALSE(host_wait_type(h, "ready").is_null());
             EXPECT_EQ(host_command(h, R"({"id":1,"cmd":"nosuch"})", 1)["ok"], false) << "still reading";
         }},
        {"standard output non-blocking", [] { fcntl(1, F_SETFL, O_NONBLOCK); },
         [](host *h) {
             host_send(h, flood(3000));  // the acks fill the unread output
             host_ack(h, 3999);
             size_t acks = 0;
             for (const json &ev : h->events)
                 acks += ev["type"] == "ack";
             EXPECT_EQ(acks, 3000u) << "no ack lost";
         }},
        {"frame pipe non-blocking", [] { fcntl(3, F_SETFL, O_NONBLOCK); },
         [](host *h) {
             host_pause_frames(h, true);  // frames bigger than the pipe, unread
             host_command(h, load_line(1, "frames-gen-a.mp4"), 1);
             host_wait(h, [](const json &ev) { return ev["type"] == "time" && ev["ms"] >= 500; });
             host_pause_frames(h, false);
             EXPECT_TRUE(host_wait_frames(h, 5));
             EXPECT_EQ(host_command(h, R"({"id":2,"cmd":"quit"})", 2)["ok"], true) << "still running";
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        host_options opt;
        opt.before_exec = c.before_exec;
        host h;
        ASSERT_TRUE(host_start(&h, opt));
        c.session(&h);
        host_close_input(&h);
        EXPECT_EQ(host_wait_exit(&h), 0);
    }
}

// With standard output closed the first socket the library opens used to
// take its number, and events went to the server.
TEST(Faults, ClosedStandardOutputIsNotTakenByASocket) {
    int port = 0;
    int listener = loopback_listen(1, &port);
    ASSERT_GE(listener, 0);
    host_options opt;
    opt.before_exec = [] { close(1); };
    host h;
    ASSERT_TRUE(host_start(&h, opt));
    host_send(&h, R"({"id":1,"cmd":"load","live":false,"url":"http://127.0.0.1:)" + std::to_string(port) +
                      R"(/clip.mp4"})");
    struct pollfd p = {listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000 * host_slowdown()), 1) << "the engine connects";
    int conn = accept(listener, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    std::string got;
    char buf[4096];
    while (got.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(conn, buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, size_t(n));
    }
    // Unanswered, the request stays open while the engine acks quit.
    host_send(&h, R"({"id":2,"cmd":"quit"})");
    EXPECT_EQ(host_wait_exit(&h), 0);
    ssize_t n;
    while ((n = read(conn, buf, sizeof buf)) > 0)
        got.append(buf, size_t(n));
    EXPECT_EQ(got.rfind("GET /clip.mp4 ", 0), 0u) << got;
    EXPECT_EQ(got.find("{\"type\""), std::string::npos) << got;
    close(conn);
    close(listener);
}

}  // namespace
