// The test host: spawns the engine on pipes and checks every line it prints.
#include "host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long long now_ms() { return host_now_ms(); }

// Every line must be one strict JSON object whose first member is "type".
void take_line(host *h, const std::string &line) {
    EXPECT_EQ(line.rfind("{\"type\":\"", 0), 0u) << "line does not start with type: " << line;
    try {
        json ev = json::parse(line);
        EXPECT_TRUE(ev.is_object() && ev["type"].is_string()) << line;
        h->events.push_back(ev);
        h->event_ms.push_back(now_ms());
    } catch (const json::exception &e) {
        ADD_FAILURE() << "not strict JSON (" << e.what() << "): " << line;
        h->events.push_back(json{{"type", "<invalid>"}, {"line", json::binary_t()}});
        h->event_ms.push_back(now_ms());
    }
}

// Reads what is available within timeout_ms; false at end of output.
bool read_some(host *h, int timeout_ms) {
    if (h->out_fd < 0)
        return false;
    struct pollfd p = {h->out_fd, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r <= 0)
        return true;
    char buf[65536];
    ssize_t n = read(h->out_fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0) {
        EXPECT_TRUE(h->pending.empty()) << "output ends inside a line: " << h->pending;
        close(h->out_fd);
        h->out_fd = -1;
        return false;
    }
    h->pending.append(buf, size_t(n));
    size_t lf;
    while ((lf = h->pending.find('\n')) != std::string::npos) {
        take_line(h, h->pending.substr(0, lf));
        h->pending.erase(0, lf + 1);
    }
    return true;
}

std::string recent(const host *h) {
    std::ostringstream s;
    size_t from = h->events.size() > 15 ? h->events.size() - 15 : 0;
    for (size_t i = from; i < h->events.size(); i++)
        s << "  " << h->events[i].dump() << "\n";
    return s.str();
}

// Starts a sound server with a null sink on a socket in the private HOME;
// false when there is none to start.
bool start_sound_server(host *h, std::vector<std::string> *env) {
    std::string socket = h->home + "/pulse-native";
    std::string home = "HOME=" + h->home;
    std::string load = "module-native-protocol-unix auth-anonymous=1 socket=" + socket;
    const char *argv[] = {"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                          "-n", "--load=module-null-sink", nullptr, "--log-target=stderr", "--log-level=0",
                          nullptr};
    std::string load_arg = "--load=" + load;
    argv[6] = load_arg.c_str();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test killed mid-way
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        putenv(home.data());
        execvp("pulseaudio", const_cast<char **>(argv));
        _exit(127);
    }
    if (pid < 0)
        return false;
    h->sound_pid = pid;
    long long deadline = now_ms() + 3000;
    while (access(socket.c_str(), F_OK) != 0) {
        if (now_ms() > deadline || waitpid(pid, nullptr, WNOHANG) == pid) {
            h->sound_pid = -1;
            return false;
        }
        usleep(5000);
    }
    env->push_back("PULSE_SERVER=unix:" + socket);
    return true;
}

// Reads exactly n bytes; false at end of the pipe.
bool read_full(int fd, uint8_t *p, size_t n, long long *count) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
        *count += r;
    }
    return true;
}

template <typename T> T le(const uint8_t *p) {
    T v = 0;
    for (size_t i = 0; i < sizeof(T); i++)
        v |= T(p[i]) << (8 * i);
    return v;
}

// The frame number of a numbered clip: ten blocks across the middle row,
// white for a set bit, lowest on the left, wherever the picture is scaled.
int frame_number(const frame_info &f, const uint8_t *pixels) {
    int n = 0;
    for (int k = 0; k < 10; k++) {
        const uint8_t *px = pixels + size_t(f.height / 2) * f.pitch + size_t(f.width * (2 * k + 1) / 20) * 4;
        if (std::min({px[0], px[1], px[2]}) > 160)
            n |= 1 << k;
    }
    return n;
}

