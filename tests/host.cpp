// The test host: spawns the engine on pipes and checks every line it prints.
#include "host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every line must be one strict JSON object whose first member is "type".
void take_line(host *h, const std::string &line) {
    EXPECT_EQ(line.rfind("{\"type\":\"", 0), 0u) << line;
    json ev = json::parse(line, nullptr, false);
    EXPECT_TRUE(ev.is_object()) << "not strict JSON: " << line;
    h->events.push_back(ev.is_object() ? ev : json{{"type", "<invalid>"}});
    h->event_ms.push_back(host_now_ms());
}

// Reads what arrives within timeout_ms; false at the end of output.
bool read_some(host *h, int timeout_ms) {
    struct pollfd p = {h->out_fd, POLLIN, 0};
    if (h->out_fd < 0)
        return false;
    if (poll(&p, 1, std::max(timeout_ms, 0)) <= 0)
        return true;
    char buf[65536];
    ssize_t n = read(h->out_fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0) {
        EXPECT_EQ(h->pending, "") << "output ends inside a line";
        close(h->out_fd);
        h->out_fd = -1;
        return false;
    }
    h->pending.append(buf, size_t(n));
    for (size_t lf; (lf = h->pending.find('\n')) != std::string::npos; h->pending.erase(0, lf + 1))
        take_line(h, h->pending.substr(0, lf));
    return true;
}

std::string recent(const host *h) {
    std::string s;
    for (size_t i = h->events.size() > 60 ? h->events.size() - 60 : 0; i < h->events.size(); i++)
        if (h->events[i]["type"] != "position") s += "  " + h->events[i].dump() + "\n";
    return s;
}

bool read_full(int fd, uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

uint64_t le(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v |= uint64_t(p[i]) << (8 * i);
    return v;
}

// Reads frames until the engine closes its end, checking their framing.
void drain_frames(host *h) {
    std::vector<uint8_t> px;
    for (uint8_t hd[60];;) {
        while (h->frames_paused)
            usleep(1000);
        if (!read_full(h->frames_fd, hd, sizeof hd))
            return;
        frame_info f{};
        f.begun_ms = host_now_ms();
        f.width = uint32_t(le(hd + 4, 4)), f.height = uint32_t(le(hd + 8, 4)), f.pitch = uint32_t(le(hd + 12, 4));
        f.pts_us = int64_t(le(hd + 20, 8)), f.seq = le(hd + 28, 8), f.generation = le(hd + 44, 8);
        f.flags = uint32_t(le(hd + 52, 4));
        std::string bad;
        if (memcmp(hd, "VXFR", 4) != 0 || memcmp(hd + 16, "bgr0", 4) != 0 || le(hd + 56, 4) != 0)
            bad = "bad magic, fourcc or reserved field";
        else if (f.pitch % 64 != 0 || f.pitch < f.width * 4 || uint64_t(f.pitch) * f.height > (1u << 30))
            bad = "bad pitch or size";
        px.resize(size_t(f.pitch) * f.height);
        if (bad.empty() && !read_full(h->frames_fd, px.data(), px.size()) && !h->ending)
            bad = "pipe ends inside a frame";
        std::lock_guard<std::mutex> hold(h->frames_lock);
        if (!bad.empty() || h->ending) {
            h->frame_error = bad;
            return;
        }
        f.arrived_ms = host_now_ms();
        const uint8_t *mid = &px[size_t(f.height / 2) * f.pitch + size_t(f.width / 2) * 4];
        memcpy(f.centre, mid, 3);
        // A numbered clip draws ten blocks across the middle row, white for a set bit.
        for (int k = 0; k < 10; k++) {
            const uint8_t *b = &px[size_t(f.height / 2) * f.pitch + size_t(f.width * (2 * k + 1) / 20) * 4];
            f.number |= std::min({b[0], b[1], b[2]}) > 160 ? 1 << k : 0;
        }
        for (uint32_t y = 0; f.width * f.height <= 320 * 240 && y < f.height; y++)
            for (uint32_t x = 0; x < f.width; x++)
                for (int c = 0; c < 3; c++)
                    f.worst = std::max(f.worst, std::abs(px[size_t(y) * f.pitch + x * 4 + c] - mid[c]));
        h->frames.push_back(f);
    }
}

}  // namespace

