// The end-to-end test host: starts the real engine on its three channels,
// with a private HOME and no sound server, strictly parses every event line
// and reads the frame pipe. Media-level scenarios go through the host
// library in sdk/ instead.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

using json = nlohmann::json;

const char USAGE[] = "usage: vexolo-engine --max-size=WxH --frames=fd:3|null --loglevel=N\n";
const uint32_t FRAME_LANDED_FLAG = 1;

// A clip made by scripts/make-media.sh.
std::string media_path(const char *name);
std::string media_url(const char *name);

struct frame_info {
    uint32_t width, height, pitch, flags;
    int64_t pts_us;
    uint64_t seq, generation;
    long long begun_ms, arrived_ms;  // header and last byte read, host_now_ms
    uint8_t centre[3];               // blue, green, red of the middle pixel
    int number;                      // the number drawn in a numbered clip's picture
    int worst;                       // largest channel distance of any pixel from the centre's colour
};

struct host_options {
    std::vector<std::string> args;
    bool frame_pipe = true;  // a pipe on fd 3, drained by the host
    // Runs in the child just before exec: a careless host's set-ups.
    std::function<void()> before_exec = nullptr;
};

struct host {
    pid_t pid = -1;
    int in_fd = -1, out_fd = -1, frames_fd = -1;
    std::string home, pending;
    std::vector<json> events;         // every event line, in order
    std::vector<long long> event_ms;  // when each arrived
    size_t next = 0;                  // first event not consumed by a wait
    int status = -1;                  // exit status once reaped
    std::thread drain;
    std::mutex frames_lock;
    std::vector<frame_info> frames;  // frames_lock
    std::string frame_error;         // frames_lock: what broke the frame stream
    std::atomic<bool> frames_paused{false}, ending{false};
    ~host();
};

// Starts the engine and, unless told not to, waits for its ready line.
bool host_start(host *h, const host_options &opt = {}, bool ready = true);
void host_send(host *h, const std::string &text);  // adds the LF
void host_close_input(host *h);
// Waits for an event after the last consumed one that matches, and consumes
// up to it; null (and a test failure listing the last events) on timeout.
json host_wait(host *h, const std::function<bool(const json &)> &match, int timeout_ms = 10000);
json host_wait_type(host *h, const std::string &type, int timeout_ms = 10000);
json host_ack(host *h, long long id, int timeout_ms = 10000);
json host_command(host *h, const std::string &line, long long id, int timeout_ms = 10000);
// {"id":id,"cmd":cmd<fields>}; fields start with a comma when given.
std::string cmd(long long id, const std::string &name, const std::string &fields = "");
std::string load_line(long long id, const std::string &url, const std::string &extra = "");
// The first event of a type from index `from` on, waited for if not yet read.
json host_seen(host *h, const std::string &type, size_t from, int timeout_ms = 10000);
size_t host_count(const host *h, const std::string &type, size_t from = 0);
std::vector<json> host_all(const host *h, const std::string &type, size_t from = 0);
void host_drain(host *h, int ms);
int host_wait_exit(host *h, int timeout_ms = 10000);
int host_wait_exit_unread(host *h, int timeout_ms = 10000);  // as a host that stopped reading
std::vector<frame_info> host_frames(host *h);
bool host_wait_frames(host *h, size_t n, int timeout_ms = 10000);
std::string host_stderr(host *h);
struct host_usage {
    long rss_kb;
    int threads, fds;
};
host_usage host_sample(pid_t pid);
int host_slowdown();  // how many times slower the sanitizer builds run
long long host_now_ms();

// A socket on 127.0.0.1 on a free port; backlog 0 binds without listening,
// so that connections are refused while it stays open.
int loopback_listen(int backlog, int *port);