// Reads frames until the engine closes its end, checking their framing.
void drain_frames(host *h) {
    std::vector<uint8_t> pixels;
    long long count = 0;
    for (;;) {
        while (h->frames_paused)
            usleep(1000);
        uint8_t hd[60];
        if (!read_full(h->frames_fd, hd, sizeof hd, &count))
            return;
        frame_info f;
        f.begun_ms = now_ms();
        f.width = le<uint32_t>(hd + 4);
        f.height = le<uint32_t>(hd + 8);
        f.pitch = le<uint32_t>(hd + 12);
        f.pts_us = le<int64_t>(hd + 20);
        f.seq = le<uint64_t>(hd + 28);
        f.wall_us = le<int64_t>(hd + 36);
        f.generation = le<uint64_t>(hd + 44);
        f.flags = le<uint32_t>(hd + 52);
        std::string bad;
        if (memcmp(hd, "VXFR", 4) != 0 || memcmp(hd + 16, "bgr0", 4) != 0)
            bad = "bad magic or fourcc";
        else if (f.pitch % 64 != 0 || f.pitch < f.width * 4 || le<uint32_t>(hd + 56) != 0)
            bad = "bad pitch or reserved field";
        else if (uint64_t(f.pitch) * f.height > (uint64_t(1) << 30))
            bad = "absurd size";
        if (!bad.empty()) {
            std::lock_guard<std::mutex> hold(h->frames_lock);
            h->frame_error = bad;
            return;
        }
        pixels.resize(size_t(f.pitch) * f.height);
        if (!read_full(h->frames_fd, pixels.data(), pixels.size(), &count)) {
            // A frame cut short by the host's own kill is no fault of the engine.
            std::lock_guard<std::mutex> hold(h->frames_lock);
            if (!h->ending)
                h->frame_error = "pipe ends inside a frame";
            return;
        }
        f.arrived_ms = now_ms();
        f.number = 0;
        if (f.width > 0 && f.height > 0) {
            memcpy(f.centre, &pixels[size_t(f.height / 2) * f.pitch + size_t(f.width / 2) * 4], 3);
            f.number = frame_number(f, pixels.data());
        } else {
            memset(f.centre, 0, 3);
        }
        std::lock_guard<std::mutex> hold(h->frames_lock);
        h->frame_bytes = count;
        h->frames.push_back(f);
        if (h->keep_pixels)
            h->last_pixels = pixels;
    }
}

}  // namespace

long long host_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<frame_info> host_frames(host *h) {
    std::lock_guard<std::mutex> hold(h->frames_lock);
    return h->frames;
}

bool host_wait_frames(host *h, size_t n, int timeout_ms) {
    long long deadline = now_ms() + timeout_ms * host_slowdown();
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(h->frames_lock);
            if (h->frames.size() >= n)
                return true;
        }
        if (now_ms() > deadline) {
            ADD_FAILURE() << "timed out waiting for " << n << " frames; last events:\n" << recent(h);
            return false;
        }
        // Keep reading events so the engine never blocks on its output.
        read_some(h, 10);
    }
}

void host_pause_frames(host *h, bool paused) { h->frames_paused = paused; }

std::string media_path(const char *name) { return std::string(MEDIA_DIR) + "/" + name; }
std::string media_url(const char *name) { return "file://" + media_path(name); }

bool host_start(host *h, const host_options &opt) {
    char home[] = "/tmp/vexolo-host-XXXXXX";
    if (!mkdtemp(home)) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return false;
    }
    h->home = home;
    if (opt.null_audio)
        std::ofstream(h->home + "/.asoundrc") << "pcm.!default { type null }\nctl.!default { type hw card 0 }\n";
    std::string err_path = h->home + "/stderr";

    int in[2], out[2], frames[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || (opt.frame_pipe && pipe2(frames, O_CLOEXEC))) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return false;
    }
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

    std::vector<std::string> env_store;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "HOME=", 5) != 0 && strncmp(*e, "PULSE_", 6) != 0)
            env_store.push_back(*e);
    env_store.push_back("HOME=" + h->home);
    if (opt.null_audio && !start_sound_server(h, &env_store))
        ADD_FAILURE() << "no sound server could be started (is pulseaudio installed?)";
    std::vector<char *> envp, argv;
    for (auto &s : env_store)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string path = ENGINE_PATH;
    argv.push_back(path.data());
    std::vector<std::string> args = opt.args;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err, 2);
        if (frames[1] >= 0)
            dup2(frames[1], 3);
        else
            close(3);
        if (opt.before_exec)
            opt.before_exec();
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err);
    if (frames[1] >= 0)
        close(frames[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return false;
    }
    h->pid = pid;
    h->in_fd = in[1];
    h->out_fd = out[0];
    h->frames_fd = frames[0];
    h->keep_pixels = opt.keep_pixels;
    if (h->frames_fd >= 0)
        h->drain = std::thread(drain_frames, h);
    return true;
}