long long host_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int host_slowdown() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 3;
#else
    return 1;
#endif
}

std::string media_path(const char *name) { return std::string(MEDIA_DIR) + "/" + name; }
std::string media_url(const char *name) { return "file://" + media_path(name); }

std::string cmd(long long id, const std::string &name, const std::string &fields) {
    return R"({"id":)" + std::to_string(id) + R"(,"cmd":")" + name + "\"" + fields + "}";
}

std::string load_line(long long id, const std::string &url, const std::string &extra) {
    return cmd(id, "load", R"(,"url":")" + url + R"(","live":false)" + extra);
}

bool host_start(host *h, const host_options &opt, bool ready) {
    char home[] = "/tmp/vexolo-host-XXXXXX";
    int in[2], out[2], frames[2] = {-1, -1};
    if (!mkdtemp(home) || pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) ||
        (opt.frame_pipe && pipe2(frames, O_CLOEXEC))) {
        ADD_FAILURE() << "host set-up: " << strerror(errno);
        return false;
    }
    h->home = home;
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "HOME=", 5) != 0 && strncmp(*e, "PULSE_", 6) != 0)
            env.push_back(*e);
    env.push_back("HOME=" + h->home);
    std::ofstream(h->home + "/.asoundrc") << "pcm.!default { type null }\nctl.!default { type hw card 0 }\n";
    std::vector<char *> envp, argv = {const_cast<char *>(ENGINE_PATH)};
    for (auto &s : env)
        envp.push_back(s.data());
    std::vector<std::string> args = opt.args;
    for (auto &a : args)
        argv.push_back(a.data());
    envp.push_back(nullptr);
    argv.push_back(nullptr);
    int err = open((h->home + "/stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if ((h->pid = fork()) == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(in[0], 0), dup2(out[1], 1), dup2(err, 2);
        frames[1] >= 0 ? dup2(frames[1], 3) : close(3);
        if (opt.before_exec)
            opt.before_exec();
        execve(ENGINE_PATH, argv.data(), envp.data());
        _exit(127);
    }
    for (int fd : {in[0], out[1], err, frames[1]})
        if (fd >= 0)
            close(fd);
    h->in_fd = in[1], h->out_fd = out[0], h->frames_fd = frames[0];
    if (h->frames_fd >= 0)
        h->drain = std::thread(drain_frames, h);
    return h->pid > 0 && (!ready || !host_wait_type(h, "ready").is_null());
}

void host_send(host *h, const std::string &text) {
    std::string s = text + "\n";
    for (size_t done = 0; done < s.size();) {
        ssize_t n = write(h->in_fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "engine input closed: " << strerror(errno);
            return;
        }
        done += size_t(n);
    }
}

void host_close_input(host *h) {
    if (h->in_fd >= 0)
        close(h->in_fd);
    h->in_fd = -1;
}

json host_wait(host *h, const std::function<bool(const json &)> &match, int timeout_ms) {
    long long deadline = host_now_ms() + timeout_ms * host_slowdown();
    for (;;) {
        while (h->next < h->events.size())
            if (match(h->events[h->next++]))
                return h->events[h->next - 1];
        long long left = deadline - host_now_ms();
        if (left <= 0 || !read_some(h, int(left))) {
            ADD_FAILURE() << (left <= 0 ? "timed out" : "output ended") << " waiting; last events:\n" << recent(h);
            return json();
        }
    }
}

json host_wait_type(host *h, const std::string &type, int timeout_ms) {
    return host_wait(h, [&](const json &ev) { return ev["type"] == type; }, timeout_ms);
}