void host_send(host *h, const std::string &line) {
    std::string text = line + "\n";
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(h->in_fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "engine input closed: " << strerror(errno);
            return;
        }
        p += n;
        left -= size_t(n);
    }
}

void host_close_input(host *h) {
    if (h->in_fd >= 0)
        close(h->in_fd);
    h->in_fd = -1;
}

int host_slowdown() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 3;
#else
    return 1;
#endif
}

json host_wait(host *h, const std::function<bool(const json &)> &match, int timeout_ms) {
    long long deadline = now_ms() + timeout_ms * host_slowdown();
    for (;;) {
        while (h->next < h->events.size()) {
            const json &ev = h->events[h->next++];
            if (match(ev))
                return ev;
        }
        long long left = deadline - now_ms();
        if (left <= 0 || !read_some(h, int(left))) {
            ADD_FAILURE() << (left <= 0 ? "timed out" : "output ended")
                          << " waiting for an event; last events:\n"
                          << recent(h);
            return json();
        }
    }
}

json host_wait_type(host *h, const std::string &type, int timeout_ms) {
    return host_wait(h, [&](const json &ev) { return ev["type"] == type; }, timeout_ms);
}

json host_ack(host *h, long long id, int timeout_ms) {
    return host_wait(
        h, [&](const json &ev) { return ev["type"] == "ack" && ev["id"] == id; }, timeout_ms);
}

json host_command(host *h, const std::string &line, long long id, int timeout_ms) {
    host_send(h, line);
    return host_ack(h, id, timeout_ms);
}

void host_drain(host *h, int ms) {
    long long deadline = now_ms() + ms;
    while (now_ms() < deadline && read_some(h, int(deadline - now_ms()))) {
    }
}

int host_wait_exit(host *h, int timeout_ms) {
    long long deadline = now_ms() + timeout_ms * host_slowdown();
    // Reading on keeps the engine from blocking on a full output pipe.
    while (h->out_fd >= 0 && now_ms() < deadline)
        read_some(h, int(deadline - now_ms()));
    return host_wait_exit_unread(h, int(std::max(0LL, deadline - now_ms())) / host_slowdown());
}

int host_wait_exit_unread(host *h, int timeout_ms) {
    long long deadline = now_ms() + timeout_ms * host_slowdown();
    while (h->pid > 0) {
        int st;
        pid_t r = waitpid(h->pid, &st, WNOHANG);
        if (r == h->pid) {
            h->pid = -1;
            h->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return h->status;
        }
        if (now_ms() >= deadline) {
            ADD_FAILURE() << "engine did not end in time; last events:\n" << recent(h);
            return -1;
        }
        usleep(5000);
    }
    return h->status;
}

host_usage host_sample(pid_t pid) {
    host_usage s = {0, 0, 0};
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:")
            status >> s.rss_kb;
        else if (key == "Threads:")
            status >> s.threads;
    }
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(d))
            s.fds++;
        closedir(d);
    }
    return s;
}

std::string host_stderr(host *h) {
    std::ifstream f(h->home + "/stderr");
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

host::~host() {
    ending = true;
    frames_paused = false;  // the reader must see the end of the pipe
    for (pid_t p : {pid, sound_pid})
        if (p > 0) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, __WALL);  // also when some of its threads are traced
        }
    if (in_fd >= 0)
        close(in_fd);
    if (out_fd >= 0)
        close(out_fd);
    if (drain.joinable())
        drain.join();  // ends with the engine's end of the pipe
    EXPECT_EQ(frame_error, "") << "the frame stream broke";
    if (frames_fd >= 0)
        close(frames_fd);
    if (!home.empty()) {
        // A sanitizer report from the engine fails the test that ran it.
        std::string err = host_stderr(this);
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        EXPECT_EQ(err.find("runtime error:"), std::string::npos) << err;
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);  // the library leaves its own files there too
    }
}