json host_ack(host *h, long long id, int timeout_ms) {
    return host_wait(h, [&](const json &ev) { return ev["type"] == "ack" && ev["id"] == id; }, timeout_ms);
}

json host_command(host *h, const std::string &line, long long id, int timeout_ms) {
    host_send(h, line);
    return host_ack(h, id, timeout_ms);
}

json host_seen(host *h, const std::string &type, size_t from, int timeout_ms) {
    for (size_t i = from; i < h->next; i++)
        if (h->events[i]["type"] == type)
            return h->events[i];
    return host_wait_type(h, type, timeout_ms);
}

std::vector<json> host_all(const host *h, const std::string &type, size_t from) {
    std::vector<json> out;
    for (size_t i = from; i < h->events.size(); i++)
        if (h->events[i]["type"] == type)
            out.push_back(h->events[i]);
    return out;
}

size_t host_count(const host *h, const std::string &type, size_t from) { return host_all(h, type, from).size(); }

void host_drain(host *h, int ms) {
    for (long long deadline = host_now_ms() + ms; host_now_ms() < deadline;)
        if (!read_some(h, int(deadline - host_now_ms())))
            usleep(1000);
}

int host_wait_exit(host *h, int timeout_ms) {
    long long deadline = host_now_ms() + timeout_ms * host_slowdown();
    while (h->out_fd >= 0 && host_now_ms() < deadline)  // read on, so that output never blocks
        read_some(h, int(deadline - host_now_ms()));
    return host_wait_exit_unread(h, int(std::max(0LL, deadline - host_now_ms())) / host_slowdown());
}

int host_wait_exit_unread(host *h, int timeout_ms) {
    for (long long deadline = host_now_ms() + timeout_ms * host_slowdown(); h->pid > 0; usleep(5000)) {
        int st;
        if (waitpid(h->pid, &st, WNOHANG) == h->pid) {
            h->pid = -1;
            h->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        } else if (host_now_ms() >= deadline) {
            ADD_FAILURE() << "engine did not end in time; last events:\n" << recent(h);
            return -1;
        }
    }
    return h->status;
}

std::vector<frame_info> host_frames(host *h) {
    std::lock_guard<std::mutex> hold(h->frames_lock);
    return h->frames;
}

bool host_wait_frames(host *h, size_t n, int timeout_ms) {
    for (long long deadline = host_now_ms() + timeout_ms * host_slowdown(); host_frames(h).size() < n;) {
        if (host_now_ms() > deadline) {
            ADD_FAILURE() << "timed out waiting for " << n << " frames; last events:\n" << recent(h);
            return false;
        }
        if (!read_some(h, 10))
            usleep(10000);
    }
    return true;
}

host_usage host_sample(pid_t pid) {
    host_usage s = {0, 0, 0};
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string key; status >> key;)
        if (key == "VmRSS:")
            status >> s.rss_kb;
        else if (key == "Threads:")
            status >> s.threads;
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(d))
            s.fds++;
        closedir(d);
    }
    return s;
}

std::string host_stderr(host *h) {
    std::ifstream f(h->home + "/stderr");
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

host::~host() {
    ending = true;
    frames_paused = false;
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, __WALL);
    }
    for (int fd : {in_fd, out_fd})
        if (fd >= 0)
            close(fd);
    if (drain.joinable())
        drain.join();
    EXPECT_EQ(frame_error, "") << "the frame stream broke";
    if (frames_fd >= 0)
        close(frames_fd);
    if (!home.empty()) {
        // A sanitizer report from the engine fails the test that ran it.
        std::string err = host_stderr(this);
        EXPECT_TRUE(err.find("Sanitizer") == std::string::npos && err.find("runtime error:") == std::string::npos)
            << err;
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
}

int loopback_listen(int backlog, int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    // backlog 0 binds without listening: connections are refused while fd stays open.
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || (backlog && listen(fd, backlog)) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        ADD_FAILURE() << "loopback socket: " << strerror(errno);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

